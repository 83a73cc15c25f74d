#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/update/child_process.h"

extern char** environ;

namespace qlmr {
namespace testing_support {

ChildProcess::~ChildProcess() {
  Kill();
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
}

bool ChildProcess::Start(const Options& options) {
  if (options.suspended) return false;  // not needed by the POSIX tests
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  if (options.pipes && (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)) {
    return false;
  }
  int master = -1;
  int slave = -1;
  if (options.terminal) {
    struct winsize size = {40, 120, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return false;
    fcntl(master, F_SETFD, FD_CLOEXEC);
  }
  std::vector<std::string> args = options.argv;
  if (args.empty()) args.push_back(options.program);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  // Ours, with each variable of extraEnv replaced (getenv takes the first).
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : options.extraEnv) {
      std::string name = extra.substr(0, extra.find('=') + 1);  // "NAME="
      replaced = replaced || entry.compare(0, name.size(), name) == 0;
    }
    if (!replaced) env_text.push_back(entry);
  }
  for (const std::string& extra : options.extraEnv) env_text.push_back(extra);
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(&e[0]);
  env.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    if (options.pipes) {
      dup2(in_pipe[0], STDIN_FILENO);
      dup2(out_pipe[1], STDOUT_FILENO);
    }
    if (options.terminal) {
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      dup2(slave, STDIN_FILENO);
      dup2(slave, STDOUT_FILENO);
      if (slave > STDERR_FILENO) close(slave);
    }
    if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) _exit(126);
    execve(options.program.c_str(), argv.data(), env.data());
    _exit(127);
  }
  if (options.pipes) {
    close(in_pipe[0]);
    close(out_pipe[1]);
    toChild_ = in_pipe[1];
    fromChild_ = out_pipe[0];
  }
  if (options.terminal) {
    close(slave);
    toChild_ = master;
    fromChild_ = dup(master);
  }
  return true;
}

bool ChildProcess::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(toChild_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (toChild_ >= 0) close(toChild_);
  toChild_ = -1;
}

void ChildProcess::CloseOutput() {
  if (fromChild_ >= 0) close(fromChild_);
  fromChild_ = -1;
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || fromChild_ < 0) return false;
  pollfd fd = {fromChild_, POLLIN, 0};
  int ready = poll(&fd, 1, static_cast<int>(left.count()));
  if (ready <= 0) return false;
  char buffer[4096];
  ssize_t n = read(fromChild_, buffer, sizeof buffer);
  if (n <= 0) {
    close(fromChild_);
    fromChild_ = -1;
    return false;
  }
  output_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::WaitForLine(const std::string& needle, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (size_t end; (end = output_.find('\n', scanned_)) != std::string::npos;) {
      std::string line = output_.substr(scanned_, end - scanned_);
      scanned_ = end + 1;
      if (line.find(needle) != std::string::npos) {
        foundLine_ = line;
        return true;
      }
    }
    if (!ReadSome(deadline)) return false;
  }
}

void ChildProcess::ReadToEnd(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadSome(deadline)) {
  }
}

bool ChildProcess::Wait(int* status, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  pid_ = -1;
}

bool ProcessRuns(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close_paren = line.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < line.size() &&
         line[close_paren + 2] != 'Z';
}

}  // namespace testing_support
}  // namespace qlmr
