// Compression type 1: the positional mask as a codec.
#include "base/codec.h"
#include "base/error.h"
#include "base/mask.h"

namespace qlmr {

uint8_t MaskCodec::TypeId() const { return COMPRESS_MASK; }

bool MaskCodec::CanDecodeSlice() const { return true; }

uint32_t MaskCodec::MaxEncodedSize(uint32_t n) const { return n; }

uint32_t MaskCodec::MaxDecodedSize(uint32_t n) const { return n; }

bool MaskCodec::Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const {
  if (buffer == nullptr || length == nullptr || capacity < *length) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  MaskBuffer(buffer, *length, 0);
  return true;
}

bool MaskCodec::Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
                       uint32_t position) const {
  if (buffer == nullptr || capacity < length) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  MaskBuffer(buffer, length, position);
  return true;
}

}  // namespace qlmr
