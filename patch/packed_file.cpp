#include "patch/packed_file.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/codec_format.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/lzma_buffer.h"
#include "base/platform.h"
#include "patch/patch_format.h"

namespace qlmr {
namespace {

namespace fmt = patch_format;

// Where the decoded content goes: the output, never past the claimed length.
struct CopyOut {
  File* output;
  uint32_t claimed;
  uint64_t written = 0;
  bool writeFailed = false;

  static bool Write(void* context, const uint8_t* data, size_t length) {
    CopyOut* self = static_cast<CopyOut*>(context);
    // More than the header promises is refused before it reaches the disk.
    if (self->written + length > self->claimed) return false;
    self->written += length;
    if (self->output->Write(data, static_cast<uint32_t>(length))) return true;
    self->writeFailed = true;
    return false;
  }
};

}  // namespace

bool UnpackPackedFile(const char* source, File* output) {
  File input;
  uint64_t size = 0;
  if (!input.Open(source, FileMode::kRead) || !input.Size(&size)) {
    ReportError(ERR_READ, "winErr=%d", LastSystemError());
    return false;
  }
  uint8_t header[fmt::kHeaderSize];
  uint32_t got = 0;
  if (size <= fmt::kPackedDataOffset + kCrcTrailerSize) {
    ReportError(ERR_BAD_DATA, "");
    return false;
  }
  if (!input.Read(header, fmt::kHeaderSize, &got) || got != fmt::kHeaderSize) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  if (LoadLittleEndian32(header) != fmt::kPackedMagic) {
    ReportError(ERR_BAD_DATA, "");
    return false;
  }
  uint32_t claimed = LoadLittleEndian32(header + fmt::kPackedSizeOffset);

  LzmaDecodeStream decoder;
  CopyOut copy{output, claimed};
  uint32_t crc = CrcUpdate(kCrcInit, header, fmt::kHeaderSize);
  const uint64_t dataEnd = size - kCrcTrailerSize;
  uint64_t position = fmt::kHeaderSize;
  // Pieces are a multiple of 4 bytes, so every piece starts on a word of the
  // codec's mask.
  std::vector<uint8_t> piece(fmt::kCopyChunkSize);
  int decodeResult = LZMA_RESULT_OK;
  while (position < dataEnd) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), dataEnd - position));
    if (!input.Read(piece.data(), want, &got) || got != want) {
      ReportError(ERR_READ, "WinErr=%d", LastSystemError());
      return false;
    }
    crc = CrcUpdate(crc, piece.data(), want);
    position += want;
    // After a decoding failure the rest is still read, for the CRC: a
    // damaged download must be told apart from a bad encoder.
    if (decodeResult == LZMA_RESULT_OK) {
      XorWordMask(piece.data(), want, LZMA_WORD_MASK);
      decodeResult = decoder.Feed(piece.data(), want, &CopyOut::Write, &copy);
      if (copy.writeFailed) {
        ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
        return false;
      }
    }
  }
  uint8_t trailer[kCrcTrailerSize];
  if (!input.Read(trailer, kCrcTrailerSize, &got) || got != kCrcTrailerSize) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  input.Close();
  if (CrcFinish(crc) != LoadLittleEndian32(trailer)) {
    ReportError(ERR_BAD_DATA, "File=%s(crc)", source);
    return false;
  }
  if (decodeResult == LZMA_RESULT_OK) decodeResult = decoder.Finish();
  if ((decoder.HasHeader() && decoder.DecodedSize() != claimed) ||
      decodeResult == LZMA_RESULT_OUTPUT_FAILED) {
    ReportError(ERR_BAD_DATA, "File=%s(size)", source);
    return false;
  }
  if (decodeResult == LZMA_RESULT_NO_MEMORY) {
    ReportError(ERR_NO_MEMORY, "LZMA decompress=%d", claimed);
    return false;
  }
  if (decodeResult != LZMA_RESULT_OK) {
    ReportError(ERR_CODEC, "LZMA decompress[%d]", decodeResult);
    return false;
  }
  return true;
}

}  // namespace qlmr
