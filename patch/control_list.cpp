#include "patch/control_list.h"

#include <strings.h>

#include "base/file_util.h"
#include "base/path.h"
#include "base/strings.h"
#include "patch/patch_format.h"

namespace qlmr {
namespace {

// Components of a relative name, split at separators that are not the trail
// byte of a double-byte character, as the file system splits it.
std::vector<std::string> SplitComponents(const std::string& name) {
  std::vector<std::string> components(1);
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(c) && i + 1 < name.size()) {
      components.back() += name.substr(i, 2);
      ++i;
    } else if (IsSeparator(name[i])) {
      components.emplace_back();
    } else {
      components.back() += name[i];
    }
  }
  return components;
}

bool IsReservedDeviceName(const std::string& component) {
  // A device name stays a device with any extension: "nul.txt" is NUL.
  std::string base = component.substr(0, component.find('.'));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (strcasecmp(base.c_str(), device) == 0) return true;
  }
  if (base.size() == 4 &&
      (strncasecmp(base.c_str(), "COM", 3) == 0 || strncasecmp(base.c_str(), "LPT", 3) == 0)) {
    return base[3] >= '1' && base[3] <= '9';
  }
  return false;
}

}  // namespace

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

bool IsSafeRelativeName(const std::string& name) {
  // The join drops one leading separator, so "\\bin\\a.txt" stays below the
  // folder; a second one would start a network path.
  size_t start = !name.empty() && IsSeparator(name[0]) ? 1 : 0;
  if (name.size() == start || IsSeparator(name[start])) return false;  // the folder itself
  for (const std::string& component : SplitComponents(name.substr(start))) {
    if (component.empty()) continue;                             // "a\\\\b" names "a\\b" everywhere
    if (component.find(':') != std::string::npos) return false;  // drive, stream
    char last = component.back();
    if (last == '.' || last == ' ') return false;  // ".", "..", and names Windows trims
    if (IsReservedDeviceName(component)) return false;
  }
  return true;
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
