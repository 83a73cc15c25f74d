// The steps of a patch's application as the release tools show them: one
// line per step for people, or a JSON array for scripts. Names are shown in
// UTF-8. Pure formatting, any thread.
#pragma once

#include <string>
#include <vector>

#include "patch/patch_package.h"

namespace qlmr {
namespace patchkit {

// The name `inspect` gives a package kind ("masked zip", "packed", ...).
const char* PatchKindName(PatchKind kind);

// One line per step: "write  a\\b", "pack data/item.pak", "  delete x (type 2,
// 10 bytes)", "pause 500 ms", "never applied: ...".
std::string FormatPatchSteps(const std::vector<PatchStep>& steps);

// The same steps as a JSON array of objects.
std::string PatchStepsJson(const std::vector<PatchStep>& steps);

}  // namespace patchkit
}  // namespace qlmr
