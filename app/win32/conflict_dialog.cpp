#include "app/win32/conflict_dialog.h"

#include "app/win32/link_label.h"
#include "app/win32/wide_text.h"
#include "res/resource.h"
#include "res/strings.h"
#include "update/client_detection.h"

namespace qlmr {
namespace {

constexpr UINT_PTR kRetryTimer = 101;
constexpr UINT kRetryDelayMs = 1000;

// The dialog the force-close link acts for: the link's click handler gets
// the link's record, not the dialog.
ConflictDialog* g_conflictDialog = nullptr;

}  // namespace

const MessageMapEntry<ConflictDialog> ConflictDialog::kMessageMap[5] = {
    {WM_INITDIALOG, 0, &ConflictDialog::OnInitDialog},
    {WM_COMMAND, IDOK, &ConflictDialog::OnDialogKey},
    {WM_COMMAND, IDCANCEL, &ConflictDialog::OnDialogKey},
    {WM_COMMAND, IDC_RETRY, &ConflictDialog::OnRetry},
    {WM_TIMER, 0, &ConflictDialog::OnTimer},
};

ConflictDialog::ConflictDialog(std::string clientPath)
    : Dialog(IDD_CONFLICT), clientPath_(std::move(clientPath)) {
  g_conflictDialog = this;
}

ConflictDialog::~ConflictDialog() {
  if (g_conflictDialog == this) g_conflictDialog = nullptr;
}

bool ConflictDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                          LRESULT* result) {
  return DispatchMessageMap(this, kMessageMap, message, wParam, lParam, result);
}

bool ConflictDialog::FindRunningClients() {
  runningClients_ = ::qlmr::FindRunningClients(clientPath_);
  return !runningClients_.empty();
}

void ConflictDialog::ForceCloseClients(LinkLabel* /*label*/) {
  // Neither waits for the clients to end nor searches again: the user's
  // next retry does.
  if (g_conflictDialog != nullptr) ::qlmr::ForceCloseClients(g_conflictDialog->clientPath_);
}

LRESULT ConflictDialog::OnInitDialog(WPARAM, LPARAM, bool*) {
  // No search here: the dialog opens because one has just found a client.
  CenterWindow();
  if (!LinkLabelFilled()) {
    FillLinkLabel(WideFromCp936(LoadText(IDS_FORCE_CLOSE)), &ConflictDialog::ForceCloseClients);
  }
  AttachLinkLabel(Item(IDC_FORCE_CLOSE));
  return TRUE;  // the default control gets the focus
}

LRESULT ConflictDialog::OnDialogKey(WPARAM, LPARAM, bool*) { return 0; }

void ConflictDialog::EnableActions(bool enabled) {
  EnableItem(IDC_RETRY, enabled);
  EnableItem(IDC_FORCE_CLOSE, enabled);
}

LRESULT ConflictDialog::OnRetry(WPARAM, LPARAM, bool*) {
  EnableActions(false);
  SetTimer(hwnd(), kRetryTimer, kRetryDelayMs, nullptr);
  return 0;
}

LRESULT ConflictDialog::OnTimer(WPARAM wParam, LPARAM, bool*) {
  if (wParam != kRetryTimer) return 0;
  KillTimer(hwnd(), kRetryTimer);  // once per retry
  if (!FindRunningClients()) {
    EndDialog(hwnd(), 1);
    return 0;
  }
  EnableActions(true);
  InvalidateRect(Item(IDC_FORCE_CLOSE), nullptr, TRUE);
  return 0;
}

}  // namespace qlmr
