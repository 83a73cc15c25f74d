// Inside the pack archive library: the archive object and its stream, shared
// by the units that open and read, write, and verify. Not for callers; they
// use pack/pack_archive.h (and tools pack/pack_inspect.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"

namespace qlmr {

class PackArchiveImpl;

class PackStreamImpl final : public PackFileStream {
 public:
  explicit PackStreamImpl(PackArchiveImpl* owner) : owner_(owner) {}
  ~PackStreamImpl() override = default;

  // Sets the stream up over one block; with a buffer (small files, or a codec
  // that needs the whole block) the content is read and decoded now.
  bool Start(const Codec* codec, File* handle, uint32_t blockOffset, uint32_t storedSize,
             uint32_t contentSize, bool loadWhole);

  uint32_t Read(void* destination, uint32_t n) override;
  uint32_t ReadLine(char* destination, uint32_t length) override;
  uint32_t SkipLine() override;
  void SetPosition(uint32_t position) override { position_ = position; }
  uint32_t GetPosition() const override { return position_; }
  bool IsEof() const override { return position_ >= size_; }
  uint32_t GetSize() const override { return size_; }
  uint32_t GetCrc() override;
  void Release() override;

 private:
  PackArchiveImpl* owner_;
  const Codec* codec_ = nullptr;
  File* handle_ = nullptr;
  uint32_t blockOffset_ = 0;
  uint32_t position_ = 0;
  uint32_t storedSize_ = 0;
  uint32_t size_ = 0;
  uint32_t crc_ = 0xFFFFFFFFu;
  std::unique_ptr<uint8_t[]> buffer_;
};

// What a writer puts on disk, for the write hook.
enum class PackWriteKind { kHeader, kHashEntry, kBlockEntry, kData };

class PackArchiveImpl final : public PackArchive {
 public:
  PackArchiveImpl();
  ~PackArchiveImpl() override;

  bool Open(const char* path, bool readOnly) override;
  bool Create(const char* path) override;
  bool Close() override;
  bool HasFile(const char* name) override;
  PackFileStream* OpenFile(const char* name) override;
  uint32_t GetFileSize(const char* name, bool stored) override;
  uint8_t GetCompressType(const char* name) override;
  bool AddFile(const void* source, uint32_t length, const char* name, bool fromBuffer, bool flush,
               uint8_t compressType, uint32_t contentSize) override;
  bool RemoveFile(const char* name, bool flush) override;
  bool Verify(void* context, PackVerifyFileCallback onFile, PackVerifyHashCallback onHashEntry,
              PackVerifyBlockCallback onBlockEntry) override;
  const char* GetListFileName() const override { return kPackListFileName; }
  bool ReadFileData(const char* name, bool viaStream, void* buffer, uint32_t length) override;

  // --- Internal operations, in memory only or single writes. ---

  // Places `size` stored bytes: the front of the smallest free extent that
  // fits (its tail split off into a new free entry), or a new block appended
  // to the data area. Returns false with ERR_NO_BLOCK when that would need a block
  // entry beyond the table's room or an extent past the largest position;
  // nothing is changed then. *splitIndex is -1 without a split.
  bool AllocateBlock(uint32_t size, int32_t* index, int32_t* splitIndex);

  bool WriteHeader();
  bool WriteHashEntry(uint32_t slot);
  bool WriteBlockEntry(uint32_t index);
  bool WriteDataFromFile(uint32_t position, uint32_t extent, const char* path);
  bool WriteDataFromBuffer(uint32_t position, uint32_t extent, const void* buffer, uint32_t length);

  // Called before each writer touches the disk with the kind and the slot,
  // block index or data position; false makes that write fail (ERR_WRITE) as an
  // interrupted one would. For tests.
  using WriteHook = std::function<bool(PackWriteKind kind, uint32_t where)>;
  void SetWriteHook(WriteHook hook) { writeHook_ = std::move(hook); }

  // OpenFile for an in-use slot instead of a name (ERR_INVALID otherwise).
  PackFileStream* OpenSlot(uint32_t slot);

  bool IsOpen() const { return file_ != nullptr; }
  const PackHeader& header() const { return header_; }
  const PackSlotTable& slots() const { return slots_; }
  const std::vector<PackBlockEntry>& blocks() const { return blocks_; }
  // Extent -> block index; equal extents in the order they were freed.
  const std::multimap<uint32_t, uint32_t>& free_blocks() const { return freeBlocks_; }
  size_t open_stream_count() const { return streams_.size(); }
  // Read handles held, the main one included when it reads for its thread.
  size_t thread_handle_count() const { return threadHandles_.size(); }

 private:
  friend class PackStreamImpl;

  // Reads and checks the header and both tables from disk (no repair).
  bool LoadTables();
  bool CheckLayout();
  // For a writer: counts out the block entries that a cut-off append never
  // wrote (still all zero), so that the repair can mend what refers to them.
  void DropLostBlockEntries();
  // For a writer: counts in the block entries that a change cut off before
  // its header write appended, when a slot names them (and they overlap no
  // counted block), so that the file the slot names is kept. False only when
  // they cannot be read.
  bool CountInUncountedBlockEntries(uint64_t fileSize);
  bool CheckBlocks(uint64_t fileSize);
  void RebuildFreeBlocks();
  // The in-use slot of `name`, or -1. Reports nothing.
  int32_t LookupSlot(const char* name) const;
  // The block of a stored name, or null with ERR_INVALID, ERR_NOT_FOUND or
  // ERR_BAD_DATA.
  const PackBlockEntry* FindBlock(const char* name) const;
  // The block of an in-use slot, or null with ERR_BAD_DATA when the slot names a
  // block the table does not hold.
  const PackBlockEntry* SlotBlock(int32_t slot) const;
  bool CheckTables(uint64_t fileSize);
  // After an interrupted write: frees in-use blocks that no slot references
  // and deletes slots whose block is missing or free, on disk too.
  bool RepairInterruptedWrite();
  File* GetThreadHandle();
  // OpenFile's work once the block is known; the lock is held.
  PackFileStream* OpenBlockLocked(const PackBlockEntry& block);
  void RemoveStream(PackStreamImpl* stream);
  void FreeBlock(uint32_t index, uint32_t extent);
  // A new block for the file in `slot`: allocation, slot and block in
  // memory, then split entry, data and block entry on disk.
  bool PlaceFile(uint32_t slot, const void* source, uint32_t size, bool fromBuffer,
                 uint8_t compressType, uint32_t contentSize, uint32_t* dst);
  // AddFile after its checks: replace in place, move, or store anew.
  bool StoreFile(uint32_t slot, const void* source, uint32_t size, bool fromBuffer,
                 uint8_t compressType, uint32_t contentSize);
  bool BeginWrite(PackWriteKind kind, uint32_t where);
  bool SeekForWrite(uint32_t position);
  // AddFile and RemoveFile without their guard against running out of memory.
  bool AddFileUnguarded(const void* source, uint32_t length, const char* name, bool fromBuffer,
                        bool flush, uint8_t compressType, uint32_t contentSize);
  bool RemoveFileUnguarded(const char* name, bool flush);
  // A change ran out of memory: ERR_NO_MEMORY "Size=%u", memory reloaded from disk
  // (or the archive marked broken). Returns false.
  bool OutOfMemory(uint32_t size);
  bool OpenUnguarded(const char* path, bool readOnly);
  // AddFile's and RemoveFile's common start (ERR_ACCESS read-only, ERR_WRITE
  // after an unrecoverable failure) and end (flush, or resync after a
  // failure).
  bool MayChange();
  bool EndChange(bool ok, bool flush, const char* storedName);
  // Flushes the main handle; ERR_WRITE "winErr: %d" on failure.
  bool FlushForWrite();
  // Adds to a write or seek failure (ERR_WRITE, ERR_SEEK) what it means and where:
  // "<message>, disk full|I/O error|error, pack=<path>[, file=<name>]".
  void NameArchiveInError(const char* storedName) const;
  // After a failed AddFile or RemoveFile: reloads the tables from disk, so
  // that memory matches what was written. Keeps the caller's error.
  void ResyncAfterFailure();
  bool WriteData(uint32_t position, uint32_t extent, const void* source, uint32_t length,
                 bool fromBuffer);

  std::string path_;
  bool readOnly_ = true;
  std::shared_ptr<File> file_;
  PackHeader header_;
  PackSlotTable slots_;
  std::vector<PackBlockEntry> blocks_;
  std::multimap<uint32_t, uint32_t> freeBlocks_;
  // The file's size when the tables were last loaded: free space is never
  // found past it, whatever the header's data area claims.
  uint64_t loadedFileSize_ = 0;
  std::map<std::thread::id, std::shared_ptr<File>> threadHandles_;
  std::vector<PackStreamImpl*> streams_;  // owned
  std::mutex lock_;
  // Set when a failed change could not be resynchronised: the archive then
  // refuses further changes and Close leaves the write flag on disk.
  bool broken_ = false;
  WriteHook writeHook_;
};

}  // namespace qlmr
