// The one implementation of PatchPackage. Internal to the patch subsystem;
// tests reach the tables through it.
#pragma once

#include <string>
#include <vector>

#include "base/platform.h"
#include "patch/patch_format.h"
#include "patch/patch_package.h"
#include "patch/patch_tables.h"

namespace qlmr {

class ApplyAhead;
class PackArchive;

// DetectPatchKind that also tells whether the file could be opened: false
// (ERR_ACCESS reported) when it could not.
bool DetectPatchKindChecked(const char* path, uint8_t header[8], PatchKind* kind);

// A step of ApplyPackage over the tables (see PatchStep).
struct PlannedStep {
  PatchStep::Kind kind;
  const PatchEntry* entry;  // kLooseEntry, kPackEntry, kSkipped
  std::string packKey;      // kOpenPack
};

class PatchPackageImpl : public PatchPackage {
 public:
  PatchPackageImpl();

  bool VerifyPackageFile(const char* path) override;
  bool OpenPackage(const char* path, const char* packExtension) override;
  int32_t GetEntryCount() const override;
  bool SetWorkFolder(const char* path) override;
  bool ApplyPackage(const char* installDir, const char* packExtension, const char* versionFileName,
                    PatchProgressCallback callback) override;
  bool ComputeFileCrc(const char* path, uint32_t* crc, bool excludeTrailer) override;
  const ZipReadHandlers* GetReadHandlers(const char* path) override;
  bool ConvertPackageFile(const char* source, const char* target) override;
  void DestroyPackage(uint32_t freeSelf) override;

  const PatchTables& tables() const { return tables_; }
  // The pause after the whole packs; tests that apply many times shorten it.
  void SetPackPause(uint32_t milliseconds) { pauseMilliseconds_ = milliseconds; }
  // How many threads encode the coming entries during an apply; 0 does
  // every entry at its turn on the applying thread alone, as a reference.
  void SetApplyThreads(uint32_t threads) { aheadThreads_ = threads; }

  // The steps of ApplyPackage in their order: whole packs, the pause, per
  // pack its deletions then its writes, the other loose files, the version
  // file; the entries that are never applied follow.
  std::vector<PlannedStep> Plan(const char* packExtension, const char* versionFileName) const;
  const std::string& workFolder() const { return workFolder_; }

  // The work folder, made on first use (a private run folder, base/
  // run_folder.h, named "axu..."), and made anew if it has gone. Empty when it
  // cannot be made (ERR_ACCESS "Path=%s, WinErr=%d").
  std::string GetWorkFolder();
  // Deletes the work folder and its content; workFolder keeps its value.
  void RemoveWorkFolder();

  // One entry's work at its turn; with `ahead`, the entry's data comes from
  // there when it was prepared.
  static bool ApplyLooseEntry(const char* installDir, const PatchEntry& entry,
                              PatchProgressCallback callback, ApplyAhead* ahead = nullptr);
  static bool ApplyPackEntry(PackArchive* archive, const PatchEntry& entry,
                             PatchProgressCallback callback, ApplyAhead* ahead = nullptr);

 protected:
  ~PatchPackageImpl() override = default;

 private:
  // OpenPackage without its guard against running out of memory.
  bool OpenPackageUnguarded(const char* path, const char* packExtension);
  // Opens the container of a patch file of `kind` and stores it under `key`;
  // null with the error set.
  PatchContainer* OpenContainer(const std::string& path, const std::string& key, PatchKind kind);

  PatchTables tables_;
  std::string workFolder_;
  bool ownsWorkFolder_ = false;              // made here, so removed whole
  std::vector<std::string> unpackedCopies_;  // files unpacked into workFolder_
  uint32_t pauseMilliseconds_ = patch_format::kPackPauseMilliseconds;
  uint32_t aheadThreads_ = UsableProcessorCount();
};

}  // namespace qlmr
