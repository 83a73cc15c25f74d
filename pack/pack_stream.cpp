// Streams over stored files: whole-block buffers or reads on demand, lines,
// and the content CRC.
#include <cstring>
#include <memory>
#include <new>

#include "base/crc.h"
#include "base/error.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace {

// The piece size of line reads.
constexpr uint32_t kLinePiece = 1023;

}  // namespace

bool PackStreamImpl::Start(const Codec* codec, File* handle, uint32_t blockOffset,
                           uint32_t storedSize, uint32_t contentSize, bool loadWhole) {
  codec_ = codec;
  handle_ = handle;
  blockOffset_ = blockOffset;
  storedSize_ = storedSize;
  size_ = contentSize;
  position_ = 0;
  crc_ = 0xFFFFFFFFu;
  bool on_demand = (codec == nullptr || codec->CanDecodeSlice()) && !loadWhole;
  if (on_demand) {
    // Reads go straight to the block, so the content must not reach past it.
    if (contentSize > storedSize) {
      ReportError(ERR_BAD_DATA, "contentSize=%d, storedSize=%d", static_cast<int>(contentSize),
                  static_cast<int>(storedSize));
      return false;
    }
    return true;
  }
  uint64_t capacity = uint64_t{storedSize > contentSize ? storedSize : contentSize} + 4;
  // No writer stores content past the archive's own size limit, nor more
  // than the stored bytes can decode to: a larger claim is damage, and would
  // cost its size in memory and time before decoding.
  if (contentSize > kPackMaxFileEnd || capacity > UINT32_MAX ||
      (codec != nullptr && contentSize > codec->MaxDecodedSize(storedSize))) {
    ReportError(ERR_BAD_DATA, "contentSize=%d, storedSize=%d", static_cast<int>(contentSize),
                static_cast<int>(storedSize));
    return false;
  }
  buffer_.reset(new (std::nothrow) uint8_t[capacity]);
  if (buffer_ == nullptr) {
    ReportError(ERR_NO_MEMORY, "size=%d", static_cast<int>(capacity));
    return false;
  }
  // Content the stored bytes do not cover reads as zeros, not as old heap.
  memset(buffer_.get() + storedSize, 0, capacity - storedSize);
  if (!handle_->Seek(blockOffset_)) {
    ReportError(ERR_SEEK, "pos=%d", static_cast<int>(blockOffset_));
    buffer_.reset();
    return false;
  }
  uint32_t got = 0;
  bool ok = handle_->Read(buffer_.get(), storedSize, &got);
  if (!ok || got != storedSize) {
    ReportError(ERR_READ, "WinErr=%d", ok ? 0 : LastSystemError());
    buffer_.reset();
    return false;
  }
  if (codec_ == nullptr) return true;
  return codec_->Decode(buffer_.get(), static_cast<uint32_t>(capacity), storedSize, 0);
}

uint32_t PackStreamImpl::Read(void* destination, uint32_t n) {
  if (destination == nullptr || n == 0 || position_ >= size_) return 0;
  if (n > size_ - position_) n = size_ - position_;
  if (buffer_ != nullptr) {
    memcpy(destination, buffer_.get() + position_, n);
    position_ += n;
    return n;
  }
  if (handle_ == nullptr) return 0;
  uint32_t where = blockOffset_ + position_;
  if (!handle_->Seek(where)) {
    ReportError(ERR_SEEK, "pos=%d", static_cast<int>(where));
    return 0;
  }
  uint32_t got = 0;
  bool ok = handle_->Read(destination, n, &got);
  if (!ok || got != n) {
    ReportError(ERR_READ, "WinErr=%d", ok ? 0 : LastSystemError());
    return 0;
  }
  if (codec_ != nullptr && !codec_->Decode(static_cast<uint8_t*>(destination), n, n, position_)) {
    return 0;
  }
  position_ += n;
  return n;
}

uint32_t PackStreamImpl::ReadLine(char* destination, uint32_t length) {
  if (owner_ == nullptr || length == 0 || position_ >= size_) return 0;
  char piece[kLinePiece];
  uint32_t taken = 0;
  char last = '\0';
  bool found_lf = false;
  while (taken < length) {
    uint32_t want = length - taken < kLinePiece ? length - taken : kLinePiece;
    uint32_t piece_start = position_;
    uint32_t got = Read(piece, want);
    if (got == 0) break;
    const void* lf = memchr(piece, '\n', got);
    uint32_t keep =
        lf == nullptr ? got : static_cast<uint32_t>(static_cast<const char*>(lf) - piece);
    if (destination != nullptr) memcpy(destination + taken, piece, keep);
    if (keep > 0) last = piece[keep - 1];
    taken += keep;
    if (lf != nullptr) {
      position_ = piece_start + keep + 1;
      found_lf = true;
      break;
    }
  }
  if (found_lf && taken > 0 && last == '\r') --taken;
  if (destination != nullptr) destination[taken] = '\0';
  return taken;
}

uint32_t PackStreamImpl::SkipLine() {
  if (owner_ == nullptr || position_ >= size_) return 0;
  char piece[kLinePiece];
  uint32_t skipped = 0;
  for (;;) {
    uint32_t piece_start = position_;
    uint32_t got = Read(piece, kLinePiece);
    if (got == 0) return skipped;
    const void* lf = memchr(piece, '\n', got);
    if (lf != nullptr) {
      uint32_t through = static_cast<uint32_t>(static_cast<const char*>(lf) - piece) + 1;
      position_ = piece_start + through;
      return skipped + through;
    }
    skipped += got;
  }
}

uint32_t PackStreamImpl::GetCrc() {
  if (crc_ != 0xFFFFFFFFu) return crc_;
  if (size_ == 0) {
    crc_ = 0;
    return 0;
  }
  // Pieces give the same CRC as one whole-content read, in bounded memory.
  constexpr uint32_t kPiece = 1u << 16;
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPiece]);
  if (piece == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kPiece);
    return 0xFFFFFFFFu;
  }
  uint32_t saved = position_;
  position_ = 0;
  uint32_t state = kCrcInit;
  bool complete = true;
  while (position_ < size_) {
    uint32_t got = Read(piece.get(), kPiece);
    if (got == 0) {
      complete = false;  // the read reported why
      break;
    }
    state = CrcUpdate(state, piece.get(), got);
  }
  position_ = saved;
  if (!complete) return 0xFFFFFFFFu;
  crc_ = CrcFinish(state);
  return crc_;
}

void PackStreamImpl::Release() {
  if (owner_ == nullptr) return;
  PackArchiveImpl* owner = owner_;
  owner_ = nullptr;
  handle_ = nullptr;
  blockOffset_ = 0;
  position_ = 0;
  size_ = 0;
  owner->RemoveStream(this);  // destroys this stream
}

}  // namespace qlmr
