#include "patch/control_list.h"

#include "base/file_util.h"
#include "base/path.h"
#include "base/strings.h"
#include "patch/patch_format.h"

namespace qlmr {

std::vector<PatchEntry> ParseControlList(const char* text) {
  std::vector<PatchEntry> entries;
  std::vector<std::string> lines;
  SplitString(text, &lines, patch_format::kLineSeparators, true, true);
  std::vector<std::string> fields;
  for (const std::string& line : lines) {
    SplitString(line.c_str(), &fields, patch_format::kFieldSeparator, true, false);
    if (static_cast<int>(fields.size()) < patch_format::kMinimumFields) continue;
    PatchEntry entry;
    entry.op = ParseDecimal(fields[0].c_str());
    entry.packName = fields[1];
    entry.fileName = fields[2];
    entry.compressType = ParseDecimal(fields[3].c_str());
    // A field without any hexadecimal digit leaves the size at 0.
    ParseHex8(fields[4].c_str(), &entry.contentSize);
    entries.push_back(entry);
  }
  return entries;
}

const std::string* FindUnsafeName(const std::vector<PatchEntry>& entries) {
  for (const PatchEntry& entry : entries) {
    if (!entry.packName.empty()) {
      if (!IsSafeRelativeName(entry.packName)) return &entry.packName;
    } else if (!IsSafeRelativeName(entry.fileName)) {
      return &entry.fileName;
    }
  }
  return nullptr;
}

void MergeEntry(PatchTables* tables, const PatchEntry& entry, const std::string& packExtension) {
  std::string nameKey = NormalizeName(entry.fileName);
  if (!entry.packName.empty()) {
    tables->packEntries[NormalizeName(entry.packName)][nameKey] = entry;
    return;
  }
  tables->looseEntries[nameKey] = entry;
  if (PathExtension(nameKey) == packExtension) tables->packEntries.erase(nameKey);
}

}  // namespace qlmr
