// The POSIX side of the platform layer: how system names map to the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/posix_names.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

const char kChineseCp936[] = "\xCA\xFD\xBE\xDD";         // 数据
const char kChineseUtf8[] = "\xE6\x95\xB0\xE6\x8D\xAE";  // 数据

TEST(PosixNamesTest, Cp936NameIsStoredAsUtf8AndListedAsCp936) {
  TempDir dir;
  std::string name = std::string(kChineseCp936) + ".txt";
  WriteFileOrDie(dir.Join(name), "hello");
  std::string disk = MapNameToDisk(dir.Join(name).c_str());
  EXPECT_EQ(disk.substr(disk.size() - 10), std::string(kChineseUtf8) + ".txt");
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.path().c_str(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_EQ(ReadFileOrEmpty(dir.Join(name)), "hello");
}

TEST(PosixNamesTest, ExistingComponentsMatchInAnyCaseNewOnesAreCreatedAsGiven) {
  TempDir dir;
  WriteFileOrDie(dir.Join("Data\\Map\\Old.TXT"), "old");
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("DATA\\map\\old.txt")), "old");
  WriteFileOrDie(dir.Join("data\\MAP\\New.txt"), "new");
  std::vector<FolderEntry> top;
  ASSERT_TRUE(ListFolder(dir.path().c_str(), &top));
  ASSERT_EQ(top.size(), 1u);  // no second "data" folder
  EXPECT_EQ(top[0].name, "Data");
  std::vector<FolderEntry> map;
  ASSERT_TRUE(ListFolder(dir.Join("Data\\Map").c_str(), &map));
  std::vector<std::string> names;
  for (const FolderEntry& e : map) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"New.txt", "Old.TXT"}));
}

}  // namespace
}  // namespace qlmr
