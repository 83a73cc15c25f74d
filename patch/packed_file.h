// Unpacking a packed patch file ("JZQ1", the content's length, the content
// encoded by LzmaCodec, a CRC trailer) into a file, as a stream: memory stays
// at the decoder's window whatever the size of the patch. Internal to the
// patch subsystem.
#pragma once

namespace qlmr {

// Reads `source` once: the CRC over everything before the trailer is taken
// while the content is decoded into a temporary file beside `destination`,
// which replaces `destination` only when the trailer matched, the decoded
// content has exactly the length of the header and the LZMA stream ended
// there. On failure `destination` is as it was and no temporary file stays;
// a damaged file is reported as such even when its damage also broke the
// stream. `source` and `destination` may be the same file.
//
// Codes: 4 "winErr=%d" (open), "WinErr=%d" (read); 2 "" (12 bytes or less,
// not "JZQ1"), "File=%s(crc)" (the trailer does not match),
// "File=%s(size)" (the lengths disagree); 19 "LZMA decompress[%d]" (the
// stream cannot be decoded); 9 "LZMA decompress=%d" (no memory for the
// decoder); 3 "WinErr=%d" (create) and 5 "WinErr=%d" (write, flush, move).
bool UnpackPackedFile(const char* source, const char* destination);

}  // namespace qlmr
