#include <gtest/gtest.h>

#include <string>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::CurrentFolderScope;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

struct NormalizeCase {
  const char* in;
  bool lower;
  bool slash;
  const char* out;
};

TEST(NormalizeNameTest, Table) {
  const NormalizeCase cases[] = {
      {"Data\\Map\\A.TXT", true, true, "data/map/a.txt"},
      {"Data\\Map\\A.TXT", true, false, "data\\map\\a.txt"},
      {"Data\\Map\\A.TXT", false, true, "Data/Map/A.TXT"},
      {"Data\\Map\\A.TXT", false, false, "Data\\Map\\A.TXT"},
      {"", true, true, ""},
      // Trail byte 0x5C (a backslash) inside a double-byte character stays.
      {"\x95\x5C\\A", true, true, "\x95\x5C/a"},
      // Trail byte 0x41 ('A') inside a double-byte character stays.
      {"\x81\x41"
       "B\\C",
       true, true,
       "\x81\x41"
       "b/c"},
      {"\xB5\xD8\x5C\x41", true, true, "\xB5\xD8/a"},
      // A lead byte at the very end does not run past the terminator.
      {"AB\xB5", true, true, "ab\xB5"},
      {"\x80Q", true, true, "\x80q"},
  };
  for (const NormalizeCase& c : cases) {
    EXPECT_EQ(NormalizeName(c.in, c.lower, c.slash), c.out)
        << c.in << " lower=" << c.lower << " slash=" << c.slash;
  }
}

TEST(NormalizeNameTest, BufferFormWorksInPlace) {
  char text[] = "ICONS\\A.TGA";
  NormalizeName(text, text, true, true);
  EXPECT_STREQ(text, "icons/a.tga");
}

TEST(ComparePathsTest, BlanksCaseAndOneTrailingSeparatorDoNotCount) {
  EXPECT_EQ(ComparePaths("C:\\Game\\", " c:\\game"), 0);
  EXPECT_EQ(ComparePaths("  C:\\Game  ", "c:\\GAME\\"), 0);
  EXPECT_EQ(ComparePaths("C:\\Game/Data\\", "c:/game\\data"), 0);
  EXPECT_NE(ComparePaths("C:\\Game\\\\", "C:\\Game"), 0);
  EXPECT_EQ(ComparePaths("C:\\", "c:\\"), 0);
  EXPECT_LT(ComparePaths("C:\\a", "C:\\b"), 0);
  EXPECT_GT(ComparePaths("C:\\b", "C:\\A"), 0);
  // The trail bytes 0x41 and 0x61 make two different characters.
  EXPECT_NE(ComparePaths("C:\\\x81\x41", "C:\\\x81\x61"), 0);
}

// A drive root keeps its separator: "C:" is the current folder of drive C,
// which is another folder than "C:\\" once it lies below the root.
TEST(ComparePathsTest, DriveRootIsNotTheDrivesCurrentFolder) {
  TempDir dir;
  CurrentFolderScope here(dir.path());
  std::string drive =
      dir.path().size() > 1 && dir.path()[1] == ':' ? dir.path().substr(0, 2) : "C:";
  EXPECT_NE(ComparePaths((drive + "\\").c_str(), drive.c_str()), 0);
}

// On Linux the "short form" is the name as it lies on the disk, so a path
// written with backslashes and another case matches the process's own form.
TEST(ComparePathsTest, ExistingPathMatchesAcrossSeparatorsAndCase) {
  TempDir dir;
  std::string client = dir.Join("Game\\qlmr.exe");
  WriteFileOrDie(client, "x");
  std::string other_form = ShortPathName(dir.Join("GAME\\QLMR.EXE").c_str());
  EXPECT_EQ(ComparePaths(client.c_str(), other_form.c_str()), 0);
  EXPECT_NE(ComparePaths(client.c_str(), dir.Join("Game2\\qlmr.exe").c_str()), 0);
}

TEST(CreateFolderChainTest, CreatesAllMissingLevels) {
  TempDir dir;
  std::string deep = dir.Join("a\\b\\c");
  EXPECT_TRUE(CreateFolderChain(deep.c_str()));
  EXPECT_TRUE(IsFolder(dir.Join("a").c_str()));
  EXPECT_TRUE(IsFolder(dir.Join("a\\b").c_str()));
  EXPECT_TRUE(IsFolder(deep.c_str()));
  EXPECT_TRUE(CreateFolderChain(deep.c_str()));  // exists already
}

TEST(CreateFolderChainTest, FailsWhenTheRootCannotBeCreated) {
  TempDir dir;
  std::string file = dir.Join("plain-file");
  WriteFileOrDie(file, "x");
  // A file in the way can never become a folder.
  EXPECT_FALSE(CreateFolderChain((file + "\\sub\\deeper").c_str()));
  EXPECT_FALSE(CreateFolderChain(""));
}

TEST(FileSizeOfTest, SizesAndFailures) {
  TempDir dir;
  std::string path = dir.Join("s.bin");
  WriteFileOrDie(path, std::string(12345, 'q'));
  EXPECT_EQ(FileSizeOf(path.c_str()), 12345u);
  EXPECT_EQ(FileSizeOf(""), 0u);
  EXPECT_EQ(FileSizeOf(nullptr), 0u);
  EXPECT_EQ(FileSizeOf(dir.Join("absent").c_str()), 0u);
}

TEST(PathTest, JoinFileNameFolderExtension) {
  EXPECT_EQ(JoinPath("C:\\Game", "data\\a.pak"), "C:\\Game\\data\\a.pak");
  EXPECT_EQ(JoinPath("C:\\Game\\", "\\data"), "C:\\Game\\data");
  EXPECT_EQ(JoinPath("", "x"), "x");
  // The folder ends in a double-byte character whose trail byte is 0x5C.
  EXPECT_EQ(JoinPath("\x95\x5C", "x"), "\x95\x5C\\x");
  EXPECT_EQ(PathFileName("a\\b/c.txt"), "c.txt");
  EXPECT_EQ(PathFileName("\x95\x5C"), "\x95\x5C");
  EXPECT_EQ(PathFolder("a\\b\\c"), "a\\b");
  EXPECT_EQ(PathFolder("C:\\x"), "C:\\");
  EXPECT_EQ(PathFolder("/x"), "/");
  EXPECT_EQ(PathFolder("x"), "");
  EXPECT_EQ(PathExtension("data\\item.PAK"), "PAK");
  EXPECT_EQ(PathExtension("dir.v2\\file"), "");
  EXPECT_EQ(PathExtension(".ver"), "ver");
}

}  // namespace
}  // namespace qlmr
