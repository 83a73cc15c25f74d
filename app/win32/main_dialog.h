// The Windows updater's main dialog (template 101): the status line, the
// progress bar, the start button and the exit button. It is the front end of
// UpdateController: the update thread reaches the window only through
// synchronous sends (status text, title, enabling start, the messages
// WM_UPDATE_*), so every handler below runs on the dialog's own thread.
//
// States: initialising (start disabled), ready (the thread enabled start),
// running (both buttons and the Close menu item disabled; the window refuses
// the end of the session, naming text 124 as the reason), failed (status
// line red, exit enabled), succeeded (exit captioned "OK"; leaving starts the
// automatic patcher). Escape and the close box never end the dialog; the exit
// button ends the modal loop with a quit message.
#pragma once

#include <memory>
#include <string>

#include "app/win32/dialog.h"
#include "update/update_procedure.h"

namespace qlmr {

class MainDialog : public Dialog, public UpdateFrontEnd {
 public:
  explicit MainDialog(UpdateOptions options);
  ~MainDialog() override;

  // UpdateFrontEnd, called on the update thread.
  void SetStatusText(const std::string& text) override;
  void SetWindowTitle(const std::string& text) override;
  void EnableStartButton() override;
  intptr_t SendUpdateMessage(uint32_t message, uintptr_t wParam) override;
  bool BrowseForFolder(const std::string& title, std::string* folder) override;
  int RunConflictDialog(const std::string& clientPath) override;

 protected:
  bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  LRESULT OnInitDialog(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnDialogKey(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnStart(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnExit(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnCtlColorStatic(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnUpdateFailed(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnProgress(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnUpdateSucceeded(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnQueryEndSession(WPARAM wParam, LPARAM lParam, bool* handled);

  void SetRunning(bool running);
  void EnterFailedState();
  void SetProgress(int position);
  void LaunchPatcher();

  static const MessageMapEntry<MainDialog> kMessageMap[10];

  UpdateOptions options_;
  std::unique_ptr<UpdateController> controller_;
  bool failed_ = false;               // the status line is drawn red
  bool launchPatcherOnExit_ = false;  // set after success
  bool running_ = false;              // from the start button to the report
};

}  // namespace qlmr
