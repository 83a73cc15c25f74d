#include "pack/pack_list_file.h"

#include <cstdio>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/strings.h"

namespace qlmr {
namespace {

// The key that Put and Lookup agree on: the archive's own key.
std::string KeyOf(const std::string& name) { return NormalizeName(name); }

// Why `name` cannot stand in a list line, or null when it can.
const char* UnlistableReason(const std::string& name) {
  if (name.empty() || name.find_first_of("\n\r|") != std::string::npos) {
    return "LF, CR and | cannot be listed";
  }
  if (KeyOf(name) == kPackListFileName) return "the list file's own name";
  if (PackListLineLength(name.size()) > kPackListMaxLineLength) {
    static_assert(kPackListMaxLineLength == 1038, "the reason names the limit");
    return "its list line would be longer than 1038 bytes";
  }
  return nullptr;
}

}  // namespace

bool CheckPackListName(const std::string& name) {
  const char* reason = UnlistableReason(name);
  if (reason == nullptr) return true;
  // The reason first: a long name would cut it off the message.
  ReportError(ERR_INVALID, "%s: name=%s", reason, name.c_str());
  return false;
}

bool CheckPackListText(const std::string& text) {
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    if (length > 0 && text[end - 1] == '\r') --length;
    if (length > kPackListMaxLineLength) {
      ReportError(ERR_INVALID, "(list) line %d: %zu bytes, at most %u", number, length,
                  kPackListMaxLineLength);
      return false;
    }
    start = next;
  }
  return true;
}

void PackListFile::Parse(const std::string& text) {
  entries_.clear();
  droppedLines_ = 0;
  std::vector<std::string> lines;
  SplitString(text.c_str(), &lines, "\n", false, false);
  std::vector<std::string> fields;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string& line = lines[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (i == 0) {
      if (!line.empty()) title_ = line;
      continue;
    }
    if (i == 1) continue;
    if (line.empty() && i + 1 == lines.size()) break;  // after the last LF
    PackListEntry entry;
    if (SplitString(line.c_str(), &fields, "|", false, false) == 3 &&
        UnlistableReason(fields[0]) == nullptr &&
        ParseHex8(fields[1].c_str(), &entry.contentSize) &&
        ParseHex8(fields[2].c_str(), &entry.crc)) {
      entry.name = fields[0];
      entries_[KeyOf(entry.name)] = entry;
    } else {
      ++droppedLines_;
    }
  }
}

std::string PackListFile::Serialize() const {
  std::string text = title_ + "\n" + std::to_string(entries_.size()) + "\n";
  text.reserve(text.size() + entries_.size() * 48);
  for (const auto& keyed : entries_) {
    const PackListEntry& entry = keyed.second;
    char fields[24];
    snprintf(fields, sizeof fields, "|%08X|%08X\n", static_cast<unsigned>(entry.contentSize),
             static_cast<unsigned>(entry.crc));
    text += entry.name;
    text += fields;
  }
  return text;
}

const PackListEntry* PackListFile::Lookup(const std::string& name) const {
  auto found = entries_.find(KeyOf(name));
  return found == entries_.end() ? nullptr : &found->second;
}

bool PackListFile::Put(const PackListEntry& entry) {
  if (!CheckPackListName(entry.name)) return false;
  entries_[KeyOf(entry.name)] = entry;
  return true;
}

bool PackListFile::Remove(const std::string& name) { return entries_.erase(KeyOf(name)) != 0; }

}  // namespace qlmr
