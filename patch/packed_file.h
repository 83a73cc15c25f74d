// Packing and unpacking a packed patch file ("JZQ1", the content's length,
// the content encoded by LzmaCodec, a CRC trailer) as a stream: memory stays
// at the coders' windows whatever the size of the patch. Internal to the
// patch subsystem.
#pragma once

#include "base/platform.h"

namespace qlmr {

// Reads `source` once, decoding its content into `output` (open for
// writing, at its start) while the CRC over everything before the trailer is
// taken. Succeeds only when the trailer matched, the decoded content has
// exactly the length of the header and the LZMA stream ended there; a damaged
// file is reported as such even when its damage also broke the stream. The
// caller chooses where the content goes and what becomes of it: after a
// failure `output` holds a prefix of the content, never more than the header
// claims, and the caller discards it.
//
// Fails with ERR_READ "winErr=%d" (open) or "WinErr=%d" (read);
// ERR_BAD_DATA "" (12 bytes or less, not "JZQ1"), "File=%s(crc)" (the
// trailer does not match) or "File=%s(size)" (the lengths disagree);
// ERR_CODEC "LZMA decompress[%d]" (the stream cannot be decoded);
// ERR_NO_MEMORY "LZMA decompress=%d" (no memory for the decoder); ERR_WRITE
// "WinErr=%d" (a write to `output`).
bool UnpackPackedFile(const char* source, File* output);

// Zips up to this size are coded plain and behind the x86 converter at once:
// each coder's window is the size of its input, and both together take
// about 100 MiB (about 11 bytes per window byte). Larger ones are coded one
// way after the other with the full window, so that memory stays there
// whatever the size of the package.
constexpr uint32_t kPackBothAtOnceLimit = 4u << 20;

// Writes the packed form of the plain zip `source` to `destination`, which
// may be the same file: the zip's bytes inverted (the content is an inverted
// zip), coded as LzmaCodec codes them (plain and behind the x86 converter,
// the smaller kept, the plain one on a tie; refused, as the codec refuses,
// when that exceeds the codec's bound), word-masked, behind the 8-byte
// header and before the CRC trailer: byte for byte what the codec makes of
// it in memory. The coded forms go to temporary files beside `destination`,
// which is replaced only when whole.
//
// Fails with ERR_READ "winErr=%d" (open) or "WinErr=%d" (read); ERR_NO_MEMORY
// "Size=%d" (over 4 GiB) or "LZMA compress=%d" (no memory for a coder);
// ERR_CODEC "LZMA compress[%d]"; ERR_ACCESS "WinErr=%d" (a temporary file)
// or ERR_WRITE "WinErr=%d".
bool PackPlainFile(const char* source, const char* destination);

}  // namespace qlmr
