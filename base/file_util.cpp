#include "base/file_util.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"

namespace qlmr {

bool CreateFolderChain(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (PathExists(path)) return true;
  if (MakeFolder(path)) return true;
  std::string copy(path, strnlen(path, kMaxPath));
  std::string parent = PathFolder(copy);
  // Nothing left to remove: the root itself cannot be created.
  if (parent.empty() || parent == copy) return false;
  if (!CreateFolderChain(parent.c_str())) return false;
  return MakeFolder(path) || IsFolder(path);
}

namespace {

std::string TrimForComparison(const char* path) {
  std::string text(path == nullptr ? "" : path);
  if (text.size() > kMaxPath) text.resize(kMaxPath);
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(' ');
  text = text.substr(first, last - first + 1);
  // One trailing separator goes, but a root ("\\", "/", "C:\\") keeps it.
  bool is_root = text.size() == 1 || (text.size() == 3 && text[1] == ':');
  if (!is_root && LastSeparator(text) == text.size() - 1) text.pop_back();
  return text;
}

// Both systems take a slash for a backslash, so the two compare equal; the
// trail byte of a Chinese character is never case-folded, or two different
// characters would compare equal.
int CompareNames(const std::string& a, const std::string& b) {
  return strcmp(NormalizeName(a).c_str(), NormalizeName(b).c_str());
}

}  // namespace

int ComparePaths(const char* a, const char* b) {
  std::string left = TrimForComparison(a);
  std::string right = TrimForComparison(b);
  if (CompareNames(left, right) == 0) return 0;
  if (IsSameFileObject(left.c_str(), right.c_str())) return 0;
  return CompareNames(ShortPathName(left.c_str()), ShortPathName(right.c_str()));
}

bool PathsNameOneFile(const char* a, const char* b) {
  if (kNamesIgnoreCase) return ComparePaths(a, b) == 0;
  std::string left = TrimForComparison(a);
  std::string right = TrimForComparison(b);
  return left == right || IsSameFileObject(left.c_str(), right.c_str());
}

void NormalizeName(char* out, const char* in, bool lower, bool slash) {
  size_t length = strlen(in);
  memmove(out, in, length + 1);
  if (length == 0 || (!lower && !slash)) return;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (lower && c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c + 0x20);
    } else if (c == '\\') {
      if (slash) out[i] = '/';
    } else if (IsLeadByte(c)) {
      ++i;  // the trail byte stays as it is, whatever it looks like
    }
  }
}

std::string NormalizeName(const std::string& in, bool lower, bool slash) {
  std::string out(in.size(), '\0');
  NormalizeName(&out[0], in.c_str(), lower, slash);
  out.resize(strlen(out.c_str()));
  return out;
}

uint32_t FileSizeOf(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  File file;
  uint64_t size = 0;
  if (!file.Open(path, FileMode::kRead) || !file.Size(&size)) return 0;
  return static_cast<uint32_t>(size);
}

bool OpenForReading(const std::string& path, File* file, uint64_t* size) {
  if (!file->Open(path.c_str(), FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  if (!file->Size(size)) {
    ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  return true;
}

bool AppendFileContent(File* source, File* target, uint64_t* copied) {
  // Large enough that a patch of some hundred megabytes copies quickly.
  constexpr uint32_t kCopyChunk = 1u << 16;
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kCopyChunk]);
  if (chunk == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kCopyChunk);
    return false;
  }
  *copied = 0;
  for (;;) {
    uint32_t got = 0;
    if (!source->Read(chunk.get(), kCopyChunk, &got)) {
      ReportError(ERR_READ, "WinErr=%d", LastSystemError());
      return false;
    }
    if (got == 0) return true;
    if (!target->Write(chunk.get(), got)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return false;
    }
    *copied += got;
  }
}

}  // namespace qlmr
