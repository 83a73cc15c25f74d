// Writing the patch of a diff: its data staged from NEW, the package built
// beside its destination, and the self-check that applies it with the
// updater's own code before it is handed out.
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "base/codec.h"
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

// The scratch copy of one OLD that the patch is applied to: the whole
// installation, each file made as cheaply as is safe. An archive the patch
// changes in place is a copy; a file it writes whole is an empty stand-in
// under OLD's name, since its content is replaced anyway; every other file is
// a hard link to OLD's (a copy where the file system cannot link), which the
// patch at most deletes, taking the link and leaving OLD's file as it was.
bool MakeScratchCopy(const Tree& old, const std::vector<PatchStep>& steps,
                     const std::string& scratch) {
  std::set<std::string> writtenWhole;
  std::set<std::string> changedInPlace;
  for (const PatchStep& step : steps) {
    if (step.kind == PatchStep::kLooseEntry && step.op == ENTRY_OP_WRITE) {
      writtenWhole.insert(NormalizeName(step.fileName));
    } else if (step.kind == PatchStep::kOpenPack) {
      changedInPlace.insert(step.packKey);
    }
  }
  // By key a folder comes before the folders and files inside it.
  for (const auto& folder : old.folders) {
    std::string path = JoinPath(scratch, folder.second);
    if (!MakeFolder(path.c_str())) {
      ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", path.c_str(), LastSystemError());
      return false;
    }
  }
  for (const auto& file : old.files) {
    std::string target = JoinPath(scratch, file.second.name);
    if (writtenWhole.count(file.first) != 0 && changedInPlace.count(file.first) == 0) {
      if (!WriteWholeFile(target, nullptr, 0)) return false;
      continue;
    }
    if (changedInPlace.count(file.first) == 0 &&
        LinkFile(file.second.path.c_str(), target.c_str())) {
      continue;
    }
    if (!CopyFileReplace(file.second.path.c_str(), target.c_str())) {
      ReportError(ERR_WRITE, "File=%s, WinErr=%d", target.c_str(), LastSystemError());
      return false;
    }
  }
  return true;
}

// The entry ApplyPackage reached last on this thread, which a failed apply
// failed on.
struct AppliedEntry {
  std::string packName;
  std::string fileName;
  std::string failure;  // the apply's own message when it failed
};
thread_local AppliedEntry t_lastEntry;

int RecordEntry(const char* packName, const char* fileName, int32_t) {
  t_lastEntry = {packName, fileName, std::string()};
  return 0;
}

// Applies `package` with the updater's own code to the installation in
// `folder`, reached from inside it: the updater's limit on joined paths then
// weighs the names inside the installation alone, not where the scratch
// copy happens to lie.
bool ApplyFromInside(PatchPackage& package, const std::string& folder) {
  std::string previous = CurrentFolder();
  if (previous.empty() || !SetCurrentFolder(folder.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), LastSystemError());
    return false;
  }
  t_lastEntry = AppliedEntry();
  bool applied = package.ApplyPackage(".", kPackExtension, kVersionFileName, &RecordEntry);
  if (!SetCurrentFolder(previous.c_str())) {
    ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", previous.c_str(), LastSystemError());
    return false;
  }
  return applied;
}

// What ApplyPackage made of one OLD's scratch copy, compared with NEW.
class PatchChecker {
 public:
  PatchChecker(const Tree& newTree, const std::string& scratch, SelfCheck* check)
      : newTree_(newTree), scratch_(scratch), check_(check) {}

  bool Mismatch(const std::string& what) {
    ReportError(ERR_BAD_DATA, "self-check on %s: %s", check_->oldRoot.c_str(), what.c_str());
    return false;
  }

  // The copy holds NEW's loose names, and every loose file the patch wrote
  // holds NEW's bytes. The files it left alone are OLD's, which the diff
  // found equal to NEW's.
  bool CheckLoose(const std::vector<PatchStep>& steps) {
    Tree patched;
    if (!ScanTree(scratch_, "the patched copy", &patched)) return false;
    for (const auto& file : patched.files) {
      if (newTree_.Find(file.first) == nullptr) return Mismatch(file.second.name + " is not NEW's");
    }
    for (const auto& file : newTree_.files) {
      if (patched.Find(file.first) == nullptr) return Mismatch(file.second.name + " is missing");
    }
    for (const PatchStep& step : steps) {
      if (step.kind != PatchStep::kLooseEntry || step.op != ENTRY_OP_WRITE) continue;
      bool same = false;
      if (!SameFileContent(JoinPath(scratch_, step.fileName),
                           JoinPath(newTree_.root, step.fileName), &same)) {
        return false;
      }
      if (!same) return Mismatch(step.fileName + " differs");
      ++check_->filesCompared;
    }
    return true;
  }

  // An archive changed in place holds the stored files NEW's does, with
  // their types and sizes, and every file the patch wrote has NEW's content.
  bool CheckPack(const std::string& packName, const std::vector<std::string>& written) {
    auto patched = NewPackArchive();
    auto wanted = NewPackArchive();
    if (!patched->Open(JoinPath(scratch_, packName).c_str(), true) ||
        !wanted->Open(JoinPath(newTree_.root, packName).c_str(), true)) {
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
  const Tree& newTree_;
  std::string scratch_;
  SelfCheck* check_;
};

// Applies the patch at `patch` to a scratch copy of the installation at
// `oldRoot` and compares the result with NEW.
bool SelfCheckOnOld(const std::string& patch, const std::string& oldRoot, const Tree& newTree,
                    SelfCheck* check) {
  check->oldRoot = oldRoot;
  Tree old;
  if (!ScanTree(oldRoot, "OLD", &old)) return false;
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(patch.c_str(), kPackExtension)) return false;
  std::vector<PatchStep> steps = PlanPatchApplication(*package, kPackExtension, kVersionFileName);
  ScratchFolder scratch;
  if (!scratch.Create("qdc") || !MakeScratchCopy(old, steps, scratch.path())) return false;
  if (!ApplyFromInside(*package, scratch.path())) {
    // The apply's own code, with the installation it failed on.
    std::string message = LastErrorMessage();
    t_lastEntry.failure = message;
    ReportError(LastErrorCode(), "self-check on %s: %s", oldRoot.c_str(), message.c_str());
    return false;
  }
  check->method =
      "applied to a scratch copy of the whole installation; loose names, written files and "
      "stored files compared with NEW";
  PatchChecker checker(newTree, scratch.path(), check);
  if (!checker.CheckLoose(steps)) return false;
  std::map<std::string, std::vector<std::string>> packs;  // packKey -> written names
  std::string current;
  for (const PatchStep& step : steps) {
    if (step.kind == PatchStep::kOpenPack) {
      current = step.packKey;
      packs[current];
    } else if (step.kind == PatchStep::kPackEntry && step.op == ENTRY_OP_WRITE) {
      packs[current].push_back(step.fileName);
    }
  }
  for (const auto& pack : packs) {
    if (!checker.CheckPack(pack.first, pack.second)) return false;
  }
  return true;
}

// Stages the data, builds the package at `temp` (`patch` is the same file by
// its full name) and self-checks it on every OLD.
bool BuildAndCheck(const TreeDiff& diff, const std::string& temp, const std::string& patch,
                   const Tree& newTree, PatchReport* report) {
  ScratchFolder staging;
  std::vector<PackageLine> lines;
  std::vector<PackageData> data;
  if (!staging.Create("qds")) return false;
  {
    // One file per pack-bound write, all new in one folder: read it once.
    FolderListingScope listings;
    if (!StagePackData(diff, diff.kind, staging.path(), &lines, &data)) return false;
  }
  PackageBuildOptions build;
  build.memberTime = report->time;
  // The self-check applies every pack-bound write with the updater's own
  // encoder; the builder need not encode them once more to know.
  build.encodingsProven = true;
  if (!BuildPatchPackage(lines, diff.newRoot.c_str(), temp.c_str(), diff.kind, &data, build)) {
    return false;
  }
  for (const std::string& oldRoot : diff.oldRoots) {
    report->checks.emplace_back();
    if (!SelfCheckOnOld(patch, oldRoot, newTree, &report->checks.back())) return false;
  }
  return true;
}

// A stored file of a packed patch that the updater's encoder refused in a
// self-check, which has just failed with its report.
struct RefusedEncoding {
  std::string packName;
  std::string fileName;
  std::string refusal;  // the encoder's message
};

bool FindRefusedEncoding(const TreeDiff& diff, RefusedEncoding* refused) {
  if (diff.kind != PATCH_KIND_PACKED || LastErrorCode() != ERR_CODEC ||
      t_lastEntry.packName.empty()) {
    return false;
  }
  std::string pack = NormalizeName(t_lastEntry.packName);
  std::string file = NormalizeName(t_lastEntry.fileName);
  for (const DiffEntry& entry : diff.entries) {
    if (entry.line.op == ENTRY_OP_WRITE && NormalizeName(entry.line.packName) == pack &&
        NormalizeName(entry.line.fileName) == file &&
        (entry.line.compressType == COMPRESS_LZO || entry.line.compressType == COMPRESS_LZMA)) {
      *refused = {entry.line.packName, entry.line.fileName, t_lastEntry.failure};
      return true;
    }
  }
  return false;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace

bool ParsePatchTime(const std::string& text, int64_t* seconds) {
  if (text.size() > 1 && text[0] == '@') {
    if (text.find_first_not_of("0123456789", 1) != std::string::npos || text.size() > 16) {
      return false;
    }
    *seconds = std::stoll(text.substr(1));
    return true;
  }
  std::string value = !text.empty() && text.back() == 'Z' ? text.substr(0, text.size() - 1) : text;
  // '#' stands for a digit.
  const std::string shape = "####-##-##T##:##:##";
  if (value.size() != 10 && value.size() != 16 && value.size() != 19) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    bool digit = value[i] >= '0' && value[i] <= '9';
    if (shape[i] == '#' ? !digit : value[i] != shape[i]) return false;
  }
  auto number = [&](size_t at, size_t length) {
    return at + length <= value.size() ? std::stoi(value.substr(at, length)) : 0;
  };
  int year = number(0, 4);
  int month = number(5, 2);
  int day = number(8, 2);
  int hour = number(11, 2);
  int minute = number(14, 2);
  int second = number(17, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 59) {
    return false;
  }
  *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool WritePatch(TreeDiff* diff, const std::string& output, const PatchOptions& options,
                PatchReport* report) {
  *report = PatchReport();
  if (output.empty() || (diff->kind != PATCH_KIND_MASKED_ZIP && diff->kind != PATCH_KIND_PACKED)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  std::vector<std::string> roots = diff->oldRoots;
  roots.push_back(diff->newRoot);
  if (!CheckOutsideTrees(roots, output)) return false;
  report->time = options.time;
  std::string version = JoinPath(diff->newRoot, kVersionFileName);
  if (report->time < 0 && !FileModificationTime(version.c_str(), &report->time)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", version.c_str(), LastSystemError());
    return false;
  }
  Tree newTree;
  if (!ScanTree(diff->newRoot, "NEW", &newTree)) return false;
  // The builder writes the patch by name; a failed build or self-check
  // leaves no patch behind, and an earlier one at `output` stays whole.
  std::string folder = PathFolder(output);
  ReplacingFile temp;
  if (!temp.Create(folder.empty() ? "." : folder.c_str(), "qdp")) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", output.c_str(), LastSystemError());
    return false;
  }
  temp.file()->Close();
  // The self-checks apply from inside their scratch copies: the patch by a
  // name that does not depend on the current folder.
  std::string patch = FullPathName(temp.tempPath().c_str());
  for (;;) {
    report->checks.clear();
    if (!BuildAndCheck(*diff, temp.tempPath(), patch, newTree, report)) {
      // An archive whose stored file the updater's encoder refused goes
      // whole, and the patch is made again: at most once per archive.
      RefusedEncoding refused;
      if (!FindRefusedEncoding(*diff, &refused)) return false;
      KeptError failure;
      if (!WriteArchiveWhole(diff, refused.packName, refused.fileName, refused.refusal)) {
        failure.Restore();
        return false;
      }
      continue;
    }
    break;
  }
  if (!temp.Commit(output.c_str())) {
    ReportError(ERR_WRITE, "File=%s, WinErr=%d", output.c_str(), LastSystemError());
    return false;
  }
  return true;
}

}  // namespace patchkit
}  // namespace qlmr
