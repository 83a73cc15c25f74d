#include "update/client_detection.h"

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "update/install_folder.h"

namespace qlmr {
namespace {

bool IsClient(const ProcessEntry& process, const std::string& clientPath) {
  auto same = [&](const std::string& path) {
    return !path.empty() && PathsNameOneFile(path.c_str(), clientPath.c_str());
  };
  return same(process.imagePath) || same(process.commandFile);
}

}  // namespace

std::string ClientPath(const std::string& installDir) {
  return JoinPath(installDir, kClientFileName);
}

std::vector<uint32_t> FindRunningClients(const std::string& clientPath) {
  std::vector<uint32_t> clients;
  EnumerateProcesses([&](const ProcessEntry& process) {
    if (IsClient(process, clientPath)) clients.push_back(process.id);
  });
  return clients;
}

void ForceCloseClients(const std::string& clientPath) {
  EnumerateProcesses([&](const ProcessEntry& process) {
    if (IsClient(process, clientPath)) TerminateProcessById(process.id);
  });
}

}  // namespace qlmr
