#include "base/replacing_file.h"

#include <utility>

#include "base/path.h"

namespace qlmr {

ReplacingFile::ReplacingFile(std::string destination, const char* prefix)
    : destination_(std::move(destination)), prefix_(prefix) {}

ReplacingFile::~ReplacingFile() {
  if (tempPath_.empty()) return;
  file_.Close();
  RemoveFileAt(tempPath_.c_str());
}

bool ReplacingFile::Create() {
  std::string folder = PathFolder(destination_);
  if (!CreateUniqueTempFile(folder.c_str(), prefix_, &tempPath_)) {
    tempPath_.clear();
    return false;
  }
  return file_.Open(tempPath_.c_str(), FileMode::kCreate);
}

bool ReplacingFile::Write(const void* data, uint32_t length) {
  return length == 0 || file_.Write(data, length);
}

bool ReplacingFile::Commit() {
  if (!file_.Flush() || !file_.Close()) return false;
  if (!MoveFileReplace(tempPath_.c_str(), destination_.c_str())) return false;
  tempPath_.clear();
  return true;
}

}  // namespace qlmr
