// The conflict screen: shown on the update thread while the game client runs
// after the start key. It has two actions, retry (r) and the force-close link
// (f), and no other way out: it ends only when a retry finds no client. Once
// the input has ended, nobody can press retry any more: the screen says so
// and retries by itself, once a second, until the client is gone.
#pragma once

#include <string>

#include "app/terminal/blocking_queue.h"
#include "app/terminal/keys.h"

namespace qlmr {

class TerminalFrontEnd;

class ConflictScreen {
 public:
  ConflictScreen(TerminalFrontEnd* owner, std::string clientPath);

  // Shows the screen and runs it on the calling (update) thread; returns 1
  // once a retry found no client.
  int RunModal();

  // A key for the screen; the dialog's thread forwards them while it is up.
  void PostKey(Key key) { keys_.Push(key); }

 private:
  void SetActionsEnabled(bool enabled);
  bool Retry();
  void OnEndOfInput();

  TerminalFrontEnd* owner_;
  std::string clientPath_;
  BlockingQueue<Key> keys_;
  bool inputEnded_ = false;
};

}  // namespace qlmr
