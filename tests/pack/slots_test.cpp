#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "pack/pack_format.h"

namespace qlmr {
namespace {

uint32_t Start(const std::string& key) { return PackNameHash(3, key.c_str()) % kPackHashSlotCount; }

// `count` different keys that share one start slot.
std::vector<std::string> CollidingKeys(size_t count) {
  std::map<uint32_t, std::vector<std::string>> by_start;
  for (int i = 0;; ++i) {
    std::string key = "f" + std::to_string(i);
    auto& group = by_start[Start(key)];
    group.push_back(key);
    if (group.size() == count) return group;
  }
}

PackHashEntry InUse(const std::string& key, uint32_t block) {
  PackHashEntry entry;
  entry.hashA = PackNameHash(1, key.c_str());
  entry.hashB = PackNameHash(2, key.c_str());
  entry.blockRef = kSlotInUse | block;
  return entry;
}

void Claim(PackSlotTable* table, const std::string& key, uint32_t block) {
  int32_t slot = table->InsertSlot(key);
  ASSERT_GE(slot, 0);
  PackHashEntry entry = (*table)[static_cast<uint32_t>(slot)];
  entry.blockRef = kSlotInUse | block;
  table->Set(static_cast<uint32_t>(slot), entry);
}

void Delete(PackSlotTable* table, uint32_t slot) {
  PackHashEntry entry = (*table)[slot];
  entry.blockRef &= ~kSlotInUse;
  table->Set(slot, entry);
}

TEST(PackSlotTableTest, ProbingPassesDeletedSlotsAndInsertionReusesTheFirstFree) {
  std::vector<std::string> keys = CollidingKeys(3);
  const uint32_t start = Start(keys[0]);
  const uint32_t next = (start + 1) % kPackHashSlotCount;
  PackSlotTable table;
  Claim(&table, keys[0], 1);
  Claim(&table, keys[1], 2);
  EXPECT_EQ(table.FindSlot(keys[0]), static_cast<int32_t>(start));
  EXPECT_EQ(table.FindSlot(keys[1]), static_cast<int32_t>(next));
  EXPECT_EQ(table.InsertSlot(keys[1]), static_cast<int32_t>(next)) << "a stored key keeps its slot";

  Delete(&table, start);
  EXPECT_EQ(table.FindSlot(keys[0]), -1);
  EXPECT_EQ(table.FindSlot(keys[1]), static_cast<int32_t>(next)) << "the deleted slot ends nothing";
  // A deleted slot keeps its hashes and index bits.
  EXPECT_EQ(table[start].hashA, PackNameHash(1, keys[0].c_str()));
  EXPECT_EQ(table[start].BlockIndex(), 1u);

  EXPECT_EQ(table.InsertSlot(keys[2]), static_cast<int32_t>(start));
  EXPECT_EQ(table[start].hashA, PackNameHash(1, keys[2].c_str()));
  EXPECT_FALSE(table[start].InUse()) << "InsertSlot leaves blockRef to the caller";

  // The removed key, added again, now lands behind both others.
  Claim(&table, keys[2], 3);
  int32_t again = table.InsertSlot(keys[0]);
  EXPECT_EQ(again, static_cast<int32_t>((start + 2) % kPackHashSlotCount));
}

TEST(PackSlotTableTest, FullTable) {
  PackSlotTable table;
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) {
    PackHashEntry entry;
    entry.hashA = i;
    entry.hashB = ~i;
    entry.blockRef = kSlotInUse | i;
    table.Set(i, entry);
  }
  EXPECT_EQ(table.FindSlot("absent"), -1);
  EXPECT_EQ(table.FindSlotByScan("absent"), -1);
  EXPECT_EQ(table.InsertSlot("absent"), -1);
  // One deleted slot anywhere takes the next insertion.
  Delete(&table, 1234);
  EXPECT_EQ(table.InsertSlot("absent"), 1234);
}

TEST(PackSlotTableTest, EmptyKeyIsNeverFound) {
  PackSlotTable table;
  EXPECT_EQ(table.FindSlot(""), -1);
  EXPECT_EQ(table.InsertSlot(""), -1);
}

TEST(PackSlotTableTest, IndexPicksTheFirstMatchInProbeOrder) {
  // Archives from elsewhere may hold one key in several in-use slots; the
  // answer is the first one met from the start slot, across the wrap.
  const std::string key = "dup";
  const uint32_t start = Start(key);
  const uint32_t before = (start + kPackHashSlotCount - 1) % kPackHashSlotCount;
  const uint32_t after = (start + 3) % kPackHashSlotCount;
  PackSlotTable table;
  table.Set(before, InUse(key, 1));
  EXPECT_EQ(table.FindSlot(key), static_cast<int32_t>(before)) << "found after a full wrap";
  table.Set(after, InUse(key, 2));
  EXPECT_EQ(table.FindSlot(key), static_cast<int32_t>(after));
  table.Set((start + 1) % kPackHashSlotCount, InUse(key, 3));
  EXPECT_EQ(table.FindSlot(key), static_cast<int32_t>((start + 1) % kPackHashSlotCount));
  Delete(&table, (start + 1) % kPackHashSlotCount);
  EXPECT_EQ(table.FindSlot(key), static_cast<int32_t>(after));
}

TEST(PackSlotTableTest, IndexAgreesWithTheScanUnderRandomChanges) {
  std::mt19937 engine(42);
  PackSlotTable table;
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("n" + std::to_string(i));
  for (int step = 0; step < 20000; ++step) {
    const std::string& key = names[engine() % names.size()];
    switch (engine() % 4) {
      case 0:
      case 1:
        Claim(&table, key, static_cast<uint32_t>(step));
        break;
      case 2: {
        int32_t slot = table.FindSlot(key);
        if (slot >= 0) Delete(&table, static_cast<uint32_t>(slot));
        break;
      }
      case 3:  // a stray duplicate somewhere, as a foreign writer may leave
        table.Set(engine() % kPackHashSlotCount, InUse(key, 0));
        break;
    }
    const std::string& probe = names[engine() % names.size()];
    ASSERT_EQ(table.FindSlot(probe), table.FindSlotByScan(probe)) << probe << " step " << step;
  }
  // Reloading from the on-disk image rebuilds the same index.
  std::vector<uint8_t> image(kPackHashTableSize);
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) {
    EncodeHashEntry(table[i], &image[i * kPackHashEntrySize]);
  }
  PackSlotTable loaded;
  loaded.Load(image.data());
  for (const std::string& name : names) {
    ASSERT_EQ(loaded.FindSlot(name), table.FindSlotByScan(name)) << name;
  }
}

}  // namespace
}  // namespace qlmr
