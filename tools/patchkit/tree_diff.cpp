// The diff of installations in four steps: scan the trees, compare what they
// share (on every core), plan each archive and loose file, assemble the
// entries in the order of application.
#include "tools/patchkit/tree_diff.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"
#include "tools/patchkit/diff_support.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

// --- Compare ---------------------------------------------------------------------

// An archive of NEW as one OLD holds it, and what comparing the two found.
struct OldArchive {
  PackSide side;
  bool wholeSame = false;                  // byte for byte: when not compared file by file
  std::map<std::string, bool> storedSame;  // the stored files both hold, by key
  bool listSame = false;
};

// An archive of NEW that at least one OLD holds too.
struct ArchiveComparison {
  PackSide newSide;
  std::vector<std::unique_ptr<OldArchive>> olds;  // one per OLD, null where it lacks the archive
  // Packed patches: the stored files a per-file patch would hand the
  // updater's encoder and that it refuses, by key, with the codec's words.
  std::map<std::string, std::string> unencodable;

  // Whether a per-file patch writes NEW's stored file `key`: some OLD lacks it
  // or holds it otherwise.
  bool Written(const std::string& key) const {
    return !std::all_of(olds.begin(), olds.end(), [&](const auto& old) {
      auto same = old->storedSame.find(key);
      return same != old->storedSame.end() && same->second;
    });
  }

  bool HeldByEveryOld() const {
    return std::all_of(olds.begin(), olds.end(), [](const auto& old) { return old != nullptr; });
  }
  // Why the archive cannot be patched stored file by stored file; empty when
  // it can.
  std::string Problem() const {
    if (!newSide.problem.empty()) return newSide.problem;
    for (const auto& old : olds) {
      if (old != nullptr && !old->side.problem.empty()) return old->side.problem;
    }
    return std::string();
  }
};

// What the comparison of the trees found.
struct Comparisons {
  std::vector<std::map<std::string, bool>> looseSame;  // per OLD: files it shares with NEW
  std::map<std::string, std::unique_ptr<ArchiveComparison>> archives;  // by key
};

// One comparison for the worker threads, and where its answer goes.
struct Comparison {
  const LooseFile* oldFile = nullptr;  // two files byte for byte,
  const LooseFile* newFile = nullptr;
  PackSide* oldSide = nullptr;  // or two stored files
  PackSide* newSide = nullptr;
  const StoredFile* oldStored = nullptr;
  const StoredFile* newStored = nullptr;
  bool* same = nullptr;
};

bool RunComparison(const Comparison& c) {
  if (c.oldFile != nullptr) return SameFileContent(c.oldFile->path, c.newFile->path, c.same);
  return SameStoredFile(*c.oldSide->archive, *c.oldStored, *c.newSide->archive, *c.newStored,
                        c.same);
}

// Opens the archive `key` on every side that holds it and lists the
// comparisons it needs: none when some OLD lacks it (it is written whole
// then), whole files when a side cannot be compared file by file, else
// every stored file both hold and the list files.
bool ListArchiveComparisons(const std::string& key, const std::vector<Tree>& olds,
                            const Tree& newTree, ArchiveComparison* archive,
                            std::vector<Comparison>* work) {
  if (!LoadPackSide(newTree.files.at(key).path, newTree.label, &archive->newSide)) return false;
  for (const Tree& old : olds) {
    const LooseFile* file = old.Find(key);
    archive->olds.emplace_back(file == nullptr ? nullptr : new OldArchive);
    if (file != nullptr && !LoadPackSide(file->path, old.label, &archive->olds.back()->side)) {
      return false;
    }
  }
  if (!archive->HeldByEveryOld()) return true;
  bool fileByFile = archive->Problem().empty();
  for (size_t i = 0; i < olds.size(); ++i) {
    OldArchive& old = *archive->olds[i];
    if (!fileByFile) {
      work->push_back({olds[i].Find(key), &newTree.files.at(key)});
      work->back().same = &old.wholeSame;
      continue;
    }
    for (const auto& stored : archive->newSide.files) {
      auto oldStored = old.side.files.find(stored.first);
      if (oldStored == old.side.files.end()) continue;
      bool* same = &old.storedSame[stored.first];
      work->push_back({nullptr, nullptr, &old.side, &archive->newSide, &oldStored->second,
                       &stored.second, same});
    }
    work->push_back({nullptr, nullptr, &old.side, &archive->newSide, &old.side.list,
                     &archive->newSide.list, &old.listSame});
  }
  return true;
}

bool CompareTrees(const std::vector<Tree>& olds, const Tree& newTree, Comparisons* found) {
  std::vector<Comparison> work;
  found->looseSame.resize(olds.size());
  for (const auto& file : newTree.files) {
    const std::string& key = file.first;
    if (key == kVersionFileName) continue;
    if (IsPackName(key)) {
      bool inSomeOld = std::any_of(olds.begin(), olds.end(),
                                   [&](const Tree& old) { return old.Find(key) != nullptr; });
      if (!inSomeOld) continue;
      auto& archive = found->archives[key];
      archive.reset(new ArchiveComparison);
      if (!ListArchiveComparisons(key, olds, newTree, archive.get(), &work)) return false;
      continue;
    }
    for (size_t i = 0; i < olds.size(); ++i) {
      const LooseFile* oldFile = olds[i].Find(key);
      if (oldFile == nullptr) continue;
      work.push_back({oldFile, &file.second});
      work.back().same = &found->looseSame[i][key];
    }
  }
  return ForEachOnEveryCore(work.size(), "compare",
                            [&](size_t i) { return RunComparison(work[i]); });
}

// A packed patch carries stored files decoded, and the updater encodes them
// again with the codec of their type; LZO and LZMA refuse some data (LZMA
// whatever it cannot shrink). Finds, for every archive that could be
// patched file by file, the files it would write that the codec refuses:
// the small ones on every core, the large ones (each coder takes tens of
// MiB) one at a time, and those only for kEvery.
bool FindUnencodable(EncodingCheck check, Comparisons* found) {
  struct Candidate {
    ArchiveComparison* archive;
    const StoredFile* file;
    std::string refusal;
  };
  std::vector<Candidate> small;
  std::vector<Candidate> large;
  for (auto& keyed : found->archives) {
    ArchiveComparison& archive = *keyed.second;
    if (!archive.HeldByEveryOld() || !archive.Problem().empty()) continue;
    for (const auto& stored : archive.newSide.files) {
      uint8_t type = stored.second.block.CompressType();
      if ((type != COMPRESS_LZO && type != COMPRESS_LZMA) || !archive.Written(stored.first)) {
        continue;
      }
      bool isSmall = stored.second.block.contentSize <= kSmallEncodingCheck;
      if (isSmall || check == EncodingCheck::kEvery) {
        (isSmall ? small : large).push_back({&archive, &stored.second, std::string()});
      }
    }
  }
  auto encode = [](Candidate* candidate) {
    const Codec* codec = GetCodecRegistry().Find(candidate->file->block.CompressType());
    std::string content;
    if (codec == nullptr ||
        !ReadStoredContent(*candidate->archive->newSide.archive, candidate->file->name, &content)) {
      return false;
    }
    std::vector<uint8_t> encoded;
    if (!EncodeToBuffer(*codec, reinterpret_cast<const uint8_t*>(content.data()),
                        static_cast<uint32_t>(content.size()), &encoded)) {
      candidate->refusal = LastErrorMessage();
    }
    return true;
  };
  if (!ForEachOnEveryCore(small.size(), "encode", [&](size_t i) { return encode(&small[i]); })) {
    return false;
  }
  tools::ProgressBar progress("encode", large.size());
  for (Candidate& candidate : large) {
    if (!encode(&candidate)) return false;
    progress.Advance();
  }
  for (auto* group : {&small, &large}) {
    for (const Candidate& candidate : *group) {
      if (!candidate.refusal.empty()) {
        candidate.archive->unencodable[NormalizeName(candidate.file->name)] = candidate.refusal;
      }
    }
  }
  return true;
}

// --- Plan ------------------------------------------------------------------------

// The entries of the patch, by the group they are applied in, and their
// summary.
struct Plan {
  std::vector<DiffEntry> wholePacks;
  std::vector<DiffEntry> packBound;
  std::vector<DiffEntry> loose;
  DiffSummary summary;
};

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
  if (isPath && name.size() > kMaxInstalledName) {
    ReportError(ERR_BAD_DATA, "File=%s (%zu bytes, more than the %zu an installation has room for)",
                name.c_str(), name.size(), kMaxInstalledName);
    return false;
  }
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

// A loose file that is no archive: written when some OLD lacks it or holds
// other bytes, deleted when some OLD holds it and NEW does not.
bool PlanLooseFile(const std::string& key, const std::vector<Tree>& olds, const Tree& newTree,
                   const Comparisons& found, Plan* plan) {
  const LooseFile* newFile = newTree.Find(key);
  if (newFile == nullptr) {
    for (const Tree& old : olds) {
      const LooseFile* oldFile = old.Find(key);
      if (oldFile == nullptr) continue;
      plan->loose.push_back(LooseEntry(ENTRY_OP_DELETE, *oldFile, 0));
      ++plan->summary.looseDeletions;
      return true;
    }
    return true;
  }
  bool sameInEveryOld = true;
  for (size_t i = 0; i < olds.size(); ++i) {
    auto same = found.looseSame[i].find(key);
    sameInEveryOld = sameInEveryOld && same != found.looseSame[i].end() && same->second;
  }
  if (sameInEveryOld) return true;
  uint64_t size = 0;
  if (!SizeOf(newFile->path, &size)) return false;
  plan->loose.push_back(LooseEntry(ENTRY_OP_WRITE, *newFile, size));
  ++plan->summary.looseWrites;
  plan->summary.looseWriteBytes += size;
  return true;
}

// The pack-bound entries that turn every OLD's archive into NEW's: each
// stored file that some OLD holds and NEW does not is deleted, each that some
// OLD lacks or holds otherwise is written, and the list file last.
std::vector<DiffEntry> PerFileEntries(const std::string& packName, ArchiveComparison& archive,
                                      bool* listWritten) {
  std::vector<DiffEntry> entries;
  std::set<std::string> deleted;
  for (const auto& old : archive.olds) {
    for (const auto& stored : old->side.files) {
      if (archive.newSide.files.count(stored.first) == 0 && deleted.insert(stored.first).second) {
        entries.push_back(PackEntry(ENTRY_OP_DELETE, packName, stored.second));
      }
    }
  }
  for (const auto& stored : archive.newSide.files) {
    if (archive.Written(stored.first)) {
      entries.push_back(PackEntry(ENTRY_OP_WRITE, packName, stored.second));
    }
  }
  *listWritten = !std::all_of(archive.olds.begin(), archive.olds.end(),
                              [](auto& old) { return old->listSame; });
  if (*listWritten) entries.push_back(PackEntry(ENTRY_OP_WRITE, packName, archive.newSide.list));
  return entries;
}

// Why an archive of a packed patch goes whole: the updater's encoder refuses
// `name`, the first stored file it would write, with `refusal`.
std::string UnencodableReason(const std::string& name, const std::string& refusal) {
  return "the updater's encoder refuses " + name + " (" + refusal + ")";
}

// Chooses for an archive that every OLD holds and that can be compared file by
// file whichever form costs less: its per-file entries, or NEW's whole file.
bool ChooseArchiveForm(const LooseFile& newFile, ArchiveComparison& archive, PackSummary* pack,
                       std::vector<DiffEntry>* perFile) {
  *perFile = PerFileEntries(pack->name, archive, &pack->listWritten);
  for (const DiffEntry& entry : *perFile) {
    if (!CheckEntryName(entry.line.fileName, false)) return false;
    pack->perFileBytes += EntryOverhead(entry);
    if (entry.line.op == ENTRY_OP_DELETE) {
      ++pack->deletions;
      continue;
    }
    ++pack->writes;
    pack->writeBytes += entry.bytes;
    pack->perFileBytes += entry.bytes;
  }
  if (perFile->empty()) {
    pack->plan = PackPlan::kPerFile;
    pack->reason = "unchanged";
    return true;
  }
  if (!archive.unencodable.empty()) {
    const auto& first = *archive.unencodable.begin();
    pack->plan = PackPlan::kWhole;
    pack->reason = UnencodableReason(archive.newSide.files.at(first.first).name, first.second);
    pack->perFileBytes = 0;
    pack->writes = 0;
    pack->deletions = 0;
    pack->listWritten = false;
    perFile->clear();
    return true;
  }
  if (!EncodedArchiveSize(archive.newSide, LooseEntry(ENTRY_OP_WRITE, newFile, 0),
                          &pack->wholeBytes)) {
    return false;
  }
  if (pack->perFileBytes <= pack->wholeBytes) {
    pack->plan = PackPlan::kPerFile;
    pack->reason = "per-file entries " + std::to_string(pack->perFileBytes) +
                   " bytes <= whole archive " + std::to_string(pack->wholeBytes) + " bytes";
    return true;
  }
  pack->plan = PackPlan::kWhole;
  pack->reason = "whole archive " + std::to_string(pack->wholeBytes) +
                 " bytes < per-file entries " + std::to_string(pack->perFileBytes) + " bytes";
  pack->writes = 0;
  pack->deletions = 0;
  pack->listWritten = false;
  perFile->clear();
  return true;
}

// One pack archive: deleted when only OLDs hold it, written whole when NEW
// adds it, some OLD lacks it or some side cannot be compared file by file,
// else patched per stored file or written whole, whichever is smaller.
bool PlanArchive(const std::string& key, const std::vector<Tree>& olds, const Tree& newTree,
                 Comparisons& found, Plan* plan) {
  const LooseFile* newFile = newTree.Find(key);
  PackSummary pack;
  if (newFile == nullptr) {
    for (const Tree& old : olds) {
      const LooseFile* oldFile = old.Find(key);
      if (oldFile == nullptr) continue;
      pack.name = oldFile->name;
      pack.plan = PackPlan::kRemoved;
      pack.reason = "only in OLD";
      plan->wholePacks.push_back(LooseEntry(ENTRY_OP_DELETE, *oldFile, 0));
      ++plan->summary.wholePackDeletions;
      plan->summary.packs.push_back(pack);
      return true;
    }
    return true;
  }
  pack.name = newFile->name;
  auto compared = found.archives.find(key);
  if (compared == found.archives.end()) {
    pack.plan = PackPlan::kAdded;
    pack.reason = "only in NEW";
  } else if (!compared->second->HeldByEveryOld()) {
    pack.plan = PackPlan::kWhole;
    pack.reason = "not in every OLD";
  } else if (!compared->second->Problem().empty()) {
    ArchiveComparison& archive = *compared->second;
    std::string problem = archive.Problem();
    bool sameInEveryOld = std::all_of(archive.olds.begin(), archive.olds.end(),
                                      [](auto& old) { return old->wholeSame; });
    pack.plan = PackPlan::kWhole;
    pack.reason = sameInEveryOld ? "unchanged (" + problem + ")" : problem;
    if (sameInEveryOld) {
      plan->summary.packs.push_back(pack);
      return true;
    }
  } else {
    std::vector<DiffEntry> perFile;
    if (!ChooseArchiveForm(*newFile, *compared->second, &pack, &perFile)) return false;
    if (pack.plan == PackPlan::kPerFile) {
      plan->packBound.insert(plan->packBound.end(), perFile.begin(), perFile.end());
      plan->summary.packs.push_back(pack);
      return true;
    }
  }
  uint64_t wholeSize = 0;
  if (!SizeOf(newFile->path, &wholeSize)) return false;
  pack.writeBytes = wholeSize;
  plan->wholePacks.push_back(LooseEntry(ENTRY_OP_WRITE, *newFile, wholeSize));
  ++plan->summary.wholePackWrites;
  plan->summary.wholePackBytes += wholeSize;
  plan->summary.packs.push_back(pack);
  return true;
}

// Plans every name of every tree but the version file, in key order.
bool PlanTrees(const std::vector<Tree>& olds, const Tree& newTree, Comparisons& found, Plan* plan) {
  std::set<std::string> keys;
  for (const auto& file : newTree.files) keys.insert(file.first);
  for (const Tree& old : olds) {
    for (const auto& file : old.files) keys.insert(file.first);
  }
  for (const std::string& key : keys) {
    if (key == kVersionFileName) continue;
    const LooseFile* named = newTree.Find(key);
    for (size_t i = 0; named == nullptr && i < olds.size(); ++i) named = olds[i].Find(key);
    if (!CheckEntryName(named->name, true)) return false;
    bool planned = IsPackName(key) ? PlanArchive(key, olds, newTree, found, plan)
                                   : PlanLooseFile(key, olds, newTree, found, plan);
    if (!planned) return false;
  }
  return true;
}

// --- Assemble ----------------------------------------------------------------------

// The entries in the order of application, NEW's version file last under its
// exact name, so that it is applied last.
bool Assemble(const Tree& newTree, Plan& plan, TreeDiff* diff) {
  const LooseFile* version = newTree.Find(kVersionFileName);
  uint64_t versionSize = 0;
  if (!SizeOf(version->path, &versionSize)) return false;
  DiffEntry versionEntry = LooseEntry(ENTRY_OP_WRITE, *version, versionSize);
  versionEntry.line.fileName = kVersionFileName;
  plan.summary.versionBytes = versionEntry.bytes;
  for (auto* group : {&plan.wholePacks, &plan.packBound, &plan.loose}) {
    diff->entries.insert(diff->entries.end(), group->begin(), group->end());
  }
  diff->entries.push_back(versionEntry);
  diff->summary = plan.summary;
  return true;
}

// Whether applying `entries` in order turns each OLD's folders and files into
// NEW's without meeting a folder where a file is to go, or a file where a
// folder is needed: an apply removes no folder, and writes whole archives
// before it deletes loose files. Names the path that is in the way.
bool CheckFoldersAndFiles(const std::vector<Tree>& olds, const std::vector<DiffEntry>& entries) {
  for (const Tree& old : olds) {
    std::set<std::string> files;
    std::set<std::string> folders;
    for (const auto& file : old.files) files.insert(file.first);
    for (const auto& folder : old.folders) folders.insert(folder.first);
    for (const DiffEntry& entry : entries) {
      if (!entry.line.packName.empty()) continue;
      std::string key = NormalizeName(entry.line.fileName);
      if (entry.line.op == ENTRY_OP_DELETE) {
        files.erase(key);
        continue;
      }
      if (folders.count(key) != 0) {
        ReportError(ERR_BAD_DATA,
                    "File=%s (a folder in %s, a file in NEW: no patch removes a folder)",
                    entry.line.fileName.c_str(), old.label.c_str());
        return false;
      }
      for (size_t slash = key.find('/'); slash != std::string::npos;
           slash = key.find('/', slash + 1)) {
        std::string folder = key.substr(0, slash);
        if (files.count(folder) != 0) {
          const LooseFile* blocking = old.Find(folder);
          ReportError(ERR_BAD_DATA,
                      "File=%s (a file in %s that NEW needs as the folder of %s before the "
                      "patch deletes it: archives are written before loose files are deleted)",
                      blocking != nullptr ? blocking->name.c_str() : folder.c_str(),
                      old.label.c_str(), entry.line.fileName.c_str());
          return false;
        }
        folders.insert(folder);
      }
      files.insert(key);
    }
  }
  return true;
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

bool DiffInstallations(const std::vector<std::string>& oldRoots, const std::string& newRoot,
                       PatchKind kind, TreeDiff* diff, EncodingCheck check) {
  *diff = TreeDiff();
  diff->oldRoots = oldRoots;
  diff->newRoot = newRoot;
  diff->kind = kind;
  if (oldRoots.empty() || (kind != PATCH_KIND_MASKED_ZIP && kind != PATCH_KIND_PACKED)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  std::vector<Tree> olds(oldRoots.size());
  Tree newTree;
  for (size_t i = 0; i < oldRoots.size(); ++i) {
    std::string label = oldRoots.size() == 1 ? "OLD" : "OLD " + oldRoots[i];
    if (!ScanTree(oldRoots[i], label, &olds[i])) return false;
  }
  if (!ScanTree(newRoot, "NEW", &newTree)) return false;
  if (newTree.Find(kVersionFileName) == nullptr) {
    ReportError(ERR_NOT_FOUND, "%s", JoinPath(newRoot, kVersionFileName).c_str());
    return false;
  }
  Comparisons found;
  Plan plan;
  return CompareTrees(olds, newTree, &found) &&
         (kind != PATCH_KIND_PACKED || FindUnencodable(check, &found)) &&
         PlanTrees(olds, newTree, found, &plan) && Assemble(newTree, plan, diff) &&
         CheckFoldersAndFiles(olds, diff->entries);
}

bool WriteArchiveWhole(TreeDiff* diff, const std::string& packName, const std::string& refusedFile,
                       const std::string& refusal) {
  std::string key = NormalizeName(packName);
  auto pack = std::find_if(diff->summary.packs.begin(), diff->summary.packs.end(),
                           [&](const PackSummary& p) { return NormalizeName(p.name) == key; });
  if (pack == diff->summary.packs.end() || pack->plan != PackPlan::kPerFile) return false;
  std::string path = JoinPath(diff->newRoot, pack->name);
  uint64_t size = 0;
  if (!SizeOf(path, &size)) return false;
  // The whole archives lead, by key, as PlanArchive places them.
  std::vector<DiffEntry> whole;
  std::vector<DiffEntry> rest;
  for (const DiffEntry& entry : diff->entries) {
    if (NormalizeName(entry.line.packName) == key) continue;
    bool isWhole = entry.line.packName.empty() && IsPackName(NormalizeName(entry.line.fileName));
    (isWhole && rest.empty() ? whole : rest).push_back(entry);
  }
  whole.push_back(LooseEntry(ENTRY_OP_WRITE, LooseFile{pack->name, path}, size));
  std::stable_sort(whole.begin(), whole.end(), [](const DiffEntry& a, const DiffEntry& b) {
    return NormalizeName(a.line.fileName) < NormalizeName(b.line.fileName);
  });
  diff->entries = whole;
  diff->entries.insert(diff->entries.end(), rest.begin(), rest.end());
  *pack = PackSummary{pack->name, PackPlan::kWhole, UnencodableReason(refusedFile, refusal)};
  pack->writeBytes = size;
  ++diff->summary.wholePackWrites;
  diff->summary.wholePackBytes += size;
  return true;
}

}  // namespace patchkit
}  // namespace qlmr
