#include "patch/extract_entry.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/patch_format.h"

namespace qlmr {
namespace {

// Receives every in-memory extraction; grows, never shrinks.
std::vector<uint8_t>& ExtractionBuffer() {
  static std::vector<uint8_t> buffer;
  return buffer;
}

bool ReportZipError(const PatchContainer* container) {
  ReportError(ERR_ZIP, "ziperr=%d", container->zip->ErrorNumber());
  return false;
}

bool ExtractToFile(const PatchContainer* container, ZipEntryReader* entry, uint64_t length,
                   const char* target) {
  std::string folder = PathFolder(target);
  if (!folder.empty() && !CreateFolderChain(folder.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  File file;
  if (!file.Open(target, FileMode::kCreate)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", target, LastSystemError());
    return false;
  }
  if (length == 0) return true;
  if (!entry->Rewind()) return ReportZipError(container);
  std::vector<uint8_t> chunk(patch_format::kCopyChunkSize);
  while (entry->Tell() < length) {
    int64_t n = entry->Read(chunk.data(), patch_format::kCopyChunkSize);
    // A failed read, or an entry that ends before its recorded size, would
    // otherwise leave the loop waiting for bytes that never come.
    if (n <= 0) return ReportZipError(container);
    if (!file.Write(chunk.data(), static_cast<uint32_t>(n))) {
      int systemError = LastSystemError();
      ReportError(ERR_WRITE, "File=%s, WinErr: %d, %s", target, systemError,
                  SystemErrorWords(systemError));
      return false;
    }
  }
  return true;
}

bool ExtractToMemory(const PatchContainer* container, ZipEntryReader* entry, uint64_t length,
                     const uint8_t** data) {
  // The rounding below must not overflow, and a pack archive holds no more.
  if (length > patch_format::kMaxInMemoryEntry) {
    ReportError(ERR_NO_MEMORY, "Size=%llu", static_cast<unsigned long long>(length));
    return false;
  }
  size_t need = (static_cast<size_t>(length) + 1 + 3) & ~size_t{3};
  std::vector<uint8_t>& buffer = ExtractionBuffer();
  if (buffer.size() < need) {
    try {
      buffer.resize(need);
    } catch (const std::bad_alloc&) {
      ReportError(ERR_NO_MEMORY, "Size=%llu", static_cast<unsigned long long>(need));
      return false;
    }
  }
  // The data is read over the front and followed by zeros up to the next
  // multiple of 4, so that it reads as a zero-terminated text; the rest of
  // the buffer is never looked at.
  memset(buffer.data() + length, 0, need - static_cast<size_t>(length));
  if (length > 0) {
    if (!entry->Rewind()) return ReportZipError(container);
    uint64_t done = 0;
    while (done < length) {
      int64_t n = entry->Read(buffer.data() + done, static_cast<uint32_t>(length - done));
      if (n <= 0) return ReportZipError(container);
      done += static_cast<uint64_t>(n);
    }
  }
  *data = buffer.data();
  return true;
}

}  // namespace

bool ExtractEntry(const PatchContainer* container, const char* entryName, const char* targetFile,
                  const uint8_t** data, uint32_t* length, bool mustExist) {
  if (container == nullptr || container->zip == nullptr || entryName == nullptr ||
      entryName[0] == '\0' || (targetFile == nullptr && data == nullptr)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  // A double-byte character whose trail byte is 0x5C keeps it, as a zip tool
  // stores such a character: only real backslashes become slashes.
  std::string lookup = NormalizeName(entryName, false, true);
  std::unique_ptr<ZipEntryReader> entry = container->zip->OpenEntry(lookup.c_str());
  if (entry == nullptr && mustExist) return ReportZipError(container);
  uint64_t size = 0;
  if (entry != nullptr && !entry->Size(&size)) return ReportZipError(container);
  bool ok = targetFile != nullptr ? ExtractToFile(container, entry.get(), size, targetFile)
                                  : ExtractToMemory(container, entry.get(), size, data);
  if (ok && length != nullptr) *length = static_cast<uint32_t>(size);
  return ok;
}

size_t ExtractionBufferCapacity() { return ExtractionBuffer().size(); }

}  // namespace qlmr
