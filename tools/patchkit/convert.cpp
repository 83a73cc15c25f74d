// qlmr-patchkit convert SOURCE TARGET: a plain zip into the packed form, or
// back.
#include <string>

#include "base/platform.h"
#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct ConvertOptions {
  std::string source;
  std::string target;
  bool force = false;
};

int RunConvert(const ConvertOptions& options) {
  tools::InputFile source;
  if (!source.Open(options.source)) return tools::Fail("cannot read", options.source);
  // Converting a file in place is what the target's existence means then.
  bool inPlace = IsSameFileObject(source.path().c_str(), options.target.c_str());
  tools::OutputFile target;
  if (!target.Open(options.target, options.force || inPlace)) return target.FailToOpen();
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->ConvertPackageFile(source.path().c_str(), target.path().c_str())) {
    if (LastErrorCode() == ERR_BAD_DATA && LastErrorMessage()[0] == '\0') {
      return tools::Fail("cannot convert", options.source,
                         "it is neither a plain zip nor a packed patch");
    }
    return tools::Fail("cannot convert", options.source);
  }
  if (!target.Deliver()) return tools::Fail("cannot write", target.shown());
  return tools::kExitSuccess;
}

}  // namespace

void RegisterConvertCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command =
      tool.AddCommand("convert", "Turn a plain zip into a packed file or a packed file back",
                      [options] { return RunConvert(*options); });
  tools::AddPath(command, "SOURCE", &options->source, "The file to convert; - reads standard input")
      ->required();
  tools::AddPath(command, "TARGET", &options->target,
                 "The result (may be the source itself); - writes standard output")
      ->required();
  command->add_flag("-f,--force", options->force, "Replace an existing target file");
}

}  // namespace patchkit
}  // namespace qlmr
