// Reads an LZMA-encoded buffer: checks the header, then runs liblzma's raw
// LZMA1 decoder (behind the x86 converter when the flag asks for it) for
// exactly the size the header gives.
#include <lzma.h>

#include <algorithm>
#include <new>

#include "base/codec_format.h"
#include "base/little_endian.h"
#include "base/lzma_buffer.h"

namespace qlmr {
namespace {

// The filter chain that decodes a stream whose header is `in` (at least the
// header size) and whose size before compression is `size`.
struct LzmaDecodeChain {
  lzma_options_lzma options{};
  lzma_filter filters[3];
};

int SetUpDecodeChain(const uint8_t* in, uint32_t size, LzmaDecodeChain* chain) {
  uint8_t filterFlag = in[kLzmaFilterFlagOffset];
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) return LZMA_RESULT_ERROR;
  uint32_t properties = in[kLzmaPropertiesOffset];
  if (properties >= kLzmaPropertiesLimit) return LZMA_RESULT_ERROR;

  lzma_options_lzma& options = chain->options;
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

  int count = 0;
  if (filterFlag == kLzmaFilterX86) chain->filters[count++] = {LZMA_FILTER_X86, nullptr};
  chain->filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
  chain->filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  return LZMA_RESULT_OK;
}

}  // namespace

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
  LzmaDecodeChain chain;
  result = SetUpDecodeChain(in, size, &chain);
  if (result != LZMA_RESULT_OK) return result;

  size_t in_pos = kLzmaHeaderSize;
  size_t out_pos = 0;
  lzma_ret ret =
      lzma_raw_buffer_decode(chain.filters, nullptr, in, &in_pos, length, out, &out_pos, size);
  if (ret == LZMA_MEM_ERROR) return LZMA_RESULT_NO_MEMORY;
  if (ret != LZMA_OK || out_pos != size) return LZMA_RESULT_ERROR;
  return LZMA_RESULT_OK;
}

struct LzmaDecodeStream::State {
  lzma_stream stream = LZMA_STREAM_INIT;
  bool started = false;
  ~State() { lzma_end(&stream); }
};

LzmaDecodeStream::LzmaDecodeStream() = default;
LzmaDecodeStream::~LzmaDecodeStream() = default;

int LzmaDecodeStream::Feed(const uint8_t* in, size_t length, Output output, void* context) {
  if (result_ != LZMA_RESULT_OK) return result_;
  // The header may arrive split over pieces.
  while (headerFill_ < kLzmaHeaderSize && length > 0) {
    header_[headerFill_++] = *in++;
    --length;
  }
  if (headerFill_ < kLzmaHeaderSize) return result_;
  if (state_ == nullptr) {
    state_.reset(new (std::nothrow) State);
    if (state_ == nullptr) return result_ = LZMA_RESULT_NO_MEMORY;
    int result = ReadLzmaDecodedSize(header_, kLzmaHeaderSize, &size_);
    LzmaDecodeChain chain;
    if (result == LZMA_RESULT_OK) result = SetUpDecodeChain(header_, size_, &chain);
    if (result != LZMA_RESULT_OK) return result_ = result;
    // The size in a header is untrusted here (nothing was allocated for it),
    // so the window is held at what this system's encoder uses: a forged
    // header cannot make the decoder take gigabytes, and a stream that needs
    // more fails as bad data.
    chain.options.dict_size = std::min(chain.options.dict_size, kLzmaDictionarySize);
    memoryUsage_ = lzma_raw_decoder_memusage(chain.filters);
    lzma_ret ret = lzma_raw_decoder(&state_->stream, chain.filters);
    if (ret == LZMA_MEM_ERROR) return result_ = LZMA_RESULT_NO_MEMORY;
    if (ret != LZMA_OK) return result_ = LZMA_RESULT_ERROR;
    state_->started = true;
  }
  if (ended_ || length == 0) return result_;

  lzma_stream& stream = state_->stream;
  stream.next_in = in;
  stream.avail_in = length;
  uint8_t piece[kLzmaStreamPiece];
  while (!ended_ && (stream.avail_in > 0 || stream.avail_out == 0)) {
    stream.next_out = piece;
    stream.avail_out = sizeof piece;
    lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    size_t produced = sizeof piece - stream.avail_out;
    decoded_ += produced;
    if (produced > 0 && !output(context, piece, produced)) {
      return result_ = LZMA_RESULT_OUTPUT_FAILED;
    }
    if (ret == LZMA_STREAM_END) {
      ended_ = true;
    } else if (ret == LZMA_MEM_ERROR) {
      return result_ = LZMA_RESULT_NO_MEMORY;
    } else if (ret != LZMA_OK) {
      return result_ = LZMA_RESULT_ERROR;
    }
    if (stream.avail_out != 0 && stream.avail_in == 0) break;
  }
  return result_;
}

uint64_t LzmaDecodeStream::MemoryUsage() const { return memoryUsage_; }

int LzmaDecodeStream::Finish() {
  if (result_ != LZMA_RESULT_OK) return result_;
  // A stream that stops early never reaches its end, whatever it produced.
  if (headerFill_ < kLzmaHeaderSize || (!ended_ && size_ != 0) || decoded_ != size_) {
    result_ = LZMA_RESULT_ERROR;
  }
  return result_;
}

}  // namespace qlmr
