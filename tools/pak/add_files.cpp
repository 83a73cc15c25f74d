#include "tools/pak/add_files.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_format.h"
#include "pack/pack_list_repair.h"
#include "tools/failure.h"
#include "tools/pak/pak_session.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 20;

// A source made ready to be stored.
struct PreparedFile {
  const PakSource* source = nullptr;
  uint32_t contentSize = 0;
  uint32_t crc = 0;
  uint8_t type = COMPRESS_NONE;  // as stored
  bool spooled = false;          // encoded bytes in the spool; else the source as it is
  uint64_t spoolOffset = 0;
  uint32_t storedSize = 0;
};

// Encoded files between the check and the store: a temporary file beside
// the archive, removed with the object.
class Spool {
 public:
  explicit Spool(const std::string& archive) : folder_(PathFolder(archive)) {
    if (folder_.empty()) folder_ = ".";
  }
  ~Spool() {
    file_.Close();
    if (!path_.empty()) RemoveFileAt(path_.c_str());
  }

  bool Append(const std::vector<uint8_t>& bytes, uint64_t* offset) {
    if (path_.empty()) {
      if (!CreateUniqueTempFile(folder_.c_str(), "qpk", &path_)) {
        ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder_.c_str(), LastSystemError());
        path_.clear();
        return false;
      }
      if (!file_.Open(path_.c_str(), FileMode::kCreate)) {
        ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path_.c_str(), LastSystemError());
        return false;
      }
    }
    *offset = end_;
    if (!bytes.empty() && !file_.WriteAt(end_, bytes.data(), static_cast<uint32_t>(bytes.size()))) {
      ReportError(ERR_WRITE, "File=%s, WinErr=%d", path_.c_str(), LastSystemError());
      return false;
    }
    end_ += bytes.size();
    return true;
  }

  bool Read(uint64_t offset, uint32_t length, std::vector<uint8_t>* bytes) {
    bytes->resize(length);
    uint32_t got = 0;
    if (length == 0) return true;
    if (!file_.ReadAt(offset, bytes->data(), length, &got) || got != length) {
      ReportError(ERR_READ, "File=%s, WinErr=%d", path_.c_str(), LastSystemError());
      return false;
    }
    return true;
  }

 private:
  std::string folder_;
  std::string path_;
  File file_;
  uint64_t end_ = 0;
};

// What can be refused without reading: the name, the source's existence
// and its size. `*total` receives the bytes to read.
bool CheckSource(const PakSource& source, const PakWriteOptions& options, PreparedFile* file) {
  if (options.keepList ? !CheckPackListName(source.first) : source.first.empty()) {
    if (!options.keepList) ReportError(ERR_INVALID, "name=%s", source.first.c_str());
    return false;
  }
  File opened;
  uint64_t size = 0;
  if (!OpenForReading(source.second, &opened, &size)) return false;
  // An archive ends within 2 GiB: a larger file could only fail later.
  if (size > kPackMaxFileEnd) {
    ReportError(ERR_NO_BLOCK, "File=%s, size too large", source.second.c_str());
    return false;
  }
  file->source = &source;
  file->contentSize = static_cast<uint32_t>(size);
  return true;
}

bool ReadExactly(File* file, const std::string& path, uint8_t* data, uint32_t length) {
  uint32_t got = 0;
  if (file->Read(data, length, &got) && got == length) return true;
  ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
  return false;
}

// The CRC of a file stored as it is, read piece by piece.
bool TakeCrc(PreparedFile* file, ProgressBar* progress) {
  const std::string& path = file->source->second;
  File opened;
  uint64_t size = 0;
  if (!OpenForReading(path, &opened, &size)) return false;
  std::vector<uint8_t> piece(std::min<uint32_t>(kPiece, std::max<uint32_t>(file->contentSize, 1)));
  uint32_t state = kCrcInit;
  for (uint32_t left = file->contentSize; left > 0;) {
    uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(piece.size()));
    if (!ReadExactly(&opened, path, piece.data(), n)) return false;
    state = CrcUpdate(state, piece.data(), n);
    progress->Advance(n);
    left -= n;
  }
  file->crc = CrcFinish(state);
  return true;
}

// Reads a file whole, takes its CRC and encodes it into the spool, or finds
// it better stored as it is when the tool chooses the type.
bool EncodeSource(int requestedType, Spool* spool, PreparedFile* file, ProgressBar* progress) {
  const std::string& path = file->source->second;
  File opened;
  uint64_t size = 0;
  if (!OpenForReading(path, &opened, &size)) return false;
  std::vector<uint8_t> content(file->contentSize);
  if (!content.empty() && !ReadExactly(&opened, path, content.data(), file->contentSize)) {
    return false;
  }
  file->crc = 0;
  if (!content.empty()) BufferCrc(content.data(), file->contentSize, &file->crc);
  progress->Advance(file->contentSize);

  bool chosen = requestedType == kToolChoosesType;
  uint8_t type = chosen ? uint8_t{COMPRESS_LZMA} : static_cast<uint8_t>(requestedType);
  const Codec* codec = GetCodecRegistry().Find(type);
  if (codec == nullptr) {
    ReportError(ERR_NO_CODEC, "CompressType=%d", type);
    return false;
  }
  std::vector<uint8_t> encoded;
  bool ok = EncodeToBuffer(*codec, content.data(), file->contentSize, &encoded);
  if (chosen && (!ok || encoded.size() >= content.size())) {
    // Not smaller (or too small for the codec's own header): as it is.
    file->type = COMPRESS_NONE;
    file->storedSize = file->contentSize;
    return true;
  }
  if (!ok) {
    // The codec's own message does not say which file it refused.
    std::string reason = LastErrorMessage();
    ReportError(LastErrorCode(), "File=%s, %s", path.c_str(), reason.c_str());
    return false;
  }
  std::vector<uint8_t>().swap(content);
  file->type = type;
  file->storedSize = static_cast<uint32_t>(encoded.size());
  file->spooled = true;
  return spool->Append(encoded, &file->spoolOffset);
}

bool StoreFile(WriteSession* session, Spool* spool, const PreparedFile& file) {
  const std::string& name = file.source->first;
  if (!file.spooled) {
    if (!session->StoreFile(name, file.source->second)) return false;
    // Stored from the source again: it must still be what was checked.
    if (session->archive().GetFileSize(name.c_str(), false) != file.contentSize) {
      ReportError(ERR_READ, "File=%s (changed while it was added)", file.source->second.c_str());
      return false;
    }
    return true;
  }
  std::vector<uint8_t> stored;
  if (!spool->Read(file.spoolOffset, file.storedSize, &stored)) return false;
  return session->StoreBuffer(name, stored.data(), file.storedSize, file.type, file.contentSize);
}

std::string SizeChange(const PreparedFile& file) {
  if (file.type == COMPRESS_NONE) return FormatBytes(file.contentSize);
  return FormatBytes(file.contentSize) + " in " + FormatBytes(file.storedSize);
}

void CollectInto(const std::string& folder, const std::string& prefix,
                 std::vector<PakSource>* sources) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder.c_str(), &entries)) return;
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  for (const FolderEntry& entry : entries) {
    std::string path = JoinPath(folder, entry.name);
    std::string name = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
    if (entry.isFolder) {
      CollectInto(path, name, sources);
    } else {
      sources->emplace_back(name, path);
    }
  }
}

// Phase 1. On failure `*failed` names the source.
int CheckAndEncode(const std::vector<PakSource>& sources, const PakWriteOptions& options,
                   Spool* spool, std::vector<PreparedFile>* files) {
  files->assign(sources.size(), PreparedFile());
  uint64_t total = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    if (!CheckSource(sources[i], options, &(*files)[i])) {
      if (LastErrorCode() != ERR_INVALID) return Fail("cannot add", sources[i].second);
      // "<reason>: name=<name>": the reason is the cause.
      std::string message = LastErrorMessage();
      std::string cause = "the name '" + ShownPath(sources[i].first) + "' cannot be listed";
      size_t end = message.find(": name=");
      if (end != std::string::npos) cause += ": " + message.substr(0, end);
      return Fail("cannot add", sources[i].second, cause.c_str());
    }
    total += (*files)[i].contentSize;
  }
  bool plain = options.type == COMPRESS_NONE;
  ProgressBar progress(plain ? "read" : "compress", total, ProgressUnit::kBytes);
  for (PreparedFile& file : *files) {
    if (InterruptRequested()) return kExitInterrupted;
    bool ok =
        plain ? TakeCrc(&file, &progress) : EncodeSource(options.type, spool, &file, &progress);
    if (!ok && LastErrorIsIncompressibleData()) {
      std::string cause = CauseOfLastError() + " (without --type such a file is stored as it is)";
      return Fail("cannot add", file.source->second, cause.c_str());
    }
    if (!ok) return Fail("cannot add", file.source->second);
  }
  return kExitSuccess;
}

}  // namespace

std::vector<PakSource> CollectTree(const std::string& folder) {
  std::vector<PakSource> sources;
  CollectInto(folder, "", &sources);
  return sources;
}

int AddFiles(const std::string& archive, const std::vector<PakSource>& sources,
             const PakWriteOptions& options) {
  Spool spool(archive);
  std::vector<PreparedFile> files;
  int checked = CheckAndEncode(sources, options, &spool, &files);
  if (checked == kExitInterrupted) {
    Note("interrupted: '%s' was not changed", ShownPath(archive).c_str());
    return kExitInterrupted;
  }
  if (checked != kExitSuccess) return checked;

  WriteSession session(options.keepList);
  if (!session.Open(archive)) return FailArchive("cannot open", archive);
  // The list names the new files before they are stored, so that it names
  // every stored file wherever the store stops; `before` keeps what it
  // said of each name, for a store that stops early.
  PackListFile& list = session.list();
  std::vector<std::unique_ptr<PackListEntry>> before(files.size());
  uint64_t storedBytes = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].source->first;
    const PackListEntry* listed = list.Lookup(name);
    if (listed != nullptr) before[i].reset(new PackListEntry(*listed));
    if (options.keepList) list.Put({name, files[i].contentSize, files[i].crc});
    storedBytes += files[i].storedSize;
  }
  if (!session.WriteList()) {
    session.Close(false, false);
    return FailArchive("cannot write the list of", archive);
  }

  size_t stored = 0;
  bool ok = true;
  {
    ProgressBar progress("store", storedBytes, ProgressUnit::kBytes);
    for (; stored < files.size() && !InterruptRequested(); ++stored) {
      const PreparedFile& file = files[stored];
      ok = StoreFile(&session, &spool, file);
      if (!ok) break;
      Detail("stored %s (%s, %s)", ShownName(file.source->first).c_str(),
             CompressionName(file.type).c_str(), SizeChange(file).c_str());
      progress.Advance(file.storedSize);
      if (options.afterStored) options.afterStored(stored);
    }
  }
  bool complete = stored == files.size();
  if (!complete && options.keepList) {
    // Back to what is stored: names not reached say what they said before;
    // the file in hand, if it failed, may be half-way and is read back.
    KeptError failure;
    for (size_t i = files.size(); i-- > stored;) {
      const std::string& name = files[i].source->first;
      if (i == stored && !ok) {
        PackListRepair repair;
        SettlePackListEntry(session.archive(), name, &list, &repair);
      } else if (before[i]) {
        list.Put(*before[i]);
      } else {
        list.Remove(name);
      }
    }
    failure.Restore();
  }
  if (!session.Close(ok, !complete)) {
    return ok ? FailArchive("cannot close", archive)
              : Fail("cannot add", files[stored].source->second);
  }
  if (!complete) {
    Note("interrupted: %zu of %zu files stored; '%s' is closed and its list names what it holds",
         stored, files.size(), ShownPath(archive).c_str());
    return kExitInterrupted;
  }
  return kExitSuccess;
}

}  // namespace tools
}  // namespace qlmr
