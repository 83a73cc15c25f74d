// Compression type 3: LZMA-encoded buffers (lzma_buffer.h) masked with
// LZMA_WORD_MASK.
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/error.h"
#include "base/lzma_buffer.h"

namespace qlmr {
namespace {

// One encode into its own scratch buffer of `capacity` bytes.
struct FilterTry {
  uint8_t filterFlag = kLzmaFilterPlain;
  std::unique_ptr<uint8_t[]> output;
  uint32_t size = 0;
  int result = LZMA_RESULT_NO_MEMORY;

  void Run(const uint8_t* in, uint32_t length, uint32_t capacity) {
    output.reset(new (std::nothrow) uint8_t[capacity]);
    if (!output) return;
    result = EncodeLzmaBuffer(in, length, filterFlag, output.get(), capacity, &size);
  }
};

}  // namespace

uint8_t LzmaCodec::TypeId() const { return COMPRESS_LZMA; }

bool LzmaCodec::CanDecodeSlice() const { return false; }

uint32_t LzmaCodec::MaxDecodedSize(uint32_t n) const {
  return SaturatingProduct(n, kLzmaMaxExpansion);
}

uint32_t LzmaCodec::MaxEncodedSize(uint32_t n) const {
  // The factor is the single-precision constant, the product is taken in
  // double precision: in float, 150 * 1.02f rounds up to 153.
  double product = static_cast<double>(n) * static_cast<double>(kLzmaBoundFactor);
  if (product >= kLargestEncodedBound) return kLargestEncodedBound;
  uint32_t truncated = static_cast<uint32_t>(product);
  return (truncated + 3) & ~3u;
}

bool LzmaCodec::Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const {
  if (buffer == nullptr || length == nullptr) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  uint32_t bound = MaxEncodedSize(*length);
  if (capacity < bound) {
    ReportError(ERR_NO_MEMORY, "LZMA compress=%d", bound);
    return false;
  }
  // The codec keeps no state, so the two tries run at once; the filtered one
  // goes to a second thread, or runs after the plain one if none can start.
  FilterTry plain;
  FilterTry filtered;
  filtered.filterFlag = kLzmaFilterX86;
  std::thread helper;
  try {
    helper = std::thread([&] { filtered.Run(buffer, *length, bound); });
  } catch (const std::system_error&) {
  }
  plain.Run(buffer, *length, bound);
  if (helper.joinable()) {
    helper.join();
  } else {
    filtered.Run(buffer, *length, bound);
  }
  if (!plain.output && !filtered.output) {
    ReportError(ERR_NO_MEMORY, "LZMA compress=%d", bound);
    return false;
  }
  // The smaller form wins, the plain one on a tie; a try that failed
  // (typically because its form did not fit the bound) drops out.
  const FilterTry* best = nullptr;
  if (plain.result == LZMA_RESULT_OK) best = &plain;
  if (filtered.result == LZMA_RESULT_OK &&
      (best == nullptr || ChosenTry(best->size, filtered.size) == 1)) {
    best = &filtered;
  }
  if (best == nullptr) {
    ReportError(ERR_CODEC, "LZMA compress[%d]", plain.result);
    return false;
  }
  XorWordMaskCopy(buffer, best->output.get(), best->size, LZMA_WORD_MASK);
  *length = best->size;
  return true;
}

uint32_t LzmaCodec::ChosenTry(uint32_t plainSize, uint32_t filteredSize) {
  return filteredSize < plainSize ? 1 : 0;
}

bool LzmaCodec::EncodeTry(uint32_t index, const uint8_t* data, uint32_t length,
                          const std::atomic<bool>* cancel, std::vector<uint8_t>* encoded) const {
  uint32_t bound = MaxEncodedSize(length);
  try {
    encoded->resize(bound);
  } catch (const std::bad_alloc&) {
    ReportError(ERR_NO_MEMORY, "LZMA compress=%d", bound);
    return false;
  }
  uint8_t filterFlag = index == 0 ? kLzmaFilterPlain : kLzmaFilterX86;
  uint32_t size = 0;
  int result = EncodeLzmaBuffer(data, length, filterFlag, encoded->data(), bound, &size, cancel);
  if (result != LZMA_RESULT_OK) {
    ReportError(ERR_CODEC, "LZMA compress[%d]", result);
    return false;
  }
  encoded->resize(size);
  XorWordMask(encoded->data(), size, LZMA_WORD_MASK);
  return true;
}

uint64_t LzmaCodec::EncodeTryMemory(uint32_t length) const {
  return LzmaEncoderMemory(length, kLzmaFilterX86) + MaxEncodedSize(length);
}

bool LzmaCodec::Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
                       uint32_t position) const {
  if (!CheckWholeDecode(buffer, capacity, length, position)) return false;
  if (length == 0) return true;
  // Unmasked into a scratch copy: the decoder's output is the caller's buffer.
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[length]);
  if (!scratch) {
    ReportError(ERR_NO_MEMORY, "LZMA decompress=%d", length);
    return false;
  }
  XorWordMaskCopy(scratch.get(), buffer, length, LZMA_WORD_MASK);
  uint32_t size = 0;
  int result = ReadLzmaDecodedSize(scratch.get(), length, &size);
  if (result != LZMA_RESULT_OK) {
    ReportError(ERR_CODEC, "LZMA decompress[%d]", result);
    return false;
  }
  if (size > capacity) {
    ReportError(ERR_NO_MEMORY, "LZMA decompress=%d", size);
    return false;
  }
  result = DecodeLzmaBuffer(scratch.get(), length, buffer, capacity);
  if (result != LZMA_RESULT_OK) {
    ReportError(ERR_CODEC, "LZMA decompress[%d]", result);
    return false;
  }
  return true;
}

}  // namespace qlmr
