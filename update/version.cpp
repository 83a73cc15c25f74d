#include "update/version.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/strings.h"

namespace qlmr {
namespace {

constexpr size_t kMaxLanguageLength = 127;

}  // namespace

VersionInfo ParseVersion(const char* text) {
  std::vector<std::string> tokens;
  SplitString(text, &tokens, ".", true, true);
  while (tokens.size() < 4) tokens.emplace_back("0");
  VersionInfo info;
  info.language = tokens[0].substr(0, kMaxLanguageLength);
  for (char& c : info.language) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  char number[64];
  snprintf(number, sizeof number, "%05d.%05d.%05d", ParseDecimal(tokens[1].c_str()),
           ParseDecimal(tokens[2].c_str()), ParseDecimal(tokens[3].c_str()));
  info.number = number;
  return info;
}

int CompareVersions(const VersionInfo& a, const VersionInfo& b) {
  if (a.language != b.language) return VERSION_OTHER_LANGUAGE;
  int order = strcmp(a.number.c_str(), b.number.c_str());
  if (order == 0) return VERSION_EQUAL;
  return order < 0 ? VERSION_OLDER : VERSION_NEWER;
}

}  // namespace qlmr
