// The patch between installations: what turns each of one or more OLD
// installations into NEW, written as a patch package and proven on a scratch
// copy of every OLD before it is handed out.
//
// What is compared:
//   - loose files, by their normalized names (the installation is blind to
//     ASCII case): a file is written when some OLD lacks it or holds other
//     bytes (size, then content), deleted when some OLD holds it and NEW does
//     not (a deletion of what an installation lacks does nothing there).
//     Folders follow their files.
//   - the version file ".ver" of NEW is always written, and last.
//   - pack archives (extension "pak", any case) that NEW and every OLD hold
//     are compared stored file by stored file, by name and decoded content,
//     the names taken from each archive's list file. A changed compression
//     type is a change. Each archive then gets whichever is smaller in the
//     patch: its per-file entries over all OLDs (their stored, i.e. encoded,
//     bytes plus what each entry costs in the container and the control
//     list) or its whole NEW file (stored bytes and free extents, plus its
//     header and tables as the container's deflate shrinks them).
//     An archive that cannot be compared file by file (no list file, stored
//     files the list does not name, not readable as an archive), that some
//     OLD lacks, or (in a packed patch) that would hand the updater a stored
//     file its encoder refuses is replaced whole. One only in OLDs is deleted.
//
// Refused, before anything is written: changes no order of entries can
// make (a folder of OLD that NEW has as a file: an apply removes no folder;
// a file of OLD that NEW needs as a folder of an archive, which is written
// before loose files are deleted), names the updater cannot hold (characters
// outside code page 936; longer than any installation folder leaves room
// for), two names in one tree that differ only in case.
//
// Failures are reported through base/error.h and return false. Reading
// files fails with ERR_ACCESS "File=%s, WinErr=%d" (open), ERR_ACCESS
// "Path=%s, WinErr=%d" (listing a folder) or ERR_READ "File=%s, WinErr=%d";
// reading stored files with the pack archive's OpenFile, Read and
// ReadFileData codes.
//
// Threads: a call runs its comparisons on one thread per core; the calls
// themselves are made from one thread at a time, which no other thread
// shares the current folder with while WritePatch runs (its self-check
// applies the patch from inside the scratch copy).
#pragma once

#include <cstdint>
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
  std::vector<std::string> oldRoots;
  std::string newRoot;
  PatchKind kind = PATCH_KIND_MASKED_ZIP;  // the package the entries are planned for
  std::vector<DiffEntry> entries;          // whole archives, pack-bound, loose, ".ver" last
  DiffSummary summary;
};

// The longest loose name a patch may carry: the updater joins it to its
// installation folder within the system's path limit, and no folder is
// shorter than a drive's root ("C:\").
constexpr size_t kMaxInstalledName = 256;

// Compares the installations in the folders `oldRoots` (one or more) with
// the one in `newRoot` and plans a package of `kind` (PATCH_KIND_MASKED_ZIP
// or PATCH_KIND_PACKED). Shows progress on a terminal. Fails with
// ERR_INVALID (no OLD, another kind) or "Path=%s (not a folder)",
// ERR_DUPLICATE "File=%s, File=%s" (two names in one tree that differ only
// in ASCII case), ERR_NOT_FOUND "%s" (no ".ver" in NEW), ERR_BAD_DATA
// "File=%s (...)" for a name that cannot stand in the control list, is no
// safe relative name, is longer than kMaxInstalledName, holds characters
// code page 936 cannot (shown as <U+XXXX>), or a change between a folder
// and a file that no patch can make; or the read failures above. An
// archive that cannot be opened is no failure: it is replaced whole.
//
// A packed patch hands the updater's encoder every stored file it writes
// into an archive; an archive where the encoder refuses one goes whole.
// `check` says which of those files the diff encodes to learn that: all
// (kEvery), or only those of at most kSmallEncodingCheck bytes (kSmall), the
// cheap ones where refusals are common, leaving the rest to WritePatch's
// self-check, which encodes them anyway and makes the archive of one that is
// refused whole. Both give the same patch.
enum class EncodingCheck { kEvery, kSmall };
constexpr uint32_t kSmallEncodingCheck = 64 * 1024;
bool DiffInstallations(const std::vector<std::string>& oldRoots, const std::string& newRoot,
                       PatchKind kind, TreeDiff* diff, EncodingCheck check = EncodingCheck::kEvery);

// Makes `diff` write the archive `packName` (its name in NEW) whole instead
// of per stored file, since the updater's encoder refuses its stored file
// `refusedFile` with `refusal` (as DiffInstallations would have found with
// kEvery). False, without a report, when the diff does not patch that
// archive per stored file.
bool WriteArchiveWhole(TreeDiff* diff, const std::string& packName, const std::string& refusedFile,
                       const std::string& refusal);

// The control list "(command)" the patch of `diff` carries.
std::string ControlListText(const TreeDiff& diff);

// The steps the patch of `diff` takes when applied, found without its data:
// a package holding only the control list is made in the temporary folder,
// opened and removed. Fails with ERR_ACCESS "Path=%s, WinErr=%d" (no
// temporary file), the zip writer's codes or OpenPackage's.
bool PlanPatch(const TreeDiff& diff, std::vector<PatchStep>* steps);

// How WritePatch writes.
struct PatchOptions {
  // The modification time of every member of the container, in seconds
  // since 1970 UTC; negative: the time NEW's version file was written. The
  // same trees and options give the same bytes.
  int64_t time = -1;
};

// Reads a time for PatchOptions: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or
// "YYYY-MM-DDTHH:MM:SS" in UTC (a trailing "Z" allowed), or "@" and seconds
// since 1970. False for anything else, or a date before 1970.
bool ParsePatchTime(const std::string& text, int64_t* seconds);

// What the self-check did on one OLD, for the report.
struct SelfCheck {
  std::string oldRoot;
  std::string method;          // how the check was made
  uint32_t filesCompared = 0;  // loose files and stored files compared with NEW
};

struct PatchReport {
  int64_t time = 0;               // the container members' time used
  std::vector<SelfCheck> checks;  // one per OLD, in the order of diff.oldRoots
};

// Builds the patch of `diff` as a package of diff.kind under a temporary name
// beside `output`, applies it with the updater's own code to a scratch copy
// of every OLD (whole: hard links to the files it leaves alone, copies of
// the archives it changes in place), compares each result with NEW, and
// only then moves it to `output`. Fails with ERR_INVALID (empty `output`,
// another kind) or "File=%s (inside %s)" (`output` lies in one of the
// trees), ERR_ACCESS "Path=%s, WinErr=%d" (a scratch folder, or the time of
// NEW's version file), ERR_ACCESS "File=%s, WinErr=%d" (the temporary file
// beside `output`, a staged data file, or a file of a scratch copy),
// ERR_WRITE "File=%s, WinErr=%d" (staging data, a scratch copy, or moving
// the patch to `output`), ERR_BAD_DATA "self-check on %s: %s" (the applied
// patch does not reproduce NEW from that OLD), the read failures above, and
// the codes of the pack archive's Open, BuildPatchPackage, OpenPackage and
// ApplyPackage (an apply that fails on a scratch copy). On failure no file
// is left at `output` by this call (one that was there stays). When the
// updater's encoder refuses a stored file during the self-check of a packed
// patch, its archive is made whole in `diff` (WriteArchiveWhole) and the
// patch is built again.
bool WritePatch(TreeDiff* diff, const std::string& output, const PatchOptions& options,
                PatchReport* report);

}  // namespace patchkit
}  // namespace qlmr
