#include "app/terminal/screen.h"

#include "res/resource.h"

namespace qlmr {
namespace {

constexpr int kBarWidth = 40;

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

}  // namespace

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

TerminalScreen::TerminalScreen(FILE* out, bool drawn) : out_(out), drawn_(drawn) {}

void TerminalScreen::Log(const char* what, const std::string& detail) {
  if (drawn_) {
    Redraw();
    return;
  }
  fprintf(out_, "[%s] %s\n", what, detail.c_str());
  fflush(out_);
}

void TerminalScreen::SetTitle(const std::string& title) {
  title_ = title;
  Log("title", title);
}

void TerminalScreen::SetStatus(const std::string& status) {
  status_ = status;
  Log("status", status);
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

void TerminalScreen::HideConflict() {
  overlay_ = Overlay::kNone;
  Log("conflict", "closed");
}

void TerminalScreen::Finish() {
  if (drawn_) fputc('\n', out_);
  fflush(out_);
}

void TerminalScreen::Redraw() {
  std::string picture;
  if (linesDrawn_ > 0) picture += "\x1b[" + std::to_string(linesDrawn_) + "A\r";
  picture += "\x1b[J";
  int lines = 0;
  auto line = [&](const std::string& text) {
    picture += text + kReset + "\n";
    ++lines;
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
    case Overlay::kPrompt:
      line("");
      line("  " + overlayText_);
      picture += "  > " + promptAnswer_;  // the cursor stays after the answer
      break;
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
      break;
  }
  fputs(picture.c_str(), out_);
  fflush(out_);
  linesDrawn_ = lines;
}

}  // namespace qlmr
