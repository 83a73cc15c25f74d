#include "update/install_folder.h"

#include <string>

#include "base/path.h"
#include "base/platform.h"
#include "res/strings.h"
#include "update/front_end.h"

namespace qlmr {
namespace {

// The longest first line kept, line end included (a 260-byte line buffer).
constexpr size_t kMaxVersionLine = 259;

// The first line of a file read the way a text-mode line read does it: CR LF
// becomes LF, the LF stays, the text ends at a zero byte, and at most
// kMaxVersionLine characters are taken.
bool ReadFirstLine(File* file, std::string* line) {
  // Each kept character takes at most two bytes (CR LF).
  char bytes[2 * kMaxVersionLine + 1];
  uint32_t got = 0;
  if (!file->Read(bytes, sizeof bytes, &got) || got == 0) return false;
  line->clear();
  for (uint32_t i = 0; i < got && line->size() < kMaxVersionLine; ++i) {
    char c = bytes[i];
    if (c == '\r' && i + 1 < got && bytes[i + 1] == '\n') continue;
    if (c == '\0') break;
    line->push_back(c);
    if (c == '\n') break;
  }
  return true;
}

}  // namespace

bool ReadLocalVersion(const std::string& folder, bool strict, UpdateState* state) {
  File file;
  if (!file.Open(JoinPath(folder, kVersionFileName).c_str(), FileMode::kRead)) return false;
  std::string line;
  if (!ReadFirstLine(&file, &line)) return false;
  state->localVersion = ParseVersion(line.c_str());
  state->localVersionText = line;
  state->installDir = folder;
  if (!strict) return true;
  int from = CompareVersions(state->localVersion, state->patch.fromVersion);
  int to = CompareVersions(state->localVersion, state->patch.toVersion);
  return from != VERSION_OTHER_LANGUAGE && from != VERSION_OLDER && to == VERSION_OLDER;
}

bool LocateInstallFolder(const std::string& executablePath, UpdateFrontEnd* frontEnd,
                         UpdateState* state) {
  if (ReadLocalVersion(PathFolder(executablePath), true, state)) return true;
  std::string chosen;
  if (!frontEnd->BrowseForFolder(LoadText(IDS_CHOOSE_FOLDER), &chosen) || chosen.empty()) {
    return false;
  }
  return ReadLocalVersion(chosen, false, state);
}

NamedLock::Outcome LockInstallation(const std::string& installDir, NamedLock* lock) {
  return lock->TryLock(installDir.c_str(), "");
}

}  // namespace qlmr
