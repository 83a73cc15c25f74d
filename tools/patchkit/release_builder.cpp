#include "tools/patchkit/release_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "tools/json_output.h"
#include "tools/patchkit/diff_support.h"
#include "tools/patchkit/step_listing.h"
#include "tools/tool_support.h"
#include "update/carrier.h"
#include "update/install_folder.h"
#include "update/version.h"

namespace qlmr {
namespace patchkit {
namespace {

// A tree's version as the updater reads it, and its text without the line end
// for the carrier.
struct TreeVersion {
  VersionInfo parsed;
  std::string text;
};

bool ReadTreeVersion(const std::string& root, TreeVersion* version) {
  UpdateState state;
  if (!ReadLocalVersion(root, false, &state)) {
    ReportError(ERR_NOT_FOUND, "%s", JoinPath(root, kVersionFileName).c_str());
    return false;
  }
  version->parsed = state.localVersion;
  version->text = state.localVersionText;
  while (!version->text.empty() && (version->text.back() == '\n' || version->text.back() == '\r')) {
    version->text.pop_back();
  }
  return true;
}

struct VersionNumbers {
  int major = 0;
  int minor = 0;
  int build = 0;
};

VersionNumbers NumbersOf(const VersionInfo& version) {
  VersionNumbers numbers;
  sscanf(version.number.c_str(), "%d.%d.%d", &numbers.major, &numbers.minor, &numbers.build);
  return numbers;
}

bool Older(const VersionInfo& a, const VersionInfo& b) {
  return CompareVersions(a, b) == VERSION_OLDER;
}

bool RangeFailure(const std::string& version, const std::string& why) {
  ReportError(ERR_INVALID, "Version=%s (%s)", version.c_str(), why.c_str());
  return false;
}

// Decides the range: every OLD of NEW's language and older than NEW; "from"
// not below the lowest OLD and the version of one; no build missing between
// the versions in range within a major.minor line. Marks the OLDs below
// "from" as out of range.
bool DecideRange(const ReleaseRequest& request, const std::vector<TreeVersion>& oldVersions,
                 const TreeVersion& newVersion, ReleaseResult* result) {
  const TreeVersion* lowest = nullptr;
  for (size_t i = 0; i < oldVersions.size(); ++i) {
    const TreeVersion& old = oldVersions[i];
    int order = CompareVersions(old.parsed, newVersion.parsed);
    if (order == VERSION_OTHER_LANGUAGE) {
      return RangeFailure(
          old.text, request.oldRoots[i] + " is of another language than NEW's " + newVersion.text);
    }
    if (order != VERSION_OLDER) {
      return RangeFailure(old.text,
                          request.oldRoots[i] + " is not older than NEW's " + newVersion.text);
    }
    if (lowest == nullptr || Older(old.parsed, lowest->parsed)) lowest = &old;
  }
  TreeVersion from = *lowest;
  if (!request.from.empty()) {
    from.text = request.from;
    from.parsed = ParseVersion(request.from.c_str());
    if (CompareVersions(from.parsed, newVersion.parsed) == VERSION_OTHER_LANGUAGE) {
      return RangeFailure(from.text, "not the language of NEW's " + newVersion.text);
    }
    if (Older(from.parsed, lowest->parsed)) {
      return RangeFailure(from.text, "below the lowest verified tree, " + lowest->text);
    }
    if (!Older(from.parsed, newVersion.parsed)) {
      return RangeFailure(from.text, "not older than NEW's " + newVersion.text);
    }
  }
  std::vector<const TreeVersion*> chain;
  bool fromVerified = false;
  for (size_t i = 0; i < oldVersions.size(); ++i) {
    result->olds[i].inRange = !Older(oldVersions[i].parsed, from.parsed);
    if (!result->olds[i].inRange) continue;
    chain.push_back(&oldVersions[i]);
    fromVerified =
        fromVerified || CompareVersions(oldVersions[i].parsed, from.parsed) == VERSION_EQUAL;
  }
  if (!fromVerified) {
    return RangeFailure(from.text, "no tree given has it, so the range would begin unverified");
  }
  chain.push_back(&newVersion);
  std::sort(chain.begin(), chain.end(),
            [](const TreeVersion* a, const TreeVersion* b) { return Older(a->parsed, b->parsed); });
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    VersionNumbers a = NumbersOf(chain[i]->parsed);
    VersionNumbers b = NumbersOf(chain[i + 1]->parsed);
    if (a.major != b.major || a.minor != b.minor) {
      result->notes.push_back("cannot tell whether releases lie between " + chain[i]->text +
                              " and " + chain[i + 1]->text);
      continue;
    }
    if (b.build > a.build + 1) {
      char missing[160];
      snprintf(missing, sizeof missing, "%s.%d.%d.%d", newVersion.parsed.language.c_str(), a.major,
               a.minor, a.build + 1);
      if (b.build > a.build + 2) {
        snprintf(missing + strlen(missing), sizeof missing - strlen(missing), " to %d",
                 b.build - 1);
      }
      return RangeFailure(missing, "in the range from " + from.text + " to " + newVersion.text +
                                       ", and no tree given has it: give it, or narrow --from");
    }
  }
  result->from = from.text;
  result->to = newVersion.text;
  return true;
}

bool CarrierFailure(const std::string& file, const std::string& what) {
  ReportError(ERR_BAD_DATA, "File=%s (%s)", file.c_str(), what.c_str());
  return false;
}

// Reads the carrier back from the written program as the updater will, and
// checks that it holds the range and the patch written, and that the
// updater's own range check takes every verified tree in range.
bool CheckCarrier(const std::string& program, uint64_t offset, const std::string& patch,
                  const std::string& scratch, const std::vector<TreeVersion>& oldVersions,
                  const TreeVersion& newVersion, const ReleaseResult& result) {
  EmbeddedPatch embedded;
  if (!ExtractEmbeddedPatch(program.c_str(), offset, scratch, &embedded)) {
    if (LastErrorCode() == ERR_NONE) return CarrierFailure(program, "no carrier to read back");
    return false;
  }
  if (embedded.fromVersionText != result.from || embedded.toVersionText != result.to) {
    return CarrierFailure(
        program, "carries the range " + embedded.fromVersionText + " to " + embedded.toVersionText);
  }
  bool same = false;
  if (!SameFileContent(embedded.patchPath, patch, &same)) return false;
  if (!same) return CarrierFailure(program, "carries other bytes than the patch");
  for (size_t i = 0; i < oldVersions.size(); ++i) {
    const VersionInfo& local = oldVersions[i].parsed;
    bool taken = CompareVersions(local, embedded.fromVersion) != VERSION_OTHER_LANGUAGE &&
                 !Older(local, embedded.fromVersion) && Older(local, embedded.toVersion);
    if (taken != result.olds[i].inRange) {
      return CarrierFailure(program, "the updater would " +
                                         std::string(taken ? "take " : "refuse ") +
                                         result.olds[i].root + " at " + oldVersions[i].text);
    }
  }
  if (CompareVersions(newVersion.parsed, embedded.toVersion) != VERSION_EQUAL) {
    return CarrierFailure(program, "NEW's version " + newVersion.text + " is not the one it makes");
  }
  return true;
}

}  // namespace

std::string ReleaseReportPath(const std::string& output) {
  std::string name = PathFileName(output);
  std::string extension = PathExtension(name);
  if (!extension.empty()) name.resize(name.size() - extension.size() - 1);
  return JoinPath(PathFolder(output), name + ".release.json");
}

bool BuildRelease(const ReleaseRequest& request, ReleaseResult* result) {
  *result = ReleaseResult();
  if (request.oldRoots.empty() || request.output.empty() || request.updater.empty()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  std::vector<TreeVersion> oldVersions(request.oldRoots.size());
  TreeVersion newVersion;
  for (size_t i = 0; i < request.oldRoots.size(); ++i) {
    if (!ReadTreeVersion(request.oldRoots[i], &oldVersions[i])) return false;
    result->olds.emplace_back();
    result->olds.back().root = request.oldRoots[i];
    result->olds.back().version = oldVersions[i].text;
  }
  if (!ReadTreeVersion(request.newRoot, &newVersion)) return false;
  result->newTree.root = request.newRoot;
  result->newTree.version = newVersion.text;
  if (!DecideRange(request, oldVersions, newVersion, result)) return false;
  result->reportPath = ReleaseReportPath(request.output);
  std::vector<std::string> roots = request.oldRoots;
  roots.push_back(request.newRoot);
  if (!CheckOutsideTrees(roots, request.output) || !CheckOutsideTrees(roots, result->reportPath)) {
    return false;
  }

  // The patch, proven on every OLD in range.
  std::vector<std::string> inRange;
  for (const ReleaseTree& old : result->olds) {
    if (old.inRange) inRange.push_back(old.root);
  }
  ScratchFolder work;
  TreeDiff diff;
  PatchOptions options;
  options.time = request.time;
  PatchReport patchReport;
  std::string patch;
  if (!work.Create("qrl")) return false;
  patch = JoinPath(work.path(), "release.patch");
  if (!DiffInstallations(inRange, request.newRoot, request.kind, &diff, EncodingCheck::kSmall) ||
      !WritePatch(&diff, patch, options, &patchReport) || !SizeOf(patch, &result->patchBytes)) {
    return false;
  }
  result->summary = diff.summary;
  result->entries = static_cast<uint32_t>(diff.entries.size());
  result->time = patchReport.time;
  for (size_t i = 0, checked = 0; i < result->olds.size(); ++i) {
    if (result->olds[i].inRange) result->olds[i].check = patchReport.checks[checked++];
  }

  // The program, beside its destination until everything is checked.
  uint64_t offset = 0;
  std::string folder = PathFolder(request.output);
  if (folder.empty()) folder = ".";
  ReplacingFile program;
  ReplacingFile report;
  if (!program.Create(folder.c_str(), "qrl") || !report.Create(folder.c_str(), "qrr")) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", request.output.c_str(), LastSystemError());
    return false;
  }
  program.file()->Close();
  if (!ReadCarrierOffset(request.updater.c_str(), &offset) ||
      !WriteCarrier(request.updater.c_str(), result->from.c_str(), result->to.c_str(),
                    patch.c_str(), program.tempPath().c_str(), offset) ||
      !CheckCarrier(program.tempPath(), offset, patch, work.path(), oldVersions, newVersion,
                    *result) ||
      !tools::DigestFile(program.tempPath(), &result->program)) {
    return false;
  }
  std::string json = ReleaseReportJson(request, *result);
  if (!report.Write(json.data(), static_cast<uint32_t>(json.size()))) {
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", result->reportPath.c_str(), LastSystemError());
    return false;
  }
  if (!program.Commit(request.output.c_str())) {
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", request.output.c_str(), LastSystemError());
    return false;
  }
  if (!report.Commit(result->reportPath.c_str())) {
    // A program without its report is no release.
    int error = LastSystemError();
    RemoveFileAt(request.output.c_str());
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", result->reportPath.c_str(), error);
    return false;
  }
  return true;
}

std::string ReleaseReportJson(const ReleaseRequest& request, const ReleaseResult& result) {
  tools::Json olds = tools::Json::array();
  for (const ReleaseTree& old : result.olds) {
    tools::Json tree = {{"root", tools::JsonName(old.root)},
                        {"version", tools::JsonText(old.version)},
                        {"inRange", old.inRange}};
    if (old.inRange) {
      tree["selfCheck"] = {
          {"ok", true}, {"filesCompared", old.check.filesCompared}, {"method", old.check.method}};
    }
    olds.push_back(std::move(tree));
  }
  tools::Json notes = tools::Json::array();
  for (const std::string& note : result.notes) notes.push_back(tools::JsonText(note));
  char crc[16];
  snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(result.program.crc32));
  const DiffSummary& s = result.summary;
  tools::Json report = {
      {"ok", true},
      {"range", {{"from", tools::JsonText(result.from)}, {"to", tools::JsonText(result.to)}}},
      {"new",
       {{"root", tools::JsonName(result.newTree.root)},
        {"version", tools::JsonText(result.newTree.version)}}},
      {"old", std::move(olds)},
      {"notes", std::move(notes)},
      {"patch",
       {{"kind", PatchKindName(request.kind)},
        {"bytes", result.patchBytes},
        {"entries", result.entries},
        {"time", result.time},
        {"looseWrites", s.looseWrites},
        {"looseDeletions", s.looseDeletions},
        {"wholeArchiveWrites", s.wholePackWrites},
        {"wholeArchiveDeletions", s.wholePackDeletions}}},
      {"program",
       {{"path", tools::JsonName(request.output)},
        {"updater", tools::JsonName(request.updater)},
        {"bytes", result.program.bytes},
        {"crc32", crc},
        {"sha256", result.program.sha256}}}};
  return report.dump(2, ' ', false, tools::Json::error_handler_t::replace) + "\n";
}

}  // namespace patchkit
}  // namespace qlmr
