// qlmr-patchkit inspect PATCH [--json]: the kind and every entry in the
// order of application.
#include <cstdio>
#include <string>

#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/step_listing.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {

void RegisterInspectCommand(CLI::App& app, int* exitCode) {
  struct Options {
    std::string path;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand(
      "inspect", "Show a package's kind and its entries in order of application");
  command->add_option("patch", options->path, "the package")->required();
  command->add_flag("--json", options->json, "print one JSON document");
  command->callback([options, exitCode] {
    const std::string& path = options->path;
    PatchKind kind = DetectPatchKind(path.c_str(), nullptr);
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->OpenPackage(path.c_str(), "pak")) {
      *exitCode = tools::PrintLastError();
      return;
    }
    std::vector<PatchStep> steps = PlanPatchApplication(*package, "pak", ".ver");
    if (options->json) {
      tools::Print("{\"kind\": %s, \"entries\": %d, \"steps\": %s}\n",
                   tools::JsonString(PatchKindName(kind)).c_str(), package->GetEntryCount(),
                   PatchStepsJson(steps).c_str());
      return;
    }
    tools::Print("kind: %s\nentries: %d\n%s", PatchKindName(kind), package->GetEntryCount(),
                 FormatPatchSteps(steps).c_str());
  });
}

}  // namespace patchkit
}  // namespace qlmr
