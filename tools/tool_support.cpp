#include "tools/tool_support.h"

#include <cstdarg>
#include <cstdio>

#include "base/error.h"
#include "base/platform.h"

namespace qlmr {
namespace tools {

namespace {

void PrintTo(StandardStream stream, const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, arguments);
  text.resize(static_cast<size_t>(length));
  WriteStandardText(stream, text);
}

}  // namespace

void Print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PrintTo(StandardStream::kOutput, format, arguments);
  va_end(arguments);
}

void PrintError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PrintTo(StandardStream::kError, format, arguments);
  va_end(arguments);
}

bool WriteOut(const std::string& text) { return WriteStandardText(StandardStream::kOutput, text); }

int FinishOutput(int exitCode) {
  if (fflush(stdout) == 0 && ferror(stdout) == 0) return exitCode;
  if (exitCode != kExitSuccess) return exitCode;
  ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
  return PrintLastError();
}

Arguments::Arguments(int argc, char** argv) : texts_(CommandLineArguments(argc, argv)) {
  for (std::string& text : texts_) pointers_.push_back(&text[0]);
}

int PrintLastError() {
  PrintError("error %d: %s\n", LastErrorCode(), LastErrorMessage());
  return kExitFailure;
}

std::string TerminalText(const std::string& text) { return Cp936ToUtf8(text); }

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (char c : Cp936ToUtf8(text)) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

ProgressBar::ProgressBar(const std::string& label, uint64_t total)
    : label_(label), total_(total), enabled_(total > 1 && StderrIsTerminal()) {
  Draw();
}

ProgressBar::~ProgressBar() {
  if (enabled_ && lastPercent_ >= 0) PrintError("\n");
}

void ProgressBar::Advance(uint64_t steps) {
  done_ += steps;
  Draw();
}

void ProgressBar::Draw() {
  if (!enabled_) return;
  int percent = static_cast<int>(done_ >= total_ ? 100 : done_ * 100 / total_);
  if (percent == lastPercent_) return;  // redraw only when the figure changes
  lastPercent_ = percent;
  constexpr int kWidth = 40;
  int filled = percent * kWidth / 100;
  PrintError("\r%s [%.*s%*s] %3d%% (%llu/%llu)", label_.c_str(), filled,
             "########################################", kWidth - filled, "", percent,
             static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_));
}

}  // namespace tools
}  // namespace qlmr
