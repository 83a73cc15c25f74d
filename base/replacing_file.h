// Writing a file through a temporary copy: the new content goes to a file
// with a fresh temporary name in the destination's folder, and replaces the
// destination only when Commit succeeds. Until then the destination keeps its
// old content whatever fails, and an uncommitted temporary file is deleted
// when the object ends.
//
// Reports nothing: every false leaves the system error number for
// LastSystemError() (base/platform.h), and the caller words the failure.
// One object per file, used by one thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/platform.h"

namespace qlmr {

class ReplacingFile {
 public:
  // `prefix` starts the temporary name (CreateUniqueTempFile).
  ReplacingFile(std::string destination, const char* prefix);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file. False when it cannot be made.
  bool Create();
  // Appends `length` bytes; writing 0 bytes succeeds.
  bool Write(const void* data, uint32_t length);
  // Makes the content durable, closes the file and moves it over the
  // destination. After a failure the temporary file is still deleted.
  bool Commit();

  const std::string& destination() const { return destination_; }

 private:
  std::string destination_;
  const char* prefix_;
  std::string tempPath_;  // empty when there is nothing to delete
  File file_;
};

}  // namespace qlmr
