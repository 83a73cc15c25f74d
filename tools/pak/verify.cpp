// qlmr-pak verify ARCHIVE [--json]: the archive checked against its list
// file.
#include <memory>
#include <string>

#include "base/error.h"
#include "base/strings.h"
#include "pack/pack_format.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct VerifyOptions {
  std::string archive;
  bool json = false;
};

struct Counter {
  std::unique_ptr<ProgressBar> progress;
  uint64_t bytes = 0;
  uint32_t files = 0;  // the list file included
};

bool OnFile(void* context, const char*, PackFileStream* stream) {
  auto* counter = static_cast<Counter*>(context);
  if (counter->files++ == 0) {
    counter->progress.reset(new ProgressBar("verify", counter->bytes, ProgressUnit::kBytes));
  }
  counter->progress->Advance(stream->GetSize());
  return true;
}

// Verify's findings, in words.
const char* CauseOfVerifyFailure() {
  const std::string message = LastErrorMessage();
  if (LastErrorCode() == ERR_NOT_FOUND) return "a file its list names is not stored";
  if (LastErrorCode() != ERR_BAD_DATA) return nullptr;
  if (message.rfind("unref hashnode", 0) == 0 || message.rfind("unref blocknode", 0) == 0) {
    return "it stores a file its list does not name";
  }
  if (message.find("sizedif") != std::string::npos || message.find("crcdif") != std::string::npos) {
    return "a stored file is not what its list says";
  }
  if (message.rfind("file countdif", 0) == 0) return "its list's count line is wrong";
  if (message.rfind("list file", 0) == 0) return "its list has a line that is no entry";
  return nullptr;
}

int RunVerify(const VerifyOptions& options) {
  JsonReport report(options.json);
  report.fields()["archive"] = JsonName(options.archive);
  InputFile input;
  if (!input.Open(options.archive)) return Fail("cannot read", options.archive);
  auto pack = NewPackArchive();
  if (!pack->Open(input.path().c_str(), true)) return FailArchive("cannot verify", options.archive);
  Counter counter;
  std::vector<PackSlotInfo> slots;
  if (ListPackSlots(*pack, &slots)) {
    for (const PackSlotInfo& info : slots)
      counter.bytes += info.hasBlock ? info.block.contentSize : 0;
  }
  bool verified = pack->Verify(&counter, &OnFile, nullptr, nullptr);
  counter.progress.reset();
  if (!verified) {
    const char* cause = CauseOfVerifyFailure();
    if (cause == nullptr) return FailArchive("cannot verify", options.archive);
    return Fail("the check failed for", options.archive, cause);
  }
  uint32_t files = counter.files - 1;
  if (report.enabled()) {
    report.fields()["files"] = files;
    return report.Succeed();
  }
  Print("ok: %u files\n", files);
  return kExitSuccess;
}

}  // namespace

void RegisterVerifyCommand(ToolApp& tool) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* command = tool.AddCommand("verify", "Check the archive against its list file",
                                      [options] { return RunVerify(*options); });
  AddPath(command, "ARCHIVE", &options->archive, "The archive; - reads standard input")->required();
  command->add_flag("--json", options->json, "Print one JSON document");
}

}  // namespace tools
}  // namespace qlmr
