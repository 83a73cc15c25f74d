// The positional mask: the key stream of masked patch containers and of
// compression type 1, and rewriting a whole file masked.
//
// All functions are stateless and may run on any thread; two threads must not
// rewrite the same file at once. Failures are reported through the error
// state (base/error.h) with the codes named below and return false. Paths are
// the system's names (base/platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qlmr {

// The mask byte of a byte position; only the low 8 bits of the position
// matter, so the mask repeats every 256 positions.
uint8_t PositionalMask(uint32_t position);

// XORs byte i of `data` with PositionalMask(position + i). Its own inverse.
void MaskBuffer(void* data, size_t length, uint32_t position);

// Rewrites a file through a temporary copy (a new unique name in the
// temporary folder): every byte XORed with its positional mask, or
// complemented when `invert` is set. With `excludeTrailer` the last 4 bytes
// are dropped. Fails with ERR_ACCESS "File=%s, WinErr=%d" (opening the file,
// or creating the copy, which the message then names), ERR_INVALID
// "File=%s(too small)" (4 bytes or fewer with `excludeTrailer`), ERR_WRITE
// "WinErr=%d" (reading the file, writing the copy, or moving it over the
// file: reads report ERR_WRITE too) or ERR_NO_MEMORY "Size=%u" (its copy
// buffer). The file is replaced only after the whole copy was written, so
// after a failure it is as it was; no temporary file is left.
bool MaskFileInPlace(const char* path, bool excludeTrailer, bool invert);

}  // namespace qlmr
