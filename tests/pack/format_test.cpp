#include <gtest/gtest.h>

#include <string>

#include "base/file_util.h"
#include "pack/pack_format.h"

namespace qlmr {
namespace {

TEST(NameHashTableTest, KnownWords) {
  const uint32_t* table = NameHashTable();
  EXPECT_EQ(table[0], 0x55C636E2u);
  EXPECT_EQ(table[1], 0x193AA698u);
  EXPECT_EQ(table[256], 0x76F8C1B1u);
  EXPECT_EQ(table[512], 0x3DF6965Du);
  EXPECT_EQ(table[768], 0x15F261D3u);
}

struct HashCase {
  const char* name;  // as a caller passes it
  uint32_t hashA;
  uint32_t hashB;
  uint32_t kind3;
  uint32_t startSlot;
};

TEST(PackNameHashTest, WorkedExamples) {
  const HashCase cases[] = {
      {"(list)", 0x8EE2C597, 0x1EC97D8E, 0x98D67503, 32636},
      {"Data\\Map\\A.TXT", 0xE33CDA73, 0xF476B696, 0x00EDDCB6, 29450},
      {"data/map/a.txt", 0xE33CDA73, 0xF476B696, 0x00EDDCB6, 29450},
      // A double-byte character: its bytes of 0x80 and above hash through the
      // row before the kind's own.
      {"\xB5\xD8/a", 0x4EA6B9F0, 0x94444985, 0xAC85C831, 22829},
      {"\xB5\xD8\x5C\x41", 0x4EA6B9F0, 0x94444985, 0xAC85C831, 22829},
  };
  for (const HashCase& c : cases) {
    std::string key = NormalizeName(c.name);
    EXPECT_EQ(PackNameHash(1, key.c_str()), c.hashA) << c.name;
    EXPECT_EQ(PackNameHash(2, key.c_str()), c.hashB) << c.name;
    EXPECT_EQ(PackNameHash(3, key.c_str()), c.kind3) << c.name;
    EXPECT_EQ(PackNameHash(3, key.c_str()) % kPackHashSlotCount, c.startSlot) << c.name;
  }
}

TEST(PackNameHashTest, DoubleByteTrailBackslashIsNotASeparator) {
  // 0x95 0x5C is one character; its trail byte must not become '/'.
  std::string key = NormalizeName(
      "\x95\x5C"
      "A");
  EXPECT_EQ(key,
            "\x95\x5C"
            "a");
  EXPECT_NE(PackNameHash(1, key.c_str()), PackNameHash(1, "\x95/a"));
}

TEST(BlockExtentTest, Table) {
  const uint32_t cases[][2] = {
      {0, 256},
      {1, 256},
      {255, 256},
      {256, 256},
      {257, 512},
      {1000, 1024},
      {0xFFFFFF00, 0xFFFFFF00},
  };
  for (const auto& c : cases) EXPECT_EQ(BlockExtent(c[0]), c[1]) << c[0];
}

TEST(PackRecordsTest, HeaderOfANewArchiveEncodesAsStored) {
  uint8_t raw[kPackHeaderSize];
  EncodeHeader(NewPackHeader(), raw);
  const uint8_t expected[kPackHeaderSize] = {
      'A',  'X',  'P',  'K',  0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 40,   0,
      0,    0,    0x34, 0xA8, 0x06, 0x00, 0,    0,    0,    0,    0x00, 0x00, 0x10, 0x00,
      0x34, 0xA8, 0x16, 0x00, 0,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), kPackHeaderSize),
            std::string(reinterpret_cast<const char*>(expected), kPackHeaderSize));
}

}  // namespace
}  // namespace qlmr
