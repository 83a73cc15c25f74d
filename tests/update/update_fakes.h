// Fakes for the update procedure's tests: a front end that records every
// call of the update thread, and a patch package that plays a script.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "patch/patch_package.h"
#include "update/update_procedure.h"

namespace qlmr {
namespace testing_support {

// Records each call as one text, in order (texts in UTF-8):
//   "status <text>", "title <text>", "enable-start", "failed", "progress <n>",
//   "succeeded", "browse <title>", "conflict <client path>".
class RecordingFrontEnd : public UpdateFrontEnd {
 public:
  // Pressed when the start button is enabled; null leaves it unpressed.
  UpdateController* controller = nullptr;
  // Answers of the folder browser: false cancels.
  bool browseAnswers = false;
  std::string browseFolder;
  // Runs in place of the conflict dialog; gives its result.
  std::function<int(const std::string&)> conflict = [](const std::string&) { return 1; };

  void SetStatusText(const std::string& text) override;
  void SetWindowTitle(const std::string& text) override;
  void EnableStartButton() override;
  intptr_t SendUpdateMessage(uint32_t message, uintptr_t wParam) override;
  bool BrowseForFolder(const std::string& title, std::string* folder) override;
  int RunConflictDialog(const std::string& clientPath) override;

  std::vector<std::string> Calls();
  bool Called(const std::string& call);

 private:
  void Record(const std::string& call);
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// What FakePatchPackage does, and what it saw.
struct PackageScript {
  bool openSucceeds = true;
  int32_t entryCount = 0;
  std::vector<int32_t> callbackKinds;  // one progress call per item
  bool applySucceeds = true;
  std::function<void()> duringApply;  // runs inside ApplyPackage, after the progress calls
  int32_t errorCode = 0;
  std::string errorMessage;

  std::string openedPath;
  std::string openedExtension;
  std::string appliedFolder;
  std::string appliedExtension;
  std::string appliedVersionFile;
  bool applied = false;
  int destroyed = 0;
};

// The script the next CreateFakePackage() objects follow.
PackageScript& Script();
PatchPackage* CreateFakePackage();

}  // namespace testing_support
}  // namespace qlmr
