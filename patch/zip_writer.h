// Writing zip containers with libzip: the release team's side of
// the container. Failures are reported through base/error.h as ERR_ZIP
// "ziperr=%d" with libzip's error number, and return false.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "patch/zip_reader.h"

typedef struct zip zip_t;
typedef struct zip_source zip_source_t;

namespace qlmr {

class MemberDeflate;
struct DeflateMember;

// Deflated members above this size are left to libzip, which deflates them
// on the thread that closes the archive.
constexpr uint64_t kDeflateAheadLimit = 16u << 20;
// The default budget for the members deflated ahead of the one being
// written: their data as read and as deflated.
constexpr uint64_t kDeflateAheadMemory = 64u << 20;

// How the writer puts members in the archive.
enum class ZipMethod {
  kDeflate,  // compressed with deflate
  kStore,    // as they are
};

// A zip archive being written. Buffers handed to it must live until Close,
// so the writer keeps them. Destroying an unclosed writer discards the file.
//
// Deflated members of up to kDeflateAheadLimit bytes are deflated at Close on
// every processor (patch/member_deflate.h), into the bytes libzip's own
// compression gives: the archive's bytes do not depend on the number of
// threads. Memory at Close: the buffers added, plus the deflate budget
// (SetDeflateWork) for the members deflated ahead of the one being written.
//
// Close writes a temporary file beside `output` and puts it in place of
// `output` only when the whole archive is written (libzip's way). After a
// failure of Close (a file that cannot be read, a full disk, a cancel) it has
// removed the temporary file and left `output` as it was before Open, or
// absent if it was.
class ZipWriter {
 public:
  ZipWriter();
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Starts a new archive at `output` (a system name), replacing a file,
  // whose members are written with `method`.
  bool Open(const char* output, ZipMethod method = ZipMethod::kDeflate);
  // Adds a member `name` (stored as its bytes, CP936 allowed) with
  // `data`, or with the content of the file `path`, read at Close. A later
  // member of the same name replaces an earlier one. `stored` keeps this
  // member's bytes as they are whatever the archive's method: data that is
  // already compressed only costs time to deflate.
  bool AddBuffer(const std::string& name, std::string data, bool stored = false);
  bool AddFile(const std::string& name, const std::string& path, bool stored = false);
  // Gives every member added from now on the modification time `utcSeconds`
  // (seconds since 1970, UTC; the zip keeps 2-second steps from 1980 to 2107,
  // so it is rounded down to one of those) in place of its file's or the clock's,
  // so that the same members make the same bytes.
  void SetMemberTime(int64_t utcSeconds);
  // Deflates at Close on `threads` threads (0, the default: one per usable
  // processor) within `memory` bytes (default kDeflateAheadMemory) for the
  // members deflated ahead. For tests and tools that share the machine.
  void SetDeflateWork(uint32_t threads, uint64_t memory);
  // Close stops, fails with ERR_ZIP "ziperr=32" (cancelled) and writes
  // nothing once `*cancel` is true. Read on Close's thread and the deflate
  // threads; it must outlive Close.
  void SetCancel(const std::atomic<bool>* cancel);
  // Writes the archive.
  bool Close();

 private:
  bool Add(const std::string& name, zip_source_t* source, bool stored, DeflateMember* member);
  bool Deflated(bool stored) const { return !stored && method_ == ZipMethod::kDeflate; }

  // Outlives zip_, whose sources it serves; ends before buffers_, which its
  // threads read.
  std::unique_ptr<MemberDeflate> deflate_;
  zip_t* zip_ = nullptr;
  ZipMethod method_ = ZipMethod::kDeflate;
  bool fixedTime_ = false;
  uint16_t dosTime_ = 0;
  uint16_t dosDate_ = 0;
  uint32_t deflateThreads_ = 0;
  uint64_t deflateMemory_;
  const std::atomic<bool>* cancel_ = nullptr;
  std::deque<std::string> buffers_;
};

// A member of a hand-made container.
struct ZipMember {
  std::string name;
  std::string data;
};

// Writes a zip of `members`, in order, at `output` and puts it in byte form
// `form`: for tests and tools that need containers the package builder would
// refuse to make. Fails with ERR_ZIP "ziperr=%d" or MaskFileInPlace's codes.
bool WriteZipContainer(const std::vector<ZipMember>& members, const char* output, ZipByteForm form);

}  // namespace qlmr
