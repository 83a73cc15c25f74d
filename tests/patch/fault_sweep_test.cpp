// An update must survive a crash, a torn write, a power cut, a full disk or a
// failing disk at any single call that changes the disk: afterwards the
// installation is one the updater accepts (the old version file, or the new
// one over a complete installation), and applying the same patch again gives
// exactly what a clean apply gives. Each fault point runs in a forked child
// that the platform layer's fault seam fails or ends at call k. One folder of
// the installation is a link to another disk, which the seam models as a file
// system of its own: what the patch writes there must be as durable as the
// rest before the version file names the new version.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/package_builder.h"
#include "patch/patch_package_impl.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/forked_child.h"
#include "tests/support/large_allocations.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;
using Files = std::map<std::string, std::string>;

constexpr char kOldVersion[] = "CN.00001.00000.00001";
constexpr char kNewVersion[] = "CN.00001.00000.00002";
constexpr int kEnded = 86;  // FaultPlan's exit code
// The folder of the installation that lies on another disk.
constexpr char kOtherDiskFolder[] = "media";

// Stored files of a pack archive before and after the patch.
struct PackChange {
  std::string name;  // the archive, below the installation
  Files before;
  Files after;  // decoded contents, "(list)" included
};

std::string Text(const std::string& word, size_t lines) {
  std::string text;
  for (size_t i = 0; i < lines; ++i) text += word + " line " + std::to_string(i) + "\n";
  return text;
}

// Two archives that stay: deletions, a replace in place (300 to 400 bytes),
// a shrink, a grow, a change of type, new files of types 1 to 3, a new list.
std::vector<PackChange> PackChanges() {
  PackChange a;
  a.name = "data\\a.pak";
  a.before = {{"keep.txt", Text("keep", 20)},       {"same.bin", RandomBytes(1, 300)},
              {"shrink.bin", RandomBytes(2, 3000)}, {"grow.bin", RandomBytes(3, 200)},
              {"retype.txt", Text("retype", 40)},   {"del1.txt", RandomBytes(4, 2000)}};
  a.after = {{"keep.txt", a.before["keep.txt"]},  {"same.bin", RandomBytes(5, 400)},
             {"shrink.bin", RandomBytes(6, 200)}, {"grow.txt", Text("grown", 10)},
             {"grow.bin", Text("grow", 120)},     {"retype.txt", Text("retyped", 50)},
             {"masked.bin", RandomBytes(7, 700)}};
  PackChange b;
  b.name = "data\\b.pak";
  b.before = {{"gone.txt", RandomBytes(8, 5000)}, {"text.txt", Text("b", 5)}};
  b.after = {{"text.txt", Text("b2", 30)}, {"new.bin", Text("new", 60)}};
  for (PackChange* change : {&a, &b}) {
    Files listed = change->before;
    change->before["(list)"] = ListFileText(listed);
    listed = change->after;
    change->after["(list)"] = ListFileText(listed);
  }
  return {a, b};
}

// The patch's lines, beside the data they write (below the root folder).
struct PatchSource {
  std::vector<PackageLine> lines;
  Files data;  // path below the root -> content
};

PatchSource MakePatchSource(const std::string& newArchiveImage) {
  PatchSource source;
  auto loose = [&](int32_t op, const std::string& name, const std::string& content) {
    source.lines.push_back({op, "", name, 0});
    if (op == ENTRY_OP_WRITE) source.data[name] = content;
  };
  loose(ENTRY_OP_WRITE, ".ver", kNewVersion);
  loose(ENTRY_OP_WRITE, "bin\\client.dll", RandomBytes(10, 9000));
  loose(ENTRY_OP_DELETE, "bin\\old.dll", "");
  loose(ENTRY_OP_DELETE, "bin\\never.dll", "");
  loose(ENTRY_OP_WRITE, "new\\deep\\one.txt", Text("one", 30));
  loose(ENTRY_OP_WRITE, "new\\two.bin", RandomBytes(11, 100));
  loose(ENTRY_OP_WRITE, "data\\c.pak", newArchiveImage);
  loose(ENTRY_OP_DELETE, "data\\d.pak", "");
  // On the other disk: a new file, a changed one, one in a new folder, and
  // a deletion.
  loose(ENTRY_OP_WRITE, "media\\added.txt", Text("added", 40));
  loose(ENTRY_OP_WRITE, "media\\changed.bin", RandomBytes(14, 3000));
  loose(ENTRY_OP_WRITE, "media\\deep\\new.txt", Text("deep", 20));
  loose(ENTRY_OP_DELETE, "media\\gone.txt", "");
  // Types by name: LZMA (3) and LZO (2) only for text, which they shrink.
  const std::map<std::string, int32_t> types = {{"grow.bin", 2},   {"grow.txt", 3},
                                                {"retype.txt", 3}, {"masked.bin", 1},
                                                {"new.bin", 3},    {"text.txt", 2}};
  std::vector<PackChange> changes = PackChanges();
  for (const PackChange& change : changes) {
    for (const auto& old : change.before) {
      if (change.after.count(old.first) == 0) {
        source.lines.push_back({ENTRY_OP_DELETE, change.name, old.first, 0});
      }
    }
    source.lines.push_back({ENTRY_OP_DELETE, change.name, "absent.txt", 0});
    for (const auto& now : change.after) {
      if (change.before.count(now.first) != 0 && change.before.at(now.first) == now.second)
        continue;
      int32_t type = types.count(now.first) != 0 ? types.at(now.first) : 0;
      source.lines.push_back({ENTRY_OP_WRITE, change.name, now.first, type});
      source.data[change.name + "\\" + now.first] = now.second;
    }
  }
  return source;
}

// Applies the patch the way the update procedure does: open, apply, destroy.
bool ApplyPatch(const std::string& patch, const std::string& install) {
  PatchPackagePtr package(CreatePatchPackage());
  static_cast<PatchPackageImpl*>(package.get())->SetPackPause(0);
  return package->OpenPackage(patch.c_str(), "pak") &&
         package->ApplyPackage(install.c_str(), "pak", ".ver", nullptr);
}

int FailureCount() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

class Sweep {
 public:
  Sweep() {
    std::string root = dir_.Join("root");
    std::string newArchive = dir_.Join("new-c.pak");
    MakeArchiveOrDie(newArchive, {{"fresh.txt", Text("fresh", 50)}});
    PatchSource source = MakePatchSource(ReadFileOrEmpty(newArchive));
    for (const auto& file : source.data) WriteFileOrDie(JoinPath(root, file.first), file.second);
    patch_ = dir_.Join("sweep.patch");
    if (!BuildPatchPackage(source.lines, root.c_str(), patch_.c_str(), PATCH_KIND_PACKED)) {
      fprintf(stderr, "cannot build the sweep patch: %s\n", LastErrorMessage());
      abort();
    }
    base_ = dir_.Join("base");
    WriteFileOrDie(JoinPath(base_, ".ver"), kOldVersion);
    WriteFileOrDie(JoinPath(base_, "bin\\client.dll"), RandomBytes(12, 7000));
    WriteFileOrDie(JoinPath(base_, "bin\\old.dll"), RandomBytes(13, 300));
    WriteFileOrDie(JoinPath(base_, "readme.txt"), "untouched");
    CreateFolderChain(JoinPath(base_, "data").c_str());
    MakeArchiveOrDie(JoinPath(base_, "data\\c.pak"), {{"stale.txt", "stale"}});
    MakeArchiveOrDie(JoinPath(base_, "data\\d.pak"), {{"doomed.txt", "doomed"}});
    for (const PackChange& change : PackChanges()) {
      MakeArchiveOrDie(JoinPath(base_, change.name), change.before);
      packs_[change.name] = change.after;
    }
    otherDisk_ = dir_.Join("other-disk");
    WriteFileOrDie(JoinPath(otherDisk_, "changed.bin"), RandomBytes(15, 2000));
    WriteFileOrDie(JoinPath(otherDisk_, "gone.txt"), "gone");
    WriteFileOrDie(JoinPath(otherDisk_, "kept.txt"), "kept");
    clean_ = dir_.Join("clean");
    CopyBase(clean_);
    ArmFaultSeam(FaultPlan());
    bool applied = ApplyPatch(patch_, clean_);
    calls_ = FaultSeamCalls();
    DisarmFaultSeam();
    if (!applied) {
      fprintf(stderr, "the clean apply failed: %d %s\n", LastErrorCode(), LastErrorMessage());
      abort();
    }
    cleanTree_ = SnapshotTree(clean_);
  }

  uint64_t calls() const { return calls_; }
  const Files& cleanTree() const { return cleanTree_; }

  // Whether `install` is what a clean apply gives; adds test failures.
  bool MatchesClean(const std::string& install) const {
    int failures = FailureCount();
    Files tree = SnapshotTree(install);
    for (const auto& file : cleanTree_) {
      auto found = tree.find(file.first);
      if (found == tree.end()) {
        ADD_FAILURE() << file.first << " is missing";
      } else if (packs_.count(file.first) == 0 && found->second != file.second) {
        ADD_FAILURE() << file.first << " differs";
      }
    }
    for (const auto& file : tree) {
      if (cleanTree_.count(file.first) == 0) ADD_FAILURE() << file.first << " is left over";
    }
    for (const auto& pack : packs_) {
      std::string path = JoinPath(install, pack.first);
      ExpectConsistent(path, pack.second);
      auto archive = NewPackArchive();
      if (archive->Open(path.c_str(), true)) {
        EXPECT_TRUE(archive->Verify(nullptr, nullptr, nullptr, nullptr))
            << pack.first << ": " << LastErrorCode() << " " << LastErrorMessage();
      }
    }
    return FailureCount() == failures;
  }

  // One fault point: the fault, the state it leaves, the second apply.
  bool RunPoint(const FaultPlan& plan) const {
    int failures = FailureCount();
    TempDir work;
    std::string install = work.Join("install");
    CopyBase(install);
    int status = RunInForkedChild([&] {
      FaultPlan withDisks = plan;
      withDisks.separateFileSystems = {JoinPath(install, kOtherDiskFolder)};
      ArmFaultSeam(withDisks);
      return ApplyPatch(patch_, install) ? 0 : 1;
    });
    if (plan.model == FaultModel::kFail) {
      EXPECT_TRUE(status == 0 || status == 1) << "the apply did not return: " << status;
    } else {
      EXPECT_EQ(status, kEnded) << "the seam did not end the apply";
    }
    // What the fault left must be a state the updater accepts.
    std::string version = ReadFileOrEmpty(JoinPath(install, ".ver"));
    if (version == kNewVersion || status == 0) {
      EXPECT_TRUE(MatchesClean(install)) << "reported done, or new version, over an incomplete "
                                            "installation";
    } else {
      EXPECT_EQ(version, kOldVersion) << "neither the old nor the new version file";
    }
    EXPECT_TRUE(ApplyPatch(patch_, install))
        << "applying again: " << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_TRUE(MatchesClean(install));
    ExpectNoWorkFolderLeft();
    return FailureCount() == failures;
  }

  // The fixture's old installation copied to `install`; its folder
  // kOtherDiskFolder is a link to a folder beside it, as to another disk.
  void CopyBase(const std::string& install) const {
    CopyTreeOrDie(base_, install);
    std::string disk = install + "-" + kOtherDiskFolder;
    CopyTreeOrDie(otherDisk_, disk);
    std::string link = JoinPath(install, kOtherDiskFolder);
    if (symlink(RuntimeFileName(disk.c_str()).c_str(), RuntimeFileName(link.c_str()).c_str()) !=
        0) {
      perror("symlink");
      abort();
    }
  }
  const std::string& patch() const { return patch_; }
  const std::map<std::string, Files>& packs() const { return packs_; }

  static void ExpectNoWorkFolderLeft() {
    std::vector<FolderEntry> entries;
    ListFolder(TempFolderPath().c_str(), &entries);
    for (const FolderEntry& entry : entries) {
      EXPECT_NE(entry.name.rfind("axu", 0), 0u) << entry.name << " left in the temporary folder";
    }
  }

 private:
  TempDir dir_;
  std::string patch_;
  std::string base_;
  std::string otherDisk_;  // what the base has on the other disk
  std::string clean_;
  std::map<std::string, Files> packs_;  // archive -> stored files after the patch
  Files cleanTree_;
  uint64_t calls_ = 0;
};

const Sweep& GetSweep() {
  static const Sweep* sweep = new Sweep();
  return *sweep;
}

TEST(FaultSweepTest, CleanApplyCoversEveryKindOfChange) {
  const Sweep& sweep = GetSweep();
  const Files& tree = sweep.cleanTree();
  EXPECT_EQ(tree.at(".ver"), kNewVersion);
  EXPECT_EQ(tree.count("bin\\old.dll"), 0u);
  EXPECT_EQ(tree.count("data\\d.pak"), 0u);
  EXPECT_EQ(tree.count("new\\deep\\"), 1u);
  EXPECT_EQ(tree.count(".ver.~new"), 0u);
  // Written through the link, which stays a link.
  EXPECT_EQ(tree.at("media\\deep\\new.txt"), Text("deep", 20));
  EXPECT_EQ(tree.count("media\\gone.txt"), 0u);
  EXPECT_EQ(tree.at("media\\kept.txt"), "kept");
  // The figure the sweeps below go through, once per model.
  EXPECT_GT(sweep.calls(), 40u);
  printf("sweep: %llu calls change the disk in a clean apply\n",
         static_cast<unsigned long long>(sweep.calls()));
}

// Applies with the large allocation numbered `failAt` failing (0: none);
// how many large allocations were made comes back in *seen.
bool ApplyShortOfMemory(const Sweep& sweep, const std::string& install, long failAt, long* seen) {
  CountLargeAllocations(failAt);
  bool applied = false;
  try {
    applied = ApplyPatch(sweep.patch(), install);
  } catch (...) {
    ADD_FAILURE() << "an exception left the apply";
  }
  *seen = StopCountingLargeAllocations();
  return applied;
}

TEST(FaultSweepTest, RunningOutOfMemoryIsReportedAndLeavesArchivesClosed) {
  if (!LargeAllocationsCounted()) GTEST_SKIP() << "the sanitizer's allocator stays in place";
  const Sweep& sweep = GetSweep();
  long count = 0;
  {
    TempDir work;
    std::string install = work.Join("install");
    sweep.CopyBase(install);
    ASSERT_TRUE(ApplyShortOfMemory(sweep, install, 0, &count));
  }
  ASSERT_GT(count, 3);
  long recovered = 0;
  long refused = 0;
  for (long k = 1; k <= count; ++k) {
    SCOPED_TRACE("large allocation " + std::to_string(k));
    int failures = FailureCount();
    TempDir work;
    std::string install = work.Join("install");
    sweep.CopyBase(install);
    long seen = 0;
    bool applied = ApplyShortOfMemory(sweep, install, k, &seen);
    if (!applied) {
      ++refused;
      EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY) << LastErrorMessage();
      EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), kOldVersion);
    } else {
      EXPECT_TRUE(sweep.MatchesClean(install));
    }
    for (const auto& pack : sweep.packs()) {
      std::string bytes = ReadFileOrEmpty(JoinPath(install, pack.first));
      EXPECT_EQ(Get32(bytes, 8), 0u) << pack.first << " keeps its write flag";
    }
    EXPECT_TRUE(ApplyPatch(sweep.patch(), install)) << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_TRUE(sweep.MatchesClean(install));
    if (FailureCount() == failures) ++recovered;
  }
  printf(
      "sweep out_of_memory: %ld large allocations, %ld failed the apply, %ld recovered "
      "identically\n",
      count, refused, recovered);
  EXPECT_GT(refused, 0) << "no failed allocation reached the apply";
}

struct Model {
  const char* name;
  FaultModel model;
  FaultError error;
  uint32_t seed;
};

void PrintTo(const Model& model, std::ostream* out) { *out << model.name; }

class FaultSweepModelTest : public ::testing::TestWithParam<Model> {};

TEST_P(FaultSweepModelTest, EveryFaultPointRecovers) {
  const Sweep& sweep = GetSweep();
  const Model& model = GetParam();
  uint64_t recovered = 0;
  for (uint64_t k = 1; k <= sweep.calls(); ++k) {
    SCOPED_TRACE(std::string(model.name) + " at call " + std::to_string(k) + ", seed " +
                 std::to_string(model.seed));
    FaultPlan plan;
    plan.model = model.model;
    plan.at = k;
    plan.error = model.error;
    plan.seed = model.seed;
    if (sweep.RunPoint(plan)) ++recovered;
  }
  printf("sweep %s: %llu fault points, %llu recovered identically\n", model.name,
         static_cast<unsigned long long>(sweep.calls()),
         static_cast<unsigned long long>(recovered));
  EXPECT_EQ(recovered, sweep.calls());
}

INSTANTIATE_TEST_SUITE_P(
    Models, FaultSweepModelTest,
    ::testing::Values(Model{"crash", FaultModel::kCrash, FaultError::kDiskFull, 0},
                      Model{"torn_write", FaultModel::kTornWrite, FaultError::kDiskFull, 0},
                      Model{"power_cut_seed1", FaultModel::kPowerCut, FaultError::kDiskFull, 1},
                      Model{"power_cut_seed2", FaultModel::kPowerCut, FaultError::kDiskFull, 2},
                      Model{"power_cut_seed3", FaultModel::kPowerCut, FaultError::kDiskFull, 3},
                      Model{"disk_full", FaultModel::kFail, FaultError::kDiskFull, 0},
                      Model{"io_error", FaultModel::kFail, FaultError::kIoError, 0}),
    [](const ::testing::TestParamInfo<Model>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qlmr
