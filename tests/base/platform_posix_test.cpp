// The POSIX side of the platform layer: how system names map to the disk.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/posix_names.h"
#include "tests/support/forked_child.h"
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

// Within a listing scope each folder is read once; what this process adds,
// removes or renames through the platform layer keeps the kept listings
// right, and a folder reached by another spelling shares its listing.
TEST(PosixNamesTest, AListingScopeFollowsThisProcessesOwnChanges) {
  TempDir dir;
  WriteFileOrDie(dir.Join("Data\\Old.TXT"), "old");
  {
    FolderListingScope scope;
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("DATA\\old.txt")), "old");  // reads the folder

    WriteFileOrDie(dir.Join("data\\New.txt"), "new");
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("Data\\NEW.TXT")), "new") << "an added file is listed";
    WriteFileOrDie(dir.Join("DATA\\new.TXT"), "newer");
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("data\\New.txt")), "newer") << "replaced, not doubled";

    ASSERT_TRUE(RemoveFileAt(dir.Join("data\\NEW.txt").c_str()));
    EXPECT_FALSE(PathExists(dir.Join("Data\\new.txt").c_str())) << "a removed file is unlisted";
    WriteFileOrDie(dir.Join("data\\nEw.txt"), "again");

    ASSERT_TRUE(
        MoveFileReplace(dir.Join("data\\old.txt").c_str(), dir.Join("data\\Moved.txt").c_str()));
    EXPECT_FALSE(PathExists(dir.Join("Data\\OLD.TXT").c_str()));
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("Data\\.\\MOVED.TXT")), "old");

    ASSERT_TRUE(MakeFolder(dir.Join("data\\Sub").c_str()));
    WriteFileOrDie(dir.Join("DATA\\SUB\\f"), "in sub");
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("data\\sub\\F")), "in sub");

    // A file made behind the layer's back (as another process would) is
    // not seen under another letter case while the scope lasts.
    FILE* behind = fopen((MapNameToDisk(dir.Join("Data").c_str()) + "/Hidden.txt").c_str(), "w");
    ASSERT_NE(behind, nullptr);
    fclose(behind);
    EXPECT_FALSE(PathExists(dir.Join("data\\hidden.txt").c_str()));
  }
  EXPECT_TRUE(PathExists(dir.Join("data\\hidden.txt").c_str())) << "the scope's listings are gone";
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.Join("Data").c_str(), &entries));
  std::vector<std::string> names;
  for (const FolderEntry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Hidden.txt", "Moved.txt", "Sub", "nEw.txt"}));
}

// The processors a process may use are its affinity, not the machine's: a
// child narrowed to one processor (as taskset does) counts one.
TEST(ProcessorCountTest, FollowsTheAffinityOfTheProcess) {
  EXPECT_GE(UsableProcessorCount(), 1u);
  int status = testing_support::RunInForkedChild([] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 2;
    int first = 0;
    while (!CPU_ISSET(first, &set)) ++first;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) return 2;
    return UsableProcessorCount() == 1 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace qlmr
