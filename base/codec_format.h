// The constants of the codecs' stored forms, in one place: the word masks,
// the size bounds, and the header of an LZMA-encoded buffer. Changing any of
// them makes stored data unreadable. Also the helpers that the two
// compressing codecs share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qlmr {

// Encoded data of the two compressing codecs is the library's output XORed
// with a 32-bit word in little-endian order: byte k with byte (k mod 4) of
// the word. The last partial word is masked too.
constexpr uint32_t LZMA_WORD_MASK = 0x6B2D41C3u;
constexpr uint32_t LZO_WORD_MASK = 0x2E7F0A95u;

// XORs `length` bytes of `data`, which start at a multiple of 4 of the
// encoded form, with `mask` as above. Its own inverse.
void XorWordMask(void* data, size_t length, uint32_t mask);
// The same, reading from `from` and writing to `to` (which may be equal).
void XorWordMaskCopy(void* to, const void* from, size_t length, uint32_t mask);

// The arguments of Decode for codecs that decode only whole data: reports
// ERR_INVALID and returns false unless the buffer is present, `length` fits the
// capacity and `position` is 0.
bool CheckWholeDecode(const uint8_t* buffer, uint32_t capacity, uint32_t length, uint32_t position);

// The largest encoding bound either compressing codec gives: a multiple of 4
// that fits 32 bits.
constexpr uint32_t kLargestEncodedBound = 0xFFFFFFFCu;

// n * factor, UINT32_MAX where that does not fit 32 bits.
uint32_t SaturatingProduct(uint32_t n, uint32_t factor);

// --- LZO -------------------------------------------------------------------

// LzoCodec's bound: n + n / 16 + 67, the LZO1X worst case, raised to a
// multiple of 4.
constexpr uint32_t kLzoBoundDivisor = 16;
constexpr uint32_t kLzoBoundExtra = 67;
// No LZO1X stream decodes to more than 255 bytes per encoded byte: the
// longest matches spend one zero byte per 255 of length. The bound keeps a
// margin over that.
constexpr uint32_t kLzoMaxExpansion = 256;
// Work memory of the dense LZO1X compressor (LZO1X_999_MEM_COMPRESS).
constexpr size_t kLzoWorkMemorySize = 458752;

// --- LZMA ------------------------------------------------------------------

// LzmaCodec's bound: n times this single-precision factor, taken in double
// precision and truncated, then raised to a multiple of 4.
constexpr float kLzmaBoundFactor = 1.02f;

// Header of an LZMA-encoded buffer (before the word mask is applied):
//   offset 0, 1 byte:  filter flag (kLzmaFilterPlain or kLzmaFilterX86)
//   offset 1, 1 byte:  properties byte (pb * 5 + lp) * 9 + lc
//   offset 2, 4 bytes: dictionary size, u32 little-endian
//   offset 6, 8 bytes: size of the data before compression, u64 little-endian
//   offset 14:         the LZMA stream, without end marker
constexpr uint32_t kLzmaFilterFlagOffset = 0;
constexpr uint32_t kLzmaPropertiesOffset = 1;
constexpr uint32_t kLzmaDictionaryOffset = 2;
constexpr uint32_t kLzmaSizeOffset = 6;
constexpr uint32_t kLzmaHeaderSize = 14;

constexpr uint8_t kLzmaFilterPlain = 0;
constexpr uint8_t kLzmaFilterX86 = 1;  // x86 branch converter applied first

constexpr uint32_t kLzmaLiteralContextBits = 3;   // lc
constexpr uint32_t kLzmaLiteralPositionBits = 0;  // lp
constexpr uint32_t kLzmaPositionBits = 2;         // pb
constexpr uint8_t kLzmaPropertiesByte =
    (kLzmaPositionBits * 5 + kLzmaLiteralPositionBits) * 9 + kLzmaLiteralContextBits;
static_assert(kLzmaPropertiesByte == 0x5D, "lc 3, lp 0, pb 2");
// The largest valid properties byte plus one: pb <= 4, lp <= 4, lc <= 8.
constexpr uint32_t kLzmaPropertiesLimit = 9 * 5 * 5;

// No LZMA stream decodes to more than about 7,100 bytes per encoded byte: a
// range-coded decision costs at least -log2(2017 / 2048) = 0.022 bits, and
// the longest match (273 bytes) takes 14 of them. The bound keeps a margin
// over that.
constexpr uint32_t kLzmaMaxExpansion = 8192;

constexpr uint32_t kLzmaDictionarySize = 0x00800000u;  // 8 MiB
constexpr uint32_t kLzmaNiceLength = 64;

}  // namespace qlmr
