// Helpers shared by the tests: temporary folders and whole-file reads and
// writes, all through the platform layer so the tests run on both systems.
#pragma once

#include <cstdint>
#include <string>

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

// Writes `content` to `path`, creating missing folders. Aborts the test
// binary on failure (a broken fixture is not a test result).
void WriteFileOrDie(const std::string& path, const std::string& content);
// The whole file; empty when it cannot be read. `ok` tells which.
std::string ReadFileOrEmpty(const std::string& path, bool* ok = nullptr);
// Deterministic pseudo-random bytes.
std::string RandomBytes(uint32_t seed, size_t length);

}  // namespace testing_support
}  // namespace qlmr
