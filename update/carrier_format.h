// Layout helpers of the carrier block shared by its reader and writer.
// Internal to update/.
#pragma once

#include <string>

namespace qlmr {

// The patch file's name for a version range: "ql-<from>-<to>.patch".
std::string PatchFileName(const std::string& fromText, const std::string& toText);

// Whether a version text can become part of a file name, so that the patch
// file stays in its folder: no separator ('\\' or '/'), no drive colon, no
// control byte (0x00 to 0x1F, 0x7F), and not made of dots alone. Dots within a
// text are fine. The one rule for the carrier's reader and writer.
bool IsFileNameSafe(const std::string& versionText);

}  // namespace qlmr
