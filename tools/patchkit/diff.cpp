// qlmr-patchkit diff OLD NEW -o PATCH [--kind packed|masked] [--dry-run]
// [--json]: the patch that turns the installation OLD into NEW, proven on a
// scratch copy before it is written, and a summary of what it holds.
#include <cstdio>
#include <map>
#include <string>

#include "base/platform.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/step_listing.h"
#include "tools/patchkit/tree_diff.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct DiffOptions {
  std::string oldRoot;
  std::string newRoot;
  std::string output;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
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

int RunDiff(const DiffOptions& options) {
  // Command-line text is UTF-8 here; the system's names are code page 936.
  std::string oldRoot = Utf8ToCp936(options.oldRoot);
  std::string newRoot = Utf8ToCp936(options.newRoot);
  std::string output = Utf8ToCp936(options.output);
  TreeDiff diff;
  if (!DiffInstallations(oldRoot, newRoot, &diff)) return tools::PrintLastError();

  std::vector<PatchStep> steps;
  SelfCheck check;
  uint64_t patchBytes = 0;
  if (options.dryRun) {
    if (!PlanPatch(diff, &steps)) return tools::PrintLastError();
  } else {
    if (!WritePatch(diff, output, options.kind, &check)) return tools::PrintLastError();
    File patch;
    if (patch.Open(output.c_str(), FileMode::kRead)) patch.Size(&patchBytes);
  }

  if (options.json) {
    std::string json =
        "{\n\"old\": " + tools::JsonString(oldRoot) + ",\n\"new\": " + tools::JsonString(newRoot) +
        ",\n\"kind\": " + tools::JsonString(PatchKindName(options.kind)) +
        ",\n\"dryRun\": " + (options.dryRun ? "true" : "false") + ",\n" + SummaryJson(diff);
    if (options.dryRun) {
      json += ",\n\"steps\": " + PatchStepsJson(steps);
    } else {
      json += ",\n\"patch\": " + tools::JsonString(output) +
              ",\n\"patchBytes\": " + std::to_string(patchBytes) +
              ",\n\"selfCheck\": {\"method\": " + tools::JsonString(check.method) +
              ", \"filesCompared\": " + std::to_string(check.filesCompared) + "}";
    }
    tools::Print("%s\n}\n", json.c_str());
    return tools::kExitSuccess;
  }
  if (options.dryRun) {
    tools::Print("%s", FormatPatchSteps(steps).c_str());
  }
  PrintSummary(diff);
  if (options.dryRun) {
    tools::Print("dry run: no patch written\n");
  } else {
    tools::Print("patch: %s, %s, %llu bytes\n", options.output.c_str(), PatchKindName(options.kind),
                 static_cast<unsigned long long>(patchBytes));
    tools::Print("self-check: ok, %s compared with NEW (%s)\n",
                 Plural(check.filesCompared, "file").c_str(), check.method.c_str());
  }
  return tools::kExitSuccess;
}

}  // namespace

void RegisterDiffCommand(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<DiffOptions>();
  CLI::App* command = app.add_subcommand(
      "diff", "Build the patch that turns the installation OLD into NEW, and check it");
  command->add_option("old", options->oldRoot, "the installation at the old version")->required();
  command->add_option("new", options->newRoot, "the installation at the new version")->required();
  command->add_option("-o,--output", options->output, "the package to write");
  const std::map<std::string, PatchKind> kinds = {{"masked", PATCH_KIND_MASKED_ZIP},
                                                  {"packed", PATCH_KIND_PACKED}};
  command->add_option("--kind", options->kind, "masked (default) or packed")
      ->transform(CLI::CheckedTransformer(kinds));
  command->add_flag("--dry-run", options->dryRun,
                    "print the entries in order of application; write nothing");
  command->add_flag("--json", options->json, "print one JSON document");
  command->callback([options, exitCode] {
    if (options->output.empty() && !options->dryRun) {
      tools::PrintError("diff: -o PATCH is required (or --dry-run)\n");
      *exitCode = tools::kExitUsage;
      return;
    }
    *exitCode = RunDiff(*options);
  });
}

}  // namespace patchkit
}  // namespace qlmr
