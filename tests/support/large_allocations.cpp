#include "tests/support/large_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The sanitizers bring their own operator new and delete, which replacing
// them would mismatch; there the helper does nothing.
#if defined(__SANITIZE_ADDRESS__)
#define QLMR_REPLACE_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QLMR_REPLACE_NEW 0
#endif
#endif
#ifndef QLMR_REPLACE_NEW
#define QLMR_REPLACE_NEW 1
#endif

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_seen{0};
std::atomic<long> g_failAt{0};

}  // namespace

#if QLMR_REPLACE_NEW
void* operator new(std::size_t size) {
  if (size >= qlmr::testing_support::kLargeAllocation && g_counting.load()) {
    if (++g_seen == g_failAt.load()) throw std::bad_alloc();
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif

namespace qlmr {
namespace testing_support {

bool LargeAllocationsCounted() { return QLMR_REPLACE_NEW != 0; }

void CountLargeAllocations(long failAt) {
  g_seen = 0;
  g_failAt = failAt;
  g_counting = true;
}

long StopCountingLargeAllocations() {
  g_counting = false;
  return g_seen;
}

}  // namespace testing_support
}  // namespace qlmr
