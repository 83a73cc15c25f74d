// qlmrupdate.exe: the manual patch updater for Windows. It takes no command
// line: its input is the patch it carries and the installation it finds.
#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include "app/win32/dialog.h"
#include "app/win32/main_dialog.h"
#include "patch/patch_package.h"
#include "update/update_procedure.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  using namespace qlmr;
  SetModuleInstance(instance);
  InitCommonControls();
  MainDialog dialog(UpdateOptions::Defaults(&CreatePatchPackage));
  // The exit button's quit message ends the modal loop.
  dialog.RunModal(GetActiveWindow());
  // An update thread that still waits for the start button holds on to the
  // dialog and its controller: the process ends with it rather than destroy
  // them under it.
  ExitProcess(0);
}
