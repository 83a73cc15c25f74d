// What the commands that read a patch package share.
#include "base/error.h"
#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"

namespace qlmr {
namespace patchkit {

int FailToOpenPatch(const std::string& action, const std::string& path) {
  // OpenPackage refuses another kind of file with an empty ERR_BAD_DATA.
  if (LastErrorCode() == ERR_BAD_DATA) {
    KeptError kept;
    PatchKind kind = DetectPatchKind(path.c_str(), nullptr);
    kept.Restore();
    if (kind == PATCH_KIND_NONE || kind == PATCH_KIND_ZIP) {
      return tools::Fail(action, path,
                         kind == PATCH_KIND_ZIP
                             ? "it is a plain zip, not a patch package (convert makes one)"
                             : "it is not a patch package");
    }
  }
  return tools::Fail(action, path);
}

}  // namespace patchkit
}  // namespace qlmr
