// A read-only look into an open archive's tables, for tools that list or
// describe archives (names are not stored, so a listing needs the slots).
// Nothing here changes the archive. Call from the thread that uses the
// archive, while no other thread changes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/pack_archive.h"
#include "pack/pack_format.h"

namespace qlmr {

struct PackSlotInfo {
  uint32_t slot = 0;
  PackHashEntry hash;
  bool hasBlock = false;  // false when the slot names a block the table lacks
  PackBlockEntry block;
};

// The archive's in-memory header. False with ERR_INVALID when it is closed.
bool GetPackHeader(const PackArchive& archive, PackHeader* header);

// Every in-use slot in slot order, with its block. False with ERR_INVALID
// when the archive is closed.
bool ListPackSlots(const PackArchive& archive, std::vector<PackSlotInfo>* slots);

// The in-use slot of `name` (normalised as the archive does), or -1,
// without a report.
int32_t FindPackSlot(const PackArchive& archive, const char* name);
// The same for a key, a name normalised already (as PackListFile keys are).
int32_t FindPackSlotOfKey(const PackArchive& archive, const std::string& key);

// A stream over the file stored in in-use `slot`, for files whose name is
// not known; the same as OpenFile's stream otherwise (release it with
// Release). Null with OpenFile's codes, ERR_INVALID also for a slot out of
// range or not in use.
PackFileStream* OpenPackSlot(PackArchive& archive, uint32_t slot);

// The free extents the archive knows of since it was opened: their number
// and total bytes. False with ERR_INVALID when it is closed.
bool GetPackFreeSpace(const PackArchive& archive, uint32_t* extents, uint64_t* bytes);

}  // namespace qlmr
