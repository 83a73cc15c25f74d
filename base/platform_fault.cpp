// The public forms of the platform calls that change the disk, shared by both
// sides: each passes through the fault seam's hooks when a test set them.
#include <atomic>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/platform_system.h"

namespace qlmr {
namespace {

std::atomic<FaultHooks*> g_hooks{nullptr};

// Null unless a test armed the fault seam: one relaxed load per call.
FaultHooks* Hooks() { return g_hooks.load(std::memory_order_relaxed); }

}  // namespace

void SetFaultHooks(FaultHooks* hooks) { g_hooks.store(hooks, std::memory_order_relaxed); }

const char* SystemErrorWords(int systemError) {
  switch (ClassifySystemError(systemError)) {
    case SystemErrorKind::kDiskFull:
      return "disk full";
    case SystemErrorKind::kIoError:
      return "I/O error";
    case SystemErrorKind::kOther:
      break;
  }
  return "error";
}

// --- File ----------------------------------------------------------------------

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalidHandle; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalidHandle;
  }
  return *this;
}

bool File::Open(const char* path, FileMode mode) {
  FaultHooks* hooks = Hooks();
  return hooks == nullptr ? SystemOpen(path, mode) : hooks->Open(this, path, mode);
}

bool File::Close() {
  if (handle_ == kInvalidHandle) return true;
  FaultHooks* hooks = Hooks();
  return hooks == nullptr ? SystemClose() : hooks->Close(this);
}

bool File::Write(const void* buffer, uint32_t length) {
  FaultHooks* hooks = Hooks();
  return hooks == nullptr ? SystemWrite(buffer, length)
                          : hooks->Write(this, buffer, length, nullptr);
}

bool File::WriteAt(uint64_t position, const void* buffer, uint32_t length) {
  FaultHooks* hooks = Hooks();
  return hooks == nullptr ? SystemWriteAt(position, buffer, length)
                          : hooks->Write(this, buffer, length, &position);
}

bool File::Flush() {
  FaultHooks* hooks = Hooks();
  return hooks == nullptr ? SystemFlush() : hooks->Flush(this);
}

// --- Files and folders -----------------------------------------------------------

bool MakeFolder(const char* path) {
  FaultHooks* hooks = Hooks();
  return (hooks == nullptr || hooks->Pass()) && SystemMakeFolder(path);
}

bool MakePrivateFolder(const char* parent, const char* prefix, std::string* path) {
  FaultHooks* hooks = Hooks();
  return (hooks == nullptr || hooks->Pass()) && SystemMakePrivateFolder(parent, prefix, path);
}

bool RemoveEmptyFolder(const char* path) {
  FaultHooks* hooks = Hooks();
  return (hooks == nullptr || hooks->Pass()) && SystemRemoveEmptyFolder(path);
}

bool RemoveFolderContents(const char* path) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemRemoveFolderContents(path);
  bool ok = hooks->Pass() && SystemRemoveFolderContents(path);
  hooks->FolderEmptied(path);
  return ok;
}

bool RemoveFileAt(const char* path) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemRemoveFileAt(path);
  if (!hooks->Pass() || !SystemRemoveFileAt(path)) return false;
  hooks->Removed(path);
  return true;
}

bool MoveFileReplace(const char* from, const char* to) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemMoveFileReplace(from, to);
  if (!hooks->Pass() || !SystemMoveFileReplace(from, to)) return false;
  hooks->Moved(from, to);
  return true;
}

bool CopyFileReplace(const char* from, const char* to) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemCopyFileReplace(from, to);
  if (!hooks->Pass() || !SystemCopyFileReplace(from, to)) return false;
  hooks->Copied(to);
  return true;
}

bool LinkFile(const char* from, const char* to) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemLinkFile(from, to);
  // A new name for data that is as durable as it was: nothing to note.
  return hooks->Pass() && SystemLinkFile(from, to);
}

bool MakeDurable(const std::vector<std::string>& paths, std::string* failedPath) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemMakeDurable(paths, failedPath);
  if (!hooks->Pass()) {
    *failedPath = paths.empty() ? std::string() : paths.front();
    return false;
  }
  if (!SystemMakeDurable(paths, failedPath)) return false;
  hooks->MadeDurable(paths);
  return true;
}

bool CreateUniqueTempFile(const char* folder, const char* prefix, std::string* path) {
  FaultHooks* hooks = Hooks();
  if (hooks == nullptr) return SystemCreateUniqueTempFile(folder, prefix, path);
  if (!hooks->Pass() || !SystemCreateUniqueTempFile(folder, prefix, path)) return false;
  hooks->Removed(path->c_str());  // a new, empty file
  return true;
}

}  // namespace qlmr
