// qlmr-patchkit apply PATCH INSTALL_DIR: applies a package without any
// version check, for the release team's trial runs. Refuses, changing
// nothing, while another update of the installation runs.
#include <memory>
#include <string>

#include "base/error.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"
#include "tools/progress.h"
#include "tools/tool_support.h"
#include "update/install_folder.h"

namespace qlmr {
namespace patchkit {
namespace {

struct ApplyOptions {
  std::string patch;
  std::string installation;
};

// The progress callback is a plain function, so the bar it advances lives
// here for the one apply a process runs.
tools::ProgressBar* g_progress = nullptr;

int OnEntry(const char* packName, const char* fileName, int32_t kind) {
  if (g_progress != nullptr) g_progress->Advance();
  std::string target =
      packName[0] == '\0' ? std::string(fileName) : std::string(packName) + "|" + fileName;
  tools::Detail("%s %s", kind == ENTRY_OP_DELETE ? "delete" : "write",
                tools::ShownName(target).c_str());
  return 0;
}

int RunApply(const ApplyOptions& options) {
  // The lock every update of the installation takes, the players' updater
  // too: two applies at once would interleave their writes.
  NamedLock lock;
  if (LockInstallation(options.installation, &lock) == NamedLock::Outcome::kHeldElsewhere) {
    ReportError(ERR_ACCESS, "Path=%s(in use by another update)", options.installation.c_str());
    return tools::Fail("cannot apply the patch to", options.installation,
                       "another update of this installation is running");
  }
  tools::InputFile input;
  if (!input.Open(options.patch)) return tools::Fail("cannot read", options.patch);
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(input.path().c_str(), "pak")) {
    return FailToOpenPatch("cannot open", options.patch);
  }
  tools::ProgressBar progress("apply", static_cast<uint64_t>(package->GetEntryCount()));
  g_progress = &progress;
  bool ok = package->ApplyPackage(options.installation.c_str(), "pak", ".ver", &OnEntry);
  g_progress = nullptr;
  if (!ok) return tools::Fail("cannot apply the patch to", options.installation);
  return tools::kExitSuccess;
}

}  // namespace

void RegisterApplyCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<ApplyOptions>();
  CLI::App* command = tool.AddCommand("apply", "Apply a package to an installation folder",
                                      [options] { return RunApply(*options); });
  tools::AddPath(command, "PATCH", &options->patch, "The package; - reads standard input")
      ->required();
  tools::AddPath(command, "INSTALL_DIR", &options->installation, "The installation folder")
      ->required();
}

}  // namespace patchkit
}  // namespace qlmr
