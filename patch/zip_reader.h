// The zip reader behind patch packages: every read of a patch container goes
// through this small interface, so that each platform can use the zip library
// it has (zziplib on POSIX, libzip on Win32) and both give the same entries
// and the same bytes.
//
// A container file holds a zip archive in one of three byte forms. The reader
// never sees the form: it reads the file at some position and the bytes are
// turned back into zip bytes by that position (UnmaskContainerBytes) before
// the zip library looks at them.
//
// Threads: the handler tables are process-wide and unguarded; a directory and
// its entries are used by one thread.
//
// Failures are not reported through base/error.h here: callers turn the
// library's error number (ErrorNumber) into ERR_ZIP, "ziperr=%d".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qlmr {

// How the bytes of a container file relate to the zip archive's bytes.
enum class ZipByteForm {
  kPlain,     // as they are
  kInverted,  // every byte complemented
  kMasked,    // every byte XORed with PositionalMask of its file offset
};

// Turns `length` bytes read at file offset `position` back into zip bytes.
void UnmaskContainerBytes(ZipByteForm form, uint64_t position, void* data, size_t length);

// One table of read handlers: the zip library's default file access with the
// read replaced by one that undoes a byte form. Owned by the backend, of
// static lifetime.
class ZipReadHandlers {
 public:
  ZipByteForm form() const { return form_; }

 protected:
  explicit ZipReadHandlers(ZipByteForm form) : form_(form) {}
  ~ZipReadHandlers() = default;

 private:
  ZipByteForm form_;
};

// The process-wide table of each form.
const ZipReadHandlers* GetZipReadHandlers(ZipByteForm form);

// Fills the inverted and masked tables again from the library's defaults.
void RefillZipReadHandlers();

// What the central directory says of one entry. Nothing here is trusted:
// the checks above the reader (patch/zip_checks.h) compare it with the file
// and with the data as it is read.
struct ZipEntryInfo {
  static constexpr uint64_t kUnknownOffset = UINT64_MAX;

  std::string name;
  uint64_t size = 0;            // uncompressed
  uint64_t compressedSize = 0;  // bytes of entry data in the file
  int method = 0;               // 0 stored, 8 deflate; others unsupported
  uint32_t crc32 = 0;           // the zip format's standard CRC-32 of the data
  // Offset of the entry's local record in the file; kUnknownOffset where the
  // library does not tell it.
  uint64_t localOffset = kUnknownOffset;
};

// One entry of an open directory, opened for reading. What the directory
// says of it is the ZipEntryInfo it was opened by.
class ZipEntryReader {
 public:
  virtual ~ZipEntryReader() = default;
  // Moves the read position back to the start of the entry's data.
  virtual bool Rewind() = 0;
  // Reads up to `length` bytes of uncompressed data: the count, 0 at the
  // end, -1 on failure.
  virtual int64_t Read(void* buffer, uint32_t length) = 0;
  // The read position in the uncompressed data.
  virtual uint64_t Tell() = 0;
};

// The form of a name that lookups compare: ASCII letters lower-cased and
// backslashes made slashes, byte by byte (the bytes of a double-byte
// character are not told apart, as the zip library does not tell them
// apart either).
std::string ZipLookupKey(const std::string& name);

// An open zip archive. Closing it (destruction) closes nothing that an
// entry reader still needs: entries must be destroyed first.
//
// The directory is listed once, on first use, into one index that every
// lookup and every check of the entries' records uses, so that opening one
// entry of a container of many costs no scan of its directory; a backend
// only lists its entries and opens one by position.
class ZipDirectory {
 public:
  // Opens the archive in `path` (a system name) through `handlers`. On
  // failure returns null and sets *zipError to the library's error number.
  static std::unique_ptr<ZipDirectory> Open(const char* path, const ZipReadHandlers* handlers,
                                            int* zipError);

  virtual ~ZipDirectory() = default;
  // Every entry of the central directory, in its order; empty when the
  // directory cannot be listed.
  const std::vector<ZipEntryInfo>& Entries();
  // The entry whose name has the same ZipLookupKey as `name`, the first in
  // directory order when several have; null when there is none. Only
  // entries inside the archive are found.
  const ZipEntryInfo* FindEntry(const char* name);
  // Opens `entry`, one of Entries(). Null, without any report, when the
  // backend cannot open it (see ErrorNumber).
  std::unique_ptr<ZipEntryReader> OpenEntry(const ZipEntryInfo& entry);
  // FindEntry, then OpenEntry; null when either fails.
  std::unique_ptr<ZipEntryReader> OpenEntry(const char* name);
  // The library's error number of the last failure on this directory.
  virtual int ErrorNumber() const = 0;

 protected:
  // Every entry, as the central directory records it, in directory order.
  // Called once, by the first use; false when the directory cannot be
  // listed (no entry is then found).
  virtual bool ListEntries(std::vector<ZipEntryInfo>* entries) = 0;
  // Opens the entry at `position` of ListEntries' order; null on failure.
  virtual std::unique_ptr<ZipEntryReader> OpenEntryAt(size_t position) = 0;

 private:
  void Index();

  bool indexed_ = false;
  std::vector<ZipEntryInfo> entries_;
  std::unordered_map<std::string, size_t> index_;  // ZipLookupKey -> position
};

}  // namespace qlmr
