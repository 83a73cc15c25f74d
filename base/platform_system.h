// Inside the platform layer: the system calls each side (platform_posix.cpp,
// platform_win32.cpp) implements behind the public functions of
// base/platform.h that change the disk. The public forms, in
// base/platform_fault.cpp, pass each call through the fault seam first. Not
// for callers outside the platform layer. Results and errors are those
// documented for the public forms.
#pragma once

#include <string>

#include "base/platform.h"

namespace qlmr {

bool SystemMakeFolder(const char* path);
bool SystemRemoveEmptyFolder(const char* path);
bool SystemRemoveFolderContents(const char* path);
bool SystemRemoveFileAt(const char* path);
bool SystemMoveFileReplace(const char* from, const char* to);
bool SystemCopyFileReplace(const char* from, const char* to);
bool SystemFlushFileSystem(const char* path);
bool SystemCreateUniqueTempFile(const char* folder, const char* prefix, std::string* path);

// Sets the number LastSystemError() gives on this thread.
void SetLastSystemError(int systemError);
// The system's error number for an injected fault: POSIX ENOSPC and EIO,
// Win32 ERROR_DISK_FULL and ERROR_IO_DEVICE.
int SystemErrorFor(FaultError error);

}  // namespace qlmr
