#include "fuzz/patch_fuzz_common.h"

#include "base/path.h"
#include "fuzz/fuzz_support.h"
#include "patch/extract_entry.h"
#include "patch/patch_package.h"
#include "patch/patch_package_impl.h"

namespace qlmr {
namespace fuzzing {

void OpenAndExtractEverything(const std::string& path) {
  static const std::string target = ScratchPath("entry.out");
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(path.c_str(), "pak")) return;
  package->GetEntryCount();
  auto* impl = static_cast<PatchPackageImpl*>(package.get());
  for (const PlannedStep& step : impl->Plan("pak", ".ver")) {
    if (step.entry == nullptr || step.entry->op != ENTRY_OP_WRITE) continue;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (step.kind == PatchStep::kLooseEntry) {
      // Never the entry's own name: the harness writes only in its folder.
      ExtractEntry(step.entry->container, step.entry->fileName.c_str(), target.c_str(), nullptr,
                   &length, true);
    } else if (step.kind == PatchStep::kPackEntry) {
      std::string name = JoinPath(step.entry->packName, step.entry->fileName);
      ExtractEntry(step.entry->container, name.c_str(), nullptr, &data, &length, true);
    }
  }
}

}  // namespace fuzzing
}  // namespace qlmr
