// What the release team's command-line tools share: the exit convention and
// a progress bar. Exit codes: 0 success, 1 failure (after PrintLastError),
// 2 usage error (CLI11's own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace qlmr {
namespace tools {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Tool output, UTF-8 text: printf-style to standard output or standard
// error, through WriteStandardText so that a Windows console shows every
// character.
void Print(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
void PrintError(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
// Writes bytes or text to standard output as they are.
bool WriteOut(const std::string& text);

// Flushes standard output as a command ends: output lost to a full disk or
// a closed pipe turns a successful `exitCode` into a failure, reported as
// ERR_WRITE "stdout, WinErr=%d". Other codes are returned as they are.
int FinishOutput(int exitCode);

// The arguments as UTF-8 for the command-line parser (CommandLineArguments
// of the platform layer), held for the tool's lifetime.
class Arguments {
 public:
  Arguments(int argc, char** argv);
  int count() const { return static_cast<int>(pointers_.size()); }
  char** values() { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

// Prints "error <code>: <message>" of the calling thread's error state to stderr
// and returns kExitFailure.
int PrintLastError();

// `text` in the system's code page 936 as the tools' terminal shows it
// (UTF-8); bytes that do not convert are kept.
std::string TerminalText(const std::string& text);

// `text` (the system's code page 936) as a quoted JSON string in UTF-8.
std::string JsonString(const std::string& text);

// A one-line progress bar on stderr, drawn only when stderr is a terminal
// and there is more than one step, so that scripts, tests and one-file
// commands see clean output. Use from one thread.
class ProgressBar {
 public:
  ProgressBar(const std::string& label, uint64_t total);
  ~ProgressBar();  // ends the line if anything was drawn
  void Advance(uint64_t steps = 1);

 private:
  void Draw();
  std::string label_;
  uint64_t total_;
  uint64_t done_ = 0;
  int lastPercent_ = -1;
  bool enabled_;
};

}  // namespace tools
}  // namespace qlmr
