// Applying a loose-only masked patch of about 200 MiB in 2,000 deflated files
// to an empty folder with `qlmr-patchkit apply`, against `unzip -o` of the
// same zip unmasked, both as whole processes in one run. The apply includes
// the fixed 500 ms pause of the application order; scripts/bench.d shows the
// ratio with and without it.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/package_builder.h"

extern char** environ;

namespace {

constexpr int kFileCount = 2000;
constexpr size_t kFileSize = 100u << 10;  // 2,000 x 100 KiB = 200 MiB

// Text-like content that deflates to about a third, as game data roughly does.
std::string FileContent(std::mt19937* engine) {
  static const char* const kWords[] = {"quelmar", "sword",  "item",   "0x1F",   "map",
                                       "texture", "sound",  "npc",    "level",  "12",
                                       "shield",  "potion", "dragon", "castle", "\t"};
  std::string content;
  content.reserve(kFileSize);
  while (content.size() < kFileSize) {
    if ((*engine)() % 8 == 0) {
      for (int i = 0; i < 6; ++i) content += static_cast<char>((*engine)() & 0xFF);
    } else {
      content += kWords[(*engine)() % (sizeof kWords / sizeof kWords[0])];
      content += ' ';
    }
  }
  content.resize(kFileSize);
  return content;
}

struct Fixture {
  std::string folder;
  std::string patch;   // masked package
  std::string zip;     // the same container unmasked
  std::string target;  // emptied before each run
  std::string patchkit;
  uint64_t bytes = 0;

  Fixture() {
    std::string made;
    if (!qlmr::CreateUniqueTempFile(qlmr::TempFolderPath().c_str(), "qpb", &made) ||
        !qlmr::RemoveFileAt(made.c_str()) || !qlmr::MakeFolder(made.c_str())) {
      fprintf(stderr, "cannot make the bench folder\n");
      exit(1);
    }
    folder = made;
    std::string root = qlmr::JoinPath(folder, "root");
    std::mt19937 engine(7);
    std::vector<qlmr::PackageLine> lines;
    for (int i = 0; i < kFileCount; ++i) {
      std::string name = "data" + std::to_string(i % 20) + "\\file" + std::to_string(i) + ".dat";
      std::string path = qlmr::JoinPath(root, name);
      qlmr::CreateFolderChain(qlmr::PathFolder(path).c_str());
      qlmr::File file;
      std::string content = FileContent(&engine);
      if (!file.Open(path.c_str(), qlmr::FileMode::kCreate) ||
          !file.Write(content.data(), static_cast<uint32_t>(content.size()))) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
      }
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
    patchkit = qlmr::RuntimeFileName(
        qlmr::JoinPath(qlmr::PathFolder(qlmr::ExecutablePath()), "qlmr-patchkit").c_str());
  }

  ~Fixture() {
    qlmr::RemoveFolderContents(folder.c_str());
    qlmr::RemoveEmptyFolder(folder.c_str());
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

// Runs a program to its end; false unless it exits with 0.
bool RunProcess(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RunTimed(benchmark::State& state, const std::vector<std::string>& command) {
  Fixture& fixture = GetFixture();
  for (auto _ : state) {
    state.PauseTiming();
    fixture.EmptyTarget();
    state.ResumeTiming();
    if (!RunProcess(command)) {
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
