// The pack targets' input form. A pack archive is at least 1.5 MB, nearly
// all of it empty table slots; the fuzzer works on a compact form that
// leaves the empty slots out:
//   - the 40-byte header, as in the file;
//   - u16 n, then n hash slots: u16 slot index, 12 bytes of the slot;
//   - u16 m, then m block entries of 16 bytes (blocks 0 to m-1);
//   - the rest: the data area from its offset on.
// Integers little-endian. Missing parts count as zeros; indexes beyond the
// table are taken modulo its size. scripts/fuzz-seeds.sh makes this form
// from archives written by qlmr-pak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qlmr {
namespace fuzzing {

// The archive file the compact form describes.
std::string ExpandPackInput(const uint8_t* data, size_t size);

}  // namespace fuzzing
}  // namespace qlmr
