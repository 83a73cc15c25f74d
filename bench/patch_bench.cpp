// Applying a loose-only masked patch of about 200 MiB in 2,000 deflated files
// to an empty folder with `qlmr-patchkit apply`, against `unzip -o` of the
// same zip unmasked, both as whole processes in one run. The apply includes
// the fixed 500 ms pause of the application order; scripts/bench.d shows the
// ratio with and without it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "patch/package_builder.h"

namespace {

constexpr int kFileCount = 2000;
constexpr size_t kFileSize = 100u << 10;  // 2,000 x 100 KiB = 200 MiB

struct Fixture {
  qlmr::bench::ScratchFolder scratch;
  std::string folder;
  std::string patch;   // masked package
  std::string zip;     // the same container unmasked
  std::string target;  // emptied before each run
  std::string patchkit;
  uint64_t bytes = 0;

  Fixture() {
    folder = scratch.path();
    std::string root = qlmr::JoinPath(folder, "root");
    std::mt19937 engine(7);
    std::vector<qlmr::PackageLine> lines;
    for (int i = 0; i < kFileCount; ++i) {
      std::string name = "data" + std::to_string(i % 20) + "\\file" + std::to_string(i) + ".dat";
      std::string content = qlmr::bench::GameLikeContent(&engine, kFileSize);
      qlmr::bench::WriteFileOrExit(qlmr::JoinPath(root, name), content);
      bytes += content.size();
      lines.push_back({qlmr::ENTRY_OP_WRITE, "", name, 0});
    }
    patch = qlmr::JoinPath(folder, "bench.patch");
    zip = qlmr::JoinPath(folder, "bench.zip");
    target = qlmr::JoinPath(folder, "target");
    if (!qlmr::BuildPatchPackage(lines, root.c_str(), patch.c_str(), qlmr::PATCH_KIND_MASKED_ZIP) ||
        !qlmr::CopyFileReplace(patch.c_str(), zip.c_str()) ||
        !qlmr::MaskFileInPlace(zip.c_str(), false, false)) {
      fprintf(stderr, "cannot build the bench packages\n");
      exit(1);
    }
    patchkit = qlmr::bench::ToolPath("qlmr-patchkit");
  }

  void EmptyTarget() {
    qlmr::CreateFolderChain(target.c_str());
    qlmr::RemoveFolderContents(target.c_str());
  }
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void RunTimed(benchmark::State& state, const std::vector<std::string>& command) {
  Fixture& fixture = GetFixture();
  for (auto _ : state) {
    state.PauseTiming();
    fixture.EmptyTarget();
    state.ResumeTiming();
    if (!qlmr::bench::RunProcess(command)) {
      state.SkipWithError("the process failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.bytes));
}

void BM_Apply_Patchkit(benchmark::State& state) {
  Fixture& f = GetFixture();
  RunTimed(state, {f.patchkit, "apply", f.patch, f.target});
}

void BM_Unzip(benchmark::State& state) {
  Fixture& f = GetFixture();
  RunTimed(state, {"unzip", "-o", "-q", qlmr::RuntimeFileName(f.zip.c_str()), "-d",
                   qlmr::RuntimeFileName(f.target.c_str())});
}

BENCHMARK(BM_Apply_Patchkit)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unzip)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
