// qlmr-patchkit convert SRC DST: a plain zip into the packed form, or back.
#include <string>

#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {

void RegisterConvertCommand(CLI::App& app, int* exitCode) {
  auto paths = std::make_shared<std::pair<std::string, std::string>>();
  CLI::App* command =
      app.add_subcommand("convert", "Turn a plain zip into a packed file or a packed file back");
  command->add_option("source", paths->first, "the file to convert")->required();
  command->add_option("target", paths->second, "the result (may be the source)")->required();
  command->callback([paths, exitCode] {
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->ConvertPackageFile(paths->first.c_str(), paths->second.c_str())) {
      *exitCode = tools::PrintLastError();
    }
  });
}

}  // namespace patchkit
}  // namespace qlmr
