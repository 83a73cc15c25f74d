// qlmr-patchkit diff OLD... NEW -o PATCH [--kind packed|masked] [--time T]
// [--dry-run] [--json]: the patch that turns each installation OLD into NEW,
// proven on a scratch copy of every OLD before it is written, and a summary
// of what it holds.
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/patchkit/commands.h"
#include "tools/patchkit/step_listing.h"
#include "tools/patchkit/tree_diff.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

struct DiffOptions {
  std::vector<std::string> trees;  // OLD..., then NEW
  std::string output;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
  std::string time;
  bool dryRun = false;
  bool json = false;
  bool force = false;
};

std::string Plural(uint64_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

void PrintSummary(const TreeDiff& diff) {
  const DiffSummary& s = diff.summary;
  tools::Print("loose files: %s (%llu bytes), %s\n", Plural(s.looseWrites, "write").c_str(),
               static_cast<unsigned long long>(s.looseWriteBytes),
               Plural(s.looseDeletions, "deletion").c_str());
  tools::Print("whole archives: %s (%llu bytes), %s\n", Plural(s.wholePackWrites, "write").c_str(),
               static_cast<unsigned long long>(s.wholePackBytes),
               Plural(s.wholePackDeletions, "deletion").c_str());
  for (const PackSummary& pack : s.packs) {
    tools::Print("archive %s: %s", tools::ShownName(pack.name).c_str(), PackPlanName(pack.plan));
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

void AddSummaryJson(const TreeDiff& diff, tools::Json* json) {
  const DiffSummary& s = diff.summary;
  (*json)["loose"] = {{"writes", s.looseWrites},
                      {"writeBytes", s.looseWriteBytes},
                      {"deletions", s.looseDeletions}};
  (*json)["wholeArchives"] = {{"writes", s.wholePackWrites},
                              {"writeBytes", s.wholePackBytes},
                              {"deletions", s.wholePackDeletions}};
  (*json)["versionFile"] = {{"bytes", s.versionBytes}};
  tools::Json archives = tools::Json::array();
  for (const PackSummary& pack : s.packs) {
    archives.push_back({{"name", tools::JsonName(pack.name)},
                        {"plan", PackPlanName(pack.plan)},
                        {"reason", tools::JsonText(pack.reason)},
                        {"writes", pack.writes},
                        {"writeBytes", pack.writeBytes},
                        {"deletions", pack.deletions},
                        {"listWritten", pack.listWritten},
                        {"perFileBytes", pack.perFileBytes},
                        {"wholeBytes", pack.wholeBytes}});
  }
  (*json)["archives"] = std::move(archives);
}

tools::Json SelfChecksJson(const PatchReport& report) {
  tools::Json checks = tools::Json::array();
  for (const SelfCheck& check : report.checks) {
    checks.push_back(
        {{"old", tools::JsonName(check.oldRoot)},
         {"selfCheck",
          {{"ok", true}, {"method", check.method}, {"filesCompared", check.filesCompared}}}});
  }
  return checks;
}

int RunDiff(const DiffOptions& options) {
  const std::vector<std::string> oldRoots(options.trees.begin(), options.trees.end() - 1);
  const std::string& newRoot = options.trees.back();
  PatchOptions patchOptions;
  if (!options.time.empty() && !ParsePatchTime(options.time, &patchOptions.time)) {
    tools::PrintError(
        "%s diff: --time %s: not a time (YYYY-MM-DD[THH:MM[:SS]] in UTC, or @seconds)\n",
        tools::ProgramName().c_str(), options.time.c_str());
    return tools::kExitUsage;
  }
  tools::JsonReport report(options.json);
  tools::Json& fields = report.fields();
  tools::Json olds = tools::Json::array();
  for (const std::string& root : oldRoots) olds.push_back(tools::JsonName(root));
  fields["old"] = std::move(olds);
  fields["new"] = tools::JsonName(newRoot);
  fields["kind"] = PatchKindName(options.kind);
  fields["dryRun"] = options.dryRun;
  tools::OutputFile output;
  if (!options.dryRun && !output.Open(options.output, options.force)) return output.FailToOpen();
  TreeDiff diff;
  // A dry run encodes every file a packed patch hands the updater's encoder;
  // a real run leaves the large ones to the self-check, which encodes them
  // anyway. Both plan the same patch.
  EncodingCheck check = options.dryRun ? EncodingCheck::kEvery : EncodingCheck::kSmall;
  if (!DiffInstallations(oldRoots, newRoot, options.kind, &diff, check)) {
    return tools::Fail("cannot compare the installations", "");
  }

  std::vector<PatchStep> steps;
  PatchReport written;
  uint64_t patchBytes = 0;
  if (options.dryRun) {
    if (!PlanPatch(diff, &steps)) return tools::Fail("cannot plan the patch of", newRoot);
  } else {
    if (!WritePatch(&diff, output.path(), patchOptions, &written)) {
      return tools::Fail("cannot write the patch", output.shown());
    }
    File patch;
    if (patch.Open(output.path().c_str(), FileMode::kRead)) patch.Size(&patchBytes);
    patch.Close();
    if (!output.Deliver()) return tools::Fail("cannot write", output.shown());
  }

  if (report.enabled()) {
    AddSummaryJson(diff, &fields);
    if (options.dryRun) {
      fields["steps"] = PatchStepsJson(steps);
    } else {
      fields["patch"] = tools::JsonName(options.output);
      fields["patchBytes"] = patchBytes;
      fields["time"] = written.time;
      fields["perOld"] = SelfChecksJson(written);
    }
    return report.Succeed();
  }
  // With the patch on standard output, the report goes with the notes.
  auto say = output.isStandardOutput() ? &tools::PrintError : &tools::Print;
  if (options.dryRun) tools::Print("%s", FormatPatchSteps(steps).c_str());
  if (!output.isStandardOutput()) PrintSummary(diff);
  if (options.dryRun) {
    tools::Print("dry run: no patch written\n");
  } else if (!tools::IsQuiet()) {
    say("patch: %s, %s, %llu bytes\n", tools::ShownPath(output.shown()).c_str(),
        PatchKindName(options.kind), static_cast<unsigned long long>(patchBytes));
    for (const SelfCheck& done : written.checks) {
      say("self-check on %s: ok, %s compared with NEW (%s)\n",
          tools::ShownPath(done.oldRoot).c_str(), Plural(done.filesCompared, "file").c_str(),
          done.method.c_str());
    }
  }
  return tools::kExitSuccess;
}

}  // namespace

void RegisterDiffCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<DiffOptions>();
  CLI::App* command = tool.AddCommand(
      "diff", "Build the patch that turns each installation OLD into NEW, and check it on each",
      [options]() -> int {
        if (options->output.empty() && !options->dryRun) {
          tools::PrintError("%s diff: -o PATCH is required (or --dry-run)\n",
                            tools::ProgramName().c_str());
          return tools::kExitUsage;
        }
        if (options->json && options->output == "-") {
          tools::PrintError("%s diff: --json and -o - both want standard output\n",
                            tools::ProgramName().c_str());
          return tools::kExitUsage;
        }
        return RunDiff(*options);
      });
  tools::AddPaths(command, "TREES", &options->trees,
                  "OLD... NEW: the installations at the old versions, then the one at the new")
      ->required()
      ->expected(2, -1);
  tools::AddPath(command, "-o,--output", &options->output,
                 "The package to write; - writes standard output");
  tools::AddChoice(command, "--kind", &options->kind,
                   std::map<std::string, PatchKind>{{"masked", PATCH_KIND_MASKED_ZIP},
                                                    {"packed", PATCH_KIND_PACKED}},
                   "The package's kind: masked (the default) or packed");
  command->add_option("--time", options->time,
                      "The time of the package's members, YYYY-MM-DD[THH:MM[:SS]] in UTC or "
                      "@seconds (the default: when NEW's .ver was written)");
  command->add_flag("--dry-run", options->dryRun,
                    "Print the entries in order of application; write nothing");
  command->add_flag("--json", options->json, "Print one JSON document");
  command->add_flag("-f,--force", options->force, "Replace an existing output file");
}

}  // namespace patchkit
}  // namespace qlmr
