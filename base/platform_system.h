// Inside the platform layer: the system calls each side (platform_posix.cpp,
// platform_win32.cpp) implements behind the public functions of
// base/platform.h that change the disk. The public forms, in
// base/platform_fault.cpp, pass each call through the fault seam first. Not
// for callers outside the platform layer. Results and errors are those
// documented for the public forms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/platform.h"

namespace qlmr {

bool SystemMakeFolder(const char* path);
bool SystemRemoveEmptyFolder(const char* path);
bool SystemRemoveFolderContents(const char* path);
bool SystemRemoveFileAt(const char* path);
bool SystemMoveFileReplace(const char* from, const char* to);
bool SystemCopyFileReplace(const char* from, const char* to);
bool SystemMakeDurable(const std::vector<std::string>& paths, std::string* failedPath);
bool SystemLinkFile(const char* from, const char* to);
bool SystemCreateUniqueTempFile(const char* folder, const char* prefix, std::string* path);
bool SystemMakePrivateFolder(const char* parent, const char* prefix, std::string* path);

// The system name of the NamedLock of `name` in the folder that the file
// system knows as `volume` and `object` (device and inode, or volume serial
// number and file index): a short text of fixed length that both systems
// accept as a name, the same for the same three.
std::string NamedLockName(uint64_t volume, uint64_t object, const std::string& name);

// What the fault seam (base/fault_seam.cpp) sees of the calls that change
// the disk. Pass counts a call of the free functions and acts on it; false
// fails it. The notes follow a call that succeeded.
class FaultHooks {
 public:
  virtual bool Open(File* file, const char* path, FileMode mode) = 0;
  virtual bool Close(File* file) = 0;
  virtual bool Write(File* file, const void* buffer, uint32_t length, const uint64_t* position) = 0;
  virtual bool Flush(File* file) = 0;
  virtual bool Pass() = 0;
  virtual void Removed(const char* path) = 0;
  virtual void FolderEmptied(const char* path) = 0;
  virtual void Moved(const char* from, const char* to) = 0;
  virtual void Copied(const char* to) = 0;
  virtual void MadeDurable(const std::vector<std::string>& paths) = 0;

 protected:
  ~FaultHooks() = default;
};

// Routes the calls through `hooks`, or straight to the system when null.
void SetFaultHooks(FaultHooks* hooks);

// Whether `mode` creates the file (and so counts as a change of the disk).
inline bool CreatesFile(FileMode mode) {
  return mode == FileMode::kCreate || mode == FileMode::kCreateFresh;
}

// Sets the number LastSystemError() gives on this thread.
void SetLastSystemError(int systemError);
// The system's error number for an injected fault: POSIX ENOSPC and EIO,
// Win32 ERROR_DISK_FULL and ERROR_IO_DEVICE.
int SystemErrorFor(FaultError error);

}  // namespace qlmr
