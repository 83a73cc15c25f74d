// Test helper: runs a piece of the test in a forked child process, so that a
// fault that ends the process (the platform layer's fault seam) ends the
// child alone and the test looks at what it left on disk. POSIX only.
#pragma once

#include <functional>

namespace qlmr {
namespace testing_support {

// Runs `body` in a child and waits for it. The child ends with the code that
// `body` returns, unless something ends it first. Returns the exit code, or
// -signal when a signal ended the child; -1000 when no child could start.
int RunInForkedChild(const std::function<int()>& body);

}  // namespace testing_support
}  // namespace qlmr
