#include "patch/packed_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/lzma_buffer.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
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

namespace {

// One coded form of the packer: the source read, inverted and coded behind
// one filter into a temporary file, masked as it goes.
struct PackTry {
  uint8_t filterFlag = kLzmaFilterPlain;
  std::string path;  // the temporary file
  File file;
  uint64_t size = 0;  // of the coded form
  int result = LZMA_RESULT_OK;
  int32_t failure = ERR_NONE;  // a read or write that failed, with its system error
  int systemError = 0;

  static bool Write(void* context, uint64_t position, const uint8_t* data, size_t length) {
    PackTry* self = static_cast<PackTry*>(context);
    // The mask repeats every 4 bytes of the coded form; a copy of each piece
    // is masked from the word it starts in.
    uint8_t masked[kLzmaStreamPiece + 4];
    size_t skew = static_cast<size_t>(position % 4);
    for (size_t done = 0; done < length;) {
      size_t n = std::min(length - done, sizeof masked - skew);
      memcpy(masked + skew, data + done, n);
      XorWordMask(masked, skew + n, LZMA_WORD_MASK);
      if (!self->file.Write(masked + skew, static_cast<uint32_t>(n))) {
        self->failure = ERR_WRITE;
        self->systemError = LastSystemError();
        return false;
      }
      done += n;
      skew = (skew + n) % 4;
    }
    return true;
  }

  void Run(const char* source, uint32_t length) {
    File input;
    if (!input.Open(source, FileMode::kRead)) {
      failure = ERR_READ;
      systemError = LastSystemError();
      return;
    }
    LzmaEncodeStream coder;
    result = coder.Start(length, filterFlag, kLzmaDictionarySize, &PackTry::Write, this);
    std::vector<uint8_t> piece(fmt::kCopyChunkSize);
    for (uint64_t left = length; result == LZMA_RESULT_OK && left > 0;) {
      uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), left));
      uint32_t got = 0;
      if (!input.Read(piece.data(), want, &got) || got != want) {
        failure = ERR_READ;
        systemError = LastSystemError();
        return;
      }
      for (uint8_t& byte : piece) byte = static_cast<uint8_t>(~byte);
      result = coder.Feed(piece.data(), want);
      left -= want;
    }
    if (result == LZMA_RESULT_OK) result = coder.Finish();
    size = coder.EncodedSize();
  }
};

}  // namespace

bool PackPlainFile(const char* source, const char* destination) {
  File input;
  uint64_t size = 0;
  if (!input.Open(source, FileMode::kRead) || !input.Size(&size)) {
    ReportError(ERR_READ, "winErr=%d", LastSystemError());
    return false;
  }
  input.Close();
  if (size > UINT32_MAX) {
    ReportError(ERR_NO_MEMORY, "Size=%d", static_cast<int>(static_cast<uint32_t>(size)));
    return false;
  }
  const uint32_t length = static_cast<uint32_t>(size);
  std::string folder = PathFolder(destination);
  if (folder.empty()) folder = ".";
  PackTry tries[2];
  tries[1].filterFlag = kLzmaFilterX86;
  struct TempFiles {
    PackTry* tries;
    ~TempFiles() {
      for (int i = 0; i < 2; ++i) {
        tries[i].file.Close();
        if (!tries[i].path.empty()) RemoveFileAt(tries[i].path.c_str());
      }
    }
  } temps{tries};
  for (PackTry& attempt : tries) {
    if (!CreateUniqueTempFile(folder.c_str(), kCodecTempPrefix, &attempt.path) ||
        !attempt.file.Open(attempt.path.c_str(), FileMode::kCreate)) {
      ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
      return false;
    }
  }
  // The x86 form on a thread of its own when both fit in memory at once, or
  // after the plain one (also when no thread starts).
  std::thread helper;
  if (length <= kPackBothAtOnceLimit) {
    try {
      helper = std::thread([&] { tries[1].Run(source, length); });
    } catch (const std::system_error&) {
    }
  }
  tries[0].Run(source, length);
  if (helper.joinable()) {
    helper.join();
  } else {
    tries[1].Run(source, length);
  }
  for (const PackTry& attempt : tries) {
    if (attempt.failure != ERR_NONE) {
      ReportError(attempt.failure, "WinErr=%d", attempt.systemError);
      return false;
    }
    if (attempt.result == LZMA_RESULT_NO_MEMORY) {
      ReportError(ERR_NO_MEMORY, "LZMA compress=%d", length);
      return false;
    }
  }
  // As the codec: the smaller form within its bound, the plain one on a tie.
  const Codec* codec = GetCodecRegistry().Find(fmt::kPackedCodec);
  if (codec == nullptr) return false;
  uint64_t bound = std::max(codec->MaxEncodedSize(length), length);
  const PackTry* best = nullptr;
  for (const PackTry& attempt : tries) {
    if (attempt.result != LZMA_RESULT_OK || attempt.size > bound) continue;
    if (best == nullptr || attempt.size < best->size) best = &attempt;
  }
  if (best == nullptr) {
    ReportError(ERR_CODEC, "LZMA compress[%d]",
                tries[0].result != LZMA_RESULT_OK ? tries[0].result : LZMA_RESULT_OUTPUT_FULL);
    return false;
  }

  // The header, the chosen form and the CRC trailer over both.
  ReplacingFile output;
  File coded;
  if (!output.Create(folder.c_str(), kCodecTempPrefix)) {
    ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
    return false;
  }
  uint8_t header[fmt::kHeaderSize];
  StoreLittleEndian32(fmt::kPackedMagic, header);
  StoreLittleEndian32(length, header + fmt::kPackedSizeOffset);
  uint32_t crc = CrcUpdate(kCrcInit, header, sizeof header);
  if (!output.Write(header, sizeof header)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  tries[0].file.Close();
  tries[1].file.Close();
  if (!coded.Open(best->path.c_str(), FileMode::kRead)) {
    ReportError(ERR_READ, "winErr=%d", LastSystemError());
    return false;
  }
  std::vector<uint8_t> piece(fmt::kCopyChunkSize);
  for (uint64_t left = best->size; left > 0;) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), left));
    uint32_t got = 0;
    if (!coded.Read(piece.data(), want, &got) || got != want) {
      ReportError(ERR_READ, "WinErr=%d", LastSystemError());
      return false;
    }
    crc = CrcUpdate(crc, piece.data(), want);
    if (!output.Write(piece.data(), want)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return false;
    }
    left -= want;
  }
  coded.Close();
  uint8_t trailer[kCrcTrailerSize];
  StoreLittleEndian32(CrcFinish(crc), trailer);
  if (!output.Write(trailer, sizeof trailer) || !output.Commit(destination)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  return true;
}

}  // namespace qlmr
