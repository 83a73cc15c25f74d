// qlmr-pak: creates, fills, lists, extracts, verifies and repairs pack
// archives.
#include "tools/command_line.h"
#include "tools/pak/pak_commands.h"

int main(int argc, char** argv) {
  using namespace qlmr::tools;
  ToolApp tool("qlmr-pak",
               "Creates, fills, lists, extracts, verifies and repairs Quelmar pack archives");
  RegisterCreateCommand(tool);
  RegisterAddCommand(tool);
  RegisterAddTreeCommand(tool);
  RegisterRemoveCommand(tool);
  RegisterListCommand(tool);
  RegisterCatCommand(tool);
  RegisterExtractCommand(tool);
  RegisterVerifyCommand(tool);
  RegisterInfoCommand(tool);
  RegisterRepairCommand(tool);
  return tool.Run(argc, argv);
}
