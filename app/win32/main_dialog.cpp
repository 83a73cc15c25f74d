#include "app/win32/main_dialog.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "app/win32/conflict_dialog.h"
#include "app/win32/link_label.h"
#include "app/win32/wide_text.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/win32_lookup.h"
#include "res/resource.h"
#include "res/strings.h"

namespace qlmr {
namespace {

constexpr COLORREF kFailedColour = RGB(255, 0, 0);

std::wstring Text(int id) { return WideFromCp936(LoadText(id)); }

// The reason the session does not end, as the system shows it, or none.
// Systems before Vista have neither function.
void SetShutdownBlockReason(HWND window, const wchar_t* reason) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (reason != nullptr) {
    auto create = LookUp<BOOL(WINAPI*)(HWND, LPCWSTR)>(user32, "ShutdownBlockReasonCreate");
    if (create != nullptr) create(window, reason);
  } else {
    auto destroy = LookUp<BOOL(WINAPI*)(HWND)>(user32, "ShutdownBlockReasonDestroy");
    if (destroy != nullptr) destroy(window);
  }
}

}  // namespace

const MessageMapEntry<MainDialog> MainDialog::kMessageMap[10] = {
    {WM_INITDIALOG, 0, &MainDialog::OnInitDialog},
    // Escape and the close box give IDCANCEL: they must not end the dialog.
    {WM_COMMAND, IDOK, &MainDialog::OnDialogKey},
    {WM_COMMAND, IDCANCEL, &MainDialog::OnDialogKey},
    {WM_COMMAND, IDC_START, &MainDialog::OnStart},
    {WM_COMMAND, IDC_EXIT, &MainDialog::OnExit},
    {WM_CTLCOLORSTATIC, 0, &MainDialog::OnCtlColorStatic},
    {WM_UPDATE_FAILED, 0, &MainDialog::OnUpdateFailed},
    {WM_UPDATE_PROGRESS, 0, &MainDialog::OnProgress},
    {WM_UPDATE_SUCCEEDED, 0, &MainDialog::OnUpdateSucceeded},
    {WM_QUERYENDSESSION, 0, &MainDialog::OnQueryEndSession},
};

MainDialog::MainDialog(UpdateOptions options) : Dialog(IDD_MAIN), options_(std::move(options)) {}

MainDialog::~MainDialog() = default;

bool MainDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  return DispatchMessageMap(this, kMessageMap, message, wParam, lParam, result);
}

LRESULT MainDialog::OnInitDialog(WPARAM, LPARAM, bool*) {
  CenterWindow();
  HICON icon = LoadIconW(ModuleInstance(), MAKEINTRESOURCEW(IDI_APP));
  SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SetDlgItemTextW(hwnd(), IDC_STATUS, Text(IDS_READING_VERSION).c_str());
  SendDlgItemMessageW(hwnd(), IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  EnableItem(IDC_START, false);
  CreateLinkFont(hwnd());
  controller_.reset(new UpdateController(this, options_));
  if (!controller_->StartUpdateThread()) {
    SetDlgItemTextW(hwnd(), IDC_STATUS, Text(IDS_THREAD_FAILED).c_str());
    EnterFailedState();
  }
  return TRUE;  // the default control gets the focus
}

LRESULT MainDialog::OnDialogKey(WPARAM, LPARAM, bool*) { return 0; }

LRESULT MainDialog::OnStart(WPARAM, LPARAM, bool*) {
  // From here until the thread reports, nothing in the window can end the
  // update.
  EnableSystemClose(false);
  EnableItem(IDC_START, false);
  EnableItem(IDC_EXIT, false);
  SetRunning(true);
  controller_->Start();
  return 0;
}

void MainDialog::SetRunning(bool running) {
  running_ = running;
  if (running) {
    SetShutdownBlockReason(hwnd(), Text(IDS_UPDATE_RUNNING).c_str());
  } else {
    SetShutdownBlockReason(hwnd(), nullptr);
  }
}

LRESULT MainDialog::OnQueryEndSession(WPARAM, LPARAM, bool* handled) {
  // Ending the session would end the update half-way: the version file is
  // written last, but an archive may be left marked as being written.
  if (!running_) *handled = false;  // the default answer: it may end
  return FALSE;
}

LRESULT MainDialog::OnExit(WPARAM, LPARAM, bool*) {
  DeleteLinkFont();
  if (launchPatcherOnExit_) LaunchPatcher();
  PostQuitMessage(0);
  return 0;
}

LRESULT MainDialog::OnCtlColorStatic(WPARAM wParam, LPARAM lParam, bool* handled) {
  auto control = reinterpret_cast<HWND>(lParam);
  if (!failed_ || GetDlgCtrlID(control) != IDC_STATUS) {
    *handled = false;
    return 0;
  }
  // The default colours and brush, with red text.
  LRESULT brush = DefWindowProcW(hwnd(), WM_CTLCOLORSTATIC, wParam, lParam);
  SetTextColor(reinterpret_cast<HDC>(wParam), kFailedColour);
  return brush;
}

LRESULT MainDialog::OnUpdateFailed(WPARAM, LPARAM, bool*) {
  EnterFailedState();
  return 0;
}

void MainDialog::EnterFailedState() {
  if (running_) SetRunning(false);
  failed_ = true;
  EnableItem(IDC_START, false);
  EnableItem(IDC_EXIT, true);
  InvalidateRect(hwnd(), nullptr, TRUE);  // redraws the status line, now red
  EnableSystemClose(true);
}

LRESULT MainDialog::OnProgress(WPARAM wParam, LPARAM, bool*) {
  SetProgress(static_cast<int>(wParam));
  return 0;
}

void MainDialog::SetProgress(int position) {
  if (SendDlgItemMessageW(hwnd(), IDC_PROGRESS, PBM_GETPOS, 0, 0) != position) {
    SendDlgItemMessageW(hwnd(), IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
}

LRESULT MainDialog::OnUpdateSucceeded(WPARAM, LPARAM, bool*) {
  SetRunning(false);
  EnableSystemClose(true);
  EnableItem(IDC_START, false);
  EnableItem(IDC_EXIT, true);
  SetDlgItemTextW(hwnd(), IDC_EXIT, Text(IDS_OK_CAPTION).c_str());
  SetProgress(100);
  // The update thread waits in its send until the box is closed.
  const std::string& to = controller_->state().patch.toVersionText;
  MessageBoxW(hwnd(), WideFromCp936(FormatText(IDS_UPDATED_TO, to.c_str())).c_str(),
              Text(IDS_BOX_CAPTION).c_str(), MB_OK | MB_ICONINFORMATION);
  launchPatcherOnExit_ = true;
  return 0;
}

void MainDialog::LaunchPatcher() {
  // Whether it starts is not looked at: the patcher belongs to the game.
  const std::string& folder = controller_->state().installDir;
  std::string patcher = JoinPath(folder, kPatcherFileName);
  if (patcher.size() <= kMaxPath) StartDetachedProcess(patcher.c_str(), folder.c_str());
}

// --- Calls from the update thread ---------------------------------------------

void MainDialog::SetStatusText(const std::string& text) {
  SetDlgItemTextW(hwnd(), IDC_STATUS, WideFromCp936(text).c_str());
}

void MainDialog::SetWindowTitle(const std::string& text) {
  SetWindowTextW(hwnd(), WideFromCp936(text).c_str());
}

void MainDialog::EnableStartButton() { EnableItem(IDC_START, true); }

intptr_t MainDialog::SendUpdateMessage(uint32_t message, uintptr_t wParam) {
  return SendMessageW(hwnd(), message, wParam, 0);
}

bool MainDialog::BrowseForFolder(const std::string& title, std::string* folder) {
  // The browser needs COM on the calling thread, the update thread here.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::wstring wideTitle = WideFromCp936(title);
  BROWSEINFOW info = {};
  info.hwndOwner = hwnd();
  info.pidlRoot = nullptr;  // the desktop
  info.lpszTitle = wideTitle.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
  bool chosen = false;
  if (item != nullptr) {
    wchar_t path[MAX_PATH];
    // A folder whose name has no form in code page 936 is taken in its short
    // form; one without that either cannot be used.
    if (SHGetPathFromIDListW(item, path)) {
      *folder = SystemPathFromWide(path);
      chosen = !folder->empty();
    }
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

int MainDialog::RunConflictDialog(const std::string& clientPath) {
  ConflictDialog dialog(clientPath);
  return static_cast<int>(dialog.RunModal(hwnd()));
}

}  // namespace qlmr
