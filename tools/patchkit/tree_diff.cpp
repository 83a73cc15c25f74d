#include "tools/patchkit/tree_diff.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"
#include "pack/pack_list_file.h"
#include "patch/control_list.h"
#include "patch/patch_format.h"
#include "patch/zip_writer.h"
#include "tools/progress.h"

namespace qlmr {
namespace patchkit {
namespace {

constexpr char kPackExtension[] = "pak";
constexpr char kVersionFileName[] = ".ver";
constexpr uint32_t kChunk = 1u << 16;

// --- Work on both cores ------------------------------------------------------

// Runs work(i) for every i below `count` on two threads while the calling
// thread advances a progress bar. Stops at the first failure and reports it
// again on the calling thread, whose error state is the one callers read.
bool ForEachOnBothCores(size_t count, const char* label, const std::function<bool(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> failed{false};
  std::mutex lock;
  std::condition_variable finished;
  int running = 2;
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
    --running;
    finished.notify_all();
  };
  tools::ProgressBar progress(label, count);
  std::thread first(worker);
  std::thread second(worker);
  size_t shown = 0;
  {
    std::unique_lock<std::mutex> guard(lock);
    while (running > 0) {
      finished.wait_for(guard, std::chrono::milliseconds(100));
      size_t now = done.load();
      progress.Advance(now - shown);
      shown = now;
    }
  }
  first.join();
  second.join();
  if (failed.load()) {
    ReportError(errorCode, "%s", errorMessage.c_str());
    return false;
  }
  return true;
}

// --- Files -------------------------------------------------------------------

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

// Whether two files hold the same bytes: sizes first, then the content.
// `*secondSize` receives the size of `second`.
bool SameFileContent(const std::string& first, const std::string& second, bool* same,
                     uint64_t* secondSize) {
  File a;
  File b;
  uint64_t sizeA = 0;
  if (!OpenForReading(first, &a, &sizeA) || !OpenForReading(second, &b, secondSize)) return false;
  *same = sizeA == *secondSize;
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

// A new folder in the temporary folder, removed with its content at the end
// of its owner's scope.
class ScratchFolder {
 public:
  ~ScratchFolder() {
    if (path_.empty()) return;
    RemoveFolderContents(path_.c_str());
    RemoveEmptyFolder(path_.c_str());
  }
  bool Create(const char* prefix) {
    std::string name;
    if (!CreateUniqueTempFile(TempFolderPath().c_str(), prefix, &name) ||
        !RemoveFileAt(name.c_str()) || !MakeFolder(name.c_str())) {
      ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", TempFolderPath().c_str(), LastSystemError());
      return false;
    }
    path_ = name;
    return true;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// --- Trees -------------------------------------------------------------------

struct LooseFile {
  std::string name;  // relative, folders joined with backslashes, as on disk
  std::string path;
};

using LooseFiles = std::map<std::string, LooseFile>;  // by normalized name

bool ScanFolder(const std::string& root, const std::string& relative, LooseFiles* files) {
  std::string folder = relative.empty() ? root : JoinPath(root, relative);
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder.c_str(), &entries)) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  for (const FolderEntry& entry : entries) {
    std::string name = relative.empty() ? entry.name : relative + "\\" + entry.name;
    if (entry.isFolder) {
      if (!ScanFolder(root, name, files)) return false;
      continue;
    }
    auto inserted = files->emplace(NormalizeName(name), LooseFile{name, JoinPath(root, name)});
    if (!inserted.second) {
      // The installation is blind to case: these two would be one file.
      ReportError(ERR_DUPLICATE, "File=%s, File=%s", inserted.first->second.path.c_str(),
                  JoinPath(root, name).c_str());
      return false;
    }
  }
  return true;
}

bool ScanTree(const std::string& root, LooseFiles* files) {
  if (!IsFolder(root.c_str())) {
    ReportError(ERR_INVALID, "Path=%s (not a folder)", root.c_str());
    return false;
  }
  return ScanFolder(root, "", files);
}

bool IsPackName(const std::string& key) { return PathExtension(key) == kPackExtension; }

// --- Pack archives -----------------------------------------------------------

struct StoredFile {
  std::string name;  // as the list file writes it
  PackBlockEntry block;
};

// One side of a pack archive comparison.
struct PackSide {
  std::string path;
  std::unique_ptr<PackArchive> archive = NewPackArchive();
  std::map<std::string, StoredFile> files;  // by normalized name
  bool hasList = false;
  StoredFile list;
  std::string problem;  // why it cannot be compared file by file; empty when it can
};

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
bool LoadPackSide(const std::string& path, const char* treeName, PackSide* side) {
  side->path = path;
  if (!side->archive->Open(path.c_str(), true)) {
    side->problem = std::string("not readable as an archive in ") + treeName + " (error " +
                    std::to_string(LastErrorCode()) + ")";
    return true;
  }
  std::vector<PackSlotInfo> slots;
  if (!ListPackSlots(*side->archive, &slots)) return false;
  std::map<uint32_t, const PackSlotInfo*> bySlot;
  for (const PackSlotInfo& info : slots) {
    if (!info.hasBlock) {
      side->problem = std::string("damaged tables in ") + treeName;
      return true;
    }
    bySlot[info.slot] = &info;
  }
  const char* listName = side->archive->GetListFileName();
  int32_t listSlot = FindPackSlot(*side->archive, listName);
  if (listSlot < 0) {
    side->problem = std::string("no list file in ") + treeName;
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
    side->problem = std::string("stored files without a name in the list file in ") + treeName;
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

// A pack archive present in both trees.
struct PackPair {
  std::string key;
  const LooseFile* oldFile = nullptr;
  const LooseFile* newFile = nullptr;
  PackSide oldSide;
  PackSide newSide;
  bool wholeFilesEqual = false;  // compared byte for byte when not file by file
};

// One comparison to make on the worker threads.
struct Comparison {
  enum Kind { kLoose, kStored, kList, kWholePack } kind;
  const LooseFile* oldFile = nullptr;  // kLoose
  const LooseFile* newFile = nullptr;
  PackPair* pack = nullptr;  // the others
  const StoredFile* oldStored = nullptr;
  const StoredFile* newStored = nullptr;
  bool same = false;
  uint64_t newSize = 0;
};

bool RunComparison(Comparison* c) {
  switch (c->kind) {
    case Comparison::kLoose:
      return SameFileContent(c->oldFile->path, c->newFile->path, &c->same, &c->newSize);
    case Comparison::kWholePack:
      return SameFileContent(c->pack->oldFile->path, c->pack->newFile->path, &c->same, &c->newSize);
    case Comparison::kStored:
    case Comparison::kList:
      return SameStoredFile(*c->pack->oldSide.archive, *c->oldStored, *c->pack->newSide.archive,
                            *c->newStored, &c->same);
  }
  return false;
}

// Whether `name` can stand in a control-list line and be opened by the
// application: no field or line separator, and for the names of loose
// files and archives a path that stays inside the installation.
bool CheckEntryName(const std::string& name, bool isPath) {
  if (name.find_first_of("|\r\n") != std::string::npos) {
    ReportError(ERR_BAD_DATA, "File=%s (cannot stand in the control list)", name.c_str());
    return false;
  }
  if (isPath && !IsSafeRelativeName(name)) {
    ReportError(ERR_BAD_DATA, "File=%s (not a safe relative name)", name.c_str());
    return false;
  }
  return true;
}

// What one entry costs in a patch besides its data: the zip's local and
// central headers, both with the member's name, and its control-list line.
uint64_t EntryOverhead(const DiffEntry& entry) {
  constexpr uint64_t kZipHeaders = 30 + 46;
  std::string member = entry.line.packName.empty()
                           ? entry.line.fileName
                           : JoinPath(entry.line.packName, entry.line.fileName);
  return kZipHeaders + 2 * member.size() + FormatControlLine(entry.line, entry.contentSize).size() +
         2;
}

// What NEW's archive costs as one whole-pack entry: its stored data and its
// free extents as they are (already encoded or leftover bytes), and its
// header and tables as the container's deflate shrinks them, mostly zeros.
bool EncodedArchiveSize(PackSide& side, const DiffEntry& entry, uint64_t* bytes) {
  PackHeader header;
  std::vector<PackSlotInfo> slots;
  uint32_t freeExtents = 0;
  uint64_t freeBytes = 0;
  if (!GetPackHeader(*side.archive, &header) || !ListPackSlots(*side.archive, &slots) ||
      !GetPackFreeSpace(*side.archive, &freeExtents, &freeBytes)) {
    return false;
  }
  *bytes = freeBytes + EntryOverhead(entry);
  for (const PackSlotInfo& info : slots) *bytes += info.block.storedSize;
  File file;
  uint64_t size = 0;
  if (!OpenForReading(side.path, &file, &size)) return false;
  std::string tables(static_cast<size_t>(std::min<uint64_t>(size, header.dataOffset)), '\0');
  if (!tables.empty() && !ReadChunk(&file, side.path, reinterpret_cast<uint8_t*>(&tables[0]),
                                    static_cast<uint32_t>(tables.size()))) {
    return false;
  }
  uLongf deflated = compressBound(static_cast<uLong>(tables.size()));
  std::unique_ptr<Bytef[]> out(new Bytef[deflated]);
  if (compress2(out.get(), &deflated, reinterpret_cast<const Bytef*>(tables.data()),
                static_cast<uLong>(tables.size()), Z_BEST_SPEED) != Z_OK) {
    deflated = static_cast<uLongf>(tables.size());
  }
  *bytes += deflated;
  return true;
}

DiffEntry LooseEntry(int32_t op, const LooseFile& file, uint64_t bytes) {
  DiffEntry entry;
  entry.line.op = op;
  entry.line.fileName = file.name;
  if (op == ENTRY_OP_WRITE) entry.source = file.path;
  entry.bytes = bytes;
  // The builder records a loose file's length too, although nothing reads it.
  entry.contentSize = static_cast<uint32_t>(bytes);
  return entry;
}

DiffEntry PackEntry(int32_t op, const std::string& packName, const StoredFile& file) {
  DiffEntry entry;
  entry.line.op = op;
  entry.line.packName = packName;
  entry.line.fileName = file.name;
  if (op == ENTRY_OP_WRITE) {
    entry.line.compressType = file.block.CompressType();
    entry.source = file.name;
    entry.bytes = file.block.storedSize;
    entry.contentSize = file.block.contentSize;
  }
  return entry;
}

}  // namespace

const char* PackPlanName(PackPlan plan) {
  switch (plan) {
    case PackPlan::kPerFile:
      return "per-file";
    case PackPlan::kWhole:
      return "whole";
    case PackPlan::kAdded:
      return "added";
    case PackPlan::kRemoved:
      return "removed";
  }
  return "?";
}

bool DiffInstallations(const std::string& oldRoot, const std::string& newRoot, TreeDiff* diff) {
  *diff = TreeDiff();
  diff->oldRoot = oldRoot;
  diff->newRoot = newRoot;
  LooseFiles oldFiles;
  LooseFiles newFiles;
  if (!ScanTree(oldRoot, &oldFiles) || !ScanTree(newRoot, &newFiles)) return false;
  for (const auto& file : oldFiles) diff->oldNames.insert(file.first);
  for (const auto& file : newFiles) diff->newNames.insert(file.first);
  auto version = newFiles.find(kVersionFileName);
  if (version == newFiles.end()) {
    ReportError(ERR_NOT_FOUND, "%s", JoinPath(newRoot, kVersionFileName).c_str());
    return false;
  }

  // Everything to compare, loose files and archives alike.
  std::vector<std::unique_ptr<PackPair>> packs;
  std::vector<Comparison> comparisons;
  for (const auto& file : newFiles) {
    auto old = oldFiles.find(file.first);
    if (old == oldFiles.end() || file.first == kVersionFileName) continue;
    if (!IsPackName(file.first)) {
      comparisons.push_back({Comparison::kLoose, &old->second, &file.second});
      continue;
    }
    packs.emplace_back(new PackPair);
    PackPair& pack = *packs.back();
    pack.key = file.first;
    pack.oldFile = &old->second;
    pack.newFile = &file.second;
    if (!LoadPackSide(old->second.path, "OLD", &pack.oldSide) ||
        !LoadPackSide(file.second.path, "NEW", &pack.newSide)) {
      return false;
    }
    if (!pack.oldSide.problem.empty() || !pack.newSide.problem.empty()) {
      Comparison whole{Comparison::kWholePack};
      whole.pack = &pack;
      comparisons.push_back(whole);
      continue;
    }
    for (const auto& stored : pack.newSide.files) {
      auto oldStored = pack.oldSide.files.find(stored.first);
      if (oldStored == pack.oldSide.files.end()) continue;
      Comparison c{Comparison::kStored};
      c.pack = &pack;
      c.oldStored = &oldStored->second;
      c.newStored = &stored.second;
      comparisons.push_back(c);
    }
    Comparison list{Comparison::kList};
    list.pack = &pack;
    list.oldStored = &pack.oldSide.list;
    list.newStored = &pack.newSide.list;
    comparisons.push_back(list);
  }
  if (!ForEachOnBothCores(comparisons.size(), "compare",
                          [&](size_t i) { return RunComparison(&comparisons[i]); })) {
    return false;
  }

  // Loose files, the archives among them by what the comparisons found.
  std::map<std::string, bool> looseSame;  // by key, for files in both trees
  std::map<std::string, uint64_t> newSizes;
  std::map<const PackPair*, std::vector<const Comparison*>> packComparisons;
  for (const Comparison& c : comparisons) {
    if (c.kind == Comparison::kLoose) {
      std::string key = NormalizeName(c.newFile->name);
      looseSame[key] = c.same;
      newSizes[key] = c.newSize;
    } else {
      packComparisons[c.pack].push_back(&c);
    }
  }
  std::vector<DiffEntry> wholePacks;
  std::vector<DiffEntry> packBound;
  std::vector<DiffEntry> loose;
  DiffSummary& summary = diff->summary;
  std::map<std::string, PackPair*> packsByKey;
  for (auto& pack : packs) packsByKey[pack->key] = pack.get();

  // Every key of either tree, in order.
  std::set<std::string> keys = diff->oldNames;
  keys.insert(diff->newNames.begin(), diff->newNames.end());
  for (const std::string& key : keys) {
    if (key == kVersionFileName) continue;
    auto oldFile = oldFiles.find(key);
    auto newFile = newFiles.find(key);
    bool inOld = oldFile != oldFiles.end();
    bool inNew = newFile != newFiles.end();
    const LooseFile& named = inNew ? newFile->second : oldFile->second;
    if (!CheckEntryName(named.name, true)) return false;
    if (!IsPackName(key)) {
      if (!inNew) {
        loose.push_back(LooseEntry(ENTRY_OP_DELETE, oldFile->second, 0));
        ++summary.looseDeletions;
      } else if (!inOld || !looseSame[key]) {
        uint64_t size = newSizes[key];
        if (!inOld && !SizeOf(newFile->second.path, &size)) return false;
        loose.push_back(LooseEntry(ENTRY_OP_WRITE, newFile->second, size));
        ++summary.looseWrites;
        summary.looseWriteBytes += size;
      }
      continue;
    }
    PackSummary pack;
    pack.name = named.name;
    if (!inNew) {
      pack.plan = PackPlan::kRemoved;
      pack.reason = "only in OLD";
      wholePacks.push_back(LooseEntry(ENTRY_OP_DELETE, oldFile->second, 0));
      ++summary.wholePackDeletions;
      summary.packs.push_back(pack);
      continue;
    }
    uint64_t wholeSize = 0;
    if (!SizeOf(newFile->second.path, &wholeSize)) return false;
    if (!inOld) {
      pack.plan = PackPlan::kAdded;
      pack.reason = "only in NEW";
    } else {
      PackPair& pair = *packsByKey[key];
      std::string problem =
          !pair.oldSide.problem.empty() ? pair.oldSide.problem : pair.newSide.problem;
      if (!problem.empty()) {
        const Comparison& whole = *packComparisons[&pair].front();
        pack.plan = PackPlan::kWhole;
        pack.reason = whole.same ? "unchanged (" + problem + ")" : problem;
        if (whole.same) {
          summary.packs.push_back(pack);
          continue;
        }
      } else {
        std::vector<DiffEntry> entries;
        std::map<std::string, bool> same;
        for (const Comparison* c : packComparisons[&pair]) {
          if (c->kind == Comparison::kStored) same[NormalizeName(c->newStored->name)] = c->same;
        }
        for (const auto& stored : pair.oldSide.files) {
          if (pair.newSide.files.count(stored.first) == 0) {
            entries.push_back(PackEntry(ENTRY_OP_DELETE, pack.name, stored.second));
            ++pack.deletions;
          }
        }
        for (const auto& stored : pair.newSide.files) {
          auto found = same.find(stored.first);
          if (found != same.end() && found->second) continue;
          entries.push_back(PackEntry(ENTRY_OP_WRITE, pack.name, stored.second));
        }
        const Comparison* list = nullptr;
        for (const Comparison* c : packComparisons[&pair]) {
          if (c->kind == Comparison::kList) list = c;
        }
        if (list != nullptr && !list->same) {
          entries.push_back(PackEntry(ENTRY_OP_WRITE, pack.name, pair.newSide.list));
          pack.listWritten = true;
        }
        for (const DiffEntry& entry : entries) {
          if (!CheckEntryName(entry.line.fileName, false)) return false;
          pack.perFileBytes += EntryOverhead(entry);
          if (entry.line.op != ENTRY_OP_WRITE) continue;
          ++pack.writes;
          pack.writeBytes += entry.bytes;
          pack.perFileBytes += entry.bytes;
        }
        if (!entries.empty() &&
            !EncodedArchiveSize(pair.newSide, LooseEntry(ENTRY_OP_WRITE, newFile->second, 0),
                                &pack.wholeBytes)) {
          return false;
        }
        if (entries.empty() || pack.perFileBytes <= pack.wholeBytes) {
          pack.plan = PackPlan::kPerFile;
          pack.reason = entries.empty() ? "unchanged"
                                        : "per-file entries " + std::to_string(pack.perFileBytes) +
                                              " bytes <= whole archive " +
                                              std::to_string(pack.wholeBytes) + " bytes";
          packBound.insert(packBound.end(), entries.begin(), entries.end());
          summary.packs.push_back(pack);
          continue;
        }
        pack.plan = PackPlan::kWhole;
        pack.reason = "whole archive " + std::to_string(pack.wholeBytes) +
                      " bytes < per-file entries " + std::to_string(pack.perFileBytes) + " bytes";
        pack.writes = 0;
        pack.deletions = 0;
      }
    }
    pack.writeBytes = wholeSize;
    wholePacks.push_back(LooseEntry(ENTRY_OP_WRITE, newFile->second, wholeSize));
    ++summary.wholePackWrites;
    summary.wholePackBytes += wholeSize;
    summary.packs.push_back(pack);
  }

  // The version file last, under its exact name so that it is applied last.
  uint64_t versionSize = 0;
  if (!SizeOf(version->second.path, &versionSize)) return false;
  DiffEntry versionEntry = LooseEntry(ENTRY_OP_WRITE, version->second, versionSize);
  versionEntry.line.fileName = kVersionFileName;
  summary.versionBytes = versionEntry.bytes;
  for (auto* group : {&wholePacks, &packBound, &loose}) {
    diff->entries.insert(diff->entries.end(), group->begin(), group->end());
  }
  diff->entries.push_back(versionEntry);
  return true;
}

std::string ControlListText(const TreeDiff& diff) {
  std::string text;
  for (const DiffEntry& entry : diff.entries) {
    text += FormatControlLine(entry.line, entry.contentSize) + "\r\n";
  }
  return text;
}

bool PlanPatch(const TreeDiff& diff, std::vector<PatchStep>* steps) {
  steps->clear();
  std::string temp;
  if (!CreateUniqueTempFile(TempFolderPath().c_str(), "qdl", &temp)) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", TempFolderPath().c_str(), LastSystemError());
    return false;
  }
  PatchPackagePtr package(CreatePatchPackage());
  bool ok = WriteZipContainer({{patch_format::kControlListName, ControlListText(diff)}},
                              temp.c_str(), ZipByteForm::kMasked) &&
            package->OpenPackage(temp.c_str(), kPackExtension);
  if (ok) *steps = PlanPatchApplication(*package, kPackExtension, kVersionFileName);
  package.reset();
  RemoveFileAt(temp.c_str());
  return ok;
}

namespace {

// Writes the data of every pack-bound write into `staging` and points the
// lines at it: the stored bytes for a masked package, which carries them as
// they are, the decoded content for a packed one.
bool StagePackData(const TreeDiff& diff, PatchKind kind, const std::string& staging,
                   std::vector<PackageLine>* lines, std::vector<PackageData>* data) {
  std::map<std::string, std::unique_ptr<PackArchive>> archives;  // by normalized packName
  std::vector<size_t> staged;
  for (size_t i = 0; i < diff.entries.size(); ++i) {
    const DiffEntry& entry = diff.entries[i];
    lines->push_back(entry.line);
    data->emplace_back();
    PackageData& source = data->back();
    if (entry.line.op != ENTRY_OP_WRITE) continue;
    if (entry.line.packName.empty()) {
      source.path = entry.source;
      continue;
    }
    std::string key = NormalizeName(entry.line.packName);
    std::unique_ptr<PackArchive>& archive = archives[key];
    if (archive == nullptr) {
      archive = NewPackArchive();
      if (!archive->Open(JoinPath(diff.newRoot, entry.line.packName).c_str(), true)) return false;
    }
    source.path = JoinPath(staging, std::to_string(i));
    source.storedForm = kind == PATCH_KIND_MASKED_ZIP;
    source.contentSize = entry.contentSize;
    staged.push_back(i);
  }
  return ForEachOnBothCores(staged.size(), "stage", [&](size_t n) {
    size_t i = staged[n];
    const DiffEntry& entry = diff.entries[i];
    PackArchive& archive = *archives.find(NormalizeName(entry.line.packName))->second;
    std::string bytes;
    bool ok = false;
    if (kind == PATCH_KIND_MASKED_ZIP) {
      bytes.assign(static_cast<size_t>(entry.bytes), '\0');
      ok = archive.ReadFileData(entry.source.c_str(), false, bytes.empty() ? nullptr : &bytes[0],
                                static_cast<uint32_t>(entry.bytes));
    } else {
      ok = ReadStoredContent(archive, entry.source, &bytes);
    }
    return ok && WriteWholeFile((*data)[i].path, bytes.data(), static_cast<uint32_t>(bytes.size()));
  });
}

// What ApplyPackage did to a scratch folder, compared with NEW.
class PatchChecker {
 public:
  PatchChecker(const TreeDiff& diff, const std::string& scratch, SelfCheck* check)
      : diff_(diff), scratch_(scratch), check_(check) {}

  bool Mismatch(const std::string& what) {
    ReportError(ERR_BAD_DATA, "self-check: %s", what.c_str());
    return false;
  }

  // Every loose file the patch writes equals NEW's, and the loose names
  // after the patch are NEW's.
  bool CheckLoose(const std::vector<PatchStep>& steps) {
    std::set<std::string> names = diff_.oldNames;
    for (const PatchStep& step : steps) {
      if (step.kind != PatchStep::kLooseEntry) continue;
      std::string key = NormalizeName(step.fileName);
      if (step.op == ENTRY_OP_DELETE) {
        names.erase(key);
        continue;
      }
      names.insert(key);
      if (diff_.newNames.count(key) == 0) return Mismatch("writes " + step.fileName);
      bool same = false;
      uint64_t size = 0;
      if (!SameFileContent(JoinPath(scratch_, step.fileName),
                           JoinPath(diff_.newRoot, step.fileName), &same, &size)) {
        return false;
      }
      if (!same) return Mismatch(step.fileName + " differs");
      ++check_->filesCompared;
    }
    if (names != diff_.newNames) return Mismatch("the loose files differ from NEW's");
    return true;
  }

  // An archive changed in place holds the stored files NEW's does, with
  // their types and sizes, and every file the patch wrote has NEW's content.
  bool CheckPack(const std::string& packName, const std::vector<std::string>& written) {
    auto patched = NewPackArchive();
    auto wanted = NewPackArchive();
    if (!patched->Open(JoinPath(scratch_, packName).c_str(), true) ||
        !wanted->Open(JoinPath(diff_.newRoot, packName).c_str(), true)) {
      return false;
    }
    std::vector<PackSlotInfo> a;
    std::vector<PackSlotInfo> b;
    if (!ListPackSlots(*patched, &a) || !ListPackSlots(*wanted, &b)) return false;
    auto shape = [](const std::vector<PackSlotInfo>& slots) {
      std::multiset<std::tuple<uint32_t, uint32_t, uint8_t, uint32_t>> result;
      for (const PackSlotInfo& s : slots) {
        result.emplace(s.hash.hashA, s.hash.hashB, s.block.CompressType(), s.block.contentSize);
      }
      return result;
    };
    if (shape(a) != shape(b)) return Mismatch(packName + ": other stored files than NEW's");
    for (const std::string& name : written) {
      std::string x;
      std::string y;
      if (!ReadStoredContent(*patched, name, &x) || !ReadStoredContent(*wanted, name, &y)) {
        return false;
      }
      if (x != y) return Mismatch(packName + "|" + name + " differs");
      ++check_->filesCompared;
    }
    return true;
  }

 private:
  const TreeDiff& diff_;
  std::string scratch_;
  SelfCheck* check_;
};

bool SelfCheckPatch(const TreeDiff& diff, const std::string& patch, SelfCheck* check) {
  ScratchFolder scratch;
  if (!scratch.Create("qdc")) return false;
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(patch.c_str(), kPackExtension)) return false;
  std::vector<PatchStep> steps = PlanPatchApplication(*package, kPackExtension, kVersionFileName);
  // Only the archives changed in place need their old content; the patch
  // writes every other file it touches from scratch.
  std::map<std::string, std::vector<std::string>> packs;  // packName -> written names
  std::string current;
  for (const PatchStep& step : steps) {
    if (step.kind == PatchStep::kOpenPack) {
      current = step.packKey;
      packs[current];
      std::string from = JoinPath(diff.oldRoot, current);
      std::string to = JoinPath(scratch.path(), current);
      if (!CreateFolderChain(PathFolder(to).c_str())) {
        ReportError(ERR_ACCESS, "File=%s, WinErr=%d", PathFolder(to).c_str(), LastSystemError());
        return false;
      }
      if (!CopyFileReplace(from.c_str(), to.c_str())) {
        ReportError(ERR_WRITE, "File=%s, WinErr=%d", to.c_str(), LastSystemError());
        return false;
      }
    } else if (step.kind == PatchStep::kPackEntry && step.op == ENTRY_OP_WRITE) {
      packs[current].push_back(step.fileName);
    }
  }
  if (!package->ApplyPackage(scratch.path().c_str(), kPackExtension, kVersionFileName, nullptr)) {
    return false;
  }
  check->method =
      "applied to a scratch copy of the archives OLD changes in place; written files, "
      "loose names and stored files compared with NEW";
  PatchChecker checker(diff, scratch.path(), check);
  if (!checker.CheckLoose(steps)) return false;
  for (const auto& pack : packs) {
    if (!checker.CheckPack(pack.first, pack.second)) return false;
  }
  return true;
}

}  // namespace

bool WritePatch(const TreeDiff& diff, const std::string& output, PatchKind kind, SelfCheck* check) {
  *check = SelfCheck();
  if (output.empty() || (kind != PATCH_KIND_MASKED_ZIP && kind != PATCH_KIND_PACKED)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  ScratchFolder staging;
  std::vector<PackageLine> lines;
  std::vector<PackageData> data;
  if (!staging.Create("qds")) return false;
  {
    // One file per pack-bound write, all new in one folder: read it once.
    FolderListingScope listings;
    if (!StagePackData(diff, kind, staging.path(), &lines, &data)) return false;
  }
  std::string folder = PathFolder(output);
  // The builder writes the patch by name; a failed build or self-check
  // leaves no patch behind, and an earlier one at `output` stays whole.
  ReplacingFile temp;
  if (!temp.Create(folder.empty() ? "." : folder.c_str(), "qdp")) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", output.c_str(), LastSystemError());
    return false;
  }
  temp.file()->Close();
  if (!BuildPatchPackage(lines, diff.newRoot.c_str(), temp.tempPath().c_str(), kind, &data) ||
      !SelfCheckPatch(diff, temp.tempPath(), check)) {
    return false;
  }
  if (!temp.Commit(output.c_str())) {
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", output.c_str(), LastSystemError());
    return false;
  }
  return true;
}

}  // namespace patchkit
}  // namespace qlmr
