// The update controller: everything the updater does between its start and
// its final report, apart from showing it. UpdateController runs
// UpdateThread, which talks to its front end only through UpdateFrontEnd.
//
// Threads. An UpdateController is made and signalled on the front end's
// thread; its update thread makes every call of UpdateFrontEnd and is the only
// thread that uses the patch package and the client search.
// Texts are code page 936 throughout.
//
// Failures. Each failed step ends the update with a fixed text in the status
// line, except a failed apply: its text 116 shows the code and message that
// the patch package left in the update thread's error state (base/error.h).
//
// Two updates. The update thread holds the lock of its patch file from
// before it writes the file, and the lock of the installation from when the
// folder is found, until the controller goes (LockInstallation). A second
// updater that finds either taken shows text 123 and changes nothing.
//
// Interruptions. From the start of the apply until the patch file has been
// filed away, a request to end the process waits (TerminationDeferral).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "base/platform.h"
#include "update/carrier.h"
#include "update/front_end.h"
#include "update/install_folder.h"

namespace qlmr {

class PatchPackage;

// Where a successful update leaves the patch, below the installation folder.
constexpr const char* kDownloadFolderName = "download";
// The extension of the installation's pack archives.
constexpr const char* kPackExtension = "pak";

// A manual-reset event, initially not signalled.
class StartEvent {
 public:
  void Signal();
  void Reset();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool set_ = false;
};

// Where the controller's inputs come from. The program uses Defaults();
// tests point them at fixtures.
struct UpdateOptions {
  std::string executablePath;  // the file carrying the patch
  uint64_t carrierOffset = kCarrierOffset;
  std::string tempFolder;  // receives the run folder "~qlmrPatch..."
  PatchPackage* (*createPackage)() = nullptr;

  // The running executable, kCarrierOffset, the user's temporary folder and
  // `createPackage`.
  static UpdateOptions Defaults(PatchPackage* (*createPackage)());
};

// One update, from the carried patch to the final report. There is one
// controller per process at a time: ProgressCallback, whose signature has no
// context, reaches it through a process-wide pointer that the constructor
// sets and the destructor clears.
class UpdateController {
 public:
  UpdateController(UpdateFrontEnd* frontEnd, UpdateOptions options);
  ~UpdateController();
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  // Starts the update thread; false when it cannot be created (the front end
  // then shows text 104 and fails). Called once.
  bool StartUpdateThread();

  // The start button: lets the waiting update thread go on.
  void Start() { startEvent_.Signal(); }

  // Waits until the update thread has ended. The program never needs this
  // (the thread ends with the process); tests do.
  void JoinUpdateThread();

  // The state, for the front end once WM_UPDATE_SUCCEEDED arrives (install
  // folder, target version) and for tests after the thread ended.
  const UpdateState& state() const { return state_; }

  // The progress callback handed to ApplyPackage: shows text 117 (kind 0) or
  // 118 (kind 1) with the entry's number and the entry count, and moves the
  // bar to the share of entries finished before this one, rounded.
  static int ProgressCallback(const char* packName, const char* fileName, int32_t kind);

 private:
  void UpdateThread();
  bool RunUpdate();
  bool CheckClientStopped();
  void Fail(const std::string& status);
  void MovePatchToDownload();

  UpdateFrontEnd* frontEnd_;
  UpdateOptions options_;
  UpdateState state_;
  StartEvent startEvent_;
  int32_t progressCalls_ = 0;  // calls of ProgressCallback so far
  NamedLock installLock_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qlmr
