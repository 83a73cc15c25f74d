// Bringing an archive's list file back in step with what the archive
// stores, after a write that did not finish: a writer names its new files
// in the list before it stores them and removes files before it drops them
// from the list, so a list left behind names every stored file but may name
// files that are not stored (yet, or any more) or give a replaced file's
// old size and CRC. Reading what is stored settles each entry.
//
// Reads through the archive's streams; changes nothing on disk. Call from
// the thread that uses the archive, while no other thread changes it.
#pragma once

#include <cstddef>
#include <string>

#include "pack/pack_archive.h"
#include "pack/pack_list_file.h"

namespace qlmr {

// What settling a list found and did.
struct PackListRepair {
  size_t dropped = 0;     // entries of files that are not stored
  size_t corrected = 0;   // entries whose size or CRC was not the stored file's
  size_t unreadable = 0;  // entries of stored files that cannot be decoded: kept as they are
  size_t unlisted = 0;    // stored files no entry names (their names are unknown): kept
  bool changed() const { return dropped > 0 || corrected > 0; }
};

// Settles the entry of `name`: dropped when the archive does not store it,
// else set to the stored file's content size and CRC. A stored file that
// cannot be decoded keeps its entry. Counts into `repair`. The list file's
// own name is never listed.
void SettlePackListEntry(PackArchive& archive, const std::string& name, PackListFile* list,
                         PackListRepair* repair);

// Settles every entry, then counts the stored files that no entry names.
// False with ERR_INVALID when the archive is closed.
bool SettlePackList(PackArchive& archive, PackListFile* list, PackListRepair* repair);

}  // namespace qlmr
