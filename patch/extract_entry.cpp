#include "patch/extract_entry.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "patch/patch_format.h"
#include "patch/zip_checks.h"

namespace qlmr {
namespace {

// Receives every in-memory extraction; grows, never shrinks.
std::vector<uint8_t>& ExtractionBuffer() {
  static std::vector<uint8_t> buffer;
  return buffer;
}

bool ReportZipError(ZipDirectory* zip) {
  ReportError(ERR_ZIP, "ziperr=%d", zip->ErrorNumber());
  return false;
}

// Reads the whole entry, handing each piece to `consume`, and checks that it
// gave exactly the claimed size with the claimed CRC.
template <typename Consume>
bool ReadChecked(ZipDirectory* zip, ZipEntryReader* entry, const ZipEntryInfo& info,
                 uint8_t* buffer, uint32_t pieceSize, bool advance, Consume consume) {
  if (info.size > 0 && !entry->Rewind()) return ReportZipError(zip);
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < info.size) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(pieceSize, info.size - done));
    uint8_t* into = advance ? buffer + done : buffer;
    int64_t n = entry->Read(into, want);
    // A failed read, or an entry that ends before its recorded size, would
    // otherwise leave the loop waiting for bytes that never come.
    if (n <= 0) return ReportZipError(zip);
    crc = ZipCrcUpdate(crc, into, static_cast<size_t>(n));
    if (!consume(into, static_cast<uint32_t>(n))) return false;
    done += static_cast<uint64_t>(n);
  }
  return CheckEntryCrc(info, crc);
}

// The target's folders made and a temporary file beside it created, which
// `file` receives; the content goes there and replaces the target only once
// all of it arrived with the right CRC: a damaged entry never takes the
// place of a good file.
bool CreateNextToTarget(const char* target, ReplacingFile* file) {
  std::string folder = PathFolder(target);
  if (!folder.empty() && !CreateFolderChain(folder.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  // A folder cannot be replaced by a file; opening it gives the system's
  // own reason.
  File probe;
  if (IsFolder(target) && !probe.Open(target, FileMode::kReadWrite)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", target, LastSystemError());
    return false;
  }
  if (!file->CreateAt(std::string(target) + patch_format::kLooseTempSuffix)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", target, LastSystemError());
    return false;
  }
  return true;
}

bool ReportWriteError(const char* target) {
  int systemError = LastSystemError();
  ReportError(ERR_WRITE, "File=%s, WinErr: %d, %s", target, systemError,
              SystemErrorWords(systemError));
  return false;
}

bool ExtractToFile(ZipDirectory* zip, ZipEntryReader* entry, const ZipEntryInfo& info,
                   const char* target, ReplacingFile::Flush flush) {
  if (!CheckEntryClaims(info, UINT32_MAX)) return false;
  ReplacingFile file;
  if (!CreateNextToTarget(target, &file)) return false;
  std::vector<uint8_t> chunk(patch_format::kCopyChunkSize);
  auto write = [&](const uint8_t* data, uint32_t n) {
    return file.Write(data, n) || ReportWriteError(target);
  };
  if (entry != nullptr &&
      !ReadChecked(zip, entry, info, chunk.data(), patch_format::kCopyChunkSize, false, write)) {
    return false;
  }
  if (!file.Commit(target, flush)) return ReportWriteError(target);
  return true;
}

// Reads the entry into `buffer` (grown to at least its size plus one, a
// multiple of 4, the bytes after the data zero); *data points at it.
bool ExtractToMemory(ZipDirectory* zip, ZipEntryReader* entry, const ZipEntryInfo& info,
                     uint64_t sizeLimit, std::vector<uint8_t>* buffer, const uint8_t** data) {
  // Checked before anything is allocated: the directory's claim is untrusted.
  if (!CheckEntryClaims(info, std::min(sizeLimit, patch_format::kMaxInMemoryEntry))) return false;
  size_t length = static_cast<size_t>(info.size);
  size_t need = (length + 1 + 3) & ~size_t{3};
  if (buffer->size() < need) {
    try {
      buffer->resize(need);
    } catch (const std::bad_alloc&) {
      ReportError(ERR_NO_MEMORY, "Size=%llu", static_cast<unsigned long long>(need));
      return false;
    }
  }
  // The data is read over the front and followed by zeros up to the next
  // multiple of 4, so that it reads as a zero-terminated text; the rest of
  // the buffer is never looked at.
  memset(buffer->data() + length, 0, need - length);
  if (entry != nullptr && !ReadChecked(zip, entry, info, buffer->data(), UINT32_MAX, true,
                                       [](const uint8_t*, uint32_t) { return true; })) {
    return false;
  }
  *data = buffer->data();
  return true;
}

// ExtractEntry, ExtractEntryDurably and ExtractEntryInto: the entry read
// through `zip` into the file `targetFile`, or into `memory`.
bool Extract(ZipDirectory* zip, const char* entryName, const char* targetFile,
             ReplacingFile::Flush flush, std::vector<uint8_t>* memory, const uint8_t** data,
             uint32_t* length, bool mustExist, uint64_t sizeLimit) {
  if (zip == nullptr || entryName == nullptr || entryName[0] == '\0' ||
      (targetFile == nullptr && (data == nullptr || memory == nullptr))) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  // A double-byte character whose trail byte is 0x5C keeps it, as a zip tool
  // stores such a character: only real backslashes become slashes.
  std::string lookup = NormalizeName(entryName, false, true);
  // Every entry is opened here, by the directory's index, and what its
  // record claims is checked against its data below.
  const ZipEntryInfo* found = zip->FindEntry(lookup.c_str());
  std::unique_ptr<ZipEntryReader> entry;
  if (found != nullptr) {
    entry = zip->OpenEntry(*found);
    if (entry == nullptr) return ReportZipError(zip);
  } else if (mustExist) {
    return ReportZipError(zip);
  }
  ZipEntryInfo info;
  if (found != nullptr) {
    info = *found;
  } else {
    info.name = lookup;
  }
  bool ok = targetFile != nullptr
                ? ExtractToFile(zip, entry.get(), info, targetFile, flush)
                : ExtractToMemory(zip, entry.get(), info, sizeLimit, memory, data);
  if (ok && length != nullptr) *length = static_cast<uint32_t>(info.size);
  return ok;
}

ZipDirectory* ZipOf(const PatchContainer* container) {
  return container == nullptr ? nullptr : container->zip.get();
}

}  // namespace

bool ExtractEntry(const PatchContainer* container, const char* entryName, const char* targetFile,
                  const uint8_t** data, uint32_t* length, bool mustExist, uint64_t sizeLimit) {
  return Extract(ZipOf(container), entryName, targetFile, ReplacingFile::Flush::kLeaveToCaller,
                 &ExtractionBuffer(), data, length, mustExist, sizeLimit);
}

bool ExtractEntryDurably(const PatchContainer* container, const char* entryName,
                         const char* targetFile) {
  return Extract(ZipOf(container), entryName, targetFile, ReplacingFile::Flush::kBeforeMove,
                 nullptr, nullptr, nullptr, true, patch_format::kMaxInMemoryEntry);
}

bool ExtractEntryInto(ZipDirectory* zip, const char* entryName, std::vector<uint8_t>* bytes,
                      uint64_t sizeLimit) {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  if (!Extract(zip, entryName, nullptr, ReplacingFile::Flush::kLeaveToCaller, bytes, &data, &length,
               true, sizeLimit)) {
    return false;
  }
  bytes->resize(length);
  return true;
}

bool WriteExtractedEntry(const char* targetFile, const uint8_t* data, uint32_t length) {
  if (targetFile == nullptr || (data == nullptr && length > 0)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  ReplacingFile file;
  if (!CreateNextToTarget(targetFile, &file)) return false;
  // The pieces ExtractEntry writes, so that the same calls change the disk.
  for (uint32_t done = 0; done < length;) {
    uint32_t piece = std::min(length - done, patch_format::kCopyChunkSize);
    if (!file.Write(data + done, piece)) return ReportWriteError(targetFile);
    done += piece;
  }
  if (!file.Commit(targetFile, ReplacingFile::Flush::kLeaveToCaller)) {
    return ReportWriteError(targetFile);
  }
  return true;
}

size_t ExtractionBufferCapacity() { return ExtractionBuffer().size(); }

}  // namespace qlmr
