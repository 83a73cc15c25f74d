// What the release team's command-line tools share about their output: the
// exit convention, the program's name and how much it says, and how the
// system's names are shown.
//
// Exit codes: 0 success, 1 failure (after Fail, tools/failure.h), 2 usage
// error (the command line), 130 interrupted (Ctrl+C; the work in hand was
// finished and every file left whole).
//
// Names. Inside the tools every path and stored name is the system's form:
// code page 936 (tools/command_line.h converts the command line into it).
// People see UTF-8: ShownName for stored names and list text, ShownPath for
// paths, with the separator of the system the tool runs on.
#pragma once

#include <string>

#include "base/error.h"

namespace qlmr {
namespace tools {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // as a shell reports a process ended by SIGINT

// The program's name for messages ("qlmr-pak"), set once by the tool's
// entry (ToolApp).
const std::string& ProgramName();
void SetProgramName(const std::string& name);

// -q: no progress and no notes, only what was asked for (listings, data,
// JSON) and failures. -v: a line for every file handled. Set by ToolApp.
enum class Verbosity { kQuiet, kNormal, kVerbose };
Verbosity CurrentVerbosity();
void SetVerbosity(Verbosity verbosity);
inline bool IsQuiet() { return CurrentVerbosity() == Verbosity::kQuiet; }
inline bool IsVerbose() { return CurrentVerbosity() == Verbosity::kVerbose; }

// Tool output, UTF-8 text: printf-style to standard output or standard
// error, through WriteStandardText so that a Windows console shows every
// character.
void Print(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
void PrintError(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
// A note on standard error, "<program>: <text>\n", unless quiet.
void Note(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
// A line for one file on standard error, "<program>: <text>\n", when verbose.
void Detail(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
// What a command that writes a file says it did ("built x.patch: 3 lines"):
// on standard output, or on standard error while standard output carries
// the file itself ("-o -"); nothing when quiet.
void Summary(const char* format, ...) QLMR_PRINTF_FORMAT(1, 2);
// Marks standard output as carrying a file's bytes from now on.
void TakeStandardOutput();
// Writes bytes or text to standard output as they are.
bool WriteOut(const std::string& text);

// Flushes standard output as a command ends: output lost to a full disk or
// a closed pipe turns a successful `exitCode` into a failure (ERR_WRITE
// "stdout, WinErr=%d", said in words). Other codes are returned as they are.
int FinishOutput(int exitCode);

// The name of a compression type as the tools show it: "stored", "masked",
// "LZO", "LZMA", or "type <n>".
std::string CompressionName(int type);

// A stored name or other system text (code page 936) in UTF-8, as it is;
// bytes that do not convert are kept.
std::string ShownName(const std::string& text);
// A path (code page 936) in UTF-8 with the separators of this system:
// slashes on POSIX, backslashes on Windows.
std::string ShownPath(const std::string& path);

}  // namespace tools
}  // namespace qlmr
