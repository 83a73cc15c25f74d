#include "base/strings.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace qlmr {

int SplitString(const char* text, std::vector<std::string>* tokens, const char* delimiter,
                bool anyOf, bool skipEmpty) {
  tokens->clear();
  if (text == nullptr || text[0] == '\0') return 0;
  const char* delim = delimiter == nullptr ? "" : delimiter;
  size_t delim_length = strlen(delim);
  const char* start = text;
  const char* cursor = text;
  auto emit = [&](const char* end) {
    if (end > start || !skipEmpty) tokens->emplace_back(start, end);
  };
  while (*cursor != '\0') {
    size_t separator_length = 0;
    if (anyOf) {
      if (delim_length > 0 && strchr(delim, *cursor) != nullptr) separator_length = 1;
    } else if (delim_length > 0 && strncmp(cursor, delim, delim_length) == 0) {
      separator_length = delim_length;
    }
    if (separator_length == 0) {
      ++cursor;
      continue;
    }
    emit(cursor);
    cursor += separator_length;
    start = cursor;
  }
  emit(cursor);
  return static_cast<int>(tokens->size());
}

int32_t ParseDecimal(const char* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // The magnitude stops growing at 2^31, enough to saturate either sign.
  constexpr uint32_t kLimit = uint32_t{1} << 31;
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uint32_t digit = static_cast<uint32_t>(*p - '0');
    value = value > (kLimit - digit) / 10u ? kLimit : value * 10u + digit;
  }
  if (negative) return value >= kLimit ? INT32_MIN : -static_cast<int32_t>(value);
  return value >= kLimit ? INT32_MAX : static_cast<int32_t>(value);
}

bool ParseHex8(const char* text, uint32_t* value) {
  if (text == nullptr) return false;
  unsigned int parsed = 0;
  if (sscanf(text, "%08X", &parsed) != 1) return false;
  *value = parsed;
  return true;
}

}  // namespace qlmr
