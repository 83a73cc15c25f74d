#include "patch/extract_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "patch/zip_writer.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

class ExtractEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sizes around the 4096-byte copy chunk.
    for (size_t size : {0u, 1u, 4095u, 4096u, 4097u, 100000u}) {
      members_.push_back({"Dir/Size" + std::to_string(size), RandomBytes(size, size)});
    }
    members_.push_back({"five", "12345"});
    std::string path = dir_.Join("c.zip");
    ASSERT_TRUE(WriteZipContainer(members_, path.c_str(), ZipByteForm::kMasked));
    int error = 0;
    container_.zip =
        ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kMasked), &error);
    ASSERT_NE(container_.zip, nullptr);
  }

  TempDir dir_;
  std::vector<ZipMember> members_;
  PatchContainer container_;
};

TEST_F(ExtractEntryTest, CopiesEachEntryToAFileCreatingItsFolders) {
  for (const ZipMember& member : members_) {
    // Backslashes and another letter case find the same entry.
    std::string name = "dir\\" + member.name.substr(member.name.find('/') + 1);
    if (member.name == "five") name = "FIVE";
    std::string target = dir_.Join("out\\a\\b\\" + name);
    uint32_t length = 99;
    ASSERT_TRUE(ExtractEntry(&container_, name.c_str(), target.c_str(), nullptr, &length, true))
        << name << ": " << LastErrorMessage();
    EXPECT_EQ(length, member.data.size());
    bool ok = false;
    EXPECT_EQ(ReadFileOrEmpty(target, &ok), member.data) << name;
    EXPECT_TRUE(ok);
  }
}

TEST_F(ExtractEntryTest, ReplacesAnExistingFileInPlace) {
  std::string target = dir_.Join("five.txt");
  WriteFileOrDie(target, std::string(10000, 'x'));
  ASSERT_TRUE(ExtractEntry(&container_, "five", target.c_str(), nullptr, nullptr, true));
  EXPECT_EQ(ReadFileOrEmpty(target), "12345");
}

TEST_F(ExtractEntryTest, IntoMemoryTheDataIsFollowedByZerosUpToAMultipleOfFour) {
  // A longer extraction first, so that old bytes sit behind the short one.
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(ExtractEntry(&container_, "dir/size4097", nullptr, &data, &length, true));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), members_[4].data);
  ASSERT_TRUE(ExtractEntry(&container_, "five", nullptr, &data, &length, true));
  ASSERT_EQ(length, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 5), "12345");
  EXPECT_GE(ExtractionBufferCapacity(), 8u);
  for (int i = 5; i < 8; ++i) EXPECT_EQ(data[i], 0) << i;

  ASSERT_TRUE(ExtractEntry(&container_, "dir/size0", nullptr, &data, &length, true));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(data[0], 0);
}

TEST_F(ExtractEntryTest, AMissingEntryIsEmptyUnlessItMustExist) {
  const uint8_t* data = nullptr;
  uint32_t length = 7;
  ASSERT_TRUE(ExtractEntry(&container_, "(command)", nullptr, &data, &length, false));
  EXPECT_EQ(length, 0u);

  std::string target = dir_.Join("absent.txt");
  WriteFileOrDie(target, "old");
  ReportError(ERR_NONE, "");
  EXPECT_FALSE(ExtractEntry(&container_, "absent", target.c_str(), nullptr, &length, true));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("ziperr=", 0), 0u);
  EXPECT_EQ(ReadFileOrEmpty(target), "old") << "nothing written for a missing entry";
  EXPECT_FALSE(ExtractEntry(&container_, "absent", nullptr, &data, &length, true));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
}

TEST_F(ExtractEntryTest, BadArgumentsGiveCode10) {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  PatchContainer closed;
  struct {
    const PatchContainer* container;
    const char* name;
    const char* target;
    const uint8_t** data;
  } cases[] = {
      {nullptr, "five", nullptr, &data},       {&closed, "five", nullptr, &data},
      {&container_, nullptr, nullptr, &data},  {&container_, "", nullptr, &data},
      {&container_, "five", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    ReportError(ERR_NONE, "");
    EXPECT_FALSE(ExtractEntry(c.container, c.name, c.target, c.data, &length, false));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
    EXPECT_STREQ(LastErrorMessage(), "");
  }
}

TEST_F(ExtractEntryTest, TargetsThatCannotBeMadeGiveCode3WithTheirMessages) {
  WriteFileOrDie(dir_.Join("blocker"), "a file where a folder should be");
  std::string underFile = dir_.Join("blocker\\sub\\x.txt");
  EXPECT_FALSE(ExtractEntry(&container_, "five", underFile.c_str(), nullptr, nullptr, true));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(
      std::string(LastErrorMessage()).rfind("Path=" + dir_.Join("blocker\\sub") + ", WinErr=", 0),
      0u)
      << LastErrorMessage();

  ASSERT_TRUE(MakeFolder(dir_.Join("folder").c_str()));
  std::string onFolder = dir_.Join("folder");
  EXPECT_FALSE(ExtractEntry(&container_, "five", onFolder.c_str(), nullptr, nullptr, true));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("File=" + onFolder + ", WinErr=", 0), 0u)
      << LastErrorMessage();
}

TEST(ExtractEntryDataTest, ACorruptDeflateStreamFailsWithCode14) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "word" + std::to_string(i % 977) + " ";
  std::string path = dir.Join("c.zip");
  ASSERT_TRUE(WriteZipContainer({{"a", text}}, path.c_str(), ZipByteForm::kPlain));
  std::string bytes = ReadFileOrEmpty(path);
  bytes.replace(200, 64, std::string(64, '\x55'));  // inside the member's compressed data
  WriteFileOrDie(path, bytes);
  PatchContainer container;
  int error = 0;
  container.zip = ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kPlain), &error);
  ASSERT_NE(container.zip, nullptr);
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  EXPECT_FALSE(ExtractEntry(&container, "a", nullptr, &data, &length, true));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
  std::string target = dir.Join("out.txt");
  EXPECT_FALSE(ExtractEntry(&container, "a", target.c_str(), nullptr, &length, true));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
}

// An entry too large for memory fails before any allocation is tried.
class HugeEntry : public ZipEntryReader {
 public:
  bool Rewind() override { return true; }
  int64_t Read(void*, uint32_t) override { return -1; }
  uint64_t Tell() override { return 0; }
};

class HugeDirectory : public ZipDirectory {
 public:
  int ErrorNumber() const override { return 0; }

 protected:
  bool ListEntries(std::vector<ZipEntryInfo>* entries) override {
    ZipEntryInfo big;
    big.name = "big";
    big.size = big.compressedSize = 0x80000000u;  // stored: a possible claim
    entries->push_back(big);
    return true;
  }
  std::unique_ptr<ZipEntryReader> OpenEntryAt(size_t) override {
    return std::make_unique<HugeEntry>();
  }
};

TEST(ExtractEntryLimitTest, AnEntryBeyondWhatAnArchiveHoldsFailsWithCode9) {
  size_t before = ExtractionBufferCapacity();
  PatchContainer container;
  container.zip = std::make_unique<HugeDirectory>();
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  EXPECT_FALSE(ExtractEntry(&container, "big", nullptr, &data, &length, true));
  EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY);
  EXPECT_STREQ(LastErrorMessage(), "Size=2147483648");
  EXPECT_EQ(ExtractionBufferCapacity(), before);
}

}  // namespace
}  // namespace qlmr
