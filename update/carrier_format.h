// Layout helpers of the carrier block shared by its reader and writer.
// Internal to update/.
#pragma once

#include <cstdint>
#include <string>

#include "base/little_endian.h"

namespace qlmr {

// The record by which an updater program names its own carrier offset:
// the tag, then the offset and its complement, each 4 bytes little-endian.
// The complement tells a record from a stray copy of the tag.
constexpr size_t kCarrierMarkerTagSize = 16;
struct CarrierMarker {
  char tag[kCarrierMarkerTagSize];
  uint8_t offset[4];
  uint8_t complement[4];
};
static_assert(sizeof(CarrierMarker) == 24, "the record is stored as it is laid out");
constexpr char kCarrierMarkerTag[kCarrierMarkerTagSize + 1] = "\x89QLMR-CARRIER\r\n\x1a";

// The patch file's name for a version range: "ql-<from>-<to>.patch".
std::string PatchFileName(const std::string& fromText, const std::string& toText);

// Whether a version text can become part of a file name, so that the patch
// file stays in its folder: IsSafeNameText (base/path.h), and not made of
// dots alone. Dots within a text are fine.
bool IsFileNameSafe(const std::string& versionText);

}  // namespace qlmr
