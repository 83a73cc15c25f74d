#include <cstring>

#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/run_folder.h"
#include "update/carrier.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

// One length-prefixed text of the block at the current position.
bool ReadCarrierText(File* file, std::string* text) {
  uint8_t length_bytes[4];
  uint32_t got = 0;
  if (!file->Read(length_bytes, sizeof length_bytes, &got) || got != sizeof length_bytes) {
    return false;
  }
  uint32_t length = LoadLittleEndian32(length_bytes);
  if (length >= kCarrierTextLimit) return false;
  char bytes[kCarrierTextLimit] = {};
  if (!file->Read(bytes, length, &got) || got != length) return false;
  *text = std::string(bytes, strnlen(bytes, length));
  return true;
}

// What an updater's run folder holds besides its owner file.
bool IsPatchFileName(const std::string& name) { return PathExtension(name) == "patch"; }

}  // namespace

std::string PatchFileName(const std::string& fromText, const std::string& toText) {
  return "ql-" + fromText + "-" + toText + ".patch";
}

bool IsFileNameSafe(const std::string& versionText) {
  // Dots inside a text ("CN..0.551.065") stay inside the file name; a text
  // of dots alone reads as a folder.
  return IsSafeNameText(versionText) &&
         (versionText.empty() || versionText.find_first_not_of('.') != std::string::npos);
}

bool ExtractEmbeddedPatch(const char* executablePath, uint64_t offset,
                          const std::string& tempFolder, EmbeddedPatch* patch) {
  File source;
  uint64_t size = 0;
  if (!source.Open(executablePath, FileMode::kRead) || !source.Size(&size)) return false;
  if (size <= offset || !source.Seek(offset)) return false;

  if (!ReadCarrierText(&source, &patch->fromVersionText)) return false;
  patch->fromVersion = ParseVersion(patch->fromVersionText.c_str());
  if (!ReadCarrierText(&source, &patch->toVersionText)) return false;
  patch->toVersion = ParseVersion(patch->toVersionText.c_str());
  if (!IsFileNameSafe(patch->fromVersionText) || !IsFileNameSafe(patch->toVersionText)) {
    return false;
  }

  // The patch goes into a private folder of this run: in a shared temporary
  // folder, a name anybody can guess could hold a link to any file.
  RemoveLeftoverRunFolders(tempFolder, kPatchTempFolderName, &IsPatchFileName);
  std::string folder;
  if (!MakeRunFolder(tempFolder, kPatchTempFolderName, &folder)) return false;
  patch->patchPath = JoinPath(folder, PatchFileName(patch->fromVersionText, patch->toVersionText));
  // A cut name would write some other file.
  if (patch->patchPath.size() > kMaxPath) {
    RemoveRunFolder(folder);
    return false;
  }

  File target;
  if (!target.Open(patch->patchPath.c_str(), FileMode::kCreateFresh)) return false;
  // A patch file that lost bytes would fail later with a misleading text.
  uint64_t copied = 0;
  if (!AppendFileContent(&source, &target, &copied)) return false;
  return target.Close();
}

}  // namespace qlmr
