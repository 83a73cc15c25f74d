// qlmr-pak repair ARCHIVE: closes an archive that a write left open and
// brings its list back in step with what it stores.
#include <memory>
#include <string>

#include "pack/pack_format.h"
#include "pack/pack_list_repair.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {

int RepairArchive(const std::string& archive) {
  WriteSession session(true);
  if (!session.Open(archive)) return FailArchive("cannot repair", archive);
  if (!session.archive().HasFile(kPackListFileName)) {
    if (!session.Close(true, false)) return FailArchive("cannot close", archive);
    Summary("repaired %s: closed; it has no list file\n", ShownPath(archive).c_str());
    return kExitSuccess;
  }
  PackListRepair repair;
  SettlePackList(session.archive(), &session.list(), &repair);
  if (!session.Close(true, repair.changed())) return FailArchive("cannot repair", archive);
  Summary("repaired %s: closed; list entries dropped (not stored): %zu, corrected: %zu\n",
          ShownPath(archive).c_str(), repair.dropped, repair.corrected);
  if (repair.unreadable > 0) {
    Note("%zu stored files cannot be decoded; their list entries are kept", repair.unreadable);
  }
  if (repair.unlisted > 0) {
    Note(
        "%zu stored files are named by no list entry (ls shows them as #slot/hashA/hashB); "
        "their names are unknown, so they are kept: add them again by name, or remove them",
        repair.unlisted);
  }
  return kExitSuccess;
}

void RegisterRepairCommand(ToolApp& tool) {
  auto archive = std::make_shared<std::string>();
  CLI::App* command = tool.AddCommand(
      "repair",
      "Close an archive that an interrupted write left open, and bring its list in step with "
      "what it stores",
      [archive] { return RepairArchive(*archive); });
  AddPath(command, "ARCHIVE", archive.get(), "The archive")->required();
}

}  // namespace tools
}  // namespace qlmr
