// qlmr-pak add-tree ARCHIVE DIR: stores every file below a folder under its
// relative path.
#include <memory>
#include <string>

#include "base/error.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct AddTreeOptions {
  std::string archive;
  std::string folder;
  PakWriteOptions write;
};

int RunAddTree(const AddTreeOptions& options) {
  if (!IsFolder(options.folder.c_str())) {
    ReportError(ERR_NOT_FOUND, "%s", options.folder.c_str());
    return Fail("cannot add the tree", options.folder, "it is no folder");
  }
  CatchInterruptRequests();
  return AddFiles(options.archive, CollectTree(options.folder), options.write);
}

}  // namespace

void RegisterAddTreeCommand(ToolApp& tool) {
  auto options = std::make_shared<AddTreeOptions>();
  CLI::App* command = tool.AddCommand("add-tree", "Add every file below a folder",
                                      [options] { return RunAddTree(*options); });
  AddWriteOptions(command, &options->write);
  AddPath(command, "ARCHIVE", &options->archive, "The archive")->required();
  AddPath(command, "DIR", &options->folder,
          "The folder; each file is stored under its path below it")
      ->required();
}

}  // namespace tools
}  // namespace qlmr
