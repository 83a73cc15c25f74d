// qlmr-update: the manual patch updater on a terminal. It takes no command
// line: its input is the patch it carries and the installation it finds.
#include <cstdio>
#include <cstdlib>

#include "app/terminal/screen.h"
#include "app/terminal/terminal_front_end.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "update/update_procedure.h"

int main() {
  using namespace qlmr;
  IgnoreConsoleSignals();
  ConsoleInput input;
  input.Open();  // a terminal that cannot be switched still gives lines
  TerminalScreen screen(stdout, StdoutIsTerminal());
  int code = 0;
  {
    TerminalFrontEnd frontEnd(&screen, &input, UpdateOptions::Defaults(&CreatePatchPackage));
    code = frontEnd.Run();
    screen.Finish();
    input.Restore();
    fflush(stdout);
    // An update thread still waiting for the start key ends with the process,
    // as do the console reader and the front end they work on.
    std::_Exit(code);
  }
}
