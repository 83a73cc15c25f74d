// The system's CRC: tables built at compile time; braided and sliced updates,
// and a bit-plane form with carry-less multiplication where the processor has it.
#include "base/crc.h"

#include <cstring>
#include <memory>
#include <new>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "base/error.h"
#include "base/little_endian.h"
#include "base/platform.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word-wise CRC loads little-endian words");

namespace qlmr {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr uint32_t StandardEntry(uint32_t n) {
  uint32_t c = n;
  for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
  return c;
}

// Entries 64..127 and 128..191 of the standard table exchanged.
constexpr uint32_t SystemEntry(uint32_t n) {
  if (n >= 64 && n < 128) return StandardEntry(n + 64);
  if (n >= 128 && n < 192) return StandardEntry(n - 64);
  return StandardEntry(n);
}

// Both fast forms below rest on one fact: the exchanged table is still linear
// over GF(2) (it only swaps two bits of the index), so the bytes of a word can
// be looked up separately and their contributions XORed.

// kSlicing[k][n]: the state change of byte n followed by k zero bytes.
constexpr int kSlices = 8;
struct SlicingTables {
  uint32_t t[kSlices][256];
};

constexpr SlicingTables MakeSlicingTables() {
  SlicingTables tables{};
  for (uint32_t n = 0; n < 256; ++n) tables.t[0][n] = SystemEntry(n);
  for (int k = 1; k < kSlices; ++k) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t prev = tables.t[k - 1][n];
      tables.t[k][n] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
    }
  }
  return tables;
}

constexpr SlicingTables kSlicing = MakeSlicingTables();

// Braided form: kLanes independent CRC lanes over interleaved 8-byte words,
// so that the lookups of different lanes overlap in the processor. A byte at
// offset k of a lane's word is carried over the rest of the block (the lane's
// next word starts kLanes * 8 bytes later) and lands, as a 32-bit state, on
// the first bytes of that next word. kBraid[k][n] is that state for byte n.
constexpr int kLanes = 5;
constexpr size_t kBlock = kLanes * 8;
struct BraidTables {
  uint32_t t[8][256];
};

constexpr BraidTables MakeBraidTables() {
  BraidTables tables{};
  for (int k = 0; k < 8; ++k) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t state = SystemEntry(n);
      for (size_t zero = 0; zero < kBlock - 1 - k; ++zero) {
        state = SystemEntry(state & 0xFFu) ^ (state >> 8);
      }
      tables.t[k][n] = state;
    }
  }
  return tables;
}

constexpr BraidTables kBraid = MakeBraidTables();

inline uint32_t Load32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

const uint32_t CrcTable[256] = {
#define QLMR_CRC_ROW(i)                                                                           \
  SystemEntry(i), SystemEntry(i + 1), SystemEntry(i + 2), SystemEntry(i + 3), SystemEntry(i + 4), \
      SystemEntry(i + 5), SystemEntry(i + 6), SystemEntry(i + 7)
    QLMR_CRC_ROW(0),   QLMR_CRC_ROW(8),   QLMR_CRC_ROW(16),  QLMR_CRC_ROW(24),  QLMR_CRC_ROW(32),
    QLMR_CRC_ROW(40),  QLMR_CRC_ROW(48),  QLMR_CRC_ROW(56),  QLMR_CRC_ROW(64),  QLMR_CRC_ROW(72),
    QLMR_CRC_ROW(80),  QLMR_CRC_ROW(88),  QLMR_CRC_ROW(96),  QLMR_CRC_ROW(104), QLMR_CRC_ROW(112),
    QLMR_CRC_ROW(120), QLMR_CRC_ROW(128), QLMR_CRC_ROW(136), QLMR_CRC_ROW(144), QLMR_CRC_ROW(152),
    QLMR_CRC_ROW(160), QLMR_CRC_ROW(168), QLMR_CRC_ROW(176), QLMR_CRC_ROW(184), QLMR_CRC_ROW(192),
    QLMR_CRC_ROW(200), QLMR_CRC_ROW(208), QLMR_CRC_ROW(216), QLMR_CRC_ROW(224), QLMR_CRC_ROW(232),
    QLMR_CRC_ROW(240), QLMR_CRC_ROW(248),
#undef QLMR_CRC_ROW
};

uint32_t CrcUpdateBytewise(uint32_t state, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) {
    state = CrcTable[(state ^ p[i]) & 0xFFu] ^ (state >> 8);
  }
  return state;
}

namespace {

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

uint32_t SlicingUpdate(uint32_t state, const unsigned char* p, size_t length) {
  const auto& t = kSlicing.t;
  while (length >= 8) {
    uint32_t w0 = Load32(p) ^ state;
    uint32_t w1 = Load32(p + 4);
    state = t[7][w0 & 0xFF] ^ t[6][(w0 >> 8) & 0xFF] ^ t[5][(w0 >> 16) & 0xFF] ^ t[4][w0 >> 24] ^
            t[3][w1 & 0xFF] ^ t[2][(w1 >> 8) & 0xFF] ^ t[1][(w1 >> 16) & 0xFF] ^ t[0][w1 >> 24];
    p += 8;
    length -= 8;
  }
  return CrcUpdateBytewise(state, p, length);
}

// The state that a lane's word `w` leaves on the lane's next word. Written
// out: compilers do not reliably unroll the loop form, and it is the hot path.
inline uint64_t BraidWord(uint64_t w) {
  const auto& t = kBraid.t;
  return t[0][w & 0xFF] ^ t[1][(w >> 8) & 0xFF] ^ t[2][(w >> 16) & 0xFF] ^ t[3][(w >> 24) & 0xFF] ^
         t[4][(w >> 32) & 0xFF] ^ t[5][(w >> 40) & 0xFF] ^ t[6][(w >> 48) & 0xFF] ^ t[7][w >> 56];
}

}  // namespace

uint32_t CrcUpdatePortable(uint32_t state, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t blocks = length / kBlock;
  if (blocks < 2) return SlicingUpdate(state, p, length);
  static_assert(kLanes == 5, "the lanes below are written out");
  uint64_t lane0 = state, lane1 = 0, lane2 = 0, lane3 = 0, lane4 = 0;
  for (size_t b = 1; b < blocks; ++b) {
    uint64_t w0 = lane0 ^ Load64(p);
    uint64_t w1 = lane1 ^ Load64(p + 8);
    uint64_t w2 = lane2 ^ Load64(p + 16);
    uint64_t w3 = lane3 ^ Load64(p + 24);
    uint64_t w4 = lane4 ^ Load64(p + 32);
    lane0 = BraidWord(w0);
    lane1 = BraidWord(w1);
    lane2 = BraidWord(w2);
    lane3 = BraidWord(w3);
    lane4 = BraidWord(w4);
    p += kBlock;
  }
  // The last block joins the lanes: each lane's pending state is XORed onto
  // its word, and the words are run through in order.
  const uint64_t lanes[kLanes] = {lane0, lane1, lane2, lane3, lane4};
  uint32_t joined = 0;
  for (int i = 0; i < kLanes; ++i) {
    uint64_t word = Load64(p + 8 * i) ^ lanes[i];
    joined = SlicingUpdate(joined, reinterpret_cast<const unsigned char*>(&word), 8);
  }
  p += kBlock;
  return SlicingUpdate(joined, p, length - blocks * kBlock);
}

namespace {

// --- The bit-plane form -----------------------------------------------------
//
// The CRC of bytes b_0..b_{n-1} from a zero state is the sum over i of
// A^(n-1-i) T(b_i), where A is the state change of one zero byte and T the
// state change a byte b causes: both linear over GF(2). Split every byte into
// its eight bits: with t_j = T(1 << j) and the polynomial
// P_j(y) = sum_i bit_j(b_i) y^(n-1-i), the CRC is sum_j P_j(A) t_j. A
// polynomial that vanishes at A (Q below) lets each P_j be replaced by
// anything congruent to it modulo Q, so each P_j is kept as a residue of 128
// coefficients, folded with carry-less multiplication as blocks of 128 bytes
// arrive; the eight bit planes of a block come out of vector byte masks.
// At the end, the residues written back as 128 bytes (byte k holding
// coefficient k of each plane) are run through the byte-wise form, which
// evaluates sum_j P_j(A) t_j by the same formula. A starting state is XORed
// into the first four bytes, as the braided form does.

// Polynomials over GF(2) in a word, bit d for y^d.
constexpr uint64_t PolyMod(uint64_t p, uint64_t q) {
  int degreeQ = 63 - __builtin_clzll(q);
  for (int d = 63; d >= degreeQ; --d) {
    if ((p >> d) & 1u) p ^= q << (d - degreeQ);
  }
  return p;
}

constexpr uint64_t PowerOfYMod(int exponent, uint64_t q) {
  uint64_t p = 1;
  for (int i = 0; i < exponent; ++i) p = PolyMod(p << 1, q);
  return p;
}

// The polynomial of degree 32 that vanishes at A: the minimal polynomial of
// the exchanged table's byte step, found by Berlekamp-Massey and checked below.
constexpr uint64_t kStepPolynomial = 0x1E1F8B507ull;

// Whether Q(A) x = 0 for every basis vector x, i.e. Q(A) = 0.
constexpr bool VanishesAtByteStep(uint64_t q) {
  for (int bit = 0; bit < 32; ++bit) {
    uint32_t power = 1u << bit;  // A^k x, k = 0..32
    uint32_t sum = 0;
    for (int k = 0; k <= 32; ++k) {
      if ((q >> k) & 1u) sum ^= power;
      power = SystemEntry(power & 0xFFu) ^ (power >> 8);
    }
    if (sum != 0) return false;
  }
  return true;
}
static_assert(VanishesAtByteStep(kStepPolynomial), "Q must vanish at the byte step");

// A polynomial of degree below 64 as the carry-less multiplier sees a
// reflected operand: y^d at bit 63 - d.
constexpr uint64_t Reflect64(uint64_t p) {
  uint64_t r = 0;
  for (int d = 0; d < 64; ++d) {
    if ((p >> d) & 1u) r |= uint64_t{1} << (63 - d);
  }
  return r;
}

// A residue's 128 bits run from y^127 (bit 0) down to y^0 (bit 127). Folding
// one block multiplies it by y^128: its first half by y^192, its second by
// y^128, each one power lower because the reflected product comes out
// multiplied by y.
constexpr uint64_t kFoldHigh = Reflect64(PowerOfYMod(191, kStepPolynomial));
constexpr uint64_t kFoldLow = Reflect64(PowerOfYMod(127, kStepPolynomial));

constexpr size_t kPlaneBlock = 128;
// Below this the braided form is as fast and skips the final write-back.
constexpr size_t kPlaneMinimum = 1024;

// Not on Windows: its compilers cannot keep 32-byte vectors aligned on the
// stack there, and the word-wise form serves.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define QLMR_CRC_PLANES 1

#define QLMR_PLANE_TARGET __attribute__((target("avx2,pclmul")))

// Bit `7 - shift` of each of the 128 bytes of v0..v3, byte k at bit k.
QLMR_PLANE_TARGET inline __m128i PlaneBits(__m256i v0, __m256i v1, __m256i v2, __m256i v3,
                                           int shift) {
  int m0 = _mm256_movemask_epi8(_mm256_slli_epi16(v0, shift));
  int m1 = _mm256_movemask_epi8(_mm256_slli_epi16(v1, shift));
  int m2 = _mm256_movemask_epi8(_mm256_slli_epi16(v2, shift));
  int m3 = _mm256_movemask_epi8(_mm256_slli_epi16(v3, shift));
  return _mm_set_epi32(m3, m2, m1, m0);
}

QLMR_PLANE_TARGET inline __m128i Fold(__m128i residue, __m128i factors, __m128i plane) {
  __m128i high = _mm_clmulepi64_si128(residue, factors, 0x00);
  __m128i low = _mm_clmulepi64_si128(residue, factors, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), plane);
}

QLMR_PLANE_TARGET inline __m256i Load256(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The state after `blocks` whole blocks from a zero state, p[0..3] already
// holding the starting state.
QLMR_PLANE_TARGET uint32_t PlaneBlocks(const unsigned char* first, const unsigned char* p,
                                       size_t blocks) {
  const __m128i factors =
      _mm_set_epi64x(static_cast<long long>(kFoldLow), static_cast<long long>(kFoldHigh));
  __m256i v0 = Load256(first), v1 = Load256(first + 32), v2 = Load256(first + 64),
          v3 = Load256(first + 96);
  // Eight residues in registers; written out, since compilers keep arrays
  // of vectors in memory.
  __m128i r0 = PlaneBits(v0, v1, v2, v3, 7), r1 = PlaneBits(v0, v1, v2, v3, 6),
          r2 = PlaneBits(v0, v1, v2, v3, 5), r3 = PlaneBits(v0, v1, v2, v3, 4),
          r4 = PlaneBits(v0, v1, v2, v3, 3), r5 = PlaneBits(v0, v1, v2, v3, 2),
          r6 = PlaneBits(v0, v1, v2, v3, 1), r7 = PlaneBits(v0, v1, v2, v3, 0);
  for (size_t b = 1; b < blocks; ++b) {
    const unsigned char* q = p + b * kPlaneBlock;
    v0 = Load256(q);
    v1 = Load256(q + 32);
    v2 = Load256(q + 64);
    v3 = Load256(q + 96);
    r0 = Fold(r0, factors, PlaneBits(v0, v1, v2, v3, 7));
    r1 = Fold(r1, factors, PlaneBits(v0, v1, v2, v3, 6));
    r2 = Fold(r2, factors, PlaneBits(v0, v1, v2, v3, 5));
    r3 = Fold(r3, factors, PlaneBits(v0, v1, v2, v3, 4));
    r4 = Fold(r4, factors, PlaneBits(v0, v1, v2, v3, 3));
    r5 = Fold(r5, factors, PlaneBits(v0, v1, v2, v3, 2));
    r6 = Fold(r6, factors, PlaneBits(v0, v1, v2, v3, 1));
    r7 = Fold(r7, factors, PlaneBits(v0, v1, v2, v3, 0));
  }
  alignas(16) uint8_t planes[8][16];
  const __m128i residues[8] = {r0, r1, r2, r3, r4, r5, r6, r7};
  for (int j = 0; j < 8; ++j) {
    _mm_store_si128(reinterpret_cast<__m128i*>(planes[j]), residues[j]);
  }
  unsigned char bytes[kPlaneBlock];
  for (size_t k = 0; k < kPlaneBlock; ++k) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte |= ((planes[j][k >> 3] >> (k & 7)) & 1u) << j;
    bytes[k] = static_cast<unsigned char>(byte);
  }
  return CrcUpdateBytewise(0, bytes, kPlaneBlock);
}

uint32_t PlaneUpdate(uint32_t state, const unsigned char* p, size_t length) {
  size_t blocks = length / kPlaneBlock;
  unsigned char first[kPlaneBlock];
  memcpy(first, p, kPlaneBlock);
  for (int i = 0; i < 4; ++i) first[i] ^= static_cast<unsigned char>(state >> (8 * i));
  state = PlaneBlocks(first, p, blocks);
  return CrcUpdatePortable(state, p + blocks * kPlaneBlock, length - blocks * kPlaneBlock);
}

// Asked of the processor directly: the compiler's own detection brings
// some 4 KiB of tables into every program, the updater's room included.
bool AskProcessorForPlaneInstructions() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool pclmul = (ecx & bit_PCLMUL) != 0;
  // AVX registers are usable only where the system saves them (XCR0 bits 1
  // and 2, readable when OSXSAVE is set).
  if (!pclmul || (ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  unsigned xcr0_low = 0;
  unsigned xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0x6) != 0x6) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & bit_AVX2) != 0;
}

bool ProcessorHasPlaneInstructions() {
  static const bool has = AskProcessorForPlaneInstructions();
  return has;
}
#endif

}  // namespace

uint32_t CrcUpdate(uint32_t state, const void* data, size_t length) {
#ifdef QLMR_CRC_PLANES
  if (length >= kPlaneMinimum && ProcessorHasPlaneInstructions()) {
    return PlaneUpdate(state, static_cast<const unsigned char*>(data), length);
  }
#endif
  return CrcUpdatePortable(state, data, length);
}

bool BufferCrc(const void* data, uint32_t length, uint32_t* crc) {
  if (data == nullptr) return false;
  *crc = CrcFinish(CrcUpdate(kCrcInit, data, length));
  return true;
}

namespace {

// Large enough that the CRC, not the system calls, sets the pace.
constexpr uint32_t kChunkSize = 1u << 16;

}  // namespace

bool FileCrc(const char* path, uint32_t* crc, bool excludeTrailer) {
  *crc = 0xFFFFFFFFu;
  File file;
  uint64_t size = 0;
  if (!file.Open(path, FileMode::kRead) || !file.Size(&size)) {
    ReportError(ERR_READ, "winErr=%d", LastSystemError());
    return false;
  }
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunkSize]);
  if (chunk == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kChunkSize);
    return false;
  }
  uint32_t state = kCrcInit;
  uint64_t total = 0;
  for (;;) {
    uint32_t n = 0;
    if (!file.Read(chunk.get(), kChunkSize, &n)) {
      // A CRC over part of the file would be wrong, not merely incomplete.
      ReportError(ERR_READ, "winErr=%d", LastSystemError());
      return false;
    }
    if (n == 0) break;
    total += n;
    bool last = false;
    if (excludeTrailer && size - total <= kCrcTrailerSize) {
      // Drop the bytes of this chunk that lie in the trailer.
      uint64_t in_trailer = total - size + kCrcTrailerSize;
      n = n <= in_trailer ? 0 : static_cast<uint32_t>(n - in_trailer);
      last = true;
    }
    state = CrcUpdate(state, chunk.get(), n);
    if (last) break;
  }
  *crc = CrcFinish(state);
  return true;
}

bool AppendFileCrc(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  uint32_t crc = 0;
  if (!FileCrc(path, &crc, false)) return false;
  File file;
  if (!file.Open(path, FileMode::kReadWrite)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  if (!file.SeekToEnd(nullptr)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint8_t trailer[kCrcTrailerSize];
  StoreLittleEndian32(crc, trailer);
  if (!file.Write(trailer, kCrcTrailerSize)) {
    ReportError(ERR_WRITE, "winErr: %d", LastSystemError());
    return false;
  }
  return true;
}

bool CheckFileCrc(const char* path) {
  uint32_t computed = 0;
  if (!FileCrc(path, &computed, true)) return false;
  File file;
  if (!file.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint64_t size = 0;
  if (!file.Size(&size)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  if (size < kCrcTrailerSize) return false;
  if (!file.Seek(size - kCrcTrailerSize)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint8_t trailer[kCrcTrailerSize];
  uint32_t got = 0;
  if (!file.Read(trailer, kCrcTrailerSize, &got) || got != kCrcTrailerSize) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  return LoadLittleEndian32(trailer) == computed;
}

}  // namespace qlmr
