// Little-endian integer fields, as every stored format of the system keeps
// them (pack records, CRC trailers, the carrier block, packed patch files,
// LZMA headers). Byte by byte, so any alignment and any host order serve.
#pragma once

#include <cstdint>

namespace qlmr {

// The low `bytes` bytes of `value` at `out`, least significant first.
inline void StoreLittleEndian(uint64_t value, uint8_t* out, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The number held in `bytes` bytes at `in`, least significant first.
inline uint64_t LoadLittleEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

inline void StoreLittleEndian32(uint32_t value, uint8_t* out) { StoreLittleEndian(value, out, 4); }

inline uint32_t LoadLittleEndian32(const uint8_t* in) {
  return static_cast<uint32_t>(LoadLittleEndian(in, 4));
}

}  // namespace qlmr
