// The carrier: the updater's executable carries its patch in a block at the
// fixed offset kCarrierOffset: two length-prefixed version texts and the patch
// data up to the end of the file. ExtractEmbeddedPatch copies the data into
// the temporary folder; WriteCarrier makes such a file.
//
// Stateless; any thread. Texts are code page 936.
#pragma once

#include <cstdint>
#include <string>

#include "update/version.h"

namespace qlmr {

// The start of the name of the folder, private to one run of the updater
// (base/run_folder.h), that receives the extracted patch in the temporary
// folder.
constexpr const char* kPatchTempFolderName = "~qlmrPatch";

// Where the block starts: the length of the updater's executable before the
// block was appended. Set at build time (QLMR_CARRIER_OFFSET); the build
// fails when the updater does not fit below it.
#ifndef QLMR_CARRIER_OFFSET
#error "QLMR_CARRIER_OFFSET must be defined by the build"
#endif
constexpr uint32_t kCarrierOffset = QLMR_CARRIER_OFFSET;

// The offset this program's own marker record names (kCarrierOffset). The
// record stays in the executable, where ReadCarrierOffset finds it.
uint32_t OwnCarrierOffset();

// The carrier offset that the updater program `updaterPath` names in its
// marker record, so that a release tool wraps any build of the updater (for
// Linux or Windows, of any offset) at the right place. The first record whose
// complement matches and whose offset lies past the record counts. Fails
// with ERR_ACCESS "File=%s, WinErr=%d" (open), ERR_READ "WinErr=%d",
// ERR_NO_MEMORY "Size=%u" (its search buffer) or ERR_BAD_DATA
// "File=%s(no carrier offset)" (no such record in the file).
bool ReadCarrierOffset(const char* updaterPath, uint64_t* offset);

// A length field of the block must be below this; the stored texts count
// their terminating zero byte, so a version text has at most 30 characters.
constexpr uint32_t kCarrierTextLimit = 32;

struct EmbeddedPatch {
  std::string fromVersionText;  // as stored, up to its first zero byte
  VersionInfo fromVersion;
  std::string toVersionText;
  VersionInfo toVersion;
  std::string patchPath;  // the extracted patch file
};

// Reads the block at `offset` of `executablePath` and copies the patch data
// to "ql-<from>-<to>.patch" in a new run folder "~qlmrPatch<16 hex
// digits>.tmp" of `tempFolder`, private to this user, after removing the run
// folders that earlier runs left there (base/run_folder.h). Fills `patch` as
// far as it got. False, without a report, when the file cannot be read, ends
// at or before `offset` or inside a version text, has a length field of 32 or
// more, names a version that cannot be part of a file name (a separator, a
// drive colon, a control byte, or dots alone), or when no run folder can be
// made or the patch file cannot be created or closed; false with ERR_READ or
// ERR_WRITE "WinErr=%d" when copying the data fails. A patch file cut short
// by a failure is left in place, for a later run to remove. Data without a
// patch gives an empty patch file.
bool ExtractEmbeddedPatch(const char* executablePath, uint64_t offset,
                          const std::string& tempFolder, EmbeddedPatch* patch);

// Writes `outPath`: the executable `updaterPath` padded with zero bytes up to
// `offset`, then the block with `fromText`, `toText` (each stored with its
// terminating zero byte) and the content of `patchPath`. The file is written
// through a temporary copy, so `outPath` is replaced only when whole and is
// as it was after any failure. Fails with ERR_INVALID "File=%s(too large)"
// (the updater is longer than `offset`), "Version=%s" (empty, 31 characters
// or more, or not usable in a file name) or "Version=%s-%s" (the two texts
// differ in language, or `fromText` is not older than `toText`); ERR_ACCESS
// "File=%s, WinErr=%d" (opening the updater or the patch, or creating the
// copy beside `outPath`, which the message then names); ERR_READ
// "WinErr=%d"; ERR_WRITE "WinErr=%d" (writing the copy or moving it into
// place); ERR_NO_MEMORY "Size=%u" (a copy buffer).
bool WriteCarrier(const char* updaterPath, const char* fromText, const char* toText,
                  const char* patchPath, const char* outPath, uint64_t offset);

}  // namespace qlmr
