#include "tools/pak/pak_commands.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/strings.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "pack/pack_inspect.h"
#include "pack/pack_list_file.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 16;
// Encoded files an add keeps in memory between checking and storing them;
// the rest are read and encoded a second time.
constexpr uint64_t kKeptBytesBudget = uint64_t{256} << 20;

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content) {
  File file;
  uint64_t size = 0;
  if (!file.Open(path.c_str(), FileMode::kRead) || !file.Size(&size)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  // Checked before anything is read: an archive ends within 2 GiB, so a
  // larger file could only fail later, with earlier files already stored.
  if (size > kPackMaxFileEnd) {
    ReportError(ERR_NO_BLOCK, "File=%s, size too large", path.c_str());
    return false;
  }
  content->resize(size);
  uint32_t got = 0;
  if (!file.Read(content->data(), static_cast<uint32_t>(size), &got) || got != size) {
    ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  return true;
}

// A source file made ready to be stored: read, its CRC taken, and encoded
// with the session's codec, so that every refusal comes before the archive
// changes.
struct PreparedFile {
  std::string name;
  std::string path;
  uint32_t contentSize = 0;
  uint32_t crc = 0;
  std::vector<uint8_t> stored;  // the bytes to store, while `kept`
  bool kept = false;
};

// Reads `file->path` and fills in its size, CRC and stored bytes.
bool EncodeSource(uint8_t type, PreparedFile* file) {
  std::vector<uint8_t>& data = file->stored;
  if (!ReadWholeFile(file->path, &data)) return false;
  file->contentSize = static_cast<uint32_t>(data.size());
  file->crc = 0;
  if (!data.empty()) BufferCrc(data.data(), file->contentSize, &file->crc);
  if (type == COMPRESS_NONE) return true;
  const Codec* codec = GetCodecRegistry().Find(type);
  if (codec == nullptr) {
    ReportError(ERR_NO_CODEC, "CompressType=%d", type);
    return false;
  }
  std::vector<uint8_t> encoded;
  if (!EncodeToBuffer(*codec, data.data(), file->contentSize, &encoded)) {
    // The codec's own message does not say which file it refused.
    std::string reason = LastErrorMessage();
    ReportError(LastErrorCode(), "File=%s, %s", file->path.c_str(), reason.c_str());
    return false;
  }
  data.swap(encoded);
  return true;
}

// The whole decoded content of a stored file.
bool ReadStoredText(PackArchive& archive, const char* name, std::string* text) {
  PackFileStream* stream = archive.OpenFile(name);
  if (stream == nullptr) return false;
  text->assign(stream->GetSize(), '\0');
  uint32_t got = text->empty() ? 0 : stream->Read(&(*text)[0], stream->GetSize());
  stream->Release();
  return got == text->size();
}

// Checks every source and encodes it; the first refusal ends the check.
bool PrepareSources(const std::vector<PakSource>& sources, const PakWriteOptions& options,
                    std::vector<PreparedFile>* files) {
  files->clear();
  ProgressBar progress("check", sources.size());
  uint64_t keptBytes = 0;
  for (const PakSource& source : sources) {
    if (options.keepList ? !CheckPackListName(source.first) : source.first.empty()) {
      if (!options.keepList) ReportError(ERR_INVALID, "name=%s", source.first.c_str());
      return false;
    }
    PreparedFile file;
    file.name = source.first;
    file.path = source.second;
    if (!EncodeSource(options.type, &file)) return false;
    keptBytes += file.stored.size();
    file.kept = keptBytes <= kKeptBytesBudget;
    if (!file.kept) std::vector<uint8_t>().swap(file.stored);
    files->push_back(std::move(file));
    progress.Advance();
  }
  return true;
}

// An archive open for writing, with its list file kept in step.
class WriteSession {
 public:
  explicit WriteSession(const PakWriteOptions& options) : options_(options) {}

  bool Open(const std::string& path) {
    if (!archive_->Open(path.c_str(), false)) return false;
    if (options_.keepList && archive_->HasFile(kPackListFileName)) {
      std::string text;
      if (!ReadStoredText(*archive_, kPackListFileName, &text)) return false;
      list_.Parse(text);
    }
    return true;
  }

  bool Store(PreparedFile* file) {
    if (!file->kept && !EncodeSource(options_.type, file)) return false;
    static const uint8_t kNothing = 0;
    const void* bytes = file->stored.empty() ? &kNothing : file->stored.data();
    bool stored =
        archive_->AddFile(bytes, static_cast<uint32_t>(file->stored.size()), file->name.c_str(),
                          true, false, options_.type, file->contentSize);
    std::vector<uint8_t>().swap(file->stored);
    if (!stored) return false;
    return !options_.keepList || list_.Put({file->name, file->contentSize, file->crc});
  }

  bool Remove(const std::string& name) {
    if (!archive_->RemoveFile(name.c_str(), false)) return false;
    list_.Remove(name);
    return true;
  }

  // Writes the list and closes. Keeps the first error of the session.
  int Finish(bool ok) {
    KeptError first;
    if (options_.keepList) {
      std::string text = list_.Serialize();
      bool listed = archive_->AddFile(text.data(), static_cast<uint32_t>(text.size()),
                                      kPackListFileName, true, false, COMPRESS_NONE, 0);
      if (!ok && !listed) first.Restore();
      ok = ok && listed;
    }
    KeptError beforeClose;
    bool closed = archive_->Close();
    if (!ok) beforeClose.Restore();
    return ok && closed ? kExitSuccess : PrintLastError();
  }

 private:
  PakWriteOptions options_;
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  PackListFile list_;
};

// An archive open read-only with its names looked up in the list file.
class ReadSession {
 public:
  bool Open(const std::string& path) {
    if (!archive_->Open(path.c_str(), true)) return false;
    const char* listName = archive_->GetListFileName();
    if (archive_->HasFile(listName)) {
      listSlot_ = FindPackSlot(*archive_, listName);
      std::string text;
      if (!ReadStoredText(*archive_, listName, &text)) return false;
      list_.Parse(text);
      for (const auto& keyed : list_.entries()) {
        int32_t slot = FindPackSlotOfKey(*archive_, keyed.first);
        if (slot >= 0) listed_[static_cast<uint32_t>(slot)] = &keyed.second;
      }
    }
    return ListPackSlots(*archive_, &slots_);
  }

  // The list entry of a slot, or null.
  const PackListEntry* ListedAt(uint32_t slot) const {
    return slot < listed_.size() ? listed_[slot] : nullptr;
  }
  bool IsListFile(uint32_t slot) const { return listSlot_ == static_cast<int32_t>(slot); }

  // The listed name of a slot, "(list)" for the list file, or else
  // "#slot/hashA/hashB".
  std::string NameOf(const PackSlotInfo& info) const {
    if (IsListFile(info.slot)) return kPackListFileName;
    const PackListEntry* listed = ListedAt(info.slot);
    if (listed != nullptr) return listed->name;
    char text[40];
    snprintf(text, sizeof text, "#%u/%08X/%08X", info.slot, info.hash.hashA, info.hash.hashB);
    return text;
  }
  bool IsNamed(const PackSlotInfo& info) const {
    return IsListFile(info.slot) || ListedAt(info.slot) != nullptr;
  }

  PackArchive& archive() { return *archive_; }
  const std::vector<PackSlotInfo>& slots() const { return slots_; }
  const PackListFile& list() const { return list_; }

 private:
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  PackListFile list_;
  std::vector<const PackListEntry*> listed_ =
      std::vector<const PackListEntry*>(kPackHashSlotCount);  // by slot
  int32_t listSlot_ = -1;
  std::vector<PackSlotInfo> slots_;
};

// Copies a stream to `out` piece by piece. False when a read comes up short.
template <typename Sink>
bool DrainStream(PackFileStream* stream, Sink sink) {
  std::vector<uint8_t> piece(kPiece);
  uint32_t left = stream->GetSize();
  while (left > 0) {
    uint32_t got = stream->Read(piece.data(), std::min(left, kPiece));
    if (got == 0 || !sink(piece.data(), got)) return false;
    left -= got;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, PackFileStream* stream) {
  std::string folder = PathFolder(path);
  if (!folder.empty() && !CreateFolderChain(folder.c_str())) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  return DrainStream(stream, [&](const uint8_t* data, uint32_t n) {
    if (file.Write(data, n)) return true;
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  });
}

void CollectTree(const std::string& folder, const std::string& prefix,
                 std::vector<PakSource>* sources) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder.c_str(), &entries)) return;
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  for (const FolderEntry& entry : entries) {
    std::string path = JoinPath(folder, entry.name);
    std::string name = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
    if (entry.isFolder) {
      CollectTree(path, name, sources);
    } else {
      sources->emplace_back(name, path);
    }
  }
}

}  // namespace

int PakCreate(const std::string& archive, const PakWriteOptions& options) {
  auto pack = NewPackArchive();
  if (!pack->Create(archive.c_str()) || !pack->Close()) return PrintLastError();
  if (!options.keepList) return kExitSuccess;
  // An empty list, so that even an empty archive passes verify.
  WriteSession session(options);
  if (!session.Open(archive)) return PrintLastError();
  return session.Finish(true);
}

int PakAdd(const std::string& archive, const std::vector<PakSource>& sources,
           const PakWriteOptions& options) {
  std::vector<PreparedFile> files;
  if (!PrepareSources(sources, options, &files)) return PrintLastError();
  WriteSession session(options);
  if (!session.Open(archive)) return PrintLastError();
  ProgressBar progress("add", files.size());
  bool ok = true;
  for (PreparedFile& file : files) {
    ok = session.Store(&file);
    if (!ok) break;
    progress.Advance();
  }
  return session.Finish(ok);
}

int PakAddTree(const std::string& archive, const std::string& folder,
               const PakWriteOptions& options) {
  if (!IsFolder(folder.c_str())) {
    ReportError(ERR_NOT_FOUND, "%s", folder.c_str());
    return PrintLastError();
  }
  std::vector<PakSource> sources;
  CollectTree(folder, "", &sources);
  return PakAdd(archive, sources, options);
}

int PakRemove(const std::string& archive, const std::vector<std::string>& names,
              const PakWriteOptions& options) {
  WriteSession session(options);
  if (!session.Open(archive)) return PrintLastError();
  ProgressBar progress("rm", names.size());
  bool ok = true;
  for (const std::string& name : names) {
    ok = session.Remove(name);
    if (!ok) break;
    progress.Advance();
  }
  return session.Finish(ok);
}

int PakList(const std::string& archive, bool check, bool json) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  // Sizes and types come from the block table and CRCs from the list file,
  // so a listing reads no stored file unless it is asked to check them.
  std::string listing;
  char row[160];
  if (!json) {
    snprintf(row, sizeof row, check ? "%10s %10s %4s %-8s %-8s " : "%10s %10s %4s %-8s ", "content",
             "stored", "type", "crc", "check");
    listing += std::string(row) + "name\n";
  }
  size_t differing = 0;
  size_t unreadable = 0;
  bool first = true;
  {
    std::unique_ptr<ProgressBar> progress;
    if (check) progress.reset(new ProgressBar("check", session.slots().size()));
    for (const PackSlotInfo& info : session.slots()) {
      std::string name = session.NameOf(info);
      const PackListEntry* listed = session.ListedAt(info.slot);
      std::string jsonName = json ? JsonString(name) : std::string();
      const char* separator = first ? "[\n" : ",\n";
      first = false;
      if (!info.hasBlock) {
        ++differing;
        if (json) {
          listing += std::string(separator) + "  {\"name\": " + jsonName + ", \"block\": null}";
          continue;
        }
        snprintf(row, sizeof row, check ? "%10s %10s %4s %-8s %-8s " : "%10s %10s %4s %-8s ", "?",
                 "?", "?", "?", "no block");
        listing += std::string(row) + TerminalText(name) + "\n";
        continue;
      }
      char crc[12] = "-";
      if (listed != nullptr) snprintf(crc, sizeof crc, "%08X", listed->crc);
      const char* state = "";
      if (check) {
        // A damaged file is listed as such; the check goes on to the rest.
        // 0xFFFFFFFF is both GetCrc's failure value and a possible CRC; only
        // a report made during this read tells a damaged block from that CRC.
        ReportError(ERR_NONE, "");
        PackFileStream* stream = OpenPackSlot(session.archive(), info.slot);
        uint32_t actual = stream != nullptr ? stream->GetCrc() : 0xFFFFFFFFu;
        bool readable = actual != 0xFFFFFFFFu || LastErrorCode() == ERR_NONE;
        if (stream != nullptr) stream->Release();
        snprintf(crc, sizeof crc, readable ? "%08X" : "?", actual);
        if (!readable) {
          state = "unreadable";
          ++unreadable;
        } else if (session.IsListFile(info.slot)) {
          state = "list";
        } else if (listed == nullptr) {
          state = "unlisted";
        } else if (listed->crc == actual && listed->contentSize == info.block.contentSize) {
          state = "ok";
        } else {
          state = "differs";
          ++differing;
        }
        progress->Advance();
      }
      if (json) {
        std::string crcJson =
            crc[0] == '-' || crc[0] == '?' ? "null" : "\"" + std::string(crc) + "\"";
        snprintf(row, sizeof row, ", \"contentSize\": %u, \"storedSize\": %u, \"type\": %u",
                 info.block.contentSize, info.block.storedSize, info.block.CompressType());
        listing += std::string(separator) + "  {\"name\": " + jsonName + row +
                   ", \"crc\": " + crcJson +
                   (check ? ", \"check\": \"" + std::string(state) + "\"" : "") + "}";
        continue;
      }
      snprintf(row, sizeof row, check ? "%10u %10u %4u %-8s %-8s " : "%10u %10u %4u %-8s ",
               info.block.contentSize, info.block.storedSize, info.block.CompressType(), crc,
               state);
      listing += std::string(row) + TerminalText(name) + "\n";
    }
  }
  if (json) listing = first ? "[]\n" : listing + "\n]\n";
  WriteOut(listing);
  if (check && unreadable > 0) {
    ReportError(ERR_BAD_DATA, "%zu stored files cannot be read, %zu differ from the list",
                unreadable, differing);
    return PrintLastError();
  }
  if (check && differing > 0) {
    ReportError(ERR_BAD_DATA, "%zu stored files differ from the list", differing);
    return PrintLastError();
  }
  return kExitSuccess;
}

int PakCat(const std::string& archive, const std::string& name) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  PackFileStream* stream = session.archive().OpenFile(name.c_str());
  if (stream == nullptr) return PrintLastError();
  // Each side reports its own failure, so the message never is an older one.
  bool ok = DrainStream(stream, [](const uint8_t* data, uint32_t n) {
    if (fwrite(data, 1, n, stdout) == n) return true;
    ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
    return false;
  });
  stream->Release();
  return ok ? kExitSuccess : PrintLastError();
}

int PakExtract(const std::string& archive, const std::string& folder) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  ProgressBar progress("extract", session.slots().size());
  // Every new file's name is looked up in its folder: each folder is read
  // once for the whole extraction, not once per file.
  FolderListingScope listings;
  for (const PackSlotInfo& info : session.slots()) {
    std::string name = session.NameOf(info);
    if (!session.IsNamed(info)) {
      char unlisted[48];
      snprintf(unlisted, sizeof unlisted, "(unlisted)\\%u-%08X-%08X", info.slot, info.hash.hashA,
               info.hash.hashB);
      name = unlisted;
    }
    if (!IsSafeRelativeName(name)) {
      ReportError(ERR_INVALID, "name=%s (leaves the folder)", name.c_str());
      return PrintLastError();
    }
    std::string target = JoinPath(folder, name);
    // Extracting into the archive's own folder may meet a stored file named
    // like the archive; writing it would cut the archive being read.
    if (IsSameFileObject(target.c_str(), archive.c_str())) {
      ReportError(ERR_INVALID, "name=%s (the archive itself)", name.c_str());
      return PrintLastError();
    }
    PackFileStream* stream = OpenPackSlot(session.archive(), info.slot);
    if (stream == nullptr) return PrintLastError();
    bool ok = WriteWholeFile(target, stream);
    stream->Release();
    if (!ok) return PrintLastError();
    progress.Advance();
  }
  return kExitSuccess;
}

int PakVerify(const std::string& archive, bool json) {
  // A failure as one JSON document, with the exit code of PrintLastError.
  auto failed = [&] {
    if (!json) return PrintLastError();
    Print("{\"archive\": %s, \"ok\": false, \"code\": %d, \"message\": %s}\n",
          JsonString(archive).c_str(), LastErrorCode(), JsonString(LastErrorMessage()).c_str());
    return kExitFailure;
  };
  auto pack = NewPackArchive();
  if (!pack->Open(archive.c_str(), true)) return failed();
  struct Counter {
    std::unique_ptr<ProgressBar> progress;
    uint32_t files = 0;
  } counter;
  auto on_file = [](void* context, const char* name, PackFileStream* stream) {
    auto* c = static_cast<Counter*>(context);
    if (c->files++ == 0) {
      // The list's second line gives the total for the progress bar.
      char line[kPackListLineCapacity + 1] = {};
      uint32_t position = stream->GetPosition();
      stream->SkipLine();
      stream->ReadLine(line, kPackListLineCapacity);
      stream->SetPosition(position);
      c->progress.reset(new ProgressBar("verify", static_cast<uint64_t>(ParseDecimal(line))));
    } else {
      c->progress->Advance();
    }
    (void)name;
    return true;
  };
  if (!pack->Verify(&counter, on_file, nullptr, nullptr)) return failed();
  counter.progress.reset();
  if (json) {
    Print("{\"archive\": %s, \"ok\": true, \"files\": %u}\n", JsonString(archive).c_str(),
          counter.files - 1);
    return kExitSuccess;
  }
  Print("ok: %u files\n", counter.files - 1);
  return kExitSuccess;
}

int PakInfo(const std::string& archive) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  PackHeader h;
  uint32_t free_extents = 0;
  uint64_t free_bytes = 0;
  if (!GetPackHeader(session.archive(), &h) ||
      !GetPackFreeSpace(session.archive(), &free_extents, &free_bytes)) {
    return PrintLastError();
  }
  Print("magic\t0x%08X\nversion\t0x%08X\nwriteFlag\t%u\n", h.magic, h.version, h.writeFlag);
  Print("hashTableOffset\t%u\nblockTableOffset\t%u\nblockCount\t%u\n", h.hashTableOffset,
        h.blockTableOffset, h.blockCount);
  Print("blockTableCapacity\t%u\ndataOffset\t%u\ndataSize\t%u\nfreeSize\t%u\n",
        h.blockTableCapacity, h.dataOffset, h.dataSize, h.freeSize);
  Print("files\t%zu\nlisted\t%zu\nfreeExtents\t%u\nfreeBytes\t%llu\n", session.slots().size(),
        session.list().size(), free_extents, static_cast<unsigned long long>(free_bytes));
  return kExitSuccess;
}

}  // namespace tools
}  // namespace qlmr
