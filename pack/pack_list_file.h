// The list file "(list)" that whoever fills an archive stores in it: a first
// line of free text, the number of entries, then one line per stored file,
// "name|SIZE|CRC" with the content size and the CRC of the decoded content
// as eight uppercase hexadecimal digits. Every line the writer makes ends
// with LF. The archive library itself never writes it; Verify reads it.
//
// PackListFile holds the entries by key (the normalised name), so that a
// lookup, an insertion or a removal costs the logarithm of the number of
// entries, and serializes them in key order.
//
// Failures are reported through base/error.h. An object is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "pack/pack_format.h"

namespace qlmr {

struct PackListEntry {
  std::string name;  // as the writer gave it; any form of the key
  uint32_t contentSize = 0;
  uint32_t crc = 0;
};

// Bytes of the list line of a stored file named `name`, without its LF.
constexpr size_t PackListLineLength(size_t nameLength) { return nameLength + 18; }

// Whether `name` can stand in a list line that Verify reads back: not empty,
// no LF, CR or '|' byte (not even as the second byte of a double-byte
// character, since the verifier splits bytes), not the list file's own name,
// and a line of at most kPackListMaxLineLength bytes. False with
// ERR_INVALID, "<reason>: name=<name>".
bool CheckPackListName(const std::string& name);

// Whether every line of a list's `text` (CR before LF not counted) is at
// most kPackListMaxLineLength bytes long, for writers that store a list they
// did not make. False with ERR_INVALID, naming the first long line.
bool CheckPackListText(const std::string& text);

class PackListFile {
 public:
  using Entries = std::map<std::string, PackListEntry>;  // by key

  // Reads a list's text. Lines that are not entries (too few or too many
  // fields, a field that is not hexadecimal, an unlistable name) are dropped
  // and counted, since a writer rewrites the list whole; the count line is
  // not trusted. A later line of a key replaces an earlier one. The first
  // line is kept as the title when it is not empty.
  void Parse(const std::string& text);
  // The text: title, count, one line per entry in key order, each with LF.
  std::string Serialize() const;

  // The entry of `name`'s key, or null.
  const PackListEntry* Lookup(const std::string& name) const;
  // Adds the entry, or replaces the one of its key. False, with the list
  // unchanged, when CheckPackListName refuses the name.
  bool Put(const PackListEntry& entry);
  // Drops the entry of `name`'s key; false (no error recorded) if none.
  bool Remove(const std::string& name);

  const Entries& entries() const { return entries_; }
  size_t size() const { return entries_.size(); }
  // Lines Parse dropped.
  size_t droppedLines() const { return droppedLines_; }
  const std::string& title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }

 private:
  std::string title_ = "qlmr-pak list";
  Entries entries_;
  size_t droppedLines_ = 0;
};

}  // namespace qlmr
