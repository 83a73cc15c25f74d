// The command-line edge of the release tools, the one place where what a
// person types becomes what the system uses:
//   - every path and stored name passes through SystemPath (UTF-8 from the
//     terminal, or the wide command line on Windows, into code page 936 with
//     backslashes), by way of AddPath and AddPaths;
//   - "-" stands for standard input where one input file is read
//     (InputFile) and for standard output where one output file is written
//     (OutputFile);
//   - an output that exists is refused unless --force (OutputFile);
//   - ToolApp gives both tools --version, -q/--quiet, -v/--verbose, the
//     program's name in usage lines, a failure line for usage errors that
//     names the program, and the closest commands for a misspelled one.
// One thread; the program's main.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qlmr {
namespace tools {

// The system's form of a path or stored name typed on the command line:
// UTF-8 text in code page 936 (bytes that do not convert are kept), every
// slash a backslash. "-" stays "-".
std::string SystemPath(const std::string& typed);

// Text a person wrote for the tool (a build list) in the system's code page
// 936: UTF-8 when it starts with a UTF-8 byte order mark (dropped), or when
// it is UTF-8 made of characters that code page 936 has; otherwise it is
// taken for code page 936 already and kept as it is.
std::string SystemText(const std::string& bytes);

// A positional argument or option holding one path or stored name, or
// several, each through SystemPath. `name` is CLI11's ("ARCHIVE",
// "-o,--output").
CLI::Option* AddPath(CLI::App* command, const std::string& name, std::string* path,
                     const std::string& description);
CLI::Option* AddPaths(CLI::App* command, const std::string& name, std::vector<std::string>* paths,
                      const std::string& description);

// An option whose value is one of the words of `choices` ("--kind masked"),
// with the words in its help and in its refusal, never the numbers behind
// them.
template <typename T>
CLI::Option* AddChoice(CLI::App* command, const std::string& name, T* value,
                       const std::map<std::string, T>& choices, const std::string& description) {
  std::string words;
  for (const auto& choice : choices) words += (words.empty() ? "" : "|") + choice.first;
  return command
      ->add_option_function<std::string>(
          name, [value, choices](const std::string& word) { *value = choices.at(word); },
          description)
      ->check(CLI::IsMember(choices, CLI::ignore_case).description(""))
      ->type_name(words);
}

// The commands closest to `typed`: those of the smallest edit distance
// within half its length, or else those it begins; in name order.
std::vector<std::string> ClosestCommands(const std::string& typed,
                                         const std::vector<std::string>& commands);

// One of the tools: its commands, registered by the files that implement
// them, and the conventions above.
class ToolApp {
 public:
  // `program` is the name usage lines and messages show ("qlmr-pak").
  ToolApp(const std::string& program, const std::string& description);

  CLI::App& app() { return app_; }
  // Adds a command; `run` is called after a successful parse when the
  // command was chosen and returns the exit code.
  CLI::App* AddCommand(const std::string& name, const std::string& description,
                       std::function<int()> run);

  // Parses `argv`, runs the chosen command and flushes the output
  // (FinishOutput). Returns the process's exit code.
  int Run(int argc, char** argv);

 private:
  int Parse(int count, char** values);

  CLI::App app_;
  std::vector<std::pair<CLI::App*, std::function<int()>>> commands_;
  bool quiet_ = false;
  bool verbose_ = false;
};

// An input file named on the command line. "-" is standard input, copied to
// a temporary file first (the libraries open files by name and seek in
// them); the copy is removed with the object.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Takes `path`. Fails for "-" with ERR_ACCESS "Path=%s, WinErr=%d" (the
  // temporary file), ERR_READ "stdin, WinErr=%d" or ERR_WRITE "File=%s,
  // WinErr=%d".
  bool Open(const std::string& path);
  // The file to read: the path given, or the copy of standard input.
  const std::string& path() const { return path_; }
  bool isStandardInput() const { return !copy_.empty(); }

 private:
  std::string path_;
  std::string copy_;
};

// An output file named on the command line. An existing file is refused
// unless `force`; "-" is standard output, written through a temporary file
// that Deliver copies out (the writers replace files whole, by name).
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Takes `path`. Fails with ERR_ACCESS "File=%s, exists" (an existing file
  // without `force`) or, for "-", "Path=%s, WinErr=%d" (the temporary file).
  bool Open(const std::string& path, bool force);
  // Says Open's failure in words and returns kExitFailure: a refusal names
  // `replaceOption`, the option that allows it.
  int FailToOpen(const char* replaceOption = "--force") const;
  // Where to write: the path given, or the temporary file.
  const std::string& path() const { return path_; }
  // The path as the user gave it, for messages ("-" for standard output).
  const std::string& shown() const { return shown_; }
  bool isStandardOutput() const { return !temporary_.empty(); }
  // For "-": copies what was written to standard output (ERR_READ "File=%s,
  // WinErr=%d", ERR_WRITE "stdout, WinErr=%d"). Nothing to do otherwise.
  bool Deliver();

 private:
  std::string path_;
  std::string shown_;
  std::string temporary_;
};

}  // namespace tools
}  // namespace qlmr
