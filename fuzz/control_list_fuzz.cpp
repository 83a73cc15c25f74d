// The control list alone: parsed, checked for unsafe names and merged into
// the tables. A list that passes the check must hold safe names only, and
// the tables must hold no more entries than the list had lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/path.h"
#include "patch/control_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qlmr;
  std::string text(reinterpret_cast<const char*>(data), size);  // ends with a zero byte
  std::vector<PatchEntry> entries = ParseControlList(text.c_str());
  if (FindUnsafeName(entries) != nullptr) return 0;
  PatchTables tables;
  for (const PatchEntry& entry : entries) {
    if (!IsSafeRelativeName(entry.fileName) && entry.packName.empty()) {
      fprintf(stderr, "an unsafe loose name passed the check\n");
      abort();
    }
    MergeEntry(&tables, entry, "pak");
  }
  size_t count = tables.looseEntries.size();
  for (const auto& pack : tables.packEntries) count += pack.second.size();
  if (count > entries.size()) {
    fprintf(stderr, "the tables hold more entries than the list\n");
    abort();
  }
  return 0;
}
