// Layout helpers of the carrier block shared by its reader and writer.
// Internal to update/.
#pragma once

#include <string>

namespace qlmr {

// The patch file's name for a version range: "ql-<from>-<to>.patch".
std::string PatchFileName(const std::string& fromText, const std::string& toText);

// Whether a version text can become part of a file name: no separator, no
// drive colon and no "..", so the patch file stays in its folder.
bool IsFileNameSafe(const std::string& versionText);

}  // namespace qlmr
