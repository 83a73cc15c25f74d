#include "bench/bench_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/patch_format.h"

extern char** environ;

namespace qlmr {
namespace bench {

ScratchFolder::ScratchFolder() {
  std::string made;
  if (!CreateUniqueTempFile(TempFolderPath().c_str(), "qpb", &made) ||
      !RemoveFileAt(made.c_str()) || !MakeFolder(made.c_str())) {
    fprintf(stderr, "cannot make the bench folder\n");
    exit(1);
  }
  path_ = made;
}

ScratchFolder::~ScratchFolder() {
  RemoveFolderContents(path_.c_str());
  RemoveEmptyFolder(path_.c_str());
}

std::string ScratchFolder::Join(const std::string& name) const { return JoinPath(path_, name); }

bool RunProcess(std::vector<std::string> arguments, double* cpuSeconds) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  if (cpuSeconds != nullptr) {
    *cpuSeconds += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ToolPath(const char* tool) {
  return RuntimeFileName(JoinPath(PathFolder(ExecutablePath()), tool).c_str());
}

std::string GameLikeContent(std::mt19937* engine, size_t size) {
  static const char* const kWords[] = {"quelmar", "sword",  "item",   "0x1F",   "map",
                                       "texture", "sound",  "npc",    "level",  "12",
                                       "shield",  "potion", "dragon", "castle", "\t"};
  std::string content;
  content.reserve(size);
  while (content.size() < size) {
    if ((*engine)() % 8 == 0) {
      for (int i = 0; i < 6; ++i) content += static_cast<char>((*engine)() & 0xFF);
    } else {
      content += kWords[(*engine)() % (sizeof kWords / sizeof kWords[0])];
      content += ' ';
    }
  }
  content.resize(size);
  return content;
}

double TimeApplyWithoutPause(const std::string& patch, const std::string& install,
                             const char* emptyPack, double* cpuSeconds) {
  CreateFolderChain(install.c_str());
  RemoveFolderContents(install.c_str());
  if (emptyPack != nullptr) {
    std::string pack = JoinPath(install, emptyPack);
    CreateFolderChain(PathFolder(pack).c_str());
    auto archive = NewPackArchive();
    if (!archive->Create(pack.c_str())) return -1;
    archive->Close();
  }
  auto start = std::chrono::steady_clock::now();
  bool ok = RunProcess({ToolPath("qlmr-patchkit"), "apply", RuntimeFileName(patch.c_str()),
                        RuntimeFileName(install.c_str())},
                       cpuSeconds);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (!ok) return -1;
  return took.count() - patch_format::kPackPauseMilliseconds / 1000.0;
}

void WriteFileOrExit(const std::string& path, const std::string& content) {
  CreateFolderChain(PathFolder(path).c_str());
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate) ||
      !file.Write(content.data(), static_cast<uint32_t>(content.size()))) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

namespace {

std::string EncodeOrExit(uint8_t type, const std::string& content) {
  if (type == COMPRESS_NONE) return content;
  const Codec* codec = GetCodecRegistry().Find(type);
  uint32_t length = static_cast<uint32_t>(content.size());
  std::string buffer(content);
  buffer.resize(std::max<uint32_t>({length, codec->MaxEncodedSize(length), 1}));
  if (!codec->Encode(reinterpret_cast<uint8_t*>(&buffer[0]), static_cast<uint32_t>(buffer.size()),
                     &length)) {
    fprintf(stderr, "bench: encode type %d: %s\n", type, LastErrorMessage());
    exit(1);
  }
  buffer.resize(length);
  return buffer;
}

}  // namespace

void WriteArchiveOrExit(const std::string& path, const std::vector<StoredSpec>& files) {
  CreateFolderChain(PathFolder(path).c_str());
  auto archive = NewPackArchive();
  if (!archive->Create(path.c_str())) {
    fprintf(stderr, "bench: %s: %s\n", path.c_str(), LastErrorMessage());
    exit(1);
  }
  std::string list = "bench\n" + std::to_string(files.size()) + "\n";
  for (const StoredSpec& file : files) {
    std::string data = EncodeOrExit(file.type, file.content);
    if (!archive->AddFile(data.data(), static_cast<uint32_t>(data.size()), file.name.c_str(), true,
                          false, file.type, static_cast<uint32_t>(file.content.size()))) {
      fprintf(stderr, "bench: %s: %s\n", file.name.c_str(), LastErrorMessage());
      exit(1);
    }
    uint32_t crc = 0;
    BufferCrc(file.content.data(), static_cast<uint32_t>(file.content.size()), &crc);
    char numbers[24];
    snprintf(numbers, sizeof numbers, "|%08X|%08X\n", static_cast<unsigned>(file.content.size()),
             static_cast<unsigned>(crc));
    list += file.name + numbers;
  }
  if (!archive->AddFile(list.data(), static_cast<uint32_t>(list.size()), "(list)", true, false, 0,
                        0)) {
    fprintf(stderr, "bench: list: %s\n", LastErrorMessage());
    exit(1);
  }
  archive->Close();
}

}  // namespace bench
}  // namespace qlmr
