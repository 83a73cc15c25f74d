// The zip method inside a packed package: the same release, about 24 MiB in
// 240 files of game-like data (half loose, half pack-bound stored as is),
// built as a packed package whose container holds its entries deflated or
// stored. Reported per method: the package's size (counter package_bytes)
// and the time of `qlmr-patchkit apply` as a whole process, its fixed
// 500 ms pause taken out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "pack/pack_archive.h"
#include "patch/package_builder.h"

namespace {

using namespace qlmr;

constexpr int kFileCount = 240;
constexpr size_t kFileSize = 100u << 10;

struct Release {
  bench::ScratchFolder scratch;
  std::string root = scratch.Join("root");
  std::vector<PackageLine> lines;
  std::map<int, std::string> packages;  // by ZipMethod
  std::map<int, uint64_t> sizes;

  Release() {
    std::mt19937 engine(11);
    for (int i = 0; i < kFileCount; ++i) {
      std::string name = "data" + std::to_string(i % 12) + "\\file" + std::to_string(i) + ".dat";
      if (i % 2 == 0) {
        bench::WriteFileOrExit(JoinPath(root, name), bench::GameLikeContent(&engine, kFileSize));
        lines.push_back({ENTRY_OP_WRITE, "", name, COMPRESS_NONE});
      } else {
        bench::WriteFileOrExit(JoinPath(root, JoinPath("data\\item.pak", name)),
                               bench::GameLikeContent(&engine, kFileSize));
        lines.push_back({ENTRY_OP_WRITE, "data\\item.pak", name, COMPRESS_NONE});
      }
    }
  }

  const std::string& Package(ZipMethod method) {
    int key = static_cast<int>(method);
    if (packages.count(key) == 0) {
      std::string path = scratch.Join("release" + std::to_string(key) + ".patch");
      File file;
      uint64_t size = 0;
      if (!BuildPatchPackage(lines, root.c_str(), path.c_str(), PATCH_KIND_PACKED, nullptr,
                             method) ||
          !file.Open(path.c_str(), FileMode::kRead) || !file.Size(&size)) {
        fprintf(stderr, "cannot build the packed release\n");
        exit(1);
      }
      packages[key] = path;
      sizes[key] = size;
    }
    return packages[key];
  }
};

Release& GetRelease() {
  static Release release;
  return release;
}

void BM_PackedApply(benchmark::State& state) {
  Release& release = GetRelease();
  ZipMethod method = state.range(0) == 0 ? ZipMethod::kDeflate : ZipMethod::kStore;
  std::string patch = release.Package(method);
  std::string install = release.scratch.Join("install");
  double cpuSeconds = 0;
  for (auto _ : state) {
    double seconds = bench::TimeApplyWithoutPause(patch, install, "data\\item.pak", &cpuSeconds);
    if (seconds < 0) {
      state.SkipWithError("the apply failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  if (state.iterations() > 0) {
    state.counters["cpu_ms"] = cpuSeconds * 1000.0 / static_cast<double>(state.iterations());
  }
  state.counters["package_bytes"] = static_cast<double>(release.sizes[static_cast<int>(method)]);
  state.SetLabel(method == ZipMethod::kDeflate ? "deflated" : "stored");
}

// Argument 0: entries deflated; 1: entries stored.
BENCHMARK(BM_PackedApply)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
