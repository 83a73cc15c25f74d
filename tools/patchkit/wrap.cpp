// qlmr-patchkit wrap --updater EXE --from VERSION --to VERSION -o OUT PATCH:
// the updater program with the patch it is to carry.
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "tools/failure.h"
#include "tools/patchkit/commands.h"
#include "tools/tool_support.h"
#include "update/carrier.h"
#include "update/version.h"

namespace qlmr {
namespace patchkit {
namespace {

struct WrapOptions {
  std::string updater;
  std::string from;
  std::string to;
  std::string output;
  std::string patch;
  bool force = false;
};

// WriteCarrier's refusals of its arguments, in words.
std::string RefusalInWords(const WrapOptions& options, uint64_t offset) {
  const std::string message = LastErrorMessage();
  if (message == "Version=" + options.from + "-" + options.to) {
    VersionInfo from = ParseVersion(options.from.c_str());
    VersionInfo to = ParseVersion(options.to.c_str());
    int order = CompareVersions(from, to);
    if (order == VERSION_OTHER_LANGUAGE) {
      return "--from " + options.from + " and --to " + options.to +
             " are versions of different language editions";
    }
    return "the range is reversed: --from " + options.from + " is " +
           (order == VERSION_EQUAL ? "the same version as" : "newer than") + " --to " + options.to;
  }
  if (message.rfind("Version=", 0) == 0) {
    return "'" + message.substr(8) +
           "' cannot be a version text: it is empty, has 31 characters or more, or holds a "
           "character a file name cannot";
  }
  if (message.find("(too large)") != std::string::npos) {
    return "it is longer than the carrier offset it names (" + std::to_string(offset) +
           " bytes): it carries a patch already, or is no updater of that build";
  }
  return tools::CauseOfLastError();
}

int RunWrap(const WrapOptions& options) {
  tools::InputFile patch;
  if (!patch.Open(options.patch)) return tools::Fail("cannot read", options.patch);
  // The player's updater would refuse anything else with no more than
  // "升级包资源错误"; only a package that opens is carried.
  ReportError(ERR_NONE, "");
  PatchKind kind = DetectPatchKind(patch.path().c_str(), nullptr);
  if (kind == PATCH_KIND_NONE && LastErrorCode() == ERR_ACCESS) {
    return tools::Fail("cannot open", options.patch);
  }
  if (kind != PATCH_KIND_MASKED_ZIP && kind != PATCH_KIND_PACKED) {
    ReportError(ERR_BAD_DATA, "");
    return tools::Fail("will not wrap", options.patch,
                       kind == PATCH_KIND_ZIP || kind == PATCH_KIND_INVERTED_ZIP
                           ? "it is a plain zip, not a patch package the updater opens"
                           : "it is not a patch package");
  }
  {
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->OpenPackage(patch.path().c_str(), "pak")) {
      return FailToOpenPatch("will not wrap", options.patch);
    }
  }
  // The offset is the updater's own: this tool may come from another build.
  uint64_t offset = 0;
  if (!ReadCarrierOffset(options.updater.c_str(), &offset)) {
    if (LastErrorCode() == ERR_BAD_DATA) {
      return tools::Fail("will not wrap", options.updater,
                         "it is not the updater program (it names no carrier offset)");
    }
    return tools::Fail("cannot read", options.updater);
  }
  tools::OutputFile output;
  if (!output.Open(options.output, options.force)) return output.FailToOpen();
  if (!WriteCarrier(options.updater.c_str(), options.from.c_str(), options.to.c_str(),
                    patch.path().c_str(), output.path().c_str(), offset)) {
    if (LastErrorCode() == ERR_INVALID) {
      std::string cause = RefusalInWords(options, offset);
      bool aboutUpdater = strstr(LastErrorMessage(), "(too large)") != nullptr;
      return tools::Fail("will not wrap", aboutUpdater ? options.updater : options.patch,
                         cause.c_str());
    }
    return tools::Fail("cannot wrap", output.shown());
  }
  if (!output.Deliver()) return tools::Fail("cannot write", output.shown());
  tools::Summary("wrapped %s: %s to %s, patch at offset %u\n",
                 tools::ShownPath(output.shown()).c_str(), options.from.c_str(), options.to.c_str(),
                 static_cast<unsigned>(offset));
  // The updater applies the patch to every version in the range and has no
  // way back: a claim nobody checked reaches players as a broken game. Said
  // even when quiet.
  tools::PrintError(
      "%s: warning: nothing checked that this patch turns every installation from %s up to %s "
      "into %s; 'qlmr-patchkit release' builds the patch and the program for a range it "
      "proves on the old installations\n",
      tools::ProgramName().c_str(), options.from.c_str(), options.to.c_str(), options.to.c_str());
  return tools::kExitSuccess;
}

}  // namespace

void RegisterWrapCommand(tools::ToolApp& tool) {
  auto options = std::make_shared<WrapOptions>();
  CLI::App* command = tool.AddCommand(
      "wrap", "Append a patch and its version range to the updater program at its carrier offset",
      [options] { return RunWrap(*options); });
  tools::AddPath(command, "--updater", &options->updater, "The updater program (qlmr-update)")
      ->required();
  command->add_option("--from", options->from, "The lowest installed version it applies to")
      ->required();
  command->add_option("--to", options->to, "The version it produces")->required();
  tools::AddPath(command, "-o,--output", &options->output,
                 "The wrapped updater to write; - writes standard output")
      ->required();
  tools::AddPath(command, "PATCH", &options->patch, "The patch package; - reads standard input")
      ->required();
  command->add_flag("-f,--force", options->force, "Replace an existing output file");
}

}  // namespace patchkit
}  // namespace qlmr
