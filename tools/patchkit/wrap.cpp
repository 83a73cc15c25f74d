// qlmr-patchkit wrap --updater EXE --from VERSION --to VERSION -o OUT PATCH:
// the updater program with the patch it is to carry.
#include <cstdio>
#include <string>

#include "base/platform.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"
#include "update/carrier.h"

namespace qlmr {
namespace patchkit {

void RegisterWrapCommand(CLI::App& app, int* exitCode) {
  struct Options {
    std::string updater;
    std::string from;
    std::string to;
    std::string output;
    std::string patch;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand(
      "wrap", "Append a patch and its version range to the updater program at its carrier offset");
  command->add_option("--updater", options->updater, "the updater program (qlmr-update)")
      ->required();
  command->add_option("--from", options->from, "lowest installed version it applies to")
      ->required();
  command->add_option("--to", options->to, "the version it produces")->required();
  command->add_option("-o,--output", options->output, "the wrapped updater to write")->required();
  command->add_option("patch", options->patch, "the patch package")->required();
  command->callback([options, exitCode] {
    // Command-line text is UTF-8 here; the system's names are code page 936.
    std::string updater = Utf8ToCp936(options->updater);
    std::string patch = Utf8ToCp936(options->patch);
    std::string output = Utf8ToCp936(options->output);
    // The offset is the updater's own: this tool may come from another build.
    uint64_t offset = 0;
    if (!ReadCarrierOffset(updater.c_str(), &offset) ||
        !WriteCarrier(updater.c_str(), options->from.c_str(), options->to.c_str(), patch.c_str(),
                      output.c_str(), offset)) {
      *exitCode = tools::PrintLastError();
      return;
    }
    tools::Print("wrapped %s: %s to %s, patch at offset %u\n", options->output.c_str(),
                 options->from.c_str(), options->to.c_str(), static_cast<unsigned>(offset));
    // The updater applies the patch to every version in the range and has
    // no way back: a claim nobody checked reaches players as a broken game.
    tools::PrintError(
        "warning: nothing checked that this patch turns every installation from %s up to %s "
        "into %s; 'qlmr-patchkit release' builds the patch and the program for a range it "
        "proves on the old installations\n",
        options->from.c_str(), options->to.c_str(), options->to.c_str());
  });
}

}  // namespace patchkit
}  // namespace qlmr
