// The system's CRC-32 and the CRC trailer of files.
//
// All functions are stateless and may run on any thread. Failures are
// reported through the error state (base/error.h) with the codes named below
// and return false. Paths are the system's names (base/platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qlmr {

// The reflected CRC-32 (polynomial 0xEDB88320) over CrcTable: the standard
// table with entries 64..127 and 128..191 exchanged. Results therefore differ
// from the standard CRC-32 and must be computed with these functions.

extern const uint32_t CrcTable[256];

// Running CRC state: start with kCrcInit, feed bytes with CrcUpdate, finish
// with CrcFinish. Suitable for content that arrives in pieces.
constexpr uint32_t kCrcInit = 0xFFFFFFFFu;
uint32_t CrcUpdate(uint32_t state, const void* data, size_t length);
inline uint32_t CrcFinish(uint32_t state) { return ~state; }

// The reference form: one table lookup per byte. Same results as CrcUpdate;
// kept for tests and as the definition.
uint32_t CrcUpdateBytewise(uint32_t state, const void* data, size_t length);
// The word-wise form that CrcUpdate falls back on where the processor lacks
// the vector and carry-less multiply instructions of its faster form. Same
// results; kept for tests, so that both forms are checked on any machine.
uint32_t CrcUpdatePortable(uint32_t state, const void* data, size_t length);

// CRC of `length` bytes. False (crc untouched) only when data is null.
bool BufferCrc(const void* data, uint32_t length, uint32_t* crc);

// The CRC trailer that ends a file: its CRC, little-endian.
constexpr uint32_t kCrcTrailerSize = 4;

// CRC of a file, or with `excludeTrailer` of all but its last 4 bytes (of
// nothing when the file has 4 bytes or less). Fails with ERR_READ
// "winErr=%d" (open, size or read) or ERR_NO_MEMORY "Size=%u" (its read
// buffer), *crc then 0xFFFFFFFF.
bool FileCrc(const char* path, uint32_t* crc, bool excludeTrailer);

// Appends the CRC trailer: the CRC of the whole file, 4 bytes little-endian.
// Fails with ERR_INVALID (no path), FileCrc's ERR_READ, ERR_ACCESS
// "File=%s, WinErr=%d" (open for writing), ERR_SEEK "File=%s, WinErr=%d"
// (seek to the end) or ERR_WRITE "winErr: %d". The file is then unchanged,
// except that a failed write may have appended part of the trailer.
bool AppendFileCrc(const char* path);

// True when the file ends in a trailer that matches the CRC of the bytes
// before it. A mismatch, or a file shorter than 4 bytes, gives false without
// a report. Fails with FileCrc's ERR_READ, ERR_ACCESS "File=%s, WinErr=%d"
// (open), ERR_SEEK "File=%s, WinErr=%d" (size, or seek to the trailer) or
// ERR_READ "WinErr=%d" (reading the trailer).
bool CheckFileCrc(const char* path);

}  // namespace qlmr
