// Little-endian encodings of the pack archive's records.
#include "base/little_endian.h"
#include "pack/pack_format.h"

namespace qlmr {

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
  for (int i = 0; i < 10; ++i) StoreLittleEndian32(fields[i], out + 4 * i);
}

PackHeader DecodeHeader(const uint8_t in[kPackHeaderSize]) {
  PackHeader header;
  header.magic = LoadLittleEndian32(in);
  header.version = LoadLittleEndian32(in + 4);
  header.writeFlag = LoadLittleEndian32(in + 8);
  header.hashTableOffset = LoadLittleEndian32(in + 12);
  header.blockTableOffset = LoadLittleEndian32(in + 16);
  header.blockCount = LoadLittleEndian32(in + 20);
  header.blockTableCapacity = LoadLittleEndian32(in + 24);
  header.dataOffset = LoadLittleEndian32(in + 28);
  header.dataSize = LoadLittleEndian32(in + 32);
  header.freeSize = LoadLittleEndian32(in + 36);
  return header;
}

void EncodeHashEntry(const PackHashEntry& entry, uint8_t out[kPackHashEntrySize]) {
  StoreLittleEndian32(entry.hashA, out);
  StoreLittleEndian32(entry.hashB, out + 4);
  StoreLittleEndian32(entry.blockRef, out + 8);
}

PackHashEntry DecodeHashEntry(const uint8_t in[kPackHashEntrySize]) {
  PackHashEntry entry;
  entry.hashA = LoadLittleEndian32(in);
  entry.hashB = LoadLittleEndian32(in + 4);
  entry.blockRef = LoadLittleEndian32(in + 8);
  return entry;
}

void EncodeBlockEntry(const PackBlockEntry& entry, uint8_t out[kPackBlockEntrySize]) {
  StoreLittleEndian32(entry.offset, out);
  StoreLittleEndian32(entry.storedSize, out + 4);
  StoreLittleEndian32(entry.contentSize, out + 8);
  StoreLittleEndian32(entry.flags, out + 12);
}

PackBlockEntry DecodeBlockEntry(const uint8_t in[kPackBlockEntrySize]) {
  PackBlockEntry entry;
  entry.offset = LoadLittleEndian32(in);
  entry.storedSize = LoadLittleEndian32(in + 4);
  entry.contentSize = LoadLittleEndian32(in + 8);
  entry.flags = LoadLittleEndian32(in + 12);
  return entry;
}

}  // namespace qlmr
