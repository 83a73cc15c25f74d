// The POSIX side of the platform layer: how system names map to the disk.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

using testing_support::LinkKind;
using testing_support::MakeLink;
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

// The updater ignores the console's signals; the automatic patcher it
// starts must not inherit that.
TEST(PosixProcessTest, AStartedProgramBeginsWithTheSignalsDefaults) {
  TempDir dir;
  std::string program = dir.Join("report.sh");
  WriteFileOrDie(program,
                 "#!/bin/sh\ngrep SigIgn /proc/self/status > ignored.part\n"
                 "mv ignored.part ignored\n");
  ASSERT_TRUE(MarkExecutable(program.c_str()));
  int status = testing_support::RunInForkedChild([&] {
    IgnoreConsoleSignals();
    return StartDetachedProcess(program.c_str(), dir.path().c_str()) ? 0 : 1;
  });
  ASSERT_EQ(status, 0);
  std::string line;
  for (int i = 0; i < 500 && (line = ReadFileOrEmpty(dir.Join("ignored"))).empty(); ++i) {
    usleep(10000);
  }
  ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
  unsigned long long ignored = strtoull(line.c_str() + 7, nullptr, 16);
  for (int signal_number : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE}) {
    EXPECT_EQ(ignored & (1ull << (signal_number - 1)), 0u) << strsignal(signal_number);
  }
}

// The lock goes with its process, however that ends.
TEST(NamedLockTest, AHolderThatIsKilledLetsTheLockGo) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    NamedLock lock;
    char outcome = lock.TryLock(dir.path().c_str(), "") == NamedLock::Outcome::kTaken ? 'y' : 'n';
    ssize_t written = write(ready[1], &outcome, 1);
    (void)written;
    pause();
    _exit(0);
  }
  close(ready[1]);
  char outcome = 0;
  ASSERT_EQ(read(ready[0], &outcome, 1), 1);
  close(ready[0]);
  EXPECT_EQ(outcome, 'y');
  NamedLock lock;
  EXPECT_EQ(lock.TryLock(dir.path().c_str(), ""), NamedLock::Outcome::kHeldElsewhere);
  kill(holder, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(lock.TryLock(dir.path().c_str(), ""), NamedLock::Outcome::kTaken);
}

TEST(PosixPrivacyTest, APrivateFolderIsOnlyItsOwnersAndAnotherUsersFolderIsNotOwn) {
  TempDir dir;
  std::string folder;
  ASSERT_TRUE(MakePrivateFolder(dir.path().c_str(), "qpf", &folder));
  struct stat st;
  ASSERT_EQ(stat(MapNameToDisk(folder.c_str()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  if (geteuid() == 0) {
    ASSERT_TRUE(MakeFolder(dir.Join("someone else's").c_str()));
    ASSERT_EQ(chown(MapNameToDisk(dir.Join("someone else's").c_str()).c_str(), 12345, 12345), 0);
    EXPECT_FALSE(IsOwnFolder(dir.Join("someone else's").c_str()));
  }
}

// A move to another file system copies: the copy must replace a link at the
// target as a rename does, never write through it. Needs a second file
// system: /dev/shm, when the temporary folder is not on it.
TEST(PosixPrivacyTest, AMoveAcrossFileSystemsReplacesALinkAtTheTarget) {
  TempDir dir;
  struct stat here;
  struct stat shm;
  if (stat(MapNameToDisk(dir.path().c_str()).c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  std::string source;
  ASSERT_TRUE(CreateUniqueTempFile("/dev/shm", "qmv", &source));
  for (LinkKind kind : {LinkKind::kSymbolic, LinkKind::kHard}) {
    SCOPED_TRACE(kind == LinkKind::kHard ? "hard link" : "symbolic link");
    WriteFileOrDie(source, "moved content");
    WriteFileOrDie(dir.Join("victim"), "precious");
    RemoveFileAt(dir.Join("target").c_str());
    ASSERT_TRUE(MakeLink(dir.Join("target"), dir.Join("victim"), kind));
    ASSERT_TRUE(MoveFileReplace(source.c_str(), dir.Join("target").c_str())) << LastSystemError();
    EXPECT_FALSE(PathExists(source.c_str()));
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("target")), "moved content");
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("victim")), "precious");
    EXPECT_FALSE(PathExists(dir.Join("target.~move").c_str()));
  }
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
