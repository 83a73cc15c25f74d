// An archive file is untrusted input: damaged tables give a clear error and
// never an access outside the tables or the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

uint32_t SlotOf(const char* name) { return PackNameHash(3, name) % kPackHashSlotCount; }

struct CorruptCase {
  const char* what;
  void (*damage)(const std::string& path);
  const char* message;  // Open fails with code 2 and this message
};

TEST(CorruptArchiveTest, OpenRefusesDamagedTables) {
  const CorruptCase cases[] = {
      {"blockCount beyond the table's room",
       [](const std::string& p) { PatchFile32(p, 20, kPackMaxBlockCount + 1); },
       "blockCount=65537"},
      {"block below the data area",
       [](const std::string& p) { PatchFile32(p, BlockPos(0), kPackDataOffset - 1); }, ""},
      {"extent past the end of the file",
       [](const std::string& p) { PatchFile32(p, BlockPos(0) + 4, 100000); },
       "block=0, offset=1484852, storedSize=100000"},
      {"size that would wrap the extent",
       [](const std::string& p) { PatchFile32(p, BlockPos(0) + 4, 0xFFFFFFFF); },
       "block=0, offset=1484852, storedSize=-1"},
      {"block table reaching into the data area",
       [](const std::string& p) { PatchFile32(p, 16, kPackBlockTableOffset + 16); },
       "hashTableOffset=40, blockTableOffset=436292, dataOffset=1484852"},
      {"hash table over the header", [](const std::string& p) { PatchFile32(p, 12, 0); },
       "hashTableOffset=0, blockTableOffset=436276, dataOffset=1484852"},
  };
  for (const CorruptCase& c : cases) {
    for (bool read_only : {true, false}) {
      TempDir dir;
      std::string path = dir.Join("a.pak");
      MakeArchiveOrDie(path, {{"a", "hello"}});
      c.damage(path);
      std::string before = ReadFileOrEmpty(path);
      auto archive = NewPackArchive();
      EXPECT_FALSE(archive->Open(path.c_str(), read_only)) << c.what;
      EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA) << c.what;
      EXPECT_STREQ(LastErrorMessage(), c.message) << c.what;
      archive.reset();
      EXPECT_EQ(ReadFileOrEmpty(path), before) << c.what << ": a refused archive is left alone";
    }
  }
}

TEST(CorruptArchiveTest, ExtentPastTheLargestPosition) {
  // A sparse file longer than 2 GiB: the extent lies inside the file but
  // cannot be reached with a 32-bit position.
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "hello"}});
  PatchFile32(path, BlockPos(0), 0x7FFFFF00);
  PatchFile32(path, BlockPos(0) + 4, 257);
  {
    File file;
    ASSERT_TRUE(file.Open(path.c_str(), FileMode::kReadWrite));
    ASSERT_TRUE(file.WriteAt(0x80001000ull, "x", 1));
  }
  auto archive = NewPackArchive();
  EXPECT_FALSE(archive->Open(path.c_str(), true));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_STREQ(LastErrorMessage(), "block=0, offset=2147483392, storedSize=257");
}

TEST(CorruptArchiveTest, SlotNamingAMissingBlockEntry) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "hello"}, {"b", "world"}});
  const uint32_t slot = SlotOf("a");
  PatchFile32(path, SlotPos(slot) + 8, kSlotInUse | 5);  // blockCount is 2
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    const std::string message = "slot=" + std::to_string(slot) + ", block=5";
    EXPECT_EQ(archive->GetFileSize("a", true), 0u);
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
    EXPECT_EQ(LastErrorMessage(), message);
    EXPECT_EQ(archive->GetCompressType("a"), 0);
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
    EXPECT_EQ(archive->OpenFile("a"), nullptr);
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
    char buffer[8];
    EXPECT_FALSE(archive->ReadFileData("a", false, buffer, 5));
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
    EXPECT_EQ(ReadStored(*archive, "b"), "world") << "the rest stays readable";
  }
  // A writer takes it for the trace of a cut-off add and deletes the slot.
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), false));
    EXPECT_FALSE(archive->HasFile("a"));
    ASSERT_TRUE(archive->AddFile("again", 5, "a", true, true, 0, 0));
  }
  ExpectConsistent(path, {{"a", "again"}, {"b", "world"}});
}

// Decoded whole, a file's claimed size is what it costs in memory: a claim
// past what any archive can hold is damage, refused before it is allocated.
TEST(CorruptArchiveTest, ContentClaimsNoStoredFormCanHoldAreRefusedUnread) {
  // A claim past the archive's limit, or past what the stored bytes can
  // decode to, would cost its size in memory and time before decoding.
  enum Claim { kPastTheArchiveLimit, kOnePastTheCodecBound, kAtTheCodecBound };
  struct Case {
    CompressionType type;
    Claim claim;
    bool refused;
  } cases[] = {
      {COMPRESS_LZMA, kPastTheArchiveLimit, true}, {COMPRESS_LZMA, kOnePastTheCodecBound, true},
      {COMPRESS_LZMA, kAtTheCodecBound, false},    {COMPRESS_LZO, kOnePastTheCodecBound, true},
      {COMPRESS_LZO, kAtTheCodecBound, false},     {COMPRESS_MASK, kOnePastTheCodecBound, true},
      {COMPRESS_MASK, kAtTheCodecBound, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " claim " << c.claim);
    TempDir dir;
    std::string path = dir.Join("a.pak");
    std::string text(4000, 'x');
    std::string encoded = EncodeStored(c.type, text);
    ASSERT_FALSE(encoded.empty());
    {
      auto archive = NewPackArchive();
      ASSERT_TRUE(archive->Create(path.c_str()));
      ASSERT_TRUE(archive->AddFile(encoded.data(), static_cast<uint32_t>(encoded.size()), "a", true,
                                   true, c.type, static_cast<uint32_t>(text.size())));
    }
    uint32_t stored = Get32(ReadFileOrEmpty(path), BlockPos(0) + 4);
    uint32_t bound = GetCodecRegistry().Find(c.type)->MaxDecodedSize(stored);
    uint32_t claim = c.claim == kPastTheArchiveLimit    ? 0x80000000u
                     : c.claim == kOnePastTheCodecBound ? bound + 1
                                                        : bound;
    ASSERT_GE(claim, text.size());
    PatchFile32(path, BlockPos(0) + 8, claim);
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    if (c.refused) {
      EXPECT_EQ(archive->OpenFile("a"), nullptr);
      EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
      char expected[64];
      snprintf(expected, sizeof expected, "contentSize=%d, storedSize=%d", static_cast<int>(claim),
               static_cast<int>(stored));
      EXPECT_STREQ(LastErrorMessage(), expected);
    } else {
      // Within the bound the claim is read as the format has it: what the
      // stored form does not hold reads as zeros.
      bool ok = false;
      std::string content = ReadStored(*archive, "a", &ok);
      EXPECT_TRUE(ok) << LastErrorMessage();
      EXPECT_EQ(content.size(), claim);
      EXPECT_TRUE(content == text + std::string(claim - text.size(), '\0'));
    }
  }
}

TEST(CorruptArchiveTest, ADataAreaClaimedPastTheFileEndIsNeverHandedOutAsFreeSpace) {
  // A header whose data area runs past the end of the file (a cut copy):
  // free space found at the end of the area must stop at the file's end,
  // or a writer records a free block no reader accepts.
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", std::string(100, 'a')}, {"b", std::string(100, 'b')}});
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), false));
    ASSERT_TRUE(archive->RemoveFile("b", true));
    ASSERT_TRUE(archive->Close());
  }
  uint32_t dataSize = Get32(ReadFileOrEmpty(path), 32);
  PatchFile32(path, 32, dataSize + 1024);
  const std::string c(300, 'c');
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), false));
    ASSERT_TRUE(archive->AddFile(c.data(), static_cast<uint32_t>(c.size()), "c", true, true, 0, 0));
    ASSERT_TRUE(archive->Close());
  }
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true)) << LastErrorMessage();
  EXPECT_EQ(ReadStored(*archive, "a"), std::string(100, 'a'));
  EXPECT_EQ(ReadStored(*archive, "c"), c);
}

TEST(CorruptArchiveTest, ContentReachingPastItsBlock) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "hello"}, {"b", "world"}});
  auto archive = NewPackArchive();
  // Large: read on demand, which would run into the next block.
  PatchFile32(path, BlockPos(0) + 8, 0xFFFFFFFF);
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_EQ(archive->OpenFile("a"), nullptr);
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_STREQ(LastErrorMessage(), "contentSize=-1, storedSize=5");
  // Small: read whole; what the block does not hold reads as zeros.
  archive->Close();
  PatchFile32(path, BlockPos(0) + 8, 300);
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  bool ok = false;
  EXPECT_EQ(ReadStored(*archive, "a", &ok), "hello" + std::string(295, '\0'));
  EXPECT_TRUE(ok);
}

}  // namespace
}  // namespace qlmr

namespace qlmr {
namespace {

using namespace testing_support;

// Random damage to the header, the in-use slots and the block entries: every
// operation either works or reports a code; the sanitizer run catches any
// access outside a table or buffer.
TEST(CorruptArchiveTest, RandomDamageIsReportedNeverFatal) {
  TempDir dir;
  std::string good = dir.Join("good.pak");
  const std::map<std::string, std::string> files = {
      {"(list)", "x\n2\na|00000003|00000000\nbig|000927C0|00000000\n"},
      {"a", "abc"},
      {"big", RandomBytes(1, 600000)},
  };
  MakeArchiveOrDie(good, files);
  const std::string image = ReadFileOrEmpty(good);
  std::vector<uint32_t> targets;  // byte positions worth damaging
  for (uint32_t i = 12; i < kPackHeaderSize; ++i) targets.push_back(i);
  for (const auto& file : files) {
    uint32_t slot = PackNameHash(3, NormalizeName(file.first).c_str()) % kPackHashSlotCount;
    for (uint32_t i = 0; i < kPackHashEntrySize; ++i) targets.push_back(SlotPos(slot) + i);
  }
  for (uint32_t i = 0; i < 3 * kPackBlockEntrySize; ++i) targets.push_back(BlockPos(0) + i);
  std::mt19937 engine(7);
  std::string path = dir.Join("bad.pak");
  for (int round = 0; round < 300; ++round) {
    std::string bad = image;
    for (int hits = 1 + static_cast<int>(engine() % 3); hits > 0; --hits) {
      bad[targets[engine() % targets.size()]] = static_cast<char>(engine());
    }
    WriteFileOrDie(path, bad);
    for (bool read_only : {true, false}) {
      auto archive = NewPackArchive();
      if (!archive->Open(path.c_str(), read_only)) {
        EXPECT_NE(LastErrorCode(), ERR_NONE);
        continue;
      }
      for (const auto& file : files) {
        ReadStored(*archive, file.first.c_str());
        archive->GetFileSize(file.first.c_str(), false);
      }
      if (read_only) {
        archive->Verify(nullptr, nullptr, nullptr, nullptr);
      } else {
        archive->RemoveFile("a", false);
        archive->AddFile("new", 3, "big", true, false, 0, 0);
        archive->AddFile(std::string(3000, 'n').data(), 3000, "more", true, false, 0, 0);
      }
    }
  }
}

}  // namespace
}  // namespace qlmr
