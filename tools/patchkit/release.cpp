// qlmr-patchkit release --old DIR... --new DIR --updater EXE -o OUT
// [--kind masked|packed] [--from VERSION] [--time T] [--json]: the players'
// program for the range the given installations prove, built, self-checked
// on every one of them, read back, and described in a report beside it.
#include <map>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/command_line.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/release_builder.h"
#include "tools/patchkit/step_listing.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct ReleaseCommand {
  std::vector<std::string> olds;
  std::string newRoot;
  std::string updater;
  std::string output;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
  std::string from;
  std::string time;
  bool json = false;
  bool force = false;
};

void PrintRelease(const ReleaseRequest& request, const ReleaseResult& result) {
  auto shown = [](const std::string& text) { return tools::ShownPath(text); };
  tools::Print("range: %s to %s (%s patch, %u entries, %llu bytes)\n", shown(result.from).c_str(),
               shown(result.to).c_str(), PatchKindName(request.kind), result.entries,
               static_cast<unsigned long long>(result.patchBytes));
  for (const ReleaseTree& old : result.olds) {
    if (!old.inRange) {
      tools::Print("old %s (%s): below the range, left out\n", shown(old.root).c_str(),
                   shown(old.version).c_str());
      continue;
    }
    tools::Print("old %s (%s): self-check ok, %u files compared with NEW\n",
                 shown(old.root).c_str(), shown(old.version).c_str(), old.check.filesCompared);
  }
  for (const std::string& note : result.notes) tools::Print("note: %s\n", shown(note).c_str());
  tools::Print("program: %s, %llu bytes, CRC-32 %08X, SHA-256 %s\n", shown(request.output).c_str(),
               static_cast<unsigned long long>(result.program.bytes),
               static_cast<unsigned>(result.program.crc32), result.program.sha256.c_str());
  tools::Print("report: %s\n", shown(result.reportPath).c_str());
}

int RunRelease(const ReleaseCommand& command) {
  ReleaseRequest request;
  request.oldRoots = command.olds;
  request.newRoot = command.newRoot;
  request.updater = command.updater;
  request.output = command.output;
  request.kind = command.kind;
  request.from = command.from;
  if (!command.time.empty() && !ParsePatchTime(command.time, &request.time)) {
    tools::PrintError(
        "%s release: --time %s: not a time (YYYY-MM-DD[THH:MM[:SS]] in UTC, or @seconds)\n",
        tools::ProgramName().c_str(), command.time.c_str());
    return tools::kExitUsage;
  }
  if (command.output == "-") {
    tools::PrintError("%s release: -o must name a file: the report is written beside it\n",
                      tools::ProgramName().c_str());
    return tools::kExitUsage;
  }
  // Only for the refusal of an existing program; the builder writes it.
  tools::OutputFile output;
  if (!output.Open(command.output, command.force)) return output.FailToOpen();
  ReleaseResult result;
  if (!BuildRelease(request, &result)) return tools::Fail("cannot release", command.output);
  if (command.json) {
    tools::Print("%s", ReleaseReportJson(request, result).c_str());
  } else if (!tools::IsQuiet()) {
    PrintRelease(request, result);
  }
  return tools::kExitSuccess;
}

}  // namespace

void RegisterReleaseCommand(tools::ToolApp& tool) {
  auto command = std::make_shared<ReleaseCommand>();
  CLI::App* sub = tool.AddCommand(
      "release",
      "Build the players' program for the range the old installations prove: the patch, "
      "its self-check on each, the wrapped updater read back, and a report beside it",
      [command] { return RunRelease(*command); });
  tools::AddPaths(sub, "--old", &command->olds, "An installation at an old version (one or more)")
      ->required()
      ->expected(1, -1);
  tools::AddPath(sub, "--new", &command->newRoot, "The installation at the new version")
      ->required();
  tools::AddPath(sub, "--updater", &command->updater, "The updater program to wrap")->required();
  tools::AddPath(sub, "-o,--output", &command->output, "The program to write")->required();
  tools::AddChoice(sub, "--kind", &command->kind,
                   std::map<std::string, PatchKind>{{"masked", PATCH_KIND_MASKED_ZIP},
                                                    {"packed", PATCH_KIND_PACKED}},
                   "The patch's kind: masked (the default) or packed");
  sub->add_option("--from", command->from,
                  "The lowest version the program takes (the default: the lowest --old; never "
                  "below it)");
  sub->add_option("--time", command->time,
                  "The time of the patch's members, YYYY-MM-DD[THH:MM[:SS]] in UTC or "
                  "@seconds (the default: when NEW's .ver was written)");
  sub->add_flag("--json", command->json, "Print the release report");
  sub->add_flag("-f,--force", command->force, "Replace an existing program and its report");
}

}  // namespace patchkit
}  // namespace qlmr
