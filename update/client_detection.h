// Client detection: FindRunningClients and ForceCloseClients look for
// processes that run "qlmr.exe" of the installation.
//
// Used by the update thread only. Nothing here reports through
// base/error.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// "<installDir>\qlmr.exe".
std::string ClientPath(const std::string& installDir);

// The ids of the running processes that are the client `clientPath`: the
// process's executable is that file, or (as under Wine, where the executable
// is the loader) the first argument of its command line names it. Compared
// as the file system compares names (PathsNameOneFile): on POSIX another
// installation whose folder differs in letter case alone is not this one. A
// process list that cannot be read gives none.
std::vector<uint32_t> FindRunningClients(const std::string& clientPath);

// Terminates every running client of `clientPath`; does not wait for them to
// end and does not search again. A client that survives stays running.
void ForceCloseClients(const std::string& clientPath);

}  // namespace qlmr
