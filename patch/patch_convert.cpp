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
  CodecRegistry& registry = GetCodecRegistry();
  const Codec* codec = registry.Find(fmt::kPackedCodec);
  if (codec == nullptr) return false;

  if (kind == PATCH_KIND_ZIP) {
    // The packed form holds an inverted zip behind "JZQ1" and its length.
    uint32_t plainSize = FileSizeOf(target);
    if (!MaskFileInPlace(target, false, true)) return false;
    uint8_t packedHeader[fmt::kHeaderSize];
    StoreLittleEndian32(fmt::kPackedMagic, packedHeader);
    StoreLittleEndian32(plainSize, packedHeader + fmt::kPackedSizeOffset);
    if (registry.EncodeFile(codec, target, target, nullptr, packedHeader, fmt::kHeaderSize, true,
                            nullptr)) {
      return true;
    }
    // Give the target its zip back (the source itself when both are one file);
    // the encoder's report is what the caller needs to see.
    KeptError failure;
    MaskFileInPlace(target, false, true);
    failure.Restore();
    return false;
  }
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
