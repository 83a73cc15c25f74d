// The subcommands of qlmr-patchkit. Each Register function adds one
// subcommand to the app; when it runs, its callback stores the process's exit
// code (tools/tool_support.h) in *exitCode.
#pragma once

#include <CLI/CLI.hpp>

namespace qlmr {
namespace patchkit {

void RegisterBuildCommand(CLI::App& app, int* exitCode);
void RegisterInspectCommand(CLI::App& app, int* exitCode);
void RegisterConvertCommand(CLI::App& app, int* exitCode);
void RegisterVerifyCommand(CLI::App& app, int* exitCode);
void RegisterApplyCommand(CLI::App& app, int* exitCode);
void RegisterWrapCommand(CLI::App& app, int* exitCode);
void RegisterDiffCommand(CLI::App& app, int* exitCode);
void RegisterReleaseCommand(CLI::App& app, int* exitCode);

}  // namespace patchkit
}  // namespace qlmr
