// The commands of qlmr-pak, a file each. Each Register function adds its
// command to the tool with the function that runs it (tools/
// command_line.h), which returns the process's exit code and has said any
// failure in words (tools/failure.h). Archives and names are the system's
// (code page 936); every archive argument of a command that only reads may
// be "-", standard input.
//
// A command that changes an archive keeps its list file "(list)" in step
// (unless --no-list; tools/pak/pak_session.h says how), stops at its first
// failure or at an interrupt request (Ctrl+C) after the file in hand, and
// then still writes the list and closes the archive, so that what it stored
// or removed before stays so, is listed, and the archive verifies.
#pragma once

#include <string>

#include "tools/command_line.h"
#include "tools/pak/add_files.h"

namespace qlmr {
namespace tools {

void RegisterCreateCommand(ToolApp& tool);
void RegisterAddCommand(ToolApp& tool);
void RegisterAddTreeCommand(ToolApp& tool);
void RegisterRemoveCommand(ToolApp& tool);
void RegisterListCommand(ToolApp& tool);
void RegisterCatCommand(ToolApp& tool);
void RegisterExtractCommand(ToolApp& tool);
void RegisterVerifyCommand(ToolApp& tool);
void RegisterInfoCommand(ToolApp& tool);
void RegisterRepairCommand(ToolApp& tool);

// The options of the commands that add files: --type and --no-list.
void AddWriteOptions(CLI::App* command, PakWriteOptions* options);

// `repair ARCHIVE`: opens the archive for writing (which mends what an
// interrupted change of a single file left, pack/pack_archive.h), settles
// its list against what it stores (pack/pack_list_repair.h), says what it
// found, and closes it. An archive without a list is only closed.
int RepairArchive(const std::string& archive);

}  // namespace tools
}  // namespace qlmr
