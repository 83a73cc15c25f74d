#include "update/update_procedure.h"

#include <system_error>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/run_folder.h"
#include "patch/patch_package.h"
#include "res/strings.h"
#include "update/carrier.h"
#include "update/client_detection.h"
#include "update/install_folder.h"

namespace qlmr {
namespace {

// The controller that ProgressCallback reports to; its signature has no
// context argument.
UpdateController* g_activeUpdate = nullptr;

}  // namespace

void StartEvent::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  signalled_.notify_all();
}

void StartEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

void StartEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  signalled_.wait(lock, [this] { return set_; });
}

UpdateOptions UpdateOptions::Defaults(PatchPackage* (*createPackage)()) {
  UpdateOptions options;
  options.executablePath = ExecutablePath();
  options.carrierOffset = OwnCarrierOffset();
  options.tempFolder = TempFolderPath();
  options.createPackage = createPackage;
  return options;
}

UpdateController::UpdateController(UpdateFrontEnd* frontEnd, UpdateOptions options)
    : frontEnd_(frontEnd), options_(std::move(options)) {
  g_activeUpdate = this;
}

UpdateController::~UpdateController() {
  if (thread_.joinable()) {
    // A thread still waiting for the start button ends with the process.
    if (finished_) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  if (g_activeUpdate == this) g_activeUpdate = nullptr;
}

bool UpdateController::StartUpdateThread() {
  startEvent_.Reset();
  try {
    thread_ = std::thread([this] {
      UpdateThread();
      finished_ = true;
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void UpdateController::JoinUpdateThread() {
  if (thread_.joinable()) thread_.join();
}

void UpdateController::Fail(const std::string& status) {
  frontEnd_->SetStatusText(status);
  frontEnd_->SendUpdateMessage(WM_UPDATE_FAILED, 0);
}

void UpdateController::UpdateThread() {
  const EmbeddedPatch& patch = state_.patch;
  if (!ExtractEmbeddedPatch(options_.executablePath.c_str(), options_.carrierOffset,
                            options_.tempFolder, &state_.patch)) {
    return Fail(LoadText(IDS_EXTRACT_FAILED));
  }
  if (!LocateInstallFolder(options_.executablePath, frontEnd_, &state_)) {
    return Fail(LoadText(IDS_NO_INSTALL_FOLDER));
  }
  // Before the versions are compared: another update may be changing them.
  if (LockInstallation(state_.installDir, &installLock_) == NamedLock::Outcome::kHeldElsewhere) {
    return Fail(LoadText(IDS_ANOTHER_UPDATE));
  }
  int from = CompareVersions(state_.localVersion, patch.fromVersion);
  if (from == VERSION_OTHER_LANGUAGE) return Fail(LoadText(IDS_WRONG_LANGUAGE));
  if (from == VERSION_OLDER) {
    return Fail(FormatText(IDS_VERSION_TOO_OLD, patch.fromVersionText.c_str(),
                           state_.localVersionText.c_str()));
  }
  if (CompareVersions(state_.localVersion, patch.toVersion) != VERSION_OLDER) {
    return Fail(FormatText(IDS_VERSION_TOO_NEW, patch.toVersionText.c_str(),
                           state_.localVersionText.c_str()));
  }
  if (!RunUpdate()) {
    frontEnd_->SendUpdateMessage(WM_UPDATE_FAILED, 0);  // RunUpdate set the status
    return;
  }
  frontEnd_->SetStatusText(LoadText(IDS_UPDATE_FINISHED));
  frontEnd_->SendUpdateMessage(WM_UPDATE_SUCCEEDED, 0);
}

bool UpdateController::RunUpdate() {
  const EmbeddedPatch& patch = state_.patch;
  PatchPackagePtr package(options_.createPackage());
  if (package == nullptr || !package->OpenPackage(patch.patchPath.c_str(), kPackExtension)) {
    frontEnd_->SetStatusText(LoadText(IDS_PACKAGE_ERROR));
    return false;
  }
  state_.entryCount = package->GetEntryCount();
  frontEnd_->SetStatusText(LoadText(IDS_READY));
  frontEnd_->SetWindowTitle(
      FormatText(IDS_WINDOW_TITLE, patch.fromVersionText.c_str(), patch.toVersionText.c_str()));
  frontEnd_->SendUpdateMessage(WM_UPDATE_PROGRESS, 0);
  frontEnd_->EnableStartButton();
  startEvent_.Wait();

  if (CheckClientStopped()) {
    frontEnd_->SetStatusText(LoadText(IDS_CLIENT_RUNNING));
    return false;
  }
  TerminationDeferral whole;
  if (!package->ApplyPackage(state_.installDir.c_str(), kPackExtension, kVersionFileName,
                             &UpdateController::ProgressCallback)) {
    frontEnd_->SetStatusText(FormatText(IDS_UPDATE_ERROR, LastErrorCode(), LastErrorMessage()));
    return false;
  }
  package.reset();
  MovePatchToDownload();
  return true;
}

bool UpdateController::CheckClientStopped() {
  std::string clientPath = ClientPath(state_.installDir);
  if (FindRunningClients(clientPath).empty()) return false;
  return frontEnd_->RunConflictDialog(clientPath) != 1;
}

void UpdateController::MovePatchToDownload() {
  // The download folder is not created: without it the patch file stays in
  // the temporary folder, and the update still counts as done.
  const std::string& from = state_.patch.patchPath;
  std::string target =
      JoinPath(JoinPath(state_.installDir, kDownloadFolderName), PathFileName(from));
  RemoveFileAt(target.c_str());
  if (!MoveFileReplace(from.c_str(), target.c_str())) return;
  // The run folder goes with the patch; without `download` it stays with it.
  std::string folder = PathFolder(from);
  RemoveFileAt(JoinPath(folder, kRunFolderOwnerName).c_str());
  RemoveEmptyFolder(folder.c_str());
}

int UpdateController::ProgressCallback(const char* /*packName*/, const char* /*fileName*/,
                                       int32_t kind) {
  UpdateController* self = g_activeUpdate;
  if (self == nullptr) return 0;
  int32_t n = self->progressCalls_++;
  int32_t count = self->state_.entryCount;
  // The share of entries finished before this one, rounded; a count of 0
  // (never expected here) shows an empty bar rather than dividing by it.
  int percent = count > 0 ? static_cast<int>(n * 100.0 / count + 0.5) : 0;
  if (percent > 100) percent = 100;
  std::string status;
  if (kind == 0) {
    status = FormatText(IDS_UPDATING_FILE, n + 1, count);
  } else if (kind == 1) {
    status = FormatText(IDS_DELETING_FILE, n + 1, count);
  }
  self->frontEnd_->SetStatusText(status);
  return static_cast<int>(
      self->frontEnd_->SendUpdateMessage(WM_UPDATE_PROGRESS, static_cast<uintptr_t>(percent)));
}

}  // namespace qlmr
