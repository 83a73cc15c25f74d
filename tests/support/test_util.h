// Helpers shared by the tests: temporary folders and whole-file reads and
// writes, all through the platform layer so the tests run on both systems.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qlmr {
namespace testing_support {

// A fresh folder in the temporary folder, removed with its content when the
// object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `name` joined below the folder with a backslash.
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

// Makes `folder` the current folder until the object goes out of scope.
class CurrentFolderScope {
 public:
  explicit CurrentFolderScope(const std::string& folder);
  ~CurrentFolderScope();
  CurrentFolderScope(const CurrentFolderScope&) = delete;
  CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

 private:
  std::string previous_;
};

// A name of one file and how it is spelled.
struct Spelling {
  std::string what;
  std::string path;
};
// Every way the tests name the existing file `name` of `dir`, which must be
// the current folder: through the current folder ("./x", ".\\x", "x"), in
// another letter case, absolute, and (POSIX) through a symbolic and a hard
// link, which this call creates beside the file.
std::vector<Spelling> SpellingsOfOneFile(const TempDir& dir, const std::string& name);

enum class LinkKind { kSymbolic, kHard };
// Makes `link` a symbolic or hard link to `target` (a file, or for a
// symbolic link also a folder). False when the system does not allow it here
// (Win32 symbolic links need a privilege).
bool MakeLink(const std::string& link, const std::string& target, LinkKind kind);

// Every file below `root` (folders end with a backslash, links are followed)
// with its content: a tree to compare before and after a run.
std::map<std::string, std::string> SnapshotTree(const std::string& root);

// Writes `content` to `path`, creating missing folders. Aborts the test
// binary on failure (a broken fixture is not a test result).
void WriteFileOrDie(const std::string& path, const std::string& content);
// The whole file; empty when it cannot be read. `ok` tells which.
std::string ReadFileOrEmpty(const std::string& path, bool* ok = nullptr);
// Copies the folder `from` with everything below it to `to`, creating `to`
// and the folders above it. Aborts the test binary on failure.
void CopyTreeOrDie(const std::string& from, const std::string& to);
// Deterministic pseudo-random bytes.
std::string RandomBytes(uint32_t seed, size_t length);

}  // namespace testing_support
}  // namespace qlmr
