// Test helper: runs a release tool as a whole process through the POSIX
// shell, as the release team runs it, and splits what a failure printed.
// POSIX only.
#pragma once

#include <string>

namespace qlmr {
namespace testing_support {

struct ToolRun {
  int exitCode = -1;  // -1 when the process did not end by itself
  std::string out;
  std::string err;
};

// The program at `builtPath`, or the program of that name in the folder
// QLMR_TOOLS_UNDER_TEST names, so that the same tests can judge another
// build of the tools.
std::string ToolUnderTest(const std::string& builtPath);

// Runs `program` (ToolUnderTest of it) with `arguments` (shell words, UTF-8) in `folder` (system
// form), standard input from `input` when it is not empty (a system path),
// standard output into `outputPath` when it is not empty (and then not read
// back).
ToolRun RunTool(const std::string& program, const std::string& arguments, const std::string& folder,
                const std::string& input = "", const std::string& outputPath = "");

// A path (system form, CP936 with backslashes) as the shell takes it:
// UTF-8 with slashes, in single quotes.
std::string ShellWord(const std::string& path);

// The part of a failure line in brackets: "ERR_ACCESS 3: File=x.pak,
// WinErr=2"; empty when `err` has none.
std::string ErrorState(const std::string& err);

// The failure line without its bracket: "qlmr-pak: cannot open 'x.pak': no
// such file or directory".
std::string FailureWords(const std::string& err);

}  // namespace testing_support
}  // namespace qlmr
