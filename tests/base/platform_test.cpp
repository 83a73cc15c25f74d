// The platform layer's contract (base/platform.h), run against both sides.
#include "base/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::CurrentFolderScope;
using testing_support::LinkKind;
using testing_support::MakeLink;
using testing_support::ReadFileOrEmpty;
using testing_support::Spelling;
using testing_support::SpellingsOfOneFile;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

// The error number of a refused argument.
#ifdef _WIN32
constexpr int kInvalidArgument = 87;  // ERROR_INVALID_PARAMETER
#else
constexpr int kInvalidArgument = EINVAL;
#endif

const char kChineseCp936[] = "\xCA\xFD\xBE\xDD";         // 数据
const char kChineseUtf8[] = "\xE6\x95\xB0\xE6\x8D\xAE";  // 数据

TEST(PlatformNamesTest, Cp936NameIsListedAndReadBackAsGiven) {
  TempDir dir;
  std::string name = std::string(kChineseCp936) + ".txt";
  WriteFileOrDie(dir.Join(std::string(kChineseCp936) + "\\" + name), "hello");
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.Join(kChineseCp936).c_str(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_FALSE(entries[0].isFolder);
  EXPECT_TRUE(IsFolder(dir.Join(kChineseCp936).c_str()));
  EXPECT_EQ(ReadFileOrEmpty(dir.Join(std::string(kChineseCp936) + "/" + name)), "hello");
}

TEST(PlatformNamesTest, TrailByte5CIsNotASeparator) {
  TempDir dir;
  std::string name = "\x95\x5C.bin";  // 昞.bin
  WriteFileOrDie(dir.Join(name), "x");
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.path().c_str(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_FALSE(entries[0].isFolder);
}

TEST(PlatformFileTest, ModesPositionsAndSizes) {
  TempDir dir;
  std::string path = dir.Join("f.bin");
  File file;
  EXPECT_FALSE(file.Open(path.c_str(), FileMode::kRead));  // must exist
  EXPECT_FALSE(file.Open(path.c_str(), FileMode::kReadWrite));
  ASSERT_TRUE(file.Open(path.c_str(), FileMode::kCreate));
  ASSERT_TRUE(file.Write("0123456789", 10));
  ASSERT_TRUE(file.WriteAt(20, "xy", 2));
  uint64_t size = 0;
  ASSERT_TRUE(file.Size(&size));
  EXPECT_EQ(size, 22u);
  char buffer[8] = {};
  uint32_t got = 0;
  ASSERT_TRUE(file.ReadAt(8, buffer, 4, &got));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, 4), std::string("89\0\0", 4));
  ASSERT_TRUE(file.Seek(21));
  ASSERT_TRUE(file.Read(buffer, 8, &got));
  EXPECT_EQ(got, 1u);
  ASSERT_TRUE(file.Seek(100));
  ASSERT_TRUE(file.Read(buffer, 8, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(file.Flush());
  ASSERT_TRUE(file.Close());
  // kCreate replaces an existing file.
  ASSERT_TRUE(file.Open(path.c_str(), FileMode::kCreate));
  ASSERT_TRUE(file.Size(&size));
  EXPECT_EQ(size, 0u);
}

TEST(PlatformFileTest, AFolderIsNotAFile) {
  TempDir dir;
  File file;
  EXPECT_FALSE(file.Open(dir.path().c_str(), FileMode::kRead));
  EXPECT_NE(LastSystemError(), 0);
}

TEST(PlatformFileTest, MoveReplacesAndTempNamesAreUnique) {
  TempDir dir;
  WriteFileOrDie(dir.Join("a"), "first");
  WriteFileOrDie(dir.Join("b"), "second");
  ASSERT_TRUE(MoveFileReplace(dir.Join("a").c_str(), dir.Join("b").c_str()));
  EXPECT_FALSE(PathExists(dir.Join("a").c_str()));
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("b")), "first");
  std::string one;
  std::string two;
  ASSERT_TRUE(CreateUniqueTempFile(dir.path().c_str(), "axu", &one));
  ASSERT_TRUE(CreateUniqueTempFile(dir.path().c_str(), "axu", &two));
  EXPECT_NE(one, two);
  EXPECT_EQ(PathFileName(one).rfind("axu", 0), 0u);
  EXPECT_EQ(FileSizeOf(one.c_str()), 0u);
  EXPECT_TRUE(PathExists(two.c_str()));
}

// A fresh file never goes through what stood at its name: a link there goes
// itself, and the file it pointed to keeps every byte.
TEST(PlatformFileTest, CreateFreshReplacesWhatStandsAtTheNameNeverWritingThroughIt) {
  enum class Standing { kNothing, kFile, kSymbolicLink, kHardLink, kDanglingLink };
  const Standing cases[] = {Standing::kNothing, Standing::kFile, Standing::kSymbolicLink,
                            Standing::kHardLink, Standing::kDanglingLink};
  for (Standing standing : cases) {
    SCOPED_TRACE(static_cast<int>(standing));
    TempDir dir;
    std::string name = dir.Join("x.~new");
    std::string victim = dir.Join("victim");
    WriteFileOrDie(victim, "precious");
    bool made = true;
    switch (standing) {
      case Standing::kNothing:
        break;
      case Standing::kFile:
        WriteFileOrDie(name, "an older copy, longer than the new one");
        break;
      case Standing::kSymbolicLink:
        made = MakeLink(name, victim, LinkKind::kSymbolic);
        break;
      case Standing::kHardLink:
        made = MakeLink(name, victim, LinkKind::kHard);
        break;
      case Standing::kDanglingLink:
        made = MakeLink(name, dir.Join("nothing"), LinkKind::kSymbolic);
        break;
    }
    if (!made) continue;  // Windows without the privilege for symbolic links
    File file;
    ASSERT_TRUE(file.Open(name.c_str(), FileMode::kCreateFresh)) << LastSystemError();
    ASSERT_TRUE(file.Write("new", 3));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(ReadFileOrEmpty(name), "new");
    EXPECT_EQ(ReadFileOrEmpty(victim), "precious");
    EXPECT_FALSE(PathExists(dir.Join("nothing").c_str()));
  }
  // A folder at the name stays, and the file is refused.
  TempDir dir;
  WriteFileOrDie(dir.Join("x.~new\\inside"), "kept");
  File file;
  EXPECT_FALSE(file.Open(dir.Join("x.~new").c_str(), FileMode::kCreateFresh));
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("x.~new\\inside")), "kept");
}

TEST(PlatformFileTest, MakeDurableNamesThePathItCannotKeep) {
  TempDir dir;
  WriteFileOrDie(dir.Join("sub\\a.bin"), "a");
  std::string failed = "untouched";
  EXPECT_TRUE(MakeDurable({dir.Join("sub\\a.bin"), dir.Join("sub"), dir.path()}, &failed));
  EXPECT_EQ(failed, "untouched");
  EXPECT_TRUE(MakeDurable({}, &failed));
  EXPECT_FALSE(MakeDurable({dir.Join("sub\\a.bin"), dir.Join("gone.bin")}, &failed));
  EXPECT_EQ(failed, dir.Join("gone.bin"));
  EXPECT_NE(LastSystemError(), 0);
}

// Folders for a shared temporary folder: new each time, named so that nobody
// can guess the next one, and this user's alone.
TEST(PlatformTest, PrivateFoldersAreNewOwnAndUnguessable) {
  TempDir dir;
  std::string one;
  std::string two;
  ASSERT_TRUE(MakePrivateFolder(dir.path().c_str(), "qpf", &one));
  ASSERT_TRUE(MakePrivateFolder(dir.path().c_str(), "qpf", &two));
  EXPECT_NE(one, two);
  for (const std::string& folder : {one, two}) {
    std::string name = PathFileName(folder);
    ASSERT_EQ(name.size(), 3u + 16u + 4u) << name;
    EXPECT_EQ(name.substr(0, 3), "qpf");
    EXPECT_EQ(name.substr(19), ".tmp");
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 3), 19u) << name;
    EXPECT_TRUE(IsFolder(folder.c_str()));
    EXPECT_TRUE(IsOwnFolder(folder.c_str()));
  }
  // 64 random bits each: two names that share half their digits would be a
  // counter, not chance.
  EXPECT_NE(PathFileName(one).substr(3, 8), PathFileName(two).substr(3, 8));
  // A file and a link to an own folder are no own folders.
  WriteFileOrDie(dir.Join("file"), "");
  EXPECT_FALSE(IsOwnFolder(dir.Join("file").c_str()));
  if (MakeLink(dir.Join("link"), one, LinkKind::kSymbolic)) {
#ifndef _WIN32
    // (Wine's links to folders do not show as folders.)
    EXPECT_TRUE(IsFolder(dir.Join("link").c_str()));
#endif
    EXPECT_FALSE(IsOwnFolder(dir.Join("link").c_str()));
  }
}

// Every spelling of one file names that file: ComparePaths answers 0, and
// copying or moving it onto itself is refused before anything is truncated.
TEST(SameFileObjectTest, EverySpellingOfOneFileIsThatFile) {
  TempDir dir;
  WriteFileOrDie(dir.Join("x.zip"), "content");
  WriteFileOrDie(dir.Join("y.zip"), "content");
  CurrentFolderScope here(dir.path());
  for (const Spelling& name : SpellingsOfOneFile(dir, "x.zip")) {
    for (const std::string& other : {std::string("x.zip"), dir.Join("x.zip")}) {
      EXPECT_TRUE(IsSameFileObject(name.path.c_str(), other.c_str())) << name.what;
      EXPECT_EQ(ComparePaths(name.path.c_str(), other.c_str()), 0) << name.what;
      EXPECT_FALSE(CopyFileReplace(name.path.c_str(), other.c_str())) << name.what;
      EXPECT_EQ(LastSystemError(), kInvalidArgument) << name.what;
      EXPECT_FALSE(CopyFileReplace(other.c_str(), name.path.c_str())) << name.what;
      EXPECT_EQ(LastSystemError(), kInvalidArgument) << name.what;
      EXPECT_FALSE(MoveFileReplace(name.path.c_str(), other.c_str())) << name.what;
      EXPECT_EQ(LastSystemError(), kInvalidArgument) << name.what;
      EXPECT_EQ(ReadFileOrEmpty("x.zip"), "content") << name.what;
      EXPECT_TRUE(PathExists(name.path.c_str())) << name.what;
    }
    // Another file of the same content is another object.
    EXPECT_FALSE(IsSameFileObject(name.path.c_str(), "y.zip")) << name.what;
    EXPECT_NE(ComparePaths(name.path.c_str(), "y.zip"), 0) << name.what;
  }
  // Names that do not exist compare by their text as it maps to the disk.
  EXPECT_FALSE(IsSameFileObject("new.zip", "new.zip"));
  EXPECT_EQ(ComparePaths("sub\\new.zip", "SUB/New.zip"), 0);
  EXPECT_NE(ComparePaths("new.zip", "x.zip"), 0);
  // Between two objects both still work.
  ASSERT_TRUE(CopyFileReplace("x.zip", "y.zip"));
  ASSERT_TRUE(MoveFileReplace("y.zip", "z.zip"));
  EXPECT_EQ(ReadFileOrEmpty("z.zip"), "content");
}

TEST(PlatformTest, ExecutablePathAndTempFolder) {
  std::string self = ExecutablePath();
  EXPECT_TRUE(PathExists(self.c_str()));
  std::string temp = TempFolderPath();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(temp.back() == '/' || temp.back() == '\\');
  EXPECT_TRUE(IsFolder(temp.c_str()));
}

TEST(PlatformTest, CodePageConversionRoundTripsAndKeepsBadBytes) {
  EXPECT_EQ(Cp936ToUtf8(kChineseCp936), kChineseUtf8);
  EXPECT_EQ(Utf8ToCp936(kChineseUtf8), kChineseCp936);
  EXPECT_EQ(Cp936ToUtf8("plain"), "plain");
  // A lead byte without its trail byte cannot convert and is kept.
  std::string broken = std::string("a") + "\xCA";
  EXPECT_EQ(Cp936ToUtf8(broken), broken);
  // A character that code page 936 lacks stays as its UTF-8 bytes.
  std::string emoji = "x\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8ToCp936(emoji), emoji);
}

// The ids of running processes whose executable is `path`.
std::vector<uint32_t> ProcessesOf(const std::string& path) {
  std::vector<uint32_t> ids;
  EXPECT_TRUE(EnumerateProcesses([&](const ProcessEntry& process) {
    if (!process.imagePath.empty() && ComparePaths(process.imagePath.c_str(), path.c_str()) == 0) {
      ids.push_back(process.id);
    }
  }));
  return ids;
}

// Polls until the process list shows `count` copies of `path` (10 s at most).
std::vector<uint32_t> WaitForProcesses(const std::string& path, size_t count) {
  std::vector<uint32_t> ids = ProcessesOf(path);
  for (int i = 0; i < 400 && ids.size() != count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ids = ProcessesOf(path);
  }
  return ids;
}

TEST(PlatformProcessTest, DetachedProgramIsListedByItsImageAndEndedById) {
  TempDir dir;
  std::string client = dir.Join("qlmr.exe");
  ASSERT_TRUE(CopyFileReplace(QLMR_FAKE_CLIENT, client.c_str()));
  ASSERT_TRUE(MarkExecutable(client.c_str()));
  ASSERT_TRUE(StartDetachedProcess(client.c_str(), dir.path().c_str())) << LastSystemError();
  std::vector<uint32_t> ids = WaitForProcesses(client, 1);
  ASSERT_EQ(ids.size(), 1u) << "the started program is not in the process list";
  EXPECT_TRUE(TerminateProcessById(ids[0])) << LastSystemError();
  EXPECT_TRUE(WaitForProcesses(client, 0).empty()) << "the program still runs";
}

TEST(PlatformProcessTest, FailuresLeaveTheSystemsErrorNumber) {
  TempDir dir;
  EXPECT_FALSE(StartDetachedProcess(dir.Join("missing.exe").c_str(), dir.path().c_str()));
  EXPECT_NE(LastSystemError(), 0);
  EXPECT_FALSE(TerminateProcessById(0));
  EXPECT_NE(LastSystemError(), 0);
}

// --- NamedLock -------------------------------------------------------------------

TEST(NamedLockTest, OneHolderAtATimeUnderEverySpellingOfTheFolder) {
  TempDir dir;
  std::string game = dir.Join("Game");
  ASSERT_TRUE(MakeFolder(game.c_str()));
  NamedLock holder;
  ASSERT_EQ(holder.TryLock(game.c_str(), ""), NamedLock::Outcome::kTaken) << LastSystemError();
  EXPECT_TRUE(holder.IsHeld());

  CurrentFolderScope here(dir.path());
  for (const std::string& spelling : {game, dir.Join("GAME"), game + "\\", dir.path() + "/Game/",
                                      std::string("Game"), std::string(".\\game\\..\\Game")}) {
    NamedLock second;
    EXPECT_EQ(second.TryLock(spelling.c_str(), ""), NamedLock::Outcome::kHeldElsewhere) << spelling;
    EXPECT_FALSE(second.IsHeld());
  }
  // A name in the folder is a lock of its own; its letter case counts where
  // the file system's does.
  NamedLock patch;
  ASSERT_EQ(patch.TryLock(game.c_str(), "ql-a-b.patch"), NamedLock::Outcome::kTaken);
  NamedLock other_case;
  EXPECT_EQ(other_case.TryLock(game.c_str(), "QL-A-B.patch"),
            kNamesIgnoreCase ? NamedLock::Outcome::kHeldElsewhere : NamedLock::Outcome::kTaken);
  // The lock of the same name in another folder is another lock.
  ASSERT_TRUE(MakeFolder(dir.Join("Other").c_str()));
  NamedLock elsewhere;
  EXPECT_EQ(elsewhere.TryLock(dir.Join("Other").c_str(), "ql-a-b.patch"),
            NamedLock::Outcome::kTaken);

  holder.Release();
  EXPECT_FALSE(holder.IsHeld());
  NamedLock after;
  EXPECT_EQ(after.TryLock(dir.Join("GAME").c_str(), ""), NamedLock::Outcome::kTaken);
  EXPECT_EQ(holder.TryLock(game.c_str(), ""), NamedLock::Outcome::kHeldElsewhere);
  {
    NamedLock gone;
    ASSERT_EQ(gone.TryLock(dir.Join("Other").c_str(), ""), NamedLock::Outcome::kTaken);
  }
  EXPECT_EQ(holder.TryLock(dir.Join("Other").c_str(), ""), NamedLock::Outcome::kTaken)
      << "the lock goes with its object";

  NamedLock missing;
  EXPECT_EQ(missing.TryLock(dir.Join("missing").c_str(), ""), NamedLock::Outcome::kFailed);
  EXPECT_NE(LastSystemError(), 0);
}

// A program started while the lock is held (the automatic patcher after an
// update) must not keep it after this process lets it go.
TEST(NamedLockTest, AStartedProgramDoesNotInheritTheLock) {
  TempDir dir;
  std::string client = dir.Join("qlmr.exe");
  ASSERT_TRUE(CopyFileReplace(QLMR_FAKE_CLIENT, client.c_str()));
  ASSERT_TRUE(MarkExecutable(client.c_str()));
  NamedLock lock;
  ASSERT_EQ(lock.TryLock(dir.path().c_str(), ""), NamedLock::Outcome::kTaken);
  ASSERT_TRUE(StartDetachedProcess(client.c_str(), dir.path().c_str())) << LastSystemError();
  std::vector<uint32_t> ids = WaitForProcesses(client, 1);
  ASSERT_EQ(ids.size(), 1u);
  lock.Release();
  NamedLock again;
  EXPECT_EQ(again.TryLock(dir.path().c_str(), ""), NamedLock::Outcome::kTaken);
  EXPECT_TRUE(TerminateProcessById(ids[0]));
  WaitForProcesses(client, 0);
}

}  // namespace
}  // namespace qlmr
