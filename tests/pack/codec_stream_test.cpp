// Stored files of the compressed types, read back through streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "pack/pack_archive.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

// Content that compresses, so that stored and content sizes differ.
std::string Compressible(uint32_t seed, size_t size) {
  std::string text;
  std::string words = RandomBytes(seed, 64);
  while (text.size() < size) text += words.substr(text.size() % 61, 13) + "pack ";
  text.resize(size);
  return text;
}

struct CodecCase {
  uint8_t type;
  size_t size;
};

TEST(PackCodecStreamTest, CompressedTypesReadBackWholeOrBySlice) {
  const CodecCase cases[] = {
      {COMPRESS_MASK, 1000}, {COMPRESS_MASK, 700000},  // the large one is read by slice
      {COMPRESS_LZO, 1000},  {COMPRESS_LZO, 700000},   // always decoded whole
      {COMPRESS_LZMA, 1000}, {COMPRESS_LZMA, 700000},  // always decoded whole
      {COMPRESS_LZMA, 0},
  };
  for (const CodecCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.size));
    TempDir dir;
    std::string path = dir.Join("a.pak");
    std::string content = Compressible(c.type, c.size);
    std::string stored = EncodeStored(c.type, content);
    ASSERT_TRUE(!stored.empty() || content.empty());
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Create(path.c_str()));
    ASSERT_TRUE(archive->AddFile(stored.data(), static_cast<uint32_t>(stored.size()), "f", true,
                                 false, c.type, static_cast<uint32_t>(content.size())));
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    EXPECT_EQ(archive->GetFileSize("f", true), stored.size());
    EXPECT_EQ(archive->GetFileSize("f", false), content.size());
    EXPECT_EQ(archive->GetCompressType("f"), c.type);
    bool ok = false;
    EXPECT_EQ(ReadStored(*archive, "f", &ok), content);
    EXPECT_TRUE(ok) << LastErrorCode() << " " << LastErrorMessage();
    // Pieces from odd positions decode like the whole.
    PackFileStream* stream = archive->OpenFile("f");
    ASSERT_NE(stream, nullptr);
    std::string pieces;
    std::vector<char> piece(4099);
    for (uint32_t got; (got = stream->Read(piece.data(), 4099)) > 0;)
      pieces.append(piece.data(), got);
    EXPECT_TRUE(pieces == content);
    uint32_t crc = 0;
    if (!content.empty()) BufferCrc(content.data(), static_cast<uint32_t>(content.size()), &crc);
    EXPECT_EQ(stream->GetCrc(), crc);
    stream->Release();
  }
}

TEST(PackCodecStreamTest, BufferSizeThatWouldWrapIsRefused) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  std::string stored = EncodeStored(COMPRESS_LZMA, Compressible(1, 5000));
  ASSERT_FALSE(stored.empty());
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Create(path.c_str()));
  ASSERT_TRUE(archive->AddFile(stored.data(), static_cast<uint32_t>(stored.size()), "f", true,
                               false, COMPRESS_LZMA, 0xFFFFFFFD));
  EXPECT_EQ(archive->OpenFile("f"), nullptr);
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_EQ(LastErrorMessage(), "contentSize=-3, storedSize=" + std::to_string(stored.size()));
}

TEST(PackCodecStreamTest, DamagedCompressedDataFailsAtOpenFile) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  std::string content = Compressible(2, 5000);
  std::string stored = EncodeStored(COMPRESS_LZMA, content);
  ASSERT_FALSE(stored.empty());
  for (size_t i = 0; i < stored.size(); i += 7) stored[i] = static_cast<char>(stored[i] ^ 0x5A);
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Create(path.c_str()));
  ASSERT_TRUE(archive->AddFile(stored.data(), static_cast<uint32_t>(stored.size()), "f", true,
                               false, COMPRESS_LZMA, static_cast<uint32_t>(content.size())));
  PackFileStream* stream = archive->OpenFile("f");
  if (stream != nullptr) {
    // A codec may not notice every damage; then the content must differ.
    bool ok = false;
    EXPECT_NE(ReadStored(*archive, "f", &ok), content);
    stream->Release();
  } else {
    EXPECT_NE(LastErrorCode(), ERR_NONE);
  }
}

}  // namespace
}  // namespace qlmr
