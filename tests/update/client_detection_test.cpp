#include "update/client_detection.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "tests/support/test_util.h"
#include "tests/update/child_process.h"
#include "tests/update/update_fakes.h"
#include "update/carrier.h"
#include "update/update_procedure.h"

namespace qlmr {
namespace {

using testing_support::ChildProcess;
using testing_support::ProcessRuns;
using testing_support::TempDir;

// A copy of the fake client at `path`, ready to run.
void InstallClient(const std::string& path) {
  ASSERT_TRUE(CreateFolderChain(PathFolder(path).c_str()));
  ASSERT_TRUE(CopyFileReplace(QLMR_FAKE_CLIENT, path.c_str()));
  ASSERT_TRUE(MarkExecutable(path.c_str()));
}

// Starts `program` with `argv0` (and a marker argument) and returns once it
// runs its own code, so that the process list shows the new program.
void StartClient(ChildProcess* child, const std::string& program, const std::string& argv0,
                 const std::string& folder = "", std::vector<std::string> env = {}) {
  static int counter = 0;
  // The temporary folder is this test process's own.
  std::string marker = TempFolderPath() + "qlmr-client-" + std::to_string(++counter);
  ChildProcess::Options options;
  options.program = program;
  options.argv = {argv0, marker};
  options.extraEnv = std::move(env);
  options.workingFolder = folder;
  ASSERT_TRUE(child->Start(options));
  for (int i = 0; i < 2000 && !PathExists(marker.c_str()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(PathExists(marker.c_str())) << "the client did not start";
  RemoveFileAt(marker.c_str());
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// Two installations, each with its client in place.
class TwoInstallationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallClient(install.Join("qlmr.exe"));
    InstallClient(other.Join("qlmr.exe"));
  }
  static void RunClient(const TempDir& folder, ChildProcess* child) {
    StartClient(child, folder.path() + "/qlmr.exe", "qlmr.exe");
  }

  TempDir install;
  TempDir other;
};

TEST_F(TwoInstallationsTest, FindsTheClientOfThisInstallationOnly) {
  ChildProcess ours;
  ChildProcess theirs;
  RunClient(install, &ours);
  RunClient(other, &theirs);

  std::string variants[] = {
      ClientPath(install.path()),
      install.path() + "/QLMR.EXE",
      Upper(install.path()) + "\\qlmr.exe",
      " " + ClientPath(install.path()) + "\\ ",
  };
  for (const std::string& clientPath : variants) {
    std::vector<uint32_t> found = FindRunningClients(clientPath);
    EXPECT_EQ(found, std::vector<uint32_t>{static_cast<uint32_t>(ours.pid())}) << clientPath;
  }
  TempDir empty;
  EXPECT_TRUE(FindRunningClients(ClientPath(empty.path())).empty());
}

#ifndef _WIN32
bool Contains(const std::vector<uint32_t>& ids, uint32_t pid) {
  return std::find(ids.begin(), ids.end(), pid) != ids.end();
}

std::string WithBackslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Wine runs a Windows program through a loader; only POSIX sees that.
TEST(FindRunningClientsTest, MatchesAProgramRunByALoaderThroughItsFirstArgument) {
  TempDir install;
  TempDir loader_folder;
  InstallClient(install.Join("qlmr.exe"));
  std::string loader = loader_folder.path() + "/loader";
  InstallClient(loader);
  // A Wine prefix: drive Z is the root, drive C holds a link to the game.
  TempDir prefix;
  ASSERT_TRUE(MakeFolder(prefix.Join("dosdevices").c_str()));
  ASSERT_TRUE(MakeFolder(prefix.Join("drive_c").c_str()));
  ASSERT_EQ(symlink("/", (prefix.path() + "/dosdevices/z:").c_str()), 0);
  ASSERT_EQ(symlink("../drive_c", (prefix.path() + "/dosdevices/c:").c_str()), 0);
  ASSERT_EQ(symlink(install.path().c_str(), (prefix.path() + "/drive_c/Game").c_str()), 0);
  std::string wine_env = "WINEPREFIX=" + prefix.path();

  struct Case {
    const char* name;
    std::string argv0;
    std::string folder;
    bool matches;
  } cases[] = {
      {"Windows form on drive Z", "Z:" + WithBackslashes(install.path()) + "\\QLMR.EXE", "", true},
      {"Windows form through a drive link", "c:\\game\\qlmr.exe", "", true},
      {"Linux form", install.path() + "/qlmr.exe", "", true},
      {"relative to its folder", "./qlmr.exe", install.path(), true},
      {"a bare name cannot be placed", "qlmr.exe", install.path(), false},
      {"another file", "Z:" + WithBackslashes(loader_folder.path()) + "\\qlmr.exe", "", false},
      {"another drive", "D:\\game\\qlmr.exe", "", false},
  };
  for (const Case& c : cases) {
    ChildProcess child;
    StartClient(&child, loader, c.argv0, c.folder, {wine_env});
    EXPECT_EQ(Contains(FindRunningClients(ClientPath(install.path())), child.pid()), c.matches)
        << c.name;
  }
}

// POSIX file systems tell letter case apart: "Game" and "game" are two
// installations, and neither one's update may see or end the other's client.
TEST(FindRunningClientsTest, AFolderThatDiffersInLetterCaseAloneIsAnotherInstallation) {
  TempDir root;
  std::string ours = root.Join("Game");
  std::string theirs = root.Join("game");
  // Made as spelled: the platform layer would find "Game" for "game".
  ASSERT_EQ(mkdir((root.path() + "/Game").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((root.path() + "/game").c_str(), 0777), 0);
  InstallClient(ClientPath(ours));
  InstallClient(ClientPath(theirs));
  ChildProcess other;
  StartClient(&other, root.path() + "/game/qlmr.exe", "qlmr.exe");

  EXPECT_TRUE(FindRunningClients(ClientPath(ours)).empty());
  ForceCloseClients(ClientPath(ours));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(ProcessRuns(other.pid()));

  std::vector<uint32_t> theirs_running = {other.pid()};
  EXPECT_EQ(FindRunningClients(ClientPath(theirs)), theirs_running);
  // Another spelling of their folder, one that leads to it, is still theirs.
  ASSERT_EQ(symlink((root.path() + "/game").c_str(), (root.path() + "/link").c_str()), 0);
  EXPECT_EQ(FindRunningClients(ClientPath(root.Join("link"))), theirs_running);
}

#endif

#ifdef _WIN32
// Whether the process status library reads the process's main module, as it
// cannot for an elevated or protected client, or a 64-bit one seen from the
// 32-bit updater.
bool ModulesReadable(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return false;
  wchar_t image[MAX_PATH];
  DWORD length = GetModuleFileNameExW(process, nullptr, image, MAX_PATH);
  CloseHandle(process);
  return length > 0;
}

// A client whose modules cannot be read still runs: it is found by the image
// path the system's limited query gives, and force close ends it. A client
// that has not started its own code yet is one such, on every system.
TEST_F(TwoInstallationsTest, AClientWhoseModulesCannotBeReadIsFoundAndEnded) {
  ChildProcess client;
  ChildProcess::Options options;
  options.program = install.Join("qlmr.exe");
  options.suspended = true;
  ASSERT_TRUE(client.Start(options));
  if (ModulesReadable(client.pid())) {
    GTEST_SKIP() << "this system reads a starting process's modules: nothing to fall back from";
  }
  EXPECT_EQ(FindRunningClients(ClientPath(install.path())),
            std::vector<uint32_t>{static_cast<uint32_t>(client.pid())});
  EXPECT_TRUE(FindRunningClients(ClientPath(other.path())).empty());
  ForceCloseClients(ClientPath(install.path()));
  int status = 0;
  ASSERT_TRUE(client.Wait(&status));
  EXPECT_EQ(status, testing_support::kKilledStatus);
}
#endif

TEST_F(TwoInstallationsTest, ForceCloseKillsEveryClientOfThisInstallationAndNoOther) {
  ChildProcess first;
  ChildProcess second;
  ChildProcess theirs;
  RunClient(install, &first);
  RunClient(install, &second);
  RunClient(other, &theirs);

  ForceCloseClients(ClientPath(install.path()));
  int status = 0;
  ASSERT_TRUE(first.Wait(&status));
  EXPECT_EQ(status, testing_support::kKilledStatus);
  ASSERT_TRUE(second.Wait(&status));
  EXPECT_EQ(status, testing_support::kKilledStatus);
  EXPECT_TRUE(ProcessRuns(theirs.pid()));
  EXPECT_TRUE(FindRunningClients(ClientPath(install.path())).empty());
}

// The update thread holds at the start button's press while a client runs.
class ClientCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::Script() = testing_support::PackageScript();
    testing_support::WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
    testing_support::WriteFileOrDie(install.Join("program"), "program");
    testing_support::WriteFileOrDie(install.Join("patch"), "patch");
    ASSERT_TRUE(WriteCarrier(install.Join("program").c_str(), "CN.0.551.065", "CN.0.551.066",
                             install.Join("patch").c_str(), install.Join("updater").c_str(), 256));
    InstallClient(install.Join("qlmr.exe"));
  }

  std::vector<std::string> Run() {
    UpdateOptions options;
    options.executablePath = install.Join("updater");
    options.carrierOffset = 256;
    options.tempFolder = temp.path();
    options.createPackage = &testing_support::CreateFakePackage;
    UpdateController controller(&front, options);
    front.controller = &controller;
    EXPECT_TRUE(controller.StartUpdateThread());
    controller.JoinUpdateThread();
    return front.Calls();
  }

  TempDir install;
  TempDir temp;
  testing_support::RecordingFrontEnd front;
};

TEST_F(ClientCheckTest, NoClientShowsNoConflict) {
  std::vector<std::string> calls = Run();
  EXPECT_EQ(calls.back(), "succeeded");
  EXPECT_FALSE(front.Called("conflict " + ClientPath(install.path())));
}

TEST_F(ClientCheckTest, ConflictEndingWithoutAClientLetsTheUpdateGoOn) {
  ChildProcess client;
  StartClient(&client, install.path() + "/qlmr.exe", "qlmr.exe");
  front.conflict = [&](const std::string& clientPath) {
    ForceCloseClients(clientPath);
    int status = 0;
    client.Wait(&status);
    return FindRunningClients(clientPath).empty() ? 1 : 0;
  };
  std::vector<std::string> calls = Run();
  EXPECT_TRUE(front.Called("conflict " + ClientPath(install.path())));
  EXPECT_EQ(calls.back(), "succeeded");
  EXPECT_TRUE(testing_support::Script().applied);
}

TEST_F(ClientCheckTest, ConflictThatCannotBeShownStopsWithText115) {
  ChildProcess client;
  StartClient(&client, install.path() + "/qlmr.exe", "qlmr.exe");
  front.conflict = [](const std::string&) { return 0; };
  std::vector<std::string> calls = Run();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "status 游戏客户端正在运行,在进行下面的操作前请关闭客户端!");
  EXPECT_EQ(calls.back(), "failed");
  EXPECT_FALSE(testing_support::Script().applied);
  EXPECT_EQ(testing_support::Script().destroyed, 1);
  EXPECT_TRUE(ProcessRuns(client.pid()));
}

}  // namespace
}  // namespace qlmr
