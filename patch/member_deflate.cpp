#include "patch/member_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include "base/platform.h"
#include "patch/zip_checks.h"

namespace qlmr {
namespace {

// libzip's own deflate settings: its best compression with the largest
// memory level, a raw stream.
constexpr int kLevel = Z_BEST_COMPRESSION;
constexpr int kMemoryLevel = MAX_MEM_LEVEL;
// What libzip's own compression records for those settings: general purpose
// bits 1-2 as "maximum compression", and version 2.0 to extract.
constexpr zip_uint16_t kLevelBits = 1 << 1;
constexpr zip_uint16_t kLevelBitsMask = 3 << 1;
constexpr zip_uint8_t kVersionNeeded = 20;
// Input handed to zlib at a time, between looks at the cancel flag. zlib's
// output does not depend on how its input is cut.
constexpr uint64_t kDeflatePiece = 1u << 20;
// How often a thread that waits looks at the cancel flag, which nobody
// signals.
constexpr std::chrono::milliseconds kCancelPoll(20);

}  // namespace

struct MemberDeflate::MemberError {
  int zip = ZIP_ER_OK;
  int system = 0;
  bool Set(int zipError, int systemError) {
    zip = zipError;
    system = systemError;
    return false;
  }
};

MemberDeflate::~MemberDeflate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (DeflateMember& member : members_) zip_error_fini(&member.error);
}

zip_source_t* MemberDeflate::AddBuffer(zip_t* zip, const uint8_t* data, uint64_t size,
                                       DeflateMember** member) {
  members_.emplace_back();
  *member = &members_.back();
  (*member)->data = data;
  (*member)->size = size;
  zip_file_attributes_init(&(*member)->attributes);
  return Source(zip, *member);
}

zip_source_t* MemberDeflate::AddFile(zip_t* zip, const std::string& path, zip_source_t* file,
                                     const zip_stat_t& stat, DeflateMember** member) {
  members_.emplace_back();
  *member = &members_.back();
  (*member)->path = path;
  (*member)->size = stat.size;
  (*member)->mtime = stat.mtime;
  (*member)->hasMtime = (stat.valid & ZIP_STAT_MTIME) != 0;
  // The file's mode and system, as libzip records them for a file it reads.
  zip_file_attributes_init(&(*member)->attributes);
  zip_source_get_file_attributes(file, &(*member)->attributes);
  zip_source_free(file);
  return Source(zip, *member);
}

zip_source_t* MemberDeflate::Source(zip_t* zip, DeflateMember* member) {
  member->owner = this;
  zip_error_init(&member->error);
  zip_source_t* source = zip_source_function(zip, &MemberDeflate::Callback, member);
  if (source == nullptr) member->released = true;  // never to be read
  return source;
}

void MemberDeflate::SetError(DeflateMember* member, const MemberError& error) {
  // The first failure stays: libzip may be reading it on its thread.
  if (zip_error_code_zip(&member->error) == ZIP_ER_OK) {
    zip_error_set(&member->error, error.zip, error.system);
  }
}

void MemberDeflate::Place(DeflateMember* member, uint64_t index) {
  if (member != nullptr) {
    placed_[index] = member;
  } else {
    placed_.erase(index);
  }
}

void MemberDeflate::Start(uint32_t threads, uint64_t memory, const std::atomic<bool>* cancel) {
  memory_ = memory;
  cancel_ = cancel;
  started_ = true;
  for (const auto& placed : placed_) {
    if (!placed.second->released) order_.push_back(placed.second);
  }
  if (threads == 0) threads = UsableProcessorCount();
  threads = static_cast<uint32_t>(std::min<size_t>(std::max(threads, 1u), order_.size()));
  for (uint32_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back(&MemberDeflate::Work, this);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads_.empty() && !order_.empty()) {
    // Without a thread every member fails, and the archive with it.
    std::lock_guard<std::mutex> lock(mutex_);
    for (DeflateMember* member : order_) {
      member->state = DeflateMember::State::kFailed;
      zip_error_set(&member->error, ZIP_ER_MEMORY, 0);
    }
  }
}

void MemberDeflate::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    DeflateMember* member = nullptr;
    uint64_t memory = 0;
    changed_.wait(lock, [&] {
      // A member libzip is already done with (freed unread) is passed over.
      while (next_ < order_.size() && order_[next_]->released) ++next_;
      if (stop_ || next_ == order_.size()) return true;
      member = order_[next_];
      uLong bound = deflateBound(nullptr, static_cast<uLong>(member->size));
      memory = (member->path.empty() ? 0 : member->size) + bound;
      return next_ <= head_ || used_ + memory <= memory_;
    });
    if (stop_ || next_ == order_.size()) return;
    ++next_;
    member->state = DeflateMember::State::kWorking;
    member->charged = memory;
    used_ += memory;
    lock.unlock();
    MemberError error;
    bool ok = Deflate(member, &error);
    lock.lock();
    if (!ok) SetError(member, error);
    // The read data is gone; the deflated bytes stay charged until libzip
    // has copied them.
    used_ -= member->charged;
    member->charged = ok ? deflateBound(nullptr, static_cast<uLong>(member->size)) : 0;
    if (member->released) {
      member->deflated.reset();  // freed while it was deflated
      member->charged = 0;
    }
    used_ += member->charged;
    member->state = ok ? DeflateMember::State::kDone : DeflateMember::State::kFailed;
    changed_.notify_all();
  }
}

bool MemberDeflate::Deflate(DeflateMember* member, MemberError* error) {
  if (Cancelled()) return error->Set(ZIP_ER_CANCELLED, 0);
  std::unique_ptr<uint8_t[]> read;
  const uint8_t* input = member->data;
  uint64_t size = member->size;
  if (!member->path.empty()) {
    // Read as it is now, as libzip reads a file it compresses itself.
    File file;
    if (!file.Open(member->path.c_str(), FileMode::kRead) || !file.Size(&size)) {
      return error->Set(ZIP_ER_OPEN, LastSystemError());
    }
    if (size > kDeflateAheadLimit + (kDeflateAheadLimit >> 2)) {
      return error->Set(ZIP_ER_CHANGED, 0);  // grew a lot since it was added
    }
    // Not zeroed first: it is read over whole.
    read.reset(new (std::nothrow) uint8_t[std::max<uint64_t>(size, 1)]);
    if (!read) {
      return error->Set(ZIP_ER_MEMORY, 0);
    }
    for (uint64_t done = 0; done < size;) {
      uint32_t got = 0;
      if (!file.Read(read.get() + done, static_cast<uint32_t>(size - done), &got) || got == 0) {
        return error->Set(ZIP_ER_READ, LastSystemError());
      }
      done += got;
    }
    input = read.get();
  }
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, -MAX_WBITS, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return error->Set(ZIP_ER_ZLIB, 0);
  }
  uLong bound = deflateBound(&stream, static_cast<uLong>(size));
  std::unique_ptr<uint8_t[]> deflated(new (std::nothrow) uint8_t[bound]);
  if (!deflated) {
    deflateEnd(&stream);
    return error->Set(ZIP_ER_MEMORY, 0);
  }
  stream.next_out = deflated.get();
  stream.avail_out = static_cast<uInt>(bound);
  int result = Z_OK;
  for (uint64_t done = 0; result == Z_OK;) {
    if (Cancelled()) {
      deflateEnd(&stream);
      return error->Set(ZIP_ER_CANCELLED, 0);
    }
    uint64_t piece = std::min(size - done, kDeflatePiece);
    stream.next_in = const_cast<Bytef*>(input + done);
    stream.avail_in = static_cast<uInt>(piece);
    done += piece;
    result = deflate(&stream, done == size ? Z_FINISH : Z_NO_FLUSH);
  }
  uint64_t deflatedSize = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) {
    return error->Set(ZIP_ER_ZLIB, result);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  member->deflated = std::move(deflated);
  member->deflatedSize = deflatedSize;
  member->size = size;
  member->crc = ZipCrcUpdate(0, input, static_cast<size_t>(size));
  return true;
}

bool MemberDeflate::Wait(DeflateMember* member) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_) {
    SetError(member, {ZIP_ER_INTERNAL, 0});  // read before the archive is closed
    return false;
  }
  while (member->state != DeflateMember::State::kDone &&
         member->state != DeflateMember::State::kFailed) {
    if (Cancelled()) {
      SetError(member, {ZIP_ER_CANCELLED, 0});
      return false;
    }
    changed_.wait_for(lock, kCancelPoll);
  }
  return member->state == DeflateMember::State::kDone;
}

void MemberDeflate::Release(DeflateMember* member) {
  std::lock_guard<std::mutex> lock(mutex_);
  member->released = true;
  if (member->state != DeflateMember::State::kWorking) {
    member->deflated.reset();
    used_ -= member->charged;
    member->charged = 0;
  }
  while (head_ < order_.size() && order_[head_]->released) ++head_;
  changed_.notify_all();
}

zip_int64_t MemberDeflate::Callback(void* opaque, void* data, zip_uint64_t length,
                                    zip_source_cmd_t cmd) {
  DeflateMember* member = static_cast<DeflateMember*>(opaque);
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
