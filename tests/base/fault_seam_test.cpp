// The platform layer's fault seam: which calls it counts, how it fails one,
// and what a crash, a torn write and a power cut leave on disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/platform.h"
#if !defined(_WIN32)
#include "tests/support/forked_child.h"
#endif
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

constexpr int kEnded = 86;  // FaultPlan's exit code

// The system's error numbers for a full disk and a failed device.
#if defined(_WIN32)
constexpr int kDiskFullError = 112;   // ERROR_DISK_FULL
constexpr int kIoDeviceError = 1117;  // ERROR_IO_DEVICE
#else
constexpr int kDiskFullError = ENOSPC;
constexpr int kIoDeviceError = EIO;
#endif

// Disarms whatever a test armed, also when an assertion leaves early.
struct SeamGuard {
  ~SeamGuard() { DisarmFaultSeam(); }
};

// One call of each kind that changes the disk, in a fixed order.
std::vector<std::function<bool()>> EveryKindOfCall(const TempDir& dir, File* file) {
  std::string a = dir.Join("a.bin");
  std::string b = dir.Join("b.bin");
  std::string sub = dir.Join("sub");
  std::string folder = dir.path();
  return {
      [=] { return file->Open(a.c_str(), FileMode::kCreate); },
      [=] { return file->Write("abc", 3); },
      [=] { return file->WriteAt(1, "x", 1); },
      [=] { return file->Flush(); },
      [=] { return file->Close() && MoveFileReplace(a.c_str(), b.c_str()); },
      [=] { return CopyFileReplace(b.c_str(), a.c_str()); },
      [=] { return RemoveFileAt(a.c_str()); },
      [=] { return MakeFolder(sub.c_str()); },
      [=] { return RemoveEmptyFolder(sub.c_str()); },
      [=] {
        std::string made;
        return CreateUniqueTempFile(folder.c_str(), "qft", &made);
      },
      [=] {
        std::string failed;
        return MakeDurable({folder, b}, &failed);
      },
      [=] { return file->Open(a.c_str(), FileMode::kCreateFresh) && file->Close(); },
      [=] {
        std::string made;
        return MakePrivateFolder(folder.c_str(), "qfp", &made);
      },
      [=] { return RemoveFolderContents(folder.c_str()); },
  };
}

TEST(FaultSeamTest, CountsEveryCallThatChangesTheDiskAndNothingElse) {
  SeamGuard guard;
  TempDir dir;
  WriteFileOrDie(dir.Join("old.bin"), "old");
  File file;
  std::vector<std::function<bool()>> calls = EveryKindOfCall(dir, &file);
  ArmFaultSeam(FaultPlan());
  // Reading and opening for reading change nothing.
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("old.bin")), "old");
  EXPECT_TRUE(PathExists(dir.Join("old.bin").c_str()));
  EXPECT_EQ(FaultSeamCalls(), 0u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_TRUE(calls[i]()) << "call " << i + 1;
    EXPECT_EQ(FaultSeamCalls(), i + 1);
  }
  DisarmFaultSeam();
  WriteFileOrDie(dir.Join("after.bin"), "x");
  EXPECT_EQ(FaultSeamCalls(), calls.size());
}

TEST(FaultSeamTest, FailsExactlyTheChosenCallWithTheChosenError) {
  struct Case {
    FaultError error;
    int expected;
    const char* words;
  };
  for (Case c : {Case{FaultError::kDiskFull, kDiskFullError, "disk full"},
                 Case{FaultError::kIoError, kIoDeviceError, "I/O error"}}) {
    for (uint64_t k = 1; k <= 14; ++k) {
      SCOPED_TRACE("call " + std::to_string(k) + ", error " + std::to_string(c.expected));
      SeamGuard guard;
      TempDir dir;
      File file;
      std::vector<std::function<bool()>> calls = EveryKindOfCall(dir, &file);
      ASSERT_EQ(calls.size(), 14u);
      FaultPlan plan;
      plan.model = FaultModel::kFail;
      plan.at = k;
      plan.error = c.error;
      ArmFaultSeam(plan);
      for (uint64_t i = 1; i <= calls.size(); ++i) {
        if (i == k) {
          ASSERT_FALSE(calls[i - 1]());
          EXPECT_EQ(LastSystemError(), c.expected);
          EXPECT_STREQ(SystemErrorWords(LastSystemError()), c.words);
          EXPECT_TRUE(FaultSeamFired());
          // A failed call has no effect; do it again unharmed so that the
          // later calls find what they expect.
          DisarmFaultSeam();
          ASSERT_TRUE(calls[i - 1]());
          ArmFaultSeam(FaultPlan());
        } else {
          ASSERT_TRUE(calls[i - 1]()) << "call " << i;
        }
      }
    }
  }
}

TEST(FaultSeamTest, FailedCreateAndWriteLeaveTheDiskAsItWas) {
  SeamGuard guard;
  TempDir dir;
  std::string path = dir.Join("f.bin");
  WriteFileOrDie(path, "before");
  FaultPlan plan;
  plan.model = FaultModel::kFail;
  plan.at = 1;
  ArmFaultSeam(plan);
  File file;
  EXPECT_FALSE(file.Open(path.c_str(), FileMode::kCreate));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadFileOrEmpty(path), "before");

  plan.at = 1;
  ArmFaultSeam(plan);
  ASSERT_TRUE(file.Open(path.c_str(), FileMode::kReadWrite));
  EXPECT_FALSE(file.WriteAt(0, "AFTER!", 6));
  file.Close();
  EXPECT_EQ(ReadFileOrEmpty(path), "before");
}

// Crashes and power cuts end the process, so they run in forked children:
// POSIX only.
#if !defined(_WIN32)
// Runs `body` in a child with `plan` armed; the child's own result is 0.
int RunArmed(const FaultPlan& plan, const std::function<void()>& body) {
  return RunInForkedChild([&] {
    ArmFaultSeam(plan);
    body();
    return 0;
  });
}

TEST(FaultSeamTest, CrashEndsTheProcessBeforeTheCallAndTornWriteKeepsHalf) {
  struct Case {
    FaultModel model;
    const char* left;
  };
  for (Case c :
       {Case{FaultModel::kCrash, "0000000000"}, Case{FaultModel::kTornWrite, "1234500000"}}) {
    TempDir dir;
    std::string path = dir.Join("f.bin");
    WriteFileOrDie(path, "0000000000");
    FaultPlan plan;
    plan.model = c.model;
    plan.at = 1;
    int status = RunArmed(plan, [&] {
      File file;
      if (file.Open(path.c_str(), FileMode::kReadWrite)) file.Write("1234567890", 10);
    });
    EXPECT_EQ(status, kEnded);
    EXPECT_EQ(ReadFileOrEmpty(path), c.left);
  }
}

// A file of four sectors rewritten without a flush, then a cut at the next
// call: each sector shows its old or new bytes; a flushed file keeps all.
std::string PowerCutResult(const TempDir& dir, uint32_t seed, std::string* flushed) {
  std::string path = dir.Join("dirty.bin");
  std::string kept = dir.Join("flushed.bin");
  WriteFileOrDie(path, std::string(2048, 'o'));
  WriteFileOrDie(kept, std::string(100, 'o'));
  FaultPlan plan;
  plan.model = FaultModel::kPowerCut;
  plan.at = 6;
  plan.seed = seed;
  int status = RunArmed(plan, [&] {
    File dirty;
    File durable;
    dirty.Open(path.c_str(), FileMode::kReadWrite);
    dirty.WriteAt(0, std::string(2048, 'n').data(), 2048);   // 1
    dirty.WriteAt(2048, std::string(512, 'n').data(), 512);  // 2: grows it
    durable.Open(kept.c_str(), FileMode::kCreate);           // 3
    durable.Write(std::string(700, 'n').data(), 700);        // 4
    durable.Flush();                                         // 5
    MakeFolder(dir.Join("never").c_str());                   // 6: the cut
  });
  EXPECT_EQ(status, kEnded);
  EXPECT_FALSE(PathExists(dir.Join("never").c_str()));
  *flushed = ReadFileOrEmpty(kept);
  return ReadFileOrEmpty(path);
}

TEST(FaultSeamTest, PowerCutKeepsEachUnflushedSectorOldOrNewBySeed) {
  std::set<std::string> outcomes;
  for (uint32_t seed = 0; seed < 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    std::string flushed;
    std::string result = PowerCutResult(dir, seed, &flushed);
    EXPECT_EQ(flushed, std::string(700, 'n'));
    ASSERT_TRUE(result.size() == 2048 || result.size() == 2560) << result.size();
    for (size_t at = 0; at < result.size(); at += 512) {
      std::string sector = result.substr(at, 512);
      char first = sector[0];
      EXPECT_TRUE(first == 'o' || first == 'n' || (at == 2048 && first == '\0'));
      EXPECT_EQ(sector, std::string(sector.size(), first)) << "sector at " << at;
    }
    outcomes.insert(result);
    // The same seed gives the same disk.
    TempDir again;
    std::string unused;
    EXPECT_EQ(PowerCutResult(again, seed, &unused), result);
  }
  // Twelve seeds over five coin-flipped sectors and a length: not all alike.
  EXPECT_GT(outcomes.size(), 4u);
}

TEST(FaultSeamTest, PowerCutAfterMoveOfUnflushedFileLosesItsDataNotTheMove) {
  // Writing a temporary file and moving it over the target without a flush
  // is the fault this model exists to show.
  bool sawLoss = false;
  for (uint32_t seed = 0; seed < 8; ++seed) {
    TempDir dir;
    std::string target = dir.Join("target.bin");
    std::string temp = dir.Join("temp.bin");
    WriteFileOrDie(target, "old content");
    FaultPlan plan;
    plan.model = FaultModel::kPowerCut;
    plan.at = 4;
    plan.seed = seed;
    int status = RunArmed(plan, [&] {
      File file;
      file.Open(temp.c_str(), FileMode::kCreate);  // 1
      file.Write("new content", 11);               // 2
      file.Close();
      MoveFileReplace(temp.c_str(), target.c_str());  // 3
      MakeFolder(dir.Join("x").c_str());              // 4: the cut
    });
    EXPECT_EQ(status, kEnded);
    EXPECT_FALSE(PathExists(temp.c_str()));
    std::string left = ReadFileOrEmpty(target);
    EXPECT_NE(left, "old content");
    if (left != "new content") sawLoss = true;
  }
  EXPECT_TRUE(sawLoss);
}

// A folder on another file system keeps its unflushed data through a flush
// of the first one: only a MakeDurable that names a path on it flushes it.
TEST(FaultSeamTest, MakeDurableFlushesOnlyTheFileSystemsOfItsPaths) {
  struct Case {
    const char* name;
    bool namesOtherDisk;  // MakeDurable names the file on the other disk
  };
  for (Case c : {Case{"first file system only", false}, Case{"both", true}}) {
    SCOPED_TRACE(c.name);
    bool lost = false;
    for (uint32_t seed = 0; seed < 8; ++seed) {
      TempDir dir;
      std::string here = dir.Join("here.bin");
      std::string there = dir.Join("disk2\\there.bin");
      WriteFileOrDie(here, "");
      WriteFileOrDie(there, "");
      FaultPlan plan;
      plan.model = FaultModel::kPowerCut;
      plan.at = 6;
      plan.seed = seed;
      plan.separateFileSystems = {dir.Join("disk2")};
      int status = RunArmed(plan, [&] {
        const std::string content(2048, 'n');
        for (const std::string& path : {here, there}) {
          File file;
          file.Open(path.c_str(), FileMode::kReadWrite);
          file.Write(content.data(), static_cast<uint32_t>(content.size()));  // 1, 2
        }
        std::string failed;
        std::vector<std::string> named = {dir.path()};
        if (c.namesOtherDisk) named.push_back(there);
        MakeDurable(named, &failed);              // 3
        MakeFolder(dir.Join("a").c_str());        // 4
        MakeFolder(dir.Join("b").c_str());        // 5
        MakeFolder(dir.Join("the cut").c_str());  // 6
      });
      EXPECT_EQ(status, kEnded);
      EXPECT_EQ(ReadFileOrEmpty(here), std::string(2048, 'n'));
      if (ReadFileOrEmpty(there) != std::string(2048, 'n')) lost = true;
    }
    EXPECT_EQ(lost, !c.namesOtherDisk);
  }
}

#endif  // !defined(_WIN32)

}  // namespace
}  // namespace qlmr
