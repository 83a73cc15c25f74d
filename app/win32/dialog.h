// The dialog layer of the Windows updater: modal dialogs from the program's
// dialog templates, each with a message map, and window centring.
//
// A Dialog runs on the thread that calls RunModal and receives its messages
// there; the object must outlive that call. Before the first dialog runs, the
// entry point names the module that holds the templates (SetModuleInstance).
#pragma once

#include <windows.h>

#include <cstddef>

namespace qlmr {

// The module whose resources (templates, icon) the dialogs use.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

class Dialog {
 public:
  explicit Dialog(int templateId) : templateId_(templateId) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally, owned by `owner` (may be null). Returns the
  // result given to EndDialog, 0 when a quit message ended the loop, or -1
  // when the dialog could not be created.
  INT_PTR RunModal(HWND owner);

  // The dialog's window; null before WM_INITDIALOG and after it is gone.
  HWND hwnd() const { return hwnd_; }

 protected:
  // The message map: true when the message was consumed, with `*result` as
  // its result; false lets the default dialog handling have it.
  virtual bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                    LRESULT* result) = 0;

  // Centres the dialog over its owner, or over the screen's work area when
  // it has none (or the owner is hidden or minimised).
  void CenterWindow();

  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  void EnableItem(int id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

  // Greys and disables, or enables, the Close item of the system menu.
  void EnableSystemClose(bool enabled);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  int templateId_;
  HWND hwnd_ = nullptr;
};

// One line of a dialog's message map. For WM_COMMAND the line applies to the
// control `commandId` only, whatever the notification; for other messages
// `commandId` is not looked at. A handler may decline by setting `*handled`
// to false; the map then goes on with the next line.
template <class T>
struct MessageMapEntry {
  UINT message;
  int commandId;
  LRESULT (T::*handler)(WPARAM wParam, LPARAM lParam, bool* handled);
};

// Tests the lines of `map` in order, as ProcessWindowMessage does.
template <class T, size_t N>
bool DispatchMessageMap(T* dialog, const MessageMapEntry<T> (&map)[N], UINT message, WPARAM wParam,
                        LPARAM lParam, LRESULT* result) {
  for (const MessageMapEntry<T>& entry : map) {
    if (entry.message != message) continue;
    if (message == WM_COMMAND && entry.commandId != LOWORD(wParam)) continue;
    bool handled = true;
    LRESULT value = (dialog->*entry.handler)(wParam, lParam, &handled);
    if (handled) {
      *result = value;
      return true;
    }
  }
  return false;
}

}  // namespace qlmr
