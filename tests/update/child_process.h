// Test helper: a child process with a chosen argv[0], environment and
// standard streams, for tests that watch the process list or drive a
// program through its standard input and output (POSIX only: the terminal
// front end's tests). One source per system.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {
namespace testing_support {

// The status Wait gives for a process ended by TerminateProcessById.
#ifdef _WIN32
constexpr int kKilledStatus = -1;  // exit code 4294967295
#else
constexpr int kKilledStatus = -9;  // SIGKILL
#endif

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  struct Options {
    std::string program;                // the file to run (a disk path)
    std::vector<std::string> argv;      // argv[0] first; empty: {program}
    std::vector<std::string> extraEnv;  // "NAME=value", added to ours or replacing
    std::string workingFolder;          // empty: ours
    bool pipes = false;                 // stdin and stdout through pipes (POSIX)
    bool terminal = false;              // stdin and stdout on a new terminal (POSIX)
    // Created suspended (Win32): it runs none of its own code until it is
    // ended, and its modules cannot be read yet.
    bool suspended = false;
  };
  bool Start(const Options& options);

  uint32_t pid() const { return static_cast<uint32_t>(pid_); }

#ifndef _WIN32
  // Writes to the child's standard input (pipes or terminal).
  bool Write(const std::string& text);
  void CloseInput();
  // Stops reading the child's output: its reader is gone (a closed pipe);
  // with CloseInput, a closed terminal.
  void CloseOutput();

  // Reads output lines until one contains `needle`; the lines read are kept
  // in output(). False when the output ends or `timeout` passes first.
  bool WaitForLine(const std::string& needle,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
  const std::string& output() const { return output_; }
  // The line that the last successful WaitForLine found.
  const std::string& foundLine() const { return foundLine_; }
  // Reads the rest of the output until the child closes it.
  void ReadToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(20));
#endif

  // Waits for the child to end; false on timeout. `*status` gets its
  // exit code, or -signal when a signal ended it.
  bool Wait(int* status, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Kill();

 private:
#ifdef _WIN32
  void* process_ = nullptr;  // HANDLE
  int64_t pid_ = -1;
#else
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string output_;
  size_t scanned_ = 0;  // the first line of output_ not searched yet
  std::string foundLine_;
#endif
};

// Whether a process with this id still runs (a zombie does not).
bool ProcessRuns(uint32_t pid);

}  // namespace testing_support
}  // namespace qlmr
