// qlmr-patchkit inspect PATCH: the kind and every entry in the order of
// application.
#include <cstdio>
#include <string>

#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

const char* KindName(PatchKind kind) {
  switch (kind) {
    case PATCH_KIND_ZIP:
      return "plain zip";
    case PATCH_KIND_INVERTED_ZIP:
      return "inverted zip";
    case PATCH_KIND_MASKED_ZIP:
      return "masked zip";
    case PATCH_KIND_PACKED:
      return "packed";
    case PATCH_KIND_NONE:
      break;
  }
  return "none";
}

const char* OpName(int32_t op) {
  return op == ENTRY_OP_WRITE ? "write" : op == ENTRY_OP_DELETE ? "delete" : "op?";
}

}  // namespace

void RegisterInspectCommand(CLI::App& app, int* exitCode) {
  auto path = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      "inspect", "Show a package's kind and its entries in order of application");
  command->add_option("patch", *path, "the package")->required();
  command->callback([path, exitCode] {
    PatchKind kind = DetectPatchKind(path->c_str(), nullptr);
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->OpenPackage(path->c_str(), "pak")) {
      *exitCode = tools::PrintLastError();
      return;
    }
    tools::Print("kind: %s\nentries: %d\n", KindName(kind), package->GetEntryCount());
    for (const PatchStep& step : PlanPatchApplication(*package, "pak", ".ver")) {
      switch (step.kind) {
        case PatchStep::kPause:
          tools::Print("pause 500 ms\n");
          break;
        case PatchStep::kOpenPack:
          tools::Print("pack %s\n", step.packKey.c_str());
          break;
        case PatchStep::kLooseEntry:
          tools::Print("%-6s %s\n", OpName(step.op), step.fileName.c_str());
          break;
        case PatchStep::kPackEntry:
          tools::Print("  %-6s %s (type %d, %u bytes)\n", OpName(step.op), step.fileName.c_str(),
                       step.compressType, step.contentSize);
          break;
        case PatchStep::kSkipped:
          tools::Print("never applied: op %d %s|%s\n", step.op, step.packName.c_str(),
                       step.fileName.c_str());
          break;
      }
    }
  });
}

}  // namespace patchkit
}  // namespace qlmr
