// The force-close link: an ordinary static control (with SS_NOTIFY) whose
// window procedure is replaced, so that it draws its caption underlined in
// blue, shows the hand cursor and calls a handler when clicked.
//
// One record serves the process. It is filled the first time a conflict
// dialog initialises and lives until the program ends; each dialog attaches
// it to its link control again. The underlined font belongs to the main
// dialog, which creates it before any link exists and deletes it when the
// user leaves.
#pragma once

#include <windows.h>

#include <string>

namespace qlmr {

struct LinkLabel {
  std::wstring caption;
  WNDPROC previousProcedure = nullptr;  // the static's own procedure
  void (*onClick)(LinkLabel* label) = nullptr;
};

// The process's one record; `filled` tells whether a dialog has filled it.
LinkLabel* TheLinkLabel();
bool LinkLabelFilled();
void FillLinkLabel(const std::wstring& caption, void (*onClick)(LinkLabel* label));

// Makes `control` a link: attaches the record as its user data and replaces
// its window procedure, keeping the one it replaces in the record.
void AttachLinkLabel(HWND control);

// The underlined copy of `dialog`'s font, created unless it exists. Nothing
// is created when the dialog has no font or its description cannot be read;
// the link then draws with the device context's font.
void CreateLinkFont(HWND dialog);
void DeleteLinkFont();

}  // namespace qlmr
