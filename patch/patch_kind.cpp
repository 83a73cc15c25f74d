// DetectPatchKind: what the first bytes of a file say it is.
#include <cstring>

#include "base/error.h"
#include "base/little_endian.h"
#include "base/mask.h"
#include "base/platform.h"
#include "patch/patch_format.h"
#include "patch/patch_package_impl.h"

namespace qlmr {

namespace {

PatchKind Classify(const uint8_t bytes[patch_format::kHeaderSize]) {
  namespace fmt = patch_format;
  uint8_t b0 = bytes[0];
  uint8_t b1 = bytes[1];
  uint32_t word = LoadLittleEndian32(bytes);
  if (b0 == fmt::kZipMagic0 && b1 == fmt::kZipMagic1) return PATCH_KIND_ZIP;
  if ((b0 ^ PositionalMask(0)) == fmt::kZipMagic0 && (b1 ^ PositionalMask(1)) == fmt::kZipMagic1) {
    return PATCH_KIND_MASKED_ZIP;
  }
  if (static_cast<uint8_t>(~b0) == fmt::kZipMagic0 &&
      static_cast<uint8_t>(~b1) == fmt::kZipMagic1) {
    return PATCH_KIND_INVERTED_ZIP;
  }
  if (word == fmt::kPackedMagic) return PATCH_KIND_PACKED;
  return PATCH_KIND_NONE;
}

}  // namespace

bool DetectPatchKindChecked(const char* path, uint8_t header[8], PatchKind* kind) {
  *kind = PATCH_KIND_NONE;
  File file;
  if (!file.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path == nullptr ? "" : path, LastSystemError());
    return false;
  }
  uint64_t size = 0;
  if (!file.Size(&size) || size <= patch_format::kMinimumSize) return true;
  uint8_t bytes[patch_format::kHeaderSize] = {};
  uint32_t got = 0;
  if (!file.Read(bytes, sizeof bytes, &got)) return true;
  file.Close();
  if (header != nullptr) memcpy(header, bytes, sizeof bytes);
  *kind = Classify(bytes);
  return true;
}

PatchKind DetectPatchKind(const char* path, uint8_t header[8]) {
  PatchKind kind = PATCH_KIND_NONE;
  DetectPatchKindChecked(path, header, &kind);
  return kind;
}

}  // namespace qlmr
