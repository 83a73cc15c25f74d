// qlmr-pak rm ARCHIVE NAME...: removes stored files.
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct RemoveOptions {
  std::string archive;
  std::vector<std::string> names;
  bool noList = false;
};

int RunRemove(const RemoveOptions& options) {
  CatchInterruptRequests();
  WriteSession session(!options.noList);
  if (!session.Open(options.archive)) return FailArchive("cannot open", options.archive);
  // Each file goes before its list entry (WriteSession::Remove), so that a
  // stop at any point leaves a list naming every stored file.
  size_t removed = 0;
  bool ok = true;
  {
    ProgressBar progress("remove", options.names.size());
    for (; removed < options.names.size() && !InterruptRequested(); ++removed) {
      ok = session.Remove(options.names[removed]);
      if (!ok) break;
      Detail("removed %s", ShownName(options.names[removed]).c_str());
      progress.Advance();
    }
  }
  if (!session.Close(ok, !options.noList))
    return FailArchive("cannot remove from", options.archive);
  if (removed < options.names.size()) {
    Note("interrupted: %zu of %zu files removed; '%s' is closed and its list names what it holds",
         removed, options.names.size(), ShownPath(options.archive).c_str());
    return kExitInterrupted;
  }
  return kExitSuccess;
}

}  // namespace

void RegisterRemoveCommand(ToolApp& tool) {
  auto options = std::make_shared<RemoveOptions>();
  CLI::App* command =
      tool.AddCommand("rm", "Remove stored files", [options] { return RunRemove(*options); });
  command->add_flag("--no-list", options->noList, "Leave the list file \"(list)\" alone");
  AddPath(command, "ARCHIVE", &options->archive, "The archive")->required();
  AddPaths(command, "NAMES", &options->names, "The stored names")->type_name("NAME")->required();
}

}  // namespace tools
}  // namespace qlmr
