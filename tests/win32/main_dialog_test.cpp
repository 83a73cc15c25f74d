// The main dialog in a window on the test's thread, driven from a second
// thread the way the system and the user reach it: messages.
#include "app/win32/main_dialog.h"

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "base/error.h"
#include "res/resource.h"
#include "tests/support/test_util.h"
#include "tests/update/update_fakes.h"
#include "update/carrier.h"

namespace qlmr {
namespace {

using testing_support::PackageScript;
using testing_support::Script;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

constexpr uint32_t kOffset = 512;

// A flag one thread raises and another waits for.
class Signal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

// Polls `condition` for up to 30 seconds.
template <typename Condition>
bool WaitFor(Condition condition) {
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct BoxSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<BoxSearch*>(context);
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (window != search->owner && wcscmp(name, L"#32770") == 0 && IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The message box the dialog's thread shows over `owner`, or null.
HWND MessageBoxOver(HWND owner) {
  BoxSearch search = {owner, nullptr};
  EnumThreadWindows(GetWindowThreadProcessId(owner, nullptr), &FindBox,
                    reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// From the start button to the report, the window refuses the end of the
// session; before and after, it lets the session end.
TEST(MainDialogTest, TheSessionCannotEndWhileTheUpdateRuns) {
  TempDir install;
  TempDir temp;
  WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
  WriteFileOrDie(install.Join("program"), "program");
  WriteFileOrDie(install.Join("patch"), "patch data");
  ASSERT_TRUE(WriteCarrier(install.Join("program").c_str(), "CN.0.551.065", "CN.0.551.066",
                           install.Join("patch").c_str(), install.Join("updater").c_str(), kOffset))
      << LastErrorMessage();
  Signal applying;
  Signal release;
  Script() = PackageScript();
  Script().entryCount = 1;
  Script().callbackKinds = {0};
  Script().duringApply = [&] {
    applying.Raise();
    release.Wait();
  };
  UpdateOptions options;
  options.executablePath = install.Join("updater");
  options.carrierOffset = kOffset;
  options.tempFolder = temp.path();
  options.createPackage = &testing_support::CreateFakePackage;
  // As the entry point does: the templates are this program's, and the
  // progress bar is a common control.
  SetModuleInstance(GetModuleHandleW(nullptr));
  InitCommonControls();
  MainDialog dialog(options);

  LRESULT ready = -1;
  LRESULT running = -1;
  LRESULT after = -1;
  std::string failure;
  std::thread user([&] {
    HWND window = nullptr;
    if (!WaitFor([&] { return (window = dialog.hwnd()) != nullptr; })) {
      failure = "no window";
      return;
    }
    if (!WaitFor([&] { return IsWindowEnabled(GetDlgItem(window, IDC_START)) != FALSE; })) {
      failure = "never ready";
    } else {
      ready = SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), 0);
      if (!applying.Wait()) failure = "the apply never started";
      running = SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
      release.Raise();
      HWND box = nullptr;
      if (!WaitFor([&] { return (box = MessageBoxOver(window)) != nullptr; })) {
        failure = "no success box";
      } else {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        WaitFor([&] { return !IsWindow(box); });
        after = SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
      }
    }
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
  });
  INT_PTR result = dialog.RunModal(nullptr);
  user.join();
  ASSERT_NE(result, -1) << "the dialog could not be created";
  ASSERT_EQ(failure, "");
  EXPECT_NE(ready, 0) << "ready: the session may end";
  EXPECT_EQ(running, 0) << "running: the session must not end";
  EXPECT_NE(after, 0) << "succeeded: the session may end";
  EXPECT_TRUE(Script().applied);
}

}  // namespace
}  // namespace qlmr
