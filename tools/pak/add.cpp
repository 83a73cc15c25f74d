// qlmr-pak add ARCHIVE NAME=PATH...: stores files under the names given.
#include <memory>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct AddOptions {
  std::string archive;
  std::vector<std::string> items;
  PakWriteOptions write;
};

int RunAdd(const AddOptions& options) {
  std::vector<PakSource> sources;
  std::unique_ptr<InputFile> standardInput;
  for (const std::string& item : options.items) {
    size_t equals = item.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == item.size()) {
      PrintError("%s add: expected NAME=PATH, got '%s'\n", ProgramName().c_str(), item.c_str());
      return kExitUsage;
    }
    std::string path = SystemPath(item.substr(equals + 1));
    if (path == "-") {
      if (standardInput) {
        PrintError("%s add: standard input (-) can be read once\n", ProgramName().c_str());
        return kExitUsage;
      }
      standardInput.reset(new InputFile);
      if (!standardInput->Open(path)) return Fail("cannot read standard input", "");
      path = standardInput->path();
    }
    sources.emplace_back(SystemPath(item.substr(0, equals)), path);
  }
  CatchInterruptRequests();
  return AddFiles(options.archive, sources, options.write);
}

}  // namespace

void AddWriteOptions(CLI::App* command, PakWriteOptions* options) {
  command
      ->add_option("--type", options->type,
                   "Compression type: 0 stored as it is, 1 masked, 2 LZO, 3 LZMA. Without it "
                   "each file gets LZMA, or is stored as it is where LZMA does not make it smaller")
      ->check(CLI::Range(0, 255).description(""))
      ->type_name("N");
  command->add_flag_callback(
      "--no-list", [options] { options->keepList = false; },
      "Leave the list file \"(list)\" alone");
}

void RegisterAddCommand(ToolApp& tool) {
  auto options = std::make_shared<AddOptions>();
  CLI::App* command = tool.AddCommand("add", "Add or replace files given as NAME=PATH",
                                      [options] { return RunAdd(*options); });
  AddWriteOptions(command, &options->write);
  AddPath(command, "ARCHIVE", &options->archive, "The archive")->required();
  command
      ->add_option("FILES", options->items,
                   "NAME=PATH pairs: the stored name and the file (- reads standard input)")
      ->type_name("NAME=PATH")
      ->required();
}

}  // namespace tools
}  // namespace qlmr
