// LZMA-encoded buffers without the word mask: the header of codec_format.h
// followed by a raw LZMA stream. LzmaCodec adds the mask and the error
// reports; these functions only code and return a result number.
//
// The functions are stateless; every call allocates its own coder, so calls
// may run on several threads at once. A LzmaDecodeStream is used by one
// thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/codec_format.h"

namespace qlmr {

// Result numbers, kept in LzmaCodec's messages ("LZMA compress[%d]").
enum LzmaResult : int {
  LZMA_RESULT_OK = 0,
  LZMA_RESULT_ERROR = 1,          // general failure; bad data when decoding
  LZMA_RESULT_NO_MEMORY = 2,      // the coder could not allocate its memory
  LZMA_RESULT_OUTPUT_FULL = 3,    // the encoded form does not fit the output
  LZMA_RESULT_OUTPUT_FAILED = 4,  // a stream's receiver refused its output
};

// Encodes `length` bytes of `in` into `out`, at most `capacity` bytes: header
// with `filterFlag` (kLzmaFilterPlain or kLzmaFilterX86), then the stream.
// `*encodedSize` receives the count written on success. When `*cancel`
// becomes true while it runs (another thread sets it), it stops soon after
// with LZMA_RESULT_ERROR.
int EncodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t filterFlag, uint8_t* out,
                     uint32_t capacity, uint32_t* encodedSize,
                     const std::atomic<bool>* cancel = nullptr);

// The memory the coder of EncodeLzmaBuffer takes for `length` bytes of input
// (its window and match finder tables), output buffer not included; 0 when
// the library cannot tell.
uint64_t LzmaEncoderMemory(uint32_t length, uint8_t filterFlag);

// Reads the size before compression from the header. LZMA_RESULT_ERROR when
// `length` is below the header size or the size is 2^32 or more.
int ReadLzmaDecodedSize(const uint8_t* in, uint32_t length, uint32_t* size);

// Decodes an encoded buffer of `length` bytes into `out`, which must hold the
// size from the header; at most `capacity` bytes are written. A filter flag
// other than plain or x86, bad properties, or a stream that does not give
// exactly that size give LZMA_RESULT_ERROR. A stream with an end marker right
// after the last byte is accepted.
int DecodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t capacity);

// Encodes input that arrives in pieces into the form of EncodeLzmaBuffer
// (the header, then the raw stream without end marker), handing the output
// on as it comes. Its length must be known at Start, since the header holds
// it. The match finder's window is at most `windowSize` bytes, which bounds
// its memory (about 11 bytes per window byte); the header still names
// kLzmaDictionarySize, the window every decoder of the form keeps. With the
// same input and a window as large as the input or kLzmaDictionarySize, the
// output equals EncodeLzmaBuffer's. Results are LzmaResult numbers; after the
// first failure every call returns it.
class LzmaEncodeStream {
 public:
  // Receives encoded bytes with the caller's `context`, and their position in
  // the encoded form; false stops the encoding (LZMA_RESULT_OUTPUT_FAILED).
  using Output = bool (*)(void* context, uint64_t position, const uint8_t* data, size_t length);

  LzmaEncodeStream();
  ~LzmaEncodeStream();
  LzmaEncodeStream(const LzmaEncodeStream&) = delete;
  LzmaEncodeStream& operator=(const LzmaEncodeStream&) = delete;

  // Starts the form for `length` input bytes with `filterFlag`
  // (kLzmaFilterPlain or kLzmaFilterX86) and writes the header.
  int Start(uint32_t length, uint8_t filterFlag, uint32_t windowSize, Output output, void* context);
  // The next piece of the input.
  int Feed(const uint8_t* in, size_t length);
  // After the last piece: LZMA_RESULT_ERROR unless exactly `length` bytes
  // came in.
  int Finish();
  // The bytes of the encoded form so far.
  uint64_t EncodedSize() const { return written_; }

 private:
  int Run(const uint8_t* in, size_t length, bool finish);
  int Emit(const uint8_t* data, size_t length);

  struct State;
  std::unique_ptr<State> state_;
  Output output_ = nullptr;
  void* context_ = nullptr;
  uint32_t length_ = 0;
  uint64_t fed_ = 0;
  uint64_t written_ = 0;
  int result_ = LZMA_RESULT_OK;
};

// Decoded bytes are handed out in pieces of at most this size.
constexpr size_t kLzmaStreamPiece = 1u << 16;

// Decodes the same form as DecodeLzmaBuffer from input that arrives in
// pieces, handing the output on as it comes: memory stays at the decoder's
// window (at most kLzmaDictionarySize, whatever the header says) however
// large the data is. Results
// are LzmaResult numbers; after the first failure every call returns it.
class LzmaDecodeStream {
 public:
  // Receives decoded bytes with the caller's `context`; false stops the
  // decoding (LZMA_RESULT_OUTPUT_FAILED).
  using Output = bool (*)(void* context, const uint8_t* data, size_t length);

  LzmaDecodeStream();
  ~LzmaDecodeStream();
  LzmaDecodeStream(const LzmaDecodeStream&) = delete;
  LzmaDecodeStream& operator=(const LzmaDecodeStream&) = delete;

  // The next piece of the encoded form (header first). Input after the end
  // of the stream is ignored, as DecodeLzmaBuffer ignores it.
  int Feed(const uint8_t* in, size_t length, Output output, void* context);
  // After the last piece: OK only when exactly the header's size came out.
  int Finish();
  // The size from the header: valid once the header was fed.
  bool HasHeader() const { return headerFill_ == sizeof header_; }
  uint32_t DecodedSize() const { return size_; }
  // Bytes the decoder takes for its window (at most kLzmaDictionarySize)
  // and tables, once the header was fed.
  uint64_t MemoryUsage() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint8_t header_[kLzmaHeaderSize] = {};
  size_t headerFill_ = 0;
  uint32_t size_ = 0;
  uint64_t decoded_ = 0;
  uint64_t memoryUsage_ = 0;
  bool ended_ = false;
  int result_ = LZMA_RESULT_OK;
};

}  // namespace qlmr
