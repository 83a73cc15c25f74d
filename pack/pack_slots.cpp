// The name hash and the hash slot table with its linear probing.
#include "pack/pack_format.h"

namespace qlmr {
namespace {

uint32_t StartSlot(const char* key) { return PackNameHash(3, key) % kPackHashSlotCount; }

}  // namespace

const uint32_t* NameHashTable() {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> words(1024);
    uint32_t seed = 0x00100001;
    for (uint32_t column = 0; column < 256; ++column) {
      for (uint32_t row = 0; row < 4; ++row) {
        uint32_t s1 = (seed * 125 + 3) % 0x2AAAAB;
        uint32_t s2 = (s1 * 125 + 3) % 0x2AAAAB;
        words[row * 256 + column] = (s1 & 0xFFFF) << 16 | (s2 & 0xFFFF);
        seed = s2;
      }
    }
    return words;
  }();
  return table.data();
}

uint32_t PackNameHash(uint32_t kind, const char* key) {
  const uint32_t* table = NameHashTable();
  uint32_t s1 = 0x7FED7FED;
  uint32_t s2 = 0xEEEEEEEE;
  for (const char* p = key; *p != '\0'; ++p) {
    // Signed on purpose: high bytes reach into the previous row, and existing
    // archives were hashed that way.
    int32_t c = static_cast<signed char>(*p);
    s1 = table[static_cast<int32_t>(kind * 256) + c] ^ (s1 + s2);
    s2 = s2 * 33 + static_cast<uint32_t>(c) + s1 + 3;
  }
  return s1;
}

PackSlotTable::PackSlotTable() : slots_(kPackHashSlotCount) {}

void PackSlotTable::Clear() {
  slots_.assign(kPackHashSlotCount, PackHashEntry());
  inUse_.clear();
}

void PackSlotTable::Load(const uint8_t* image) {
  inUse_.clear();
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) {
    slots_[i] = DecodeHashEntry(image + i * kPackHashEntrySize);
    if (slots_[i].InUse()) inUse_.emplace(IndexKey(slots_[i].hashA, slots_[i].hashB), i);
  }
}

void PackSlotTable::Unindex(uint32_t slot) {
  auto range = inUse_.equal_range(IndexKey(slots_[slot].hashA, slots_[slot].hashB));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == slot) {
      inUse_.erase(it);
      return;
    }
  }
}

void PackSlotTable::Set(uint32_t slot, const PackHashEntry& entry) {
  if (slots_[slot].InUse()) Unindex(slot);
  slots_[slot] = entry;
  if (entry.InUse()) inUse_.emplace(IndexKey(entry.hashA, entry.hashB), slot);
}

int32_t PackSlotTable::FindSlot(const std::string& key) const {
  if (key.empty()) return -1;
  auto range =
      inUse_.equal_range(IndexKey(PackNameHash(1, key.c_str()), PackNameHash(2, key.c_str())));
  if (range.first == range.second) return -1;
  uint32_t start = StartSlot(key.c_str());
  int32_t best = -1;
  uint32_t best_distance = kPackHashSlotCount;
  for (auto it = range.first; it != range.second; ++it) {
    uint32_t distance = (it->second + kPackHashSlotCount - start) % kPackHashSlotCount;
    if (distance < best_distance) {
      best_distance = distance;
      best = static_cast<int32_t>(it->second);
    }
  }
  return best;
}

int32_t PackSlotTable::FindSlotByScan(const std::string& key) const {
  if (key.empty()) return -1;
  uint32_t hashA = PackNameHash(1, key.c_str());
  uint32_t hashB = PackNameHash(2, key.c_str());
  uint32_t start = StartSlot(key.c_str());
  for (uint32_t step = 0; step < kPackHashSlotCount; ++step) {
    uint32_t slot = (start + step) % kPackHashSlotCount;
    const PackHashEntry& entry = slots_[slot];
    if (entry.InUse() && entry.hashA == hashA && entry.hashB == hashB) {
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

int32_t PackSlotTable::InsertSlot(const std::string& key) {
  if (key.empty()) return -1;
  int32_t found = FindSlot(key);
  if (found >= 0) return found;
  uint32_t start = StartSlot(key.c_str());
  for (uint32_t step = 0; step < kPackHashSlotCount; ++step) {
    uint32_t slot = (start + step) % kPackHashSlotCount;
    if (!slots_[slot].InUse()) {
      // Not in use, so the index is unaffected until the caller sets bit 31.
      slots_[slot].hashA = PackNameHash(1, key.c_str());
      slots_[slot].hashB = PackNameHash(2, key.c_str());
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

}  // namespace qlmr
