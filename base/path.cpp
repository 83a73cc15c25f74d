#include "base/path.h"

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

}  // namespace qlmr
