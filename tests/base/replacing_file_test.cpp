#include "base/replacing_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/platform.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

size_t EntriesIn(const std::string& folder) {
  std::vector<FolderEntry> entries;
  EXPECT_TRUE(ListFolder(folder.c_str(), &entries));
  return entries.size();
}

TEST(ReplacingFileTest, TheDestinationChangesOnlyAtCommit) {
  TempDir dir;
  std::string target = dir.Join("t.bin");
  WriteFileOrDie(target, "old");
  {
    ReplacingFile file;
    ASSERT_TRUE(file.Create(dir.path().c_str(), "qrt"));
    ASSERT_TRUE(file.Write("new content", 11));
    ASSERT_TRUE(file.Write(nullptr, 0));
    EXPECT_EQ(ReadFileOrEmpty(target), "old");
    EXPECT_EQ(EntriesIn(dir.path()), 2u);
    ASSERT_TRUE(file.Commit(target.c_str()));
  }
  EXPECT_EQ(ReadFileOrEmpty(target), "new content");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(ReplacingFileTest, AnUncommittedFileLeavesNothingBehind) {
  TempDir dir;
  std::string target = dir.Join("t.bin");
  WriteFileOrDie(target, "old");
  {
    ReplacingFile file;
    ASSERT_TRUE(file.Create(dir.path().c_str(), "qrt"));
    ASSERT_TRUE(file.Write("half", 4));
  }
  EXPECT_EQ(ReadFileOrEmpty(target), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(ReplacingFileTest, AFailedCommitKeepsTheDestinationAndDropsTheCopy) {
  TempDir dir;
  // A folder cannot be replaced by a file.
  std::string target = dir.Join("sub");
  ASSERT_TRUE(MakeFolder(target.c_str()));
  {
    ReplacingFile file;
    ASSERT_TRUE(file.Create(dir.path().c_str(), "qrt"));
    ASSERT_TRUE(file.Write("x", 1));
    EXPECT_FALSE(file.Commit(target.c_str()));
  }
  EXPECT_TRUE(IsFolder(target.c_str()));
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

// Writers that open files by name fill the temporary file themselves.
TEST(ReplacingFileTest, AFileFilledByNameIsCommittedWhole) {
  TempDir dir;
  std::string target = dir.Join("t.bin");
  WriteFileOrDie(target, "old");
  {
    ReplacingFile file;
    ASSERT_TRUE(file.Create(dir.path().c_str(), "qrt"));
    file.file()->Close();
    WriteFileOrDie(file.tempPath(), "written by name");
    EXPECT_EQ(ReadFileOrEmpty(target), "old");
    ASSERT_TRUE(file.Commit(target.c_str()));
  }
  EXPECT_EQ(ReadFileOrEmpty(target), "written by name");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(ReplacingFileTest, CreateInAMissingFolderFailsWithoutAName) {
  TempDir dir;
  ReplacingFile file;
  EXPECT_FALSE(file.Create(dir.Join("missing").c_str(), "qrt"));
  EXPECT_TRUE(file.tempPath().empty());
}

}  // namespace
}  // namespace qlmr
