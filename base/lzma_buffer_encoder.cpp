// Writes an LZMA-encoded buffer: the header, then liblzma's raw LZMA1 stream
// without end marker, optionally after the x86 branch converter.
#include <lzma.h>

#include <algorithm>

#include "base/codec_format.h"
#include "base/little_endian.h"
#include "base/lzma_buffer.h"

namespace qlmr {
namespace {

int ToLzmaResult(lzma_ret ret) {
  switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
      return LZMA_RESULT_OK;
    case LZMA_MEM_ERROR:
      return LZMA_RESULT_NO_MEMORY;
    case LZMA_BUF_ERROR:
      return LZMA_RESULT_OUTPUT_FULL;
    default:
      return LZMA_RESULT_ERROR;
  }
}

// The coder's settings for `length` bytes of input.
struct EncoderSettings {
  lzma_options_lzma options{};
  lzma_filter filters[3];

  EncoderSettings(uint32_t length, uint8_t filterFlag) {
    options.lc = kLzmaLiteralContextBits;
    options.lp = kLzmaLiteralPositionBits;
    options.pb = kLzmaPositionBits;
    // No match reaches further back than the input's start, so a window the
    // size of the input codes the same matches as the full one while sparing
    // the match finder's tables (about 11 bytes per window byte) for small
    // inputs. The header still names the full size for the decoder.
    options.dict_size = std::clamp<uint32_t>(length, LZMA_DICT_SIZE_MIN, kLzmaDictionarySize);
    options.mode = LZMA_MODE_NORMAL;
    options.nice_len = kLzmaNiceLength;
    options.mf = LZMA_MF_BT4;
    options.depth = 0;      // the library's default search depth
    options.ext_flags = 0;  // no end marker: the header carries the size
    int count = 0;
    if (filterFlag == kLzmaFilterX86) filters[count++] = {LZMA_FILTER_X86, nullptr};
    filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
    filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  }
};

// Output is handed out in pieces of this size, so that a cancellation is
// seen within one piece's worth of coding.
constexpr size_t kOutputPiece = 1u << 16;

}  // namespace

int EncodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t filterFlag, uint8_t* out,
                     uint32_t capacity, uint32_t* encodedSize, const std::atomic<bool>* cancel) {
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) return LZMA_RESULT_ERROR;
  if (capacity < kLzmaHeaderSize) return LZMA_RESULT_OUTPUT_FULL;

  EncoderSettings settings(length, filterFlag);
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_encoder(&stream, settings.filters);
  if (ret != LZMA_OK) return ToLzmaResult(ret);
  // The whole input with LZMA_FINISH from the first call, as a one-call
  // buffer encode makes it: the stream depends on the input alone, not on
  // how much output room each call has.
  stream.next_in = in;
  stream.avail_in = length;
  size_t written = kLzmaHeaderSize;
  for (;;) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
      ret = LZMA_PROG_ERROR;
      break;
    }
    stream.next_out = out + written;
    stream.avail_out = std::min<size_t>(capacity - written, kOutputPiece);
    size_t room = stream.avail_out;
    ret = lzma_code(&stream, LZMA_FINISH);
    written += room - stream.avail_out;
    if (ret != LZMA_OK) break;
    if (room == 0) {
      ret = LZMA_BUF_ERROR;  // not finished, and no room left for the rest
      break;
    }
  }
  lzma_end(&stream);
  if (ret != LZMA_STREAM_END) return ToLzmaResult(ret);

  out[kLzmaFilterFlagOffset] = filterFlag;
  out[kLzmaPropertiesOffset] = kLzmaPropertiesByte;
  StoreLittleEndian(kLzmaDictionarySize, out + kLzmaDictionaryOffset, 4);
  StoreLittleEndian(length, out + kLzmaSizeOffset, 8);
  *encodedSize = static_cast<uint32_t>(written);
  return LZMA_RESULT_OK;
}

uint64_t LzmaEncoderMemory(uint32_t length, uint8_t filterFlag) {
  EncoderSettings settings(length, filterFlag);
  uint64_t usage = lzma_raw_encoder_memusage(settings.filters);
  return usage == UINT64_MAX ? 0 : usage;
}

}  // namespace qlmr
