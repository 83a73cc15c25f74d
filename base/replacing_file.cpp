#include "base/replacing_file.h"

namespace qlmr {

bool ReplacingFile::Create(const char* folder, const char* prefix) {
  Discard();
  if (!CreateUniqueTempFile(folder, prefix, &tempPath_)) {
    tempPath_.clear();
    return false;
  }
  return file_.Open(tempPath_.c_str(), FileMode::kCreate);
}

bool ReplacingFile::CreateAt(const std::string& tempPath) {
  Discard();
  tempPath_ = tempPath;
  return file_.Open(tempPath_.c_str(), FileMode::kCreateFresh);
}

bool ReplacingFile::Write(const void* data, uint32_t length) {
  return length == 0 || file_.Write(data, length);
}

bool ReplacingFile::Commit(const char* destination, Flush flush) {
  // The copy must be on the device before it takes the destination's place.
  if (flush == Flush::kBeforeMove) {
    if (!file_.IsOpen() && !file_.Open(tempPath_.c_str(), FileMode::kReadWrite)) return false;
    if (!file_.Flush()) return false;
  }
  if (!file_.Close()) return false;
  if (!MoveFileReplace(tempPath_.c_str(), destination)) return false;
  tempPath_.clear();
  return true;
}

void ReplacingFile::Discard() {
  if (tempPath_.empty()) return;
  file_.Close();
  RemoveFileAt(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace qlmr
