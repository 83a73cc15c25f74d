// The patch between two installations: what turns OLD (the installed
// version) into NEW (the version to reach), written as a patch package and
// proven on a scratch copy before it is handed out.
//
// What is compared:
//   - loose files, by their normalized names (the installation is blind to
//     ASCII case): added or changed ones (size, then content) become writes,
//     gone ones deletions. Folders follow their files.
//   - the version file ".ver" of NEW is always written, and last.
//   - pack archives (extension "pak", any case) present in both trees are
//     compared stored file by stored file, by name and decoded content, the
//     names taken from each archive's list file. A changed compression type is
//     a change. Each archive then gets whichever is smaller in the patch:
//     its per-file entries (their stored, i.e. encoded, bytes plus what each
//     entry costs in the container and the control list) or its whole NEW
//     file (stored bytes and free extents, plus its header and tables as the
//     container's deflate shrinks them).
//     An archive that cannot be compared file by file (no list file, stored
//     files the list does not name, not readable as an archive) is replaced
//     whole. An archive only in NEW is written whole, one only in OLD deleted.
//
// Failures are reported through base/error.h and return false. Reading
// files fails with ERR_ACCESS "File=%s, WinErr=%d" (open), ERR_ACCESS
// "Path=%s, WinErr=%d" (listing a folder) or ERR_READ "File=%s, WinErr=%d";
// reading stored files with the pack archive's OpenFile, Read and
// ReadFileData codes, or ERR_READ "%s" for a short read without a report.
//
// Threads: a call runs its comparisons on two threads of its own; the calls
// themselves are made from one thread at a time.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "patch/package_builder.h"
#include "patch/patch_package.h"

namespace qlmr {
namespace patchkit {

// How one pack archive of the two trees reaches its state in NEW.
enum class PackPlan {
  kPerFile,  // pack-bound deletions and writes (none when nothing changed)
  kWhole,    // NEW's archive written whole
  kAdded,    // only in NEW: written whole
  kRemoved,  // only in OLD: deleted
};

const char* PackPlanName(PackPlan plan);

struct PackSummary {
  std::string name;  // the archive's path in NEW (in OLD when removed)
  PackPlan plan = PackPlan::kPerFile;
  std::string reason;   // why this plan, in a few words
  uint32_t writes = 0;  // stored files written (the list file included)
  uint32_t deletions = 0;
  uint64_t writeBytes = 0;    // data bytes the entries carry: stored bytes, or the whole file
  bool listWritten = false;   // per-file: the new list file is among the writes
  uint64_t perFileBytes = 0;  // the two measures compared (0 when not compared)
  uint64_t wholeBytes = 0;
};

struct DiffSummary {
  uint32_t looseWrites = 0;  // the version file and whole archives not included
  uint64_t looseWriteBytes = 0;
  uint32_t looseDeletions = 0;
  uint32_t wholePackWrites = 0;
  uint64_t wholePackBytes = 0;
  uint32_t wholePackDeletions = 0;
  uint64_t versionBytes = 0;
  std::vector<PackSummary> packs;  // every archive of either tree, by normalized name
};

// One line of the patch's control list with where its data comes from.
struct DiffEntry {
  PackageLine line;
  // Writes: the loose file's path in NEW, or the stored file's name in NEW's
  // archive line.packName.
  std::string source;
  uint64_t bytes = 0;        // the data's size: the file's, or the stored (encoded) size
  uint32_t contentSize = 0;  // pack-bound writes: the decoded size
};

struct TreeDiff {
  std::string oldRoot;
  std::string newRoot;
  std::vector<DiffEntry> entries;  // whole archives, pack-bound, loose, ".ver" last
  DiffSummary summary;
  // Normalized names of the loose files of each tree (archives included),
  // for the self-check.
  std::set<std::string> oldNames;
  std::set<std::string> newNames;
};

// Compares the installations in the folders `oldRoot` and `newRoot`. Shows
// progress on a terminal. Fails with ERR_INVALID "Path=%s (not a folder)",
// ERR_DUPLICATE "File=%s, File=%s" (two names in one tree that differ only in
// ASCII case), ERR_NOT_FOUND "%s" (no ".ver" in NEW), ERR_BAD_DATA "File=%s
// (cannot stand in the control list)" or "File=%s (not a safe relative
// name)", or the read failures above. An archive that cannot be opened is
// no failure: it is replaced whole.
bool DiffInstallations(const std::string& oldRoot, const std::string& newRoot, TreeDiff* diff);

// The control list "(command)" the patch of `diff` carries.
std::string ControlListText(const TreeDiff& diff);

// The steps the patch of `diff` takes when applied, found without its data:
// a package holding only the control list is made in the temporary folder,
// opened and removed. Fails with ERR_ACCESS "Path=%s, WinErr=%d" (no
// temporary file), the zip writer's codes or OpenPackage's.
bool PlanPatch(const TreeDiff& diff, std::vector<PatchStep>* steps);

// What the self-check did, for the report.
struct SelfCheck {
  std::string method;          // how the check was made
  uint32_t filesCompared = 0;  // loose files and stored files compared with NEW
};

// Builds the patch of `diff` as a package of `kind` (PATCH_KIND_MASKED_ZIP or
// PATCH_KIND_PACKED) under a temporary name beside `output`, applies it to a
// scratch copy of the parts of OLD it changes in place, compares the result
// with NEW, and only then moves it to `output`. Fails with ERR_INVALID
// (empty `output`, another kind), ERR_ACCESS "Path=%s, WinErr=%d" (a scratch
// folder), ERR_ACCESS "File=%s, WinErr=%d" (the temporary file beside
// `output`, a staged data file, or a folder of the scratch copy), ERR_WRITE "File=%s, WinErr=%d"
// (staging data, copying an archive of OLD to the scratch copy, or moving the patch to `output`),
// ERR_BAD_DATA "self-check: %s" (the applied patch does not reproduce NEW), the read failures
// above, and the codes of the pack archive's Open, BuildPatchPackage, OpenPackage and ApplyPackage.
// On failure no file is left at `output` by this call (one that was there stays).
bool WritePatch(const TreeDiff& diff, const std::string& output, PatchKind kind, SelfCheck* check);

}  // namespace patchkit
}  // namespace qlmr
