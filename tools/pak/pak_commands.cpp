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
#include "pack/pack_inspect.h"
#include "tools/pak/list_file.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 16;

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content) {
  File file;
  uint64_t size = 0;
  if (!file.Open(path.c_str(), FileMode::kRead) || !file.Size(&size)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  if (size > UINT32_MAX) {
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

const Codec* FindCodec(uint8_t type) { return GetCodecRegistry().Find(type); }

// The whole decoded content of a stored file.
bool ReadStoredText(PackArchive& archive, const char* name, std::string* text) {
  PackFileStream* stream = archive.OpenFile(name);
  if (stream == nullptr) return false;
  text->assign(stream->GetSize(), '\0');
  uint32_t got = text->empty() ? 0 : stream->Read(&(*text)[0], stream->GetSize());
  stream->Release();
  return got == text->size();
}

std::string Shown(const std::string& name) { return Cp936ToUtf8(name); }

// An archive open for writing, with its list file kept in step.
class WriteSession {
 public:
  explicit WriteSession(const PakWriteOptions& options) : options_(options) {}

  bool Open(const std::string& path) {
    if (!archive_->Open(path.c_str(), false)) return false;
    if (options_.keepList && archive_->HasFile(kListName)) {
      std::string text;
      if (!ReadStoredText(*archive_, kListName, &text)) return false;
      list_.Parse(text);
    }
    return true;
  }

  bool CheckName(const std::string& name) const {
    if (!options_.keepList) return true;
    if (!IsListableName(name) || NormalizeName(name) == kListName) {
      ReportError(ERR_INVALID, "name=%s (not allowed in a listed archive)", name.c_str());
      return false;
    }
    return true;
  }

  bool Add(const std::string& name, const std::string& path) {
    if (!CheckName(name)) return false;
    std::vector<uint8_t> data;
    if (!ReadWholeFile(path, &data)) return false;
    uint32_t content_size = static_cast<uint32_t>(data.size());
    uint32_t crc = 0;
    if (!data.empty()) BufferCrc(data.data(), content_size, &crc);
    uint32_t stored_size = content_size;
    if (options_.type != COMPRESS_NONE) {
      const Codec* codec = FindCodec(options_.type);
      if (codec == nullptr) {
        ReportError(ERR_NO_CODEC, "CompressType=%d", options_.type);
        return false;
      }
      std::vector<uint8_t> encoded;
      if (!EncodeToBuffer(*codec, data.data(), content_size, &encoded)) return false;
      data.swap(encoded);
      stored_size = static_cast<uint32_t>(data.size());
    }
    static const uint8_t kNothing = 0;
    const void* bytes = data.empty() ? &kNothing : data.data();
    if (!archive_->AddFile(bytes, stored_size, name.c_str(), true, false, options_.type,
                           content_size)) {
      return false;
    }
    list_.Put({name, content_size, crc});
    return true;
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
      std::string text = list_.Format();
      bool listed = archive_->AddFile(text.data(), static_cast<uint32_t>(text.size()), kListName,
                                      true, false, COMPRESS_NONE, 0);
      if (!ok && !listed) first.Restore();
      ok = ok && listed;
    }
    KeptError beforeClose;
    bool closed = archive_->Close();
    if (!ok) beforeClose.Restore();
    return ok && closed ? kExitSuccess : PrintLastError();
  }

 private:
  static constexpr const char* kListName = "(list)";
  PakWriteOptions options_;
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  ListFile list_;
};

// An archive open read-only with its names looked up in the list file.
class ReadSession {
 public:
  bool Open(const std::string& path) {
    if (!archive_->Open(path.c_str(), true)) return false;
    const char* list_name = archive_->GetListFileName();
    if (archive_->HasFile(list_name)) {
      names_[static_cast<uint32_t>(FindPackSlot(*archive_, list_name))] = list_name;
      std::string text;
      if (!ReadStoredText(*archive_, list_name, &text)) return false;
      ListFile list;
      list.Parse(text);
      for (const ListEntry& entry : list.entries()) {
        int32_t slot = FindPackSlot(*archive_, entry.name.c_str());
        if (slot >= 0) names_.emplace(static_cast<uint32_t>(slot), entry.name);
      }
    }
    return ListPackSlots(*archive_, &slots_);
  }

  // The listed name of a slot, or "#slot/hashA/hashB".
  std::string NameOf(const PackSlotInfo& info) const {
    auto found = names_.find(info.slot);
    if (found != names_.end()) return found->second;
    char text[40];
    snprintf(text, sizeof text, "#%u/%08X/%08X", info.slot, info.hash.hashA, info.hash.hashB);
    return text;
  }
  bool IsListed(const PackSlotInfo& info) const { return names_.count(info.slot) != 0; }

  PackArchive& archive() { return *archive_; }
  const std::vector<PackSlotInfo>& slots() const { return slots_; }

 private:
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  std::map<uint32_t, std::string> names_;
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
  WriteSession session(options);
  if (!session.Open(archive)) return PrintLastError();
  ProgressBar progress("add", sources.size());
  bool ok = true;
  for (const PakSource& source : sources) {
    ok = session.Add(source.first, source.second);
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

int PakList(const std::string& archive, bool json) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  std::string listing;
  {
    // Every file is read for its CRC, which takes a while in a large
    // archive; the listing follows the finished bar.
    ProgressBar progress("ls", session.slots().size());
    for (const PackSlotInfo& info : session.slots()) {
      progress.Advance();
      char fields[128];
      if (!info.hasBlock) {
        listing += json ? (listing.empty() ? "[\n" : ",\n") + std::string("  {\"name\": ") +
                              JsonString(session.NameOf(info)) + ", \"block\": null}"
                        : Shown(session.NameOf(info)) + "\t?\t?\t?\t?\n";
        continue;
      }
      PackFileStream* stream = OpenPackSlot(session.archive(), info.slot);
      if (stream == nullptr) return PrintLastError();
      uint32_t crc = stream->GetCrc();
      stream->Release();
      if (json) {
        snprintf(fields, sizeof fields,
                 ", \"contentSize\": %u, \"storedSize\": %u, \"type\": %u, \"crc\": \"%08X\"}",
                 info.block.contentSize, info.block.storedSize, info.block.CompressType(), crc);
        listing += (listing.empty() ? "[\n" : ",\n") + std::string("  {\"name\": ") +
                   JsonString(session.NameOf(info)) + fields;
        continue;
      }
      snprintf(fields, sizeof fields, "\t%u\t%u\t%u\t%08X\n", info.block.contentSize,
               info.block.storedSize, info.block.CompressType(), crc);
      listing += Shown(session.NameOf(info)) + fields;
    }
  }
  if (json) listing = listing.empty() ? "[]\n" : listing + "\n]\n";
  WriteOut(listing);
  return kExitSuccess;
}

int PakCat(const std::string& archive, const std::string& name) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  PackFileStream* stream = session.archive().OpenFile(name.c_str());
  if (stream == nullptr) return PrintLastError();
  bool ok = DrainStream(
      stream, [](const uint8_t* data, uint32_t n) { return fwrite(data, 1, n, stdout) == n; });
  stream->Release();
  if (!ok && LastErrorCode() == ERR_NONE) ReportError(ERR_WRITE, "stdout");
  return ok ? kExitSuccess : PrintLastError();
}

int PakExtract(const std::string& archive, const std::string& folder) {
  ReadSession session;
  if (!session.Open(archive)) return PrintLastError();
  ProgressBar progress("extract", session.slots().size());
  for (const PackSlotInfo& info : session.slots()) {
    std::string name = session.NameOf(info);
    if (!session.IsListed(info)) {
      char unlisted[48];
      snprintf(unlisted, sizeof unlisted, "(unlisted)\\%u-%08X-%08X", info.slot, info.hash.hashA,
               info.hash.hashB);
      name = unlisted;
    }
    if (!IsSafeRelativeName(name)) {
      ReportError(ERR_INVALID, "name=%s (leaves the folder)", name.c_str());
      return PrintLastError();
    }
    PackFileStream* stream = OpenPackSlot(session.archive(), info.slot);
    if (stream == nullptr) return PrintLastError();
    bool ok = WriteWholeFile(JoinPath(folder, name), stream);
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
      char line[1040] = {};
      uint32_t position = stream->GetPosition();
      stream->SkipLine();
      stream->ReadLine(line, sizeof line - 1);
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
  Print("files\t%zu\nfreeExtents\t%u\nfreeBytes\t%llu\n", session.slots().size(), free_extents,
        static_cast<unsigned long long>(free_bytes));
  return kExitSuccess;
}

}  // namespace tools
}  // namespace qlmr
