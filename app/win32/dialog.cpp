#include "app/win32/dialog.h"

namespace qlmr {
namespace {

HINSTANCE g_moduleInstance = nullptr;

// Messages whose result a dialog procedure returns itself instead of
// through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
      return true;
    default:
      return false;
  }
}

}  // namespace

void SetModuleInstance(HINSTANCE instance) { g_moduleInstance = instance; }

HINSTANCE ModuleInstance() { return g_moduleInstance; }

INT_PTR Dialog::RunModal(HWND owner) {
  return DialogBoxParamW(g_moduleInstance, MAKEINTRESOURCEW(templateId_), owner,
                         &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  // WM_SETFONT and a few others come before WM_INITDIALOG.
  if (self == nullptr) return FALSE;
  LRESULT result = 0;
  bool consumed = self->ProcessWindowMessage(message, wParam, lParam, &result);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  if (!consumed) return FALSE;
  if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
  SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

void Dialog::CenterWindow() {
  RECT dialog;
  GetWindowRect(hwnd_, &dialog);
  RECT area;
  HWND owner = GetWindow(hwnd_, GW_OWNER);
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  RECT screen;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &screen, 0);
  LONG width = dialog.right - dialog.left;
  LONG height = dialog.bottom - dialog.top;
  LONG left = (area.left + area.right - width) / 2;
  LONG top = (area.top + area.bottom - height) / 2;
  // Keep it on the work area, even over an owner near the edge.
  if (left + width > screen.right) left = screen.right - width;
  if (top + height > screen.bottom) top = screen.bottom - height;
  if (left < screen.left) left = screen.left;
  if (top < screen.top) top = screen.top;
  SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Dialog::EnableSystemClose(bool enabled) {
  HMENU menu = GetSystemMenu(hwnd_, FALSE);
  if (menu == nullptr) return;
  EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : (MF_GRAYED | MF_DISABLED)));
}

}  // namespace qlmr
