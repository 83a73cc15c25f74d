// qlmr-update: the manual patch updater on a terminal. It takes no command
// line: its input is the patch it carries and the installation it finds.
#include <cstdio>
#include <cstdlib>

#include "app/main_dialog.h"
#include "app/screen.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "update/updater.h"

int main() {
  using namespace qlmr;
  IgnoreInterruptSignal();
  ConsoleInput input;
  input.Open();  // a terminal that cannot be switched still gives lines
  TerminalScreen screen(stdout, StdoutIsTerminal());
  int code = 0;
  {
    MainDialog dialog(&screen, &input, UpdateOptions::Defaults(&CreatePatchPackage));
    code = dialog.Run();
    screen.Finish();
    input.Restore();
    fflush(stdout);
    // An update thread still waiting for the start key ends with the process,
    // as do the console reader and the dialog it works on.
    std::_Exit(code);
  }
}
