// The installation folder: the folder holding ".ver", found by
// LocateInstallFolder and read by ReadLocalVersion.
//
// Used by the update thread. Texts are code page 936. Nothing here reports
// through base/error.h.
#pragma once

#include <cstdint>
#include <string>

#include "base/platform.h"
#include "update/carrier.h"
#include "update/version.h"

namespace qlmr {

// Files of an installation.
constexpr const char* kClientFileName = "qlmr.exe";
constexpr const char* kPatcherFileName = "qlmrpatch.exe";
constexpr const char* kVersionFileName = ".ver";

class UpdateFrontEnd;

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

// The folder of `executablePath` when the patch fits the installation there;
// otherwise the folder that the user picks through the front end, taken
// whenever it holds a readable ".ver". False when there is none or the user
// cancelled.
bool LocateInstallFolder(const std::string& executablePath, UpdateFrontEnd* frontEnd,
                         UpdateState* state);

// Takes the lock of the installation `installDir` (a NamedLock of the folder
// itself), which every update takes before it looks at the installed
// version and keeps until it has ended: the updater's, and the release
// tools' apply. kHeldElsewhere: another update of the installation runs.
NamedLock::Outcome LockInstallation(const std::string& installDir, NamedLock* lock);

}  // namespace qlmr
