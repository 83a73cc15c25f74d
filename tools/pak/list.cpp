// qlmr-pak ls ARCHIVE [--check] [--json]: one line per stored file.
#include <cstdio>
#include <memory>
#include <string>

#include "base/error.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct ListOptions {
  std::string archive;
  bool check = false;
  bool json = false;
};

// One stored file as the listing shows it.
struct Row {
  std::string name;
  bool hasBlock = false;
  uint32_t contentSize = 0;
  uint32_t storedSize = 0;
  uint8_t type = 0;
  bool crcKnown = false;
  uint32_t crc = 0;
  const char* state = "";  // with --check: ok, differs, unlisted, list, unreadable, no block
};

// Decodes the file of `info` and judges it against the list.
void CheckRow(ReadSession& session, const PackSlotInfo& info, Row* row, size_t* differing,
              size_t* unreadable) {
  // 0xFFFFFFFF is both GetCrc's failure value and a possible CRC; only a
  // report made during this read tells a damaged block from that CRC.
  ReportError(ERR_NONE, "");
  PackFileStream* stream = OpenPackSlot(session.archive(), info.slot);
  uint32_t actual = stream != nullptr ? stream->GetCrc() : 0xFFFFFFFFu;
  bool readable = actual != 0xFFFFFFFFu || LastErrorCode() == ERR_NONE;
  if (stream != nullptr) stream->Release();
  const PackListEntry* listed = session.ListedAt(info.slot);
  row->crcKnown = readable;
  row->crc = actual;
  if (!readable) {
    row->state = "unreadable";
    ++*unreadable;
  } else if (session.IsListFile(info.slot)) {
    row->state = "list";
  } else if (listed == nullptr) {
    row->state = "unlisted";
  } else if (listed->crc == actual && listed->contentSize == info.block.contentSize) {
    row->state = "ok";
  } else {
    row->state = "differs";
    ++*differing;
  }
}

std::string TextRow(const Row& row, bool check) {
  char line[160];
  char crc[12] = "-";
  if (row.crcKnown) snprintf(crc, sizeof crc, "%08X", row.crc);
  if (check && !row.crcKnown && row.hasBlock) snprintf(crc, sizeof crc, "?");
  if (!row.hasBlock) {
    snprintf(line, sizeof line, check ? "%10s %10s %4s %-8s %-8s " : "%10s %10s %4s %-8s ", "?",
             "?", "?", "?", "no block");
  } else {
    snprintf(line, sizeof line, check ? "%10u %10u %4u %-8s %-8s " : "%10u %10u %4u %-8s ",
             row.contentSize, row.storedSize, row.type, crc, row.state);
  }
  return line + ShownName(row.name) + "\n";
}

Json JsonRow(const Row& row, bool check) {
  Json item = {{"name", JsonName(row.name)}};
  if (!row.hasBlock) {
    item["block"] = nullptr;
  } else {
    char crc[12];
    snprintf(crc, sizeof crc, "%08X", row.crc);
    item["contentSize"] = row.contentSize;
    item["storedSize"] = row.storedSize;
    item["type"] = row.type;
    item["compression"] = CompressionName(row.type);
    item["crc"] = row.crcKnown ? Json(crc) : Json(nullptr);
  }
  if (check) item["check"] = row.hasBlock ? row.state : "no block";
  return item;
}

int RunList(const ListOptions& options) {
  JsonReport report(options.json);
  report.fields()["archive"] = JsonName(options.archive);
  ReadSession session;
  if (!session.Open(options.archive)) return FailArchive("cannot list", options.archive);
  // Sizes and types come from the block table and CRCs from the list file,
  // so a listing reads no stored file unless it is asked to check them.
  std::string listing;
  if (!options.json) {
    char header[80];
    snprintf(header, sizeof header,
             options.check ? "%10s %10s %4s %-8s %-8s " : "%10s %10s %4s %-8s ", "content",
             "stored", "type", "crc", "check");
    listing = std::string(header) + "name\n";
  }
  Json files = Json::array();
  size_t differing = 0;
  size_t unreadable = 0;
  {
    std::unique_ptr<ProgressBar> progress;
    if (options.check) {
      progress.reset(new ProgressBar("check", session.ContentBytes(), ProgressUnit::kBytes));
    }
    for (const PackSlotInfo& info : session.slots()) {
      Row row;
      row.name = session.NameOf(info);
      row.hasBlock = info.hasBlock;
      if (info.hasBlock) {
        row.contentSize = info.block.contentSize;
        row.storedSize = info.block.storedSize;
        row.type = info.block.CompressType();
        const PackListEntry* listed = session.ListedAt(info.slot);
        row.crcKnown = listed != nullptr;
        row.crc = listed != nullptr ? listed->crc : 0;
        if (options.check) {
          CheckRow(session, info, &row, &differing, &unreadable);
          progress->Advance(info.block.contentSize);
        }
      } else {
        ++differing;
      }
      if (options.json) {
        files.push_back(JsonRow(row, options.check));
      } else {
        listing += TextRow(row, options.check);
      }
    }
  }
  report.fields()["files"] = std::move(files);
  if (!options.json) WriteOut(listing);
  if (options.check && unreadable > 0) {
    ReportError(ERR_BAD_DATA, "%zu stored files cannot be read, %zu differ from the list",
                unreadable, differing);
    return Fail("the check failed for", options.archive,
                "stored files cannot be decoded, or differ from the list");
  }
  if (options.check && differing > 0) {
    ReportError(ERR_BAD_DATA, "%zu stored files differ from the list", differing);
    return Fail("the check failed for", options.archive, "stored files differ from the list");
  }
  if (report.enabled()) return report.Succeed();
  return kExitSuccess;
}

}  // namespace

void RegisterListCommand(ToolApp& tool) {
  auto options = std::make_shared<ListOptions>();
  CLI::App* command = tool.AddCommand(
      "ls",
      "List stored files: content size, stored size, type (0 stored, 1 masked, 2 LZO, 3 LZMA), "
      "CRC from the list file, name (an unlisted file as #slot/hashA/hashB)",
      [options] { return RunList(*options); });
  AddPath(command, "ARCHIVE", &options->archive, "The archive; - reads standard input")->required();
  command->add_flag("--check", options->check,
                    "Decode every file and compare it with the list file");
  command->add_flag("--json", options->json, "Print one JSON document");
}

}  // namespace tools
}  // namespace qlmr
