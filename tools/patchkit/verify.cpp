// qlmr-patchkit verify PATCH [--json]: checks a packed file's CRC trailer.
#include <memory>
#include <string>

#include "base/error.h"
#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct VerifyOptions {
  std::string path;
  bool json = false;
};

int RunVerify(const VerifyOptions& options) {
  tools::JsonReport report(options.json);
  report.fields()["file"] = tools::JsonName(options.path);
  tools::InputFile input;
  if (!input.Open(options.path)) return tools::Fail("cannot read", options.path);
  PatchPackagePtr package(CreatePatchPackage());
  ReportError(ERR_NONE, "");
  if (!package->VerifyPackageFile(input.path().c_str())) {
    // A trailer that does not match is a failure without a report of its own.
    if (LastErrorCode() != ERR_NONE) return tools::Fail("cannot check", options.path);
    ReportError(ERR_BAD_DATA, "crc mismatch: %s", options.path.c_str());
    return tools::Fail("the check failed for", options.path,
                       "its last 4 bytes are not the CRC of the bytes before them");
  }
  if (report.enabled()) return report.Succeed();
  tools::Print("%s: ok\n", tools::ShownPath(options.path).c_str());
  return tools::kExitSuccess;
}

}  // namespace

void RegisterVerifyCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* command = tool.AddCommand("verify", "Check the CRC trailer of a packed file",
                                      [options] { return RunVerify(*options); });
  tools::AddPath(command, "PATCH", &options->path, "The file to check; - reads standard input")
      ->required();
  command->add_flag("--json", options->json, "Print one JSON document");
}

}  // namespace patchkit
}  // namespace qlmr
