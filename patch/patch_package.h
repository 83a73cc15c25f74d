// Patch packages: the one file that carries an update. A zip container
// (masked, or inside a packed file) holds the control list "(command)" and the
// data of every file the update writes. A PatchPackage opens such a file,
// reads its control list into ordered tables and applies them to an
// installation folder.
//
// Ownership: the caller of CreatePatchPackage owns the object and ends it with
// DestroyPackage. Threads: one thread uses a package; the zip reader's handler
// tables and the in-memory extraction buffer are process-wide, so one package
// operation runs at a time in the process.
//
// Failures are reported through base/error.h and return false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qlmr {

// What the first bytes of a file say it is.
enum PatchKind {
  PATCH_KIND_NONE = 0,
  PATCH_KIND_ZIP = 1,           // "PK": refused as a patch file
  PATCH_KIND_INVERTED_ZIP = 2,  // every byte complemented
  PATCH_KIND_MASKED_ZIP = 3,    // every byte XORed with PositionalMask
  PATCH_KIND_PACKED = 4,        // "JZQ1", LZMA-encoded zip with a CRC trailer
};

enum EntryOp {
  ENTRY_OP_WRITE = 0,
  ENTRY_OP_DELETE = 1,
};

// Classifies a file by its first 8 bytes, copied to `header` when given.
// 0 with ERR_ACCESS "File=%s, WinErr=%d" when it cannot be opened; 0 without
// a report for a file of 4 bytes or less or one that cannot be read.
PatchKind DetectPatchKind(const char* path, uint8_t header[8]);

// Called once per applied entry, before its work: the entry's packName
// (empty for a loose file), its fileName, and 0 for a write, 1 for a
// deletion (a loose entry passes its op). The result is not used.
using PatchProgressCallback = int (*)(const char* packName, const char* fileName, int32_t kind);

// The zip reader's read handlers for one kind of container (plain, inverted
// or masked); opaque outside the patch subsystem.
class ZipReadHandlers;

// The package. The virtual operations are in the system's fixed slot order.
class PatchPackage {
 public:
  // Whether the file's last 4 bytes are the CRC of the bytes before them. A
  // mismatch gives false without a report; fails with ERR_INVALID (no path)
  // or CheckFileCrc's codes (base/crc.h).
  virtual bool VerifyPackageFile(const char* path) = 0;
  // Opens a masked zip or a packed file and merges its control list into the
  // tables. A path opened before (in any letter case) is not read again.
  // A packed file's CRC trailer and lengths are checked as it is unpacked;
  // a container whose records overlap or run past its end, or that holds no
  // control list, is refused.
  // Fails with ERR_INVALID (no path; "Path=%s(too long)", the unpacked
  // copy's path), DetectPatchKind's ERR_ACCESS, ERR_BAD_DATA (a file neither
  // masked nor packed, or no zip inside: empty message; "Entry=%s(truncated)"
  // or "Entry=%s(overlaps)"; an unsafe name of the control list, named),
  // ERR_ACCESS "File=%s, WinErr=%d" (the container's size), ERR_ZIP
  // "ziperr=%d" (the directory cannot be opened, the control list is missing
  // or unreadable), ExtractEntry's codes for the control list (ERR_NO_MEMORY
  // "Size=%llu" beyond kMaxControlListSize), or ERR_NO_MEMORY "Size=%u" (the
  // tables); a packed file also with ERR_ACCESS "Path=%s, WinErr=%d" (the
  // work folder) or "WinErr=%d" (creating the unpacked copy), ERR_WRITE
  // "WinErr=%d" (closing it) and UnpackPackedFile's codes
  // (patch/packed_file.h). After a failure the tables are as they were and
  // the file counts as not opened; only ERR_NO_MEMORY "Size=%u" may leave it
  // counted as opened, with part of its list merged.
  virtual bool OpenPackage(const char* path, const char* packExtension) = 0;
  // Loose entries plus the entries of every pack: the number of progress
  // calls a full ApplyPackage makes when every pack-bound op is 0 or 1.
  virtual int32_t GetEntryCount() const = 0;
  // Sets the folder that receives the unpacked copy of a packed file. Fails
  // with ERR_INVALID (not an existing folder) or ERR_DUPLICATE (set already).
  virtual bool SetWorkFolder(const char* path) = 0;
  // Applies every entry to `installDir`: whole packs, a 500 ms pause, per
  // pack its deletions then its writes, the other loose files, and the
  // version file `versionFileName` last. Stops at the first failure: ERR_INVALID
  // (no installDir; a loose entry whose op is neither 0 nor 1; a compressType
  // without a codec; "Path=%s(too long)", a target beyond the path limit),
  // ExtractEntry's codes, the pack archive's Open, AddFile, RemoveFile and
  // Close codes (except RemoveFile's ERR_NOT_FOUND: a file not stored counts
  // as deleted), the codecs' Encode codes, ERR_BAD_DATA "Entry=%s(size)" (pack
  // data whose length is not its contentSize, or stored-form data claiming
  // more content than it can decode to), ERR_WRITE "File=%s, WinErr: %d,
  // %s" (a loose file that stays after its deletion, or one that cannot be
  // flushed before the version file) or ERR_NO_MEMORY "Size=%u". What was
  // applied before a failure stays; the open pack archive is closed, and the
  // version file keeps its old content, so the package can be applied again.
  virtual bool ApplyPackage(const char* installDir, const char* packExtension,
                            const char* versionFileName, PatchProgressCallback callback) = 0;
  // FileCrc of base/crc.h; ERR_INVALID without a path or `crc`.
  virtual bool ComputeFileCrc(const char* path, uint32_t* crc, bool excludeTrailer) = 0;
  // The read handlers that fit the file's kind (1, 2 or 3), or null:
  // with DetectPatchKind's ERR_ACCESS when the file cannot be opened, else
  // without a report.
  virtual const ZipReadHandlers* GetReadHandlers(const char* path) = 0;
  // Turns a plain zip into a packed file or a packed file into a plain zip,
  // copying `source` to `target` first when they differ. Fails with
  // ERR_INVALID (no source or target), ERR_WRITE "File=%s, WinErr: %d" (the
  // copy), DetectPatchKind's ERR_ACCESS, ERR_BAD_DATA (neither a plain zip
  // nor packed); to packed with MaskFileInPlace's and EncodeFile's codes; to a
  // zip with ERR_ACCESS "WinErr=%d" (the copy beside the target),
  // UnpackPackedFile's codes, ERR_WRITE "WinErr=%d" (moving it over the
  // target) and MaskFileInPlace's. The target then holds what it held before
  // the conversion (the source's content when the two differ), except that a
  // failure of the last step of unpacking leaves the zip inverted.
  virtual bool ConvertPackageFile(const char* source, const char* target) = 0;
  // Releases everything (closing containers, removing the work folder); with
  // bit 0 of `freeSelf` set it also deletes the object.
  virtual void DestroyPackage(uint32_t freeSelf) = 0;

 protected:
  virtual ~PatchPackage() = default;
};

// A new, empty package; the caller ends it with DestroyPackage(1).
PatchPackage* CreatePatchPackage();

// One step of ApplyPackage, for tools that show what a package would do.
struct PatchStep {
  enum Kind {
    kLooseEntry,  // ApplyLooseEntry on `entry`
    kPause,       // the 500 ms wait after the whole packs
    kOpenPack,    // a pack archive opened at `packKey`
    kPackEntry,   // ApplyPackEntry on `entry`, inside the last opened pack
    kSkipped,     // a pack-bound entry whose op is neither 0 nor 1: never applied
  };
  Kind kind;
  std::string packKey;  // kOpenPack: the normalized packName
  int32_t op = 0;
  std::string packName;  // as written in the control list
  std::string fileName;
  int32_t compressType = 0;
  uint32_t contentSize = 0;
};

// The steps ApplyPackage(installDir, packExtension, versionFileName, ...)
// takes on `package`, in its order, the skipped entries last.
std::vector<PatchStep> PlanPatchApplication(const PatchPackage& package, const char* packExtension,
                                            const char* versionFileName);

// While ApplyPackage writes an entry it prepares the coming ones (reads them,
// and encodes those of a packed patch on every processor) within a memory
// budget that suits the players' computers. A tool applying where its own
// memory counts (a self-check beside everything else it holds) sets a
// smaller one; the entry being written always goes ahead, so an apply never
// waits for memory, whatever the budget.
void SetApplyAheadMemory(PatchPackage* package, uint64_t bytes);

// For owners that prefer a smart pointer.
struct PatchPackageDeleter {
  void operator()(PatchPackage* package) const { package->DestroyPackage(1); }
};
using PatchPackagePtr = std::unique_ptr<PatchPackage, PatchPackageDeleter>;

}  // namespace qlmr
