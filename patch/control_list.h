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

// Whether `name`, a relative path with backslashes or slashes, stays inside
// the folder it is joined to on every platform: one leading separator is
// allowed (the join drops it), but no network path, no drive path, no ".."
// or other component that ends in a dot or a blank, no colon, no reserved
// device name, and not the folder itself.
bool IsSafeRelativeName(const std::string& name);

// The first name of `entries` that IsSafeRelativeName refuses: a loose
// fileName or a packName. Null when all are safe.
const std::string* FindUnsafeName(const std::vector<PatchEntry>& entries);

// Merges `entry` into the tables: the last line naming a target wins, and a
// loose line whose name has the extension `packExtension` drops the earlier
// lines bound for the pack of that name.
void MergeEntry(PatchTables* tables, const PatchEntry& entry, const std::string& packExtension);

}  // namespace qlmr
