#include <sys/wait.h>

#include <cstdlib>

#include "base/platform.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_run.h"

namespace qlmr {
namespace testing_support {

std::string ToolUnderTest(const std::string& builtPath) {
  const char* folder = getenv("QLMR_TOOLS_UNDER_TEST");
  if (folder == nullptr || folder[0] == '\0') return builtPath;
  return std::string(folder) + builtPath.substr(builtPath.rfind('/'));
}

ToolRun RunTool(const std::string& program, const std::string& arguments, const std::string& folder,
                const std::string& input, const std::string& outputPath) {
  TempDir streams;
  std::string out = outputPath.empty() ? streams.Join("stdout") : outputPath;
  std::string err = streams.Join("stderr");
  std::string command = "cd " + ShellWord(folder) + " && '" + ToolUnderTest(program) + "' " +
                        arguments + " >" + ShellWord(out) + " 2>" + ShellWord(err) +
                        (input.empty() ? " </dev/null" : " <" + ShellWord(input));
  int status = std::system(command.c_str());
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (outputPath.empty()) run.out = ReadFileOrEmpty(out);
  run.err = ReadFileOrEmpty(err);
  return run;
}

std::string ShellWord(const std::string& path) {
  std::string word = Cp936ToUtf8(path);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\\') {
      quoted += '/';
    } else if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string ErrorState(const std::string& err) {
  size_t open = err.rfind(" [");
  size_t close = err.rfind(']');
  if (open == std::string::npos || close == std::string::npos || close < open) return "";
  return err.substr(open + 2, close - open - 2);
}

std::string FailureWords(const std::string& err) {
  size_t open = err.rfind(" [");
  return open == std::string::npos ? err : err.substr(0, open);
}

}  // namespace testing_support
}  // namespace qlmr
