// CodecRegistry::EncodeFile and DecodeFile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/platform.h"
#include "tests/base/codec_test_data.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::TextLike;
using testing_support::WriteFileOrDie;

const uint8_t kHeader[8] = {'Q', 'L', 'H', 'D', 0x01, 0x00, 0xFE, 0x7F};

const Codec* CodecOf(CompressionType type) { return GetCodecRegistry().Find(type); }

std::vector<std::string> FolderNames(const TempDir& dir) {
  std::vector<FolderEntry> entries;
  EXPECT_TRUE(ListFolder(dir.path().c_str(), &entries));
  std::vector<std::string> names;
  for (const FolderEntry& entry : entries) names.push_back(entry.name);
  return names;
}

// Encoding a file over itself behind a header with a trailer, then decoding
// it over itself again, gives back the original, for every codec.
TEST(CodecFileTest, EncodeThenDecodeInPlaceRestoresTheFile) {
  std::string original = TextLike(11, 70000) + RandomBytes(12, 3000);
  for (CompressionType type : {COMPRESS_MASK, COMPRESS_LZO, COMPRESS_LZMA}) {
    SCOPED_TRACE(testing::Message() << "codec " << int{type});
    TempDir dir;
    std::string path = dir.Join("data.bin");
    WriteFileOrDie(path, original);
    const CodecRegistry& registry = GetCodecRegistry();

    uint32_t source_size = 0;
    uint32_t encoded_length = 0;
    ASSERT_TRUE(registry.EncodeFile(CodecOf(type), path.c_str(), path.c_str(), &source_size,
                                    kHeader, sizeof kHeader, true, &encoded_length))
        << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_EQ(source_size, original.size());
    std::string stored = ReadFileOrEmpty(path);
    ASSERT_EQ(stored.size(), sizeof kHeader + encoded_length + 4);
    EXPECT_EQ(stored.substr(0, sizeof kHeader),
              std::string(reinterpret_cast<const char*>(kHeader), sizeof kHeader));
    EXPECT_TRUE(CheckFileCrc(path.c_str()));
    if (type != COMPRESS_MASK) {
      EXPECT_LT(encoded_length, original.size());
    }

    ASSERT_TRUE(
        registry.DecodeFile(CodecOf(type), path.c_str(), path.c_str(), sizeof kHeader, source_size))
        << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_TRUE(ReadFileOrEmpty(path) == original);
    EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"data.bin"});  // no temporary left
  }
}

TEST(CodecFileTest, EncodesToAnotherFileWithoutHeaderOrTrailer) {
  TempDir dir;
  std::string source = dir.Join("plain.txt");
  std::string target = dir.Join("packed.bin");
  std::string original = TextLike(13, 5000);
  WriteFileOrDie(source, original);
  WriteFileOrDie(target, "old content that must be replaced");
  uint32_t encoded_length = 0;
  ASSERT_TRUE(GetCodecRegistry().EncodeFile(CodecOf(COMPRESS_LZO), source.c_str(), target.c_str(),
                                            nullptr, nullptr, 0, false, &encoded_length));
  EXPECT_EQ(ReadFileOrEmpty(source), original);
  std::string stored = ReadFileOrEmpty(target);
  ASSERT_EQ(stored.size(), encoded_length);
  // Exactly the codec's output for the data.
  std::string expected;
  ASSERT_TRUE(testing_support::EncodeToString(*CodecOf(COMPRESS_LZO), original, &expected));
  EXPECT_EQ(stored, expected);
}

// An empty file masks to header plus trailer; decoding needs at least one
// encoded byte. LZMA cannot encode it at all, and its failure leaves the
// file as it was.
TEST(CodecFileTest, EmptySourceFile) {
  TempDir dir;
  std::string path = dir.Join("empty");
  WriteFileOrDie(path, "");
  const CodecRegistry& registry = GetCodecRegistry();

  ASSERT_TRUE(registry.EncodeFile(CodecOf(COMPRESS_MASK), path.c_str(), path.c_str(), nullptr,
                                  kHeader, sizeof kHeader, true, nullptr));
  EXPECT_EQ(FileSizeOf(path.c_str()), 12u);
  EXPECT_FALSE(
      registry.DecodeFile(CodecOf(COMPRESS_MASK), path.c_str(), path.c_str(), sizeof kHeader, 0));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_STREQ(LastErrorMessage(), "");

  WriteFileOrDie(path, "");
  std::string target = dir.Join("target");
  EXPECT_FALSE(registry.EncodeFile(CodecOf(COMPRESS_LZMA), path.c_str(), target.c_str(), nullptr,
                                   kHeader, sizeof kHeader, true, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_CODEC);
  EXPECT_STREQ(LastErrorMessage(), "LZMA compress[3]");
  EXPECT_FALSE(PathExists(target.c_str()));
}

TEST(CodecFileTest, DecodeRefusesFilesWithoutEncodedBytes) {
  TempDir dir;
  std::string path = dir.Join("short");
  for (uint32_t size : {0u, 11u, 12u}) {
    WriteFileOrDie(path, std::string(size, 'x'));
    EXPECT_FALSE(
        GetCodecRegistry().DecodeFile(CodecOf(COMPRESS_MASK), path.c_str(), path.c_str(), 8, 100));
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA) << size;
    EXPECT_EQ(ReadFileOrEmpty(path), std::string(size, 'x'));
  }
}

// Failures leave the source in place, even when it is the destination, and
// no temporary file behind.
TEST(CodecFileTest, FailuresKeepTheSourceAndLeaveNoTemporaryFile) {
  const CodecRegistry& registry = GetCodecRegistry();
  TempDir dir;
  std::string path = dir.Join("keep.bin");
  std::string content = RandomBytes(21, 9);

  struct Case {
    const char* what;
    bool encode;
    CompressionType type;
    std::string destination;
    int32_t code;
    const char* message;
  } cases[] = {
      // LZMA cannot encode 9 bytes within its bound.
      {"encode in place", true, COMPRESS_LZMA, path, ERR_CODEC, "LZMA compress[3]"},
      // Random bytes are no LZO stream.
      {"decode in place", false, COMPRESS_LZO, path, ERR_CODEC, nullptr},
      {"encode into a missing folder", true, COMPRESS_MASK, dir.Join("no\\such\\out.bin"),
       ERR_ACCESS, nullptr},
      {"decode into a missing folder", false, COMPRESS_MASK, dir.Join("no\\such\\out.bin"),
       ERR_ACCESS, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileOrDie(path, content);
    bool ok =
        c.encode ? registry.EncodeFile(CodecOf(c.type), path.c_str(), c.destination.c_str(),
                                       nullptr, kHeader, sizeof kHeader, true, nullptr)
                 : registry.DecodeFile(CodecOf(c.type), path.c_str(), c.destination.c_str(), 2, 64);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastErrorCode(), c.code);
    if (c.message != nullptr) {
      EXPECT_STREQ(LastErrorMessage(), c.message);
    }
    if (c.code == ERR_ACCESS) {
      EXPECT_EQ(std::string(LastErrorMessage()).rfind("WinErr=", 0), 0u);
    }
    EXPECT_EQ(ReadFileOrEmpty(path), content);
    EXPECT_EQ(FolderNames(dir), std::vector<std::string>{"keep.bin"});
  }
}

TEST(CodecFileTest, MissingArgumentsAndSource) {
  const CodecRegistry& registry = GetCodecRegistry();
  TempDir dir;
  std::string source = dir.Join("in");
  std::string target = dir.Join("out");
  WriteFileOrDie(source, "some bytes to encode");
  const Codec* mask = CodecOf(COMPRESS_MASK);

  EXPECT_FALSE(registry.EncodeFile(nullptr, source.c_str(), target.c_str(), nullptr, nullptr, 0,
                                   false, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(
      registry.EncodeFile(mask, nullptr, target.c_str(), nullptr, nullptr, 0, false, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(registry.EncodeFile(mask, source.c_str(), "", nullptr, nullptr, 0, false, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(registry.DecodeFile(mask, source.c_str(), nullptr, 0, 4));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(registry.DecodeFile(nullptr, source.c_str(), target.c_str(), 0, 4));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);

  std::string missing = dir.Join("missing");
  EXPECT_FALSE(registry.EncodeFile(mask, missing.c_str(), target.c_str(), nullptr, nullptr, 0,
                                   false, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_READ);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("winErr=", 0), 0u);
  EXPECT_FALSE(registry.DecodeFile(mask, missing.c_str(), target.c_str(), 0, 4));
  EXPECT_EQ(LastErrorCode(), ERR_READ);
  EXPECT_FALSE(PathExists(target.c_str()));
}

// A caller's decodedSize beyond what the data holds writes zeros there, not
// whatever the heap held.
TEST(CodecFileTest, DecodedSizeBeyondTheDataIsZeroFilled) {
  TempDir dir;
  std::string path = dir.Join("masked");
  std::string data = "0123456789";
  WriteFileOrDie(path, data);
  ASSERT_TRUE(GetCodecRegistry().EncodeFile(CodecOf(COMPRESS_MASK), path.c_str(), path.c_str(),
                                            nullptr, nullptr, 0, true, nullptr));
  ASSERT_TRUE(
      GetCodecRegistry().DecodeFile(CodecOf(COMPRESS_MASK), path.c_str(), path.c_str(), 0, 40));
  EXPECT_EQ(ReadFileOrEmpty(path), data + std::string(30, '\0'));
}

}  // namespace
}  // namespace qlmr
