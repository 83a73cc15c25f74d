#include "pack/pack_inspect.h"

#include <string>

#include "base/error.h"
#include "base/file_util.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace {

const PackArchiveImpl* OpenImpl(const PackArchive& archive) {
  const auto* impl = dynamic_cast<const PackArchiveImpl*>(&archive);
  if (impl == nullptr || !impl->IsOpen()) {
    ReportError(ERR_INVALID, "");
    return nullptr;
  }
  return impl;
}

}  // namespace

bool GetPackHeader(const PackArchive& archive, PackHeader* header) {
  const PackArchiveImpl* impl = OpenImpl(archive);
  if (impl == nullptr) return false;
  *header = impl->header();
  return true;
}

bool ListPackSlots(const PackArchive& archive, std::vector<PackSlotInfo>* slots) {
  slots->clear();
  const PackArchiveImpl* impl = OpenImpl(archive);
  if (impl == nullptr) return false;
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) {
    const PackHashEntry& entry = impl->slots()[i];
    if (!entry.InUse()) continue;
    PackSlotInfo info;
    info.slot = i;
    info.hash = entry;
    info.hasBlock = entry.BlockIndex() < impl->blocks().size();
    if (info.hasBlock) info.block = impl->blocks()[entry.BlockIndex()];
    slots->push_back(info);
  }
  return true;
}

int32_t FindPackSlot(const PackArchive& archive, const char* name) {
  if (name == nullptr) return -1;
  return FindPackSlotOfKey(archive, NormalizeName(std::string(name)));
}

int32_t FindPackSlotOfKey(const PackArchive& archive, const std::string& key) {
  const auto* impl = dynamic_cast<const PackArchiveImpl*>(&archive);
  if (impl == nullptr) return -1;
  return impl->slots().FindSlot(key);
}

PackFileStream* OpenPackSlot(PackArchive& archive, uint32_t slot) {
  auto* impl = dynamic_cast<PackArchiveImpl*>(&archive);
  if (impl == nullptr) {
    ReportError(ERR_INVALID, "");
    return nullptr;
  }
  return impl->OpenSlot(slot);
}

bool GetPackFreeSpace(const PackArchive& archive, uint32_t* extents, uint64_t* bytes) {
  const PackArchiveImpl* impl = OpenImpl(archive);
  if (impl == nullptr) return false;
  *extents = static_cast<uint32_t>(impl->free_blocks().size());
  *bytes = 0;
  for (const auto& free_block : impl->free_blocks()) *bytes += free_block.first;
  return true;
}

}  // namespace qlmr
