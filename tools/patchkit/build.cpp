// qlmr-patchkit build --list LIST --root DIR -o PATCH [--kind masked|packed]
#include <map>
#include <string>
#include <vector>

#include "patch/package_builder.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {

void RegisterBuildCommand(CLI::App& app, int* exitCode) {
  struct Options {
    std::string list;
    std::string root;
    std::string output;
    PatchKind kind = PATCH_KIND_MASKED_ZIP;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand("build", "Build a patch package from a list of lines");
  command->add_option("--list", options->list, "lines op|packName|fileName|compressType")
      ->required();
  command->add_option("--root", options->root, "folder holding the new files")->required();
  command->add_option("-o,--output", options->output, "the package to write")->required();
  const std::map<std::string, PatchKind> kinds = {{"masked", PATCH_KIND_MASKED_ZIP},
                                                  {"packed", PATCH_KIND_PACKED}};
  command->add_option("--kind", options->kind, "masked (default) or packed")
      ->transform(CLI::CheckedTransformer(kinds));
  command->callback([options, exitCode] {
    std::vector<PackageLine> lines;
    if (!ReadPackageList(options->list.c_str(), &lines) ||
        !BuildPatchPackage(lines, options->root.c_str(), options->output.c_str(), options->kind)) {
      *exitCode = tools::PrintLastError();
      return;
    }
    tools::Print("built %s: %zu lines\n", options->output.c_str(), lines.size());
  });
}

}  // namespace patchkit
}  // namespace qlmr
