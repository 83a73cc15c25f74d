// Pack archives against loose files on the same 10,000 files (1 KiB to
// 64 KiB): reading every file, adding files durably (both timed by the wall
// clock, since they wait on the disk), and looking up absent
// names with the slot index against the full probe scan.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"

namespace {

using namespace qlmr;

constexpr int kFileCount = 10000;
constexpr int kAddBatch = 64;  // files per timed iteration of the add benchmarks

// The files, written once per process as an archive and as a loose folder.
struct BenchFiles {
  BenchFiles() {
    CreateUniqueTempFile(TempFolderPath().c_str(), "qpb", &root);
    RemoveFileAt(root.c_str());
    MakeFolder(root.c_str());
    loose = JoinPath(root, "loose");
    MakeFolder(loose.c_str());
    archive = JoinPath(root, "files.pak");
    std::mt19937 engine(1);
    std::uniform_int_distribution<uint32_t> size(1024, 65536);
    auto pack = NewPackArchive();
    pack->Create(archive.c_str());
    for (int i = 0; i < kFileCount; ++i) {
      char name[32];
      snprintf(name, sizeof name, "f%05d.bin", i);
      std::string content(size(engine), '\0');
      for (char& c : content) c = static_cast<char>(engine());
      names.push_back(std::string("data\\") + name);
      loose_paths.push_back(JoinPath(loose, name));
      File file;
      file.Open(loose_paths.back().c_str(), FileMode::kCreate);
      file.Write(content.data(), static_cast<uint32_t>(content.size()));
      pack->AddFile(content.data(), static_cast<uint32_t>(content.size()), names.back().c_str(),
                    true, false, 0, 0);
      contents.push_back(std::move(content));
    }
  }
  ~BenchFiles() {
    RemoveFolderContents(root.c_str());
    RemoveEmptyFolder(root.c_str());
  }
  std::string root, loose, archive;
  std::vector<std::string> names, loose_paths, contents;
};

BenchFiles& Files() {
  static BenchFiles files;
  return files;
}

void BM_PakRead(benchmark::State& state) {
  BenchFiles& files = Files();
  auto pack = NewPackArchive();
  if (!pack->Open(files.archive.c_str(), true)) state.SkipWithError("open");
  std::vector<char> buffer(65536);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& name : files.names) {
      PackFileStream* stream = pack->OpenFile(name.c_str());
      bytes += stream->Read(buffer.data(), stream->GetSize());
      stream->Release();
    }
  }
  state.SetBytesProcessed(bytes);
}

void BM_LooseRead(benchmark::State& state) {
  BenchFiles& files = Files();
  std::vector<char> buffer(65536);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& path : files.loose_paths) {
      File file;
      uint32_t got = 0;
      file.Open(path.c_str(), FileMode::kRead);
      file.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
      bytes += got;
    }
  }
  state.SetBytesProcessed(bytes);
}

void BM_PakAdd(benchmark::State& state) {
  BenchFiles& files = Files();
  std::string path = JoinPath(files.root, "add.pak");
  auto pack = NewPackArchive();
  pack->Create(path.c_str());
  int next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    for (int k = 0; k < kAddBatch; ++k, ++next) {
      const std::string& content = files.contents[next % kFileCount];
      std::string name = "new\\" + std::to_string(next);
      if (!pack->AddFile(content.data(), static_cast<uint32_t>(content.size()), name.c_str(), true,
                         true, 0, 0)) {
        state.SkipWithError("add");
      }
      bytes += static_cast<int64_t>(content.size());
    }
  }
  state.SetBytesProcessed(bytes);
  pack->Close();
  RemoveFileAt(path.c_str());
}

void BM_LooseAdd(benchmark::State& state) {
  BenchFiles& files = Files();
  std::string folder = JoinPath(files.root, "added");
  MakeFolder(folder.c_str());
  int next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    for (int k = 0; k < kAddBatch; ++k, ++next) {
      const std::string& content = files.contents[next % kFileCount];
      File file;
      std::string path = JoinPath(folder, std::to_string(next));
      if (!file.Open(path.c_str(), FileMode::kCreate) ||
          !file.Write(content.data(), static_cast<uint32_t>(content.size())) || !file.Flush()) {
        state.SkipWithError("write");
      }
      bytes += static_cast<int64_t>(content.size());
    }
  }
  state.SetBytesProcessed(bytes);
  RemoveFolderContents(folder.c_str());
  RemoveEmptyFolder(folder.c_str());
}

// A slot table holding the 10,000 names, and names it does not hold.
struct LookupTable {
  LookupTable() {
    for (int i = 0; i < kFileCount; ++i) {
      std::string key = "data/f" + std::to_string(i) + ".bin";
      int32_t slot = table.InsertSlot(key);
      PackHashEntry entry = table[static_cast<uint32_t>(slot)];
      entry.blockRef = kSlotInUse | static_cast<uint32_t>(i);
      table.Set(static_cast<uint32_t>(slot), entry);
    }
    for (int i = 0; i < 1024; ++i) absent.push_back("data/absent" + std::to_string(i) + ".bin");
  }
  PackSlotTable table;
  std::vector<std::string> absent;
};

const LookupTable& Lookups() {
  static LookupTable lookups;
  return lookups;
}

void BM_LookupMiss_Index(benchmark::State& state) {
  const LookupTable& lookups = Lookups();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookups.table.FindSlot(lookups.absent[i++ & 1023]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LookupMiss_Scan(benchmark::State& state) {
  const LookupTable& lookups = Lookups();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookups.table.FindSlotByScan(lookups.absent[i++ & 1023]));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PakRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LooseRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PakAdd)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LooseAdd)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LookupMiss_Index);
BENCHMARK(BM_LookupMiss_Scan)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
