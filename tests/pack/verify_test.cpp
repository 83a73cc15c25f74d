#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/crc.h"
#include "base/error.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

std::string Hex(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08X", value);
  return text;
}

uint32_t Crc(const std::string& content) {
  uint32_t crc = 0;
  BufferCrc(content.data(), static_cast<uint32_t>(content.size()), &crc);
  return crc;
}

std::string Entry(const std::string& name, const std::string& content) {
  return name + "|" + Hex(static_cast<uint32_t>(content.size())) + "|" + Hex(Crc(content)) + "\n";
}

const std::string kOne = "first";
const std::string kTwo = "second second";

struct VerifyCase {
  const char* what;
  std::string list;
  std::map<std::string, std::string> extra;  // stored besides "Data\One.txt" and "two"
  int32_t code;                              // 0: passes
  std::string message;
};

std::vector<VerifyCase> Cases() {
  const std::string good = Entry("Data\\One.txt", kOne) + Entry("two", kTwo);
  const uint32_t extra_slot = PackNameHash(3, "extra") % kPackHashSlotCount;
  return {
      {"a correct list", "any text\r\n2\r\n" + good, {}, 0, ""},
      {"last line without LF", "x\n2\n" + good.substr(0, good.size() - 1), {}, 0, ""},
      {"names in another case and slash direction",
       "x\n2\n" + Entry("DATA/ONE.TXT", kOne) + Entry("Two", kTwo),
       {},
       0,
       ""},
      {"lowercase hexadecimal",
       "x\n2\nData\\One.txt|00000005|" + Hex(Crc(kOne)) + "\ntwo|0000000d|" + Hex(Crc(kTwo)) + "\n",
       {},
       0,
       ""},
      {"stored file missing from the list",
       "x\n2\n" + good,
       {{"extra", "?"}},
       ERR_BAD_DATA,
       "unref hashnode(" + std::to_string(extra_slot) + ")"},
      {"count larger than the entries", "x\n3\n" + good, {}, ERR_BAD_DATA, "file countdif(2!=3)"},
      {"count smaller than the entries", "x\n1\n" + good, {}, ERR_BAD_DATA, "file countdif(2!=1)"},
      {"count beyond 32 bits does not wrap to the entries",
       "x\n4294967298\n" + good,
       {},
       ERR_BAD_DATA,
       "file countdif(2!=2147483647)"},
      {"trailing empty line", "x\n2\n" + good + "\n", {}, ERR_BAD_DATA, "list file second line=0"},
      {"a fourth field",
       "x\n2\n" + Entry("Data\\One.txt", kOne) + "two|0000000D|" + Hex(Crc(kTwo)) + "|more\n",
       {},
       ERR_BAD_DATA,
       "list file=two|0000000D|" + Hex(Crc(kTwo)) + "|more"},
      {"a size without digits",
       "x\n2\n" + Entry("Data\\One.txt", kOne) + "two|zz|0\n",
       {},
       ERR_BAD_DATA,
       "list file=two|zz|0"},
      {"wrong size",
       "x\n2\n" + Entry("Data\\One.txt", kOne) + "two|0000000E|0\n",
       {},
       ERR_BAD_DATA,
       "file=two, sizedif(13!=14)"},
      {"wrong CRC, printed signed",
       "x\n2\n" + Entry("Data\\One.txt", kOne) + "two|0000000D|80000000\n",
       {},
       ERR_BAD_DATA,
       "file=two, crcdif(" + std::to_string(static_cast<int32_t>(Crc(kTwo))) + "!=-2147483648)"},
      {"listed file not stored", "x\n3\n" + good + Entry("gone", ""), {}, ERR_NOT_FOUND, "gone"},
  };
}

TEST(PackVerifyTest, Cases) {
  for (const VerifyCase& c : Cases()) {
    TempDir dir;
    std::string path = dir.Join("a.pak");
    std::map<std::string, std::string> files = {
        {"Data\\One.txt", kOne}, {"two", kTwo}, {"(list)", c.list}};
    files.insert(c.extra.begin(), c.extra.end());
    MakeArchiveOrDie(path, files);
    auto archive = NewImpl();
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    bool passed = archive->Verify(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(passed, c.code == 0) << c.what;
    if (!passed) {
      EXPECT_EQ(LastErrorCode(), c.code) << c.what;
      EXPECT_EQ(LastErrorMessage(), c.message) << c.what;
    }
    EXPECT_EQ(archive->open_stream_count(), 0u) << c.what << ": streams released";
  }
}

TEST(PackVerifyTest, ListAloneWithNoEntries) {
  for (const std::string list : {"x\n0\n", "x\n0"}) {
    TempDir dir;
    std::string path = dir.Join("a.pak");
    MakeArchiveOrDie(path, {{"(list)", list}});
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    EXPECT_TRUE(archive->Verify(nullptr, nullptr, nullptr, nullptr)) << LastErrorMessage();
  }
}

TEST(PackVerifyTest, RefusalsBeforeReading) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "1"}});
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_FALSE(archive->Verify(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
  EXPECT_STREQ(LastErrorMessage(), "(list)");
  ASSERT_TRUE(archive->Open(path.c_str(), false));
  EXPECT_FALSE(archive->Verify(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_MODE);
}

TEST(PackVerifyTest, InUseBlockWithoutASlot) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"(list)", "x\n0\n"}, {"orphan", "data"}});
  uint32_t slot = PackNameHash(3, "orphan") % kPackHashSlotCount;
  std::string bytes = ReadFileOrEmpty(path);
  uint32_t block = Get32(bytes, SlotPos(slot) + 8) & kSlotBlockIndexMask;
  PatchFile32(path, SlotPos(slot) + 8, block);  // slot deleted, block still in use
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_FALSE(archive->Verify(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_EQ(LastErrorMessage(), "unref blocknode(" + std::to_string(block) + ")");
}

struct Seen {
  std::vector<std::string> calls;
  std::string stopAt;  // the call that returns false
  bool Record(const std::string& call) {
    calls.push_back(call);
    return call != stopAt;
  }
};

bool OnFile(void* context, const char* name, PackFileStream* stream) {
  // Peeking is allowed when the position is put back.
  char first[4] = {};
  uint32_t position = stream->GetPosition();
  stream->Read(first, 1);
  stream->SetPosition(position);
  return static_cast<Seen*>(context)->Record(std::string("file ") + name + " " + first);
}

bool OnHash(void* context, uint32_t hashA, uint32_t hashB) {
  return static_cast<Seen*>(context)->Record("hash " + Hex(hashA) + " " + Hex(hashB));
}

bool OnBlock(void* context, uint32_t offset, uint32_t storedSize, uint32_t contentSize) {
  return static_cast<Seen*>(context)->Record("block " + std::to_string(offset) + " " +
                                             std::to_string(storedSize) + " " +
                                             std::to_string(contentSize));
}

TEST(PackVerifyTest, CallbacksSeeEveryFileSlotAndBlockInOrder) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  // Added in this order: the list takes block 0, "b" block 1.
  const std::string list = "x\n1\n" + Entry("b", "bee");
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Create(path.c_str()));
    ASSERT_TRUE(archive->AddFile(list.data(), static_cast<uint32_t>(list.size()), "(list)", true,
                                 false, 0, 0));
    ASSERT_TRUE(archive->AddFile("bee", 3, "b", true, false, 0, 0));
  }
  // The slot of "b" comes before that of "(list)" (32,636).
  uint32_t slot_b = PackNameHash(3, "b") % kPackHashSlotCount;
  ASSERT_LT(slot_b, 32636u);
  const std::vector<std::string> expected = {
      "file (list) x",
      "file b b",
      "hash " + Hex(PackNameHash(1, "b")) + " " + Hex(PackNameHash(2, "b")),
      "hash 8EE2C597 1EC97D8E",
      "block 1484852 24 24",
      "block 1485108 3 3",
  };
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  Seen all;
  ASSERT_TRUE(archive->Verify(&all, OnFile, OnHash, OnBlock)) << LastErrorMessage();
  EXPECT_EQ(all.calls, expected);

  // Each call may stop the check: false without a new error.
  for (const std::string& stop : expected) {
    Seen seen;
    seen.stopAt = stop;
    ReportError(99, "untouched");
    EXPECT_FALSE(archive->Verify(&seen, OnFile, OnHash, OnBlock)) << stop;
    EXPECT_EQ(LastErrorCode(), 99) << stop;
    EXPECT_EQ(seen.calls.back(), stop);
  }
  // Streams left by a stop go with Close.
  archive->Close();
  EXPECT_EQ(archive->open_stream_count(), 0u);
}

}  // namespace
}  // namespace qlmr
