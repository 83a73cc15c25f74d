#include "pack/pack_list_repair.h"

#include <vector>

#include "base/error.h"
#include "pack/pack_inspect.h"

namespace qlmr {

void SettlePackListEntry(PackArchive& archive, const std::string& name, PackListFile* list,
                         PackListRepair* repair) {
  if (!archive.HasFile(name.c_str())) {
    if (list->Remove(name)) ++repair->dropped;
    return;
  }
  PackFileStream* stream = archive.OpenFile(name.c_str());
  if (stream == nullptr) {
    ++repair->unreadable;
    return;
  }
  // 0xFFFFFFFF is both a CRC and GetCrc's failure: only a report made during
  // this read tells them apart.
  ReportError(ERR_NONE, "");
  uint32_t crc = stream->GetCrc();
  bool readable = crc != 0xFFFFFFFFu || LastErrorCode() == ERR_NONE;
  PackListEntry stored{name, stream->GetSize(), crc};
  stream->Release();
  if (!readable) {
    ++repair->unreadable;
    return;
  }
  const PackListEntry* listed = list->Lookup(name);
  if (listed != nullptr && listed->contentSize == stored.contentSize && listed->crc == stored.crc) {
    return;
  }
  if (listed != nullptr) stored.name = listed->name;  // the name as it was listed
  if (list->Put(stored)) ++repair->corrected;
}

bool SettlePackList(PackArchive& archive, PackListFile* list, PackListRepair* repair) {
  std::vector<PackSlotInfo> slots;
  if (!ListPackSlots(archive, &slots)) return false;
  std::vector<std::string> names;
  for (const auto& keyed : list->entries()) names.push_back(keyed.second.name);
  for (const std::string& name : names) SettlePackListEntry(archive, name, list, repair);
  std::vector<bool> listed(kPackHashSlotCount, false);
  for (const auto& keyed : list->entries()) {
    int32_t slot = FindPackSlotOfKey(archive, keyed.first);
    if (slot >= 0) listed[static_cast<uint32_t>(slot)] = true;
  }
  int32_t listSlot = FindPackSlot(archive, kPackListFileName);
  for (const PackSlotInfo& info : slots) {
    if (!listed[info.slot] && static_cast<int32_t>(info.slot) != listSlot) ++repair->unlisted;
  }
  return true;
}

}  // namespace qlmr
