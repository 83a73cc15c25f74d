// What the update thread needs from the window that shows it: UpdateFrontEnd
// and the messages that UpdateFrontEnd::SendUpdateMessage carries. The
// terminal program and the Windows dialog each implement it.
#pragma once

#include <cstdint>
#include <string>

namespace qlmr {

// The private messages of the update thread.
enum UpdateMessage : uint32_t {
  WM_UPDATE_FAILED = 2025,     // the status line holds the reason
  WM_UPDATE_PROGRESS = 2026,   // wParam: the progress bar's new position, 0..100
  WM_UPDATE_SUCCEEDED = 2027,  // the patch was applied
};

// What the update thread needs from its window. Every call comes from the
// update thread and is synchronous: it returns only after the front end's own
// thread has handled it (a Windows dialog implements the first four with
// SendMessage). The front end answers by calling UpdateController::Start.
class UpdateFrontEnd {
 public:
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetWindowTitle(const std::string& text) = 0;  // once
  virtual void EnableStartButton() = 0;                      // once
  // One of the UpdateMessage values; the result is the handler's.
  virtual intptr_t SendUpdateMessage(uint32_t message, uintptr_t wParam) = 0;

  // Lets the user choose a folder, `title` (text 107) on top. Runs on the
  // update thread, owned by the front end's window. False when cancelled.
  virtual bool BrowseForFolder(const std::string& title, std::string* folder) = 0;

  // Shows the conflict screen modally on the update thread until a retry
  // finds no client of `clientPath`, which gives 1. Any other result (the
  // screen could not be shown) stops the update.
  virtual int RunConflictDialog(const std::string& clientPath) = 0;

 protected:
  ~UpdateFrontEnd() = default;
};

}  // namespace qlmr
