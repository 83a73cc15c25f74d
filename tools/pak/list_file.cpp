#include "tools/pak/list_file.h"

#include <cstdio>

#include "base/file_util.h"
#include "base/strings.h"

namespace qlmr {
namespace tools {

void ListFile::Parse(const std::string& text) {
  entries_.clear();
  std::vector<std::string> lines;
  SplitString(text.c_str(), &lines, "\n", false, false);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (i == 0) {
      if (!line.empty()) title_ = line;
      continue;
    }
    if (i == 1) continue;
    std::vector<std::string> fields;
    ListEntry entry;
    if (SplitString(line.c_str(), &fields, "|", false, false) == 3 && !fields[0].empty() &&
        ParseHex8(fields[1].c_str(), &entry.contentSize) &&
        ParseHex8(fields[2].c_str(), &entry.crc)) {
      entry.name = fields[0];
      Put(entry);
    }
  }
}

std::string ListFile::Format() const {
  std::string text = title_ + "\n" + std::to_string(entries_.size()) + "\n";
  for (const ListEntry& entry : entries_) {
    char fields[24];
    snprintf(fields, sizeof fields, "|%08X|%08X\n", static_cast<unsigned>(entry.contentSize),
             static_cast<unsigned>(entry.crc));
    text += entry.name + fields;
  }
  return text;
}

void ListFile::Put(const ListEntry& entry) {
  std::string key = NormalizeName(entry.name);
  for (ListEntry& existing : entries_) {
    if (NormalizeName(existing.name) == key) {
      existing = entry;
      return;
    }
  }
  entries_.push_back(entry);
}

bool ListFile::Remove(const std::string& name) {
  std::string key = NormalizeName(name);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (NormalizeName(entries_[i].name) == key) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

bool IsListableName(const std::string& name) {
  return !name.empty() && name.find_first_of("\n\r|") == std::string::npos;
}

}  // namespace tools
}  // namespace qlmr
