// qlmr-pak create ARCHIVE: an empty archive with an empty list.
#include <memory>
#include <string>

#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct CreateOptions {
  std::string archive;
  bool noList = false;
  bool force = false;
};

int RunCreate(const CreateOptions& options) {
  OutputFile output;
  if (!output.Open(options.archive, options.force)) return output.FailToOpen();
  // An empty list, so that even an empty archive passes verify.
  WriteSession session(!options.noList);
  if (!session.Create(output.path()) || !session.Close(true, !options.noList)) {
    return FailArchive("cannot create", output.shown());
  }
  if (!output.Deliver()) return Fail("cannot write", output.shown());
  return kExitSuccess;
}

}  // namespace

void RegisterCreateCommand(ToolApp& tool) {
  auto options = std::make_shared<CreateOptions>();
  CLI::App* command = tool.AddCommand("create", "Create an empty archive",
                                      [options] { return RunCreate(*options); });
  AddPath(command, "ARCHIVE", &options->archive, "The archive to create; - writes standard output")
      ->required();
  command->add_flag("--no-list", options->noList, "Store no list file \"(list)\"");
  command->add_flag("-f,--force", options->force, "Replace an existing file");
}

}  // namespace tools
}  // namespace qlmr
