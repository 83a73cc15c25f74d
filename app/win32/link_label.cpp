#include "app/win32/link_label.h"

namespace qlmr {
namespace {

LinkLabel g_linkLabel;
bool g_linkLabelFilled = false;
HFONT g_linkFont = nullptr;

constexpr COLORREF kLinkColour = RGB(0, 0, 255);

LRESULT OnLinkPaint(HWND control, const LinkLabel* label) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(control, &paint);
  HGDIOBJ previousFont = g_linkFont != nullptr ? SelectObject(dc, g_linkFont) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, kLinkColour);
  // The enabled state is not looked at: a disabled link looks the same.
  if (label != nullptr) {
    TextOutW(dc, 0, 0, label->caption.c_str(), static_cast<int>(label->caption.size()));
  }
  if (previousFont != nullptr) SelectObject(dc, previousFont);
  EndPaint(control, &paint);
  return 1;
}

LRESULT CALLBACK LinkProcedure(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* label = reinterpret_cast<LinkLabel*>(GetWindowLongPtrW(control, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT:
      return OnLinkPaint(control, label);
    case WM_SETCURSOR:
      SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));  // IDC_HAND
      return 1;
    default:
      break;
  }
  // A disabled control gets no mouse input, so this is a click on an
  // enabled link.
  if (message == WM_LBUTTONUP && label != nullptr && label->onClick != nullptr) {
    label->onClick(label);
  }
  if (label == nullptr || label->previousProcedure == nullptr) return 1;
  return CallWindowProcW(label->previousProcedure, control, message, wParam, lParam);
}

}  // namespace

LinkLabel* TheLinkLabel() { return &g_linkLabel; }

bool LinkLabelFilled() { return g_linkLabelFilled; }

void FillLinkLabel(const std::wstring& caption, void (*onClick)(LinkLabel* label)) {
  g_linkLabel.caption = caption;
  g_linkLabel.previousProcedure = nullptr;
  g_linkLabel.onClick = onClick;
  g_linkLabelFilled = true;
}

void AttachLinkLabel(HWND control) {
  if (control == nullptr) return;
  SetWindowLongPtrW(control, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&g_linkLabel));
  LONG_PTR previous =
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LinkProcedure));
  g_linkLabel.previousProcedure = reinterpret_cast<WNDPROC>(previous);
}

void CreateLinkFont(HWND dialog) {
  if (g_linkFont != nullptr) return;
  auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  if (font == nullptr) return;
  LOGFONTW description;
  if (GetObjectW(font, sizeof description, &description) == 0) return;
  description.lfUnderline = TRUE;
  g_linkFont = CreateFontIndirectW(&description);
}

void DeleteLinkFont() {
  if (g_linkFont == nullptr) return;
  DeleteObject(g_linkFont);
  g_linkFont = nullptr;
}

}  // namespace qlmr
