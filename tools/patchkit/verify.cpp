// qlmr-patchkit verify PATCH [--json]: checks a packed file's CRC trailer.
#include <cstdio>
#include <string>

#include "base/error.h"
#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {

void RegisterVerifyCommand(CLI::App& app, int* exitCode) {
  struct Options {
    std::string path;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand("verify", "Check the CRC trailer of a packed file");
  command->add_option("patch", options->path, "the file to check")->required();
  command->add_flag("--json", options->json, "print one JSON document");
  command->callback([options, exitCode] {
    const char* path = options->path.c_str();
    PatchPackagePtr package(CreatePatchPackage());
    ReportError(ERR_NONE, "");
    bool ok = package->VerifyPackageFile(path);
    // A trailer that does not match is a failure without a report of its own.
    if (!ok && LastErrorCode() == ERR_NONE) ReportError(ERR_BAD_DATA, "crc mismatch: %s", path);
    if (options->json) {
      tools::Print("{\"file\": %s, \"ok\": %s", tools::JsonString(path).c_str(),
                   ok ? "true" : "false");
      if (!ok) {
        tools::Print(", \"code\": %d, \"message\": %s", LastErrorCode(),
                     tools::JsonString(LastErrorMessage()).c_str());
      }
      tools::Print("}\n");
      if (!ok) *exitCode = tools::kExitFailure;
      return;
    }
    if (ok) {
      tools::Print("%s: ok\n", path);
      return;
    }
    *exitCode = tools::PrintLastError();
  });
}

}  // namespace patchkit
}  // namespace qlmr
