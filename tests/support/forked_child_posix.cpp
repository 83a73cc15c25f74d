#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/support/forked_child.h"

namespace qlmr {
namespace testing_support {

int RunInForkedChild(const std::function<int()>& body) {
  fflush(stdout);
  fflush(stderr);
  pid_t child = fork();
  if (child < 0) return -1000;
  if (child == 0) {
    // _exit: the child must not run the parent's exit handlers or flush its
    // copies of the parent's buffers.
    _exit(body());
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

}  // namespace testing_support
}  // namespace qlmr
