#include "app/terminal/screen.h"

#include <cstdint>

#include "base/platform.h"
#include "res/resource.h"

namespace qlmr {
namespace {

constexpr int kBarWidth = 40;
// When the terminal does not tell its width.
constexpr int kDefaultColumns = 80;

// The one button of the success message box, which the system draws in its
// own language on Windows.
constexpr const char* kMessageBoxButton = "确定";

// Terminal attributes.
constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kLink = "\x1b[4;34m";  // underlined blue, as a link is drawn

std::string Button(const char* key, const std::string& caption, bool enabled) {
  std::string text = std::string("[") + key + "] " + caption;
  return enabled ? std::string(kBold) + text + kReset : std::string(kDim) + text + kReset;
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

// A text from outside as the screen shows it: without control bytes, which
// would move the cursor or change the terminal.
std::string Shown(const std::string& text) {
  std::string shown;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) shown += c;
  }
  return shown;
}

bool IsWide(uint32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

}  // namespace

int TerminalRows(const std::string& text, int columns) {
  int rows = 1;
  int column = 0;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == 0x1B) {  // an attribute, ESC [ ... final byte, takes no room
      for (i += 2; i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7E); ++i) {
      }
      ++i;
      continue;
    }
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    uint32_t character = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      character = (character << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length;
    int width = IsWide(character) ? 2 : 1;
    if (column + width > columns) {
      ++rows;
      column = 0;
    }
    column += width;
  }
  return rows;
}

std::string CaptionWithoutMnemonic(const std::string& caption) {
  size_t open = caption.rfind("(&");
  if (open != std::string::npos && caption.size() == open + 4 && caption.back() == ')') {
    return caption.substr(0, open);
  }
  std::string plain;
  for (char c : caption) {
    if (c != '&') plain += c;
  }
  return plain;
}

TerminalScreen::TerminalScreen(FILE* out, bool drawn, int columns)
    : out_(out), drawn_(drawn), columns_(columns) {}

void TerminalScreen::Write(const std::string& text) {
  if (gone_) return;
  fputs(text.c_str(), out_);
  fflush(out_);
  gone_ = ferror(out_) != 0;
}

void TerminalScreen::Log(const char* what, const std::string& detail) {
  if (drawn_) {
    Redraw();
    return;
  }
  Write("[" + std::string(what) + "] " + detail + "\n");
}

void TerminalScreen::SetTitle(const std::string& title) {
  title_ = title;
  Log("title", title);
}

void TerminalScreen::SetStatus(const std::string& status) {
  // The local version text keeps the line end of ".ver".
  status_ = Shown(status);
  Log("status", status_);
}

void TerminalScreen::SetFailed() {
  failed_ = true;
  Log("failed", "status line red: " + status_);
}

void TerminalScreen::SetProgress(int percent) {
  progress_ = percent;
  Log("progress", std::to_string(percent));
}

void TerminalScreen::SetButtons(bool startEnabled, bool exitEnabled,
                                const std::string& exitCaption) {
  startEnabled_ = startEnabled;
  exitEnabled_ = exitEnabled;
  exitCaption_ = exitCaption;
  Log("buttons", std::string("start(Enter)=") + OnOff(startEnabled) +
                     " exit(q)=" + OnOff(exitEnabled) + " " + CaptionWithoutMnemonic(exitCaption));
}

void TerminalScreen::ShowPrompt(const std::string& title) {
  overlay_ = Overlay::kPrompt;
  overlayText_ = title;
  promptAnswer_.clear();
  Log("prompt", title + " (a folder, or an empty line to cancel)");
}

void TerminalScreen::SetPromptAnswer(const std::string& answer) {
  promptAnswer_ = answer;
  if (drawn_) Redraw();
}

void TerminalScreen::HidePrompt() {
  overlay_ = Overlay::kNone;
  Log("prompt", "closed: " + promptAnswer_);
}

void TerminalScreen::ShowMessageBox(const std::string& caption, const std::string& text) {
  overlay_ = Overlay::kMessageBox;
  overlayCaption_ = caption;
  overlayText_ = text;
  Log("message", caption + ": " + text + " (Enter)");
}

void TerminalScreen::HideMessageBox() {
  overlay_ = Overlay::kNone;
  Log("message", "closed");
}

void TerminalScreen::ShowConflict() {
  overlay_ = Overlay::kConflict;
  overlayCaption_ = TEXT_CONFLICT_CAPTION;
  overlayText_ = TEXT_CONFLICT_MESSAGE;
  conflictActionsEnabled_ = true;
  Log("conflict", overlayCaption_ + ": " + overlayText_ +
                      " (r: " + CaptionWithoutMnemonic(TEXT_RETRY_BUTTON) +
                      ", f: " + TEXT_FORCE_CLOSE_LINK + ")");
}

void TerminalScreen::SetConflictActionsEnabled(bool enabled) {
  conflictActionsEnabled_ = enabled;
  Log("conflict", std::string("retry(r)=") + OnOff(enabled) + " force-close(f)=" + OnOff(enabled));
}

void TerminalScreen::SetConflictNote(const std::string& note) {
  conflictNote_ = note;
  Log("conflict", note);
}

void TerminalScreen::HideConflict() {
  overlay_ = Overlay::kNone;
  conflictNote_.clear();
  Log("conflict", "closed");
}

void TerminalScreen::Finish() {
  if (drawn_) Write("\n");
}

void TerminalScreen::Redraw() {
  int columns = columns_ > 0 ? columns_ : TerminalColumns();
  if (columns <= 0) columns = kDefaultColumns;
  std::string picture;
  if (rowsAboveCursor_ > 0) picture += "\x1b[" + std::to_string(rowsAboveCursor_) + "A";
  picture += "\r\x1b[J";
  int rows = 0;
  auto line = [&](const std::string& text) {
    picture += text + kReset + "\n";
    rows += TerminalRows(text, columns);
  };
  line(std::string(kBold) + "== " + title_ + " ==");
  line("  " + (failed_ ? std::string(kRed) : std::string()) + status_);
  int filled = progress_ * kBarWidth / 100;
  std::string bar;
  for (int i = 0; i < kBarWidth; ++i) bar += i < filled ? "#" : "-";
  line("  [" + bar + "] " + std::to_string(progress_) + "%");
  line("  " + Button("Enter", CaptionWithoutMnemonic(TEXT_START_BUTTON), startEnabled_) + "   " +
       Button("q", CaptionWithoutMnemonic(exitCaption_), exitEnabled_));
  switch (overlay_) {
    case Overlay::kNone:
      break;
    case Overlay::kPrompt: {
      line("");
      line("  " + overlayText_);
      // The cursor stays after the answer, on the last row it takes.
      std::string answer = "  > " + promptAnswer_;
      picture += answer;
      rows += TerminalRows(answer, columns) - 1;
      break;
    }
    case Overlay::kMessageBox:
      line("");
      line(std::string("  ") + kBold + "-- " + overlayCaption_ + " --");
      line("  (i) " + overlayText_);
      line("  " + Button("Enter", kMessageBoxButton, true));
      break;
    case Overlay::kConflict:
      line("");
      line(std::string("  ") + kBold + "-- " + overlayCaption_ + " --");
      line("  (!) " + overlayText_);
      line("  " + Button("r", CaptionWithoutMnemonic(TEXT_RETRY_BUTTON), conflictActionsEnabled_) +
           "   [f] " + kLink + TEXT_FORCE_CLOSE_LINK + kReset);
      if (!conflictNote_.empty()) line("  " + conflictNote_);
      break;
  }
  Write(picture);
  rowsAboveCursor_ = rows;
}

}  // namespace qlmr
