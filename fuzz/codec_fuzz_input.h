// Splits a fuzz input into a decoder's arguments: a capacity above the
// encoded length, a position, and the encoded bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qlmr {
namespace fuzzing {

struct DecodeArguments {
  uint32_t extraCapacity = 0;  // capacity = length + this
  uint32_t position = 0;
  const uint8_t* encoded = nullptr;
  uint32_t length = 0;
};

// The first 4 bytes choose the extra capacity (below 64 KiB) and the
// position; the rest is the encoded data. False when the input is shorter.
inline bool SplitDecodeInput(const uint8_t* data, size_t size, DecodeArguments* out) {
  if (size < 4) return false;
  out->extraCapacity = uint32_t{data[0]} | uint32_t{data[1]} << 8;
  out->position = uint32_t{data[2]} | uint32_t{data[3]} << 8;
  out->encoded = data + 4;
  out->length = static_cast<uint32_t>(size - 4);
  return true;
}

}  // namespace fuzzing
}  // namespace qlmr
