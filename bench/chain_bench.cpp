// The size of a cumulative patch. Four releases, 063 to 066, each changing a
// few percent of the stored and loose files of the one before (a third of
// them changed again in the next release), deleting and adding a few. The
// patch that takes 063, 064 and 065 to 066 at once is set against the three
// step patches together and against the largest of them. Each benchmark
// times the making of its patches (diff, build, self-check); its counter
// patch_bytes holds their size, which scripts/bench.sh turns into ratios
// (below 1: the cumulative patch is the smaller).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "bench/bench_util.h"
#include "tools/patchkit/tree_diff.h"

namespace {

using namespace qlmr;
using bench::StoredSpec;

constexpr int kReleases = 4;
constexpr int kArchives = 3;
constexpr int kStoredFiles = 3000;
constexpr int kLooseFiles = 2000;

// One release in memory: loose files and archives by name.
struct Release {
  std::string version;
  std::map<std::string, std::string> loose;
  std::map<std::string, std::map<std::string, StoredSpec>> archives;
};

class Chain {
 public:
  Chain() : engine_(21) {
    Release first;
    first.version = "CN.0.551.063";
    for (int i = 0; i < kLooseFiles; ++i) {
      first.loose["data" + std::to_string(i % 40) + "\\file" + std::to_string(i) + ".dat"] =
          Content(16384);
    }
    for (int a = 0; a < kArchives; ++a) {
      auto& archive = first.archives["pak\\part" + std::to_string(a) + ".pak"];
      for (int i = 0; i < kStoredFiles; ++i) {
        std::string name = "res\\" + std::to_string(i % 50) + "\\item" + std::to_string(i) + ".bin";
        archive[name] = {name, static_cast<uint8_t>(Below(3)), Content(8192)};
      }
    }
    releases_.push_back(first);
    std::set<std::string> changed;
    for (int r = 1; r < kReleases; ++r) {
      releases_.push_back(Next(releases_.back(), "CN.0.551.06" + std::to_string(3 + r), &changed));
    }
    for (const Release& release : releases_) Write(release);
  }

  std::string Root(int release) const { return scratch_.Join(releases_[release].version); }

 private:
  uint32_t Below(uint32_t n) { return engine_() % n; }
  std::string Content(uint32_t maxSize) {
    return bench::GameLikeContent(&engine_, 1 + Below(maxSize));
  }

  // The release after `before`: 3% of its files changed, or a third of those
  // the last release changed (`changed`, by key), 0.5% gone, 0.5% added.
  Release Next(const Release& before, const std::string& version, std::set<std::string>* changed) {
    Release next = before;
    next.version = version;
    std::set<std::string> nowChanged;
    auto fate = [&](const std::string& key) {
      bool again = changed->count(key) != 0 && Below(3) == 0;
      uint32_t roll = Below(1000);
      if (again || roll < 30) {
        nowChanged.insert(key);
        return 1;  // changed
      }
      return roll < 35 ? 2 : 0;  // gone, or kept
    };
    for (auto it = next.loose.begin(); it != next.loose.end();) {
      int f = fate("loose|" + it->first);
      if (f == 1) it->second = Content(16384);
      it = f == 2 ? next.loose.erase(it) : std::next(it);
    }
    for (auto& archive : next.archives) {
      for (auto it = archive.second.begin(); it != archive.second.end();) {
        int f = fate(archive.first + "|" + it->first);
        if (f == 1) it->second.content = Content(8192);
        it = f == 2 ? archive.second.erase(it) : std::next(it);
      }
      for (int i = 0; i < kStoredFiles / 200; ++i) {
        std::string name = "res\\added\\" + version + "-" + std::to_string(i) + ".bin";
        archive.second[name] = {name, 2, Content(8192)};
      }
    }
    for (int i = 0; i < kLooseFiles / 200; ++i) {
      next.loose["added\\" + version + "-" + std::to_string(i) + ".dat"] = Content(16384);
    }
    *changed = nowChanged;
    return next;
  }

  void Write(const Release& release) {
    std::string root = scratch_.Join(release.version);
    bench::WriteFileOrExit(JoinPath(root, ".ver"), release.version + "\r\n");
    for (const auto& file : release.loose)
      bench::WriteFileOrExit(JoinPath(root, file.first), file.second);
    for (const auto& archive : release.archives) {
      std::vector<StoredSpec> files;
      for (const auto& stored : archive.second) files.push_back(stored.second);
      bench::WriteArchiveOrExit(JoinPath(root, archive.first), files);
    }
  }

  std::mt19937 engine_;
  bench::ScratchFolder scratch_;
  std::vector<Release> releases_;
};

Chain& GetChain() {
  static Chain chain;
  return chain;
}

// The size of the patch from the releases `olds` to the last one, made at
// `output`.
uint64_t MakePatch(const std::vector<int>& olds, const std::string& output) {
  Chain& chain = GetChain();
  std::vector<std::string> roots;
  for (int release : olds) roots.push_back(chain.Root(release));
  patchkit::TreeDiff diff;
  patchkit::PatchReport report;
  if (!patchkit::DiffInstallations(roots, chain.Root(olds.back() + 1), PATCH_KIND_MASKED_ZIP,
                                   &diff) ||
      !patchkit::WritePatch(&diff, output, patchkit::PatchOptions(), &report)) {
    fprintf(stderr, "chain bench: %s\n", LastErrorMessage());
    exit(1);
  }
  return FileSizeOf(output.c_str());
}

void BM_CumulativePatch(benchmark::State& state) {
  GetChain();  // made before the clock runs
  bench::ScratchFolder out;
  uint64_t bytes = 0;
  for (auto _ : state) bytes = MakePatch({0, 1, 2}, out.Join("cumulative.patch"));
  state.counters["patch_bytes"] = static_cast<double>(bytes);
}

void BM_StepPatches(benchmark::State& state) {
  GetChain();  // made before the clock runs
  bench::ScratchFolder out;
  uint64_t sum = 0;
  for (auto _ : state) {
    sum = 0;
    for (int step = 0; step < kReleases - 1; ++step) {
      sum += MakePatch({step}, out.Join("step" + std::to_string(step) + ".patch"));
    }
  }
  state.counters["patch_bytes"] = static_cast<double>(sum);
}

void BM_LargestStepPatch(benchmark::State& state) {
  GetChain();  // made before the clock runs
  bench::ScratchFolder out;
  uint64_t largest = 0;
  for (auto _ : state) {
    largest = 0;
    for (int step = 0; step < kReleases - 1; ++step) {
      largest = std::max(largest, MakePatch({step}, out.Join("step.patch")));
    }
  }
  state.counters["patch_bytes"] = static_cast<double>(largest);
}

BENCHMARK(BM_CumulativePatch)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepPatches)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestStepPatch)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
