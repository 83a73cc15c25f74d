// qlmr-patchkit apply PATCH INSTALL_DIR: applies a package without any
// version check, for the release team's trial runs. Refuses, changing
// nothing, while another update of the installation runs.
#include <memory>
#include <string>

#include "base/error.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"
#include "update/install_folder.h"

namespace qlmr {
namespace patchkit {
namespace {

// The progress callback is a plain function, so the bar it advances lives
// here for the one apply a process runs.
tools::ProgressBar* g_progress = nullptr;

int AdvanceProgress(const char*, const char*, int32_t) {
  if (g_progress != nullptr) g_progress->Advance();
  return 0;
}

}  // namespace

void RegisterApplyCommand(CLI::App& app, int* exitCode) {
  auto paths = std::make_shared<std::pair<std::string, std::string>>();
  CLI::App* command = app.add_subcommand("apply", "Apply a package to an installation folder");
  command->add_option("patch", paths->first, "the package")->required();
  command->add_option("install_dir", paths->second, "the installation folder")->required();
  command->callback([paths, exitCode] {
    // The lock every update of the installation takes, the players' updater
    // too: two applies at once would interleave their writes.
    NamedLock lock;
    if (LockInstallation(paths->second, &lock) == NamedLock::Outcome::kHeldElsewhere) {
      ReportError(ERR_ACCESS, "Path=%s(in use by another update)", paths->second.c_str());
      *exitCode = tools::PrintLastError();
      return;
    }
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->OpenPackage(paths->first.c_str(), "pak")) {
      *exitCode = tools::PrintLastError();
      return;
    }
    tools::ProgressBar progress("applying", static_cast<uint64_t>(package->GetEntryCount()));
    g_progress = &progress;
    bool ok = package->ApplyPackage(paths->second.c_str(), "pak", ".ver", &AdvanceProgress);
    g_progress = nullptr;
    if (!ok) *exitCode = tools::PrintLastError();
  });
}

}  // namespace patchkit
}  // namespace qlmr
