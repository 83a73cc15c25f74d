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

}  // namespace

int EncodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t filterFlag, uint8_t* out,
                     uint32_t capacity, uint32_t* encodedSize) {
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) return LZMA_RESULT_ERROR;
  if (capacity < kLzmaHeaderSize) return LZMA_RESULT_OUTPUT_FULL;

  lzma_options_lzma options{};
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

  lzma_filter filters[3];
  int count = 0;
  if (filterFlag == kLzmaFilterX86) filters[count++] = {LZMA_FILTER_X86, nullptr};
  filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};

  size_t written = kLzmaHeaderSize;
  lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, in, length, out, &written, capacity);
  if (ret != LZMA_OK) return ToLzmaResult(ret);

  out[kLzmaFilterFlagOffset] = filterFlag;
  out[kLzmaPropertiesOffset] = kLzmaPropertiesByte;
  StoreLittleEndian(kLzmaDictionarySize, out + kLzmaDictionaryOffset, 4);
  StoreLittleEndian(length, out + kLzmaSizeOffset, 8);
  *encodedSize = static_cast<uint32_t>(written);
  return LZMA_RESULT_OK;
}

}  // namespace qlmr
