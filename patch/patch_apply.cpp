// ApplyPackage: carries out the tables against an installation folder.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "base/codec.h"
#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/apply_ahead.h"
#include "patch/extract_entry.h"
#include "patch/patch_format.h"
#include "patch/patch_package_impl.h"

namespace qlmr {
namespace {

bool HasExtension(const std::string& name, const char* extension) {
  return strcasecmp(PathExtension(name).c_str(), extension) == 0;
}

// `folder` joined with `name`, or false (ERR_INVALID) when the result would not
// fit the system's path limit.
bool JoinWithinLimit(const char* folder, const std::string& name, std::string* joined) {
  *joined = JoinPath(folder, name);
  if (joined->size() > kMaxPath) {
    ReportError(ERR_INVALID, "Path=%s(too long)", joined->c_str());
    return false;
  }
  return true;
}

void Notify(PatchProgressCallback callback, const PatchEntry& entry, int32_t kind) {
  if (callback != nullptr) callback(entry.packName.c_str(), entry.fileName.c_str(), kind);
}

bool AddEncoded(PackArchive* archive, const PatchEntry& entry, const Codec* codec,
                const uint8_t* data, uint32_t length) {
  std::vector<uint8_t> encoded;
  if (!EncodeToBuffer(*codec, data, length, &encoded)) return false;
  return archive->AddFile(encoded.data(), static_cast<uint32_t>(encoded.size()),
                          entry.fileName.c_str(), true, true,
                          static_cast<uint8_t>(entry.compressType), entry.contentSize);
}

}  // namespace

std::vector<PlannedStep> PatchPackageImpl::Plan(const char* packExtension,
                                                const char* versionFileName) const {
  const char* extension = packExtension == nullptr ? "" : packExtension;
  std::string versionName = versionFileName == nullptr ? "" : versionFileName;
  std::vector<PlannedStep> steps;
  // Whole pack archives first: the pack-bound entries work on the new ones.
  for (const auto& loose : tables_.looseEntries) {
    if (HasExtension(loose.second.fileName, extension)) {
      steps.push_back({PatchStep::kLooseEntry, &loose.second, std::string()});
    }
  }
  steps.push_back({PatchStep::kPause, nullptr, std::string()});
  std::vector<PlannedStep> skipped;
  for (const auto& pack : tables_.packEntries) {
    steps.push_back({PatchStep::kOpenPack, nullptr, pack.first});
    for (int32_t op : {ENTRY_OP_DELETE, ENTRY_OP_WRITE}) {
      for (const auto& stored : pack.second) {
        if (stored.second.op == op) steps.push_back({PatchStep::kPackEntry, &stored.second, ""});
      }
    }
    for (const auto& stored : pack.second) {
      if (stored.second.op != ENTRY_OP_DELETE && stored.second.op != ENTRY_OP_WRITE) {
        skipped.push_back({PatchStep::kSkipped, &stored.second, std::string()});
      }
    }
  }
  // The version file goes last, so that a failure leaves the old version
  // installed and the same patch can be applied again.
  const PatchEntry* versionEntry = nullptr;
  for (const auto& loose : tables_.looseEntries) {
    const PatchEntry& entry = loose.second;
    if (HasExtension(entry.fileName, extension)) continue;
    if (entry.fileName == versionName) {
      versionEntry = &entry;
    } else {
      steps.push_back({PatchStep::kLooseEntry, &entry, std::string()});
    }
  }
  if (versionEntry != nullptr) {
    steps.push_back({PatchStep::kLooseEntry, versionEntry, std::string()});
  }
  steps.insert(steps.end(), skipped.begin(), skipped.end());
  return steps;
}

namespace {

// One run of ApplyPackage: the open pack archive and what the run wrote, so
// that it can make all of it durable before the version file.
class ApplyRun {
 public:
  ApplyRun(const char* installDir, const char* versionFileName, PatchProgressCallback callback,
           uint32_t pauseMilliseconds, ApplyAhead* ahead)
      : installDir_(installDir),
        versionName_(versionFileName == nullptr ? "" : versionFileName),
        callback_(callback),
        pauseMilliseconds_(pauseMilliseconds),
        ahead_(ahead) {}

  bool Step(const PlannedStep& step) {
    switch (step.kind) {
      case PatchStep::kLooseEntry:
        if (!CloseArchive()) return false;  // the last pack is done before the loose files
        if (step.entry->op == ENTRY_OP_WRITE && step.entry->fileName == versionName_) {
          return WriteVersionFile(*step.entry);
        }
        if (!PatchPackageImpl::ApplyLooseEntry(installDir_, *step.entry, callback_, ahead_)) {
          return false;
        }
        NoteLooseChange(*step.entry);
        return true;
      case PatchStep::kPause:
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds_));
        return true;
      case PatchStep::kOpenPack: {
        if (!CloseArchive()) return false;
        std::string path;
        if (!JoinWithinLimit(installDir_, step.packKey, &path)) return false;
        archive_ = NewPackArchive();
        return archive_->Open(path.c_str(), false);
      }
      case PatchStep::kPackEntry:
        return PatchPackageImpl::ApplyPackEntry(archive_.get(), *step.entry, callback_, ahead_);
      case PatchStep::kSkipped:
        return true;
    }
    return true;
  }

  // Closes the open pack archive; a failure to clear its write flag or to
  // flush it is a failure of the apply.
  bool CloseArchive() {
    if (archive_ == nullptr) return true;
    bool closed = archive_->Close();
    archive_.reset();
    return closed;
  }

  // After a failure: closes the archive and keeps the failure's report.
  void Abandon() {
    KeptError kept;
    archive_.reset();
    kept.Restore();
  }

 private:
  // The version file says the patch is installed, so it is written last,
  // after everything before it is durable, and never torn: to a temporary
  // file beside it, flushed, then moved over the old one.
  bool WriteVersionFile(const PatchEntry& entry) {
    Notify(callback_, entry, ENTRY_OP_WRITE);
    std::string target;
    if (!JoinWithinLimit(installDir_, entry.fileName, &target)) return false;
    if (!MakeEarlierWritesDurable()) return false;
    return ExtractEntryDurably(entry.container, entry.fileName.c_str(), target.c_str());
  }

  // Remembers what a loose entry changed, for MakeEarlierWritesDurable: the
  // file written, or the folder of the file deleted (once for a run of
  // deletions in one folder, as the key order brings them).
  void NoteLooseChange(const PatchEntry& entry) {
    std::string target = JoinPath(installDir_, entry.fileName);
    if (entry.op != ENTRY_OP_WRITE) {
      target = PathFolder(target);
      if (target == lastFolder_ || !IsFolder(target.c_str())) return;
      lastFolder_ = target;
    }
    changed_.push_back(target);
  }

  // Pack archives flush as they go. Loose files, whole archives written as
  // loose files, new folders and deletions are made durable together, on
  // every file system they lie on: a folder of the installation may be a
  // link to another disk.
  bool MakeEarlierWritesDurable() {
    changed_.push_back(installDir_);
    std::string failed;
    if (MakeDurable(changed_, &failed)) return true;
    int systemError = LastSystemError();
    ReportError(ERR_WRITE, "File=%s, WinErr: %d, %s", failed.c_str(), systemError,
                SystemErrorWords(systemError));
    return false;
  }

  const char* installDir_;
  std::string versionName_;
  PatchProgressCallback callback_;
  uint32_t pauseMilliseconds_;
  std::unique_ptr<PackArchive> archive_;
  std::vector<std::string> changed_;  // loose files written, folders deleted from
  std::string lastFolder_;            // the last folder deleted from
  ApplyAhead* ahead_;                 // null: every entry's work done at its turn
};

uint32_t StepSize(const PlannedStep& step) {
  return step.entry == nullptr ? 0 : step.entry->contentSize;
}

}  // namespace

bool PatchPackageImpl::ApplyPackage(const char* installDir, const char* packExtension,
                                    const char* versionFileName, PatchProgressCallback callback) {
  if (installDir == nullptr || installDir[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  // Thousands of new files in one folder would each read that folder again
  // to look for the name in another letter case.
  FolderListingScope listings;
  // Running out of memory anywhere ends the apply like any other failure:
  // reported, the archive closed, never an exception to the caller.
  std::vector<PlannedStep> steps;
  try {
    steps = Plan(packExtension, versionFileName);
  } catch (const std::bad_alloc&) {
    ReportError(ERR_NO_MEMORY, "Size=%u",
                static_cast<unsigned>(GetEntryCount() * sizeof(PlannedStep)));
    return false;
  }
  // The coming entries are read and encoded on every processor while the
  // steps before them change the disk; without memory for that, each entry
  // is done at its turn.
  std::unique_ptr<ApplyAhead> ahead;
  if (aheadThreads_ > 0) {
    try {
      ahead = std::make_unique<ApplyAhead>(steps, versionFileName == nullptr ? "" : versionFileName,
                                           aheadThreads_);
    } catch (const std::bad_alloc&) {
    }
  }
  ApplyRun run(installDir, versionFileName, callback, pauseMilliseconds_, ahead.get());
  for (const PlannedStep& step : steps) {
    bool ok = false;
    try {
      ok = run.Step(step);
    } catch (const std::bad_alloc&) {
      ReportError(ERR_NO_MEMORY, "Size=%u", StepSize(step));
    }
    if (!ok) {
      run.Abandon();
      return false;
    }
  }
  if (!run.CloseArchive()) return false;
  RemoveWorkFolder();
  return true;
}

std::vector<PatchStep> PlanPatchApplication(const PatchPackage& package, const char* packExtension,
                                            const char* versionFileName) {
  std::vector<PatchStep> steps;
  const auto& impl = static_cast<const PatchPackageImpl&>(package);
  for (const PlannedStep& planned : impl.Plan(packExtension, versionFileName)) {
    PatchStep step;
    step.kind = planned.kind;
    step.packKey = planned.packKey;
    if (planned.entry != nullptr) {
      step.op = planned.entry->op;
      step.packName = planned.entry->packName;
      step.fileName = planned.entry->fileName;
      step.compressType = planned.entry->compressType;
      step.contentSize = planned.entry->contentSize;
    }
    steps.push_back(step);
  }
  return steps;
}

bool PatchPackageImpl::ApplyLooseEntry(const char* installDir, const PatchEntry& entry,
                                       PatchProgressCallback callback, ApplyAhead* ahead) {
  Notify(callback, entry, entry.op);
  std::string target;
  if (!JoinWithinLimit(installDir, entry.fileName, &target)) return false;
  switch (entry.op) {
    case ENTRY_OP_WRITE: {
      const std::vector<uint8_t>* content = ahead != nullptr ? ahead->Take(entry) : nullptr;
      if (content != nullptr) {
        return WriteExtractedEntry(target.c_str(), content->data(),
                                   static_cast<uint32_t>(content->size()));
      }
      return ExtractEntry(entry.container, entry.fileName.c_str(), target.c_str(), nullptr, nullptr,
                          true);
    }
    case ENTRY_OP_DELETE:
      // An absent file is as good as a deleted one; one that stays is not.
      if (RemoveFileAt(target.c_str()) || !PathExists(target.c_str())) return true;
      {
        int systemError = LastSystemError();
        ReportError(ERR_WRITE, "File=%s, WinErr: %d, %s", target.c_str(), systemError,
                    SystemErrorWords(systemError));
      }
      return false;
    default:
      ReportError(ERR_INVALID, "");
      return false;
  }
}

bool PatchPackageImpl::ApplyPackEntry(PackArchive* archive, const PatchEntry& entry,
                                      PatchProgressCallback callback, ApplyAhead* ahead) {
  if (entry.op == ENTRY_OP_DELETE) {
    Notify(callback, entry, ENTRY_OP_DELETE);
    if (archive->RemoveFile(entry.fileName.c_str(), true)) return true;
    return LastErrorCode() == ERR_NOT_FOUND;  // the name was not stored
  }
  if (entry.op != ENTRY_OP_WRITE) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  Notify(callback, entry, ENTRY_OP_WRITE);
  std::string name = JoinPath(entry.packName, entry.fileName);
  bool encode = !entry.container->preEncoded && entry.compressType != COMPRESS_NONE;
  const Codec* codec = nullptr;
  if (encode && (codec = GetCodecRegistry().Find(entry.compressType)) == nullptr) return false;
  auto add = [&](const uint8_t* bytes, uint32_t length) {
    return archive->AddFile(bytes, length, entry.fileName.c_str(), true, true,
                            static_cast<uint8_t>(entry.compressType), entry.contentSize);
  };
  // Prepared ahead: the data as read, or encoded after the same check of
  // its length as below.
  const std::vector<uint8_t>* prepared = ahead != nullptr ? ahead->Take(entry) : nullptr;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  if (prepared != nullptr) {
    data = prepared->data();
    length = static_cast<uint32_t>(prepared->size());
    if (encode) return add(data, length);
  } else if (!ExtractEntry(entry.container, name.c_str(), nullptr, &data, &length, true)) {
    return false;
  }
  if (!encode) {
    // A claim the stored form cannot decode to would be refused by every
    // later read: refuse it before it is stored.
    bool known = entry.compressType >= COMPRESS_MASK && entry.compressType <= COMPRESS_LZMA;
    const Codec* stored_codec = known ? GetCodecRegistry().Find(entry.compressType) : nullptr;
    if (stored_codec != nullptr && entry.contentSize > stored_codec->MaxDecodedSize(length)) {
      ReportError(ERR_BAD_DATA, "Entry=%s(size)", name.c_str());
      return false;
    }
    return add(data, length);
  }
  // Content the archive will record with another length could never be read
  // back: refuse it before it is stored.
  if (length != entry.contentSize) {
    ReportError(ERR_BAD_DATA, "Entry=%s(size)", name.c_str());
    return false;
  }
  return AddEncoded(archive, entry, codec, data, length);
}

}  // namespace qlmr
