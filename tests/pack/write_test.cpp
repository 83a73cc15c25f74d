#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

struct Write {
  PackWriteKind kind;
  uint32_t where;
  bool operator==(const Write& other) const { return kind == other.kind && where == other.where; }
};

std::ostream& operator<<(std::ostream& out, const Write& w) {
  const char* names[] = {"header", "slot", "block", "data"};
  return out << names[static_cast<int>(w.kind)] << "@" << w.where;
}

Write Header() { return {PackWriteKind::kHeader, 0}; }
Write Slot(uint32_t i) { return {PackWriteKind::kHashEntry, i}; }
Write Block(uint32_t j) { return {PackWriteKind::kBlockEntry, j}; }
Write Data(uint32_t position) { return {PackWriteKind::kData, position}; }

uint32_t SlotOf(const std::string& name) {
  return PackNameHash(3, name.c_str()) % kPackHashSlotCount;
}

// An archive open for writing that records what its writers put on disk.
class WriteFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.Join("a.pak");
    ASSERT_TRUE(archive_->Create(path_.c_str()));
    archive_->SetWriteHook([this](PackWriteKind kind, uint32_t where) {
      writes_.push_back({kind, where});
      return true;
    });
  }
  // The hook points into this fixture, whose members go before the archive.
  void TearDown() override { archive_->SetWriteHook(nullptr); }
  bool Add(const std::string& name, uint32_t size, uint8_t type = 0, uint32_t content = 0) {
    std::string data = RandomBytes(size, size);
    stored_[name] = data;
    return archive_->AddFile(data.data(), size, name.c_str(), true, false, type, content);
  }
  // The writes of one operation.
  std::vector<Write> Writes(bool ok) {
    EXPECT_TRUE(ok) << LastErrorCode() << " " << LastErrorMessage();
    std::vector<Write> out;
    out.swap(writes_);
    return out;
  }
  const PackBlockEntry& BlockOf(const std::string& name) {
    int32_t slot = archive_->slots().FindSlot(name);
    EXPECT_GE(slot, 0) << name;
    return archive_->blocks()[archive_->slots()[static_cast<uint32_t>(slot)].BlockIndex()];
  }
  std::vector<std::pair<uint32_t, uint32_t>> FreeBlocks() {
    return {archive_->free_blocks().begin(), archive_->free_blocks().end()};
  }
  void Reopen() {
    archive_->Close();
    ASSERT_TRUE(archive_->Open(path_.c_str(), false));
    writes_.clear();
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<PackArchiveImpl> archive_ = NewImpl();
  std::vector<Write> writes_;
  std::map<std::string, std::string> stored_;
};

constexpr uint32_t kData = kPackDataOffset;

TEST_F(WriteFixture, NewFileWritesDataBlockSlotHeader) {
  EXPECT_EQ(Writes(Add("a", 300)),
            (std::vector<Write>{Data(kData), Block(0), Slot(SlotOf("a")), Header()}));
  EXPECT_EQ(archive_->header().blockCount, 1u);
  EXPECT_EQ(archive_->header().dataSize, 512u);
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, ReplaceWithinTheSameExtentWritesDataAndBlockOnly) {
  Writes(Add("a", 300));
  std::string header_before = ReadFileOrEmpty(path_).substr(0, kPackHeaderSize);
  EXPECT_EQ(Writes(Add("a", 400)), (std::vector<Write>{Data(kData), Block(0)}));
  EXPECT_EQ(BlockOf("a").storedSize, 400u);
  EXPECT_EQ(ReadFileOrEmpty(path_).substr(0, kPackHeaderSize), header_before);
  // Same sizes and type: the block entry is not even rewritten.
  EXPECT_EQ(Writes(Add("a", 400)), (std::vector<Write>{Data(kData)}));
  // A changed type alone rewrites the entry.
  EXPECT_EQ(Writes(Add("a", 400, 1, 400)), (std::vector<Write>{Data(kData), Block(0)}));
  EXPECT_EQ(BlockOf("a").CompressType(), 1);
  EXPECT_EQ(Writes(Add("a", 400)), (std::vector<Write>{Data(kData), Block(0)}));
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, ShrinkingMoveTakesTheFrontOfItsOwnExtentAndSplitsTheTail) {
  Writes(Add("a", 1000));
  EXPECT_EQ(Writes(Add("a", 200)),
            (std::vector<Write>{Block(1), Data(kData), Block(0), Slot(SlotOf("a")), Header()}));
  EXPECT_EQ(BlockOf("a").offset, kData);
  EXPECT_EQ(BlockOf("a").storedSize, 200u);
  const PackBlockEntry& tail = archive_->blocks()[1];
  EXPECT_EQ(tail.offset, kData + 256);
  EXPECT_EQ(tail.storedSize, 768u);
  EXPECT_FALSE(tail.InUse());
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{768, 1}}));
  EXPECT_EQ(archive_->header().freeSize, 768u);
  EXPECT_EQ(archive_->header().dataSize, 1024u);
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, GrowingMoveAppendsAndFreesTheOldBlockWithItsSizes) {
  Writes(Add("a", 300));
  EXPECT_EQ(Writes(Add("a", 1000)), (std::vector<Write>{Data(kData + 512), Block(1), Block(0),
                                                        Slot(SlotOf("a")), Header()}));
  EXPECT_FALSE(archive_->blocks()[0].InUse());
  EXPECT_EQ(archive_->blocks()[0].storedSize, 300u) << "a replaced block keeps its sizes";
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{512, 0}}));
  // After Close and Open the whole old extent is still known.
  Reopen();
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{512, 0}}));
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, SmallestFittingFreeExtentWithoutSplit) {
  Writes(Add("f256", 256));
  Writes(Add("keep1", 1));
  Writes(Add("f512", 512));
  Writes(Add("keep2", 1));
  Writes(Add("f1024", 1024));
  for (const char* name : {"f1024", "f256", "f512"}) {
    ASSERT_TRUE(archive_->RemoveFile(name, false));
    stored_.erase(name);
  }
  writes_.clear();
  // Free: 256 (block 0), 512 (block 2), 1024 (block 4). 300 bytes need 512.
  EXPECT_EQ(Writes(Add("new", 300)),
            (std::vector<Write>{Data(kData + 512), Block(2), Slot(SlotOf("new")), Header()}));
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{256, 0}, {1024, 4}}));
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, RemoveWritesBlockSlotHeaderAndTheExtentIsFoundAgainAfterReopen) {
  Writes(Add("a", 1000));
  Writes(Add("b", 10));
  EXPECT_EQ(Writes(archive_->RemoveFile("A", false)),
            (std::vector<Write>{Block(0), Slot(SlotOf("a")), Header()}));
  stored_.erase("a");
  const PackBlockEntry& cleared = archive_->blocks()[0];
  EXPECT_EQ(cleared.offset, kData) << "offset stays";
  EXPECT_EQ(cleared.storedSize, 0u);
  EXPECT_EQ(cleared.contentSize, 0u);
  EXPECT_EQ(cleared.flags, 0u);
  EXPECT_EQ(archive_->header().freeSize, 1024u);
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{1024, 0}}));
  // The slot is deleted, not emptied.
  uint32_t slot = SlotOf("a");
  EXPECT_FALSE(archive_->slots()[slot].InUse());
  EXPECT_EQ(archive_->slots()[slot].hashA, PackNameHash(1, "a"));

  // Before Close the whole extent is reused...
  Writes(Add("c", 1024));
  EXPECT_EQ(BlockOf("c").offset, kData);
  ASSERT_TRUE(archive_->RemoveFile("c", false));
  stored_.erase("c");
  // ...and after Close and Open too: the cleared entry keeps only its
  // offset, and its extent runs to the next block, so a redone run does not
  // grow the archive.
  Reopen();
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{1024, 0}}));
  uint32_t dataSize = archive_->header().dataSize;
  Writes(Add("d", 1024));
  EXPECT_EQ(BlockOf("d").offset, kData);
  EXPECT_EQ(archive_->header().dataSize, dataSize);
  // A smaller file takes the front and leaves the rest as a free entry.
  ASSERT_TRUE(archive_->RemoveFile("d", false));
  stored_.erase("d");
  Reopen();
  Writes(Add("e", 300));
  EXPECT_EQ(BlockOf("e").offset, kData);
  EXPECT_EQ(FreeBlocks(), (std::vector<std::pair<uint32_t, uint32_t>>{{512, 2}}));
  EXPECT_EQ(archive_->header().dataSize, dataSize);
  archive_->Close();
  ExpectConsistent(path_, stored_);
}

TEST_F(WriteFixture, RemovingAnAbsentNameChangesNothing) {
  Writes(Add("a", 10));
  std::string before = ReadFileOrEmpty(path_);
  EXPECT_FALSE(archive_->RemoveFile("Nope\\X", true));
  EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
  EXPECT_STREQ(LastErrorMessage(), "Nope\\X");
  EXPECT_TRUE(writes_.empty());
  EXPECT_EQ(ReadFileOrEmpty(path_), before);
}

TEST_F(WriteFixture, EmptyFileTakesOneZeroGranule) {
  EXPECT_EQ(Writes(archive_->AddFile("", 0, "e", true, true, 0, 0)),
            (std::vector<Write>{Data(kData), Block(0), Slot(SlotOf("e")), Header()}));
  EXPECT_EQ(BlockOf("e").storedSize, 0u);
  std::string bytes = ReadFileOrEmpty(path_);
  ASSERT_EQ(bytes.size(), kData + 256u);
  EXPECT_EQ(bytes.find_first_not_of('\0', kData), std::string::npos);
}

TEST_F(WriteFixture, DataIsPaddedWithZerosToTheExtent) {
  // Stale bytes under a reused extent must not show through the padding.
  Writes(Add("old", 512));
  ASSERT_TRUE(archive_->RemoveFile("old", false));
  archive_->AddFile("abc", 3, "new", true, false, 0, 0);
  std::string bytes = ReadFileOrEmpty(path_);
  EXPECT_EQ(bytes.substr(kData, 3), "abc");
  EXPECT_EQ(bytes.find_first_not_of('\0', kData + 3), kData + 256) << "zeros up to 256";
}

TEST_F(WriteFixture, AddFromADiskFile) {
  std::string source = dir_.Join("src.bin");
  std::string content = RandomBytes(9, 10000);
  WriteFileOrDie(source, content);
  ASSERT_TRUE(archive_->AddFile(source.c_str(), 0, "copied", false, true, 0, 0));
  EXPECT_EQ(BlockOf("copied").storedSize, 10000u);
  std::string missing = dir_.Join("missing.bin");
  EXPECT_FALSE(archive_->AddFile(missing.c_str(), 0, "x", false, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
  EXPECT_EQ(LastErrorMessage(), missing);
  EXPECT_FALSE(archive_->AddFile("", 0, "x", false, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(archive_->AddFile(nullptr, 0, "x", true, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(archive_->AddFile("x", 1, "", true, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  archive_->Close();
  ExpectConsistent(path_, {{"copied", content}});
}

TEST_F(WriteFixture, TypeZeroIgnoresTheContentSize) {
  ASSERT_TRUE(Add("a", 10, 0, 12345));
  EXPECT_EQ(BlockOf("a").contentSize, 10u);
  ASSERT_TRUE(Add("b", 10, 3, 12345));
  EXPECT_EQ(BlockOf("b").contentSize, 12345u);
  EXPECT_EQ(BlockOf("b").storedSize, 10u);
}

// Archives at the format's limits, built byte by byte.
class LimitsTest : public ::testing::Test {
 protected:
  void Save(const std::string& image) {
    path_ = dir_.Join("a.pak");
    WriteFileOrDie(path_, image);
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(LimitsTest, FullBlockTableRefusesAppendsAndSplitsWithCode12) {
  std::string image = EmptyArchiveImage();
  Put32(&image, 20, kPackMaxBlockCount);  // blockCount
  Put32(&image, 32, 1024);                // dataSize
  // Every entry is free; one of them spans 1,024 bytes, the others 256.
  for (uint32_t j = 0; j < kPackMaxBlockCount; ++j) SetBlock(&image, j, kData, 0, 0, 0);
  SetBlock(&image, 7, kData, 1024, 1024, 0);
  image.append(1024, '\0');
  Save(image);
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path_.c_str(), false));
  std::string before = ReadFileOrEmpty(path_);
  // 300 bytes need 512: only the 1,024 extent fits, and its tail would need
  // entry 65,536.
  EXPECT_FALSE(archive->AddFile(std::string(300, 'x').data(), 300, "a", true, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_NO_BLOCK);
  // 2,000 bytes fit nowhere: an append would need entry 65,536 as well.
  EXPECT_FALSE(archive->AddFile(std::string(2000, 'x').data(), 2000, "b", true, true, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_NO_BLOCK);
  EXPECT_EQ(ReadFileOrEmpty(path_), before) << "nothing written, least of all past the table";
  // An exact fit needs no new entry.
  ASSERT_TRUE(archive->AddFile("yes", 3, "c", true, true, 0, 0));
  EXPECT_EQ(ReadStored(*archive, "c"), "yes");
  EXPECT_EQ(archive->header().blockCount, kPackMaxBlockCount);
}

TEST_F(LimitsTest, NoExtentPastTheLargestPosition) {
  std::string image = EmptyArchiveImage();
  Put32(&image, 32, kPackMaxFileEnd - kData - 300);  // dataSize: room for 256, not 512
  Save(image);
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path_.c_str(), false));
  EXPECT_FALSE(archive->AddFile(std::string(257, 'x').data(), 257, "a", true, false, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_NO_BLOCK);
  EXPECT_EQ(archive->header().blockCount, 0u);
}

TEST_F(LimitsTest, FullHashTableGivesCode11) {
  std::string image = EmptyArchiveImage();
  Put32(&image, 20, 1);
  Put32(&image, 32, 256);
  SetBlock(&image, 0, kData, 0, 0, kBlockInUse);
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) SetSlot(&image, i, i, ~i, kSlotInUse);
  image.append(256, '\0');
  Save(image);
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path_.c_str(), false));
  EXPECT_FALSE(archive->AddFile("x", 1, "one more", true, false, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_TABLE_FULL);
  EXPECT_STREQ(LastErrorMessage(), "");
}

}  // namespace
}  // namespace qlmr
