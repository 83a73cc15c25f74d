// qlmr-pak: creates, fills, lists, extracts and verifies pack archives.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "tools/pak/pak_commands.h"
#include "tools/tool_support.h"

namespace {

using namespace qlmr;
using namespace qlmr::tools;

// Command-line text is UTF-8 (tools::Arguments); the system's names are
// code page 936.
std::string SystemName(const std::string& text) { return Utf8ToCp936(text); }

int RunCommand(int argc, char** argv) {
  Arguments arguments(argc, argv);
  CLI::App app{"Pack archive tool: create, add, remove, list, extract and verify."};
  app.require_subcommand(1);

  std::string archive;
  std::string folder;
  std::string name;
  std::vector<std::string> items;
  int type = 0;
  bool no_list = false;
  bool check = false;

  auto add_archive = [&](CLI::App* command) {
    command->add_option("ARCHIVE", archive, "the pack archive")->required();
  };
  auto add_write_flags = [&](CLI::App* command, bool withType) {
    if (withType) {
      command->add_option("--type", type, "compression type to store with (0 to 255)")
          ->check(CLI::Range(0, 255));
    }
    command->add_flag("--no-list", no_list, "leave the list file \"(list)\" alone");
  };

  CLI::App* create = app.add_subcommand("create", "create an empty archive");
  add_archive(create);
  add_write_flags(create, false);

  CLI::App* add = app.add_subcommand("add", "add or replace files given as NAME=PATH");
  add_write_flags(add, true);
  add_archive(add);
  add->add_option("FILES", items, "NAME=PATH pairs")->required();

  CLI::App* add_tree = app.add_subcommand("add-tree", "add every file below a folder");
  add_write_flags(add_tree, true);
  add_archive(add_tree);
  add_tree->add_option("DIR", folder, "folder; names are relative paths")->required();

  CLI::App* rm = app.add_subcommand("rm", "remove stored files");
  add_write_flags(rm, false);
  add_archive(rm);
  rm->add_option("NAMES", items, "stored names")->required();

  CLI::App* ls = app.add_subcommand(
      "ls",
      "list stored files: content size, stored size, type, CRC from the list file, name "
      "(unlisted files as #slot/hashA/hashB)");
  add_archive(ls);
  ls->add_flag("--check", check, "decode every file and compare it with the list file");
  bool json = false;
  ls->add_flag("--json", json, "print one JSON document");

  CLI::App* cat = app.add_subcommand("cat", "write a stored file's content to stdout");
  add_archive(cat);
  cat->add_option("NAME", name, "stored name")->required();

  CLI::App* extract = app.add_subcommand("extract", "extract every stored file into a folder");
  add_archive(extract);
  extract->add_option("DIR", folder, "target folder")->required();

  CLI::App* verify = app.add_subcommand("verify", "check the archive against its list file");
  add_archive(verify);
  verify->add_flag("--json", json, "print one JSON document");

  CLI::App* info = app.add_subcommand("info", "show the header and the free space");
  add_archive(info);

  try {
    app.parse(arguments.count(), arguments.values());
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? kExitSuccess : kExitUsage;
  }

  PakWriteOptions options;
  options.type = static_cast<uint8_t>(type);
  options.keepList = !no_list;
  const std::string pack = SystemName(archive);

  if (create->parsed()) return PakCreate(pack, options);
  if (add->parsed()) {
    std::vector<PakSource> sources;
    for (const std::string& item : items) {
      size_t equals = item.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == item.size()) {
        PrintError("add: expected NAME=PATH, got \"%s\"\n", item.c_str());
        return kExitUsage;
      }
      sources.emplace_back(SystemName(item.substr(0, equals)), SystemName(item.substr(equals + 1)));
    }
    return PakAdd(pack, sources, options);
  }
  if (add_tree->parsed()) return PakAddTree(pack, SystemName(folder), options);
  if (rm->parsed()) {
    std::vector<std::string> names;
    for (const std::string& item : items) names.push_back(SystemName(item));
    return PakRemove(pack, names, options);
  }
  if (ls->parsed()) return PakList(pack, check, json);
  if (cat->parsed()) return PakCat(pack, SystemName(name));
  if (extract->parsed()) return PakExtract(pack, SystemName(folder));
  if (verify->parsed()) return PakVerify(pack, json);
  return PakInfo(pack);
}

}  // namespace

int main(int argc, char** argv) { return qlmr::tools::FinishOutput(RunCommand(argc, argv)); }
