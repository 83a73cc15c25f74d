// Deflating the members of a zip on every processor before libzip copies
// them. libzip compresses on the thread that closes the archive, one member
// after the other; here each member is deflated whole by a thread of its own,
// with the settings of libzip's own compression (zlib at its best
// compression, 9, with the largest memory level, raw deflate), and libzip
// copies the deflated bytes, size and CRC-32 through a source of this unit as
// it copies a member of another archive. The archive therefore holds the
// bytes libzip writes alone, whatever the number of threads.
//
// Order and memory: the threads take the members in the order libzip writes
// them (their index in the archive). The read data and the deflated bytes
// of the members taken ahead of the one libzip copies stay within a budget:
// a thread takes the next member only while its data, read, and its deflate
// bound fit in what is left of the budget, or when libzip waits for that very
// member, and nothing after it is held then. So at most the budget, or one
// member's data and bound if that is more, is held at once (the budget is
// kDeflateAheadMemory unless the writer gives another; one member takes up
// to 2 x kDeflateAheadLimit and a little), plus zlib's working
// memory (under 400 KiB) per thread. Members above kDeflateAheadLimit are
// left to libzip, which deflates them as it copies them while the threads
// deflate the members after them.
//
// Failures: a member that cannot be read or deflated, and a cancel, fail
// the source libzip reads it through, with libzip's error number in the
// source's error (ZIP_ER_OPEN or ZIP_ER_READ for its file, ZIP_ER_MEMORY,
// ZIP_ER_ZLIB, ZIP_ER_CANCELLED); libzip then fails zip_close with it and
// writes nothing in place of the output.
//
// Ownership: the buffers of buffer members belong to the caller and must live
// until the sources are freed; file members are read when they are deflated.
// Threads: everything but the sources' callbacks on the writer's thread; the
// callbacks run on the thread that closes or discards the archive. The
// object must outlive the archive's sources (close or discard it first).
// Internal to the patch subsystem.
#pragma once

#include <zip.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "patch/zip_writer.h"  // kDeflateAheadLimit, kDeflateAheadMemory

namespace qlmr {

class MemberDeflate;

// One member, from its Add to its last callback.
struct DeflateMember {
  enum class State { kWaiting, kWorking, kDone, kFailed };

  MemberDeflate* owner = nullptr;
  const uint8_t* data = nullptr;  // or the file below
  std::string path;
  uint64_t size = 0;
  time_t mtime = 0;
  bool hasMtime = false;
  zip_file_attributes_t attributes{};  // the file's, for a file member
  State state = State::kWaiting;
  bool released = false;  // libzip is done with it
  std::unique_ptr<uint8_t[]> deflated;
  uint64_t deflatedSize = 0;
  uint32_t crc = 0;
  uint64_t charged = 0;  // to the budget
  uint64_t readPosition = 0;
  zip_error_t error{};
};

class MemberDeflate {
 public:
  MemberDeflate() = default;
  // Stops the threads, after the member each one deflates.
  ~MemberDeflate();
  MemberDeflate(const MemberDeflate&) = delete;
  MemberDeflate& operator=(const MemberDeflate&) = delete;

  // A member of `size` bytes at `data`, or of the file `path` (a system
  // name) that libzip's own source `file` describes (size, time and
  // attributes; `file` is freed). Returns its source for `zip`, which owns
  // it once given to zip_file_add, and the member in `*member`; null, with
  // the error in `zip`, when libzip cannot make a source.
  zip_source_t* AddBuffer(zip_t* zip, const uint8_t* data, uint64_t size, DeflateMember** member);
  zip_source_t* AddFile(zip_t* zip, const std::string& path, zip_source_t* file,
                        const zip_stat_t& stat, DeflateMember** member);
  // Tells the index libzip gave the member's entry, or null for an entry of
  // another source. An entry placed again (replaced) is never deflated for
  // the earlier member.
  void Place(DeflateMember* member, uint64_t index);
  // Starts `threads` threads (0: one per usable processor), that deflate the
  // placed members in index order within `memory` bytes. When `*cancel`
  // becomes true, members not yet deflated fail with ZIP_ER_CANCELLED. Call
  // once, before closing the archive.
  void Start(uint32_t threads, uint64_t memory, const std::atomic<bool>* cancel);

 private:
  static zip_int64_t Callback(void* member, void* data, zip_uint64_t length, zip_source_cmd_t cmd);
  zip_source_t* Source(zip_t* zip, DeflateMember* member);
  void Work();
  struct MemberError;
  // Deflates one member outside the lock; false with `*error` set.
  bool Deflate(DeflateMember* member, MemberError* error);
  // Under the lock.
  static void SetError(DeflateMember* member, const MemberError& error);
  // A cancel, or the end of this object: a member being deflated stops.
  bool Cancelled() const { return stop_ || (cancel_ != nullptr && cancel_->load()); }
  // Waits until `member` is deflated or failed. True when deflated.
  bool Wait(DeflateMember* member);
  // libzip is done with `member`: its memory goes to the members after it.
  void Release(DeflateMember* member);

  std::deque<DeflateMember> members_;          // stable addresses for the callbacks
  std::map<uint64_t, DeflateMember*> placed_;  // by index in the archive
  std::vector<DeflateMember*> order_;          // placed_ in order, from Start
  size_t next_ = 0;                            // the next member of order_ a thread takes
  size_t head_ = 0;                            // the first one libzip has not finished with
  uint64_t memory_ = kDeflateAheadMemory;
  uint64_t used_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace qlmr
