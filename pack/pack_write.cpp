// Changing an archive: block allocation, adding, replacing and removing
// stored files, the writers of single records, and recovery from writes that
// were cut off.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace {

constexpr uint32_t kCopyPiece = 4096;

bool WriteBytes(File* file, const void* data, uint32_t length) {
  if (file->Write(data, length)) return true;
  ReportError(ERR_WRITE, "winErr: %d", LastSystemError());
  return false;
}

}  // namespace

bool PackArchiveImpl::AllocateBlock(uint32_t size, int32_t* index, int32_t* splitIndex) {
  *index = -1;
  *splitIndex = -1;
  if (size > kPackMaxFileEnd) {
    ReportError(ERR_NO_BLOCK, "");
    return false;
  }
  uint32_t need = BlockExtent(size);
  bool table_full = blocks_.size() >= kPackMaxBlockCount;
  auto free_it = freeBlocks_.lower_bound(need);
  if (free_it == freeBlocks_.end()) {
    uint64_t offset = uint64_t{header_.dataOffset} + header_.dataSize;
    if (table_full || offset + need > kPackMaxFileEnd) {
      ReportError(ERR_NO_BLOCK, "");
      return false;
    }
    PackBlockEntry block;
    block.offset = static_cast<uint32_t>(offset);
    block.storedSize = size;
    block.contentSize = size;
    block.flags = kBlockInUse;
    blocks_.push_back(block);
    header_.blockCount = static_cast<uint32_t>(blocks_.size());
    header_.dataSize += need;
    *index = static_cast<int32_t>(blocks_.size() - 1);
    return true;
  }
  uint32_t extent = free_it->first;
  uint32_t j = free_it->second;
  if (extent > need && table_full) {
    // The tail would need an entry beyond the table's room.
    ReportError(ERR_NO_BLOCK, "");
    return false;
  }
  freeBlocks_.erase(free_it);
  header_.freeSize -= extent;
  if (extent > need) {
    PackBlockEntry tail;
    tail.offset = blocks_[j].offset + need;
    tail.storedSize = extent - need;
    tail.contentSize = extent - need;
    tail.flags = 0;
    blocks_.push_back(tail);
    header_.blockCount = static_cast<uint32_t>(blocks_.size());
    uint32_t tail_index = static_cast<uint32_t>(blocks_.size() - 1);
    freeBlocks_.emplace(extent - need, tail_index);
    header_.freeSize += extent - need;
    *splitIndex = static_cast<int32_t>(tail_index);
  }
  blocks_[j].storedSize = size;
  blocks_[j].contentSize = size;
  blocks_[j].flags |= kBlockInUse;
  *index = static_cast<int32_t>(j);
  return true;
}

void PackArchiveImpl::FreeBlock(uint32_t index, uint32_t extent) {
  blocks_[index].flags &= ~kBlockInUse;
  freeBlocks_.emplace(extent, index);
  header_.freeSize += extent;
}

bool PackArchiveImpl::AddFile(const void* source, uint32_t length, const char* name,
                              bool fromBuffer, bool flush, uint8_t compressType,
                              uint32_t contentSize) {
  try {
    return AddFileUnguarded(source, length, name, fromBuffer, flush, compressType, contentSize);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(length);
  }
}

bool PackArchiveImpl::AddFileUnguarded(const void* source, uint32_t length, const char* name,
                                       bool fromBuffer, bool flush, uint8_t compressType,
                                       uint32_t contentSize) {
  if (name == nullptr || name[0] == '\0' || !IsOpen()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  const char* path = fromBuffer ? nullptr : static_cast<const char*>(source);
  // A null buffer is refused before anything changes, not by the writer.
  if (source == nullptr || (path != nullptr && path[0] == '\0')) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!MayChange()) return false;
  if (path != nullptr && !PathExists(path)) {
    ReportError(ERR_NOT_FOUND, "%s", path);
    return false;
  }
  std::string key = NormalizeName(std::string(name));
  int32_t slot = slots_.InsertSlot(key);
  if (slot < 0) {
    ReportError(ERR_TABLE_FULL, "");
    return false;
  }
  uint32_t size = fromBuffer ? length : FileSizeOf(path);
  if (compressType == COMPRESS_NONE) contentSize = size;
  bool ok =
      StoreFile(static_cast<uint32_t>(slot), source, size, fromBuffer, compressType, contentSize);
  return EndChange(ok, flush, name);
}

bool PackArchiveImpl::StoreFile(uint32_t slot, const void* source, uint32_t size, bool fromBuffer,
                                uint8_t compressType, uint32_t contentSize) {
  if (size > kPackMaxFileEnd) {
    ReportError(ERR_NO_BLOCK, "");
    return false;
  }
  const PackHashEntry& entry = slots_[slot];
  if (entry.InUse()) {
    uint32_t i = entry.BlockIndex();
    uint32_t old_extent = BlockExtent(blocks_[i].storedSize);
    if (old_extent == BlockExtent(size)) {
      // Replace in place: the block keeps its place, slot and header stay.
      if (!WriteData(blocks_[i].offset, old_extent, source, size, fromBuffer)) return false;
      PackBlockEntry& block = blocks_[i];
      if (block.storedSize != size || block.contentSize != contentSize ||
          block.CompressType() != compressType) {
        block.storedSize = size;
        block.contentSize = contentSize;
        block.flags = (block.flags & ~kBlockTypeMask) | compressType;
        if (!WriteBlockEntry(i)) return false;
      }
      return true;
    }
    FreeBlock(i, old_extent);
    uint32_t dst = 0;
    if (!PlaceFile(slot, source, size, fromBuffer, compressType, contentSize, &dst)) return false;
    if (dst != i && !WriteBlockEntry(i)) return false;
    return WriteHashEntry(slot) && WriteHeader();
  }
  uint32_t dst = 0;
  return PlaceFile(slot, source, size, fromBuffer, compressType, contentSize, &dst) &&
         WriteHashEntry(slot) && WriteHeader();
}

bool PackArchiveImpl::PlaceFile(uint32_t slot, const void* source, uint32_t size, bool fromBuffer,
                                uint8_t compressType, uint32_t contentSize, uint32_t* dst) {
  int32_t index = -1;
  int32_t split = -1;
  if (!AllocateBlock(size, &index, &split)) return false;
  *dst = static_cast<uint32_t>(index);
  // Bit 30 is left as found.
  PackHashEntry entry = slots_[slot];
  entry.blockRef = (entry.blockRef & ~kSlotBlockIndexMask) | *dst | kSlotInUse;
  slots_.Set(slot, entry);
  PackBlockEntry& block = blocks_[*dst];
  block.storedSize = size;
  block.contentSize = contentSize;
  block.flags = (block.flags & ~kBlockTypeMask) | compressType;
  if (split >= 0 && !WriteBlockEntry(static_cast<uint32_t>(split))) return false;
  if (!WriteData(block.offset, BlockExtent(size), source, size, fromBuffer)) return false;
  return WriteBlockEntry(*dst);
}

bool PackArchiveImpl::RemoveFile(const char* name, bool flush) {
  try {
    return RemoveFileUnguarded(name, flush);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(0);
  }
}

bool PackArchiveImpl::RemoveFileUnguarded(const char* name, bool flush) {
  if (name == nullptr || name[0] == '\0' || !IsOpen()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!MayChange()) return false;
  int32_t found = LookupSlot(name);
  if (found < 0) {
    ReportError(ERR_NOT_FOUND, "%s", name);
    return false;
  }
  uint32_t slot = static_cast<uint32_t>(found);
  PackHashEntry entry = slots_[slot];
  uint32_t i = entry.BlockIndex();
  uint32_t extent = BlockExtent(blocks_[i].storedSize);
  blocks_[i].storedSize = 0;
  blocks_[i].contentSize = 0;
  blocks_[i].flags = 0;
  entry.blockRef &= ~kSlotInUse;
  slots_.Set(slot, entry);
  FreeBlock(i, extent);
  bool ok = WriteBlockEntry(i) && WriteHashEntry(slot) && WriteHeader();
  return EndChange(ok, flush, name);
}

bool PackArchiveImpl::MayChange() {
  if (readOnly_) {
    ReportError(ERR_ACCESS, "");
    return false;
  }
  if (broken_) {
    ReportError(ERR_WRITE, "archive must be reopened");
    return false;
  }
  return true;
}

bool PackArchiveImpl::EndChange(bool ok, bool flush, const char* storedName) {
  if (ok && flush) ok = FlushForWrite();
  if (!ok) {
    NameArchiveInError(storedName);
    ResyncAfterFailure();
  }
  return ok;
}

bool PackArchiveImpl::FlushForWrite() {
  if (file_->Flush()) return true;
  ReportError(ERR_WRITE, "winErr: %d", LastSystemError());
  return false;
}

void PackArchiveImpl::NameArchiveInError(const char* storedName) const {
  // Allocates nothing: it also runs while Close cleans up after a failure.
  KeptError kept;
  if (kept.code() != ERR_WRITE && kept.code() != ERR_SEEK) return;
  const char* words = SystemErrorWords(LastSystemError());
  if (storedName == nullptr) {
    ReportError(kept.code(), "%s, %s, pack=%s", kept.message(), words, path_.c_str());
  } else {
    ReportError(kept.code(), "%s, %s, pack=%s, file=%s", kept.message(), words, path_.c_str(),
                storedName);
  }
}

bool PackArchiveImpl::OutOfMemory(uint32_t size) {
  ReportError(ERR_NO_MEMORY, "Size=%u", size);
  // Memory may be ahead of the disk: reload it, or leave the write flag set.
  try {
    ResyncAfterFailure();
  } catch (const std::bad_alloc&) {
    broken_ = true;
  }
  return false;
}

void PackArchiveImpl::ResyncAfterFailure() {
  KeptError kept;
  // Memory is ahead of the disk now; a header written from it at Close could
  // count block entries that never reached the disk. Reload what is there and
  // mend it as after a crash.
  if (LoadTables() && RepairInterruptedWrite()) {
    RebuildFreeBlocks();
  } else {
    broken_ = true;
  }
  kept.Restore();
}

bool PackArchiveImpl::RepairInterruptedWrite() {
  // An interrupted AddFile or RemoveFile can leave: a slot naming a block
  // entry beyond blockCount (the header was not written), a slot whose block
  // was already freed, and an in-use block that no slot names yet. Each is
  // put back to a state from which redoing the operation succeeds.
  std::vector<bool> referenced(blocks_.size(), false);
  for (uint32_t slot = 0; slot < kPackHashSlotCount; ++slot) {
    PackHashEntry entry = slots_[slot];
    if (!entry.InUse()) continue;
    uint32_t index = entry.BlockIndex();
    if (index >= blocks_.size()) {
      entry.blockRef &= ~kSlotInUse;
      slots_.Set(slot, entry);
      if (!WriteHashEntry(slot)) return false;
      continue;
    }
    if (!blocks_[index].InUse()) {
      // Freed first, slot not yet cleared: the file is still there (moved
      // data went elsewhere) or being removed, which a redo finishes.
      blocks_[index].flags |= kBlockInUse;
      if (!WriteBlockEntry(index)) return false;
    }
    referenced[index] = true;
  }
  for (uint32_t j = 0; j < blocks_.size(); ++j) {
    if (blocks_[j].InUse() && !referenced[j]) {
      blocks_[j].flags &= ~kBlockInUse;
      if (!WriteBlockEntry(j)) return false;
    }
  }
  return true;
}

bool PackArchiveImpl::BeginWrite(PackWriteKind kind, uint32_t where) {
  if (!IsOpen()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (readOnly_) {
    ReportError(ERR_ACCESS, "Const Mode");
    return false;
  }
  if (writeHook_ && !writeHook_(kind, where)) {
    ReportError(ERR_WRITE, "winErr: %d", 0);
    return false;
  }
  return true;
}

bool PackArchiveImpl::WriteHeader() {
  if (!BeginWrite(PackWriteKind::kHeader, 0)) return false;
  if (!file_->Seek(0)) {
    ReportError(ERR_SEEK, "point=0");
    return false;
  }
  uint8_t raw[kPackHeaderSize];
  EncodeHeader(header_, raw);
  return WriteBytes(file_.get(), raw, kPackHeaderSize);
}

bool PackArchiveImpl::WriteHashEntry(uint32_t slot) {
  if (slot >= kPackHashSlotCount) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!BeginWrite(PackWriteKind::kHashEntry, slot)) return false;
  uint32_t position = header_.hashTableOffset + slot * kPackHashEntrySize;
  if (!SeekForWrite(position)) return false;
  uint8_t raw[kPackHashEntrySize];
  EncodeHashEntry(slots_[slot], raw);
  return WriteBytes(file_.get(), raw, kPackHashEntrySize);
}

bool PackArchiveImpl::WriteBlockEntry(uint32_t index) {
  if (index >= blocks_.size()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!BeginWrite(PackWriteKind::kBlockEntry, index)) return false;
  uint32_t position = header_.blockTableOffset + index * kPackBlockEntrySize;
  if (!SeekForWrite(position)) return false;
  uint8_t raw[kPackBlockEntrySize];
  EncodeBlockEntry(blocks_[index], raw);
  return WriteBytes(file_.get(), raw, kPackBlockEntrySize);
}

bool PackArchiveImpl::WriteData(uint32_t position, uint32_t extent, const void* source,
                                uint32_t length, bool fromBuffer) {
  return fromBuffer ? WriteDataFromBuffer(position, extent, source, length)
                    : WriteDataFromFile(position, extent, static_cast<const char*>(source));
}

namespace {

bool WriteZeros(File* file, uint32_t count) {
  // On the stack rather than a constant: 4 KiB of zeros in the program would
  // take the updater's room below its carrier offset.
  uint8_t zeros[kCopyPiece] = {};
  while (count > 0) {
    uint32_t piece = count < kCopyPiece ? count : kCopyPiece;
    if (!WriteBytes(file, zeros, piece)) return false;
    count -= piece;
  }
  return true;
}

}  // namespace

bool PackArchiveImpl::SeekForWrite(uint32_t position) {
  if (file_->Seek(position)) return true;
  ReportError(ERR_SEEK, "winErr=%d, point=%d", LastSystemError(), static_cast<int>(position));
  return false;
}

bool PackArchiveImpl::WriteDataFromBuffer(uint32_t position, uint32_t extent, const void* buffer,
                                          uint32_t length) {
  if (buffer == nullptr) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!BeginWrite(PackWriteKind::kData, position)) return false;
  if (!SeekForWrite(position)) return false;
  uint32_t data = length < extent ? length : extent;
  if (!WriteBytes(file_.get(), buffer, data)) return false;
  return WriteZeros(file_.get(), extent - data);
}

bool PackArchiveImpl::WriteDataFromFile(uint32_t position, uint32_t extent, const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!BeginWrite(PackWriteKind::kData, position)) return false;
  if (!SeekForWrite(position)) return false;
  File source;
  if (!source.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "Open file: %s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint8_t piece[kCopyPiece];
  uint32_t written = 0;
  while (written < extent) {
    uint32_t got = 0;
    if (!source.Read(piece, kCopyPiece, &got)) {
      // A read that reports the end of the file just ends the copy.
      if (got == 0 || LastSystemError() != kEndOfFileError) {
        ReportError(ERR_READ, "file: %s", path);
        return false;
      }
    }
    if (got == 0) break;
    uint32_t take = got < extent - written ? got : extent - written;
    if (!WriteBytes(file_.get(), piece, take)) return false;
    written += take;
  }
  source.Close();
  return WriteZeros(file_.get(), extent - written);
}

}  // namespace qlmr
