// qlmr-pak cat ARCHIVE NAME [-o FILE]: a stored file's content, on standard
// output or into a file.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

constexpr uint32_t kPiece = 1u << 16;

struct CatOptions {
  std::string archive;
  std::string name;
  std::string output = "-";
  bool force = false;
};

int RunCat(const CatOptions& options) {
  OutputFile output;
  if (!output.Open(options.output, options.force)) return output.FailToOpen();
  ReadSession session;
  if (!session.Open(options.archive)) return FailArchive("cannot read", options.archive);
  PackFileStream* stream = session.archive().OpenFile(options.name.c_str());
  if (stream == nullptr) return FailArchive("cannot read", options.archive);
  // Standard output gets the bytes at once, not through a temporary file.
  File file;
  bool toFile = !output.isStandardOutput();
  if (toFile && !file.Open(output.path().c_str(), FileMode::kCreate)) {
    stream->Release();
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", output.path().c_str(), LastSystemError());
    return Fail("cannot write", output.shown());
  }
  std::vector<uint8_t> piece(kPiece);
  bool readFailed = false;
  bool ok = true;
  for (uint32_t left = stream->GetSize(); ok && left > 0;) {
    uint32_t got = stream->Read(piece.data(), std::min(left, kPiece));
    if (got == 0) {
      readFailed = true;
      ok = false;
    } else if (toFile && !file.Write(piece.data(), got)) {
      ReportError(ERR_WRITE, "File=%s, WinErr=%d", output.path().c_str(), LastSystemError());
      ok = false;
    } else if (!toFile && fwrite(piece.data(), 1, got, stdout) != got) {
      ReportError(ERR_WRITE, "stdout, WinErr=%d", LastSystemError());
      ok = false;
    }
    left -= got;
  }
  stream->Release();
  if (readFailed) return FailArchive("cannot read", options.archive);
  if (!ok)
    return Fail(toFile ? "cannot write" : "cannot write standard output",
                toFile ? output.shown() : "");
  return kExitSuccess;
}

}  // namespace

void RegisterCatCommand(ToolApp& tool) {
  auto options = std::make_shared<CatOptions>();
  CLI::App* command = tool.AddCommand("cat", "Write a stored file's content to standard output",
                                      [options] { return RunCat(*options); });
  AddPath(command, "ARCHIVE", &options->archive, "The archive; - reads standard input")->required();
  AddPath(command, "NAME", &options->name, "The stored name")->type_name("NAME")->required();
  AddPath(command, "-o,--output", &options->output,
          "Write into this file instead (- is standard output)");
  command->add_flag("-f,--force", options->force, "Replace an existing output file");
}

}  // namespace tools
}  // namespace qlmr
