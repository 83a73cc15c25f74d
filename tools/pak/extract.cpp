// qlmr-pak extract ARCHIVE DIR [NAME...]: writes stored files below a
// folder, every one or the ones named; DIR - writes one named file to
// standard output.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 16;

struct ExtractOptions {
  std::string archive;
  std::string folder;
  std::vector<std::string> names;
  bool overwrite = false;
};

struct Target {
  const PackSlotInfo* info;
  std::string name;  // as stored, or "(unlisted)\<slot>-<hashA>-<hashB>"
  std::string path;
};

// Copies a stream piece by piece to `sink`. False when a read comes up
// short (reported by the stream) or the sink refuses (reported by it).
template <typename Sink>
bool DrainStream(PackFileStream* stream, Sink sink, bool* readFailed) {
  std::vector<uint8_t> piece(kPiece);
  for (uint32_t left = stream->GetSize(); left > 0;) {
    uint32_t got = stream->Read(piece.data(), std::min(left, kPiece));
    if (got == 0) {
      *readFailed = true;
      return false;
    }
    if (!sink(piece.data(), got)) return false;
    left -= got;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, PackFileStream* stream, bool* readFailed) {
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
  return DrainStream(
      stream,
      [&](const uint8_t* data, uint32_t n) {
        if (file.Write(data, n)) return true;
        ReportError(ERR_WRITE, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
        return false;
      },
      readFailed);
}

// The files to write and where, every one checked before anything is
// written: a name that leaves the folder, the archive itself, or a file that
// exists without --overwrite refuses the whole extraction.
int PlanTargets(ReadSession& session, const ExtractOptions& options, const std::string& archivePath,
                std::vector<Target>* targets) {
  std::vector<bool> wanted(session.slots().size(), options.names.empty());
  for (const std::string& name : options.names) {
    int32_t slot = FindPackSlot(session.archive(), name.c_str());
    auto found = std::find_if(
        session.slots().begin(), session.slots().end(),
        [slot](const PackSlotInfo& info) { return static_cast<int32_t>(info.slot) == slot; });
    if (slot < 0 || found == session.slots().end()) {
      ReportError(ERR_NOT_FOUND, "%s", name.c_str());
      return FailArchive("cannot extract from", options.archive);
    }
    wanted[static_cast<size_t>(found - session.slots().begin())] = true;
  }
  for (size_t i = 0; i < session.slots().size(); ++i) {
    if (!wanted[i]) continue;
    const PackSlotInfo& info = session.slots()[i];
    std::string name = session.NameOf(info);
    if (!session.IsNamed(info)) {
      char unlisted[48];
      snprintf(unlisted, sizeof unlisted, "(unlisted)\\%u-%08X-%08X", info.slot, info.hash.hashA,
               info.hash.hashB);
      name = unlisted;
    }
    if (!IsSafeRelativeName(name)) {
      ReportError(ERR_INVALID, "name=%s (leaves the folder)", name.c_str());
      std::string cause = "its stored file '" + ShownPath(name) +
                          "' would be written outside the folder, or to a device";
      return Fail("will not extract from", options.archive, cause.c_str());
    }
    std::string path = JoinPath(options.folder, name);
    // Extracting into the archive's own folder may meet a stored file named
    // like the archive; writing it would cut the archive being read.
    if (IsSameFileObject(path.c_str(), archivePath.c_str())) {
      ReportError(ERR_INVALID, "name=%s (the archive itself)", name.c_str());
      return Fail("will not extract", path, "it is the archive being read");
    }
    if (!options.overwrite && PathExists(path.c_str())) {
      ReportError(ERR_ACCESS, "File=%s, exists", path.c_str());
      return Fail("will not replace", path, "it exists (-o or --overwrite replaces it)");
    }
    targets->push_back({&info, name, path});
  }
  return kExitSuccess;
}

int ExtractToStandardOutput(ReadSession& session, const ExtractOptions& options) {
  if (options.names.size() != 1) {
    PrintError("%s extract: DIR - writes one file: name exactly one\n", ProgramName().c_str());
    return kExitUsage;
  }
  PackFileStream* stream = session.archive().OpenFile(options.names[0].c_str());
  if (stream == nullptr) return FailArchive("cannot extract from", options.archive);
  TakeStandardOutput();
  bool readFailed = false;
  bool ok = DrainStream(
      stream,
      [](const uint8_t* data, uint32_t n) {
        if (fwrite(data, 1, n, stdout) == n) return true;
        ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
        return false;
      },
      &readFailed);
  stream->Release();
  if (ok) return kExitSuccess;
  return readFailed ? FailArchive("cannot extract from", options.archive)
                    : Fail("cannot write standard output", "");
}

int RunExtract(const ExtractOptions& options) {
  ReadSession session;
  if (!session.Open(options.archive)) return FailArchive("cannot extract from", options.archive);
  if (options.folder == "-") return ExtractToStandardOutput(session, options);
  std::vector<Target> targets;
  int planned = PlanTargets(session, options, session.path(), &targets);
  if (planned != kExitSuccess) return planned;
  uint64_t bytes = 0;
  for (const Target& target : targets) bytes += target.info->block.contentSize;
  ProgressBar progress("extract", bytes, ProgressUnit::kBytes);
  // Every new file's name is looked up in its folder: each folder is read
  // once for the whole extraction, not once per file.
  FolderListingScope listings;
  for (const Target& target : targets) {
    PackFileStream* stream = OpenPackSlot(session.archive(), target.info->slot);
    if (stream == nullptr) return FailArchive("cannot extract from", options.archive);
    bool readFailed = false;
    bool ok = WriteWholeFile(target.path, stream, &readFailed);
    stream->Release();
    if (!ok) {
      return readFailed ? FailArchive("cannot extract from", options.archive)
                        : Fail("cannot write", target.path);
    }
    Detail("wrote %s", ShownPath(target.path).c_str());
    progress.Advance(target.info->block.contentSize);
  }
  return kExitSuccess;
}

}  // namespace

void RegisterExtractCommand(ToolApp& tool) {
  auto options = std::make_shared<ExtractOptions>();
  CLI::App* command =
      tool.AddCommand("extract", "Write stored files below a folder: every one, or those named",
                      [options] { return RunExtract(*options); });
  AddPath(command, "ARCHIVE", &options->archive, "The archive; - reads standard input")->required();
  AddPath(command, "DIR", &options->folder,
          "The target folder; - writes the one file named to standard output")
      ->required();
  AddPaths(command, "NAMES", &options->names, "The stored names to write (default: all)")
      ->type_name("NAME");
  command->add_flag("-o,--overwrite", options->overwrite, "Replace files that exist");
}

}  // namespace tools
}  // namespace qlmr
