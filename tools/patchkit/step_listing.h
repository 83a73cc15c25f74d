// The steps of a patch's application as the release tools show them: one
// line per step for people, or a JSON array for scripts. Names are shown in
// UTF-8. Pure formatting, any thread.
#pragma once

#include <string>
#include <vector>

#include "patch/patch_package.h"
#include "tools/json_output.h"

namespace qlmr {
namespace patchkit {

// The name `inspect` gives a package kind ("masked zip", "packed", ...).
const char* PatchKindName(PatchKind kind);

// One line per step: "write  a\\b", "pack data/item.pak", "  delete x (type 2,
// 10 bytes)", "pause 500 ms", "never applied: ...".
std::string FormatPatchSteps(const std::vector<PatchStep>& steps);

// The same steps as a JSON array of objects: "step" (loose, pause, pack,
// stored, skipped), "pack" for a pack step, and for entries "op" with its
// name "operation" (write, delete), "packName", "fileName", "compressType"
// with its name "compression" (stored, masked, LZO, LZMA) and
// "contentSize".
tools::Json PatchStepsJson(const std::vector<PatchStep>& steps);

}  // namespace patchkit
}  // namespace qlmr
