// The commands of qlmr-pak. Each returns the tool's exit code and, on
// failure, has printed "error <code>: <message>". Names and paths are the
// system's names (code page 936).
//
// Codes: besides the ones named below, a command passes on those of the
// archive calls it makes (pack/pack_archive.h): Open or Create, OpenFile and
// stream reads of "(list)" and of the files it reads, AddFile, RemoveFile and
// Close. A command that changes the archive stops at its first failure but
// still writes "(list)" (while the archive takes changes) and closes it, so
// what it stored or removed before stays so and is listed. The first failure
// is the one printed.
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
// source before they change the archive, so that a refused file leaves it as
// it was: ERR_INVALID (a name CheckPackListName refuses; without a list, an
// empty name "name=%s"), ERR_ACCESS or ERR_READ "File=%s, WinErr=%d" (a
// source that cannot be opened or read), ERR_NO_BLOCK "File=%s, size too
// large" (4 GiB or more), ERR_NO_CODEC "CompressType=%d", or the codec's
// Encode code with "File=%s, <the codec's message>".
using PakSource = std::pair<std::string, std::string>;

int PakCreate(const std::string& archive, const PakWriteOptions& options);
int PakAdd(const std::string& archive, const std::vector<PakSource>& sources,
           const PakWriteOptions& options);
// Every file below `folder`, named by its relative path with backslashes.
// ERR_NOT_FOUND "%s" when `folder` is no folder; otherwise as PakAdd.
int PakAddTree(const std::string& archive, const std::string& folder,
               const PakWriteOptions& options);
// A name that is not stored ends it with RemoveFile's ERR_NOT_FOUND.
int PakRemove(const std::string& archive, const std::vector<std::string>& names,
              const PakWriteOptions& options);
// One line per stored file under a header line: content size, stored size,
// type and CRC, the CRC taken from the list file ("-" for unlisted files).
// With `check` every file is decoded, its CRC shown, and a column tells
// whether it agrees with the list; any disagreement fails with ERR_BAD_DATA
// "%zu stored files differ from the list". A file that cannot be decoded is
// shown as "unreadable" with CRC "?" and fails the listing with ERR_BAD_DATA
// "%zu stored files cannot be read, %zu differ from the list".
// With `json`, a JSON array of {name, contentSize, storedSize, type, crc}
// (crc null when unknown) with "check" added when checking.
int PakList(const std::string& archive, bool check = false, bool json = false);
// Writes a stored file to standard output; ERR_WRITE "stdout" when that
// refuses the bytes.
int PakCat(const std::string& archive, const std::string& name);
// Writes every stored file below `folder`. Fails with ERR_INVALID "name=%s
// (leaves the folder)" or "name=%s (the archive itself)" before writing such
// a file, ERR_ACCESS "File=%s, WinErr=%d" (a folder or file that cannot be
// created) or ERR_WRITE "File=%s, WinErr=%d"; the files written before stay,
// the one being written may be cut short.
int PakExtract(const std::string& archive, const std::string& folder);
// With `json`, the result (or the failure) as one JSON document.
int PakVerify(const std::string& archive, bool json = false);
int PakInfo(const std::string& archive);

}  // namespace tools
}  // namespace qlmr
