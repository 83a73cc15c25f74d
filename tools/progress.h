// Progress on a terminal: one line on standard error, redrawn in place, that
// names the phase and counts bytes (or items, where a phase has no sizes),
// with the rate and the time left:
//
//   compress  45.2 MiB of 290.0 MiB  15%  3.1 MiB/s  1:19 left
//
// Drawn only when standard error is a terminal and the tool is not quiet,
// so that scripts, pipes and tests see clean output. Use from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qlmr {
namespace tools {

enum class ProgressUnit { kBytes, kItems };

// The line for `done` of `total` after `elapsedSeconds`, without the
// carriage return. Pure; the rate and time left appear once a second has
// passed and something was done.
std::string FormatProgress(const std::string& phase, uint64_t done, uint64_t total,
                           double elapsedSeconds, ProgressUnit unit);

// "1.5 MiB", "900 B": sizes as the progress line shows them.
std::string FormatBytes(uint64_t bytes);

class ProgressBar {
 public:
  // Counts items ("extract 12 of 200 files").
  ProgressBar(const std::string& phase, uint64_t total);
  ProgressBar(const std::string& phase, uint64_t total, ProgressUnit unit);
  ~ProgressBar();  // ends the line if anything was drawn
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Advance(uint64_t amount = 1);
  // Whether the line is drawn at all.
  bool enabled() const { return enabled_; }

 private:
  void Draw(bool force);

  std::string phase_;
  uint64_t total_;
  uint64_t done_ = 0;
  ProgressUnit unit_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  size_t lastWidth_ = 0;
};

}  // namespace tools
}  // namespace qlmr
