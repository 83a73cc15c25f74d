// Reading one entry of a patch container, into a file or into memory.
// Internal to the patch subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/patch_format.h"
#include "patch/patch_tables.h"

namespace qlmr {

// Reads entry `entryName` (backslashes allowed) of `container`, either into
// the file `targetFile` (created with its folders, replacing a file) or, when
// `targetFile` is null, into the process-wide extraction buffer: *data then
// points at the entry's bytes, followed by at least one zero byte, valid
// until the next in-memory extraction. *length receives the entry's size.
//
// An entry the container does not hold counts as empty (length 0, an empty
// file), unless `mustExist` is set: then it fails with ERR_ZIP before
// anything is written, since a patch that cannot deliver a file it promises
// is broken.
//
// Nothing damaged gets out: the sizes the directory claims are checked before
// anything is allocated or created (CheckEntryClaims; in memory the limit is
// `sizeLimit`, at most kMaxInMemoryEntry), and the data must arrive with the
// directory's size and CRC-32. A file is written under a temporary name beside
// the target and replaces it only then; on failure the target is as it was
// and no temporary file is left. In memory, the buffer's content after a
// failure is unspecified. The temporary name is the target's with
// patch_format::kLooseTempSuffix; the new content is not flushed before it
// replaces the target: the caller makes its writes durable together.
//
// Fails with ERR_INVALID (bad arguments); ERR_ZIP "ziperr=%d" (a missing
// entry that must exist, or one that cannot be opened or read or reads
// short); ERR_BAD_DATA "Entry=%s(size)" (impossible sizes) or
// "Entry=%s(crc)" (the data does not match its CRC); ERR_NO_MEMORY
// "Size=%llu" (an entry too large for memory or for the system's 32-bit
// sizes, or no memory for it); ERR_ACCESS "Path=%s, WinErr=%d" (a folder)
// or "File=%s, WinErr=%d" (the target is a folder, or the temporary file
// cannot be created); ERR_WRITE "File=%s, WinErr: %d, %s" (write, flush or
// the final move).
bool ExtractEntry(const PatchContainer* container, const char* entryName, const char* targetFile,
                  const uint8_t** data, uint32_t* length, bool mustExist,
                  uint64_t sizeLimit = patch_format::kMaxInMemoryEntry);

// ExtractEntry into `targetFile` for an entry that must exist, with the new
// content flushed to the device before it replaces the target: for a file
// that must never be seen short, whatever happens after.
bool ExtractEntryDurably(const PatchContainer* container, const char* entryName,
                         const char* targetFile);

// ExtractEntry into memory for a thread other than the one that applies:
// through `zip`, a directory of the container's file that the calling thread
// opened itself (a directory serves one thread), into `bytes`, which ends up
// holding exactly the entry's bytes. The entry must exist. Fails as
// ExtractEntry does.
bool ExtractEntryInto(ZipDirectory* zip, const char* entryName, std::vector<uint8_t>* bytes,
                      uint64_t sizeLimit = patch_format::kMaxInMemoryEntry);

// Writes `length` bytes at `data`, an entry's content read ahead with
// ExtractEntryInto, to `targetFile` as ExtractEntry writes a file: the
// folders made, a temporary file beside the target written in the same
// pieces and moved over it, not flushed. Fails with ExtractEntry's
// ERR_INVALID, ERR_ACCESS and ERR_WRITE; the target is then as it was.
bool WriteExtractedEntry(const char* targetFile, const uint8_t* data, uint32_t length);

// The extraction buffer's current capacity in bytes (it never shrinks).
size_t ExtractionBufferCapacity();

}  // namespace qlmr
