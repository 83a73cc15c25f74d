// What both sides of the platform layer share: the parts of ConsoleInput
// that do not touch the system.
#include <atomic>
#include <string>

#include "base/platform.h"

namespace qlmr {
namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> g_interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

bool InterruptRequested() { return g_interruptRequested.load(); }

void RequestInterrupt() { g_interruptRequested.store(true); }

ConsoleInput::~ConsoleInput() { Restore(); }

bool ConsoleInput::Read(std::string* input) {
  input->clear();
  if (terminal_) return ReadKey(input);
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos || (ended_ && !pending_.empty())) {
      if (end == std::string::npos) end = pending_.size();
      *input = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!input->empty() && input->back() == '\r') input->pop_back();
      return true;
    }
    if (ended_) return false;
    char buffer[4096];
    size_t got = 0;
    if (!ReadMore(buffer, sizeof buffer, &got)) return false;
    if (got == 0) {
      ended_ = true;
      continue;
    }
    pending_.append(buffer, got);
  }
}

}  // namespace qlmr
