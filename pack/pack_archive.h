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
  // the end, for a null destination or on failure). A stream loaded whole
  // reads from memory and cannot fail; one that reads on demand fails with
  // ERR_SEEK "pos=%d", ERR_READ "WinErr=%d" (0: a short read) or the
  // codec's Decode codes, its position then unchanged.
  virtual uint32_t Read(void* destination, uint32_t n) = 0;
  // Reads one line: bytes up to LF (a CR before it dropped), at most
  // `length`, stored zero-terminated (the destination holds length + 1
  // bytes; null skips the copy). Returns the line's length; 0 for an empty
  // line or at the end. A failed Read (reported by it) ends the line there.
  virtual uint32_t ReadLine(char* destination, uint32_t length) = 0;
  // Skips past the next LF; returns the bytes skipped, the LF included. A
  // failed Read (reported by it) ends the skip there.
  virtual uint32_t SkipLine() = 0;
  virtual void SetPosition(uint32_t position) = 0;
  virtual uint32_t GetPosition() const = 0;
  virtual bool IsEof() const = 0;
  // The content size (contentSize of the block).
  virtual uint32_t GetSize() const = 0;
  // The system's CRC of the whole content, computed once and cached.
  // 0xFFFFFFFF, not cached, when a Read failed (reported by it) or its read
  // buffer could not be had (ERR_NO_MEMORY "Size=%u").
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
  // Opens an existing archive, closing what the object held. For writing,
  // the write flag is set on disk before returning, and what an interrupted
  // AddFile or RemoveFile left is mended so that the same call can be made
  // again. Fails with ERR_INVALID (no path), ERR_ACCESS "File=%s, WinErr=%d"
  // (open), ERR_READ "WinErr=%d" (the header, the tables or the file size;
  // 0: a short read), ERR_VERSION "Version=%d, LibVersion=%d", ERR_MODE
  // (read-only open of an archive whose write flag is set), ERR_SEEK
  // "file: %s, point=%d" (the header or a table), ERR_BAD_DATA (corrupt tables:
  // table offsets, blockCount beyond 65,536, a block outside the data area,
  // the file or 32-bit positions) or ERR_NO_MEMORY "Size=%u"; for writing
  // also with the writers' ERR_SEEK and ERR_WRITE of setting the flag and
  // mending, their message ending ", <words>, pack=<path>" (<words>:
  // SystemErrorWords). An absent path changes nothing; after any other
  // failure only Close, Open or Create may follow, and Close leaves the disk
  // as it is (the write flag set if it got there).
  virtual bool Open(const char* path, bool readOnly) = 0;
  // Creates a new empty archive (replacing a file) and leaves it open for
  // writing. Fails with ERR_INVALID (no path), ERR_ACCESS "WinErr=%d"
  // (create), ERR_NO_MEMORY "Size=%u" (the zeros of the empty tables) or
  // ERR_WRITE "WinErr=%d" (the empty tables); the file may then be left
  // partly written.
  virtual bool Create(const char* path) = 0;
  // Releases all streams, makes the archive's data durable, clears the write
  // flag on disk (flushed again), closes all handles and resets the object,
  // whatever happens. False when a write or a flush of that failed: ERR_WRITE
  // "winErr: %d, <words>, pack=%s" (<words>: SystemErrorWords), or ERR_SEEK
  // "point=0, <words>, pack=%s" when the header cannot be reached; the write
  // flag may then stay set on disk, so readers refuse the archive until a
  // writer opens and closes it again. An archive that could not be mended
  // after a failed change keeps its write flag without a report. Closing a
  // closed or read-only archive succeeds.
  virtual bool Close() = 0;
  // Whether `name` is stored. An empty name gives ERR_INVALID.
  virtual bool HasFile(const char* name) = 0;
  // A stream over the decoded content of `name`, owned by the archive until
  // Release. Null with ERR_INVALID (empty name, closed archive),
  // ERR_NOT_FOUND (the name), ERR_BAD_DATA "slot=%d, block=%d" (the slot
  // names a block the table lacks) or "contentSize=%d, storedSize=%d" (sizes
  // the block cannot hold: content read on demand reaching past its block, or
  // more content than the stored bytes can decode to), ERR_ACCESS "File=%s, WinErr=%d" (this
  // thread's read handle) or ERR_NO_CODEC "CompressType=%d"; a file loaded whole (up to 512,000
  // bytes of content, or whose codec decodes only whole data) also with ERR_NO_MEMORY "size=%d",
  // ERR_SEEK "pos=%d", ERR_READ "WinErr=%d" (0: a short read) and the codec's Decode codes.
  virtual PackFileStream* OpenFile(const char* name) = 0;
  // storedSize when `stored`, else contentSize; 0 with ERR_INVALID (empty
  // name), ERR_NOT_FOUND (the name) or ERR_BAD_DATA "slot=%d, block=%d".
  virtual uint32_t GetFileSize(const char* name, bool stored) = 0;
  // The compression type id of `name`; 0 with GetFileSize's codes.
  virtual uint8_t GetCompressType(const char* name) = 0;
  // Stores a new file or replaces a stored one. `source` is a buffer of
  // `length` bytes when `fromBuffer`, else a zero-terminated path whose file
  // is copied. The bytes are stored exactly as given: when `compressType` is
  // not 0 they must already be encoded with that codec, and `contentSize` is
  // the decoded length (ignored for type 0). `flush` makes the change durable
  // before returning. Fails with ERR_INVALID (empty name, closed archive, no
  // source), ERR_ACCESS (read-only archive, empty message; or "Open file: %s,
  // WinErr=%d", the source file), ERR_NOT_FOUND (the source path: no such
  // file), ERR_TABLE_FULL (hash table full), ERR_NO_BLOCK (no room: block
  // table full or past 32-bit positions), ERR_READ "file: %s" (reading the
  // source file), ERR_SEEK and ERR_WRITE of the writes and the flush
  // (message ending in ", <words>, pack=<path>, file=<name>"), or
  // ERR_NO_MEMORY "Size=%u". After a failure the archive matches the disk
  // again and stays usable; other stored files are untouched, and `name` may
  // hold neither its old nor its new content until the call is made again.
  // If even that fails, later changes get ERR_WRITE "archive must be
  // reopened".
  virtual bool AddFile(const void* source, uint32_t length, const char* name, bool fromBuffer,
                       bool flush, uint8_t compressType, uint32_t contentSize) = 0;
  // Deletes a stored file. Fails with ERR_INVALID (empty name, closed
  // archive), ERR_ACCESS (read-only archive), ERR_NOT_FOUND (the name: not
  // stored), ERR_SEEK and ERR_WRITE as AddFile, or ERR_NO_MEMORY "Size=0".
  // After a failure the archive is as after a failed AddFile, the file still
  // stored or gone; the call can be made again (ERR_NOT_FOUND once it is
  // gone).
  virtual bool RemoveFile(const char* name, bool flush) = 0;
  // Checks a read-only archive against its list file: every listed file's
  // size and CRC, the count line, and that every in-use slot and block is
  // listed. Each callback, if given, sees its items and stops Verify (false,
  // without a report) by returning false. Fails with ERR_INVALID (closed
  // archive), ERR_MODE (the write flag is set, as it is while an archive is
  // open for writing), OpenFile's codes for the list or a listed file
  // (ERR_NOT_FOUND: it is not stored), ERR_READ "file=%s" (a listed file
  // reads short) or ERR_BAD_DATA with "list file second line=0" (an empty
  // line), "list file=%s" (a line that is no entry), "file=%s,
  // sizedif(%d!=%d)", "file=%s, crcdif(%d!=%d)", "file countdif(%d!=%d)",
  // "unref hashnode(%d)" or "unref blocknode(%d)"; ERR_NO_MEMORY "Size=%u"
  // (a CRC's read buffer).
  virtual bool Verify(void* context, PackVerifyFileCallback onFile,
                      PackVerifyHashCallback onHashEntry, PackVerifyBlockCallback onBlockEntry) = 0;
  // Always "(list)".
  virtual const char* GetListFileName() const = 0;
  // Reads `name` into `buffer`: through a stream (decoded, up to `length`
  // bytes) when `viaStream`, else exactly `length` raw stored bytes. Fails
  // with ERR_INVALID (empty name, closed archive, no buffer for a length),
  // then through a stream with OpenFile's and Read's codes, else with
  // ERR_NOT_FOUND, ERR_BAD_DATA "slot=%d, block=%d", ERR_ACCESS (this
  // thread's read handle), ERR_SEEK "pos=%d" or ERR_READ "WinErr=%d" (0: a
  // short read). The buffer's content is then unspecified.
  virtual bool ReadFileData(const char* name, bool viaStream, void* buffer, uint32_t length) = 0;
  virtual ~PackArchive() = default;
};

// A new, closed archive object.
std::unique_ptr<PackArchive> NewPackArchive();

}  // namespace qlmr
