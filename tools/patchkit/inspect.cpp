// qlmr-patchkit inspect PATCH [--json]: the kind and every entry in the
// order of application.
#include <memory>
#include <string>

#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/step_listing.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct InspectOptions {
  std::string path;
  bool json = false;
};

int RunInspect(const InspectOptions& options) {
  tools::JsonReport report(options.json);
  report.fields()["patch"] = tools::JsonName(options.path);
  tools::InputFile input;
  if (!input.Open(options.path)) return tools::Fail("cannot read", options.path);
  const std::string& path = input.path();
  PatchKind kind = DetectPatchKind(path.c_str(), nullptr);
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(path.c_str(), "pak"))
    return FailToOpenPatch("cannot open", options.path);
  std::vector<PatchStep> steps = PlanPatchApplication(*package, "pak", ".ver");
  if (report.enabled()) {
    tools::Json& fields = report.fields();
    fields["kind"] = PatchKindName(kind);
    fields["entries"] = package->GetEntryCount();
    fields["steps"] = PatchStepsJson(steps);
    return report.Succeed();
  }
  tools::Print("kind: %s\nentries: %d\n%s", PatchKindName(kind), package->GetEntryCount(),
               FormatPatchSteps(steps).c_str());
  return tools::kExitSuccess;
}

}  // namespace

void RegisterInspectCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<InspectOptions>();
  CLI::App* command =
      tool.AddCommand("inspect", "Show a package's kind and its entries in order of application",
                      [options] { return RunInspect(*options); });
  tools::AddPath(command, "PATCH", &options->path, "The package; - reads standard input")
      ->required();
  command->add_flag("--json", options->json, "Print one JSON document");
}

}  // namespace patchkit
}  // namespace qlmr
