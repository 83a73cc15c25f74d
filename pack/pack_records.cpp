// Little-endian encodings of the pack archive's records.
#include "pack/pack_format.h"

namespace qlmr {
namespace {

void Put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace

PackHeader NewPackHeader() {
  PackHeader header;
  header.magic = kPackMagic;
  header.version = kPackVersion;
  header.writeFlag = 1;
  header.hashTableOffset = kPackHashTableOffset;
  header.blockTableOffset = kPackBlockTableOffset;
  header.blockCount = 0;
  header.blockTableCapacity = kPackBlockTableCapacity;
  header.dataOffset = kPackDataOffset;
  header.dataSize = 0;
  header.freeSize = 0;
  return header;
}

void EncodeHeader(const PackHeader& header, uint8_t out[kPackHeaderSize]) {
  const uint32_t fields[] = {header.magic,
                             header.version,
                             header.writeFlag,
                             header.hashTableOffset,
                             header.blockTableOffset,
                             header.blockCount,
                             header.blockTableCapacity,
                             header.dataOffset,
                             header.dataSize,
                             header.freeSize};
  for (int i = 0; i < 10; ++i) Put32(out + 4 * i, fields[i]);
}

PackHeader DecodeHeader(const uint8_t in[kPackHeaderSize]) {
  PackHeader header;
  header.magic = Get32(in);
  header.version = Get32(in + 4);
  header.writeFlag = Get32(in + 8);
  header.hashTableOffset = Get32(in + 12);
  header.blockTableOffset = Get32(in + 16);
  header.blockCount = Get32(in + 20);
  header.blockTableCapacity = Get32(in + 24);
  header.dataOffset = Get32(in + 28);
  header.dataSize = Get32(in + 32);
  header.freeSize = Get32(in + 36);
  return header;
}

void EncodeHashEntry(const PackHashEntry& entry, uint8_t out[kPackHashEntrySize]) {
  Put32(out, entry.hashA);
  Put32(out + 4, entry.hashB);
  Put32(out + 8, entry.blockRef);
}

PackHashEntry DecodeHashEntry(const uint8_t in[kPackHashEntrySize]) {
  PackHashEntry entry;
  entry.hashA = Get32(in);
  entry.hashB = Get32(in + 4);
  entry.blockRef = Get32(in + 8);
  return entry;
}

void EncodeBlockEntry(const PackBlockEntry& entry, uint8_t out[kPackBlockEntrySize]) {
  Put32(out, entry.offset);
  Put32(out + 4, entry.storedSize);
  Put32(out + 8, entry.contentSize);
  Put32(out + 12, entry.flags);
}

PackBlockEntry DecodeBlockEntry(const uint8_t in[kPackBlockEntrySize]) {
  PackBlockEntry entry;
  entry.offset = Get32(in);
  entry.storedSize = Get32(in + 4);
  entry.contentSize = Get32(in + 8);
  entry.flags = Get32(in + 12);
  return entry;
}

}  // namespace qlmr
