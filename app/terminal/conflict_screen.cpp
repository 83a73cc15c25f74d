#include "app/terminal/conflict_screen.h"

#include <chrono>

#include "app/terminal/terminal_front_end.h"
#include "base/platform.h"
#include "res/strings.h"
#include "update/client_detection.h"

namespace qlmr {
namespace {

// The retry searches again after this pause, with both actions disabled.
constexpr std::chrono::milliseconds kRetryDelay(1000);

}  // namespace

ConflictScreen::ConflictScreen(TerminalFrontEnd* owner, std::string clientPath)
    : owner_(owner), clientPath_(std::move(clientPath)) {}

int ConflictScreen::RunModal() {
  // No search here: the screen opens because one has just found a client.
  bool inputEnded = false;
  owner_->Send([this, &inputEnded] {
    owner_->conflict_ = this;
    owner_->screen()->ShowConflict();
    inputEnded = owner_->inputEnded_;
    return intptr_t{0};
  });
  if (inputEnded) OnEndOfInput();
  for (;;) {
    Key key = inputEnded_ ? Key::kRetry : keys_.Pop();
    if (key == Key::kEndOfInput) OnEndOfInput();
    if (key == Key::kRetry && Retry()) break;
    if (key == Key::kForce) ForceCloseClients(clientPath_);
  }
  owner_->Send([this] {
    owner_->conflict_ = nullptr;
    owner_->screen()->HideConflict();
    return intptr_t{0};
  });
  return 1;
}

void ConflictScreen::SetActionsEnabled(bool enabled) {
  owner_->Send([this, enabled] {
    owner_->screen()->SetConflictActionsEnabled(enabled);
    return intptr_t{0};
  });
}

void ConflictScreen::OnEndOfInput() {
  inputEnded_ = true;
  owner_->Send([this] {
    owner_->screen()->SetConflictNote(Cp936ToUtf8(LoadText(IDS_RETRYING_WITHOUT_INPUT)));
    return intptr_t{0};
  });
}

bool ConflictScreen::Retry() {
  SetActionsEnabled(false);
  // Keys pressed meanwhile reach disabled actions and are dropped; the end of
  // the input is no key.
  auto deadline = std::chrono::steady_clock::now() + kRetryDelay;
  Key dropped;
  while (keys_.PopUntil(deadline, &dropped)) {
    if (dropped == Key::kEndOfInput) OnEndOfInput();
  }
  if (FindRunningClients(clientPath_).empty()) return true;
  SetActionsEnabled(true);
  return false;
}

}  // namespace qlmr
