// The compression layer: one-byte compression type ids, the codec interface,
// and the process-wide registry that maps an id to its codec and encodes or
// decodes whole files behind a caller's header.
//
// Ownership: codecs are objects of static lifetime; the registry holds
// pointers to them and owns nothing. Codecs keep no state between calls, so
// after the first GetCodecRegistry() call (made on one thread before others
// use the layer) encoding and decoding may run on several threads at once.
// Failures are reported through base/error.h and return false or null.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace qlmr {

// Stored with encoded data (pack archive block entries, the control list).
enum CompressionType : uint8_t {
  COMPRESS_NONE = 0,  // stored as is; no codec is looked up
  COMPRESS_MASK = 1,  // MaskCodec: same length, XORed with PositionalMask
  COMPRESS_LZO = 2,   // LzoCodec: LZO1X, output masked
  COMPRESS_LZMA = 3,  // LzmaCodec: LZMA with optional x86 filter, output masked
};

// A codec. The virtual operations are in the system's fixed slot order.
class Codec {
 public:
  // The codec's CompressionType.
  virtual uint8_t TypeId() const = 0;
  // True when any slice of encoded data can be decoded by itself, given the
  // position of its first byte in the encoded data.
  virtual bool CanDecodeSlice() const = 0;
  // The buffer capacity that Encode needs for `n` input bytes.
  virtual uint32_t MaxEncodedSize(uint32_t n) const = 0;
  // The most bytes that `n` encoded bytes of any valid stream decode to,
  // saturating at UINT32_MAX: a stored size claiming more is damage, refused
  // before a buffer of the claimed size is allocated.
  virtual uint32_t MaxDecodedSize(uint32_t n) const = 0;
  // On entry the first *length bytes of `buffer` are the data; on success
  // they are replaced by the encoded bytes and *length is set to their count.
  // On failure the buffer's content is unspecified.
  virtual bool Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const = 0;
  // On entry the first `length` bytes are encoded data starting at offset
  // `position` of the encoded form; on success the buffer holds the decoded
  // bytes from its start (the caller knows their count). Decoded bytes never
  // pass `capacity`. On failure the buffer's content is unspecified.
  virtual bool Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
                      uint32_t position) const = 0;

 protected:
  ~Codec() = default;  // static lifetime; never deleted through this type
};

// Compression type 1: every byte XORed with PositionalMask of its position
// in the encoded data. Same length; any slice decodes given its position.
// Encode and Decode fail only with ERR_INVALID (absent buffer or length,
// capacity below the length), the buffer then untouched.
class MaskCodec final : public Codec {
 public:
  uint8_t TypeId() const override;
  bool CanDecodeSlice() const override;
  uint32_t MaxEncodedSize(uint32_t n) const override;  // n
  uint32_t MaxDecodedSize(uint32_t n) const override;  // n
  bool Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const override;
  bool Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
              uint32_t position) const override;
};

// Compression type 2: one LZO1X stream (dense compressor, then the optimiser)
// masked with LZO_WORD_MASK. No header; the caller knows the decoded length.
// Decodes only whole data (position 0).
// Encode fails with ERR_INVALID (absent buffer or length), ERR_NO_MEMORY
// "LZO compress=%d" (capacity below the bound, which the message names; or
// no memory) or ERR_CODEC "lzo_err=%d".
// Decode fails with ERR_INVALID (absent buffer, length above capacity,
// position not 0), ERR_NO_MEMORY "Size=%d" (no memory) or ERR_CODEC
// "lzo_err=%d" (bad data, or more than capacity bytes would come out).
class LzoCodec final : public Codec {
 public:
  // Initialises the LZO library; the registry creates the one instance.
  LzoCodec();
  uint8_t TypeId() const override;
  bool CanDecodeSlice() const override;
  // n + n / 16 + 67, raised to a multiple of 4; 0xFFFFFFFC where that does
  // not fit 32 bits (Encode then refuses).
  uint32_t MaxEncodedSize(uint32_t n) const override;
  // n times kLzoMaxExpansion (codec_format.h).
  uint32_t MaxDecodedSize(uint32_t n) const override;
  bool Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const override;
  bool Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
              uint32_t position) const override;
};

// Compression type 3: a 14-byte header and an LZMA stream (codec_format.h),
// masked with LZMA_WORD_MASK. Encode tries the data plain and behind the x86
// branch converter, on two threads at once, and keeps the smaller form (the
// plain one on a tie). Decodes only whole data (position 0).
// Encode fails with ERR_INVALID (absent buffer or length), ERR_NO_MEMORY
// "LZMA compress=%d" (capacity below the bound, which the message names; or
// no memory) or ERR_CODEC "LZMA compress[%d]" with 1 (failure), 2 (no
// memory) or 3 (the encoded form exceeds the bound, always so for 14 bytes
// or fewer).
// Decode fails with ERR_INVALID (absent buffer, length above capacity,
// position not 0), ERR_CODEC "LZMA decompress[%d]" with 1 (bad header or
// data) or 2 (no memory), or ERR_NO_MEMORY "LZMA decompress=%d" (the decoded
// size exceeds capacity; or no memory).
class LzmaCodec final : public Codec {
 public:
  uint8_t TypeId() const override;
  bool CanDecodeSlice() const override;
  // n times the single-precision 1.02, truncated, raised to a multiple of 4;
  // 0xFFFFFFFC where that does not fit 32 bits.
  uint32_t MaxEncodedSize(uint32_t n) const override;
  // n times kLzmaMaxExpansion (codec_format.h).
  uint32_t MaxDecodedSize(uint32_t n) const override;
  bool Encode(uint8_t* buffer, uint32_t capacity, uint32_t* length) const override;
  bool Decode(uint8_t* buffer, uint32_t capacity, uint32_t length,
              uint32_t position) const override;

  // Encode's two tries, to run apart (see EncodeTryCount): try 0 codes the
  // data plain, try 1 behind the x86 converter; each gives its stored form,
  // masked. Fails with ERR_NO_MEMORY "LZMA compress=%d" or ERR_CODEC "LZMA
  // compress[%d]" as Encode does (a cancelled try with result 1).
  static constexpr uint32_t kEncodeTries = 2;
  bool EncodeTry(uint32_t index, const uint8_t* data, uint32_t length,
                 const std::atomic<bool>* cancel, std::vector<uint8_t>* encoded) const;
  // The memory one try of `length` bytes takes: coder and output.
  uint64_t EncodeTryMemory(uint32_t length) const;
  // Which of the two forms Encode keeps: the filtered one only when smaller.
  static uint32_t ChosenTry(uint32_t plainSize, uint32_t filteredSize);
};

// The registry of codecs, in the system's fixed slot order.
class CodecRegistry {
 public:
  // Appends a codec. Fails with ERR_INVALID (null codec) or ERR_DUPLICATE
  // "compresType=%d" (its id is registered already), the registry unchanged.
  virtual bool Register(const Codec* codec) = 0;
  virtual int32_t Count() const = 0;
  // The codec at `index`, or null with ERR_INVALID.
  virtual const Codec* GetAt(int32_t index) const = 0;
  // The first codec whose TypeId equals `type`, or null with ERR_INVALID.
  virtual const Codec* Find(int32_t type) const = 0;
  // Reads `source` whole, encodes it with `codec` and writes `destination`:
  // the header's `headerLength` bytes (if given), the encoded bytes, and with
  // `appendCrc` a CRC trailer over both. `*sourceSize` and `*encodedLength`
  // receive the sizes (either pointer may be null). Source and destination
  // may be the same path: the destination replaces the source only when it
  // was written whole, so after any failure source and destination are as
  // they were. Fails with ERR_INVALID (no codec, source or destination),
  // ERR_READ "winErr=%d" (opening the source) or "WinErr=%d" (reading it),
  // ERR_NO_MEMORY "Size=%d" (no memory, or a source of 4 GiB or more), the
  // codec's Encode codes, ERR_ACCESS "WinErr=%d" (creating the temporary
  // file), or ERR_WRITE "WinErr=%d" (writing, or moving it into place; the
  // trailer "winErr: %d").
  virtual bool EncodeFile(const Codec* codec, const char* source, const char* destination,
                          uint32_t* sourceSize, const uint8_t* header, uint32_t headerLength,
                          bool appendCrc, uint32_t* encodedLength) const = 0;
  // Decodes a file written by EncodeFile with a trailer: skips `dataOffset`
  // header bytes, decodes everything up to the trailer and writes the first
  // `decodedSize` decoded bytes to `destination` (same path allowed, with the
  // same guarantee). Neither the header nor the trailer is checked. Fails as
  // EncodeFile does, with the codec's Decode codes in place of Encode's and
  // without the trailer's message, and also with ERR_BAD_DATA (no encoded
  // byte between header and trailer) or ERR_SEEK "pos=%d" (skipping the
  // header).
  virtual bool DecodeFile(const Codec* codec, const char* source, const char* destination,
                          uint32_t dataOffset, uint32_t decodedSize) const = 0;

 protected:
  virtual ~CodecRegistry() = default;
};

// EncodeFile and DecodeFile write their result to a temporary file beside
// the destination whose name starts with this, then move it into place.
constexpr char kCodecTempPrefix[] = "qcd";

// The process's registry, created on first use with MaskCodec (1), LzoCodec
// (2) and LzmaCodec (3) registered in that order. Call it once on one thread
// before other threads use the layer.
CodecRegistry& GetCodecRegistry();

// Encoding in tries, for callers that encode many buffers on several threads
// at once: LzmaCodec's Encode makes two tries and keeps the smaller form, the
// other codecs make one. Running every try of a buffer (on any threads, in
// any order) and keeping the form ChooseEncodeTry names gives Encode's bytes
// exactly.
uint32_t EncodeTryCount(const Codec& codec);
// The memory one try of `length` bytes takes, coder and output, roughly.
uint64_t EncodeTryMemory(const Codec& codec, uint32_t length);
// Makes try `index` of the `length` bytes at `data`: `encoded` receives the
// stored form. Fails as EncodeToBuffer does, reported in the calling thread's
// error state; a try that `*cancel` stops while it runs fails too.
bool RunEncodeTry(const Codec& codec, uint32_t index, const uint8_t* data, uint32_t length,
                  const std::atomic<bool>* cancel, std::vector<uint8_t>* encoded);
// Given the forms of all tries of one buffer (`forms[i]` made by try i, all
// successful), the index of the one Encode keeps.
uint32_t ChooseEncodeTry(const Codec& codec, const std::vector<uint8_t>* const* forms);

// Encodes `length` bytes at `data` with `codec` in memory: `encoded` is grown
// to the codec's bound (at least `length` bytes, at least one), encoded in
// place and cut to the encoded bytes. Fails with ERR_NO_MEMORY "Size=%d" (no
// memory for the bound) or the codec's Encode codes; `encoded` is then
// unspecified.
bool EncodeToBuffer(const Codec& codec, const uint8_t* data, uint32_t length,
                    std::vector<uint8_t>* encoded);

}  // namespace qlmr
