// Reading a control list "(command)" into patch entries, and the checks that
// keep its untrusted names inside the installation folder. Internal to the
// patch subsystem.
#pragma once

#include <string>
#include <vector>

#include "patch/patch_tables.h"

namespace qlmr {

// The entries of `text` in text order. The text ends at its first zero byte;
// lines end at any mix of CR and LF; lines of fewer than five fields are
// skipped. `container` is left unset.
std::vector<PatchEntry> ParseControlList(const char* text);

// The first name of `entries` that IsSafeRelativeName (base/path.h) refuses: a loose
// fileName or a packName. Null when all are safe.
const std::string* FindUnsafeName(const std::vector<PatchEntry>& entries);

// Merges `entry` into the tables: the last line naming a target wins, and a
// loose line whose name has the extension `packExtension` drops the earlier
// lines bound for the pack of that name.
void MergeEntry(PatchTables* tables, const PatchEntry& entry, const std::string& packExtension);

}  // namespace qlmr
