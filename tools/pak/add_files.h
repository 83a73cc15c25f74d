// Adding files to an archive, for `add` and `add-tree`, in two phases:
//
//   1. check: every source is opened and sized (refusals come before any
//      reading), then read once for its CRC and, unless it is stored as it
//      is, encoded. Encoded bytes wait in a temporary file beside the
//      archive, so memory holds one file at a time however large the tree.
//      Every refusal (a name the list cannot hold, a source that cannot be
//      read, one of 2 GiB or more, data the requested codec refuses) comes
//      here, and leaves the archive untouched.
//   2. store: the list is written first, naming the new files, then the
//      files are stored one by one (from the temporary file, or the source
//      itself when stored as it is).
//
// Without a requested type the tool chooses: LZMA, or the file as it is
// where LZMA does not make it smaller. A requested type is obeyed.
//
// Stops: an interrupt request (Ctrl+C, base/platform.h) during the check
// leaves the archive untouched; during the store the file in hand is
// finished. A failure or an interrupt while storing rewrites the list to
// what is stored and closes the archive, so that it verifies. A process
// that ends without that (killed, power cut) leaves a list that names every
// stored file, which `repair` settles.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qlmr {
namespace tools {

// PakWriteOptions::type when the tool chooses per file.
constexpr int kToolChoosesType = -1;

struct PakWriteOptions {
  int type = kToolChoosesType;  // or a compression type, 0 to 255
  bool keepList = true;         // maintain "(list)"
  // Called after each file is stored, with its index among the sources.
  std::function<void(size_t)> afterStored;
};

// Stored name and source path, system form.
using PakSource = std::pair<std::string, std::string>;

// Adds `sources` to the archive at `archive`. Returns the exit code after
// saying any failure in words: kExitSuccess, kExitFailure, or
// kExitInterrupted when an interrupt request stopped it.
int AddFiles(const std::string& archive, const std::vector<PakSource>& sources,
             const PakWriteOptions& options);

// Every file below `folder`, named by its path relative to it with
// backslashes, in name order.
std::vector<PakSource> CollectTree(const std::string& folder);

}  // namespace tools
}  // namespace qlmr
