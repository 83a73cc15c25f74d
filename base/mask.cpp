// The positional mask: the key stream of masked patch containers and of
// compression type 1. Changing any constant here makes every masked file
// unreadable, so they are fixed for good.
#include "base/mask.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/crc.h"
#include "base/error.h"
#include "base/platform.h"
#include "base/replacing_file.h"

namespace qlmr {
namespace {

// Mask byte of position p: kMaskTable[(p * kMaskMultiplier + kMaskAddend)
// mod 256] XOR kMaskConstant. The multiplier is odd, so the index runs
// through all 256 table bytes.
constexpr uint8_t kMaskMultiplier = 0x9B;
constexpr uint8_t kMaskAddend = 0x3D;
constexpr uint8_t kMaskConstant = 0xC5;
constexpr uint8_t kMaskTable[256] = {
    0x1D, 0x6F, 0x10, 0xFD, 0xD9, 0x4A, 0x00, 0xD0, 0xDA, 0x4B, 0xBD, 0x6B, 0x21, 0x1B, 0x8C, 0x84,
    0x33, 0xAD, 0x48, 0x0C, 0x74, 0x89, 0x9B, 0x7A, 0xCD, 0xA1, 0x18, 0xB4, 0x2A, 0xCF, 0xF3, 0x65,
    0x49, 0xDB, 0x43, 0xEE, 0xAE, 0x32, 0x7F, 0xC2, 0xE9, 0x42, 0x30, 0x64, 0x6D, 0x3F, 0x3C, 0x7E,
    0x7D, 0xFE, 0x5A, 0x2B, 0x46, 0x38, 0xD8, 0x0E, 0xB0, 0xF4, 0xD4, 0x8B, 0x4C, 0xC9, 0x54, 0x2D,
    0xA4, 0x51, 0xC3, 0x98, 0x86, 0x97, 0xBA, 0xA8, 0x5C, 0xD3, 0xCE, 0x2C, 0xC6, 0x03, 0x4F, 0x1F,
    0xE4, 0xCB, 0x4D, 0x0A, 0x27, 0xDF, 0xC8, 0x95, 0x24, 0x7C, 0xD7, 0x3D, 0xF9, 0x78, 0xD5, 0xE1,
    0x57, 0x29, 0xAA, 0x8D, 0xA7, 0x0B, 0x8F, 0x90, 0x25, 0x80, 0x22, 0x1C, 0x44, 0x41, 0x23, 0x53,
    0xD1, 0x9F, 0x59, 0x76, 0x7B, 0x14, 0xE6, 0x85, 0x0F, 0xE8, 0x67, 0xD6, 0x66, 0x02, 0xDD, 0xBF,
    0x6C, 0x2F, 0xBC, 0x01, 0xF5, 0x56, 0xE5, 0x3E, 0xB7, 0xB2, 0x3B, 0xBE, 0x50, 0x47, 0xC7, 0x06,
    0x37, 0xE3, 0xF0, 0x94, 0xB5, 0xA2, 0xDC, 0x69, 0x17, 0x62, 0x93, 0x13, 0x60, 0x5D, 0x82, 0x88,
    0x91, 0x9A, 0x2E, 0xCC, 0x58, 0x8E, 0x52, 0x99, 0x79, 0x55, 0x20, 0xA6, 0x83, 0xB9, 0x09, 0x6E,
    0x70, 0x04, 0x92, 0x12, 0xFB, 0xF7, 0xB8, 0x5F, 0x40, 0x81, 0x45, 0xA9, 0xEC, 0xF8, 0x5B, 0xF1,
    0x6A, 0x19, 0xAB, 0x39, 0xEB, 0x05, 0x71, 0xE7, 0xAF, 0xED, 0x11, 0x5E, 0x63, 0x36, 0xD2, 0x9C,
    0x9E, 0x07, 0x28, 0x3A, 0xCA, 0x31, 0xFC, 0x16, 0x08, 0xB3, 0x4E, 0xEF, 0xDE, 0xAC, 0x8A, 0x1A,
    0x15, 0x26, 0x96, 0xA3, 0x35, 0x9D, 0xFF, 0x72, 0xB6, 0xC0, 0xC5, 0x73, 0x1E, 0xBB, 0xC1, 0x68,
    0xB1, 0xE0, 0x77, 0x34, 0x87, 0x75, 0xF6, 0xA0, 0x0D, 0xA5, 0xC4, 0x61, 0xFA, 0xEA, 0xF2, 0xE2};

constexpr uint8_t MaskAt(uint32_t position) {
  return kMaskTable[static_cast<uint8_t>(position * kMaskMultiplier + kMaskAddend)] ^ kMaskConstant;
}

// Two periods of the key stream, so that the 256 mask bytes from any starting
// offset are contiguous.
constexpr size_t kPeriod = 256;
struct KeyStream {
  alignas(64) uint8_t bytes[2 * kPeriod];
};

constexpr KeyStream MakeKeyStream() {
  KeyStream key{};
  for (uint32_t i = 0; i < 2 * kPeriod; ++i) key.bytes[i] = MaskAt(i);
  return key;
}

constexpr KeyStream kKeyStream = MakeKeyStream();

// 16 bytes XORed as one: the compilers turn this into vector instructions
// where the target has them, at every optimisation level, which the
// byte loop only gets from the auto-vectoriser.
typedef uint8_t Block16 __attribute__((vector_size(16)));

// One whole period: the same 256 key bytes apply to every period.
inline void XorPeriod(uint8_t* p, const uint8_t* key) {
  for (size_t i = 0; i < kPeriod; i += sizeof(Block16)) {
    Block16 data;
    Block16 mask;
    memcpy(&data, p + i, sizeof data);
    memcpy(&mask, key + i, sizeof mask);
    data ^= mask;
    memcpy(p + i, &data, sizeof data);
  }
}

}  // namespace

uint8_t PositionalMask(uint32_t position) { return MaskAt(position); }

void MaskBuffer(void* data, size_t length, uint32_t position) {
  uint8_t* p = static_cast<uint8_t*>(data);
  const uint8_t* key = kKeyStream.bytes + (position & 0xFFu);
  for (; length >= kPeriod; length -= kPeriod, p += kPeriod) XorPeriod(p, key);
  for (size_t i = 0; i < length; ++i) p[i] ^= key[i];
}

namespace {

// Large enough that the mask, not the system calls, sets the pace.
constexpr uint32_t kChunkSize = 1u << 16;

// Prefix of MaskFileInPlace's temporary copies.
constexpr char kMaskTempPrefix[] = "qmk";

}  // namespace

bool MaskFileInPlace(const char* path, bool excludeTrailer, bool invert) {
  File source;
  if (!source.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  // A name of its own in the temporary folder: two processes rewriting files
  // of the same name must not share one copy.
  std::string tempFolder = TempFolderPath();
  ReplacingFile copy;
  if (!copy.Create(tempFolder.c_str(), kMaskTempPrefix)) {
    const std::string& named = copy.tempPath().empty() ? tempFolder : copy.tempPath();
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", named.c_str(), LastSystemError());
    return false;
  }
  uint64_t size = 0;
  if (!source.Size(&size)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  uint64_t limit = size;
  if (excludeTrailer) {
    if (size <= kCrcTrailerSize) {
      ReportError(ERR_INVALID, "File=%s(too small)", path);
      return false;
    }
    limit = size - kCrcTrailerSize;
  }
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunkSize]);
  if (chunk == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kChunkSize);
    return false;
  }
  uint64_t done = 0;
  while (done < limit) {
    uint32_t n = 0;
    if (!source.Read(chunk.get(), kChunkSize, &n)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return false;
    }
    if (done + n > limit) n = static_cast<uint32_t>(limit - done);
    if (n == 0) break;
    if (invert) {
      for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(~chunk[i]);
    } else {
      MaskBuffer(chunk.get(), n, static_cast<uint32_t>(done));
    }
    if (!copy.Write(chunk.get(), n)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return false;
    }
    done += n;
  }
  source.Close();
  if (!copy.Commit(path)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  return true;
}

}  // namespace qlmr
