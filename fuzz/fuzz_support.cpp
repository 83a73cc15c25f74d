#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "base/path.h"
#include "base/platform.h"

namespace qlmr {
namespace fuzzing {
namespace {

struct Scratch {
  Scratch() {
    std::string file;
    if (!CreateUniqueTempFile(TempFolderPath().c_str(), "qfz", &file) ||
        !RemoveFileAt(file.c_str()) || !MakeFolder(file.c_str())) {
      fprintf(stderr, "cannot make a scratch folder\n");
      abort();
    }
    path = file;
  }
  ~Scratch() {
    RemoveFolderContents(path.c_str());
    RemoveEmptyFolder(path.c_str());
  }
  std::string path;
};

}  // namespace

const std::string& ScratchFolder() {
  static Scratch scratch;
  return scratch.path;
}

std::string ScratchPath(const char* name) { return JoinPath(ScratchFolder(), name); }

void WriteBytesOrDie(const std::string& path, const uint8_t* data, size_t size) {
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate) ||
      (size > 0 && !file.Write(data, static_cast<uint32_t>(size))) || !file.Close()) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    abort();
  }
}

}  // namespace fuzzing
}  // namespace qlmr
