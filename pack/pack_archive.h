// Pack archives: one disk file holding many named stored files, found through
// two hashes of their normalised name (the on-disk layout is in
// pack/pack_format.h).
//
// A PackArchive is closed after construction, open read-only ("Const Mode")
// after Open(path, true), and open for writing after Open(path, false) or
// Create. It owns its file handles, its tables and every stream it handed
// out; a caller hands a stream back with Release, and Close releases what is
// still open.
//
// Threads: Open, Create, Close, AddFile and RemoveFile take no lock and are
// called by one thread while no other thread reads the same archive. OpenFile,
// ReadFileData and stream Release take the archive's lock; each reading thread
// reads through its own read-only handle, so several threads may read at once,
// each through its own streams.
//
// Failures are reported through base/error.h and return false, 0 or null.
#pragma once

#include <cstdint>
#include <memory>

namespace qlmr {

// A reader over one stored file's decoded content. Obtained from OpenFile;
// used by one thread at a time; ends with Release (or the archive's Close).
// The virtual operations are in the system's fixed slot order.
class PackFileStream {
 public:
  // Copies up to `n` bytes from the read position; returns the count (0 at
  // the end, for a null destination or on failure).
  virtual uint32_t Read(void* destination, uint32_t n) = 0;
  // Reads one line: bytes up to LF (a CR before it dropped), at most
  // `length`, stored zero-terminated (the destination holds length + 1
  // bytes; null skips the copy). Returns the line's length; 0 for an empty
  // line or at the end.
  virtual uint32_t ReadLine(char* destination, uint32_t length) = 0;
  // Skips past the next LF; returns the bytes skipped, the LF included.
  virtual uint32_t SkipLine() = 0;
  virtual void SetPosition(uint32_t position) = 0;
  virtual uint32_t GetPosition() const = 0;
  virtual bool IsEof() const = 0;
  // The content size (contentSize of the block).
  virtual uint32_t GetSize() const = 0;
  // The system's CRC of the whole content, computed once and cached.
  virtual uint32_t GetCrc() = 0;
  // Hands the stream back to its archive, which destroys it.
  virtual void Release() = 0;

 protected:
  virtual ~PackFileStream() = default;
};

// Verify's callbacks; returning false stops Verify (false, no error).
using PackVerifyFileCallback = bool (*)(void* context, const char* name, PackFileStream* stream);
using PackVerifyHashCallback = bool (*)(void* context, uint32_t hashA, uint32_t hashB);
using PackVerifyBlockCallback = bool (*)(void* context, uint32_t offset, uint32_t storedSize,
                                         uint32_t contentSize);

// The archive. The virtual operations are in the system's fixed slot order;
// the destructor (which closes the archive) takes the last slot.
class PackArchive {
 public:
  // Opens an existing archive, closing what the object held. Codes: 10, 3
  // "File=%s, WinErr=%d", 4 "WinErr=%d", 16 "Version=%d, LibVersion=%d",
  // 7 (read-only open of an archive whose write flag is set), 6, 2 (corrupt
  // tables: table offsets, blockCount beyond 65,536, a block outside the
  // data area, the file or 32-bit positions). For writing, the write flag is
  // set on disk before returning, and what an interrupted AddFile or
  // RemoveFile left is mended so that the same call can be made again.
  virtual bool Open(const char* path, bool readOnly) = 0;
  // Creates a new empty archive (replacing a file) and leaves it open for
  // writing. Codes: 10, 3 "WinErr=%d", 5 "WinErr=%d".
  virtual bool Create(const char* path) = 0;
  // Releases all streams, makes the archive's data durable, clears the write
  // flag on disk (flushed again), closes all handles and resets the object,
  // whatever happens. False when a write or a flush of that failed: code 5
  // "winErr: %d, disk full|I/O error, pack=%s"; the write flag may then stay
  // set on disk, so readers refuse the archive until a writer opens and
  // closes it again. An archive that could not be mended after a failed
  // change keeps its write flag without a report. Closing a closed or
  // read-only archive succeeds.
  virtual bool Close() = 0;
  // Whether `name` is stored. An empty name gives code 10.
  virtual bool HasFile(const char* name) = 0;
  // A stream over the decoded content of `name`, owned by the archive until
  // Release. Codes: 10, 1 (the name), 18 "CompressType=%d", and the codec's.
  virtual PackFileStream* OpenFile(const char* name) = 0;
  // storedSize when `stored`, else contentSize; 0 with code 10 or 1.
  virtual uint32_t GetFileSize(const char* name, bool stored) = 0;
  // The compression type id of `name`; 0 with code 10 or 1.
  virtual uint8_t GetCompressType(const char* name) = 0;
  // Stores a new file or replaces a stored one. `source` is a buffer of
  // `length` bytes when `fromBuffer`, else a zero-terminated path whose file
  // is copied. The bytes are stored exactly as given: when `compressType` is
  // not 0 they must already be encoded with that codec, and `contentSize` is
  // the decoded length (ignored for type 0). `flush` makes the change durable
  // before returning. Codes: 10, 3, 1 "%s" (no source file), 11 (hash table
  // full), 12 (no room: block table full or past 32-bit positions), and the
  // writers' 5 and 6. After a failure the archive matches the disk again and
  // stays usable; if even that fails, later changes get code 5.
  virtual bool AddFile(const void* source, uint32_t length, const char* name, bool fromBuffer,
                       bool flush, uint8_t compressType, uint32_t contentSize) = 0;
  // Deletes a stored file. Codes: 10, 3 (read-only), 1 "%s" (not stored).
  virtual bool RemoveFile(const char* name, bool flush) = 0;
  // Checks a read-only archive against its list file; see PackVerify*.
  virtual bool Verify(void* context, PackVerifyFileCallback onFile,
                      PackVerifyHashCallback onHashEntry, PackVerifyBlockCallback onBlockEntry) = 0;
  // Always "(list)".
  virtual const char* GetListFileName() const = 0;
  // Reads `name` into `buffer`: through a stream (decoded, up to `length`
  // bytes) when `viaStream`, else exactly `length` raw stored bytes.
  virtual bool ReadFileData(const char* name, bool viaStream, void* buffer, uint32_t length) = 0;
  virtual ~PackArchive() = default;
};

// A new, closed archive object.
std::unique_ptr<PackArchive> NewPackArchive();

}  // namespace qlmr
