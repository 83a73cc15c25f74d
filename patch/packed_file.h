// Unpacking a packed patch file ("JZQ1", the content's length, the content
// encoded by LzmaCodec, a CRC trailer) as a stream: memory stays at the
// decoder's window whatever the size of the patch. Internal to the patch
// subsystem.
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

}  // namespace qlmr
