#include <cstring>
#include <memory>
#include <new>

#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "update/carrier.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

// The zero padding up to the carrier offset is written in pieces of this size.
constexpr uint32_t kPaddingChunk = 1u << 16;

bool CheckVersionText(const char* text) {
  size_t length = strlen(text);
  if (length == 0 || length + 1 >= kCarrierTextLimit || !IsFileNameSafe(text)) {
    ReportError(ERR_INVALID, "Version=%s", text);
    return false;
  }
  return true;
}

bool WriteBytes(File* target, const void* data, uint32_t length) {
  if (target->Write(data, length)) return true;
  ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
  return false;
}

// The stored form of a text: its length with the terminating zero byte,
// little-endian, then the text and the zero byte.
bool WriteCarrierText(File* target, const char* text) {
  uint32_t length = static_cast<uint32_t>(strlen(text)) + 1;
  uint8_t length_bytes[4];
  StoreLittleEndian32(length, length_bytes);
  return WriteBytes(target, length_bytes, sizeof length_bytes) && WriteBytes(target, text, length);
}

bool OpenOrReport(File* file, const char* path, FileMode mode) {
  if (file->Open(path, mode)) return true;
  ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path, LastSystemError());
  return false;
}

bool WriteCarrierFile(File* updater, const char* updaterPath, const char* fromText,
                      const char* toText, const char* patchPath, File* target, uint64_t offset) {
  uint64_t updater_size = 0;
  if (!AppendFileContent(updater, target, &updater_size)) return false;
  if (updater_size > offset) {  // it grew since its size was checked
    ReportError(ERR_INVALID, "File=%s(too large)", updaterPath);
    return false;
  }
  std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[kPaddingChunk]());
  if (zeros == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kPaddingChunk);
    return false;
  }
  for (uint64_t left = offset - updater_size; left > 0;) {
    uint32_t n = static_cast<uint32_t>(left < kPaddingChunk ? left : kPaddingChunk);
    if (!WriteBytes(target, zeros.get(), n)) return false;
    left -= n;
  }
  if (!WriteCarrierText(target, fromText) || !WriteCarrierText(target, toText)) return false;
  File patch;
  if (!OpenOrReport(&patch, patchPath, FileMode::kRead)) return false;
  uint64_t patch_size = 0;
  return AppendFileContent(&patch, target, &patch_size);
}

}  // namespace

bool WriteCarrier(const char* updaterPath, const char* fromText, const char* toText,
                  const char* patchPath, const char* outPath, uint64_t offset) {
  if (!CheckVersionText(fromText) || !CheckVersionText(toText)) return false;
  // A range that no installation can be in would only ever fail at the user.
  if (CompareVersions(ParseVersion(fromText), ParseVersion(toText)) != VERSION_OLDER) {
    ReportError(ERR_INVALID, "Version=%s-%s", fromText, toText);
    return false;
  }
  File updater;
  if (!OpenOrReport(&updater, updaterPath, FileMode::kRead)) return false;
  uint64_t updater_size = 0;
  if (!updater.Size(&updater_size)) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  if (updater_size > offset) {
    ReportError(ERR_INVALID, "File=%s(too large)", updaterPath);
    return false;
  }

  ReplacingFile target;
  if (!target.Create(PathFolder(outPath).c_str(), "qlw")) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", outPath, LastSystemError());
    return false;
  }
  if (!WriteCarrierFile(&updater, updaterPath, fromText, toText, patchPath, target.file(),
                        offset)) {
    return false;
  }
  updater.Close();
  if (!target.Commit(outPath)) {
    ReportError(ERR_WRITE, "WinErr=%d", LastSystemError());
    return false;
  }
  // The wrapped updater is a program like the one it was made from.
  MarkExecutable(outPath);
  return true;
}

}  // namespace qlmr
