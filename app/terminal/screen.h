// The terminal's picture of the updater's windows: the main dialog (title,
// status line, progress bar, start and exit buttons) and what can open over
// it (the folder prompt, the message box, the conflict screen).
//
// On a terminal the picture is drawn in place and redrawn on every change.
// Otherwise each change is written as one line, "[what] detail", so that
// scripts and tests can follow the program. Texts are UTF-8.
//
// Used by the front end's own thread only.
#pragma once

#include <cstdio>
#include <string>

namespace qlmr {

class TerminalScreen {
 public:
  // `drawn`: draw the picture (stdout is a terminal); otherwise log lines.
  TerminalScreen(FILE* out, bool drawn);

  void SetTitle(const std::string& title);
  void SetStatus(const std::string& status);
  void SetFailed();  // the status line turns red
  void SetProgress(int percent);
  void SetButtons(bool startEnabled, bool exitEnabled, const std::string& exitCaption);

  void ShowPrompt(const std::string& title);
  void SetPromptAnswer(const std::string& answer);
  void HidePrompt();

  void ShowMessageBox(const std::string& caption, const std::string& text);
  void HideMessageBox();

  void ShowConflict();
  void SetConflictActionsEnabled(bool enabled);
  void HideConflict();

  // Ends the picture so that the shell continues below it.
  void Finish();

 private:
  enum class Overlay { kNone, kPrompt, kMessageBox, kConflict };

  void Log(const char* what, const std::string& detail);
  void Redraw();

  FILE* out_;
  bool drawn_;
  std::string title_;
  std::string status_;
  bool failed_ = false;
  int progress_ = 0;
  bool startEnabled_ = false;
  bool exitEnabled_ = true;
  std::string exitCaption_;
  Overlay overlay_ = Overlay::kNone;
  std::string overlayCaption_;
  std::string overlayText_;
  std::string promptAnswer_;
  bool conflictActionsEnabled_ = true;
  int linesDrawn_ = 0;
};

// A button caption without its keyboard mnemonic: "开始升级(&S)" gives
// "开始升级", "取消" stays as it is. The terminal has its own keys.
std::string CaptionWithoutMnemonic(const std::string& caption);

}  // namespace qlmr
