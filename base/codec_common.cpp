// What the two compressing codecs share: the word mask, which runs over
// every encoded byte on every read and so works eight bytes at a time, and
// their argument check for decoding.
#include <cstdint>
#include <cstring>

#include "base/codec_format.h"
#include "base/error.h"

namespace qlmr {

void XorWordMaskCopy(void* to, const void* from, size_t length, uint32_t mask) {
  uint8_t* out = static_cast<uint8_t*>(to);
  const uint8_t* in = static_cast<const uint8_t*>(from);
  // Little-endian byte order of the mask, whatever the host's order is.
  uint8_t pattern[8];
  for (int i = 0; i < 8; ++i) pattern[i] = static_cast<uint8_t>(mask >> (8 * (i % 4)));
  uint64_t wide = 0;
  memcpy(&wide, pattern, sizeof wide);
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word = 0;
    memcpy(&word, in + i, sizeof word);
    word ^= wide;
    memcpy(out + i, &word, sizeof word);
  }
  for (; i < length; ++i) out[i] = in[i] ^ pattern[i % 8];
}

void XorWordMask(void* data, size_t length, uint32_t mask) {
  XorWordMaskCopy(data, data, length, mask);
}

bool CheckWholeDecode(const uint8_t* buffer, uint32_t capacity, uint32_t length,
                      uint32_t position) {
  if (buffer != nullptr && length <= capacity && position == 0) return true;
  ReportError(ERR_INVALID, "");
  return false;
}

uint32_t SaturatingProduct(uint32_t n, uint32_t factor) {
  uint64_t product = uint64_t{n} * factor;
  return product > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(product);
}

}  // namespace qlmr
