// The commands of qlmr-patchkit, a file each. Each Register function adds
// its command to the tool with the function that runs it (tools/
// command_line.h), which returns the process's exit code and has said any
// failure in words (tools/failure.h).
#pragma once

#include <string>

#include "tools/command_line.h"

namespace qlmr {
namespace patchkit {

void RegisterBuildCommand(tools::ToolApp& tool);
void RegisterInspectCommand(tools::ToolApp& tool);
void RegisterConvertCommand(tools::ToolApp& tool);
void RegisterVerifyCommand(tools::ToolApp& tool);
void RegisterApplyCommand(tools::ToolApp& tool);
void RegisterWrapCommand(tools::ToolApp& tool);
void RegisterDiffCommand(tools::ToolApp& tool);
void RegisterReleaseCommand(tools::ToolApp& tool);

// Says a failure to open the patch package `path` (OpenPackage,
// VerifyPackageFile) in words: a file of another kind is "not a patch
// package", whatever the error state's message.
int FailToOpenPatch(const std::string& action, const std::string& path);

}  // namespace patchkit
}  // namespace qlmr
