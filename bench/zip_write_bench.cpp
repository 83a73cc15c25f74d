// Writing a deflated zip of 600 game-like files, 60 MiB in all, with the
// members deflated on 1 thread against on every processor: the wall time of
// the deflate work that a masked patch's writing does, and the process's
// processor time beside it. Run at a quiet moment; the figures of a shared
// machine say more about the others than about the writer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/path.h"
#include "bench/bench_util.h"
#include "patch/zip_writer.h"

namespace {

constexpr int kFileCount = 600;
constexpr size_t kFileSize = 100u << 10;

struct Fixture {
  qlmr::bench::ScratchFolder scratch;
  std::vector<std::string> files;
  uint64_t bytes = 0;

  Fixture() {
    std::mt19937 engine(11);
    for (int i = 0; i < kFileCount; ++i) {
      std::string path = qlmr::JoinPath(scratch.path(), "f" + std::to_string(i) + ".dat");
      std::string content = qlmr::bench::GameLikeContent(&engine, kFileSize);
      qlmr::bench::WriteFileOrExit(path, content);
      files.push_back(path);
      bytes += content.size();
    }
  }
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_ZipWrite(benchmark::State& state) {
  Fixture& f = GetFixture();
  std::string output = qlmr::JoinPath(f.scratch.path(), "out.zip");
  for (auto _ : state) {
    qlmr::ZipWriter writer;
    writer.SetDeflateWork(static_cast<uint32_t>(state.range(0)), qlmr::kDeflateAheadMemory);
    bool ok = writer.Open(output.c_str());
    for (size_t i = 0; ok && i < f.files.size(); ++i) {
      ok = writer.AddFile("f" + std::to_string(i), f.files[i]);
    }
    if (!ok || !writer.Close()) {
      fprintf(stderr, "zip write bench: %s\n", qlmr::LastErrorMessage());
      exit(1);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

}  // namespace

// 0: one thread per usable processor.
BENCHMARK(BM_ZipWrite)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Repetitions(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
