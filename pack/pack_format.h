// The pack archive's on-disk layout: constants, the three records with their
// little-endian encodings, the name hash, block extents and the hash slot
// table with its probing rules.
//
// Layout of an archive file:
//   header        at 0,          40 bytes
//   hash table    at 40,         36,353 slots of 12 bytes
//   block table   at 436,276,    room for 65,536 entries of 16 bytes
//   data area     at 1,484,852,  extents of 256-byte granules, end to end
// Stored files are found only through the two hashes of their key (the
// normalised name); the tables hold no names.
//
// Everything here is pure memory work; PackSlotTable is used by one thread at
// a time (its archive's writer, or readers while nobody writes).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace qlmr {

constexpr uint32_t kPackMagic = 0x4B505841;    // "AXPK" in file order
constexpr uint32_t kPackVersion = 0x00020000;  // the only version Open accepts
constexpr uint32_t kPackHeaderSize = 40;
constexpr uint32_t kPackHashTableOffset = 40;
constexpr uint32_t kPackHashSlotCount = 36353;
constexpr uint32_t kPackHashEntrySize = 12;
constexpr uint32_t kPackHashTableSize = kPackHashSlotCount * kPackHashEntrySize;  // 436,236
constexpr uint32_t kPackBlockTableOffset = kPackHashTableOffset + kPackHashTableSize;
constexpr uint32_t kPackBlockEntrySize = 16;
constexpr uint32_t kPackBlockTableCapacity = 0x100000;
constexpr uint32_t kPackMaxBlockCount = kPackBlockTableCapacity / kPackBlockEntrySize;  // 65,536
constexpr uint32_t kPackDataOffset = kPackBlockTableOffset + kPackBlockTableCapacity;
// Positions are set with a signed 32-bit distance, so no extent may end past
// this byte.
constexpr uint32_t kPackMaxFileEnd = 0x7FFFFFFF;
constexpr uint32_t kPackGranule = 256;

// blockRef bits of a hash slot.
constexpr uint32_t kSlotInUse = 0x80000000u;
constexpr uint32_t kSlotBlockIndexMask = 0x3FFFFFFFu;
// flags bits of a block entry.
constexpr uint32_t kBlockInUse = 0x80000000u;
constexpr uint32_t kBlockTypeMask = 0xFFu;

// The list file's name, and the length Verify reads each of its lines with.
constexpr const char* kPackListFileName = "(list)";
constexpr uint32_t kPackListLineCapacity = 1039;
// The longest line a writer may put in a list file, LF not counted. A line
// of kPackListLineCapacity bytes fills the read before its LF is seen, so
// Verify would take the LF for an empty line of its own.
constexpr uint32_t kPackListMaxLineLength = kPackListLineCapacity - 1;

// Files of at most this content size are read whole when a stream opens.
constexpr uint32_t kPackWholeLoadLimit = 512000;

struct PackHeader {
  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t writeFlag = 0;
  uint32_t hashTableOffset = 0;
  uint32_t blockTableOffset = 0;
  uint32_t blockCount = 0;
  uint32_t blockTableCapacity = 0;
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  uint32_t freeSize = 0;  // bookkeeping only; no decision reads it
};

struct PackHashEntry {
  uint32_t hashA = 0;
  uint32_t hashB = 0;
  uint32_t blockRef = 0;  // bits 0-29 block index, bit 30 unused, bit 31 in use

  bool InUse() const { return (blockRef & kSlotInUse) != 0; }
  uint32_t BlockIndex() const { return blockRef & kSlotBlockIndexMask; }
};

struct PackBlockEntry {
  uint32_t offset = 0;
  uint32_t storedSize = 0;
  uint32_t contentSize = 0;
  uint32_t flags = 0;  // bits 0-7 compression type, bit 31 in use

  bool InUse() const { return (flags & kBlockInUse) != 0; }
  uint8_t CompressType() const { return static_cast<uint8_t>(flags & kBlockTypeMask); }
};

// The header of a newly created archive (write flag set).
PackHeader NewPackHeader();

// Little-endian encodings of the records.
void EncodeHeader(const PackHeader& header, uint8_t out[kPackHeaderSize]);
PackHeader DecodeHeader(const uint8_t in[kPackHeaderSize]);
void EncodeHashEntry(const PackHashEntry& entry, uint8_t out[kPackHashEntrySize]);
PackHashEntry DecodeHashEntry(const uint8_t in[kPackHashEntrySize]);
void EncodeBlockEntry(const PackBlockEntry& entry, uint8_t out[kPackBlockEntrySize]);
PackBlockEntry DecodeBlockEntry(const uint8_t in[kPackBlockEntrySize]);

// The 1,024-word table behind the name hash (4 rows of 256).
const uint32_t* NameHashTable();

// Hash `kind` (1 = hashA, 2 = hashB, 3 = start slot) of a zero-terminated
// key. Bytes of 0x80 and above count as negative, so they index the row
// before the kind's own.
uint32_t PackNameHash(uint32_t kind, const char* key);

// The bytes a block of `n` stored bytes occupies: the smallest multiple of
// 256 that is at least n, and 256 for 0. Valid for n up to 0xFFFFFF00.
constexpr uint32_t BlockExtent(uint32_t n) {
  return n == 0 ? kPackGranule : (n + kPackGranule - 1) & ~(kPackGranule - 1);
}

// The 36,353 hash slots with an index of the in-use ones by their two hashes,
// so that lookups (of absent names above all) need no scan. All changes go
// through Set, which keeps the index in step.
class PackSlotTable {
 public:
  PackSlotTable();

  // Every slot empty.
  void Clear();
  // Loads the table from its on-disk image of kPackHashTableSize bytes.
  void Load(const uint8_t* image);

  const PackHashEntry& operator[](uint32_t slot) const { return slots_[slot]; }
  void Set(uint32_t slot, const PackHashEntry& entry);

  // The first in-use slot in probe order whose hashA and hashB equal the
  // key's; -1 for an absent or empty key.
  int32_t FindSlot(const std::string& key) const;
  // The same answer found by visiting the probe sequence, as the format
  // defines it (an absent key visits every slot). Reference for FindSlot.
  int32_t FindSlotByScan(const std::string& key) const;
  // The slot of a stored key, or else the first slot in probe order that is
  // not in use, which receives the key's hashA and hashB (its blockRef is
  // left to the caller). -1 for an empty key or a full table.
  int32_t InsertSlot(const std::string& key);

 private:
  static uint64_t IndexKey(uint32_t hashA, uint32_t hashB) { return uint64_t{hashA} << 32 | hashB; }
  void Unindex(uint32_t slot);

  std::vector<PackHashEntry> slots_;
  // In-use slots by their two hashes. Several slots may share a pair only in
  // archives written by others; FindSlot then picks by probe order.
  std::unordered_multimap<uint64_t, uint32_t> inUse_;
};

}  // namespace qlmr
