// PatchPackage: creation, opening and the small file services.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/run_folder.h"
#include "base/strings.h"
#include "patch/control_list.h"
#include "patch/extract_entry.h"
#include "patch/packed_file.h"
#include "patch/patch_format.h"
#include "patch/patch_package_impl.h"
#include "patch/zip_checks.h"

namespace qlmr {
namespace {

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// "x\\name.ext" gives "name.~patch".
std::string UnpackedCopyName(const std::string& key) {
  std::string name = PathFileName(key);
  std::string extension = PathExtension(name);
  if (!extension.empty()) name.resize(name.size() - extension.size() - 1);
  return name + patch_format::kUnpackedExtension;
}

// What a work folder holds besides its owner file: unpacked copies and the
// decoder's temporary files.
bool IsWorkFolderFile(const std::string& name) {
  const size_t suffix = strlen(patch_format::kUnpackedExtension);
  return (name.size() >= suffix &&
          strcasecmp(name.c_str() + name.size() - suffix, patch_format::kUnpackedExtension) == 0) ||
         IsRunTempName(name, kCodecTempPrefix);
}

}  // namespace

PatchPackage* CreatePatchPackage() { return new (std::nothrow) PatchPackageImpl(); }

PatchPackageImpl::PatchPackageImpl() { RefillZipReadHandlers(); }

bool PatchPackageImpl::VerifyPackageFile(const char* path) {
  if (IsEmpty(path)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  return CheckFileCrc(path);
}

bool PatchPackageImpl::OpenPackage(const char* path, const char* packExtension) {
  try {
    return OpenPackageUnguarded(path, packExtension);
  } catch (const std::bad_alloc&) {
    // The tables of a large control list; the sizes of entries and buffers
    // are reported where they are allocated.
    ReportError(ERR_NO_MEMORY, "Size=%u", IsEmpty(path) ? 0u : FileSizeOf(path));
    return false;
  }
}

bool PatchPackageImpl::OpenPackageUnguarded(const char* path, const char* packExtension) {
  if (IsEmpty(path)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  std::string key = NormalizeName(path);
  if (tables_.containers.count(key) != 0) return true;  // a file is read once per object

  uint8_t header[patch_format::kHeaderSize] = {};
  PatchKind kind = PATCH_KIND_NONE;
  if (!DetectPatchKindChecked(path, header, &kind)) return false;
  PatchContainer* container = OpenContainer(path, key, kind);
  if (container == nullptr) return false;

  // A container that failed to load is dropped again, so that opening the
  // same file a second time does not pass for a success without entries.
  auto drop = [&] {
    tables_.containers.erase(key);
    return false;
  };
  const uint8_t* text = nullptr;
  // A container without its control list is not a patch: taken as an empty
  // one, a damaged name in the directory would pass for a successful update.
  if (!ExtractEntry(container, patch_format::kControlListName, nullptr, &text, nullptr, true,
                    patch_format::kMaxControlListSize)) {
    return drop();
  }
  std::vector<PatchEntry> entries = ParseControlList(reinterpret_cast<const char*>(text));
  // The control list is untrusted: one name that could leave the
  // installation folder refuses the whole file before anything is merged.
  if (const std::string* unsafe = FindUnsafeName(entries)) {
    ReportError(ERR_BAD_DATA, "%s", unsafe->c_str());
    return drop();
  }
  std::string extension = packExtension == nullptr ? "" : packExtension;
  for (PatchEntry& entry : entries) {
    entry.container = container;
    MergeEntry(&tables_, entry, extension);
  }
  return true;
}

PatchContainer* PatchPackageImpl::OpenContainer(const std::string& path, const std::string& key,
                                                PatchKind kind) {
  PatchContainer container;
  container.key = key;
  if (kind == PATCH_KIND_MASKED_ZIP) {
    container.openedPath = path;
    container.preEncoded = true;
  } else if (kind == PATCH_KIND_PACKED) {
    std::string folder = GetWorkFolder();
    if (folder.empty()) return nullptr;
    std::string copy = JoinPath(folder, UnpackedCopyName(key));
    if (copy.size() > kMaxPath) {
      ReportError(ERR_INVALID, "Path=%s(too long)", copy.c_str());
      return nullptr;
    }
    // The content streams straight into the copy under its own name, so that
    // a run that dies here leaves a work folder the next run recognises. The
    // trailer is checked on the way: a damaged download is refused before
    // its zip is looked at.
    File copyFile;
    if (!copyFile.Open(copy.c_str(), FileMode::kCreateFresh)) {
      ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
      return nullptr;
    }
    bool unpacked = UnpackPackedFile(path.c_str(), &copyFile);
    if (!copyFile.Close() && unpacked) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      unpacked = false;
    }
    if (!unpacked) {
      KeptError failure;
      RemoveFileAt(copy.c_str());
      failure.Restore();
      return nullptr;
    }
    unpackedCopies_.push_back(copy);
    container.openedPath = copy;
    container.preEncoded = false;
  } else {
    ReportError(ERR_BAD_DATA, "");
    return nullptr;
  }

  const ZipReadHandlers* handlers = GetReadHandlers(container.openedPath.c_str());
  if (handlers == nullptr) {
    ReportError(ERR_BAD_DATA, "");
    return nullptr;
  }
  int zipError = 0;
  container.handlers = handlers;
  container.zip = ZipDirectory::Open(container.openedPath.c_str(), handlers, &zipError);
  if (container.zip == nullptr) {
    ReportError(ERR_ZIP, "ziperr=%d", zipError);
    return nullptr;
  }
  File opened;
  uint64_t size = 0;
  if (!opened.Open(container.openedPath.c_str(), FileMode::kRead) || !opened.Size(&size)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", container.openedPath.c_str(), LastSystemError());
    return nullptr;
  }
  opened.Close();
  if (!CheckZipLayout(container.zip->Entries(), size)) return nullptr;
  PatchContainer& stored = tables_.containers[key];
  stored = std::move(container);
  return &stored;
}

int32_t PatchPackageImpl::GetEntryCount() const {
  size_t count = tables_.looseEntries.size();
  for (const auto& pack : tables_.packEntries) count += pack.second.size();
  return static_cast<int32_t>(count);
}

bool PatchPackageImpl::SetWorkFolder(const char* path) {
  if (IsEmpty(path) || !IsFolder(path)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (!workFolder_.empty()) {
    ReportError(ERR_DUPLICATE, "");
    return false;
  }
  workFolder_ = path;
  ownsWorkFolder_ = false;
  return true;
}

std::string PatchPackageImpl::GetWorkFolder() {
  if (!workFolder_.empty() && ownsWorkFolder_ && !IsFolder(workFolder_.c_str())) {
    workFolder_.clear();  // gone: a new private one takes its place
  }
  if (workFolder_.empty()) {
    std::string temp = TempFolderPath();
    RemoveLeftoverRunFolders(temp, patch_format::kWorkFolderPrefix, &IsWorkFolderFile);
    if (!MakeRunFolder(temp, patch_format::kWorkFolderPrefix, &workFolder_)) {
      ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", temp.c_str(), LastSystemError());
      return std::string();
    }
    ownsWorkFolder_ = true;
  }
  if (!IsFolder(workFolder_.c_str()) && !MakeFolder(workFolder_.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", workFolder_.c_str(), LastSystemError());
    return std::string();
  }
  return workFolder_;
}

void PatchPackageImpl::RemoveWorkFolder() {
  if (workFolder_.empty()) return;
  if (ownsWorkFolder_) {
    RemoveRunFolder(workFolder_);
    return;
  }
  // A folder the caller named may hold files of its own: only what this
  // package unpacked there goes.
  for (const std::string& copy : unpackedCopies_) RemoveFileAt(copy.c_str());
}

bool PatchPackageImpl::ComputeFileCrc(const char* path, uint32_t* crc, bool excludeTrailer) {
  if (IsEmpty(path) || crc == nullptr) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  return FileCrc(path, crc, excludeTrailer);
}

const ZipReadHandlers* PatchPackageImpl::GetReadHandlers(const char* path) {
  switch (DetectPatchKind(path, nullptr)) {
    case PATCH_KIND_ZIP:
      return GetZipReadHandlers(ZipByteForm::kPlain);
    case PATCH_KIND_INVERTED_ZIP:
      return GetZipReadHandlers(ZipByteForm::kInverted);
    case PATCH_KIND_MASKED_ZIP:
      return GetZipReadHandlers(ZipByteForm::kMasked);
    default:
      return nullptr;
  }
}

void PatchPackageImpl::DestroyPackage(uint32_t freeSelf) {
  // Containers close first, so that the unpacked copies can be deleted.
  tables_.containers.clear();
  RemoveWorkFolder();
  workFolder_.clear();
  unpackedCopies_.clear();
  tables_.packEntries.clear();
  tables_.looseEntries.clear();
  if ((freeSelf & 1) != 0) delete this;
}

}  // namespace qlmr
