// Making patch packages: the release team's side of the format. The updater
// itself only reads packages.
//
// A package is built from a list of lines "op|packName|fileName|compressType"
// (a fifth field, if present, is ignored) and a root folder that holds the
// new files: the data of a loose write is root\fileName, that of a pack-bound
// write root\packName\fileName, unless the line names its own data file
// (PackageData). The builder writes a deflated zip with the
// data and the control list "(command)", each contentSize filled in, and then
// gives it the package form:
//   - masked: pack-bound data encoded with the codec of its compressType
//     first, the whole zip masked by position;
//   - packed: data kept plain, the zip turned into the packed form.
//
// Failures are reported through base/error.h and return false. Functions of
// this unit are used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patch/patch_package.h"
#include "patch/zip_writer.h"

namespace qlmr {

// One line of a build list.
struct PackageLine {
  int32_t op = ENTRY_OP_WRITE;
  std::string packName;  // empty for a loose file
  std::string fileName;
  int32_t compressType = 0;
};

// The zip method inside a packed package: stored, so that the LZMA layer
// around the container sees the data itself. Measured on a release of game-
// like data (bench/packed_bench.cpp) it gives a smaller package that takes
// no more processor time to apply than deflated entries.
constexpr ZipMethod kPackedZipMethod = ZipMethod::kStore;

// Where the data of a line's write comes from when it is not below the root
// folder.
struct PackageData {
  std::string path;  // the data file; empty: the one below the root folder
  // Pack-bound, masked kind only: the file holds the bytes as the pack
  // archive stores them, already encoded with compressType, and contentSize
  // is their decoded length. Taken over as they are.
  bool storedForm = false;
  uint32_t contentSize = 0;
};

// Reads a build list (CP936 text, lines ending in any mix of CR and LF,
// empty lines skipped). Fails with ERR_ACCESS "File=%s, WinErr=%d" (open),
// ERR_READ "WinErr=%d", ERR_NO_MEMORY "Size=%llu" (a list larger than an
// entry may be) or ERR_BAD_DATA "line %d: %s" (a line of fewer than four
// fields, or a name that could leave the installation folder).
bool ReadPackageList(const char* path, std::vector<PackageLine>* lines);
// ReadPackageList in two steps, for a reader that converts the text between
// them: the file's bytes (its read failures), then the lines of CP936 text
// (ERR_BAD_DATA "line %d: %s").
bool ReadPackageListText(const char* path, std::string* text);
bool ParsePackageList(const std::string& text, std::vector<PackageLine>* lines);

// Builds a package of `kind` (PATCH_KIND_MASKED_ZIP or PATCH_KIND_PACKED) at
// `output`, replacing a file there. Later lines for the same target replace
// earlier ones in the container, as they do in the control list. `data`, if
// given, holds one element per line.
//
// Before anything is written it refuses a package that would fail part way
// through an apply: a pack-bound "(list)" with a line longer than a list
// line may be (ERR_INVALID), and, in a packed package, pack-bound files of
// type 2 or 3 that their codec cannot encode, all of them named (ERR_CODEC).
// Other failures: ERR_INVALID (bad arguments or kind, a storedForm line that
// is loose or in a packed package, a compressType without a codec);
// ERR_BAD_DATA "%s" (a line whose data would take the control list's name);
// ERR_ACCESS "File=%s, WinErr=%d", ERR_READ "WinErr=%d" and ERR_NO_MEMORY
// "Size=%llu" (a data file that cannot be opened or read, or is larger than
// an entry may be); ERR_ZIP "ziperr=%d" (libzip's error number); the codecs'
// Encode codes; and those of MaskFileInPlace and ConvertPackageFile. A file
// at `output` stays as it was until the container is written whole; a later
// failure leaves the plain zip there.
bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind, const std::vector<PackageData>* data = nullptr);
// How a package is written beyond its lines and kind.
struct PackageBuildOptions {
  // The zip method of a packed package's container (a masked package is
  // always deflated).
  ZipMethod packedMethod = kPackedZipMethod;
  // Every container member's modification time, in seconds since 1970 UTC,
  // so that the same input makes the same bytes; negative: each member's
  // own (its data file's, or the clock's).
  int64_t memberTime = -1;
  // The caller proves otherwise that the updater's codecs encode the
  // pack-bound data of a packed package (it applies the package with the
  // updater's own code before handing it out): the check here, which
  // encodes every such file once more, is left out.
  bool encodingsProven = false;
};
// The same with options; the one above uses the defaults.
bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind, const std::vector<PackageData>* data,
                       const PackageBuildOptions& options);
// The same with the zip method of a packed package's container chosen.
bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind, const std::vector<PackageData>* data,
                       ZipMethod packedMethod);

// The control-list line the builder writes for one entry.
std::string FormatControlLine(const PackageLine& line, uint32_t contentSize);

}  // namespace qlmr
