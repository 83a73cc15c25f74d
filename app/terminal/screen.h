// The terminal's picture of the updater's windows: the main dialog (title,
// status line, progress bar, start and exit buttons) and what can open over
// it (the folder prompt, the message box, the conflict screen).
//
// On a terminal the picture is drawn in place and redrawn on every change; a
// line wider than the terminal counts each row it wraps onto. Otherwise each
// change is written as one line, "[what] detail", so that scripts and tests
// can follow the program. Control bytes of a status text (the line end that
// ".ver" gives the local version) are not shown. Texts are UTF-8. Once a write fails (a closed
// terminal, a reader that has gone), there is no screen any more: nothing more is written, and the
// program goes on without it.
//
// Used by the front end's own thread only.
#pragma once

#include <cstdio>
#include <string>

namespace qlmr {

class TerminalScreen {
 public:
  // `drawn`: draw the picture (stdout is a terminal); otherwise log lines.
  // `columns`: the terminal's width; 0 asks the terminal at each drawing.
  TerminalScreen(FILE* out, bool drawn, int columns = 0);

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
  // A line below the conflict screen's actions.
  void SetConflictNote(const std::string& note);
  void HideConflict();

  // Ends the picture so that the shell continues below it.
  void Finish();

 private:
  enum class Overlay { kNone, kPrompt, kMessageBox, kConflict };

  void Log(const char* what, const std::string& detail);
  void Redraw();
  void Write(const std::string& text);

  FILE* out_;
  bool drawn_;
  int columns_;
  bool gone_ = false;  // a write failed: no screen any more
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
  std::string conflictNote_;
  int rowsAboveCursor_ = 0;  // of the picture drawn last
};

// The rows that `text` (UTF-8, with attribute sequences) takes on a terminal
// `columns` wide: wide characters (Chinese among them) take two columns, and
// one that does not fit at the end of a row goes to the next.
int TerminalRows(const std::string& text, int columns);

// A button caption without its keyboard mnemonic: "开始升级(&S)" gives
// "开始升级", "取消" stays as it is. The terminal has its own keys.
std::string CaptionWithoutMnemonic(const std::string& caption);

}  // namespace qlmr
