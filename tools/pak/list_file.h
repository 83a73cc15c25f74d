// The list file "(list)" as the tool keeps it: a first line of free text, the
// entry count, then one "name|SIZE|CRC" line per stored file (hexadecimal,
// eight uppercase digits), every line ending with LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {
namespace tools {

struct ListEntry {
  std::string name;  // as given when the file was added
  uint32_t contentSize = 0;
  uint32_t crc = 0;
};

class ListFile {
 public:
  // Reads an existing list; lines that are not entries are dropped, since
  // the tool rewrites the list whole. The count line is recomputed.
  void Parse(const std::string& text);
  std::string Format() const;

  // Adds or replaces the entry whose name has the same key.
  void Put(const ListEntry& entry);
  // Drops the entry of `name`'s key; false if there is none.
  bool Remove(const std::string& name);
  const std::vector<ListEntry>& entries() const { return entries_; }

 private:
  std::string title_ = "qlmr-pak list";
  std::vector<ListEntry> entries_;
};

// Whether `name` can stand in a list line: not empty, no LF, CR or '|' byte
// (not even as the second byte of a double-byte character, which the
// verifier would split at).
bool IsListableName(const std::string& name);

}  // namespace tools
}  // namespace qlmr
