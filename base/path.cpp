#include "base/path.h"

#include <strings.h>

#include <vector>

namespace qlmr {

size_t LastSeparator(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
      ++i;
    } else if (IsSeparator(path[i])) {
      last = i;
    }
  }
  return last;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  size_t start = 0;
  while (start < name.size() && IsSeparator(name[start])) ++start;
  if (folder.empty()) return name.substr(start);
  std::string joined = folder;
  if (LastSeparator(joined) != joined.size() - 1) joined += '\\';
  joined.append(name, start, std::string::npos);
  return joined;
}

std::string PathFileName(const std::string& path) {
  size_t sep = LastSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string PathFolder(const std::string& path) {
  size_t sep = LastSeparator(path);
  if (sep == std::string::npos) return std::string();
  if (sep == 0) return path.substr(0, 1);
  if (sep == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, sep);
}

std::string PathExtension(const std::string& path) {
  std::string name = PathFileName(path);
  size_t dot = std::string::npos;
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size()) {
      ++i;
    } else if (name[i] == '.') {
      dot = i;
    }
  }
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

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

bool IsSafeNameText(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || c == ':') return false;
    if (IsLeadByte(c) && i + 1 < text.size()) {
      // A trail byte may look like a backslash, but no control byte is one.
      unsigned char trail = static_cast<unsigned char>(text[++i]);
      if (trail < 0x20 || trail == 0x7F) return false;
    } else if (IsSeparator(text[i])) {
      return false;
    }
  }
  return true;
}

bool IsSafeRelativeName(const std::string& name) {
  // The join drops one leading separator, so "\\bin\\a.txt" stays below the
  // folder; a second one would start a network path.
  size_t start = !name.empty() && IsSeparator(name[0]) ? 1 : 0;
  if (name.size() == start || IsSeparator(name[start])) return false;  // the folder itself
  for (const std::string& component : SplitComponents(name.substr(start))) {
    if (component.empty()) continue;               // "a\\\\b" names "a\\b" everywhere
    if (!IsSafeNameText(component)) return false;  // drive, stream, control byte
    char last = component.back();
    if (last == '.' || last == ' ') return false;  // ".", "..", and names Windows trims
    if (IsReservedDeviceName(component)) return false;
  }
  return true;
}

}  // namespace qlmr
