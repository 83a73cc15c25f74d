// Test helper: fails one large allocation of the test binary, as when memory
// runs out. Linking it replaces the binary's operator new and delete.
#pragma once

namespace qlmr {
namespace testing_support {

// Allocations of at least this many bytes are counted.
constexpr unsigned long kLargeAllocation = 16 << 10;

// False in sanitizer builds, whose own allocator stays in place.
bool LargeAllocationsCounted();
// Starts counting large allocations; the one numbered `failAt` (from 1)
// throws std::bad_alloc. 0 fails none.
void CountLargeAllocations(long failAt);
// Stops counting; returns how many large allocations were made.
long StopCountingLargeAllocations();

}  // namespace testing_support
}  // namespace qlmr
