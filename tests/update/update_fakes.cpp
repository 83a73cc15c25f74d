#include "tests/update/update_fakes.h"

#include "base/error.h"
#include "base/platform.h"

namespace qlmr {
namespace testing_support {

void RecordingFrontEnd::Record(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call);
}

std::vector<std::string> RecordingFrontEnd::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

bool RecordingFrontEnd::Called(const std::string& call) {
  for (const std::string& c : Calls()) {
    if (c == call) return true;
  }
  return false;
}

void RecordingFrontEnd::SetStatusText(const std::string& text) {
  Record("status " + Cp936ToUtf8(text));
}

void RecordingFrontEnd::SetWindowTitle(const std::string& text) {
  Record("title " + Cp936ToUtf8(text));
}

void RecordingFrontEnd::EnableStartButton() {
  Record("enable-start");
  if (controller != nullptr) controller->Start();
}

intptr_t RecordingFrontEnd::SendUpdateMessage(uint32_t message, uintptr_t wParam) {
  switch (message) {
    case WM_UPDATE_FAILED:
      Record("failed");
      break;
    case WM_UPDATE_PROGRESS:
      Record("progress " + std::to_string(wParam));
      break;
    case WM_UPDATE_SUCCEEDED:
      Record("succeeded");
      break;
    default:
      Record("message " + std::to_string(message));
  }
  return 0;
}

bool RecordingFrontEnd::BrowseForFolder(const std::string& title, std::string* folder) {
  Record("browse " + Cp936ToUtf8(title));
  if (browseAnswers) *folder = browseFolder;
  return browseAnswers;
}

int RecordingFrontEnd::RunConflictDialog(const std::string& clientPath) {
  Record("conflict " + clientPath);
  return conflict(clientPath);
}

namespace {

class FakePatchPackage : public PatchPackage {
 public:
  explicit FakePatchPackage(PackageScript* script) : script_(script) {}

  bool VerifyPackageFile(const char*) override { return false; }
  bool OpenPackage(const char* path, const char* packExtension) override {
    script_->openedPath = path;
    script_->openedExtension = packExtension;
    if (!script_->openSucceeds) ReportError(ERR_BAD_DATA, "");
    return script_->openSucceeds;
  }
  int32_t GetEntryCount() const override { return script_->entryCount; }
  bool SetWorkFolder(const char*) override { return false; }
  bool ApplyPackage(const char* installDir, const char* packExtension, const char* versionFileName,
                    PatchProgressCallback callback) override {
    script_->applied = true;
    script_->appliedFolder = installDir;
    script_->appliedExtension = packExtension;
    script_->appliedVersionFile = versionFileName;
    for (int32_t kind : script_->callbackKinds) callback("", "file", kind);
    if (script_->duringApply) script_->duringApply();
    if (!script_->applySucceeds) {
      ReportError(script_->errorCode, "%s", script_->errorMessage.c_str());
    }
    return script_->applySucceeds;
  }
  bool ComputeFileCrc(const char*, uint32_t*, bool) override { return false; }
  const ZipReadHandlers* GetReadHandlers(const char*) override { return nullptr; }
  bool ConvertPackageFile(const char*, const char*) override { return false; }
  void DestroyPackage(uint32_t freeSelf) override {
    ++script_->destroyed;
    if (freeSelf & 1) delete this;
  }

 private:
  PackageScript* script_;
};

}  // namespace

PackageScript& Script() {
  static PackageScript script;
  return script;
}

PatchPackage* CreateFakePackage() { return new FakePatchPackage(&Script()); }

}  // namespace testing_support
}  // namespace qlmr
