// From installations to the players' program in one step: the patch from
// every verified old installation to NEW, its self-check on each, the
// updater that carries it with the range those installations prove, the
// carrier read back and checked, and a release report beside the program.
// Nothing is written at the output unless every check passed.
//
// The range. Each tree's version is the first line of its ".ver". The patch
// claims the range from its "from" version (included) to NEW's (excluded),
// and every version in it must be one a given tree proves: "from" is the
// lowest OLD's unless narrowed, and never below it; within one major.minor
// line the builds from "from" to NEW must follow one another without a
// missing one. Where consecutive versions differ in major or minor number
// the tool cannot tell whether releases lie between; it says so in a note.
//
// Failures are reported through base/error.h and return false; texts are
// code page 936. One thread at a time (WritePatch's current folder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/file_digest.h"
#include "tools/patchkit/tree_diff.h"

namespace qlmr {
namespace patchkit {

struct ReleaseRequest {
  std::vector<std::string> oldRoots;
  std::string newRoot;
  std::string updater;  // the updater program to wrap
  std::string output;   // the program to write
  PatchKind kind = PATCH_KIND_MASKED_ZIP;
  std::string from;   // narrows the range; empty: the lowest OLD's version
  int64_t time = -1;  // PatchOptions::time
};

struct ReleaseTree {
  std::string root;
  std::string version;  // the first line of its ".ver", without the line end
  bool inRange = true;  // OLDs below a narrowed "from" are left out of the patch
  SelfCheck check;      // OLDs in range: the self-check on it
};

struct ReleaseResult {
  std::vector<ReleaseTree> olds;  // in the order given
  ReleaseTree newTree;
  std::string from;  // the range the program carries
  std::string to;
  std::vector<std::string> notes;  // what the tool could not prove about the range
  DiffSummary summary;
  uint32_t entries = 0;  // lines of the patch's control list
  uint64_t patchBytes = 0;
  int64_t time = 0;  // the patch's member time
  tools::FileDigests program;
  std::string reportPath;  // beside the output: "<name>.release.json"
};

// The report's path for a program at `output`: its name without the
// extension, then ".release.json", in the same folder.
std::string ReleaseReportPath(const std::string& output);

// Builds the release. Fails, writing nothing at `output` or the report's
// path, with ERR_NOT_FOUND "%s" (a tree without ".ver"), ERR_INVALID
// "Version=%s (...)" (another language, an OLD not older than NEW, a "from"
// below the lowest OLD, not NEW's language, not older than NEW or no tree's
// version, a gap in the range, which the message names), ERR_BAD_DATA
// "File=%s (...)" (the carrier read back does not hold the patch and range
// written, or the updater would refuse a verified tree), and the codes of
// DiffInstallations, WritePatch, ReadCarrierOffset, WriteCarrier,
// ExtractEmbeddedPatch and DigestFile, or ERR_ACCESS / ERR_WRITE "File=%s,
// WinErr=%d" for the output and the report.
bool BuildRelease(const ReleaseRequest& request, ReleaseResult* result);

// The release report: one JSON document (UTF-8).
std::string ReleaseReportJson(const ReleaseRequest& request, const ReleaseResult& result);

}  // namespace patchkit
}  // namespace qlmr
