// The update controller: everything the updater does between its start and
// its final report, apart from showing it.
//
//   - The carrier: the updater's executable carries its patch in a block at
//     the fixed offset kCarrierOffset: two length-prefixed version texts and
//     the patch data up to the end of the file. ExtractEmbeddedPatch copies
//     the data into the temporary folder; WriteCarrier makes such a file.
//   - The installation folder: the folder holding ".ver", found by
//     LocateInstallFolder and read by ReadLocalVersion.
//   - Client detection: FindRunningClients and ForceCloseClients look for
//     processes that run "qlmr.exe" of the installation.
//   - The update procedure: UpdateController runs UpdateThread, which talks
//     to its front end only through UpdateFrontEnd below.
//
// Threads. An UpdateController is made and signalled on the front end's
// thread; its update thread makes every call of UpdateFrontEnd and is the only
// thread that uses the error state, the patch package and the client search.
// Texts are code page 936 throughout.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "update/version.h"

namespace qlmr {

class PatchPackage;

// --- Fixed names ------------------------------------------------------------

constexpr const char* kClientFileName = "qlmr.exe";
constexpr const char* kPatcherFileName = "qlmrpatch.exe";
constexpr const char* kVersionFileName = ".ver";
constexpr const char* kDownloadFolderName = "download";
constexpr const char* kPatchTempFolderName = "~qlmrPatch";
constexpr const char* kPackExtension = "pak";

// --- The carrier ------------------------------------------------------------

// Where the block starts: the length of the updater's executable before the
// block was appended. Set at build time (QLMR_CARRIER_OFFSET); the build
// fails when the updater does not fit below it.
#ifndef QLMR_CARRIER_OFFSET
#error "QLMR_CARRIER_OFFSET must be defined by the build"
#endif
constexpr uint32_t kCarrierOffset = QLMR_CARRIER_OFFSET;

// A length field of the block must be below this; the stored texts count
// their terminating zero byte, so a version text has at most 30 characters.
constexpr uint32_t kCarrierTextLimit = 32;

struct EmbeddedPatch {
  std::string fromVersionText;  // as stored, up to its first zero byte
  VersionInfo fromVersion;
  std::string toVersionText;
  VersionInfo toVersion;
  std::string patchPath;  // the extracted patch file
};

// Reads the block at `offset` of `executablePath` and copies the patch data
// to "<tempFolder>\~qlmrPatch\ql-<from>-<to>.patch" (the folder is created if
// needed). Fills `patch` as far as it got. False, without a report, when the
// file cannot be read, ends at or before `offset` or inside a version text,
// has a length field of 32 or more, names a version that cannot be part of a
// file name (a separator, a drive colon, a control byte, or dots alone) or
// when the patch file cannot be written whole. Data without a patch gives an
// empty patch file.
bool ExtractEmbeddedPatch(const char* executablePath, uint64_t offset,
                          const std::string& tempFolder, EmbeddedPatch* patch);

// Writes `outPath`: the executable `updaterPath` padded with zero bytes up to
// `offset`, then the block with `fromText`, `toText` (each stored with its
// terminating zero byte) and the content of `patchPath`. The file is written
// through a temporary copy, so `outPath` is replaced only when whole.
// Codes: 10 "File=%s(too large)" (the updater is longer than `offset`);
// 10 "Version=%s" (empty, 31 characters or more, or not usable in a file
// name); 10 "Version=%s-%s" (the two texts differ in language, or `fromText`
// is not older than `toText`); 3 "File=%s, WinErr=%d" (open or create);
// 4 "WinErr=%d" (read); 5 "WinErr=%d" (write or final move).
bool WriteCarrier(const char* updaterPath, const char* fromText, const char* toText,
                  const char* patchPath, const char* outPath, uint64_t offset);

// --- Installation folder ----------------------------------------------------

// The update state the controller fills in as it goes.
struct UpdateState {
  EmbeddedPatch patch;
  int32_t entryCount = 0;
  std::string installDir;  // the installation folder
  VersionInfo localVersion;
  std::string localVersionText;  // the first line of ".ver", line end included
};

// Reads the first line of "<folder>\.ver" as text mode does (CR LF read as
// LF, at most 259 characters, line end kept) and stores it in `state` with
// its parsed form and `folder` as installDir. False when the file cannot be
// opened or holds nothing. With `strict` it is true only when the patch fits
// the version read: same language, not older than fromVersion and older than
// toVersion. The state keeps what was read either way.
bool ReadLocalVersion(const std::string& folder, bool strict, UpdateState* state);

class UpdateFrontEnd;

// The folder of `executablePath` when the patch fits the installation there;
// otherwise the folder that the user picks through the front end, taken
// whenever it holds a readable ".ver". False when there is none or the user
// cancelled.
bool LocateInstallFolder(const std::string& executablePath, UpdateFrontEnd* frontEnd,
                         UpdateState* state);

// --- Client detection --------------------------------------------------------

// "<installDir>\qlmr.exe".
std::string ClientPath(const std::string& installDir);

// The ids of the running processes that are the client `clientPath`: the
// process's executable is that file, or (as under Wine, where the executable
// is the loader) the first argument of its command line names it. Compared
// with ComparePaths. A process list that cannot be read gives none.
std::vector<uint32_t> FindRunningClients(const std::string& clientPath);

// Terminates every running client of `clientPath`; does not wait for them to
// end and does not search again. A client that survives stays running.
void ForceCloseClients(const std::string& clientPath);

// --- The front end -------------------------------------------------------------

// The private messages of the update thread.
enum UpdateMessage : uint32_t {
  WM_UPDATE_FAILED = 2025,     // the status line holds the reason
  WM_UPDATE_PROGRESS = 2026,   // wParam: the progress bar's new position, 0..100
  WM_UPDATE_SUCCEEDED = 2027,  // the patch was applied
};

// What the update thread needs from its window. Every call comes from the
// update thread and is synchronous: it returns only after the front end's own
// thread has handled it (a Windows dialog implements the first four with
// SendMessage). The front end answers by calling UpdateController::Start.
class UpdateFrontEnd {
 public:
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetWindowTitle(const std::string& text) = 0;  // once
  virtual void EnableStartButton() = 0;                      // once
  // One of the UpdateMessage values; the result is the handler's.
  virtual intptr_t SendUpdateMessage(uint32_t message, uintptr_t wParam) = 0;

  // Lets the user choose a folder, `title` (text 107) on top. Runs on the
  // update thread, owned by the front end's window. False when cancelled.
  virtual bool BrowseForFolder(const std::string& title, std::string* folder) = 0;

  // Shows the conflict screen modally on the update thread until a retry
  // finds no client of `clientPath`, which gives 1. Any other result (the
  // screen could not be shown) stops the update.
  virtual int RunConflictDialog(const std::string& clientPath) = 0;

 protected:
  ~UpdateFrontEnd() = default;
};

// --- The update procedure -------------------------------------------------------

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
  std::string tempFolder;  // receives "~qlmrPatch"
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
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qlmr
