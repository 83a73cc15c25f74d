// What the benchmarks that run the tools as whole processes share: a scratch
// folder of their own and a way to run a program to its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qlmr {
namespace bench {

// A fresh folder in the temporary folder, removed with its content at
// destruction. Exits the process when it cannot be made.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

// Runs `arguments` (the program first, found on PATH when it has no folder)
// with stdout and stderr sent to /dev/null; true when it exits with 0. The
// processor time the process used (user and system) is added to
// `*cpuSeconds` when it is given: on a machine shared with other work it
// varies far less than the wall clock.
bool RunProcess(std::vector<std::string> arguments, double* cpuSeconds = nullptr);

// The system name of a tool built next to the running benchmark.
std::string ToolPath(const char* tool);

// `size` bytes of words with runs of noise: it deflates to about a third, as
// game data roughly does, and repeats itself across files as game data does.
std::string GameLikeContent(std::mt19937* engine, size_t size);

// Empties the installation folder `install` (making it if needed) and, when
// `emptyPack` is not null, creates an empty pack archive at that name below
// it. Then runs `qlmr-patchkit apply patch install` and returns its time in
// seconds without the apply's fixed pause, or a negative value when it fails;
// its processor time is added to `*cpuSeconds`.
double TimeApplyWithoutPause(const std::string& patch, const std::string& install,
                             const char* emptyPack, double* cpuSeconds);

// Writes `content` to `path` (its folders made), or exits the process.
void WriteFileOrExit(const std::string& path, const std::string& content);

// A stored file of an archive that a benchmark makes.
struct StoredSpec {
  std::string name;
  uint8_t type;  // the compression type it is stored with
  std::string content;
};

// Writes a new pack archive at `path` holding `files` and a list file naming
// them, or exits the process.
void WriteArchiveOrExit(const std::string& path, const std::vector<StoredSpec>& files);

}  // namespace bench
}  // namespace qlmr
