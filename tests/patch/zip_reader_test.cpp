#include "patch/zip_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/mask.h"
#include "patch/zip_checks.h"
#include "patch/zip_writer.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

std::string ReadAll(ZipEntryReader* entry) {
  std::string out;
  char chunk[1000];
  for (;;) {
    int64_t n = entry->Read(chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return out;
}

// Compressible and incompressible members, large enough that the library
// reads the container in several pieces at many positions.
std::vector<ZipMember> SampleMembers() {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  return {{"(command)", "0||a.txt|0|0\r\n"},
          {"Data/Sub/Text.TXT", text},
          {"bin/random.dll", RandomBytes(7, 300000)},
          {"empty", ""}};
}

class ZipReaderFormTest : public ::testing::TestWithParam<ZipByteForm> {};

TEST_P(ZipReaderFormTest, ReadsEveryMemberOfEachFormThroughItsHandlers) {
  TempDir dir;
  std::string path = dir.Join("c.zip");
  std::vector<ZipMember> members = SampleMembers();
  ASSERT_TRUE(WriteZipContainer(members, path.c_str(), GetParam())) << LastErrorMessage();

  int error = -1;
  auto zip = ZipDirectory::Open(path.c_str(), GetZipReadHandlers(GetParam()), &error);
  ASSERT_NE(zip, nullptr) << error;
  EXPECT_EQ(error, 0);
  // Read out of order, so that the reader seeks back and forth in the file.
  for (size_t i = members.size(); i-- > 0;) {
    const ZipEntryInfo* info = zip->FindEntry(members[i].name.c_str());
    ASSERT_NE(info, nullptr) << members[i].name;
    EXPECT_EQ(info->size, members[i].data.size());
    EXPECT_EQ(info->name, members[i].name);
    const std::string& data = members[i].data;
    EXPECT_EQ(info->crc32, ZipCrcUpdate(0, data.data(), data.size())) << members[i].name;
    auto entry = zip->OpenEntry(*info);
    ASSERT_NE(entry, nullptr) << members[i].name;
    EXPECT_EQ(ReadAll(entry.get()), members[i].data) << members[i].name;
    EXPECT_EQ(entry->Tell(), members[i].data.size());
    ASSERT_TRUE(entry->Rewind());
    EXPECT_EQ(entry->Tell(), 0u);
    EXPECT_EQ(ReadAll(entry.get()), members[i].data) << "after rewind: " << members[i].name;
  }
}

TEST_P(ZipReaderFormTest, OtherHandlersCannotOpenTheContainer) {
  TempDir dir;
  std::string path = dir.Join("c.zip");
  ASSERT_TRUE(WriteZipContainer(SampleMembers(), path.c_str(), GetParam()));
  for (ZipByteForm other : {ZipByteForm::kPlain, ZipByteForm::kInverted, ZipByteForm::kMasked}) {
    if (other == GetParam()) continue;
    int error = 0;
    EXPECT_EQ(ZipDirectory::Open(path.c_str(), GetZipReadHandlers(other), &error), nullptr);
    EXPECT_NE(error, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ZipReaderFormTest,
                         ::testing::Values(ZipByteForm::kPlain, ZipByteForm::kInverted,
                                           ZipByteForm::kMasked));

TEST(ZipReaderTest, LooksNamesUpIgnoringAsciiCaseOnlyInsideTheArchive) {
  TempDir dir;
  std::string path = dir.Join("c.zip");
  ASSERT_TRUE(WriteZipContainer({{"Data/Map/A.TXT", "a"}, {"\xb1\xed/x", "cn"}}, path.c_str(),
                                ZipByteForm::kMasked));
  // A real file next to the archive must never be found through it.
  WriteFileOrDie(dir.Join("outside.txt"), "real");
  int error = 0;
  auto zip = ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kMasked), &error);
  ASSERT_NE(zip, nullptr);
  for (const char* name : {"data/map/a.txt", "DATA/MAP/A.TXT", "Data/Map/A.TXT"}) {
    auto entry = zip->OpenEntry(name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(ReadAll(entry.get()), "a");
  }
  EXPECT_NE(zip->OpenEntry("\xb1\xed/x"), nullptr);
  EXPECT_EQ(zip->OpenEntry("Data/Map"), nullptr);
  EXPECT_EQ(zip->OpenEntry("outside.txt"), nullptr);
  EXPECT_EQ(zip->OpenEntry(path.c_str()), nullptr);
}

// The index behind lookups finds what the directory holds, in any order of
// lookups, with backslashes and slashes alike, and the first of two entries
// that differ only in letter case.
TEST(ZipReaderTest, TheLookupIndexFindsEveryEntryAndTheFirstOfEqualNames) {
  TempDir dir;
  std::string path = dir.Join("many.zip");
  std::vector<ZipMember> members;
  for (int i = 0; i < 300; ++i) {
    members.push_back(
        {"dir" + std::to_string(i % 7) + "/f" + std::to_string(i), std::to_string(i)});
  }
  members.push_back({"Twice", "first"});
  members.push_back({"TWICE", "second"});
  members.push_back({"back\\slash", "stored with a backslash"});
  ASSERT_TRUE(WriteZipContainer(members, path.c_str(), ZipByteForm::kPlain));
  int error = 0;
  auto zip = ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kPlain), &error);
  ASSERT_NE(zip, nullptr);
  for (int i = 299; i >= 0; i -= 13) {
    std::string name = "DIR" + std::to_string(i % 7) + "/F" + std::to_string(i);
    const ZipEntryInfo* info = zip->FindEntry(name.c_str());
    ASSERT_NE(info, nullptr) << i;
    EXPECT_EQ(info->size, std::to_string(i).size());
    auto entry = zip->OpenEntry(*info);
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(ReadAll(entry.get()), std::to_string(i));
  }
  auto twice = zip->OpenEntry("twice");
  ASSERT_NE(twice, nullptr);
  EXPECT_EQ(ReadAll(twice.get()), "first");
  auto slash = zip->OpenEntry("Back/Slash");
  ASSERT_NE(slash, nullptr);
  EXPECT_EQ(ReadAll(slash.get()), "stored with a backslash");
  EXPECT_EQ(zip->OpenEntry("dir0/f1"), nullptr);
  EXPECT_EQ(zip->OpenEntry(""), nullptr);
}

TEST(ZipReaderTest, OpenReportsTheLibrarysErrorNumberForMissingOrBrokenFiles) {
  TempDir dir;
  std::string good = dir.Join("good.zip");
  ASSERT_TRUE(WriteZipContainer(SampleMembers(), good.c_str(), ZipByteForm::kPlain));
  std::string content = ReadFileOrEmpty(good);
  std::string truncated = dir.Join("truncated.zip");
  WriteFileOrDie(truncated, content.substr(0, content.size() - 30));  // central directory cut
  std::string garbage = dir.Join("garbage.zip");
  WriteFileOrDie(garbage, RandomBytes(3, 5000));
  for (const std::string& path : {dir.Join("missing.zip"), truncated, garbage}) {
    int error = 0;
    EXPECT_EQ(ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kPlain), &error),
              nullptr)
        << path;
    EXPECT_NE(error, 0) << path;
  }
}

TEST(ZipReaderTest, UnmaskingIsByFilePositionSoAnySliceUnmasksAlone) {
  std::string zip = RandomBytes(9, 700);
  std::string masked = zip;
  MaskBuffer(&masked[0], masked.size(), 0);
  for (size_t start : {0u, 1u, 255u, 256u, 300u}) {
    std::string slice = masked.substr(start, 200);
    UnmaskContainerBytes(ZipByteForm::kMasked, start, &slice[0], slice.size());
    EXPECT_EQ(slice, zip.substr(start, 200)) << start;
  }
  std::string inverted = "\xaf\xb4";
  UnmaskContainerBytes(ZipByteForm::kInverted, 12345, &inverted[0], 2);
  EXPECT_EQ(inverted, "PK");
}

}  // namespace
}  // namespace qlmr
