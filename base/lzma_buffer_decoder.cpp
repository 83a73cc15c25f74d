// Reads an LZMA-encoded buffer: checks the header, then runs liblzma's raw
// LZMA1 decoder (behind the x86 converter when the flag asks for it) for
// exactly the size the header gives.
#include <lzma.h>

#include <algorithm>

#include "base/codec_format.h"
#include "base/little_endian.h"
#include "base/lzma_buffer.h"

namespace qlmr {
namespace {}  // namespace

int ReadLzmaDecodedSize(const uint8_t* in, uint32_t length, uint32_t* size) {
  if (in == nullptr || length < kLzmaHeaderSize) return LZMA_RESULT_ERROR;
  uint64_t stored = LoadLittleEndian(in + kLzmaSizeOffset, 8);
  if (stored > UINT32_MAX) return LZMA_RESULT_ERROR;
  *size = static_cast<uint32_t>(stored);
  return LZMA_RESULT_OK;
}

int DecodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t capacity) {
  uint32_t size = 0;
  int result = ReadLzmaDecodedSize(in, length, &size);
  if (result != LZMA_RESULT_OK) return result;
  if (size > capacity) return LZMA_RESULT_OUTPUT_FULL;

  uint8_t filterFlag = in[kLzmaFilterFlagOffset];
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) return LZMA_RESULT_ERROR;
  uint32_t properties = in[kLzmaPropertiesOffset];
  if (properties >= kLzmaPropertiesLimit) return LZMA_RESULT_ERROR;

  lzma_options_lzma options{};
  options.lc = properties % 9;
  options.lp = properties / 9 % 5;
  options.pb = properties / 45;
  // Matches cannot reach before the start of the output, so a window larger
  // than the output is never used; capping it keeps a forged header from
  // making the decoder allocate gigabytes.
  uint32_t dictionary = static_cast<uint32_t>(LoadLittleEndian(in + kLzmaDictionaryOffset, 4));
  options.dict_size = std::max<uint32_t>(std::min(dictionary, size), LZMA_DICT_SIZE_MIN);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = size;
  options.ext_size_high = 0;

  lzma_filter filters[3];
  int count = 0;
  if (filterFlag == kLzmaFilterX86) filters[count++] = {LZMA_FILTER_X86, nullptr};
  filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};

  size_t in_pos = kLzmaHeaderSize;
  size_t out_pos = 0;
  lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, in, &in_pos, length, out, &out_pos, size);
  if (ret == LZMA_MEM_ERROR) return LZMA_RESULT_NO_MEMORY;
  if (ret != LZMA_OK || out_pos != size) return LZMA_RESULT_ERROR;
  return LZMA_RESULT_OK;
}

}  // namespace qlmr
