#include "base/file_util.h"

#include <strings.h>

#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"

namespace qlmr {
namespace {

// Large enough that the CRC and the mask, not the system calls, set the pace.
constexpr uint32_t kChunkSize = 1u << 16;

constexpr uint32_t kTrailerSize = 4;

// Prefix of MaskFileInPlace's temporary copies.
constexpr char kMaskTempPrefix[] = "qmk";

void StoreLittleEndian32(uint32_t value, uint8_t out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t LoadLittleEndian32(const uint8_t in[4]) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace

bool FileCrc(const char* path, uint32_t* crc, bool excludeTrailer) {
  *crc = 0xFFFFFFFFu;
  File file;
  uint64_t size = 0;
  if (!file.Open(path, FileMode::kRead) || !file.Size(&size)) {
    ReportError(ERR_READ, "winErr=%d", LastSystemError());
    return false;
  }
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkSize]);
  uint32_t state = kCrcInit;
  uint64_t total = 0;
  for (;;) {
    uint32_t n = 0;
    if (!file.Read(chunk.get(), kChunkSize, &n)) {
      // A CRC over part of the file would be wrong, not merely incomplete.
      ReportError(ERR_READ, "winErr=%d", LastSystemError());
      return false;
    }
    if (n == 0) break;
    total += n;
    bool last = false;
    if (excludeTrailer && size - total <= kTrailerSize) {
      // Drop the bytes of this chunk that lie in the trailer.
      uint64_t in_trailer = total - size + kTrailerSize;
      n = n <= in_trailer ? 0 : static_cast<uint32_t>(n - in_trailer);
      last = true;
    }
    state = CrcUpdate(state, chunk.get(), n);
    if (last) break;
  }
  *crc = CrcFinish(state);
  return true;
}

bool AppendFileCrc(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ReportError(ERR_INVALID, "");
    return false;
  }
  uint32_t crc = 0;
  if (!FileCrc(path, &crc, false)) return false;
  File file;
  if (!file.Open(path, FileMode::kReadWrite)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  if (!file.SeekToEnd(nullptr)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint8_t trailer[kTrailerSize];
  StoreLittleEndian32(crc, trailer);
  if (!file.Write(trailer, kTrailerSize)) {
    ReportError(ERR_WRITE, "winErr: %d", LastSystemError());
    return false;
  }
  return true;
}

bool CheckFileCrc(const char* path) {
  uint32_t computed = 0;
  if (!FileCrc(path, &computed, true)) return false;
  File file;
  if (!file.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint64_t size = 0;
  if (!file.Size(&size)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  if (size < kTrailerSize) return false;
  if (!file.Seek(size - kTrailerSize)) {
    ReportError(ERR_SEEK, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  uint8_t trailer[kTrailerSize];
  uint32_t got = 0;
  if (!file.Read(trailer, kTrailerSize, &got) || got != kTrailerSize) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  return LoadLittleEndian32(trailer) == computed;
}

bool MaskFileInPlace(const char* path, bool excludeTrailer, bool invert) {
  File source;
  if (!source.Open(path, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
    return false;
  }
  // A name of its own in the temporary folder: two processes rewriting files
  // of the same name must not share one copy.
  std::string temp_path;
  File temp;
  if (!CreateUniqueTempFile(TempFolderPath().c_str(), kMaskTempPrefix, &temp_path) ||
      !temp.Open(temp_path.c_str(), FileMode::kCreate)) {
    int error = LastSystemError();
    if (temp_path.empty()) {
      temp_path = TempFolderPath();
    } else {
      RemoveFileAt(temp_path.c_str());
    }
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", temp_path.c_str(), error);
    return false;
  }
  // Every failure from here on closes both files and deletes the copy; the
  // report is made before, while the system error number is still fresh.
  auto discard = [&] {
    source.Close();
    temp.Close();
    RemoveFileAt(temp_path.c_str());
    return false;
  };
  uint64_t size = 0;
  if (!source.Size(&size)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return discard();
  }
  uint64_t limit = size;
  if (excludeTrailer) {
    if (size <= kTrailerSize) {
      ReportError(ERR_INVALID, "File=%s(too small)", path);
      return discard();
    }
    limit = size - kTrailerSize;
  }
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkSize]);
  uint64_t done = 0;
  while (done < limit) {
    uint32_t n = 0;
    if (!source.Read(chunk.get(), kChunkSize, &n)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return discard();
    }
    if (done + n > limit) n = static_cast<uint32_t>(limit - done);
    if (n == 0) break;
    if (invert) {
      for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(~chunk[i]);
    } else {
      MaskBuffer(chunk.get(), n, static_cast<uint32_t>(done));
    }
    if (!temp.Write(chunk.get(), n)) {
      ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
      return discard();
    }
    done += n;
  }
  // The copy must be on the device before it replaces the original.
  if (!temp.Flush()) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return discard();
  }
  source.Close();
  temp.Close();
  if (!MoveFileReplace(temp_path.c_str(), path)) {
    int error = LastSystemError();
    RemoveFileAt(temp_path.c_str());
    ReportError(ERR_WRITE, "WinErr=%d", error);
    return false;
  }
  return true;
}

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

}  // namespace

int ComparePaths(const char* a, const char* b) {
  std::string left = TrimForComparison(a);
  std::string right = TrimForComparison(b);
  if (strcasecmp(left.c_str(), right.c_str()) == 0) return 0;
  if (IsSameFileObject(left.c_str(), right.c_str())) return 0;
  std::string short_left = ShortPathName(left.c_str());
  std::string short_right = ShortPathName(right.c_str());
  return strcasecmp(short_left.c_str(), short_right.c_str());
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

}  // namespace qlmr
