// EncodeFile and DecodeFile: a whole file through a codec in memory. The
// result is written to a temporary file beside the destination, which then
// replaces the destination, so that the source survives any failure even
// when it is the destination.
#include "base/codec_file.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/crc.h"
#include "base/error.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"

namespace qlmr {
namespace {

bool IsAbsent(const char* path) { return path == nullptr || path[0] == '\0'; }

std::unique_ptr<uint8_t[]> Allocate(uint32_t size) {
  // At least one byte, so that an empty file still gets a buffer.
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
}

// The result's file beside the destination; ERR_ACCESS "WinErr=%d" on failure.
bool CreateOutput(const char* destination, ReplacingFile* output) {
  if (output->Create(PathFolder(destination).c_str(), kCodecTempPrefix)) return true;
  ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
  return false;
}

// ERR_WRITE "WinErr=%d" on failure.
bool WriteOutput(ReplacingFile* output, const void* data, uint32_t length) {
  if (output->Write(data, length)) return true;
  ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
  return false;
}

// The CRC trailer; ERR_WRITE "winErr: %d" on failure, as when it is appended.
bool WriteTrailer(ReplacingFile* output, uint32_t crc) {
  uint8_t trailer[kCrcTrailerSize];
  StoreLittleEndian32(crc, trailer);
  if (output->Write(trailer, kCrcTrailerSize)) return true;
  ReportError(ERR_WRITE, "winErr: %d", LastSystemError());
  return false;
}

// ERR_WRITE "WinErr=%d" on failure.
bool CommitOutput(ReplacingFile* output, const char* destination) {
  if (output->Commit(destination)) return true;
  ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
  return false;
}

// Checks the arguments (ERR_INVALID), then opens the source and gets its
// size (ERR_READ "winErr=%d").
bool OpenSource(const Codec* codec, const char* source, const char* destination, File* file,
                uint64_t* size) {
  if (codec == nullptr || IsAbsent(source) || IsAbsent(destination)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (file->Open(source, FileMode::kRead) && file->Size(size)) return true;
  ReportError(ERR_READ, "winErr=%d", LastSystemError());
  return false;
}

// Reads exactly `length` bytes; ERR_READ "WinErr=%d" on failure.
bool ReadExactly(File* file, uint8_t* buffer, uint32_t length) {
  uint32_t got = 0;
  if (length == 0 || (file->Read(buffer, length, &got) && got == length)) return true;
  ReportError(ERR_READ, "WinErr=%d", LastSystemError());
  return false;
}

}  // namespace

bool EncodeCodecFile(const Codec* codec, const char* source, const char* destination,
                     uint32_t* sourceSize, const uint8_t* header, uint32_t headerLength,
                     bool appendCrc, uint32_t* encodedLength) {
  File input;
  uint64_t size = 0;
  if (!OpenSource(codec, source, destination, &input, &size)) return false;
  // Sizes are 32-bit throughout the system; a larger file cannot be encoded
  // whole, and cutting it would lose data.
  if (size > UINT32_MAX) {
    ReportError(ERR_NO_MEMORY, "Size=%d", static_cast<int>(static_cast<uint32_t>(size)));
    return false;
  }
  uint32_t length = static_cast<uint32_t>(size);
  if (sourceSize != nullptr) *sourceSize = length;
  uint32_t capacity = codec->MaxEncodedSize(length);
  if (capacity < length) capacity = length;
  std::unique_ptr<uint8_t[]> buffer = Allocate(capacity);
  if (!buffer) {
    ReportError(ERR_NO_MEMORY, "Size=%d", length);
    return false;
  }
  if (!ReadExactly(&input, buffer.get(), length)) return false;
  input.Close();

  if (!codec->Encode(buffer.get(), capacity, &length)) return false;
  if (encodedLength != nullptr) *encodedLength = length;

  ReplacingFile output;
  if (!CreateOutput(destination, &output)) return false;
  if (header == nullptr) headerLength = 0;
  if (!WriteOutput(&output, header, headerLength) || !WriteOutput(&output, buffer.get(), length)) {
    return false;
  }
  if (appendCrc) {
    uint32_t crc = kCrcInit;
    if (headerLength > 0) crc = CrcUpdate(crc, header, headerLength);
    crc = CrcUpdate(crc, buffer.get(), length);
    if (!WriteTrailer(&output, CrcFinish(crc))) return false;
  }
  return CommitOutput(&output, destination);
}

bool DecodeCodecFile(const Codec* codec, const char* source, const char* destination,
                     uint32_t dataOffset, uint32_t decodedSize) {
  File input;
  uint64_t size = 0;
  if (!OpenSource(codec, source, destination, &input, &size)) return false;
  // At least one encoded byte must lie between the header and the trailer.
  if (uint64_t{dataOffset} + kCrcTrailerSize >= size) {
    ReportError(ERR_BAD_DATA, "");
    return false;
  }
  if (dataOffset > 0 && !input.Seek(dataOffset)) {
    ReportError(ERR_SEEK, "pos=%d", dataOffset);
    return false;
  }
  if (size > UINT32_MAX) {
    ReportError(ERR_NO_MEMORY, "Size=%d", static_cast<int>(static_cast<uint32_t>(size)));
    return false;
  }
  uint32_t capacity =
      static_cast<uint32_t>(size) > decodedSize ? static_cast<uint32_t>(size) : decodedSize;
  std::unique_ptr<uint8_t[]> buffer = Allocate(capacity);
  if (!buffer) {
    ReportError(ERR_NO_MEMORY, "Size=%d", capacity);
    return false;
  }
  uint32_t length = static_cast<uint32_t>(size) - dataOffset - kCrcTrailerSize;
  if (!ReadExactly(&input, buffer.get(), length)) return false;
  input.Close();
  // A decodedSize beyond what the codec produced must not write out stale
  // heap memory.
  memset(buffer.get() + length, 0, capacity - length);

  if (!codec->Decode(buffer.get(), capacity, length, 0)) return false;

  ReplacingFile output;
  return CreateOutput(destination, &output) && WriteOutput(&output, buffer.get(), decodedSize) &&
         CommitOutput(&output, destination);
}

}  // namespace qlmr
