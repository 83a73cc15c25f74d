// The data behind an opened patch package: its containers and the three
// ordered tables of entries. Internal to the patch subsystem.
//
// Every map orders its keys by plain byte comparison (std::string compares
// as unsigned bytes), and keys are normalized names, so iteration gives the
// order of application.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "patch/zip_reader.h"

namespace qlmr {

// One opened zip container.
struct PatchContainer {
  std::string key;         // normalized path of the patch file as opened
  std::string openedPath;  // the file the zip reader reads
  std::unique_ptr<ZipDirectory> zip;
  const ZipReadHandlers* handlers = nullptr;  // what `zip` reads the file through
  bool preEncoded = false;                    // pack-bound data is stored encoded already
};

// One line of a control list.
struct PatchEntry {
  int32_t op = 0;
  std::string packName;                       // as written; empty for a loose entry
  std::string fileName;                       // as written
  const PatchContainer* container = nullptr;  // not owned
  int32_t compressType = 0;
  uint32_t contentSize = 0;
};

using EntryTable = std::map<std::string, PatchEntry>;

struct PatchTables {
  std::map<std::string, PatchContainer> containers;
  EntryTable looseEntries;
  std::map<std::string, EntryTable> packEntries;
};

}  // namespace qlmr
