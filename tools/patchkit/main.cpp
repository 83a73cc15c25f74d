// qlmr-patchkit: the release team's tool for patch packages.
#include "tools/command_line.h"
#include "tools/patchkit/commands.h"

int main(int argc, char** argv) {
  using namespace qlmr;
  tools::ToolApp tool("qlmr-patchkit",
                      "Builds, diffs, inspects, converts, verifies, applies, wraps and releases "
                      "Quelmar patch packages");
  patchkit::RegisterBuildCommand(tool);
  patchkit::RegisterDiffCommand(tool);
  patchkit::RegisterInspectCommand(tool);
  patchkit::RegisterVerifyCommand(tool);
  patchkit::RegisterConvertCommand(tool);
  patchkit::RegisterApplyCommand(tool);
  patchkit::RegisterWrapCommand(tool);
  patchkit::RegisterReleaseCommand(tool);
  return tool.Run(argc, argv);
}
