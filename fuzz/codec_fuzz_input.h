// Splits a fuzz input into a decoder's arguments: a capacity above the
// encoded length, a position, and the encoded bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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

// A buffer of exactly the capacity the arguments choose (at least one byte,
// so that a write past it is caught) with the encoded bytes at its front.
// `*capacity` receives the capacity.
inline std::vector<uint8_t> LoadDecodeBuffer(const DecodeArguments& args, uint32_t* capacity) {
  *capacity = args.length + args.extraCapacity;
  std::vector<uint8_t> buffer(*capacity == 0 ? 1 : *capacity);
  if (args.length > 0) memcpy(buffer.data(), args.encoded, args.length);
  return buffer;
}

}  // namespace fuzzing
}  // namespace qlmr
