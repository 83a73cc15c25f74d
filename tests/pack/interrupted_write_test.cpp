// A patch is applied again after a crash or a failed write, so an archive cut
// off between any two writes of AddFile or RemoveFile must accept the same
// operation again and end up correct.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/crc.h"
#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;
using Files = std::map<std::string, std::string>;

struct Scenario {
  const char* what;
  // Fills a new archive (open for writing) before the operation.
  std::function<void(PackArchive&)> setup;
  std::function<bool(PackArchive&)> operation;
  Files after;  // the stored files once the operation is done, list excluded
  // A removal cut off after its slot was written is complete but for the
  // header's free-space counter; its redo finds the name gone (code 1), which
  // patch application takes as done.
  bool goneCountsAsDone = false;
};

std::string Content(uint32_t seed, size_t size) { return RandomBytes(seed, size); }

bool Put(PackArchive& archive, const std::string& name, const std::string& content) {
  return archive.AddFile(content.data(), static_cast<uint32_t>(content.size()), name.c_str(), true,
                         false, 0, 0);
}

std::vector<Scenario> Scenarios() {
  // A free 1,024-byte extent that survives Close: the old block of a file
  // that moved to a larger one.
  auto with_free_1024 = [](PackArchive& a) {
    Put(a, "mover", Content(1, 1000));
    Put(a, "pad", Content(2, 10));
    Put(a, "mover", Content(3, 3000));
  };
  return {
      {"new file appended",
       [](PackArchive& a) { Put(a, "keep", Content(4, 100)); },
       [](PackArchive& a) { return Put(a, "new", Content(5, 700)); },
       {{"keep", Content(4, 100)}, {"new", Content(5, 700)}}},
      {"new file split from a free extent",
       with_free_1024,
       [](PackArchive& a) { return Put(a, "new", Content(6, 300)); },
       {{"mover", Content(3, 3000)}, {"pad", Content(2, 10)}, {"new", Content(6, 300)}}},
      {"growing move appended",
       [](PackArchive& a) {
         Put(a, "a", Content(7, 300));
         Put(a, "b", Content(8, 30));
       },
       [](PackArchive& a) { return Put(a, "a", Content(9, 2000)); },
       {{"a", Content(9, 2000)}, {"b", Content(8, 30)}}},
      {"move into another free extent",
       [with_free_1024](PackArchive& a) {
         with_free_1024(a);
         Put(a, "a", Content(10, 300));
       },
       [](PackArchive& a) { return Put(a, "a", Content(11, 900)); },
       {{"mover", Content(3, 3000)}, {"pad", Content(2, 10)}, {"a", Content(11, 900)}}},
      {"shrinking move into its own extent",
       [](PackArchive& a) {
         Put(a, "a", Content(12, 1000));
         Put(a, "b", Content(13, 5));
       },
       [](PackArchive& a) { return Put(a, "a", Content(14, 200)); },
       {{"a", Content(14, 200)}, {"b", Content(13, 5)}}},
      {"replace in place",
       [](PackArchive& a) { Put(a, "a", Content(15, 300)); },
       [](PackArchive& a) { return Put(a, "a", Content(16, 400)); },
       {{"a", Content(16, 400)}}},
      {"remove",
       [](PackArchive& a) {
         Put(a, "a", Content(17, 5000));
         Put(a, "b", Content(18, 50));
       },
       [](PackArchive& a) { return a.RemoveFile("a", true); },
       {{"b", Content(18, 50)}},
       true},
  };
}

// The base archive of a scenario: set up, with the list of the final state.
void MakeBase(const Scenario& s, const std::string& path) {
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Create(path.c_str()));
  ASSERT_TRUE(Put(*archive, "(list)", ListFileText(s.after)));
  s.setup(*archive);
}

void ExpectRecovered(const Scenario& s, const std::string& path, const std::string& context) {
  SCOPED_TRACE(context);
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), false)) << LastErrorMessage();
    bool redone = s.operation(*archive);
    if (!redone && s.goneCountsAsDone) {
      EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
      redone = LastErrorCode() == ERR_NOT_FOUND;
    }
    ASSERT_TRUE(redone) << "redo: " << LastErrorCode() << " " << LastErrorMessage();
  }
  Files expected = s.after;
  expected["(list)"] = ListFileText(s.after);
  ExpectConsistent(path, expected);
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_TRUE(archive->Verify(nullptr, nullptr, nullptr, nullptr))
      << LastErrorCode() << " " << LastErrorMessage();
}

TEST(InterruptedWriteTest, RedoAfterACutBetweenAnyTwoWrites) {
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.what);
    TempDir dir;
    std::string base = dir.Join("base.pak");
    MakeBase(s, base);
    // How many writes the operation makes.
    auto writes = std::make_shared<int>(0);
    {
      std::string probe = dir.Join("probe.pak");
      ASSERT_TRUE(CopyFileReplace(base.c_str(), probe.c_str()));
      auto archive = NewImpl();
      ASSERT_TRUE(archive->Open(probe.c_str(), false));
      archive->SetWriteHook([writes](PackWriteKind, uint32_t) { return ++*writes, true; });
      ASSERT_TRUE(s.operation(*archive));
      archive->SetWriteHook(nullptr);
    }
    ASSERT_GE(*writes, 1);
    for (int cut = 0; cut < *writes; ++cut) {
      std::string work = dir.Join("work.pak");
      ASSERT_TRUE(CopyFileReplace(base.c_str(), work.c_str()));
      {
        auto archive = NewImpl();
        ASSERT_TRUE(archive->Open(work.c_str(), false));
        // The process dies after `cut` writes: nothing later reaches the
        // disk, Close's header included.
        auto done = std::make_shared<int>(0);
        archive->SetWriteHook([done, cut](PackWriteKind, uint32_t) { return (*done)++ < cut; });
        EXPECT_FALSE(s.operation(*archive));
      }
      ExpectRecovered(s, work, "crash after " + std::to_string(cut) + " writes");
    }
  }
}

TEST(InterruptedWriteTest, WriterThatCannotMendItselfRefusesFurtherChanges) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"keep", "k"}, {"new", "old"}});
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path.c_str(), false));
  // A moving replace gets its data, its new block entry and the freed old
  // one to the disk, then the disk fails: the slot still names the freed
  // block, and marking it in use again fails too.
  const std::string moved(1000, 'n');
  auto done = std::make_shared<int>(0);
  archive->SetWriteHook([done](PackWriteKind, uint32_t) { return (*done)++ < 3; });
  EXPECT_FALSE(archive->AddFile(moved.data(), 1000, "new", true, false, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_WRITE);
  // The caller sees the first failure, with the archive and the stored file.
  std::string first = LastErrorMessage();
  EXPECT_EQ(first.rfind("winErr: 0, ", 0), 0u) << first;
  EXPECT_NE(first.find("pack=" + path + ", file=new"), std::string::npos) << first;
  archive->SetWriteHook(nullptr);
  EXPECT_FALSE(archive->AddFile("x", 1, "other", true, false, 0, 0));
  EXPECT_EQ(LastErrorCode(), ERR_WRITE);
  EXPECT_STREQ(LastErrorMessage(), "archive must be reopened");
  EXPECT_FALSE(archive->RemoveFile("keep", false));
  EXPECT_STREQ(LastErrorMessage(), "archive must be reopened");
  archive->Close();
  EXPECT_EQ(Get32(ReadFileOrEmpty(path), 8), 1u) << "Close leaves the write flag, as a crash would";
  ASSERT_TRUE(archive->Open(path.c_str(), false));
  ASSERT_TRUE(archive->AddFile(moved.data(), 1000, "new", true, false, 0, 0));
  archive->Close();
  ExpectConsistent(path, {{"keep", "k"}, {"new", moved}});
}

// A change cut off after it named its new block in the slot, when only the
// header's count is missing: the file keeps what the change stored, without
// a redo. (Dropping the slot would lose a moved file whole, its old block
// being freed already; for a list file that is every name.)
TEST(InterruptedWriteTest, ACutBeforeTheLastHeaderKeepsWhatTheChangeStored) {
  int checked = 0;
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.what);
    TempDir dir;
    std::string base = dir.Join("base.pak");
    MakeBase(s, base);
    auto kinds = std::make_shared<std::vector<PackWriteKind>>();
    {
      std::string probe = dir.Join("probe.pak");
      ASSERT_TRUE(CopyFileReplace(base.c_str(), probe.c_str()));
      auto archive = NewImpl();
      ASSERT_TRUE(archive->Open(probe.c_str(), false));
      archive->SetWriteHook([kinds](PackWriteKind kind, uint32_t) {
        kinds->push_back(kind);
        return true;
      });
      ASSERT_TRUE(s.operation(*archive));
      archive->SetWriteHook(nullptr);
    }
    if (kinds->back() != PackWriteKind::kHeader) continue;  // a replace in place
    std::string work = dir.Join("work.pak");
    ASSERT_TRUE(CopyFileReplace(base.c_str(), work.c_str()));
    {
      auto archive = NewImpl();
      ASSERT_TRUE(archive->Open(work.c_str(), false));
      int cut = static_cast<int>(kinds->size()) - 1;
      auto done = std::make_shared<int>(0);
      archive->SetWriteHook([done, cut](PackWriteKind, uint32_t) { return (*done)++ < cut; });
      EXPECT_FALSE(s.operation(*archive));
    }
    {
      // A writer mends it, and nothing is redone.
      auto archive = NewPackArchive();
      ASSERT_TRUE(archive->Open(work.c_str(), false)) << LastErrorMessage();
    }
    Files expected = s.after;
    expected["(list)"] = ListFileText(s.after);
    ExpectConsistent(work, expected);
    ++checked;
  }
  EXPECT_GE(checked, 4);
}

TEST(InterruptedWriteTest, ArchiveStaysUsableAfterOneFailedWrite) {
  // A single write fails (a full disk, say) and the caller closes the
  // archive: Close must not record block entries that never reached the disk.
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.what);
    TempDir dir;
    std::string base = dir.Join("base.pak");
    MakeBase(s, base);
    for (int failing = 0;; ++failing) {
      std::string work = dir.Join("work.pak");
      ASSERT_TRUE(CopyFileReplace(base.c_str(), work.c_str()));
      bool failed = false;
      {
        auto archive = NewImpl();
        ASSERT_TRUE(archive->Open(work.c_str(), false));
        auto seen = std::make_shared<int>(0);
        archive->SetWriteHook(
            [seen, failing](PackWriteKind, uint32_t) { return (*seen)++ != failing; });
        failed = !s.operation(*archive);
        if (failed) {
          EXPECT_EQ(LastErrorCode(), ERR_WRITE) << "the failure is reported, not the resync's";
        }
      }
      if (!failed) break;  // past the operation's last write
      ExpectRecovered(s, work, "write " + std::to_string(failing) + " failed");
    }
  }
}

TEST(InterruptedWriteTest, FailuresNameArchiveAndFileAndTellDiskFullFromIoError) {
  struct Case {
    FaultError error;
    const char* words;
  };
  for (Case c :
       {Case{FaultError::kDiskFull, "disk full"}, Case{FaultError::kIoError, "I/O error"}}) {
    SCOPED_TRACE(c.words);
    TempDir dir;
    std::string path = dir.Join("a.pak");
    MakeArchiveOrDie(path, {{"keep", "k"}});
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), false));
    FaultPlan plan;
    plan.model = FaultModel::kFail;
    plan.at = 1;
    plan.error = c.error;
    ArmFaultSeam(plan);
    EXPECT_FALSE(archive->AddFile("data", 4, "dir\\new.txt", true, true, 0, 0));
    DisarmFaultSeam();
    EXPECT_EQ(LastErrorCode(), ERR_WRITE);
    std::string where = std::string(", ") + c.words + ", pack=" + path;
    EXPECT_NE(std::string(LastErrorMessage()).find(where + ", file=dir\\new.txt"),
              std::string::npos)
        << LastErrorMessage();

    // A Close whose flush fails says so, and the archive keeps its write
    // flag on disk until a writer opens and closes it again.
    ArmFaultSeam(plan);
    EXPECT_FALSE(archive->Close());
    DisarmFaultSeam();
    EXPECT_EQ(LastErrorCode(), ERR_WRITE);
    EXPECT_NE(std::string(LastErrorMessage()).find(where), std::string::npos) << LastErrorMessage();
    EXPECT_EQ(Get32(ReadFileOrEmpty(path), 8), 1u);
    ASSERT_TRUE(archive->Open(path.c_str(), false));
    EXPECT_TRUE(archive->Close());
    ExpectConsistent(path, {{"keep", "k"}});
  }
}

}  // namespace
}  // namespace qlmr
