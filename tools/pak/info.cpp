// qlmr-pak info ARCHIVE: the header and the free space.
#include <memory>
#include <string>

#include "pack/pack_inspect.h"
#include "tools/failure.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

int RunInfo(const std::string& archive) {
  ReadSession session;
  if (!session.Open(archive)) return FailArchive("cannot read", archive);
  PackHeader h;
  uint32_t freeExtents = 0;
  uint64_t freeBytes = 0;
  if (!GetPackHeader(session.archive(), &h) ||
      !GetPackFreeSpace(session.archive(), &freeExtents, &freeBytes)) {
    return FailArchive("cannot read", archive);
  }
  Print("magic\t0x%08X\nversion\t0x%08X\nwriteFlag\t%u\n", h.magic, h.version, h.writeFlag);
  Print("hashTableOffset\t%u\nblockTableOffset\t%u\nblockCount\t%u\n", h.hashTableOffset,
        h.blockTableOffset, h.blockCount);
  Print("blockTableCapacity\t%u\ndataOffset\t%u\ndataSize\t%u\nfreeSize\t%u\n",
        h.blockTableCapacity, h.dataOffset, h.dataSize, h.freeSize);
  Print("files\t%zu\nlisted\t%zu\nfreeExtents\t%u\nfreeBytes\t%llu\n", session.slots().size(),
        session.list().size(), freeExtents, static_cast<unsigned long long>(freeBytes));
  return kExitSuccess;
}

}  // namespace

void RegisterInfoCommand(ToolApp& tool) {
  auto archive = std::make_shared<std::string>();
  CLI::App* command = tool.AddCommand("info", "Show the header and the free space",
                                      [archive] { return RunInfo(*archive); });
  AddPath(command, "ARCHIVE", archive.get(), "The archive; - reads standard input")->required();
}

}  // namespace tools
}  // namespace qlmr
