// ApplyPackage: carries out the tables against an installation folder.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "base/codec.h"
#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/extract_entry.h"
#include "patch/patch_format.h"
#include "patch/patch_package_impl.h"

namespace qlmr {
namespace {

bool HasExtension(const std::string& name, const char* extension) {
  return strcasecmp(PathExtension(name).c_str(), extension) == 0;
}

// `folder` joined with `name`, or false (code 10) when the result would not
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

// Encodes the data in the extraction buffer, where ExtractEntry left room
// for it: the entry costs its content, its encoded form and the encoder.
bool AddEncoded(PackArchive* archive, const PatchEntry& entry, const Codec* codec,
                uint32_t length) {
  uint32_t capacity = static_cast<uint32_t>(std::min<size_t>(
      ExtractionBufferCapacity(), std::max(length, codec->MaxEncodedSize(length))));
  uint8_t* buffer = MutableExtractionBuffer();
  uint32_t encoded = length;
  if (!codec->Encode(buffer, capacity, &encoded)) return false;
  return archive->AddFile(buffer, encoded, entry.fileName.c_str(), true, true,
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

bool PatchPackageImpl::ApplyPackage(const char* installDir, const char* packExtension,
                                    const char* versionFileName, PatchProgressCallback callback) {
  if (installDir == nullptr || installDir[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  std::unique_ptr<PackArchive> archive;
  for (const PlannedStep& step : Plan(packExtension, versionFileName)) {
    switch (step.kind) {
      case PatchStep::kLooseEntry:
        archive.reset();  // the last pack is done before the loose files
        if (!ApplyLooseEntry(installDir, *step.entry, callback)) return false;
        break;
      case PatchStep::kPause:
        std::this_thread::sleep_for(
            std::chrono::milliseconds(patch_format::kPackPauseMilliseconds));
        break;
      case PatchStep::kOpenPack: {
        archive.reset();
        std::string path;
        if (!JoinWithinLimit(installDir, step.packKey, &path)) return false;
        archive = NewPackArchive();
        if (!archive->Open(path.c_str(), false)) return false;
        break;
      }
      case PatchStep::kPackEntry:
        if (!ApplyPackEntry(archive.get(), *step.entry, callback)) return false;
        break;
      case PatchStep::kSkipped:
        break;
    }
  }
  archive.reset();
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
                                       PatchProgressCallback callback) {
  Notify(callback, entry, entry.op);
  std::string target;
  if (!JoinWithinLimit(installDir, entry.fileName, &target)) return false;
  switch (entry.op) {
    case ENTRY_OP_WRITE:
      return ExtractEntry(entry.container, entry.fileName.c_str(), target.c_str(), nullptr, nullptr,
                          true);
    case ENTRY_OP_DELETE:
      RemoveFileAt(target.c_str());  // an absent file is as good as a deleted one
      return true;
    default:
      ReportError(ERR_INVALID, "");
      return false;
  }
}

bool PatchPackageImpl::ApplyPackEntry(PackArchive* archive, const PatchEntry& entry,
                                      PatchProgressCallback callback) {
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
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  if (!ExtractEntry(entry.container, name.c_str(), nullptr, &data, &length, true,
                    patch_format::kMaxInMemoryEntry, codec)) {
    return false;
  }
  if (!encode) {
    return archive->AddFile(data, length, entry.fileName.c_str(), true, true,
                            static_cast<uint8_t>(entry.compressType), entry.contentSize);
  }
  // Content the archive will record with another length could never be read
  // back: refuse it before it is stored.
  if (length != entry.contentSize) {
    ReportError(ERR_BAD_DATA, "Entry=%s(size)", name.c_str());
    return false;
  }
  return AddEncoded(archive, entry, codec, length);
}

}  // namespace qlmr
