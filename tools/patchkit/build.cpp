// qlmr-patchkit build --list LIST --root DIR -o PATCH [--kind masked|packed]
#include <map>
#include <string>
#include <vector>

#include "base/error.h"
#include "patch/package_builder.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct BuildOptions {
  std::string list;
  std::string root;
  std::string output;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
  bool force = false;
};

int RunBuild(const BuildOptions& options) {
  tools::InputFile list;
  if (!list.Open(options.list)) return tools::Fail("cannot read", options.list);
  std::string text;
  std::vector<PackageLine> lines;
  if (!ReadPackageListText(list.path().c_str(), &text))
    return tools::Fail("cannot read", options.list);
  if (!ParsePackageList(tools::SystemText(text), &lines)) {
    return tools::Fail("cannot read the list", options.list,
                       LastErrorCode() == ERR_BAD_DATA
                           ? "a line is not op|packName|fileName|compressType, or names a file "
                             "outside the installation"
                           : nullptr);
  }
  tools::OutputFile output;
  if (!output.Open(options.output, options.force)) return output.FailToOpen();
  if (!BuildPatchPackage(lines, options.root.c_str(), output.path().c_str(), options.kind)) {
    return tools::Fail("cannot build", output.shown());
  }
  if (!output.Deliver()) return tools::Fail("cannot write", output.shown());
  tools::Summary("built %s: %zu lines\n", tools::ShownPath(output.shown()).c_str(), lines.size());
  return tools::kExitSuccess;
}

}  // namespace

void RegisterBuildCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* command = tool.AddCommand("build", "Build a patch package from a list of lines",
                                      [options] { return RunBuild(*options); });
  tools::AddPath(command, "--list", &options->list,
                 "The list: lines op|packName|fileName|compressType (op 0 write, 1 delete; "
                 "compressType 0 stored, 1 masked, 2 LZO, 3 LZMA), in UTF-8 (told by a byte order "
                 "mark, or by reading as UTF-8) or else code page 936; "
                 "- reads standard input")
      ->required();
  tools::AddPath(command, "--root", &options->root, "The folder holding the new files")->required();
  tools::AddPath(command, "-o,--output", &options->output,
                 "The package to write; - writes standard output")
      ->required();
  tools::AddChoice(command, "--kind", &options->kind,
                   std::map<std::string, PatchKind>{{"masked", PATCH_KIND_MASKED_ZIP},
                                                    {"packed", PATCH_KIND_PACKED}},
                   "The package's kind: masked (the default) or packed");
  command->add_flag("-f,--force", options->force, "Replace an existing output file");
}

}  // namespace patchkit
}  // namespace qlmr
