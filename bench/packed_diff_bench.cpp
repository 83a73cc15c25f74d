// qlmr-patchkit diff's work (DiffInstallations as the command runs it, and
// WritePatch with its self-check) on a pair whose archive holds large stored files of type 3,
// for a masked and for a packed patch. A masked patch carries those files as
// the archive stores them; a packed one carries them decoded, inside a
// container that is itself LZMA-encoded, and its self-check has the updater
// encode each one again. Both report the bytes of both trees, so the ratio of
// their throughputs is the ratio of their times. The counter cpu_seconds is
// the process's processor time (every thread) for the iteration.
//
// The pair: 3,000 loose files up to 8 KiB and an archive of 3,000 stored
// files up to 4 KiB (types 0 to 2) plus 12 of 3 to 4 MiB (type 3), about
// 6,000 entries; 3 % of the small files and 3 of the large ones changed.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "tools/patchkit/tree_diff.h"

namespace {

using namespace qlmr;

constexpr int kLooseFiles = 3000;
constexpr int kSmallStoredFiles = 3000;
constexpr int kLargeStoredFiles = 12;
constexpr int kLargeChanged = 3;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Pair {
  bench::ScratchFolder scratch;
  std::string oldRoot = scratch.Join("old");
  std::string newRoot = scratch.Join("new");
  std::string patch = scratch.Join("bench.patch");
  uint64_t bytes = 0;  // of both trees

  Pair() {
    std::mt19937 engine(23);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(engine() % n); };
    auto text = [&](uint32_t maxLength) {
      return bench::GameLikeContent(&engine, 1 + below(maxLength));
    };
    for (int i = 0; i < kLooseFiles; ++i) {
      std::string name = "data" + std::to_string(i % 60) + "\\file" + std::to_string(i) + ".dat";
      std::string content = text(8192);
      bench::WriteFileOrExit(JoinPath(oldRoot, name), content);
      bench::WriteFileOrExit(JoinPath(newRoot, name), below(100) < 3 ? text(8192) : content);
      bytes += 2 * content.size();
    }
    bench::WriteFileOrExit(JoinPath(oldRoot, ".ver"), "CN.0.551.065\r\n");
    bench::WriteFileOrExit(JoinPath(newRoot, ".ver"), "CN.0.551.066\r\n");

    std::vector<bench::StoredSpec> oldFiles;
    std::vector<bench::StoredSpec> newFiles;
    for (int i = 0; i < kSmallStoredFiles; ++i) {
      bench::StoredSpec file{
          "res\\" + std::to_string(i % 50) + "\\item" + std::to_string(i) + ".bin",
          static_cast<uint8_t>(below(3)), text(4096)};
      oldFiles.push_back(file);
      if (below(100) < 3) file.content = text(4096);
      newFiles.push_back(file);
    }
    // The large files: encoded once each, on both processors, since the
    // LZMA encoder is what makes this pair slow to set up.
    std::vector<bench::StoredSpec> large;
    for (int i = 0; i < kLargeStoredFiles + kLargeChanged; ++i) {
      large.push_back({"model\\big" + std::to_string(i % kLargeStoredFiles) + ".mdl", COMPRESS_LZMA,
                       bench::GameLikeContent(&engine, (3u << 20) + below(1u << 20))});
    }
    std::vector<std::string> largeEncoded(large.size());
    auto encode = [&](size_t first) {
      for (size_t i = first; i < large.size(); i += 2) {
        largeEncoded[i] = bench::EncodeOrExit(large[i].type, large[i].content);
      }
    };
    std::thread second(encode, 1);
    encode(0);
    second.join();
    std::vector<std::string> oldEncoded(oldFiles.size());
    std::vector<std::string> newEncoded(newFiles.size());
    for (size_t i = 0; i < kLargeStoredFiles; ++i) {
      size_t newIndex = i < kLargeChanged ? kLargeStoredFiles + i : i;
      oldFiles.push_back(large[i]);
      oldEncoded.push_back(largeEncoded[i]);
      newFiles.push_back(large[newIndex]);
      newEncoded.push_back(largeEncoded[newIndex]);
    }
    bench::WriteArchiveOrExit(JoinPath(oldRoot, "pak\\data.pak"), oldFiles, oldEncoded);
    bench::WriteArchiveOrExit(JoinPath(newRoot, "pak\\data.pak"), newFiles, newEncoded);
    for (const auto* files : {&oldFiles, &newFiles}) {
      for (const bench::StoredSpec& file : *files) bytes += file.content.size();
    }
  }
};

Pair& GetPair() {
  static Pair pair;
  return pair;
}

void DiffAndWrite(benchmark::State& state, PatchKind kind) {
  Pair& pair = GetPair();
  for (auto _ : state) {
    double cpuBefore = ProcessCpuSeconds();
    patchkit::TreeDiff diff;
    patchkit::PatchReport report;
    if (!patchkit::DiffInstallations({pair.oldRoot}, pair.newRoot, kind, &diff,
                                     patchkit::EncodingCheck::kSmall) ||
        !patchkit::WritePatch(&diff, pair.patch, patchkit::PatchOptions(), &report)) {
      state.SkipWithError(LastErrorMessage());
      break;
    }
    state.counters["cpu_seconds"] = ProcessCpuSeconds() - cpuBefore;
    state.counters["patch_bytes"] = static_cast<double>(FileSizeOf(pair.patch.c_str()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pair.bytes));
}

void BM_MaskedDiff(benchmark::State& state) { DiffAndWrite(state, PATCH_KIND_MASKED_ZIP); }
void BM_PackedDiff(benchmark::State& state) { DiffAndWrite(state, PATCH_KIND_PACKED); }

BENCHMARK(BM_MaskedDiff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackedDiff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
