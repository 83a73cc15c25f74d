// The commands of qlmr-pak. Each returns the tool's exit code and, on
// failure, has printed "error <code>: <message>". Names and paths are the
// system's names (code page 936).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qlmr {
namespace tools {

struct PakWriteOptions {
  uint8_t type = 0;      // compression type the tool encodes with
  bool keepList = true;  // maintain "(list)"
};

// Stored name and source path. Add and add-tree read, check and encode every
// source before they change the archive, so that a refused file (an
// unlistable name, an unreadable file, data the codec refuses) leaves it
// as it was.
using PakSource = std::pair<std::string, std::string>;

int PakCreate(const std::string& archive, const PakWriteOptions& options);
int PakAdd(const std::string& archive, const std::vector<PakSource>& sources,
           const PakWriteOptions& options);
// Every file below `folder`, named by its relative path with backslashes.
int PakAddTree(const std::string& archive, const std::string& folder,
               const PakWriteOptions& options);
int PakRemove(const std::string& archive, const std::vector<std::string>& names,
              const PakWriteOptions& options);
// One line per stored file under a header line: content size, stored size,
// type and CRC, the CRC taken from the list file ("-" for unlisted files).
// With `check` every file is decoded, its CRC shown, and a column tells
// whether it agrees with the list; any disagreement fails with code 2.
// With `json`, a JSON array of {name, contentSize, storedSize, type, crc}
// (crc null when unknown) with "check" added when checking.
int PakList(const std::string& archive, bool check = false, bool json = false);
int PakCat(const std::string& archive, const std::string& name);
int PakExtract(const std::string& archive, const std::string& folder);
// With `json`, the result (or the failure) as one JSON document.
int PakVerify(const std::string& archive, bool json = false);
int PakInfo(const std::string& archive);

}  // namespace tools
}  // namespace qlmr
