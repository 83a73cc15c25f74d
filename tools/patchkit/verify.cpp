// qlmr-patchkit verify PATCH: checks a packed file's CRC trailer.
#include <cstdio>
#include <string>

#include "base/error.h"
#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {

void RegisterVerifyCommand(CLI::App& app, int* exitCode) {
  auto path = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand("verify", "Check the CRC trailer of a packed file");
  command->add_option("patch", *path, "the file to check")->required();
  command->callback([path, exitCode] {
    PatchPackagePtr package(CreatePatchPackage());
    ReportError(ERR_NONE, "");
    if (package->VerifyPackageFile(path->c_str())) {
      tools::Print("%s: ok\n", path->c_str());
      return;
    }
    // A trailer that does not match is a failure without a report of its own.
    if (LastErrorCode() == ERR_NONE) ReportError(ERR_BAD_DATA, "crc mismatch: %s", path->c_str());
    *exitCode = tools::PrintLastError();
  });
}

}  // namespace patchkit
}  // namespace qlmr
