// File utilities: the system's CRC and CRC trailers, the positional mask,
// rewriting a file through a temporary copy, folder chains, path comparison,
// name normalisation and file sizes.
//
// All functions are stateless and may run on any thread; two threads must not
// rewrite the same file at once. Failures are reported through the error
// state (base/error.h) with the codes named below and return false (or 0).
// Paths are the system's names (base/platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qlmr {

// --- CRC -------------------------------------------------------------------
//
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

// CRC of `length` bytes. False (crc untouched) only when data is null.
bool BufferCrc(const void* data, uint32_t length, uint32_t* crc);

// CRC of a file, or with `excludeTrailer` of all but its last 4 bytes (of
// nothing when the file has 4 bytes or less). On failure *crc is 0xFFFFFFFF
// and code 4 "winErr=%d" is reported.
bool FileCrc(const char* path, uint32_t* crc, bool excludeTrailer);

// Appends the CRC trailer: the CRC of the whole file, 4 bytes little-endian.
// Codes: 10 (no path); FileCrc's; 3 "File=%s, WinErr=%d" (open);
// 6 "File=%s, WinErr=%d" (seek); 5 "winErr: %d" (write).
bool AppendFileCrc(const char* path);

// True when the file ends in a trailer that matches the CRC of the bytes
// before it. A mismatch, or a file shorter than 4 bytes, gives false without
// a report. Codes: FileCrc's; 3 and 6 "File=%s, WinErr=%d"; 4 "WinErr=%d".
bool CheckFileCrc(const char* path);

// --- Positional mask -------------------------------------------------------

// The mask byte of a byte position; only the low 8 bits of the position
// matter, so the mask repeats every 256 positions.
uint8_t PositionalMask(uint32_t position);

// XORs byte i of `data` with PositionalMask(position + i). Its own inverse.
void MaskBuffer(void* data, size_t length, uint32_t position);

// Rewrites a file through a temporary copy (a new unique name in the
// temporary folder): every byte
// XORed with its positional mask, or complemented when `invert` is set. With
// `excludeTrailer` the last 4 bytes are dropped. The file is replaced only
// after the whole copy was written; no temporary file is left on failure.
// Codes: 3 "File=%s, WinErr=%d" (source, then temporary file);
// 10 "File=%s(too small)"; 5 "WinErr=%d" (read, write or final move).
bool MaskFileInPlace(const char* path, bool excludeTrailer, bool invert);

// --- Folders, paths, names -------------------------------------------------

// Creates the folder and every missing folder above it. True when it exists
// afterwards. Reports nothing.
bool CreateFolderChain(const char* path);

// 0 when both paths name the same file system object: equal after trimming
// blanks and one trailing separator, ignoring ASCII case, or one existing
// object however spelled (IsSameFileObject of base/platform.h), or equal in
// their short forms. Otherwise the case-insensitive comparison value.
int ComparePaths(const char* a, const char* b);

// Copies `in` to `out` (which holds strlen(in) + 1 bytes), with 'A'..'Z'
// lower-cased when `lower` is set and '\' made '/' when `slash` is set. Both
// bytes of a double-byte character are kept as they are.
void NormalizeName(char* out, const char* in, bool lower, bool slash);
// The same for std::string; the key form of names uses both flags.
std::string NormalizeName(const std::string& in, bool lower = true, bool slash = true);

// Size of a file (low 32 bits); 0 for an empty path or a file that cannot be
// opened, without a report.
uint32_t FileSizeOf(const char* path);

}  // namespace qlmr
