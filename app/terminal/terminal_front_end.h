// The updater's main dialog on a terminal: the front end of UpdateController.
//
// The dialog's own thread runs Run(): it reads the keys that an input thread
// collects, and it handles every call of the update thread, which waits for
// each one (the synchronous sends of the window). States and rules follow the
// dialog: initialising, ready (Enter starts), running (no key ends it),
// failed (status line red, q leaves) and succeeded (message box, then q
// leaves and starts the automatic patcher).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/terminal/blocking_queue.h"
#include "app/terminal/keys.h"
#include "app/terminal/screen.h"
#include "base/platform.h"
#include "update/update_procedure.h"

namespace qlmr {

class ConflictScreen;

class TerminalFrontEnd : public UpdateFrontEnd {
 public:
  TerminalFrontEnd(TerminalScreen* screen, ConsoleInput* input, UpdateOptions options);
  ~TerminalFrontEnd();

  // Runs the dialog until the user leaves with the exit key, or until the
  // input has ended and the exit key is enabled. Returns the exit code, 0.
  int Run();

  // UpdateFrontEnd, called on the update thread.
  void SetStatusText(const std::string& text) override;
  void SetWindowTitle(const std::string& text) override;
  void EnableStartButton() override;
  intptr_t SendUpdateMessage(uint32_t message, uintptr_t wParam) override;
  bool BrowseForFolder(const std::string& title, std::string* folder) override;
  int RunConflictDialog(const std::string& clientPath) override;

  // For the conflict screen, which runs on the update thread: runs `call` on
  // the dialog's thread and returns its result once it is done.
  intptr_t Send(std::function<intptr_t()> call);
  TerminalScreen* screen() { return screen_; }

 private:
  struct PendingCall;
  struct Event {
    enum class Kind { kInput, kInputEnded, kCall } kind = Kind::kInput;
    std::string input;
    std::shared_ptr<PendingCall> call;
  };

  friend class ConflictScreen;

  enum class State { kInitialising, kReady, kRunning, kFailed, kSucceeded };

  void OnInit();
  void OnStart();
  void OnExit();
  void EnterFailedState();
  void OnProgress(int position);
  void OnUpdateSucceeded();
  void LaunchPatcher();
  void ShowButtons();
  void EnterState(State state);

  void StartInputThread();
  void Dispatch(const Event& event);
  void HandleKey(Key key);
  void OnInputEnded();
  // Waits on the dialog's thread for the next piece of input; false once the
  // input has ended.
  bool NextInput(std::string* input);
  std::string ReadPromptAnswer();

  TerminalScreen* screen_;
  ConsoleInput* input_;
  UpdateOptions options_;
  std::unique_ptr<UpdateController> controller_;
  BlockingQueue<Event> events_;

  // Dialog state, touched on the dialog's thread only.
  State state_ = State::kInitialising;
  std::string exitCaption_;
  bool launchPatcherOnExit_ = false;
  bool inputEnded_ = false;
  bool quit_ = false;
  int progress_ = 0;
  ConflictScreen* conflict_ = nullptr;  // while the conflict screen is up
};

}  // namespace qlmr
