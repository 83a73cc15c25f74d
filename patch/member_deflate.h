// Deflating the members of a zip on every processor before the zip writer
// copies them. Each member is deflated whole, with the settings of libzip's
// own compression (zlib at its best compression, 9, raw deflate), so the
// archive holds the same bytes as when libzip compresses it alone; only
// every member goes to a thread of its own, in the order libzip takes them
// and within a memory budget (the member libzip waits for always goes
// ahead). libzip reads each member's deflated bytes, size and CRC-32 through
// a source of this unit.
//
// Ownership: the members' buffers belong to the caller and must live until
// the archive is closed; files are read when their member is deflated.
// Threads: Add and Source on the writer's thread before Start; the sources'
// callbacks run on the thread that closes the archive.
// Internal to the patch subsystem.
#pragma once

#include <zip.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qlmr {

// Members above this size are left to libzip, which deflates them as it
// copies them; the threads meanwhile deflate the members after them.
constexpr uint64_t kDeflateAheadLimit = 32u << 20;
// Memory the members deflated ahead of the one libzip copies may take: their
// data as read and as deflated.
constexpr uint64_t kDeflateAheadMemory = 96u << 20;

class MemberDeflate {
 public:
  MemberDeflate() = default;
  // Stops the threads; members not yet deflated are dropped.
  ~MemberDeflate();
  MemberDeflate(const MemberDeflate&) = delete;
  MemberDeflate& operator=(const MemberDeflate&) = delete;

  // A member of `size` bytes at `data`, or of the file `path` (a system
  // name) that libzip's own source `file` describes (size, time and
  // attributes; it is freed); its source for `zip`, which owns it once given
  // to zip_file_add. Null, with the error in `zip`, when libzip cannot make
  // a source.
  zip_source_t* AddBuffer(zip_t* zip, const uint8_t* data, uint64_t size);
  zip_source_t* AddFile(zip_t* zip, const std::string& path, zip_source_t* file,
                        const zip_stat_t& stat);
  // Starts `threads` threads (at least one) that deflate the members in
  // order. Call before closing the archive.
  void Start(uint32_t threads);

 private:
  enum class State { kWaiting, kWorking, kDone, kFailed };
  struct Member {
    MemberDeflate* owner = nullptr;
    const uint8_t* data = nullptr;  // or the file below
    std::string path;
    uint64_t size = 0;
    time_t mtime = 0;
    bool hasMtime = false;
    zip_file_attributes_t attributes;  // the file's, for a file member
    State state = State::kWaiting;
    std::unique_ptr<uint8_t[]> deflated;
    uint64_t deflatedSize = 0;
    uint32_t crc = 0;
    uint64_t charged = 0;
    uint64_t readPosition = 0;
    zip_error_t error;
  };

  static zip_int64_t Callback(void* member, void* data, zip_uint64_t length, zip_source_cmd_t cmd);
  zip_source_t* Source(zip_t* zip, Member* member);
  void Work();
  // Deflates one member outside the lock; false with `member->error` set.
  static bool Deflate(Member* member);
  // Waits until `member` is deflated or failed. True when deflated.
  bool Wait(Member* member);
  void Release(Member* member);

  std::deque<Member> members_;  // stable addresses for the callbacks
  size_t next_ = 0;             // the next member a thread takes
  size_t head_ = 0;             // the first member libzip has not finished with
  uint64_t used_ = 0;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace qlmr
