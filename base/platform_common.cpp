// What both sides of the platform layer share: the parts of ConsoleInput
// and NamedLock, and the interrupt flag: what does not touch the system.
#include <atomic>
#include <cstdio>
#include <string>

#include "base/platform.h"
#include "base/platform_system.h"

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

std::string NamedLockName(uint64_t volume, uint64_t object, const std::string& name) {
  // FNV-1a over the three: names of any length give a name that fits a
  // socket address and a mutex name alike.
  uint64_t hash = 14695981039346656037ull;
  auto add = [&hash](uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  for (int shift = 0; shift < 64; shift += 8) {
    add(static_cast<uint8_t>(volume >> shift));
    add(static_cast<uint8_t>(object >> shift));
  }
  for (char c : name) add(static_cast<uint8_t>(c));
  char text[32];
  snprintf(text, sizeof text, "qlmr-lock-%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace qlmr
