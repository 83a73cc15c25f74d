#include "base/run_folder.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <set>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/strings.h"

namespace qlmr {
namespace {

// The ids of the running processes, read once per cleanup and only when a
// folder names its owner.
class RunningProcesses {
 public:
  bool Contains(uint32_t id) {
    if (!read_) {
      read_ = true;
      // Unreadable: every owner counts as alive, so nothing in use is lost.
      readable_ = EnumerateProcesses([this](const ProcessEntry& p) { ids_.insert(p.id); });
    }
    return !readable_ || ids_.count(id) > 0;
  }

 private:
  bool read_ = false;
  bool readable_ = false;
  std::set<uint32_t> ids_;
};

// The process id an owner file names: digits and a line feed. False when it
// names none, as a write cut short leaves it (its prefix may be a live id).
bool ReadOwnerId(const std::string& path, uint32_t* id) {
  File file;
  char text[16] = {};
  uint32_t got = 0;
  if (!file.Open(path.c_str(), FileMode::kRead) || !file.Read(text, sizeof text - 1, &got) ||
      got < 2 || text[got - 1] != '\n') {
    return false;
  }
  for (uint32_t i = 0; i + 1 < got; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  *id = ParseDecimal(text);
  return true;
}

// A run folder that an interrupted run left behind.
bool IsLeftoverRunFolder(const std::string& folder, const std::string& name, const char* prefix,
                         bool (*isRunFile)(const std::string& name), RunningProcesses* running) {
  if (!IsRunTempName(name, prefix) || !IsOwnFolder(folder.c_str())) return false;
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder.c_str(), &entries)) return false;
  for (const FolderEntry& entry : entries) {
    if (entry.isFolder) return false;
    if (strcasecmp(entry.name.c_str(), kRunFolderOwnerName) == 0) {
      uint32_t owner = 0;
      if (ReadOwnerId(JoinPath(folder, entry.name), &owner) && running->Contains(owner)) {
        return false;
      }
      continue;
    }
    if (!isRunFile(entry.name)) return false;
  }
  return true;
}

}  // namespace

bool MakeRunFolder(const std::string& parent, const char* prefix, std::string* path) {
  // Another run's cleanup may take the new folder for a leftover before it
  // names its owner: then another one.
  constexpr int kAttempts = 16;
  std::string owner = std::to_string(CurrentProcessId()) + "\n";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string folder;
    if (!MakePrivateFolder(parent.c_str(), prefix, &folder)) return false;
    File file;
    std::string ownerPath = JoinPath(folder, kRunFolderOwnerName);
    if (file.Open(ownerPath.c_str(), FileMode::kCreateFresh) &&
        file.Write(owner.data(), static_cast<uint32_t>(owner.size())) && file.Close()) {
      *path = folder;
      return true;
    }
    file.Close();
    RemoveRunFolder(folder);
  }
  return false;
}

void RemoveRunFolder(const std::string& path) {
  RemoveFolderContents(path.c_str());
  RemoveEmptyFolder(path.c_str());
}

bool IsRunTempName(const std::string& name, const char* prefix) {
  size_t prefixLength = strlen(prefix);
  if (name.size() < prefixLength + 5) return false;
  size_t digits = name.size() - prefixLength - 4;
  if (digits > 4 && digits != 16) return false;
  if (strncasecmp(name.c_str(), prefix, prefixLength) != 0) return false;
  size_t digitsEnd = name.size() - 4;
  if (strcasecmp(name.c_str() + digitsEnd, ".tmp") != 0) return false;
  for (size_t i = prefixLength; i < digitsEnd; ++i) {
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

void RemoveLeftoverRunFolders(const std::string& parent, const char* prefix,
                              bool (*isRunFile)(const std::string& name)) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(parent.c_str(), &entries)) return;
  RunningProcesses running;
  for (const FolderEntry& entry : entries) {
    std::string path = JoinPath(parent, entry.name);
    if (!entry.isFolder) {
      if (IsRunTempName(entry.name, prefix) && FileSizeOf(path.c_str()) == 0) {
        RemoveFileAt(path.c_str());
      }
      continue;
    }
    if (IsLeftoverRunFolder(path, entry.name, prefix, isRunFile, &running)) RemoveRunFolder(path);
  }
}

}  // namespace qlmr
