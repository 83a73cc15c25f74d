#include "app/terminal/conflict_screen.h"

#include <chrono>

#include "app/terminal/terminal_front_end.h"
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
  owner_->Send([this] {
    owner_->conflict_ = this;
    owner_->screen()->ShowConflict();
    return intptr_t{0};
  });
  for (;;) {
    Key key = keys_.Pop();
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

bool ConflictScreen::Retry() {
  SetActionsEnabled(false);
  // Keys pressed meanwhile reach disabled actions and are dropped.
  auto deadline = std::chrono::steady_clock::now() + kRetryDelay;
  Key dropped;
  while (keys_.PopUntil(deadline, &dropped)) {
  }
  if (FindRunningClients(clientPath_).empty()) return true;
  SetActionsEnabled(true);
  return false;
}

}  // namespace qlmr
