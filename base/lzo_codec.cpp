// Compression type 2: LZO1X from liblzo2, masked with LZO_WORD_MASK.
#include <lzo/lzo1x.h>

#include <cstring>
#include <memory>
#include <new>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/error.h"

namespace qlmr {
namespace {

static_assert(kLzoWorkMemorySize == LZO1X_999_MEM_COMPRESS, "LZO1X-999 work memory");

// The exact bound in 64 bits; the 32-bit one saturates instead of wrapping.
uint64_t LzoBound(uint32_t n) {
  uint64_t bound = uint64_t{n} + n / kLzoBoundDivisor + kLzoBoundExtra;
  return (bound + 3) & ~uint64_t{3};
}

}  // namespace

LzoCodec::LzoCodec() { lzo_init(); }

uint8_t LzoCodec::TypeId() const { return COMPRESS_LZO; }

bool LzoCodec::CanDecodeSlice() const { return false; }

uint32_t LzoCodec::MaxDecodedSize(uint32_t n) const {
  return SaturatingProduct(n, kLzoMaxExpansion);
}

uint32_t LzoCodec::MaxEncodedSize(uint32_t n) const {
  uint64_t bound = LzoBound(n);
  return bound > kLargestEncodedBound ? kLargestEncodedBound : static_cast<uint32_t>(bound);
}

bool LzoCodec::Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const {
  if (buffer == nullptr || length == nullptr) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  uint32_t bound = MaxEncodedSize(*length);
  // The compressor writes without a limit, so the exact worst case must fit.
  if (capacity < bound || LzoBound(*length) > kLargestEncodedBound) {
    ReportError(ERR_NO_MEMORY, "LZO compress=%d", bound);
    return false;
  }
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[bound]);
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kLzoWorkMemorySize]);
  if (!scratch || !work) {
    ReportError(ERR_NO_MEMORY, "LZO compress=%d", bound);
    return false;
  }
  lzo_uint encoded = bound;
  int result = lzo1x_999_compress(buffer, *length, scratch.get(), &encoded, work.get());
  if (result != LZO_E_OK) {
    ReportError(ERR_CODEC, "lzo_err=%d", result);
    return false;
  }
  // The optimiser decodes the stream while it rewrites it; the caller's
  // buffer, whose data is no longer needed, is its output area.
  lzo_uint decoded = *length;
  result = lzo1x_optimize(scratch.get(), encoded, buffer, &decoded, nullptr);
  if (result != LZO_E_OK) {
    ReportError(ERR_CODEC, "lzo_err=%d", result);
    return false;
  }
  XorWordMaskCopy(buffer, scratch.get(), encoded, LZO_WORD_MASK);
  *length = static_cast<uint32_t>(encoded);
  return true;
}

bool LzoCodec::Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
                      uint32_t position) const {
  if (!CheckWholeDecode(buffer, capacity, length, position)) return false;
  if (length == 0) return true;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[length]);
  if (!scratch) {
    ReportError(ERR_NO_MEMORY, "Size=%d", length);
    return false;
  }
  XorWordMaskCopy(scratch.get(), buffer, length, LZO_WORD_MASK);
  // The checking decompressor: nothing is written past `capacity`, and
  // malformed input fails instead of reading outside the scratch.
  lzo_uint decoded = capacity;
  int result = lzo1x_decompress_safe(scratch.get(), length, buffer, &decoded, nullptr);
  if (result != LZO_E_OK) {
    ReportError(ERR_CODEC, "lzo_err=%d", result);
    return false;
  }
  return true;
}

}  // namespace qlmr
