#include "update/update_procedure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "tests/support/test_util.h"
#include "tests/update/update_fakes.h"
#include "update/carrier.h"
#include "update/install_folder.h"

namespace qlmr {
namespace {

using testing_support::CreateFakePackage;
using testing_support::PackageScript;
using testing_support::ReadFileOrEmpty;
using testing_support::RecordingFrontEnd;
using testing_support::Script;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

constexpr uint32_t kOffset = 512;
constexpr const char* kPatchName = "ql-CN.0.551.065-CN.0.551.066.patch";

class UpdateProcedureTest : public ::testing::Test {
 protected:
  void SetUp() override { Script() = PackageScript(); }

  // The updater in the folder, carrying "patch data" for CN.0.551.065 to
  // CN.0.551.066.
  static std::string Updater(const TempDir& folder) {
    std::string program = folder.Join("updater");
    WriteFileOrDie(folder.Join("program"), "program");
    WriteFileOrDie(folder.Join("patch"), "patch data");
    if (!WriteCarrier(folder.Join("program").c_str(), "CN.0.551.065", "CN.0.551.066",
                      folder.Join("patch").c_str(), program.c_str(), kOffset)) {
      ADD_FAILURE() << LastErrorMessage();
    }
    return program;
  }
  std::string Updater() { return Updater(install); }

  // Runs one update to its end and returns the front end's calls.
  std::vector<std::string> Run(const std::string& executable) { return Run(executable, &front); }
  std::vector<std::string> Run(const std::string& executable, RecordingFrontEnd* front) {
    UpdateOptions options;
    options.executablePath = executable;
    options.carrierOffset = kOffset;
    options.tempFolder = temp.path();
    options.createPackage = &CreateFakePackage;
    UpdateController controller(front, options);
    front->controller = &controller;
    EXPECT_TRUE(controller.StartUpdateThread());
    controller.JoinUpdateThread();
    state = controller.state();
    return front->Calls();
  }

  // The patch file extracted into the temporary folder by the last Run.
  std::string TempPatch() const { return state.patch.patchPath; }

  TempDir install;
  TempDir temp;
  RecordingFrontEnd front;
  UpdateState state;
};

TEST_F(UpdateProcedureTest, SuccessReportsEachStepAndFilesThePatchAway) {
  WriteFileOrDie(install.Join(".ver"), "CN.0.551.065\r\n");
  ASSERT_TRUE(MakeFolder(install.Join("download").c_str()));
  Script().entryCount = 3;
  Script().callbackKinds = {1, 0, 0};
  std::vector<std::string> expected = {
      "status 准备开始升级",  "title 《Quelmar》升级补丁[CN.0.551.065-CN.0.551.066]",
      "progress 0",           "enable-start",
      "status 删除文件(1/3)", "progress 0",
      "status 更新文件(2/3)", "progress 33",
      "status 更新文件(3/3)", "progress 67",
      "status 更新结束",      "succeeded",
  };
  EXPECT_EQ(Run(Updater()), expected);
  EXPECT_EQ(Script().openedPath, TempPatch());
  EXPECT_EQ(Script().openedExtension, "pak");
  EXPECT_EQ(Script().appliedFolder, install.path());
  EXPECT_EQ(Script().appliedExtension, "pak");
  EXPECT_EQ(Script().appliedVersionFile, ".ver");
  EXPECT_EQ(Script().destroyed, 1);
  EXPECT_EQ(state.entryCount, 3);
  EXPECT_EQ(ReadFileOrEmpty(install.Join(std::string("download\\") + kPatchName)), "patch data");
  // Its run folder went with it.
  EXPECT_EQ(PathFileName(TempPatch()), kPatchName);
  EXPECT_FALSE(PathExists(PathFolder(TempPatch()).c_str()));
}

TEST_F(UpdateProcedureTest, WithoutDownloadFolderThePatchStaysInTheTemporaryFolder) {
  WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
  std::vector<std::string> calls = Run(Updater());
  EXPECT_EQ(calls.back(), "succeeded");
  EXPECT_EQ(PathFolder(PathFolder(TempPatch())), temp.path());
  EXPECT_EQ(ReadFileOrEmpty(TempPatch()), "patch data");
  EXPECT_FALSE(PathExists(install.Join("download").c_str()));
}

TEST_F(UpdateProcedureTest, ReplacesAnOldPatchFileInDownload) {
  WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
  WriteFileOrDie(install.Join(std::string("download\\") + kPatchName), "an older copy, longer");
  EXPECT_EQ(Run(Updater()).back(), "succeeded");
  EXPECT_EQ(ReadFileOrEmpty(install.Join(std::string("download\\") + kPatchName)), "patch data");
}

TEST_F(UpdateProcedureTest, ProgressShowsTheShareFinishedBeforeEachEntry) {
  struct Case {
    int32_t count;
    std::vector<int32_t> kinds;
    std::vector<std::string> shown;  // status and bar of each progress call
  } cases[] = {
      {1, {0}, {"status 更新文件(1/1)", "progress 0"}},
      {2, {0, 1}, {"status 更新文件(1/2)", "progress 0", "status 删除文件(2/2)", "progress 50"}},
      // 12.5, 37.5, 62.5 and 87.5 round up.
      {8,
       {0, 0, 0, 0, 0, 0, 0, 0},
       {"status 更新文件(1/8)", "progress 0", "status 更新文件(2/8)", "progress 13",
        "status 更新文件(3/8)", "progress 25", "status 更新文件(4/8)", "progress 38",
        "status 更新文件(5/8)", "progress 50", "status 更新文件(6/8)", "progress 63",
        "status 更新文件(7/8)", "progress 75", "status 更新文件(8/8)", "progress 88"}},
      // A kind other than write or delete shows an empty status.
      {2, {7, 0}, {"status ", "progress 0", "status 更新文件(2/2)", "progress 50"}},
      // More calls than entries never push the bar past its end.
      {1,
       {0, 0, 0},
       {"status 更新文件(1/1)", "progress 0", "status 更新文件(2/1)", "progress 100",
        "status 更新文件(3/1)", "progress 100"}},
  };
  for (const Case& c : cases) {
    WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
    Script() = PackageScript();
    Script().entryCount = c.count;
    Script().callbackKinds = c.kinds;
    RecordingFrontEnd front;
    std::vector<std::string> calls = Run(Updater(), &front);
    // Between "enable-start" and the final "status 更新结束".
    ASSERT_GE(calls.size(), 6u);
    std::vector<std::string> shown(calls.begin() + 4, calls.end() - 2);
    EXPECT_EQ(shown, c.shown) << c.count;
  }
}

TEST_F(UpdateProcedureTest, EachFailureShowsItsText) {
  struct Case {
    const char* name;
    bool carrier;
    const char* ownVersion;  // null: no ".ver"
    bool browseAnswers;      // the browser picks the own folder again
    bool opens;
    bool applies;
    const char* status;
    bool createsPackage;
    bool reachesReady;
  } cases[] = {
      {"nothing carried", false, "CN.0.551.065", false, true, true, "读取升级资源失败，请重新下载!",
       false, false},
      {"no installation, cancelled", true, nullptr, false, true, true,
       "无法找到《Quelmar》安装目录!", false, false},
      {"no installation chosen", true, nullptr, true, true, true, "无法找到《Quelmar》安装目录!",
       false, false},
      {"other language", true, "TW.0.551.065", true, true, true, "错误的语言版本", false, false},
      // Only a language code: its line end makes it another language.
      {"language line", true, "CN\n", true, true, true, "错误的语言版本", false, false},
      {"too old", true, "CN.0.551.064", true, true, true,
       "该补丁支持CN.0.551.065及其以上的版本,本地版本为CN.0.551.064", false, false},
      // The line end of ".ver" is part of the local version text.
      {"too old, line end", true, "CN.0.550.999\n", true, true, true,
       "该补丁支持CN.0.551.065及其以上的版本,本地版本为CN.0.550.999\n", false, false},
      {"already there", true, "CN.0.551.066", true, true, true,
       "该补丁支持CN.0.551.066以下的版本,本地版本为CN.0.551.066", false, false},
      {"package does not open", true, "CN.0.551.065", false, false, true, "升级包资源错误", true,
       false},
      {"apply fails", true, "CN.0.551.065", false, true, false,
       "更新错误(code=5,File=data\\a.pak, WinErr: 13)", true, true},
  };
  for (const Case& c : cases) {
    TempDir folder;
    Script() = PackageScript();
    Script().openSucceeds = c.opens;
    Script().applySucceeds = c.applies;
    Script().errorCode = ERR_WRITE;
    Script().errorMessage = "File=data\\a.pak, WinErr: 13";
    RecordingFrontEnd front;
    front.browseAnswers = c.browseAnswers;
    front.browseFolder = folder.path();
    if (c.ownVersion != nullptr) WriteFileOrDie(folder.Join(".ver"), c.ownVersion);
    std::string executable = folder.Join("updater");
    if (c.carrier) {
      executable = Updater(folder);
    } else {
      WriteFileOrDie(executable, std::string(kOffset, 'p'));
    }
    std::vector<std::string> calls = Run(executable, &front);
    ASSERT_GE(calls.size(), 2u) << c.name;
    EXPECT_EQ(calls[calls.size() - 2], std::string("status ") + c.status) << c.name;
    EXPECT_EQ(calls.back(), "failed") << c.name;
    EXPECT_EQ(front.Called("enable-start"), c.reachesReady) << c.name;
    EXPECT_EQ(Script().applied, c.reachesReady) << c.name;
    EXPECT_EQ(Script().destroyed, c.createsPackage ? 1 : 0) << c.name;
  }
}

// A second update finds the installation taken by the first: it says so and
// changes nothing. (Each run extracts its patch into a folder of its own, so
// two runs never share that file.)
TEST_F(UpdateProcedureTest, AnotherUpdateOfTheInstallationIsRefused) {
  const std::string kAnotherUpdate = "status 另一个《Quelmar》升级程序正在运行,请等它结束后再试!";
  WriteFileOrDie(install.Join(".ver"), "CN.0.551.065");
  std::string updater = Updater();
  {
    SCOPED_TRACE("the installation");
    NamedLock first;
    ASSERT_EQ(LockInstallation(install.path(), &first), NamedLock::Outcome::kTaken);
    RecordingFrontEnd front;
    std::vector<std::string> calls = Run(updater, &front);
    EXPECT_EQ(calls, (std::vector<std::string>{kAnotherUpdate, "failed"}));
    EXPECT_EQ(Script().destroyed, 0);
    EXPECT_FALSE(Script().applied);
  }
  // Once the first has gone, the update runs.
  EXPECT_EQ(Run(updater).back(), "succeeded");
  EXPECT_TRUE(Script().applied);
}

}  // namespace
}  // namespace qlmr
