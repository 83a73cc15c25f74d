#include "tests/support/large_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_seen{0};
std::atomic<long> g_failAt{0};

}  // namespace

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

namespace qlmr {
namespace testing_support {

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
