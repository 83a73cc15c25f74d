#include "tools/tool_support.h"

#include <cstdarg>
#include <cstdio>

#include "base/codec.h"
#include "base/error.h"
#include "base/platform.h"
#include "tools/failure.h"

namespace qlmr {
namespace tools {

namespace {

std::string& ProgramNameStore() {
  static std::string name = "qlmr";
  return name;
}

Verbosity g_verbosity = Verbosity::kNormal;
bool g_standardOutputTaken = false;

std::string Format(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, arguments);
  text.resize(static_cast<size_t>(length));
  return text;
}

}  // namespace

const std::string& ProgramName() { return ProgramNameStore(); }

void SetProgramName(const std::string& name) { ProgramNameStore() = name; }

Verbosity CurrentVerbosity() { return g_verbosity; }

void SetVerbosity(Verbosity verbosity) { g_verbosity = verbosity; }

void Print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteStandardText(StandardStream::kOutput, Format(format, arguments));
  va_end(arguments);
}

void PrintError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteStandardText(StandardStream::kError, Format(format, arguments));
  va_end(arguments);
}

void Note(const char* format, ...) {
  if (IsQuiet()) return;
  va_list arguments;
  va_start(arguments, format);
  WriteStandardText(StandardStream::kError,
                    ProgramName() + ": " + Format(format, arguments) + "\n");
  va_end(arguments);
}

void Detail(const char* format, ...) {
  if (!IsVerbose()) return;
  va_list arguments;
  va_start(arguments, format);
  WriteStandardText(StandardStream::kError,
                    ProgramName() + ": " + Format(format, arguments) + "\n");
  va_end(arguments);
}

void Summary(const char* format, ...) {
  if (IsQuiet()) return;
  va_list arguments;
  va_start(arguments, format);
  WriteStandardText(g_standardOutputTaken ? StandardStream::kError : StandardStream::kOutput,
                    Format(format, arguments));
  va_end(arguments);
}

void TakeStandardOutput() { g_standardOutputTaken = true; }

bool WriteOut(const std::string& text) { return WriteStandardText(StandardStream::kOutput, text); }

int FinishOutput(int exitCode) {
  if (fflush(stdout) == 0 && ferror(stdout) == 0) return exitCode;
  if (exitCode != kExitSuccess) return exitCode;
  ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
  return Fail("cannot write standard output", "");
}

std::string CompressionName(int type) {
  switch (type) {
    case COMPRESS_NONE:
      return "stored";
    case COMPRESS_MASK:
      return "masked";
    case COMPRESS_LZO:
      return "LZO";
    case COMPRESS_LZMA:
      return "LZMA";
  }
  return "type " + std::to_string(type);
}

std::string ShownName(const std::string& text) { return Cp936ToUtf8(text); }

std::string ShownPath(const std::string& path) {
  std::string shown = Cp936ToUtf8(path);
#if defined(_WIN32)
  for (char& c : shown) c = c == '/' ? '\\' : c;
#else
  for (char& c : shown) c = c == '\\' ? '/' : c;
#endif
  return shown;
}

}  // namespace tools
}  // namespace qlmr
