#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

TEST(PackCreateTest, NewArchiveIsExactlyTheEmptyLayout) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Create(path.c_str()));
  std::string bytes = ReadFileOrEmpty(path);
  ASSERT_EQ(bytes.size(), 1484852u);
  EXPECT_EQ(bytes.substr(0, 4), "AXPK");
  EXPECT_EQ(Get32(bytes, 4), 0x00020000u);
  EXPECT_EQ(Get32(bytes, 8), 1u) << "write flag set while the creator holds it";
  EXPECT_EQ(Get32(bytes, 12), 40u);
  EXPECT_EQ(Get32(bytes, 16), 436276u);
  EXPECT_EQ(Get32(bytes, 24), 0x100000u);
  EXPECT_EQ(Get32(bytes, 28), 1484852u);
  EXPECT_EQ(bytes.find_first_not_of('\0', 40), std::string::npos) << "all zero after byte 40";
  archive->Close();
  EXPECT_EQ(Get32(ReadFileOrEmpty(path), 8), 0u) << "Close clears the write flag";
}

TEST(PackRoundTripTest, AddedFilesReadBackAfterReopen) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  const std::map<std::string, std::string> files = {
      {"Data\\Map\\A.TXT", "hello"},
      {"empty.bin", ""},
      {"big.bin", RandomBytes(7, 700000)},  // read on demand
      {"granule.bin", RandomBytes(8, 256)},
  };
  MakeArchiveOrDie(path, files);
  std::map<std::string, std::string> expected = files;
  ExpectConsistent(path, expected);
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_EQ(ReadStored(*archive, "data/map/a.txt"), "hello");
  EXPECT_TRUE(archive->HasFile("DATA/MAP/a.txt"));
  EXPECT_FALSE(archive->HasFile("data/map/b.txt"));
}

}  // namespace
}  // namespace qlmr
