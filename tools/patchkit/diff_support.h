// What the diff of installations and the writing of its patch share: work
// spread over the machine's cores, whole-file reads and comparisons, scratch
// folders, and the stored files of a pack archive as its list file names them.
//
// Failures are reported through base/error.h and return false: ERR_ACCESS
// "File=%s, WinErr=%d" (open), ERR_ACCESS "Path=%s, WinErr=%d" (a folder),
// ERR_READ "File=%s, WinErr=%d" (a read), ERR_WRITE "File=%s, WinErr=%d";
// stored files with the pack archive's OpenFile, Read and ReadFileData codes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"

namespace qlmr {
namespace patchkit {

constexpr char kPackExtension[] = "pak";
constexpr char kVersionFileName[] = ".ver";

// Whether a normalized loose name is a pack archive's.
bool IsPackName(const std::string& key);

struct LooseFile {
  std::string name;  // relative, folders joined with backslashes, as on disk
  std::string path;
};

// An installation as the diff sees it: its files and folders by their
// normalized names.
struct Tree {
  std::string root;
  std::string label;                           // how texts name it: "OLD", "NEW", ...
  std::map<std::string, LooseFile> files;      // by normalized name
  std::map<std::string, std::string> folders;  // normalized -> as on disk, relative

  const LooseFile* Find(const std::string& key) const;
};

// Lists the installation below `root`. Fails with ERR_INVALID "Path=%s (not
// a folder)", ERR_ACCESS "Path=%s, WinErr=%d" (a folder that cannot be
// listed), ERR_DUPLICATE "File=%s, File=%s" (two names that differ only in
// ASCII case: one file to the updater) or ERR_BAD_DATA "File=%s (a name
// code page 936 cannot hold)", the name as on disk with each character code
// page 936 lacks written <U+XXXX>.
bool ScanTree(const std::string& root, const std::string& label, Tree* tree);

// Runs work(i) for every i below `count` on one thread per core of the
// machine while the calling thread advances a progress bar labelled
// `label`. Stops at the first failure and reports it again on the calling
// thread, whose error state is the one callers read.
bool ForEachOnEveryCore(size_t count, const char* label, const std::function<bool(size_t)>& work);

bool SizeOf(const std::string& path, uint64_t* size);
// Reads exactly `length` bytes of `file` (at `path`) into `buffer`.
bool ReadChunk(File* file, const std::string& path, uint8_t* buffer, uint32_t length);
// Whether two files hold the same bytes: sizes first, then the content.
bool SameFileContent(const std::string& first, const std::string& second, bool* same);
bool WriteWholeFile(const std::string& path, const void* data, uint32_t length);

// Refuses, with ERR_INVALID "File=%s (inside %s)", an output inside one of
// the folders `roots`, however either is spelled: it would overwrite a file
// of an installation, or be taken for one by the next diff.
bool CheckOutsideTrees(const std::vector<std::string>& roots, const std::string& output);

// A new folder in the temporary folder, removed with its content at the end
// of its owner's scope.
class ScratchFolder {
 public:
  ScratchFolder() = default;
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // ERR_ACCESS "Path=%s, WinErr=%d" naming the temporary folder.
  bool Create(const char* prefix);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A stored file of an archive, by the name its list file gives it.
struct StoredFile {
  std::string name;
  PackBlockEntry block;
};

// A pack archive opened for reading with its stored files learnt from its
// list file, or the reason it cannot be compared file by file.
struct PackSide {
  std::string path;
  std::unique_ptr<PackArchive> archive = NewPackArchive();
  std::map<std::string, StoredFile> files;  // by normalized name, the list file not among them
  bool hasList = false;
  StoredFile list;
  std::string problem;  // empty when it can be compared file by file
};

// Opens `path` as one side of a comparison; `treeName` ("OLD", "NEW") goes
// into the problem text. An archive that cannot be compared file by file (not
// readable as an archive, damaged tables, no list file, stored files the list
// does not name) gets a `problem` and true; false only for failures that
// would also stop a whole-archive comparison.
bool LoadPackSide(const std::string& path, const std::string& treeName, PackSide* side);

// The decoded content of a stored file.
bool ReadStoredContent(PackArchive& archive, const std::string& name, std::string* content);
// The bytes as the archive stores them (encoded).
bool ReadStoredBytes(PackArchive& archive, const StoredFile& file, std::string* bytes);

// Whether two stored files have the same type and decoded content. Equal
// stored bytes settle it without decoding.
bool SameStoredFile(PackArchive& oldArchive, const StoredFile& oldFile, PackArchive& newArchive,
                    const StoredFile& newFile, bool* same);

}  // namespace patchkit
}  // namespace qlmr
