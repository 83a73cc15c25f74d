// Writing a file whole or not at all: the content goes to a new file under a
// unique temporary name, is made durable, and only then moves over the
// destination, so the destination holds either its old content or all of
// the new. The one way the system rewrites a file in place.
//
// State after each failure: Create or a write failed, or Commit failed: the
// destination is as it was; the temporary file is deleted when the object
// ends (or at Discard). ReplacingFile reports nothing: each caller words its
// own report right after the failed call, while LastSystemError() still
// names the cause. One thread uses an object.
#pragma once

#include <cstdint>
#include <string>

#include "base/platform.h"

namespace qlmr {

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile() { Discard(); }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file in `folder`, its name starting with `prefix`.
  // On failure tempPath() names the file that could not be opened, or is
  // empty when no name could be made.
  bool Create(const char* folder, const char* prefix);
  // Creates the temporary file under the fixed name `tempPath` instead: a run
  // that dies before Commit leaves a file that the same write run again
  // replaces, rather than one more unique name. Whatever stands at the name
  // is removed and the file made anew (FileMode::kCreateFresh), never opened
  // through a link someone planted there.
  bool CreateAt(const std::string& tempPath);

  // The open temporary file. A writer that opens the file by name itself
  // (tempPath()) closes it here first; Commit opens it again to flush it.
  File* file() { return &file_; }
  const std::string& tempPath() const { return tempPath_; }

  // Appends `length` bytes; nothing to write always succeeds.
  bool Write(const void* data, uint32_t length);

  // Whether Commit flushes the copy before the move. kLeaveToCaller serves a
  // caller that makes all its writes durable at once before anything depends
  // on them (one file-system flush costs less than one per file); until then
  // a power cut may leave the destination short.
  enum class Flush { kBeforeMove, kLeaveToCaller };

  // Closes the temporary file (flushing it first unless told otherwise),
  // then moves it over `destination`. A temporary file that is no longer
  // open is opened again for the flush.
  bool Commit(const char* destination, Flush flush = Flush::kBeforeMove);

  // Closes and deletes the temporary file unless it was committed.
  void Discard();

 private:
  std::string tempPath_;
  File file_;
};

}  // namespace qlmr
