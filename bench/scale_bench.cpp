// How the release tool and the apply scale with the number of stored files
// and entries, each run as a whole process:
//   - `qlmr-pak add` of one file and `qlmr-pak ls` on archives of 2 and
//     10,000 stored files (LZO-encoded, with their list file);
//   - `qlmr-patchkit apply` of 1,000 and 10,000 entries, once all pack-bound
//     writes into one archive, once new loose files in one folder.
// The apply's fixed 500 ms pause is taken out of its time, so that the
// ratios in scripts/bench.d show the work per entry. Besides the wall clock,
// the counter cpu_ms gives the processes' processor time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "pack/pack_archive.h"
#include "patch/package_builder.h"

namespace {

using namespace qlmr;
using bench::RunProcess;
using bench::ToolPath;
using bench::WriteFileOrExit;

std::string TextContent(int seed) {
  std::string text;
  while (text.size() < 1024) text += "entry " + std::to_string(seed) + " of the scale bench\n";
  return text;
}

bench::ScratchFolder& Scratch() {
  static bench::ScratchFolder folder;
  return folder;
}

// An archive of `count` stored files with their list file, made directly
// through the library so that the tool is timed only on the measured step.
std::string ArchiveOf(int count) {
  static std::map<int, std::string> made;
  auto found = made.find(count);
  if (found != made.end()) return found->second;
  std::string path = Scratch().Join("files" + std::to_string(count) + ".pak");
  std::string content = TextContent(0);
  uint32_t crc = 0;
  BufferCrc(content.data(), static_cast<uint32_t>(content.size()), &crc);
  const Codec* lzo = GetCodecRegistry().Find(COMPRESS_LZO);
  std::vector<uint8_t> encoded(lzo->MaxEncodedSize(static_cast<uint32_t>(content.size())));
  std::copy(content.begin(), content.end(), encoded.begin());
  uint32_t encodedSize = static_cast<uint32_t>(content.size());
  auto archive = NewPackArchive();
  if (!lzo->Encode(encoded.data(), static_cast<uint32_t>(encoded.size()), &encodedSize) ||
      !archive->Create(path.c_str())) {
    fprintf(stderr, "cannot make %s\n", path.c_str());
    exit(1);
  }
  char fields[24];
  snprintf(fields, sizeof fields, "|%08X|%08X\n", static_cast<unsigned>(content.size()), crc);
  std::string list = "scale bench\n" + std::to_string(count) + "\n";
  for (int i = 0; i < count; ++i) {
    std::string name = "data\\file" + std::to_string(i) + ".txt";
    archive->AddFile(encoded.data(), encodedSize, name.c_str(), true, false, COMPRESS_LZO,
                     static_cast<uint32_t>(content.size()));
    list += name + fields;
  }
  archive->AddFile(list.data(), static_cast<uint32_t>(list.size()), "(list)", true, false,
                   COMPRESS_NONE, 0);
  archive->Close();
  made[count] = path;
  return path;
}

// Processor time of the measured processes per iteration, in milliseconds.
void SetCpuCounter(benchmark::State& state, double cpuSeconds) {
  if (state.iterations() > 0) {
    state.counters["cpu_ms"] = cpuSeconds * 1000.0 / static_cast<double>(state.iterations());
  }
}

void TimeProcess(benchmark::State& state, const std::vector<std::string>& command) {
  double cpuSeconds = 0;
  for (auto _ : state) {
    if (!RunProcess(command, &cpuSeconds)) {
      state.SkipWithError("the process failed");
      break;
    }
  }
  SetCpuCounter(state, cpuSeconds);
}

void BM_PakAddOne(benchmark::State& state) {
  std::string archive = ArchiveOf(static_cast<int>(state.range(0)));
  std::string source = Scratch().Join("one.txt");
  WriteFileOrExit(source, TextContent(1));
  TimeProcess(state, {ToolPath("qlmr-pak"), "add", "--type", "2", RuntimeFileName(archive.c_str()),
                      "new.txt=" + RuntimeFileName(source.c_str())});
}

void BM_PakList(benchmark::State& state) {
  std::string archive = ArchiveOf(static_cast<int>(state.range(0)));
  TimeProcess(state, {ToolPath("qlmr-pak"), "ls", RuntimeFileName(archive.c_str())});
}

enum class Target { kPack, kLoose };

// A masked patch of `count` writes: pack-bound into data\item.pak, or new
// loose files in one folder.
std::string PatchOf(Target target, int count) {
  static std::map<std::pair<Target, int>, std::string> made;
  auto found = made.find({target, count});
  if (found != made.end()) return found->second;
  std::string tag = (target == Target::kPack ? "pack" : "loose") + std::to_string(count);
  std::string root = Scratch().Join("root-" + tag);
  std::vector<PackageLine> lines;
  for (int i = 0; i < count; ++i) {
    std::string name = "maps\\file" + std::to_string(i) + ".txt";
    if (target == Target::kPack) {
      WriteFileOrExit(JoinPath(root, JoinPath("data\\item.pak", name)), TextContent(i));
      lines.push_back({ENTRY_OP_WRITE, "data\\item.pak", name, COMPRESS_NONE});
    } else {
      WriteFileOrExit(JoinPath(root, name), TextContent(i));
      lines.push_back({ENTRY_OP_WRITE, "", name, COMPRESS_NONE});
    }
  }
  std::string patch = Scratch().Join(tag + ".patch");
  if (!BuildPatchPackage(lines, root.c_str(), patch.c_str(), PATCH_KIND_MASKED_ZIP)) {
    fprintf(stderr, "cannot build %s\n", patch.c_str());
    exit(1);
  }
  made[{target, count}] = patch;
  return patch;
}

void TimeApply(benchmark::State& state, Target target) {
  std::string patch = PatchOf(target, static_cast<int>(state.range(0)));
  std::string install = Scratch().Join("install");
  double cpuSeconds = 0;
  for (auto _ : state) {
    double seconds = bench::TimeApplyWithoutPause(
        patch, install, target == Target::kPack ? "data\\item.pak" : nullptr, &cpuSeconds);
    if (seconds < 0) {
      state.SkipWithError("the apply failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  SetCpuCounter(state, cpuSeconds);
}

void BM_ApplyPackWrites(benchmark::State& state) { TimeApply(state, Target::kPack); }
void BM_ApplyLooseFiles(benchmark::State& state) { TimeApply(state, Target::kLoose); }

BENCHMARK(BM_PakAddOne)
    ->Arg(2)
    ->Arg(10000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PakList)
    ->Arg(2)
    ->Arg(10000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPackWrites)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyLooseFiles)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
