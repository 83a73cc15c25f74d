// qlmr-patchkit diff OLD... NEW -o PATCH [--kind packed|masked] [--time T]
// [--dry-run] [--json]: the patch that turns each installation OLD into NEW,
// proven on a scratch copy of every OLD before it is written, and a summary
// of what it holds.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/step_listing.h"
#include "tools/patchkit/tree_diff.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct DiffCommand {
  std::vector<std::string> trees;  // OLD..., then NEW
  std::string output;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
  std::string time;
  bool dryRun = false;
  bool json = false;
};

std::string Plural(uint64_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string Shown(const std::string& name) { return Cp936ToUtf8(name); }

void PrintSummary(const TreeDiff& diff) {
  const DiffSummary& s = diff.summary;
  tools::Print("loose files: %s (%llu bytes), %s\n", Plural(s.looseWrites, "write").c_str(),
               static_cast<unsigned long long>(s.looseWriteBytes),
               Plural(s.looseDeletions, "deletion").c_str());
  tools::Print("whole archives: %s (%llu bytes), %s\n", Plural(s.wholePackWrites, "write").c_str(),
               static_cast<unsigned long long>(s.wholePackBytes),
               Plural(s.wholePackDeletions, "deletion").c_str());
  for (const PackSummary& pack : s.packs) {
    tools::Print("archive %s: %s", Shown(pack.name).c_str(), PackPlanName(pack.plan));
    if (pack.plan == PackPlan::kPerFile) {
      tools::Print(", %s (%llu bytes), %s%s", Plural(pack.writes, "write").c_str(),
                   static_cast<unsigned long long>(pack.writeBytes),
                   Plural(pack.deletions, "deletion").c_str(),
                   pack.listWritten ? ", new list file" : "");
    } else if (pack.plan != PackPlan::kRemoved && pack.writeBytes > 0) {
      tools::Print(" (%llu bytes)", static_cast<unsigned long long>(pack.writeBytes));
    }
    tools::Print(": %s\n", pack.reason.c_str());
  }
  tools::Print("version file: .ver (%llu bytes)\n",
               static_cast<unsigned long long>(s.versionBytes));
}

std::string SummaryJson(const TreeDiff& diff) {
  const DiffSummary& s = diff.summary;
  auto n = [](uint64_t value) { return std::to_string(value); };
  std::string json = "\"loose\": {\"writes\": " + n(s.looseWrites) +
                     ", \"writeBytes\": " + n(s.looseWriteBytes) +
                     ", \"deletions\": " + n(s.looseDeletions) + "},\n";
  json += "\"wholeArchives\": {\"writes\": " + n(s.wholePackWrites) +
          ", \"writeBytes\": " + n(s.wholePackBytes) +
          ", \"deletions\": " + n(s.wholePackDeletions) + "},\n";
  json += "\"versionFile\": {\"bytes\": " + n(s.versionBytes) + "},\n\"archives\": [";
  for (size_t i = 0; i < s.packs.size(); ++i) {
    const PackSummary& pack = s.packs[i];
    json += std::string(i == 0 ? "\n" : ",\n") + "  {\"name\": " + tools::JsonString(pack.name) +
            ", \"plan\": " + tools::JsonString(PackPlanName(pack.plan)) +
            ", \"reason\": " + tools::JsonString(pack.reason) + ", \"writes\": " + n(pack.writes) +
            ", \"writeBytes\": " + n(pack.writeBytes) + ", \"deletions\": " + n(pack.deletions) +
            ", \"listWritten\": " + (pack.listWritten ? "true" : "false") +
            ", \"perFileBytes\": " + n(pack.perFileBytes) +
            ", \"wholeBytes\": " + n(pack.wholeBytes) + "}";
  }
  return json + (s.packs.empty() ? "]" : "\n]");
}

std::string SelfChecksJson(const PatchReport& report) {
  std::string json = "[";
  for (size_t i = 0; i < report.checks.size(); ++i) {
    const SelfCheck& check = report.checks[i];
    json += std::string(i == 0 ? "\n" : ",\n") + "  {\"old\": " + tools::JsonString(check.oldRoot) +
            ", \"selfCheck\": {\"ok\": true, \"method\": " + tools::JsonString(check.method) +
            ", \"filesCompared\": " + std::to_string(check.filesCompared) + "}}";
  }
  return json + (report.checks.empty() ? "]" : "\n]");
}

int RunDiff(const DiffCommand& command) {
  // Command-line text is UTF-8 here; the system's names are code page 936.
  std::vector<std::string> oldRoots;
  for (size_t i = 0; i + 1 < command.trees.size(); ++i) {
    oldRoots.push_back(Utf8ToCp936(command.trees[i]));
  }
  std::string newRoot = Utf8ToCp936(command.trees.back());
  std::string output = Utf8ToCp936(command.output);
  PatchOptions patchOptions;
  if (!command.time.empty() && !ParsePatchTime(command.time, &patchOptions.time)) {
    tools::PrintError("diff: --time %s: not a time (YYYY-MM-DD[THH:MM[:SS]] in UTC, or @seconds)\n",
                      command.time.c_str());
    return tools::kExitUsage;
  }
  TreeDiff diff;
  // A dry run encodes every file a packed patch hands the updater's encoder;
  // a real run leaves the large ones to the self-check, which encodes them
  // anyway. Both plan the same patch.
  EncodingCheck check = command.dryRun ? EncodingCheck::kEvery : EncodingCheck::kSmall;
  if (!DiffInstallations(oldRoots, newRoot, command.kind, &diff, check)) {
    return tools::PrintLastError();
  }

  std::vector<PatchStep> steps;
  PatchReport report;
  uint64_t patchBytes = 0;
  if (command.dryRun) {
    if (!PlanPatch(diff, &steps)) return tools::PrintLastError();
  } else {
    if (!WritePatch(&diff, output, patchOptions, &report)) return tools::PrintLastError();
    File patch;
    if (patch.Open(output.c_str(), FileMode::kRead)) patch.Size(&patchBytes);
  }

  if (command.json) {
    std::string olds = "[";
    for (size_t i = 0; i < oldRoots.size(); ++i) {
      olds += (i == 0 ? "" : ", ") + tools::JsonString(oldRoots[i]);
    }
    std::string json = "{\n\"old\": " + olds + "],\n\"new\": " + tools::JsonString(newRoot) +
                       ",\n\"kind\": " + tools::JsonString(PatchKindName(command.kind)) +
                       ",\n\"dryRun\": " + (command.dryRun ? "true" : "false") + ",\n" +
                       SummaryJson(diff);
    if (command.dryRun) {
      json += ",\n\"steps\": " + PatchStepsJson(steps);
    } else {
      json += ",\n\"patch\": " + tools::JsonString(output) +
              ",\n\"patchBytes\": " + std::to_string(patchBytes) +
              ",\n\"time\": " + std::to_string(report.time) +
              ",\n\"perOld\": " + SelfChecksJson(report);
    }
    tools::Print("%s\n}\n", json.c_str());
    return tools::kExitSuccess;
  }
  if (command.dryRun) {
    tools::Print("%s", FormatPatchSteps(steps).c_str());
  }
  PrintSummary(diff);
  if (command.dryRun) {
    tools::Print("dry run: no patch written\n");
  } else {
    tools::Print("patch: %s, %s, %llu bytes\n", command.output.c_str(), PatchKindName(command.kind),
                 static_cast<unsigned long long>(patchBytes));
    for (const SelfCheck& check : report.checks) {
      tools::Print("self-check on %s: ok, %s compared with NEW (%s)\n",
                   Shown(check.oldRoot).c_str(), Plural(check.filesCompared, "file").c_str(),
                   check.method.c_str());
    }
  }
  return tools::kExitSuccess;
}

}  // namespace

void RegisterDiffCommand(CLI::App& app, int* exitCode) {
  auto command = std::make_shared<DiffCommand>();
  CLI::App* sub = app.add_subcommand(
      "diff", "Build the patch that turns each installation OLD into NEW, and check it on each");
  sub->add_option("trees", command->trees,
                  "OLD... NEW: the installations at the old versions, then the one at the new")
      ->required()
      ->expected(2, -1);
  sub->add_option("-o,--output", command->output, "the package to write");
  const std::map<std::string, PatchKind> kinds = {{"masked", PATCH_KIND_MASKED_ZIP},
                                                  {"packed", PATCH_KIND_PACKED}};
  sub->add_option("--kind", command->kind, "masked (default) or packed")
      ->transform(CLI::CheckedTransformer(kinds));
  sub->add_option("--time", command->time,
                  "the time of the package's members, YYYY-MM-DD[THH:MM[:SS]] in UTC or "
                  "@seconds (default: when NEW's .ver was written)");
  sub->add_flag("--dry-run", command->dryRun,
                "print the entries in order of application; write nothing");
  sub->add_flag("--json", command->json, "print one JSON document");
  sub->callback([command, exitCode] {
    if (command->output.empty() && !command->dryRun) {
      tools::PrintError("diff: -o PATCH is required (or --dry-run)\n");
      *exitCode = tools::kExitUsage;
      return;
    }
    *exitCode = RunDiff(*command);
  });
}

}  // namespace patchkit
}  // namespace qlmr
