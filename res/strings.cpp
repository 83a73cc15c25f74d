#include "res/strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "base/path.h"
#include "base/platform.h"

namespace qlmr {
namespace {

struct Entry {
  int id;
  const char* utf8;
};

constexpr Entry kEntries[] = {
#define QLMR_STRING(id, name, text) {id, text},
#include "res/string_table.inc"
#undef QLMR_STRING
};

const std::map<int, std::string>& Table() {
  static const std::map<int, std::string> table = [] {
    std::map<int, std::string> texts;
    for (const Entry& entry : kEntries) texts[entry.id] = Utf8ToCp936(entry.utf8);
    return texts;
  }();
  return table;
}

// Length of the longest prefix of the `length` bytes of `text` that does not
// end inside a double-byte character.
size_t WholeCharacters(const char* text, size_t length) {
  size_t end = 0;
  while (end < length) {
    size_t width = IsLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
    if (end + width > length) break;
    end += width;
  }
  return end;
}

}  // namespace

const std::string& LoadText(int id) {
  static const std::string empty;
  const auto& table = Table();
  auto found = table.find(id);
  return found == table.end() ? empty : found->second;
}

std::string FormatText(int id, ...) {
  char buffer[kFormattedTextCapacity];
  va_list args;
  va_start(args, id);
  int n = vsnprintf(buffer, sizeof buffer, LoadText(id).c_str(), args);
  va_end(args);
  if (n < 0) return std::string();
  size_t length = strlen(buffer);
  if (static_cast<size_t>(n) > length) length = WholeCharacters(buffer, length);
  return std::string(buffer, length);
}

}  // namespace qlmr
