#include "patch/member_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "base/platform.h"
#include "patch/zip_checks.h"

namespace qlmr {
namespace {

// libzip's own deflate settings: its best compression with the largest
// memory level, a raw stream. The same input then gives the same bytes.
constexpr int kLevel = Z_BEST_COMPRESSION;
constexpr int kMemoryLevel = MAX_MEM_LEVEL;
// What libzip's own compression records for those settings: general purpose
// bits 1-2 as "maximum compression", and version 2.0 to extract.
constexpr zip_uint16_t kLevelBits = 1 << 1;
constexpr zip_uint16_t kLevelBitsMask = 3 << 1;
constexpr zip_uint8_t kVersionNeeded = 20;

}  // namespace

MemberDeflate::~MemberDeflate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (Member& member : members_) zip_error_fini(&member.error);
}

zip_source_t* MemberDeflate::AddBuffer(zip_t* zip, const uint8_t* data, uint64_t size) {
  members_.emplace_back();
  Member& member = members_.back();
  member.data = data;
  member.size = size;
  zip_file_attributes_init(&member.attributes);
  return Source(zip, &member);
}

zip_source_t* MemberDeflate::AddFile(zip_t* zip, const std::string& path, zip_source_t* file,
                                     const zip_stat_t& stat) {
  members_.emplace_back();
  Member& member = members_.back();
  member.path = path;
  member.size = stat.size;
  member.mtime = stat.mtime;
  member.hasMtime = (stat.valid & ZIP_STAT_MTIME) != 0;
  // The file's mode and system, as libzip records them for a file it reads.
  zip_file_attributes_init(&member.attributes);
  zip_source_get_file_attributes(file, &member.attributes);
  zip_source_free(file);
  return Source(zip, &member);
}

zip_source_t* MemberDeflate::Source(zip_t* zip, Member* member) {
  member->owner = this;
  zip_error_init(&member->error);
  zip_source_t* source = zip_source_function(zip, &MemberDeflate::Callback, member);
  // A member libzip will never read must not hold up the ones after it.
  if (source == nullptr) member->state = State::kFailed;
  return source;
}

void MemberDeflate::Start(uint32_t threads) {
  threads_.reserve(std::max(threads, 1u));
  for (uint32_t i = 0; i < std::max(threads, 1u); ++i) {
    try {
      threads_.emplace_back(&MemberDeflate::Work, this);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads_.empty()) {
    // Without a thread every member fails, and the archive with it.
    std::lock_guard<std::mutex> lock(mutex_);
    for (Member& member : members_) {
      if (member.state == State::kWaiting) {
        member.state = State::kFailed;
        zip_error_set(&member.error, ZIP_ER_MEMORY, 0);
      }
    }
  }
}

void MemberDeflate::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Member* member = nullptr;
    uint64_t memory = 0;
    changed_.wait(lock, [&] {
      // Members that will never be read (no source, replaced) are passed over.
      while (next_ < members_.size() && members_[next_].state != State::kWaiting) ++next_;
      if (stop_ || next_ == members_.size()) return true;
      member = &members_[next_];
      memory = member->size + deflateBound(nullptr, static_cast<uLong>(member->size));
      return next_ <= head_ || used_ + memory <= kDeflateAheadMemory;
    });
    if (stop_ || next_ == members_.size()) return;
    ++next_;
    member->state = State::kWorking;
    member->charged = memory;
    used_ += memory;
    lock.unlock();
    bool ok = Deflate(member);
    lock.lock();
    used_ -= member->charged;
    member->charged = ok ? member->deflatedSize : 0;
    used_ += member->charged;
    member->state = ok ? State::kDone : State::kFailed;
    changed_.notify_all();
  }
}

bool MemberDeflate::Deflate(Member* member) {
  std::unique_ptr<uint8_t[]> read;
  const uint8_t* input = member->data;
  uint64_t size = member->size;
  if (!member->path.empty()) {
    File file;
    uint64_t now = 0;
    if (!file.Open(member->path.c_str(), FileMode::kRead) || !file.Size(&now)) {
      zip_error_set(&member->error, ZIP_ER_OPEN, LastSystemError());
      return false;
    }
    // Read as it is now, as libzip reads a file it compresses itself. Not
    // zeroed first: it is read over whole.
    read.reset(new (std::nothrow) uint8_t[std::max<uint64_t>(now, 1)]);
    if (!read) {
      zip_error_set(&member->error, ZIP_ER_MEMORY, 0);
      return false;
    }
    for (uint64_t done = 0; done < now;) {
      uint32_t got = 0;
      uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(now - done, 1u << 30));
      if (!file.Read(read.get() + done, want, &got) || got == 0) {
        zip_error_set(&member->error, ZIP_ER_READ, LastSystemError());
        return false;
      }
      done += got;
    }
    input = read.get();
    size = now;
  }
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, -MAX_WBITS, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    zip_error_set(&member->error, ZIP_ER_ZLIB, 0);
    return false;
  }
  uLong bound = deflateBound(&stream, static_cast<uLong>(size));
  member->deflated.reset(new (std::nothrow) uint8_t[bound]);
  if (!member->deflated) {
    deflateEnd(&stream);
    zip_error_set(&member->error, ZIP_ER_MEMORY, 0);
    return false;
  }
  stream.next_in = const_cast<Bytef*>(input);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = member->deflated.get();
  stream.avail_out = static_cast<uInt>(bound);
  int result = deflate(&stream, Z_FINISH);
  member->deflatedSize = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) {
    member->deflated.reset();
    zip_error_set(&member->error, ZIP_ER_ZLIB, result);
    return false;
  }
  member->size = size;
  member->crc = ZipCrcUpdate(0, input, static_cast<size_t>(size));
  return true;
}

bool MemberDeflate::Wait(Member* member) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock,
                [&] { return member->state == State::kDone || member->state == State::kFailed; });
  return member->state == State::kDone;
}

void MemberDeflate::Release(Member* member) {
  std::lock_guard<std::mutex> lock(mutex_);
  member->deflated.reset();
  used_ -= member->charged;
  member->charged = 0;
  if (member->state == State::kWaiting) member->state = State::kFailed;  // never to be read
  while (head_ < members_.size() && members_[head_].deflated == nullptr &&
         (members_[head_].state == State::kDone || members_[head_].state == State::kFailed)) {
    ++head_;
  }
  changed_.notify_all();
}

zip_int64_t MemberDeflate::Callback(void* opaque, void* data, zip_uint64_t length,
                                    zip_source_cmd_t cmd) {
  Member* member = static_cast<Member*>(opaque);
  MemberDeflate* owner = member->owner;
  switch (cmd) {
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(
          ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
          ZIP_SOURCE_FREE, ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    case ZIP_SOURCE_STAT: {
      if (!owner->Wait(member)) return -1;
      zip_stat_t* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
      stat->size = member->size;
      stat->comp_size = member->deflatedSize;
      stat->comp_method = ZIP_CM_DEFLATE;
      stat->crc = member->crc;
      if (member->hasMtime) {
        stat->valid |= ZIP_STAT_MTIME;
        stat->mtime = member->mtime;
      }
      return sizeof *stat;
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
      if (length < sizeof(zip_file_attributes_t)) {
        zip_error_set(&member->error, ZIP_ER_INVAL, 0);
        return -1;
      }
      auto* attributes = static_cast<zip_file_attributes_t*>(data);
      *attributes = member->attributes;
      attributes->valid |=
          ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS | ZIP_FILE_ATTRIBUTES_VERSION_NEEDED;
      attributes->general_purpose_bit_flags = kLevelBits;
      attributes->general_purpose_bit_mask = kLevelBitsMask;
      attributes->version_needed = kVersionNeeded;
      return sizeof *attributes;
    }
    case ZIP_SOURCE_OPEN:
      if (!owner->Wait(member)) return -1;
      if (member->deflated == nullptr) {
        zip_error_set(&member->error, ZIP_ER_INTERNAL, 0);  // read a second time
        return -1;
      }
      member->readPosition = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      uint64_t n = std::min<uint64_t>(length, member->deflatedSize - member->readPosition);
      memcpy(data, member->deflated.get() + member->readPosition, static_cast<size_t>(n));
      member->readPosition += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
      // Copied, or never to be: its memory goes to the members after it.
      owner->Release(member);
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&member->error, data, length);
    default:
      zip_error_set(&member->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace qlmr
