// ConvertPackageFile: turns a plain zip into the packed form and back.
#include <string>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "patch/packed_file.h"
#include "patch/patch_format.h"
#include "patch/patch_package_impl.h"

namespace qlmr {
bool PatchPackageImpl::ConvertPackageFile(const char* source, const char* target) {
  namespace fmt = patch_format;
  if (source == nullptr || source[0] == '\0' || target == nullptr || target[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (ComparePaths(source, target) != 0 && !CopyFileReplace(source, target)) {
    ReportError(ERR_WRITE, "File=%s, WinErr: %d", target, LastSystemError());
    return false;
  }
  uint8_t header[fmt::kHeaderSize] = {};
  PatchKind kind = PATCH_KIND_NONE;
  if (!DetectPatchKindChecked(target, header, &kind)) return false;
  if (kind != PATCH_KIND_ZIP && kind != PATCH_KIND_PACKED) {
    ReportError(ERR_BAD_DATA, "");
    return false;
  }
  // The packed form holds an inverted zip behind "JZQ1" and its length,
  // coded as a stream so that memory does not grow with the package; the
  // target keeps its zip until the packed file replaces it whole.
  if (kind == PATCH_KIND_ZIP) return PackPlainFile(target, target);
  // Checked and streamed through a copy beside the target: a forged length
  // cannot make a huge file, and a damaged file leaves the target as it was.
  ReplacingFile unpacked;
  if (!unpacked.Create(PathFolder(target).c_str(), kCodecTempPrefix)) {
    ReportError(ERR_ACCESS, "WinErr=%d", LastSystemError());
    return false;
  }
  if (!UnpackPackedFile(target, unpacked.file())) return false;
  if (!unpacked.Commit(target)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  return MaskFileInPlace(target, false, true);
}

}  // namespace qlmr
