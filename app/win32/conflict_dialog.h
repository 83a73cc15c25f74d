// The conflict dialog (template 104): shown modally on the update thread,
// owned by the main dialog, while the game client runs after the start
// button. It has a retry button, which searches again after one second with
// both actions disabled, and the force-close link, which terminates every
// running client and leaves the dialog waiting. It ends only with result 1,
// when a retry finds no client; Escape and the close box do nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/win32/dialog.h"

namespace qlmr {

struct LinkLabel;

class ConflictDialog : public Dialog {
 public:
  // `clientPath` is the installation's "qlmr.exe". The newest dialog is the
  // one the force-close link acts for, until it is destroyed.
  explicit ConflictDialog(std::string clientPath);
  ~ConflictDialog() override;

  // Searches the running clients again; true when at least one runs.
  bool FindRunningClients();

 protected:
  bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  LRESULT OnInitDialog(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnDialogKey(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnRetry(WPARAM wParam, LPARAM lParam, bool* handled);
  LRESULT OnTimer(WPARAM wParam, LPARAM lParam, bool* handled);

  void EnableActions(bool enabled);
  static void ForceCloseClients(LinkLabel* label);

  static const MessageMapEntry<ConflictDialog> kMessageMap[5];

  std::string clientPath_;
  std::vector<uint32_t> runningClients_;  // found by the last search
};

}  // namespace qlmr
