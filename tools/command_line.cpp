#include "tools/command_line.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/tool_support.h"

#ifndef QLMR_TOOLS_VERSION
#error "QLMR_TOOLS_VERSION must be defined by the build"
#endif

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 16;

// Edit distance with adjacent transpositions: "lst" is 1 from "ls", "sl" 1
// from "ls".
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// A new empty file in the temporary folder.
bool MakeTemporaryFile(std::string* path) {
  std::string folder = TempFolderPath();
  if (CreateUniqueTempFile(folder.c_str(), "qlt", path)) return true;
  ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
  return false;
}

bool CopyStandardInputTo(const std::string& path) {
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  std::vector<char> piece(kPiece);
  for (;;) {
    size_t got = fread(piece.data(), 1, piece.size(), stdin);
    if (got > 0 && !file.Write(piece.data(), static_cast<uint32_t>(got))) {
      ReportError(ERR_WRITE, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
      return false;
    }
    if (got < piece.size()) break;
  }
  if (ferror(stdin)) {
    ReportError(ERR_READ, "stdin, WinErr=%d", LastSystemError());
    return false;
  }
  return true;
}

bool CopyFileToStandardOutput(const std::string& path) {
  File file;
  if (!file.Open(path.c_str(), FileMode::kRead)) {
    ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  std::vector<char> piece(kPiece);
  for (;;) {
    uint32_t got = 0;
    if (!file.Read(piece.data(), kPiece, &got)) {
      ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
      return false;
    }
    if (got == 0) return true;
    if (fwrite(piece.data(), 1, got, stdout) != got) {
      ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
      return false;
    }
  }
}

}  // namespace

std::string SystemPath(const std::string& typed) {
  std::string path = Utf8ToCp936(typed);
  // Only after the conversion may a 0x2F byte be taken for a slash; the
  // backslashes it leaves may be trail bytes and stay as they are.
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string SystemText(const std::string& bytes) {
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (bytes.compare(0, 3, kByteOrderMark) == 0) return Utf8ToCp936(bytes.substr(3));
  // Code page 936 text is rarely valid UTF-8, and where it is (two-byte
  // characters that read as Hebrew or Cyrillic letters) those letters are
  // not in code page 936: only UTF-8 text comes back unchanged.
  std::string converted = Utf8ToCp936(bytes);
  return Cp936ToUtf8(converted) == bytes ? converted : bytes;
}

CLI::Option* AddPath(CLI::App* command, const std::string& name, std::string* path,
                     const std::string& description) {
  return command->add_option(name, *path, description)
      ->transform([](std::string typed) { return SystemPath(typed); })
      ->type_name("PATH");
}

CLI::Option* AddPaths(CLI::App* command, const std::string& name, std::vector<std::string>* paths,
                      const std::string& description) {
  return command->add_option(name, *paths, description)
      ->transform([](std::string typed) { return SystemPath(typed); })
      ->type_name("PATH");
}

std::vector<std::string> ClosestCommands(const std::string& typed,
                                         const std::vector<std::string>& commands) {
  // The nearest by edit distance, within half the typed length; failing
  // those, the commands the typed text begins ("c" for cat and create).
  size_t limit = std::max<size_t>(1, typed.size() / 2);
  size_t best = limit;
  std::vector<std::string> closest;
  for (const std::string& command : commands) {
    size_t distance = EditDistance(typed, command);
    if (distance > limit || distance > best) continue;
    if (distance < best) closest.clear();
    best = distance;
    closest.push_back(command);
  }
  if (closest.empty()) {
    for (const std::string& command : commands) {
      if (!typed.empty() && command.compare(0, typed.size(), typed) == 0)
        closest.push_back(command);
    }
  }
  std::sort(closest.begin(), closest.end());
  return closest;
}

ToolApp::ToolApp(const std::string& program, const std::string& description)
    : app_(description, program) {
  SetProgramName(program);
  app_.require_subcommand(1);
  app_.fallthrough();
  app_.set_version_flag("--version", program + " " + QLMR_TOOLS_VERSION);
  app_.set_help_flag("-h,--help", "Print this help and exit");
  app_.add_flag("-q,--quiet", quiet_, "Print no progress and no notes, only results and failures");
  app_.add_flag("-v,--verbose", verbose_, "Print a line for every file handled");
  app_.failure_message([](const CLI::App* command, const CLI::Error& error) {
    std::string name = command->get_name();
    std::string help = command->get_parent() != nullptr ? ProgramName() + " " + name : name;
    return ProgramName() + ": " + error.what() + " ('" + help + " --help' shows the usage)\n";
  });
  app_.footer(
      "Paths and names may be typed with slashes or backslashes. Exit codes: 0 done, "
      "1 failed, 2 usage error, 130 interrupted.");
}

CLI::App* ToolApp::AddCommand(const std::string& name, const std::string& description,
                              std::function<int()> run) {
  CLI::App* command = app_.add_subcommand(name, description);
  command->set_help_flag("-h,--help", "Print this help and exit");
  commands_.emplace_back(command, std::move(run));
  return command;
}

int ToolApp::Parse(int count, char** values) {
  // A misspelled command would otherwise get CLI11's "A subcommand is
  // required"; the words before it are this tool's own flags.
  std::vector<std::string> names;
  for (const auto& command : commands_) names.push_back(command.first->get_name());
  for (int i = 1; i < count; ++i) {
    std::string word = values[i];
    if (word.empty() || word[0] == '-') continue;
    if (std::find(names.begin(), names.end(), word) != names.end()) break;
    std::vector<std::string> closest = ClosestCommands(word, names);
    std::string list;
    for (const std::string& name : closest.empty() ? names : closest) {
      list += (list.empty() ? "" : ", ") + name;
    }
    PrintError("%s: '%s' is not a command; %s: %s\n", ProgramName().c_str(), word.c_str(),
               closest.empty() ? "the commands are" : "did you mean", list.c_str());
    return kExitUsage;
  }
  try {
    app_.parse(count, values);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    int code = app_.exit(error, out, err);
    WriteStandardText(StandardStream::kOutput, out.str());
    WriteStandardText(StandardStream::kError, err.str());
    return code == 0 ? kExitSuccess : kExitUsage;
  }
  return -1;
}

int ToolApp::Run(int argc, char** argv) {
  std::vector<std::string> texts = CommandLineArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  int parsed = Parse(static_cast<int>(pointers.size()), pointers.data());
  if (parsed >= 0) return FinishOutput(parsed);
  SetVerbosity(quiet_ ? Verbosity::kQuiet : verbose_ ? Verbosity::kVerbose : Verbosity::kNormal);
  for (auto& command : commands_) {
    if (command.first->parsed()) return FinishOutput(command.second());
  }
  return FinishOutput(kExitUsage);
}

InputFile::~InputFile() {
  if (!copy_.empty()) RemoveFileAt(copy_.c_str());
}

bool InputFile::Open(const std::string& path) {
  path_ = path;
  if (path != "-") return true;
  if (!MakeTemporaryFile(&copy_)) return false;
  path_ = copy_;
  return CopyStandardInputTo(copy_);
}

OutputFile::~OutputFile() {
  if (!temporary_.empty()) RemoveFileAt(temporary_.c_str());
}

bool OutputFile::Open(const std::string& path, bool force) {
  path_ = path;
  shown_ = path;
  if (path == "-") {
    // The writers replace the file by name, so it must not exist yet.
    if (!MakeTemporaryFile(&temporary_)) return false;
    RemoveFileAt(temporary_.c_str());
    path_ = temporary_;
    TakeStandardOutput();
    return true;
  }
  if (!force && PathExists(path.c_str())) {
    ReportError(ERR_ACCESS, "File=%s, exists", path.c_str());
    return false;
  }
  return true;
}

int OutputFile::FailToOpen(const char* replaceOption) const {
  if (LastErrorCode() == ERR_ACCESS && temporary_.empty()) {
    std::string cause = std::string("it exists (") + replaceOption + " replaces it)";
    return Fail("will not replace", shown_, cause.c_str());
  }
  return Fail("cannot write", shown_);
}

bool OutputFile::Deliver() {
  if (temporary_.empty()) return true;
  return CopyFileToStandardOutput(temporary_);
}

}  // namespace tools
}  // namespace qlmr
