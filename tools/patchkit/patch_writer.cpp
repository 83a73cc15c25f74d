// Writing the patch of a diff: its data staged from NEW, the package built
// beside its destination, and the self-check that applies it with the
// updater's own code before it is handed out.
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/replacing_file.h"
#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"
#include "patch/patch_format.h"
#include "patch/zip_writer.h"
#include "tools/patchkit/diff_support.h"
#include "tools/patchkit/tree_diff.h"

namespace qlmr {
namespace patchkit {

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
  return ForEachOnEveryCore(staged.size(), "stage", [&](size_t n) {
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
      if (!SameFileContent(JoinPath(scratch_, step.fileName),
                           JoinPath(diff_.newRoot, step.fileName), &same)) {
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
