// The patch between two installations of 10,000 loose files and 4 pack
// archives of 5,000 stored files each (a few percent of everything changed,
// gone or added): DiffInstallations plus WritePatch (masked, with its
// self-check), against reading and hashing every byte of both trees once,
// the work no diff can avoid. Both report the bytes of both trees, so the
// ratio of their throughputs is the ratio of their times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "pack/pack_archive.h"
#include "tools/patchkit/release_builder.h"
#include "tools/patchkit/tree_diff.h"
#include "update/carrier_format.h"

namespace {

using namespace qlmr;

constexpr int kLooseFiles = 10000;
constexpr int kArchives = 4;
constexpr int kStoredFiles = 5000;

void Die(const char* what) {
  fprintf(stderr, "diff bench: %s\n", what);
  exit(1);
}

// Text-like content, made fast: slices of one long random text.
class ContentSource {
 public:
  ContentSource() : engine_(5) {
    static const char* const kWords[] = {"quelmar ", "sword ", "item ",  "0x1F ", "map ",
                                         "texture ", "npc ",   "level ", "12 ",   "castle "};
    while (text_.size() < (1u << 20)) text_ += kWords[engine_() % 10];
  }
  std::string Next(uint32_t maxLength) {
    uint32_t length = 1 + engine_() % maxLength;
    uint32_t start = engine_() % (static_cast<uint32_t>(text_.size()) - length);
    std::string content = text_.substr(start, length);
    content[0] = static_cast<char>(engine_());  // no two alike
    return content;
  }
  uint32_t Below(uint32_t n) { return engine_() % n; }

 private:
  std::mt19937 engine_;
  std::string text_;
};

void WriteFileOrDie(const std::string& path, const std::string& content) {
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate) ||
      !file.Write(content.data(), static_cast<uint32_t>(content.size()))) {
    Die(path.c_str());
  }
}

using bench::StoredSpec;

struct Fixture {
  std::string root;
  std::string oldRoot;
  std::string newRoot;
  std::string patch;
  uint64_t bytes = 0;  // of both trees

  Fixture() {
    if (!CreateUniqueTempFile(TempFolderPath().c_str(), "qdb", &root) ||
        !RemoveFileAt(root.c_str()) || !MakeFolder(root.c_str())) {
      Die("temporary folder");
    }
    oldRoot = JoinPath(root, "old");
    newRoot = JoinPath(root, "new");
    patch = JoinPath(root, "bench.patch");
    ContentSource source;
    // Loose files up to 8 KiB in 100 folders; 3% changed, 1% gone, 1% added.
    for (int i = 0; i < kLooseFiles; ++i) {
      std::string name = "data" + std::to_string(i % 100) + "\\file" + std::to_string(i) + ".dat";
      std::string content = source.Next(8192);
      std::string oldPath = JoinPath(oldRoot, name);
      std::string newPath = JoinPath(newRoot, name);
      if (i < 100) {
        CreateFolderChain(PathFolder(oldPath).c_str());
        CreateFolderChain(PathFolder(newPath).c_str());
      }
      uint32_t fate = source.Below(100);
      WriteFileOrDie(oldPath, content);
      if (fate == 0) continue;
      WriteFileOrDie(newPath, fate < 4 ? source.Next(8192) : content);
    }
    for (int i = 0; i < kLooseFiles / 100; ++i) {
      WriteFileOrDie(JoinPath(newRoot, "data" + std::to_string(i) + "\\added.dat"),
                     source.Next(8192));
    }
    WriteFileOrDie(JoinPath(oldRoot, ".ver"), "CN.0.551.065\r\n");
    WriteFileOrDie(JoinPath(newRoot, ".ver"), "CN.0.551.066\r\n");
    // Archives of stored files up to 4 KiB, types 0 to 2 (LZMA would make
    // the setup slow); the same rates of change.
    CreateFolderChain(JoinPath(oldRoot, "pak").c_str());
    CreateFolderChain(JoinPath(newRoot, "pak").c_str());
    for (int a = 0; a < kArchives; ++a) {
      std::vector<StoredSpec> oldFiles;
      std::vector<StoredSpec> newFiles;
      for (int i = 0; i < kStoredFiles; ++i) {
        StoredSpec file{"res\\" + std::to_string(i % 50) + "\\item" + std::to_string(i) + ".bin",
                        static_cast<uint8_t>(source.Below(3)), source.Next(4096)};
        oldFiles.push_back(file);
        uint32_t fate = source.Below(100);
        if (fate == 0) continue;
        if (fate < 4) file.content = source.Next(4096);
        newFiles.push_back(file);
      }
      for (int i = 0; i < kStoredFiles / 100; ++i) {
        newFiles.push_back({"res\\added" + std::to_string(i) + ".bin", 2, source.Next(4096)});
      }
      std::string name = "pak\\part" + std::to_string(a) + ".pak";
      bench::WriteArchiveOrExit(JoinPath(oldRoot, name), oldFiles);
      bench::WriteArchiveOrExit(JoinPath(newRoot, name), newFiles);
    }
    bytes = TreeBytes(oldRoot) + TreeBytes(newRoot);
    ReportPatchSizes();
  }

  ~Fixture() {
    RemoveFolderContents(root.c_str());
    RemoveEmptyFolder(root.c_str());
  }

  static uint64_t TreeBytes(const std::string& folder) {
    uint64_t total = 0;
    std::vector<FolderEntry> entries;
    ListFolder(folder.c_str(), &entries);
    for (const FolderEntry& entry : entries) {
      std::string path = JoinPath(folder, entry.name);
      if (entry.isFolder) {
        total += TreeBytes(path);
      } else {
        File file;
        uint64_t size = 0;
        if (file.Open(path.c_str(), FileMode::kRead) && file.Size(&size)) total += size;
      }
    }
    return total;
  }

  // The sizes of the pair's patches in both kinds, once, for the report.
  void ReportPatchSizes() {
    patchkit::TreeDiff diff;
    for (PatchKind kind : {PATCH_KIND_MASKED_ZIP, PATCH_KIND_PACKED}) {
      patchkit::PatchReport report;
      if (!patchkit::DiffInstallations({oldRoot}, newRoot, kind, &diff) ||
          !patchkit::WritePatch(&diff, patch, patchkit::PatchOptions(), &report)) {
        Die("patch");
      }
      fprintf(stderr, "diff bench: trees %llu bytes, %s patch %u bytes\n",
              static_cast<unsigned long long>(bytes),
              kind == PATCH_KIND_PACKED ? "packed" : "masked", FileSizeOf(patch.c_str()));
    }
    for (const patchkit::PackSummary& pack : diff.summary.packs) {
      fprintf(stderr, "diff bench: %s %s: %s\n", pack.name.c_str(),
              patchkit::PackPlanName(pack.plan), pack.reason.c_str());
    }
  }
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void HashTree(const std::string& folder, std::vector<uint8_t>* buffer, uint32_t* crc) {
  std::vector<FolderEntry> entries;
  ListFolder(folder.c_str(), &entries);
  for (const FolderEntry& entry : entries) {
    std::string path = JoinPath(folder, entry.name);
    if (entry.isFolder) {
      HashTree(path, buffer, crc);
      continue;
    }
    File file;
    if (!file.Open(path.c_str(), FileMode::kRead)) Die(path.c_str());
    uint32_t state = kCrcInit;
    uint32_t got = 0;
    while (file.Read(buffer->data(), static_cast<uint32_t>(buffer->size()), &got) && got > 0) {
      state = CrcUpdate(state, buffer->data(), got);
    }
    *crc ^= CrcFinish(state);
  }
}

void BM_HashBothTrees(benchmark::State& state) {
  Fixture& f = GetFixture();
  std::vector<uint8_t> buffer(1u << 16);
  for (auto _ : state) {
    uint32_t crc = 0;
    HashTree(f.oldRoot, &buffer, &crc);
    HashTree(f.newRoot, &buffer, &crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

void BM_DiffAndWritePatch(benchmark::State& state) {
  Fixture& f = GetFixture();
  for (auto _ : state) {
    patchkit::TreeDiff diff;
    patchkit::PatchReport report;
    if (!patchkit::DiffInstallations({f.oldRoot}, f.newRoot, PATCH_KIND_MASKED_ZIP, &diff) ||
        !patchkit::WritePatch(&diff, f.patch, patchkit::PatchOptions(), &report)) {
      state.SkipWithError("the diff failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

// The comparison alone, to tell its share from the patch writing and the
// self-check.
void BM_DiffOnly(benchmark::State& state) {
  Fixture& f = GetFixture();
  for (auto _ : state) {
    patchkit::TreeDiff diff;
    if (!patchkit::DiffInstallations({f.oldRoot}, f.newRoot, PATCH_KIND_MASKED_ZIP, &diff)) {
      state.SkipWithError("the diff failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

// qlmr-patchkit release's work on the pair: the patch, its self-check, the
// program wrapped around a stand-in updater (its code and the record that
// names its carrier offset), read back and digested, and the report.
void BM_Release(benchmark::State& state) {
  Fixture& f = GetFixture();
  std::string updater = JoinPath(f.root, "updater.exe");
  uint8_t record[8];
  StoreLittleEndian32(4096, record);
  StoreLittleEndian32(~4096u, record + 4);
  WriteFileOrDie(updater, "stand-in\n" + std::string(kCarrierMarkerTag, kCarrierMarkerTagSize) +
                              std::string(reinterpret_cast<char*>(record), sizeof record));
  patchkit::ReleaseRequest request;
  request.oldRoots = {f.oldRoot};
  request.newRoot = f.newRoot;
  request.updater = updater;
  request.output = JoinPath(f.root, "update.exe");
  for (auto _ : state) {
    patchkit::ReleaseResult result;
    if (!patchkit::BuildRelease(request, &result)) {
      state.SkipWithError(LastErrorMessage());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

BENCHMARK(BM_HashBothTrees)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffOnly)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffAndWritePatch)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Release)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
