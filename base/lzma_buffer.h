// LZMA-encoded buffers without the word mask: the header of codec_format.h
// followed by a raw LZMA stream. LzmaCodec adds the mask and the error
// reports; these functions only code and return a result number.
//
// Stateless; every call allocates its own coder, so calls may run on several
// threads at once.
#pragma once

#include <cstdint>

namespace qlmr {

// Result numbers, kept in LzmaCodec's messages ("LZMA compress[%d]").
enum LzmaResult : int {
  LZMA_RESULT_OK = 0,
  LZMA_RESULT_ERROR = 1,        // general failure; bad data when decoding
  LZMA_RESULT_NO_MEMORY = 2,    // the coder could not allocate its memory
  LZMA_RESULT_OUTPUT_FULL = 3,  // the encoded form does not fit the output
};

// Encodes `length` bytes of `in` into `out`, at most `capacity` bytes: header
// with `filterFlag` (kLzmaFilterPlain or kLzmaFilterX86), then the stream.
// `*encodedSize` receives the count written on success.
int EncodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t filterFlag, uint8_t* out,
                     uint32_t capacity, uint32_t* encodedSize);

// Reads the size before compression from the header. LZMA_RESULT_ERROR when
// `length` is below the header size or the size is 2^32 or more.
int ReadLzmaDecodedSize(const uint8_t* in, uint32_t length, uint32_t* size);

// Decodes an encoded buffer of `length` bytes into `out`, which must hold the
// size from the header; at most `capacity` bytes are written. A filter flag
// other than plain or x86, bad properties, or a stream that does not give
// exactly that size give LZMA_RESULT_ERROR. A stream with an end marker right
// after the last byte is accepted.
int DecodeLzmaBuffer(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t capacity);

}  // namespace qlmr
