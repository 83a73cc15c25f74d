#include "tools/progress.h"

#include <cstdio>

#include "base/platform.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

// Redraws at most this often: a terminal that redraws for every small file
// slows the work it shows.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

std::string FormatDuration(double seconds) {
  uint64_t whole = static_cast<uint64_t>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
             static_cast<unsigned long long>(whole / 60 % 60),
             static_cast<unsigned long long>(whole % 60));
  } else {
    snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
             static_cast<unsigned long long>(whole % 60));
  }
  return text;
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatProgress(const std::string& phase, uint64_t done, uint64_t total,
                           double elapsedSeconds, ProgressUnit unit) {
  bool bytes = unit == ProgressUnit::kBytes;
  auto amount = [bytes](uint64_t n) { return bytes ? FormatBytes(n) : std::to_string(n); };
  std::string line = phase + "  " + amount(done) + " of " + amount(total);
  if (!bytes) line += total == 1 ? " file" : " files";
  unsigned percent =
      total == 0 ? 100 : static_cast<unsigned>(done >= total ? 100 : done * 100 / total);
  line += "  " + std::to_string(percent) + "%";
  if (elapsedSeconds >= 1 && done > 0) {
    double rate = static_cast<double>(done) / elapsedSeconds;
    char itemRate[32];
    snprintf(itemRate, sizeof itemRate, "%.1f files/s", rate);
    line +=
        "  " + (bytes ? FormatBytes(static_cast<uint64_t>(rate)) + "/s" : std::string(itemRate));
    if (done < total) {
      line += "  " + FormatDuration(static_cast<double>(total - done) / rate) + " left";
    }
  }
  return line;
}

ProgressBar::ProgressBar(const std::string& phase, uint64_t total)
    : ProgressBar(phase, total, ProgressUnit::kItems) {}

ProgressBar::ProgressBar(const std::string& phase, uint64_t total, ProgressUnit unit)
    : phase_(phase),
      total_(total),
      unit_(unit),
      enabled_(total > 0 && !IsQuiet() && StderrIsTerminal()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
  Draw(true);
}

ProgressBar::~ProgressBar() {
  if (!drawn_) return;
  Draw(true);
  PrintError("\n");
}

void ProgressBar::Advance(uint64_t amount) {
  done_ += amount;
  Draw(done_ >= total_);
}

void ProgressBar::Draw(bool force) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string line = FormatProgress(phase_, done_, total_, elapsed, unit_);
  // Blanks over what a longer line before left.
  size_t width = line.size();
  if (width < lastWidth_) line.append(lastWidth_ - width, ' ');
  lastWidth_ = width;
  PrintError("\r%s", line.c_str());
  drawn_ = true;
}

}  // namespace tools
}  // namespace qlmr
