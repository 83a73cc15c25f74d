// qlmr-patchkit release --old DIR... --new DIR --updater EXE -o OUT
// [--kind masked|packed] [--from VERSION] [--time T] [--json]: the players'
// program for the range the given installations prove, built, self-checked
// on every one of them, read back, and described in a report beside it.
#include <map>
#include <string>
#include <vector>

#include "base/platform.h"
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
};

void PrintRelease(const ReleaseRequest& request, const ReleaseResult& result) {
  auto shown = [](const std::string& text) { return Cp936ToUtf8(text); };
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
  // Command-line text is UTF-8 here; the system's names are code page 936.
  ReleaseRequest request;
  for (const std::string& old : command.olds) request.oldRoots.push_back(Utf8ToCp936(old));
  request.newRoot = Utf8ToCp936(command.newRoot);
  request.updater = Utf8ToCp936(command.updater);
  request.output = Utf8ToCp936(command.output);
  request.kind = command.kind;
  request.from = command.from;
  if (!command.time.empty() && !ParsePatchTime(command.time, &request.time)) {
    tools::PrintError(
        "release: --time %s: not a time (YYYY-MM-DD[THH:MM[:SS]] in UTC, or @seconds)\n",
        command.time.c_str());
    return tools::kExitUsage;
  }
  ReleaseResult result;
  if (!BuildRelease(request, &result)) return tools::PrintLastError();
  if (command.json) {
    tools::Print("%s", ReleaseReportJson(request, result).c_str());
  } else {
    PrintRelease(request, result);
  }
  return tools::kExitSuccess;
}

}  // namespace

void RegisterReleaseCommand(CLI::App& app, int* exitCode) {
  auto command = std::make_shared<ReleaseCommand>();
  CLI::App* sub = app.add_subcommand(
      "release",
      "Build the players' program for the range the old installations prove: the patch, "
      "its self-check on each, the wrapped updater read back, and a report beside it");
  sub->add_option("--old", command->olds, "an installation at an old version (one or more)")
      ->required()
      ->expected(1, -1);
  sub->add_option("--new", command->newRoot, "the installation at the new version")->required();
  sub->add_option("--updater", command->updater, "the updater program to wrap")->required();
  sub->add_option("-o,--output", command->output, "the program to write")->required();
  const std::map<std::string, PatchKind> kinds = {{"masked", PATCH_KIND_MASKED_ZIP},
                                                  {"packed", PATCH_KIND_PACKED}};
  sub->add_option("--kind", command->kind, "masked (default) or packed")
      ->transform(CLI::CheckedTransformer(kinds));
  sub->add_option("--from", command->from,
                  "the lowest version the program takes (default: the lowest --old; never "
                  "below it)");
  sub->add_option("--time", command->time,
                  "the time of the patch's members, YYYY-MM-DD[THH:MM[:SS]] in UTC or "
                  "@seconds (default: when NEW's .ver was written)");
  sub->add_flag("--json", command->json, "print the release report");
  sub->callback([command, exitCode] { *exitCode = RunRelease(*command); });
}

}  // namespace patchkit
}  // namespace qlmr
