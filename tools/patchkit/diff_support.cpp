#include "tools/patchkit/diff_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "pack/pack_inspect.h"
#include "pack/pack_list_file.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

constexpr uint32_t kChunk = 1u << 16;

}  // namespace

bool IsPackName(const std::string& key) { return PathExtension(key) == kPackExtension; }

namespace {

// A UTF-8 name shown in code page 936, each character that page lacks (and
// each byte that is no UTF-8) written as <U+XXXX> (<0xXX>).
std::string ShownInCodePage936(const std::string& utf8) {
  std::string shown;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = length != 0 && i + length <= utf8.size();
    for (size_t k = 1; valid && k < length; ++k) {
      unsigned char trail = static_cast<unsigned char>(utf8[i + k]);
      valid = (trail & 0xC0) == 0x80;
      code = (code << 6) | (trail & 0x3F);
    }
    char escaped[16];
    if (!valid) {
      snprintf(escaped, sizeof escaped, "<0x%02X>", lead);
      shown += escaped;
      ++i;
      continue;
    }
    std::string character = utf8.substr(i, length);
    std::string converted = Utf8ToCp936(character);
    if (length == 1 || (converted != character && Cp936ToUtf8(converted) == character)) {
      shown += converted;
    } else {
      snprintf(escaped, sizeof escaped, "<U+%04X>", static_cast<unsigned>(code));
      shown += escaped;
    }
    i += length;
  }
  return shown;
}

bool ScanFolder(const std::string& relative, Tree* tree) {
  std::string folder = relative.empty() ? tree->root : JoinPath(tree->root, relative);
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder.c_str(), &entries)) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  for (const FolderEntry& entry : entries) {
    if (!entry.unencodableName.empty()) {
      // The updater names files in code page 936: it could neither make
      // nor find this one.
      ReportError(ERR_BAD_DATA, "File=%s (a name code page 936 cannot hold)",
                  JoinPath(folder, ShownInCodePage936(entry.unencodableName)).c_str());
      return false;
    }
    std::string name = relative.empty() ? entry.name : relative + "\\" + entry.name;
    if (entry.isFolder) {
      tree->folders[NormalizeName(name)] = name;
      if (!ScanFolder(name, tree)) return false;
      continue;
    }
    std::string path = JoinPath(tree->root, name);
    auto inserted = tree->files.emplace(NormalizeName(name), LooseFile{name, path});
    if (!inserted.second) {
      // The installation is blind to case: these two would be one file.
      ReportError(ERR_DUPLICATE, "File=%s, File=%s", inserted.first->second.path.c_str(),
                  path.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

const LooseFile* Tree::Find(const std::string& key) const {
  auto found = files.find(key);
  return found == files.end() ? nullptr : &found->second;
}

bool ScanTree(const std::string& root, const std::string& label, Tree* tree) {
  *tree = Tree();
  tree->root = root;
  tree->label = label;
  if (!IsFolder(root.c_str())) {
    ReportError(ERR_INVALID, "Path=%s (not a folder)", root.c_str());
    return false;
  }
  return ScanFolder("", tree);
}

bool ForEachOnEveryCore(size_t count, const char* label, const std::function<bool(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> failed{false};
  std::mutex lock;
  std::condition_variable finished;
  int32_t errorCode = ERR_NONE;
  std::string errorMessage;
  auto worker = [&] {
    while (!failed.load()) {
      size_t i = next.fetch_add(1);
      if (i >= count) break;
      if (!work(i)) {
        std::lock_guard<std::mutex> guard(lock);
        if (!failed.exchange(true)) {
          errorCode = LastErrorCode();
          errorMessage = LastErrorMessage();
        }
        break;
      }
      done.fetch_add(1);
    }
    std::lock_guard<std::mutex> guard(lock);
    finished.notify_all();
  };
  // One worker per core; hardware_concurrency may not know (0).
  size_t cores = std::max(1u, std::thread::hardware_concurrency());
  size_t wanted = std::min(cores, count);
  std::vector<std::thread> workers;
  for (size_t i = 0; i < wanted; ++i) {
    try {
      workers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // fewer threads than cores: the ones running take the rest
    }
  }
  tools::ProgressBar progress(label, count);
  if (workers.empty()) worker();
  size_t shown = 0;
  auto finishedOrFailed = [&] { return done.load() == count || failed.load(); };
  {
    std::unique_lock<std::mutex> guard(lock);
    while (!finished.wait_for(guard, std::chrono::milliseconds(100), finishedOrFailed)) {
      size_t now = done.load();
      progress.Advance(now - shown);
      shown = now;
    }
  }
  for (std::thread& thread : workers) thread.join();
  progress.Advance(done.load() - shown);
  if (failed.load()) {
    ReportError(errorCode, "%s", errorMessage.c_str());
    return false;
  }
  return true;
}

bool SizeOf(const std::string& path, uint64_t* size) {
  File file;
  return OpenForReading(path, &file, size);
}

bool ReadChunk(File* file, const std::string& path, uint8_t* buffer, uint32_t length) {
  uint32_t got = 0;
  if (file->Read(buffer, length, &got) && got == length) return true;
  ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
  return false;
}

bool SameFileContent(const std::string& first, const std::string& second, bool* same) {
  File a;
  File b;
  uint64_t sizeA = 0;
  uint64_t sizeB = 0;
  if (!OpenForReading(first, &a, &sizeA) || !OpenForReading(second, &b, &sizeB)) return false;
  *same = sizeA == sizeB;
  if (!*same) return true;
  std::unique_ptr<uint8_t[]> bufferA(new uint8_t[kChunk]);
  std::unique_ptr<uint8_t[]> bufferB(new uint8_t[kChunk]);
  for (uint64_t left = sizeA; left > 0;) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, kChunk));
    if (!ReadChunk(&a, first, bufferA.get(), n) || !ReadChunk(&b, second, bufferB.get(), n)) {
      return false;
    }
    if (memcmp(bufferA.get(), bufferB.get(), n) != 0) {
      *same = false;
      return true;
    }
    left -= n;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const void* data, uint32_t length) {
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  if ((length > 0 && !file.Write(data, length)) || !file.Close()) {
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  return true;
}

ScratchFolder::~ScratchFolder() {
  if (path_.empty()) return;
  RemoveFolderContents(path_.c_str());
  RemoveEmptyFolder(path_.c_str());
}

bool ScratchFolder::Create(const char* prefix) {
  std::string name;
  if (!CreateUniqueTempFile(TempFolderPath().c_str(), prefix, &name) ||
      !RemoveFileAt(name.c_str()) || !MakeFolder(name.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", TempFolderPath().c_str(), LastSystemError());
    return false;
  }
  path_ = name;
  return true;
}

namespace {

// The folder `path` names, however it is spelled, through the nearest folder
// above it that exists (links resolved) and normalized, so that two
// spellings of one place compare equal.
std::string ComparablePath(const std::string& path) {
  std::string existing = path.empty() ? "." : path;
  std::string rest;
  while (!PathExists(existing.c_str())) {
    std::string parent = PathFolder(existing);
    std::string name = PathFileName(existing);
    rest = rest.empty() ? name : JoinPath(name, rest);
    if (parent.empty() || parent == existing) {
      existing = ".";
      break;
    }
    existing = parent;
  }
  std::string full = FullPathName(existing.c_str());
  return NormalizeName(rest.empty() ? full : JoinPath(full, rest));
}

}  // namespace

bool CheckOutsideTrees(const std::vector<std::string>& roots, const std::string& output) {
  std::string place = ComparablePath(output);
  for (const std::string& root : roots) {
    std::string tree = ComparablePath(root);
    if (!tree.empty() && tree.back() != '/') tree += '/';
    if (place.compare(0, tree.size(), tree) == 0) {
      ReportError(ERR_INVALID, "File=%s (inside %s)", output.c_str(), root.c_str());
      return false;
    }
  }
  return true;
}

bool ReadStoredContent(PackArchive& archive, const std::string& name, std::string* content) {
  PackFileStream* stream = archive.OpenFile(name.c_str());
  if (stream == nullptr) return false;
  content->assign(stream->GetSize(), '\0');
  uint32_t got = content->empty() ? 0 : stream->Read(&(*content)[0], stream->GetSize());
  stream->Release();
  return got == content->size();  // a short read reported why
}

bool ReadStoredBytes(PackArchive& archive, const StoredFile& file, std::string* bytes) {
  bytes->assign(file.block.storedSize, '\0');
  return archive.ReadFileData(file.name.c_str(), false, bytes->empty() ? nullptr : &(*bytes)[0],
                              file.block.storedSize);
}

// Opens one side and learns its stored files from the list file. A side that
// cannot be compared file by file gets a `problem`; false only for failures
// that would also stop a whole-archive comparison.
bool LoadPackSide(const std::string& path, const std::string& treeName, PackSide* side) {
  side->path = path;
  if (!side->archive->Open(path.c_str(), true)) {
    side->problem = "not readable as an archive in " + treeName + " (error " +
                    std::to_string(LastErrorCode()) + ")";
    return true;
  }
  std::vector<PackSlotInfo> slots;
  if (!ListPackSlots(*side->archive, &slots)) return false;
  std::map<uint32_t, const PackSlotInfo*> bySlot;
  for (const PackSlotInfo& info : slots) {
    if (!info.hasBlock) {
      side->problem = "damaged tables in " + treeName;
      return true;
    }
    bySlot[info.slot] = &info;
  }
  const char* listName = side->archive->GetListFileName();
  int32_t listSlot = FindPackSlot(*side->archive, listName);
  if (listSlot < 0) {
    side->problem = "no list file in " + treeName;
    return true;
  }
  side->hasList = true;
  side->list = {listName, bySlot[static_cast<uint32_t>(listSlot)]->block};
  std::string text;
  if (!ReadStoredContent(*side->archive, listName, &text)) return false;
  PackListFile list;
  list.Parse(text);
  size_t covered = 1;  // the list file itself
  for (const auto& keyed : list.entries()) {
    const PackListEntry& entry = keyed.second;
    int32_t slot = FindPackSlotOfKey(*side->archive, keyed.first);
    if (slot < 0) continue;  // listed but not stored: nothing to compare or write
    auto inserted =
        side->files.emplace(keyed.first, StoredFile{entry.name, bySlot[uint32_t(slot)]->block});
    if (inserted.second) ++covered;
  }
  if (covered != slots.size()) {
    side->problem = "stored files without a name in the list file in " + treeName;
  }
  return true;
}

// Whether two stored files have the same type and decoded content. Equal
// stored bytes settle it without decoding.
bool SameStoredFile(PackArchive& oldArchive, const StoredFile& oldFile, PackArchive& newArchive,
                    const StoredFile& newFile, bool* same) {
  *same = false;
  if (oldFile.block.CompressType() != newFile.block.CompressType() ||
      oldFile.block.contentSize != newFile.block.contentSize) {
    return true;
  }
  std::string a;
  std::string b;
  if (oldFile.block.storedSize == newFile.block.storedSize) {
    if (!ReadStoredBytes(oldArchive, oldFile, &a) || !ReadStoredBytes(newArchive, newFile, &b)) {
      return false;
    }
    if (a == b) {
      *same = true;
      return true;
    }
  }
  if (oldFile.block.CompressType() == COMPRESS_NONE) return true;  // the bytes are the content
  if (!ReadStoredContent(oldArchive, oldFile.name, &a) ||
      !ReadStoredContent(newArchive, newFile.name, &b)) {
    return false;
  }
  *same = a == b;
  return true;
}

}  // namespace patchkit
}  // namespace qlmr
