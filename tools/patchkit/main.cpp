// qlmr-patchkit: the release team's tool for patch packages.
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

int main(int argc, char** argv) {
  using namespace qlmr;
  tools::Arguments arguments(argc, argv);
  CLI::App app{
      "Builds, diffs, inspects, converts, verifies, applies, wraps and releases Quelmar patch "
      "packages."};
  app.require_subcommand(1);
  int exitCode = tools::kExitSuccess;
  patchkit::RegisterBuildCommand(app, &exitCode);
  patchkit::RegisterInspectCommand(app, &exitCode);
  patchkit::RegisterConvertCommand(app, &exitCode);
  patchkit::RegisterVerifyCommand(app, &exitCode);
  patchkit::RegisterApplyCommand(app, &exitCode);
  patchkit::RegisterWrapCommand(app, &exitCode);
  patchkit::RegisterDiffCommand(app, &exitCode);
  patchkit::RegisterReleaseCommand(app, &exitCode);
  try {
    app.parse(arguments.count(), arguments.values());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? tools::kExitSuccess : tools::kExitUsage;
  }
  return tools::FinishOutput(exitCode);
}
