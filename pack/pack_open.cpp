// Opening, creating and closing archives, lookups, per-thread read handles,
// and reading stored files.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace {

// The system error of a failed read, or 0 when the read was merely short.
int ReadError(bool readOk) { return readOk ? 0 : LastSystemError(); }

bool ReadExactly(File* file, void* buffer, uint32_t length) {
  uint32_t got = 0;
  bool ok = file->Read(buffer, length, &got);
  if (ok && got == length) return true;
  ReportError(ERR_READ, "WinErr=%d", ReadError(ok));
  return false;
}

bool SeekPoint(File* file, const std::string& path, uint32_t point) {
  if (file->Seek(point)) return true;
  ReportError(ERR_SEEK, "file: %s, point=%d", path.c_str(), static_cast<int>(point));
  return false;
}

const Codec* FindCodec(uint8_t type) { return GetCodecRegistry().Find(type); }

}  // namespace

std::unique_ptr<PackArchive> NewPackArchive() { return std::make_unique<PackArchiveImpl>(); }

PackArchiveImpl::PackArchiveImpl() = default;

PackArchiveImpl::~PackArchiveImpl() { Close(); }

bool PackArchiveImpl::Open(const char* path, bool readOnly) {
  try {
    return OpenUnguarded(path, readOnly);
  } catch (const std::bad_alloc&) {
    // A writer's Open is not complete: Close leaves the disk alone.
    ReportError(ERR_NO_MEMORY, "Size=%u", static_cast<unsigned>(kPackHashTableSize));
    return false;
  }
}

bool PackArchiveImpl::OpenUnguarded(const char* path, bool readOnly) {
  if (path == nullptr || path[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  Close();
  path_ = path;
  readOnly_ = readOnly;
  auto file = std::make_shared<File>();
  if (!file->Open(path, readOnly ? FileMode::kRead : FileMode::kReadWrite)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  file_ = std::move(file);
  // Until a writer's Open completes, Close must not write a header back.
  broken_ = !readOnly;
  if (!LoadTables()) return false;
  if (readOnly) {
    RebuildFreeBlocks();
    threadHandles_[std::this_thread::get_id()] = file_;
    return true;
  }
  header_.writeFlag = 1;
  header_.version = kPackVersion;
  if (!WriteHeader() || !RepairInterruptedWrite()) {
    NameArchiveInError(nullptr);
    return false;
  }
  RebuildFreeBlocks();
  if (!FlushForWrite()) {
    NameArchiveInError(nullptr);
    return false;
  }
  broken_ = false;
  return true;
}

bool PackArchiveImpl::LoadTables() {
  uint8_t raw_header[kPackHeaderSize];
  if (!SeekPoint(file_.get(), path_, 0) || !ReadExactly(file_.get(), raw_header, kPackHeaderSize))
    return false;
  header_ = DecodeHeader(raw_header);
  if (header_.version != kPackVersion) {
    ReportError(ERR_VERSION, "Version=%d, LibVersion=%d", static_cast<int>(header_.version),
                static_cast<int>(kPackVersion));
    return false;
  }
  if (readOnly_ && header_.writeFlag != 0) {
    ReportError(ERR_MODE, "");
    return false;
  }
  uint64_t file_size = 0;
  if (!file_->Size(&file_size)) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  if (!CheckLayout()) return false;

  if (!SeekPoint(file_.get(), path_, header_.hashTableOffset)) return false;
  std::unique_ptr<uint8_t[]> image(new uint8_t[kPackHashTableSize]);
  if (!ReadExactly(file_.get(), image.get(), kPackHashTableSize)) return false;
  slots_.Load(image.get());

  if (!SeekPoint(file_.get(), path_, header_.blockTableOffset)) return false;
  uint32_t table_bytes = header_.blockCount * kPackBlockEntrySize;
  image.reset(new uint8_t[table_bytes == 0 ? 1 : table_bytes]);
  if (!ReadExactly(file_.get(), image.get(), table_bytes)) return false;
  blocks_.resize(header_.blockCount);
  for (uint32_t j = 0; j < header_.blockCount; ++j) {
    blocks_[j] = DecodeBlockEntry(image.get() + j * kPackBlockEntrySize);
  }
  if (!readOnly_) {
    DropLostBlockEntries();
    if (!CountInUncountedBlockEntries(file_size)) return false;
  }
  loadedFileSize_ = file_size;
  return CheckBlocks(file_size);
}

bool PackArchiveImpl::CountInUncountedBlockEntries(uint64_t fileSize) {
  // A change appends at most two entries (a split-off tail, then a new
  // block) and counts them with its last write, the header's. Cut off after
  // its slot was written, it leaves a slot naming an entry past blockCount:
  // dropping that slot would lose the file, and a moved file's old block is
  // already freed. So entries on disk past the count are counted in when a
  // slot names them and they overlap nothing counted.
  constexpr uint32_t kMostAppended = 2;
  uint32_t count = static_cast<uint32_t>(blocks_.size());
  uint32_t room = std::min(kMostAppended, kPackMaxBlockCount - count);
  uint32_t named = 0;  // entries up to the last one a slot names
  for (uint32_t slot = 0; slot < kPackHashSlotCount; ++slot) {
    uint32_t index = slots_[slot].BlockIndex();
    if (slots_[slot].InUse() && index >= count && index < count + room) {
      named = std::max(named, index - count + 1);
    }
  }
  if (named == 0) return true;
  uint8_t raw[kMostAppended * kPackBlockEntrySize];
  if (!SeekPoint(file_.get(), path_, header_.blockTableOffset + count * kPackBlockEntrySize) ||
      !ReadExactly(file_.get(), raw, named * kPackBlockEntrySize)) {
    return false;
  }
  uint64_t limit = std::min<uint64_t>(fileSize, kPackMaxFileEnd);
  std::vector<PackBlockEntry> found;
  for (uint32_t k = 0; k < named; ++k) {
    PackBlockEntry entry = DecodeBlockEntry(raw + k * kPackBlockEntrySize);
    uint64_t end = uint64_t{entry.offset} + BlockExtent(entry.storedSize);
    if (entry.offset < header_.dataOffset || entry.storedSize > kPackMaxFileEnd || end > limit) {
      return true;
    }
    auto overlaps = [&](const PackBlockEntry& other) {
      return entry.offset < uint64_t{other.offset} + BlockExtent(other.storedSize) &&
             other.offset < end;
    };
    for (const PackBlockEntry& block : blocks_) {
      if (block.InUse() && overlaps(block)) return true;
    }
    for (const PackBlockEntry& earlier : found) {
      if (overlaps(earlier)) return true;
    }
    found.push_back(entry);
  }
  for (const PackBlockEntry& entry : found) {
    blocks_.push_back(entry);
    uint64_t end = uint64_t{entry.offset} + BlockExtent(entry.storedSize) - header_.dataOffset;
    header_.dataSize = static_cast<uint32_t>(std::max<uint64_t>(header_.dataSize, end));
  }
  header_.blockCount = static_cast<uint32_t>(blocks_.size());
  return true;
}

void PackArchiveImpl::DropLostBlockEntries() {
  // Entries are only ever appended, into a region that starts out zero, and
  // every change is flushed before the next begins. A power cut during one
  // can keep the header that counts its new entries but lose the entries: an
  // entry still at offset 0 was never written, and neither was anything
  // appended after it, all of the same unfinished change. Counting them out
  // lets the repair drop what refers to them; redoing the change restores it.
  for (uint32_t j = 0; j < blocks_.size(); ++j) {
    if (blocks_[j].offset == 0) {
      blocks_.resize(j);
      header_.blockCount = j;
      return;
    }
  }
}

bool PackArchiveImpl::CheckLayout() {
  // The tables must lie between the header and the data area, or writing an
  // entry would overwrite stored data; the block table has a fixed room.
  const PackHeader& h = header_;
  bool tables_fit = h.hashTableOffset >= kPackHeaderSize &&
                    uint64_t{h.hashTableOffset} + kPackHashTableSize <= h.blockTableOffset &&
                    uint64_t{h.blockTableOffset} + kPackBlockTableCapacity <= h.dataOffset &&
                    h.dataOffset <= kPackMaxFileEnd;
  if (!tables_fit) {
    ReportError(ERR_BAD_DATA, "hashTableOffset=%d, blockTableOffset=%d, dataOffset=%d",
                static_cast<int>(h.hashTableOffset), static_cast<int>(h.blockTableOffset),
                static_cast<int>(h.dataOffset));
    return false;
  }
  if (h.blockCount > kPackMaxBlockCount) {
    ReportError(ERR_BAD_DATA, "blockCount=%d", static_cast<int>(h.blockCount));
    return false;
  }
  return true;
}

bool PackArchiveImpl::CheckBlocks(uint64_t fileSize) {
  uint64_t limit = fileSize < kPackMaxFileEnd ? fileSize : kPackMaxFileEnd;
  for (uint32_t j = 0; j < blocks_.size(); ++j) {
    const PackBlockEntry& block = blocks_[j];
    if (block.offset < header_.dataOffset) {
      ReportError(ERR_BAD_DATA, "");
      return false;
    }
    // Every extent must be readable and reachable with a 32-bit position.
    if (block.storedSize > kPackMaxFileEnd ||
        uint64_t{block.offset} + BlockExtent(block.storedSize) > limit) {
      ReportError(ERR_BAD_DATA, "block=%d, offset=%d, storedSize=%d", static_cast<int>(j),
                  static_cast<int>(block.offset), static_cast<int>(block.storedSize));
      return false;
    }
  }
  return true;
}

void PackArchiveImpl::RebuildFreeBlocks() {
  freeBlocks_.clear();
  // A removed file's entry keeps its offset but not its size, so its extent
  // is read from the layout: it runs to the next block, or to the end of the
  // data area. Otherwise a run that was interrupted and redone would leave
  // that space behind and grow the archive.
  // Offset in the high half, index in the low: sorted, blocks by offset.
  std::vector<uint64_t> byOffset(blocks_.size());
  for (uint32_t j = 0; j < blocks_.size(); ++j) byOffset[j] = uint64_t{blocks_[j].offset} << 32 | j;
  std::sort(byOffset.begin(), byOffset.end());
  // A data area claimed past the file's end (a cut copy) holds no space to
  // hand out there: a block recorded beyond the end would fail every reader.
  uint64_t dataEnd = std::min(uint64_t{header_.dataOffset} + header_.dataSize, loadedFileSize_);
  for (size_t n = 0; n < byOffset.size(); ++n) {
    uint32_t index = static_cast<uint32_t>(byOffset[n]);
    const PackBlockEntry& block = blocks_[index];
    if (block.InUse()) continue;
    uint64_t extent = BlockExtent(block.storedSize);
    uint64_t next = n + 1 < byOffset.size() ? byOffset[n + 1] >> 32 : dataEnd;
    if (next > block.offset + extent && next <= dataEnd) {
      extent = (next - block.offset) / kPackGranule * kPackGranule;
    }
    freeBlocks_.emplace(static_cast<uint32_t>(extent), index);
  }
}

bool PackArchiveImpl::Create(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  Close();
  path_ = path;
  readOnly_ = false;
  auto file = std::make_shared<File>();
  if (!file->Open(path, FileMode::kCreate)) {
    ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
    return false;
  }
  file_ = std::move(file);
  header_ = NewPackHeader();
  uint8_t raw_header[kPackHeaderSize];
  EncodeHeader(header_, raw_header);
  // The hash table and the block table region are all zeros in a new archive.
  std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[kPackBlockTableCapacity]());
  if (zeros == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", static_cast<unsigned>(kPackBlockTableCapacity));
    return false;
  }
  if (!file_->Write(raw_header, kPackHeaderSize) ||
      !file_->Write(zeros.get(), kPackHashTableSize) ||
      !file_->Write(zeros.get(), kPackBlockTableCapacity)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  return true;
}

bool PackArchiveImpl::Close() {
  while (!streams_.empty()) streams_.back()->Release();
  bool ok = true;
  if (file_ != nullptr && !readOnly_ && !broken_) {
    // The data first: a cleared write flag must never reach the disk ahead
    // of the changes it vouches for.
    ok = FlushForWrite();
    if (ok && header_.writeFlag != 0) {
      header_.writeFlag = 0;
      ok = WriteHeader() && FlushForWrite();
    }
    if (!ok) NameArchiveInError(nullptr);
  }
  threadHandles_.clear();
  file_.reset();  // the last owner closes the handle, once
  header_ = PackHeader();
  slots_.Clear();
  blocks_.clear();
  freeBlocks_.clear();
  readOnly_ = true;
  broken_ = false;
  return ok;
}

int32_t PackArchiveImpl::LookupSlot(const char* name) const {
  return slots_.FindSlot(NormalizeName(std::string(name)));
}

const PackBlockEntry* PackArchiveImpl::SlotBlock(int32_t slot) const {
  uint32_t index = slots_[static_cast<uint32_t>(slot)].BlockIndex();
  if (index >= blocks_.size()) {
    ReportError(ERR_BAD_DATA, "slot=%d, block=%d", static_cast<int>(slot), static_cast<int>(index));
    return nullptr;
  }
  return &blocks_[index];
}

bool PackArchiveImpl::HasFile(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  return LookupSlot(name) >= 0;
}

uint32_t PackArchiveImpl::GetFileSize(const char* name, bool stored) {
  const PackBlockEntry* block = FindBlock(name);
  if (block == nullptr) return 0;
  return stored ? block->storedSize : block->contentSize;
}

uint8_t PackArchiveImpl::GetCompressType(const char* name) {
  const PackBlockEntry* block = FindBlock(name);
  return block == nullptr ? 0 : block->CompressType();
}

const PackBlockEntry* PackArchiveImpl::FindBlock(const char* name) const {
  if (name == nullptr || name[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return nullptr;
  }
  int32_t slot = LookupSlot(name);
  if (slot < 0) {
    ReportError(ERR_NOT_FOUND, "%s", name);
    return nullptr;
  }
  return SlotBlock(slot);
}

File* PackArchiveImpl::GetThreadHandle() {
  std::thread::id self = std::this_thread::get_id();
  auto found = threadHandles_.find(self);
  if (found != threadHandles_.end()) return found->second.get();
  auto handle = std::make_shared<File>();
  if (!handle->Open(path_.c_str(), FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path_.c_str(), LastSystemError());
    return nullptr;
  }
  File* raw = handle.get();
  threadHandles_.emplace(self, std::move(handle));
  return raw;
}

PackFileStream* PackArchiveImpl::OpenFile(const char* name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (name == nullptr || name[0] == '\0' || !IsOpen()) {
    ReportError(ERR_INVALID, "");
    return nullptr;
  }
  const PackBlockEntry* block = FindBlock(name);
  if (block == nullptr) return nullptr;
  return OpenBlockLocked(*block);
}

PackFileStream* PackArchiveImpl::OpenSlot(uint32_t slot) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!IsOpen() || slot >= kPackHashSlotCount || !slots_[slot].InUse()) {
    ReportError(ERR_INVALID, "");
    return nullptr;
  }
  const PackBlockEntry* block = SlotBlock(static_cast<int32_t>(slot));
  return block == nullptr ? nullptr : OpenBlockLocked(*block);
}

PackFileStream* PackArchiveImpl::OpenBlockLocked(const PackBlockEntry& block) {
  File* handle = GetThreadHandle();
  if (handle == nullptr) return nullptr;
  uint8_t type = block.CompressType();
  const Codec* codec = nullptr;
  if (type != COMPRESS_NONE) {
    codec = FindCodec(type);
    if (codec == nullptr) {
      ReportError(ERR_NO_CODEC, "CompressType=%d", type);
      return nullptr;
    }
  }
  std::unique_ptr<PackStreamImpl> stream(new PackStreamImpl(this));
  if (!stream->Start(codec, handle, block.offset, block.storedSize, block.contentSize,
                     block.contentSize <= kPackWholeLoadLimit)) {
    return nullptr;
  }
  streams_.push_back(stream.get());
  return stream.release();
}

void PackArchiveImpl::RemoveStream(PackStreamImpl* stream) {
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < streams_.size(); ++i) {
    if (streams_[i] == stream) {
      streams_.erase(streams_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  delete stream;
}

bool PackArchiveImpl::ReadFileData(const char* name, bool viaStream, void* buffer,
                                   uint32_t length) {
  if (name == nullptr || name[0] == '\0' || !IsOpen() || (buffer == nullptr && length > 0)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (viaStream) {
    PackFileStream* stream = OpenFile(name);
    if (stream == nullptr) return false;
    uint32_t want = length < stream->GetSize() ? length : stream->GetSize();
    uint32_t got = stream->Read(buffer, want);
    stream->Release();
    // A short read has reported its cause; it is not a success.
    return got == want;
  }
  const PackBlockEntry* block = FindBlock(name);
  if (block == nullptr) return false;
  uint32_t offset = block->offset;
  std::lock_guard<std::mutex> guard(lock_);
  File* handle = GetThreadHandle();
  if (handle == nullptr) return false;
  if (!handle->Seek(offset)) {
    ReportError(ERR_SEEK, "pos=%d", static_cast<int>(offset));
    return false;
  }
  return ReadExactly(handle, buffer, length);
}

}  // namespace qlmr
