// What the commands of qlmr-pak share: an archive open for reading with the
// names its list file gives, an archive open for writing with its list file
// kept in step, and the words for a failure to open one.
//
// The list is kept so that it names every stored file at every moment a
// write can stop: new names are listed before their files are stored, and
// removed files are unlisted after they are removed. A write that stops
// half-way (a crash, a killed process) leaves a list that may name files
// that are not stored, never the other way round; `qlmr-pak repair`
// settles it (pack/pack_list_repair.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"
#include "pack/pack_list_file.h"
#include "tools/command_line.h"

namespace qlmr {
namespace tools {

// Says a failure about the archive `archive` (opening, reading, writing) in
// words. An archive whose write flag is set is said to be open for writing
// or left so by an interrupted write, with the command that repairs it.
int FailArchive(const std::string& action, const std::string& archive);

// The whole decoded content of a stored file.
bool ReadStoredText(PackArchive& archive, const char* name, std::string* text);

// An archive open read-only with its names looked up in the list file.
class ReadSession {
 public:
  // Opens `path` ("-": standard input) and reads its list and slots; the
  // archive's and the list's failures, or InputFile's.
  bool Open(const std::string& path);
  // The file opened: the path given, or the copy of standard input.
  const std::string& path() const { return input_.path(); }

  // The list entry of a slot, or null.
  const PackListEntry* ListedAt(uint32_t slot) const;
  bool IsListFile(uint32_t slot) const { return listSlot_ == static_cast<int32_t>(slot); }
  // The listed name of a slot, "(list)" for the list file, or else
  // "#slot/hashA/hashB".
  std::string NameOf(const PackSlotInfo& info) const;
  bool IsNamed(const PackSlotInfo& info) const;
  // The stored bytes' decoded sizes of all slots, for progress.
  uint64_t ContentBytes() const;

  PackArchive& archive() { return *archive_; }
  const std::vector<PackSlotInfo>& slots() const { return slots_; }
  const PackListFile& list() const { return list_; }

 private:
  InputFile input_;
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  PackListFile list_;
  std::vector<const PackListEntry*> listed_;  // by slot
  int32_t listSlot_ = -1;
  std::vector<PackSlotInfo> slots_;
};

// An archive open for writing, with its list file kept in step unless
// `keepList` is false.
class WriteSession {
 public:
  explicit WriteSession(bool keepList) : keepList_(keepList) {}
  ~WriteSession();  // closes an archive still open, without a report

  // Opens an existing archive and reads its list; or creates one (replacing
  // a file at `path`) with an empty list.
  bool Open(const std::string& path);
  bool Create(const std::string& path);

  // Stores `length` bytes (already encoded with `type`) under `name`.
  bool StoreBuffer(const std::string& name, const void* bytes, uint32_t length, uint8_t type,
                   uint32_t contentSize);
  // Stores the file at `path` as it is (type 0).
  bool StoreFile(const std::string& name, const std::string& path);
  bool Remove(const std::string& name);

  // Writes the list as it is now and makes it durable, so that the files it
  // names may follow. Nothing without a list.
  bool WriteList();
  // Closes the archive; with `writeList` the list is written first. Keeps
  // the first failure in the error state: `ok` false means one is there.
  bool Close(bool ok, bool writeList);

  bool keepList() const { return keepList_; }
  PackArchive& archive() { return *archive_; }
  PackListFile& list() { return list_; }

 private:
  bool ReadList();

  bool keepList_;
  std::unique_ptr<PackArchive> archive_ = NewPackArchive();
  PackListFile list_;
  bool open_ = false;
};

}  // namespace tools
}  // namespace qlmr
