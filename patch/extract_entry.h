// Reading one entry of a patch container, into a file or into memory.
// Internal to the patch subsystem.
#pragma once

#include <cstdint>

#include "patch/patch_tables.h"

namespace qlmr {

// Reads entry `entryName` (backslashes allowed) of `container`, either into
// the file `targetFile` (created with its folders, replacing a file) or, when
// `targetFile` is null, into the process-wide extraction buffer: *data then
// points at the entry's bytes, followed by at least one zero byte, valid
// until the next in-memory extraction. *length receives the entry's size.
//
// An entry the container does not hold counts as empty (length 0, an empty
// file), unless `mustExist` is set: then it fails with code 14 before
// anything is written, since a patch that cannot deliver a file it promises
// is broken.
//
// Codes: 10 (bad arguments); 14 "ziperr=%d" (the entry cannot be read, a
// short read); 9 "Size=%llu" (an entry too large for memory); 3
// "Path=%s, WinErr=%d" (folder) and "File=%s, WinErr=%d" (create);
// 5 "File=%s, WinErr: %d" (write).
bool ExtractEntry(const PatchContainer* container, const char* entryName, const char* targetFile,
                  const uint8_t** data, uint32_t* length, bool mustExist);

// The extraction buffer's current capacity in bytes (it never shrinks).
size_t ExtractionBufferCapacity();

}  // namespace qlmr
