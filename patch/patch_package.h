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
// Code 3 "File=%s, WinErr=%d" when it cannot be opened (result 0).
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
  // Whether the file's last 4 bytes are the CRC of the bytes before them.
  virtual bool VerifyPackageFile(const char* path) = 0;
  // Opens a masked zip or a packed file and merges its control list into the
  // tables. A path opened before (in any letter case) is not read again.
  // A packed file's CRC trailer and lengths are checked as it is unpacked;
  // a container whose records overlap or run past its end, or that holds no
  // control list, is refused.
  // Codes: 10, 2 (unexpected kind, an unsafe name in the control list,
  // "File=%s(crc)", "File=%s(size)", "Entry=%s(truncated)",
  // "Entry=%s(overlaps)", and ExtractEntry's for the control list), 9 (a
  // control list beyond kMaxControlListSize), 14 "ziperr=%d" (also a missing
  // control list), and those of DetectPatchKind and the unpacking
  // (patch/packed_file.h).
  virtual bool OpenPackage(const char* path, const char* packExtension) = 0;
  // Loose entries plus the entries of every pack: the number of progress
  // calls a full ApplyPackage makes when every pack-bound op is 0 or 1.
  virtual int32_t GetEntryCount() const = 0;
  // Sets the folder that receives the unpacked copy of a packed file.
  // Codes: 10 (not an existing folder), 17 (set already).
  virtual bool SetWorkFolder(const char* path) = 0;
  // Applies every entry to `installDir`: whole packs, a 500 ms pause, per
  // pack its deletions then its writes, the other loose files, and the
  // version file `versionFileName` last. Stops at the first failure.
  virtual bool ApplyPackage(const char* installDir, const char* packExtension,
                            const char* versionFileName, PatchProgressCallback callback) = 0;
  // FileCrc of base/file_util.h.
  virtual bool ComputeFileCrc(const char* path, uint32_t* crc, bool excludeTrailer) = 0;
  // The read handlers that fit the file's kind (1, 2 or 3), or null.
  virtual const ZipReadHandlers* GetReadHandlers(const char* path) = 0;
  // Turns a plain zip into a packed file or a packed file into a plain zip,
  // copying `source` to `target` first when they differ.
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

// For owners that prefer a smart pointer.
struct PatchPackageDeleter {
  void operator()(PatchPackage* package) const { package->DestroyPackage(1); }
};
using PatchPackagePtr = std::unique_ptr<PatchPackage, PatchPackageDeleter>;

}  // namespace qlmr
