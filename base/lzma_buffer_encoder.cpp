// Writes an LZMA-encoded buffer: the header, then liblzma's raw LZMA1 stream
// without end marker, optionally after the x86 branch converter.
#include <lzma.h>

#include <algorithm>
#include <new>
#include <optional>

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

// The coder's options: those of the form, with the match finder's window.
lzma_options_lzma EncoderOptions(uint32_t windowSize) {
  lzma_options_lzma options{};
  options.lc = kLzmaLiteralContextBits;
  options.lp = kLzmaLiteralPositionBits;
  options.pb = kLzmaPositionBits;
  options.dict_size = windowSize;
  options.mode = LZMA_MODE_NORMAL;
  options.nice_len = kLzmaNiceLength;
  options.mf = LZMA_MF_BT4;
  options.depth = 0;      // the library's default search depth
  options.ext_flags = 0;  // no end marker: the header carries the size
  return options;
}

void WriteHeader(uint8_t filterFlag, uint32_t length, uint8_t* out) {
  out[kLzmaFilterFlagOffset] = filterFlag;
  out[kLzmaPropertiesOffset] = kLzmaPropertiesByte;
  StoreLittleEndian(kLzmaDictionarySize, out + kLzmaDictionaryOffset, 4);
  StoreLittleEndian(length, out + kLzmaSizeOffset, 8);
}

// No match reaches further back than the input's start, so a window the size
// of the input codes the same matches as a larger one while sparing the
// match finder's tables for small inputs.
uint32_t WindowFor(uint32_t length, uint32_t windowSize) {
  return std::clamp<uint32_t>(std::min(length, windowSize), LZMA_DICT_SIZE_MIN,
                              kLzmaDictionarySize);
}

// The coder's options and filter chain for a window of `windowSize` bytes.
// The filters point into the object: it is not copied.
struct EncoderSettings {
  lzma_options_lzma options{};
  lzma_filter filters[3];

  EncoderSettings(uint32_t windowSize, uint8_t filterFlag) : options(EncoderOptions(windowSize)) {
    int count = 0;
    if (filterFlag == kLzmaFilterX86) filters[count++] = {LZMA_FILTER_X86, nullptr};
    filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
    filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  }
  EncoderSettings(const EncoderSettings&) = delete;
  EncoderSettings& operator=(const EncoderSettings&) = delete;
};

// Output is handed out in pieces of this size, so that a cancellation is
// seen within one piece's worth of coding.
constexpr size_t kOutputPiece = 1u << 16;

}  // namespace

int EncodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t filterFlag, uint8_t* out,
                     uint32_t capacity, uint32_t* encodedSize, const std::atomic<bool>* cancel) {
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) return LZMA_RESULT_ERROR;
  if (capacity < kLzmaHeaderSize) return LZMA_RESULT_OUTPUT_FULL;

  // The header names the full window for the decoder whatever the coder used.
  EncoderSettings settings(WindowFor(length, kLzmaDictionarySize), filterFlag);
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

  WriteHeader(filterFlag, length, out);
  *encodedSize = static_cast<uint32_t>(written);
  return LZMA_RESULT_OK;
}

struct LzmaEncodeStream::State {
  lzma_stream stream = LZMA_STREAM_INIT;
  std::optional<EncoderSettings> settings;
  ~State() { lzma_end(&stream); }
};

LzmaEncodeStream::LzmaEncodeStream() = default;
LzmaEncodeStream::~LzmaEncodeStream() = default;

int LzmaEncodeStream::Start(uint32_t length, uint8_t filterFlag, uint32_t windowSize, Output output,
                            void* context) {
  if (filterFlag != kLzmaFilterPlain && filterFlag != kLzmaFilterX86) {
    return result_ = LZMA_RESULT_ERROR;
  }
  output_ = output;
  context_ = context;
  length_ = length;
  state_.reset(new (std::nothrow) State);
  if (!state_) return result_ = LZMA_RESULT_NO_MEMORY;
  state_->settings.emplace(WindowFor(length, windowSize), filterFlag);
  lzma_ret ret = lzma_raw_encoder(&state_->stream, state_->settings->filters);
  if (ret != LZMA_OK) return result_ = ToLzmaResult(ret);
  uint8_t header[kLzmaHeaderSize];
  WriteHeader(filterFlag, length, header);
  return Emit(header, sizeof header);
}

int LzmaEncodeStream::Emit(const uint8_t* data, size_t length) {
  if (length == 0) return result_;
  if (!output_(context_, written_, data, length)) return result_ = LZMA_RESULT_OUTPUT_FAILED;
  written_ += length;
  return result_;
}

int LzmaEncodeStream::Run(const uint8_t* in, size_t length, bool finish) {
  if (result_ != LZMA_RESULT_OK) return result_;
  if (!state_) return result_ = LZMA_RESULT_ERROR;
  // liblzma takes a call that can make no progress for an error.
  if (!finish && length == 0) return result_;
  lzma_stream& stream = state_->stream;
  stream.next_in = in;
  stream.avail_in = length;
  uint8_t out[kLzmaStreamPiece];
  for (;;) {
    stream.next_out = out;
    stream.avail_out = sizeof out;
    lzma_ret ret = lzma_code(&stream, finish ? LZMA_FINISH : LZMA_RUN);
    if (Emit(out, sizeof out - stream.avail_out) != LZMA_RESULT_OK) return result_;
    if (ret == LZMA_STREAM_END) return result_;
    if (ret != LZMA_OK) return result_ = ToLzmaResult(ret);
    if (!finish && stream.avail_in == 0 && stream.avail_out != 0) return result_;
  }
}

int LzmaEncodeStream::Feed(const uint8_t* in, size_t length) {
  fed_ += length;
  if (fed_ > length_) return result_ = LZMA_RESULT_ERROR;
  return Run(in, length, false);
}

int LzmaEncodeStream::Finish() {
  if (fed_ != length_) return result_ = LZMA_RESULT_ERROR;
  return Run(nullptr, 0, true);
}

uint64_t LzmaEncoderMemory(uint32_t length, uint8_t filterFlag) {
  EncoderSettings settings(WindowFor(length, kLzmaDictionarySize), filterFlag);
  uint64_t usage = lzma_raw_encoder_memusage(settings.filters);
  return usage == UINT64_MAX ? 0 : usage;
}

}  // namespace qlmr
