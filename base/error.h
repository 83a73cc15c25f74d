// The error state: one per thread.
//
// Operations of the file utilities, codecs, pack archive and patch package
// return a boolean (or a null result) and leave the reason of a failure here:
// a numeric code and a message of at most 1023 characters. Nothing is thrown.
//
// Thread rule: every thread has an error state of its own, so a failure is
// read on the thread that reported it, right after the operation that
// reported it (the update thread reads its own; two threads reading one pack
// archive each see their own failures). A report never reaches another
// thread: a thread that hands work to another passes the outcome itself. A
// success never touches the state; no operation clears it.
#pragma once

#include <cstdint>
#include <cstring>

// MinGW's C++ runtime formats the GNU way, which its default check does not know.
#if defined(__MINGW32__)
#define QLMR_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define QLMR_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace qlmr {

enum ErrorCode : int32_t {
  ERR_NONE = 0,
  ERR_NOT_FOUND = 1,    // a stored file named by the caller is absent
  ERR_BAD_DATA = 2,     // inconsistent, too short or unexpected data
  ERR_ACCESS = 3,       // open/create failed, or a read-only archive was asked to change
  ERR_READ = 4,         // a read failed or was short
  ERR_WRITE = 5,        // a write or a move failed or was short
  ERR_SEEK = 6,         // positioning failed or lies outside the file
  ERR_MODE = 7,         // the archive's open mode or write flag forbids it
  ERR_NO_MEMORY = 9,    // allocation failed or the caller's buffer is too small
  ERR_INVALID = 10,     // missing argument, index out of range, failed lookup
  ERR_TABLE_FULL = 11,  // no free slot in a pack archive's hash table
  ERR_NO_BLOCK = 12,    // no block could be allocated in a pack archive
  ERR_ZIP = 14,         // the patch's zip container reported an error
  ERR_VERSION = 16,     // unsupported pack archive format version
  ERR_DUPLICATE = 17,   // a value is already present
  ERR_NO_CODEC = 18,    // no codec for a stored file's compression type
  ERR_CODEC = 19,       // a compression library reported an error
};

// Capacity of the message buffer, terminator included.
constexpr int kErrorMessageCapacity = 1024;

// Records a failure in the calling thread's state: stores `code`, then formats the arguments with
// the printf-style `format` into the message, cutting it at 1023 characters. `format` must be a
// literal; pass caller-supplied names as "%s" arguments.
void ReportError(int32_t code, const char* format, ...) QLMR_PRINTF_FORMAT(2, 3);

// The code of the calling thread's last reported failure; 0 before any.
int32_t LastErrorCode();

// The message of the calling thread's last reported failure, zero-terminated;
// empty before any. The text belongs to that thread's state and stays
// unchanged until the thread's next ReportError (or its end).
const char* LastErrorMessage();

// Keeps the last failure while clean-up that may report failures of its own
// runs, and puts it back with Restore. Allocates nothing, so it also serves
// while memory runs out.
class KeptError {
 public:
  KeptError() : code_(LastErrorCode()) {
    strncpy(message_, LastErrorMessage(), sizeof message_ - 1);
    message_[sizeof message_ - 1] = '\0';
  }
  void Restore() const { ReportError(code_, "%s", message_); }
  int32_t code() const { return code_; }
  const char* message() const { return message_; }

 private:
  int32_t code_;
  char message_[kErrorMessageCapacity];
};

}  // namespace qlmr
