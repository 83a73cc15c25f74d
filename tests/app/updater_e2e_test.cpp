// The wrapped updater in a temporary installation, driven through its
// standard input and followed through the lines it writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/package_builder.h"
#include "res/strings.h"
#include "tests/support/test_util.h"
#include "tests/update/child_process.h"
#include "update/carrier.h"

namespace qlmr {
namespace {

using testing_support::ChildProcess;
using testing_support::LinkKind;
using testing_support::MakeLink;
using testing_support::ProcessRuns;
using testing_support::ReadFileOrEmpty;
using testing_support::SnapshotTree;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

constexpr const char* kFrom = "CN.0.551.065";
constexpr const char* kTo = "CN.0.551.066";
constexpr const char* kPatchName = "ql-CN.0.551.065-CN.0.551.066.patch";
// The start button as a terminal draws it once it is enabled (bold).
constexpr const char* kStartEnabled = "\x1b[1m[Enter] 开始升级";
// 中文\名字.txt in code page 936.
const std::string kChineseName = "\xD6\xD0\xCE\xC4\\\xC3\xFB\xD7\xD6.txt";

struct StoredFile {
  std::string name;
  uint8_t type;
  std::string content;
};

// Stores the files and a matching list file in a new archive at `path`.
void MakeArchive(const std::string& path, const std::vector<StoredFile>& files) {
  ASSERT_TRUE(CreateFolderChain(PathFolder(path).c_str()));
  std::unique_ptr<PackArchive> archive = NewPackArchive();
  ASSERT_TRUE(archive->Create(path.c_str())) << LastErrorMessage();
  std::string list = "files\n" + std::to_string(files.size()) + "\n";
  for (const StoredFile& file : files) {
    std::string stored = file.content;
    if (file.type != COMPRESS_NONE) {
      const Codec* codec = GetCodecRegistry().Find(file.type);
      ASSERT_NE(codec, nullptr);
      uint32_t length = static_cast<uint32_t>(stored.size());
      stored.resize(std::max<size_t>(codec->MaxEncodedSize(length), stored.size()));
      ASSERT_TRUE(codec->Encode(reinterpret_cast<uint8_t*>(&stored[0]),
                                static_cast<uint32_t>(stored.size()), &length));
      stored.resize(length);
    }
    ASSERT_TRUE(archive->AddFile(stored.data(), static_cast<uint32_t>(stored.size()),
                                 file.name.c_str(), true, false, file.type,
                                 static_cast<uint32_t>(file.content.size())))
        << LastErrorMessage();
    uint32_t crc = 0;
    BufferCrc(file.content.data(), static_cast<uint32_t>(file.content.size()), &crc);
    char line[64];
    snprintf(line, sizeof line, "|%08X|%08X\n", static_cast<unsigned>(file.content.size()), crc);
    list += file.name + line;
  }
  ASSERT_TRUE(archive->AddFile(list.data(), static_cast<uint32_t>(list.size()), "(list)", true,
                               false, COMPRESS_NONE, 0));
  archive->Close();
}

// The content of the list file MakeArchive writes, for a patch to carry.
std::string ListFile(const std::vector<StoredFile>& files) {
  std::string list = "files\n" + std::to_string(files.size()) + "\n";
  for (const StoredFile& file : files) {
    uint32_t crc = 0;
    BufferCrc(file.content.data(), static_cast<uint32_t>(file.content.size()), &crc);
    char line[64];
    snprintf(line, sizeof line, "|%08X|%08X\n", static_cast<unsigned>(file.content.size()), crc);
    list += file.name + line;
  }
  return list;
}

// Opens the archive read-only, verifies it against its list file and reads
// one stored file; empty when absent.
std::string StoredContent(const std::string& archivePath, const std::string& name, bool* verified) {
  std::unique_ptr<PackArchive> archive = NewPackArchive();
  if (!archive->Open(archivePath.c_str(), true)) return "(cannot open)";
  *verified = archive->Verify(nullptr, nullptr, nullptr, nullptr);
  if (!archive->HasFile(name.c_str())) return std::string();
  std::string content(archive->GetFileSize(name.c_str(), false), '\0');
  archive->ReadFileData(name.c_str(), true, &content[0], static_cast<uint32_t>(content.size()));
  return content;
}

int64_t ModifiedNanoseconds(const std::string& path) {
  struct stat st;
  if (stat(RuntimeFileName(path.c_str()).c_str(), &st) != 0) return -1;
  return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

class UpdaterTest : public ::testing::Test {
 protected:
  const std::vector<StoredFile> kPackA = {
      {"x.txt", COMPRESS_NONE, "old x"},
      {"y.bin", COMPRESS_LZO, testing_support::RandomBytes(1, 3000)},
      {kChineseName, COMPRESS_LZMA, std::string(2000, 'z') + "end"},
      {"m.dat", COMPRESS_MASK, "masked content"},
  };
  const std::vector<StoredFile> kPackAAfter = {
      {"x.txt", COMPRESS_MASK, "new x, longer than before"},
      {kChineseName, COMPRESS_LZMA, std::string(2000, 'z') + "end"},
      {"m.dat", COMPRESS_MASK, "masked content"},
      {"z.bin", COMPRESS_LZO, testing_support::RandomBytes(2, 5000)},
  };
  const std::vector<StoredFile> kPackBAfter = {
      {"whole.txt", COMPRESS_LZMA, std::string(500, 'w')},
  };

  void SetUp() override {
    install = JoinPath(root.path(), "game");
    temp = JoinPath(root.path(), "tmp");
    ASSERT_TRUE(CreateFolderChain(temp.c_str()));
  }

  // The sample installation at kFrom.
  void MakeInstallation(const std::string& version = std::string(kFrom) + "\r\n") {
    WriteFileOrDie(JoinPath(install, ".ver"), version);
    WriteFileOrDie(JoinPath(install, "readme.txt"), "readme 65");
    WriteFileOrDie(JoinPath(install, "bin\\old.dll"), "old dll");
    MakeArchive(JoinPath(install, "data\\a.pak"), kPackA);
    MakeArchive(JoinPath(install, "data\\b.pak"), {{"keep.txt", COMPRESS_NONE, "b"}});
  }

  // The patch from kFrom to kTo: 9 entries of every sort.
  std::string MakePatch(PatchKind kind = PATCH_KIND_MASKED_ZIP) {
    std::string data = JoinPath(root.path(), "new");
    for (const StoredFile& file : kPackAAfter) {
      WriteFileOrDie(JoinPath(data, "data\\a.pak\\" + file.name), file.content);
    }
    WriteFileOrDie(JoinPath(data, "data\\a.pak\\(list)"), ListFile(kPackAAfter));
    MakeArchive(JoinPath(data, "data\\b.pak"), kPackBAfter);
    WriteFileOrDie(JoinPath(data, "bin\\new.dll"), "new dll");
    WriteFileOrDie(JoinPath(data, "readme.txt"), "readme 66");
    WriteFileOrDie(JoinPath(data, ".ver"), std::string(kTo) + "\r\n");
    std::vector<PackageLine> lines = {
        {ENTRY_OP_DELETE, "data\\a.pak", "y.bin", 0},
        {ENTRY_OP_WRITE, "data\\a.pak", "x.txt", COMPRESS_MASK},
        {ENTRY_OP_WRITE, "data\\a.pak", "z.bin", COMPRESS_LZO},
        {ENTRY_OP_WRITE, "data\\a.pak", "(list)", COMPRESS_NONE},
        {ENTRY_OP_WRITE, "", "data\\b.pak", 0},
        {ENTRY_OP_WRITE, "", "bin\\new.dll", 0},
        {ENTRY_OP_DELETE, "", "bin\\old.dll", 0},
        {ENTRY_OP_WRITE, "", "readme.txt", 0},
        {ENTRY_OP_WRITE, "", ".ver", 0},
    };
    std::string patch = JoinPath(root.path(), "patch");
    EXPECT_TRUE(BuildPatchPackage(lines, data.c_str(), patch.c_str(), kind)) << LastErrorMessage();
    return patch;
  }

  // A patch that writes `count` more stored files into data\a.pak (with its
  // list file) and the version file: count + 2 entries, each a write that
  // is flushed on its own, so that the apply takes a while.
  std::string MakeLongPatch(int count) {
    std::string data = JoinPath(root.path(), "long");
    std::vector<PackageLine> lines;
    longPackA = kPackA;
    for (int i = 0; i < count; ++i) {
      StoredFile file{"n" + std::to_string(i) + ".txt", COMPRESS_NONE,
                      testing_support::RandomBytes(100 + i, 700)};
      WriteFileOrDie(JoinPath(data, "data\\a.pak\\" + file.name), file.content);
      lines.push_back({ENTRY_OP_WRITE, "data\\a.pak", file.name, COMPRESS_NONE});
      longPackA.push_back(file);
    }
    WriteFileOrDie(JoinPath(data, "data\\a.pak\\(list)"), ListFile(longPackA));
    lines.push_back({ENTRY_OP_WRITE, "data\\a.pak", "(list)", COMPRESS_NONE});
    WriteFileOrDie(JoinPath(data, ".ver"), std::string(kTo) + "\r\n");
    lines.push_back({ENTRY_OP_WRITE, "", ".ver", 0});
    std::string patch = JoinPath(root.path(), "long.patch");
    EXPECT_TRUE(BuildPatchPackage(lines, data.c_str(), patch.c_str(), PATCH_KIND_MASKED_ZIP))
        << LastErrorMessage();
    return patch;
  }

  // The installation as a whole update of `stored` into data\a.pak leaves
  // it: the new version, and an archive that holds each file and verifies.
  void ExpectWhole(const std::vector<StoredFile>& stored) {
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
    for (const StoredFile& file : stored) {
      bool verified = false;
      EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), file.name, &verified), file.content)
          << file.name;
      EXPECT_TRUE(verified) << LastErrorMessage();
    }
  }

  // Runs the installation's game client (a stand-in) until `game` goes.
  void RunClient(ChildProcess* game) {
    std::string client = JoinPath(install, "qlmr.exe");
    ASSERT_TRUE(CopyFileReplace(QLMR_FAKE_CLIENT, client.c_str()));
    ASSERT_TRUE(MarkExecutable(client.c_str()));
    std::string marker = JoinPath(root.path(), "client-started");
    ChildProcess::Options options;
    options.program = MapPath(client);
    options.argv = {MapPath(client), MapPath(marker)};
    ASSERT_TRUE(game->Start(options));
    for (int i = 0; i < 1000 && !PathExists(marker.c_str()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Gives the test a fresh installation folder and temporary folder below
  // `caseRoot`.
  void UseFolders(const TempDir& caseRoot) {
    install = JoinPath(caseRoot.path(), "game");
    temp = JoinPath(caseRoot.path(), "tmp");
    ASSERT_TRUE(CreateFolderChain(temp.c_str()));
  }

  // The updater carrying `patch`, placed in `folder`.
  std::string Wrap(const std::string& patch, const std::string& folder, const char* to = kTo) {
    std::string updater = JoinPath(folder, "qlmr-update");
    EXPECT_TRUE(CreateFolderChain(folder.c_str()));
    // The built program names its own offset, as the release tool reads it.
    uint64_t named = 0;
    EXPECT_TRUE(ReadCarrierOffset(QLMR_UPDATER, &named)) << LastErrorMessage();
    EXPECT_EQ(named, kCarrierOffset);
    EXPECT_TRUE(
        WriteCarrier(QLMR_UPDATER, kFrom, to, patch.c_str(), updater.c_str(), kCarrierOffset))
        << LastErrorMessage();
    return updater;
  }

  void Start(const std::string& updater) { Start(updater, &program); }
  void Start(const std::string& updater, ChildProcess* child, bool terminal = false) {
    StartIn(updater, child, terminal, root.path());
  }
  // Starts `updater` in `child`, its standard streams through pipes, with
  // the test's temporary folder and `workingFolder` (empty: ours).
  void StartPiped(ChildProcess* child, const std::string& updater,
                  const std::string& workingFolder = "") {
    StartIn(updater, child, false, workingFolder);
  }
  void StartIn(const std::string& updater, ChildProcess* child, bool terminal,
               const std::string& workingFolder) {
    ChildProcess::Options options;
    options.program = MapPath(updater);
    options.pipes = !terminal;
    options.terminal = terminal;
    options.extraEnv = {"TMPDIR=" + MapPath(temp)};
    options.workingFolder = workingFolder;
    ASSERT_TRUE(child->Start(options));
  }

  // Waits for a line of the program's output that holds `text`.
  void Expect(const std::string& text) {
    ASSERT_TRUE(program.WaitForLine(text)) << "missing: " << text << "\n" << program.output();
  }

  void Press(const std::string& line) { ASSERT_TRUE(program.Write(line + "\n")); }

  // Leaves with the exit key; the program ends with 0.
  void Leave() {
    Press("q");
    int status = -1;
    ASSERT_TRUE(program.Wait(&status)) << program.output();
    EXPECT_EQ(status, 0);
  }

  // Starts the update once it is ready, closes the success message box and
  // leaves.
  void RunToSuccess() {
    Expect("[buttons] start(Enter)=on");
    Press("");
    Expect("[message]");
    Press("");
    Leave();
  }

  // The lines of the output that start with `prefix`, without it.
  std::vector<std::string> Lines(const std::string& prefix) {
    std::vector<std::string> found;
    const std::string& out = program.output();
    for (size_t pos = 0; pos < out.size();) {
      size_t end = out.find('\n', pos);
      if (end == std::string::npos) end = out.size();
      if (out.compare(pos, prefix.size(), prefix) == 0) {
        found.push_back(out.substr(pos + prefix.size(), end - pos - prefix.size()));
      }
      pos = end + 1;
    }
    return found;
  }

  // The patch files in the updater's run folders in the temporary folder.
  std::vector<std::string> TempPatchFiles() const {
    std::vector<std::string> found;
    std::vector<FolderEntry> entries;
    ListFolder(temp.c_str(), &entries);
    for (const FolderEntry& folder : entries) {
      std::vector<FolderEntry> inside;
      if (folder.name.rfind("~qlmrPatch", 0) != 0) continue;
      ListFolder(JoinPath(temp, folder.name).c_str(), &inside);
      for (const FolderEntry& file : inside) {
        if (PathExtension(file.name) == "patch") found.push_back(file.name);
      }
    }
    return found;
  }

  // A disk path for the test's own system calls.
  static std::string MapPath(const std::string& path) { return RuntimeFileName(path.c_str()); }

  TempDir root;
  std::string install;
  std::string temp;
  ChildProcess program;
  std::vector<StoredFile> longPackA;  // data\a.pak after MakeLongPatch's patch
};

TEST_F(UpdaterTest, AppliesTheCarriedPatchAndStartsThePatcherAtExit) {
  MakeInstallation();
  ASSERT_TRUE(MakeFolder(JoinPath(install, "download").c_str()));
  WriteFileOrDie(JoinPath(install, "qlmrpatch.exe"),
                 "#!/bin/sh\npwd > patcher-ran.part && mv patcher-ran.part patcher-ran\n");
  ASSERT_TRUE(MarkExecutable(JoinPath(install, "qlmrpatch.exe").c_str()));
  Start(Wrap(MakePatch(), install));

  Expect("[status] 准备开始升级");
  Expect("[title] 《Quelmar》升级补丁[CN.0.551.065-CN.0.551.066]");
  Expect("[buttons] start(Enter)=on exit(q)=on");
  // Keys while the update runs change nothing.
  Press("");
  Press("q");
  Press("\x1b");
  // The exit button turns into OK and the bar fills before the box shows.
  Expect("[buttons] start(Enter)=off exit(q)=on 确定");
  Expect("[progress] 100");
  Expect("[message] 《Quelmar》: 《Quelmar》成功更新到CN.0.551.066! (Enter)");
  EXPECT_FALSE(PathExists(JoinPath(install, "patcher-ran").c_str()));
  Press("");
  Expect("[message] closed");
  Leave();

  std::vector<std::string> statuses = Lines("[status] ");
  std::vector<std::string> expected_statuses = {"读取版本信息...", "准备开始升级",  "更新文件(1/9)",
                                                "删除文件(2/9)",   "更新文件(3/9)", "更新文件(4/9)",
                                                "更新文件(5/9)",   "更新文件(6/9)", "删除文件(7/9)",
                                                "更新文件(8/9)",   "更新文件(9/9)", "更新结束"};
  EXPECT_EQ(statuses, expected_statuses);
  std::vector<std::string> bar = {"0", "11", "22", "33", "44", "56", "67", "78", "89", "100"};
  EXPECT_EQ(Lines("[progress] "), bar);
  EXPECT_TRUE(Lines("[failed] ").empty());

  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "readme.txt")), "readme 66");
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "bin\\new.dll")), "new dll");
  EXPECT_FALSE(PathExists(JoinPath(install, "bin\\old.dll").c_str()));
  for (const StoredFile& file : kPackAAfter) {
    bool verified = false;
    EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), file.name, &verified), file.content)
        << file.name;
    EXPECT_TRUE(verified) << LastErrorMessage();
  }
  bool verified = false;
  EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), "y.bin", &verified), "");
  EXPECT_EQ(StoredContent(JoinPath(install, "data\\b.pak"), "whole.txt", &verified),
            kPackBAfter[0].content);
  EXPECT_TRUE(verified);
  EXPECT_EQ(StoredContent(JoinPath(install, "data\\b.pak"), "keep.txt", &verified), "");

  // The version file is written after everything else.
  int64_t version_time = ModifiedNanoseconds(JoinPath(install, ".ver"));
  for (const char* name : {"readme.txt", "bin\\new.dll", "data\\a.pak", "data\\b.pak"}) {
    EXPECT_LE(ModifiedNanoseconds(JoinPath(install, name)), version_time) << name;
  }
  // The patch file went into download.
  EXPECT_TRUE(PathExists(JoinPath(install, std::string("download\\") + kPatchName).c_str()));
  // Its run folder went with it: the temporary folder is as it was.
  std::vector<FolderEntry> left;
  ASSERT_TRUE(ListFolder(temp.c_str(), &left));
  EXPECT_TRUE(left.empty()) << left.front().name;
  // The patcher ran, in the installation folder. It renames its record into
  // place, so the file appears whole or not at all.
  for (int i = 0; i < 500 && !PathExists(JoinPath(install, "patcher-ran").c_str()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "patcher-ran")), MapPath(install) + "\n");
}

TEST_F(UpdaterTest, WithoutDownloadFolderThePatchStaysInTheTemporaryFolder) {
  MakeInstallation();
  Start(Wrap(MakePatch(), install));
  RunToSuccess();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
  EXPECT_EQ(TempPatchFiles(), std::vector<std::string>{kPatchName});
  EXPECT_FALSE(PathExists(JoinPath(install, "download").c_str()));
}

// A packed patch carries plain data that the updater encodes itself.
TEST_F(UpdaterTest, APackedPatchGivesTheSameInstallation) {
  MakeInstallation();
  Start(Wrap(MakePatch(PATCH_KIND_PACKED), install));
  RunToSuccess();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
  for (const StoredFile& file : kPackAAfter) {
    bool verified = false;
    EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), file.name, &verified), file.content)
        << file.name;
    EXPECT_TRUE(verified) << LastErrorMessage();
  }
}

TEST_F(UpdaterTest, AnotherFolderIsAskedForWhenThePatchDoesNotFitTheOwnOne) {
  MakeInstallation();
  std::string elsewhere = JoinPath(root.path(), "downloads");
  WriteFileOrDie(JoinPath(elsewhere, ".ver"), "CN.0.551.066\n");  // updated already
  Start(Wrap(MakePatch(), elsewhere));
  Expect("[prompt] 请选择《Quelmar》所在的路径");
  Press(MapPath(install));
  RunToSuccess();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(elsewhere, ".ver")), "CN.0.551.066\n");
}

TEST_F(UpdaterTest, EachFailureShowsItsTextAndLeavesOnlyTheExitKey) {
  struct Case {
    const char* name;
    const char* version;  // of the installation the updater sits in
    const char* answer;   // to the folder prompt; null: no prompt expected
    bool carrier;         // false: the plain program, nothing appended
    bool garbagePatch;    // the carried data is no patch
    const char* status;
  } cases[] = {
      {"nothing appended", kFrom, nullptr, false, false, "读取升级资源失败，请重新下载!"},
      {"prompt cancelled", "CN.0.551.064", "", true, false, "无法找到《Quelmar》安装目录!"},
      {"chosen folder without version", "TW.0.551.065", "/", true, false,
       "无法找到《Quelmar》安装目录!"},
      {"other language", "TW.0.551.065", "=install", true, false, "错误的语言版本"},
      {"too old", "CN.0.551.064", "=install", true, false,
       "该补丁支持CN.0.551.065及其以上的版本,本地版本为CN.0.551.064"},
      {"too new", "CN.0.551.066", "=install", true, false,
       "该补丁支持CN.0.551.066以下的版本,本地版本为CN.0.551.066"},
      {"not a patch", kFrom, nullptr, true, true, "升级包资源错误"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir case_root;
    install = JoinPath(case_root.path(), "game");
    temp = JoinPath(case_root.path(), "tmp");
    ASSERT_TRUE(CreateFolderChain(temp.c_str()));
    WriteFileOrDie(JoinPath(install, ".ver"), c.version);
    std::string updater = JoinPath(install, "qlmr-update");
    if (!c.carrier) {
      ASSERT_TRUE(CopyFileReplace(QLMR_UPDATER, updater.c_str()));
      ASSERT_TRUE(MarkExecutable(updater.c_str()));
    } else {
      std::string patch = JoinPath(case_root.path(), "patch");
      WriteFileOrDie(patch, c.garbagePatch ? "this is no patch" : "");
      updater = Wrap(patch, install);
    }
    ChildProcess run;
    StartPiped(&run, updater);
    if (c.answer != nullptr) {
      ASSERT_TRUE(run.WaitForLine("[prompt] ")) << run.output();
      std::string answer = c.answer;
      if (answer == "=install") answer = MapPath(install);
      ASSERT_TRUE(run.Write(answer + "\n"));
    }
    ASSERT_TRUE(run.WaitForLine(std::string("[status] ") + c.status)) << run.output();
    ASSERT_TRUE(run.WaitForLine("[buttons] start(Enter)=off exit(q)=on 取消")) << run.output();
    ASSERT_TRUE(run.WaitForLine("[failed] status line red: " + std::string(c.status)))
        << run.output();
    ASSERT_TRUE(run.Write("\n"));  // the start key does nothing now
    ASSERT_TRUE(run.Write("q\n"));
    int status = -1;
    ASSERT_TRUE(run.Wait(&status)) << run.output();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run.output().find("start(Enter)=on"), std::string::npos) << run.output();
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), c.version);
  }
}

TEST_F(UpdaterTest, ATargetThatCannotBeWrittenStopsWithTheErrorAndKeepsTheVersion) {
  MakeInstallation();
  std::string readme = JoinPath(install, "readme.txt");
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(MapPath(readme).c_str(), 0444), 0);
  } else {
    // Permissions do not stop the superuser: a folder in the way does.
    ASSERT_TRUE(RemoveFileAt(readme.c_str()));
    ASSERT_TRUE(MakeFolder(readme.c_str()));
  }
  Start(Wrap(MakePatch(), install));
  Expect("[buttons] start(Enter)=on");
  Press("");
  Expect("[status] 更新错误(code=3,File=");
  Expect("[failed]");
  Leave();
  std::string error = Lines("[status] 更新错误").at(0);
  EXPECT_NE(error.find("readme.txt, WinErr="), std::string::npos) << error;
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kFrom) + "\r\n");
  // What came before the failing entry stays applied.
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "bin\\new.dll")), "new dll");
  EXPECT_TRUE(Lines("[message] ").empty());
}

// Whoever can write into the installation or the shared temporary folder
// must not turn the updater's writes to another file by planting a link at a
// name it writes: the patch file it extracts (the fixed name earlier versions
// used included), the copy it files into download, the temporary copies of
// the apply.
TEST_F(UpdaterTest, NoPlantedLinkChangesAByteOutsideTheInstallation) {
  struct Case {
    const char* where;  // "temp\\..." or "install\\...": the planted name
    LinkKind kind;
    bool folder;    // a link to the outside folder instead of the victim file
    bool download;  // the installation has a download folder
  } cases[] = {
      // Without download the patch file stays where it was written.
      {"temp\\~qlmrPatch", LinkKind::kSymbolic, true, false},
      {"temp\\~qlmrPatch\\ql-CN.0.551.065-CN.0.551.066.patch", LinkKind::kSymbolic, false, true},
      {"temp\\~qlmrPatch\\ql-CN.0.551.065-CN.0.551.066.patch", LinkKind::kHard, false, true},
      {"install\\download\\ql-CN.0.551.065-CN.0.551.066.patch", LinkKind::kSymbolic, false, true},
      {"install\\download\\ql-CN.0.551.065-CN.0.551.066.patch", LinkKind::kHard, false, true},
      {"install\\.ver.~new", LinkKind::kSymbolic, false, true},
      {"install\\.ver.~new", LinkKind::kHard, false, true},
      {"install\\readme.txt.~new", LinkKind::kSymbolic, false, true},
      {"install\\readme.txt.~new", LinkKind::kHard, false, true},
  };
  int untouched = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind == LinkKind::kHard ? "hard" : "symbolic") + " link at " +
                 c.where);
    TempDir case_root;
    install = JoinPath(case_root.path(), "install");
    temp = JoinPath(case_root.path(), "temp");
    std::string outside = JoinPath(case_root.path(), "outside");
    WriteFileOrDie(JoinPath(outside, "victim.txt"), "precious");
    ASSERT_TRUE(CreateFolderChain(temp.c_str()));
    MakeInstallation();
    if (c.download) {
      ASSERT_TRUE(MakeFolder(JoinPath(install, "download").c_str()));
    }
    std::string planted = JoinPath(case_root.path(), c.where);
    CreateFolderChain(PathFolder(planted).c_str());
    ASSERT_TRUE(MakeLink(planted, c.folder ? outside : JoinPath(outside, "victim.txt"), c.kind));
    std::map<std::string, std::string> before = SnapshotTree(outside);

    ChildProcess run;
    ChildProcess::Options options;
    options.program = MapPath(Wrap(MakePatch(), install));
    options.pipes = true;
    options.extraEnv = {"TMPDIR=" + MapPath(temp)};
    ASSERT_TRUE(run.Start(options));
    ASSERT_TRUE(run.WaitForLine("[buttons] start(Enter)=on")) << run.output();
    ASSERT_TRUE(run.Write("\n"));
    ASSERT_TRUE(run.WaitForLine("[message]")) << run.output();
    ASSERT_TRUE(run.Write("\nq\n"));
    int status = -1;
    ASSERT_TRUE(run.Wait(&status)) << run.output();
    EXPECT_EQ(status, 0);

    std::map<std::string, std::string> after = SnapshotTree(outside);
    EXPECT_EQ(after, before);
    if (after == before) ++untouched;
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "readme.txt")), "readme 66");
    EXPECT_EQ(PathExists(JoinPath(install, std::string("download\\") + kPatchName).c_str()),
              c.download);
  }
  printf("planted links: %d, %d left every byte outside as it was\n",
         static_cast<int>(sizeof cases / sizeof cases[0]), untouched);
  EXPECT_EQ(untouched, static_cast<int>(sizeof cases / sizeof cases[0]));
}

TEST_F(UpdaterTest, ARunningClientHoldsTheUpdateUntilARetryFindsItGone) {
  MakeInstallation();
  ChildProcess game;
  RunClient(&game);

  Start(Wrap(MakePatch(), install));
  Expect("[buttons] start(Enter)=on");
  Press("");
  Expect("[conflict] 升级冲突: 游戏客户端正在运行中，必须关闭客户端才能进行资源更新！");
  // The main screen's keys do nothing while the conflict screen is up.
  Press("q");
  // A retry while the client runs: both actions off for a second, then on.
  auto before = std::chrono::steady_clock::now();
  Press("r");
  Expect("[conflict] retry(r)=off force-close(f)=off");
  Expect("[conflict] retry(r)=on force-close(f)=on");
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
  EXPECT_TRUE(ProcessRuns(game.pid()));
  // The force-close link ends the client; the screen stays until a retry.
  Press("f");
  int game_status = 0;
  ASSERT_TRUE(game.Wait(&game_status));
  EXPECT_EQ(game_status, -SIGKILL);
  EXPECT_TRUE(Lines("[conflict] closed").empty());
  Press("r");
  Expect("[conflict] closed");
  Expect("[message]");
  Press("");
  Leave();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
}

// The release workflow end to end: qlmr-patchkit release over three old
// installations, then the program it wrote run in each of them, which
// reaches NEW (loose files byte for byte, archives by their stored
// content), and in one below its range, which it refuses untouched.
TEST_F(UpdaterTest, AReleasedProgramTakesEveryVerifiedVersionToNew) {
  struct Version {
    std::string text;
    std::vector<StoredFile> packA;
    std::vector<std::string> loose;  // names; the content is name and version
  };
  const std::vector<StoredFile> packA63 = {{"x.txt", COMPRESS_NONE, "x of 63"},
                                           {"y.bin", COMPRESS_LZO, "y, gone in 65"},
                                           {kChineseName, COMPRESS_LZMA, std::string(900, 'c')}};
  std::vector<StoredFile> packA64 = packA63;
  packA64[0].content = "x of 64";
  std::vector<StoredFile> packA65 = {packA64[0], packA64[2], {"z.bin", COMPRESS_MASK, "z of 65"}};
  const std::vector<StoredFile> packA66 = {{"x.txt", COMPRESS_LZMA, std::string(300, 'x') + "66"},
                                           packA63[2],
                                           {"z.bin", COMPRESS_LZO, "z of 66"}};
  const std::vector<Version> versions = {
      {"CN.0.551.062", packA63, {"readme.txt", "bin\\old.dll"}},
      {"CN.0.551.063", packA63, {"readme.txt", "bin\\old.dll"}},
      {"CN.0.551.064", packA64, {"readme.txt", "bin\\old.dll", "bin\\only64.dll"}},
      {"CN.0.551.065", packA65, {"readme.txt"}},
      {"CN.0.551.066", packA66, {"readme.txt", kChineseName}},
  };
  auto makeTree = [&](const Version& version, const std::string& folder) {
    WriteFileOrDie(JoinPath(folder, ".ver"), version.text + "\r\n");
    for (const std::string& name : version.loose) {
      WriteFileOrDie(JoinPath(folder, name), name + " of " + version.text);
    }
    MakeArchive(JoinPath(folder, "data\\a.pak"), version.packA);
    MakeArchive(JoinPath(folder, "data\\keep.pak"), {{"k", COMPRESS_NONE, "the same in all"}});
  };
  for (const Version& version : versions) makeTree(version, JoinPath(root.path(), version.text));

  std::string released = JoinPath(root.path(), "release\\qlmr-update");
  ASSERT_TRUE(CreateFolderChain(PathFolder(released).c_str()));
  std::string command = std::string(QLMR_PATCHKIT) + " release --updater " + QLMR_UPDATER +
                        " -o '" + MapPath(released) + "' --new '" +
                        MapPath(JoinPath(root.path(), "CN.0.551.066")) + "' --old";
  for (int i = 1; i <= 3; ++i) {
    command += " '" + MapPath(JoinPath(root.path(), versions[i].text)) + "'";
  }
  ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
  // Runs the program placed in the installation `folder`, answering a folder
  // prompt with that folder; `lines` are waited for in turn, an empty one
  // pressing the start key or closing the message box.
  auto run = [&](const std::string& folder, const std::vector<std::string>& lines) {
    std::string updater = JoinPath(folder, "qlmr-update");
    ASSERT_TRUE(CopyFileReplace(released.c_str(), updater.c_str()));
    ASSERT_TRUE(MarkExecutable(updater.c_str()));
    ChildProcess child;
    StartPiped(&child, updater);
    for (const std::string& line : lines) {
      if (line.empty()) {
        ASSERT_TRUE(child.Write("\n"));
      } else if (line == "[prompt] ") {
        ASSERT_TRUE(child.WaitForLine(line)) << child.output();
        ASSERT_TRUE(child.Write(MapPath(folder) + "\n"));
      } else {
        ASSERT_TRUE(child.WaitForLine(line)) << "missing: " << line << "\n" << child.output();
      }
    }
    ASSERT_TRUE(child.Write("q\n"));
    int status = -1;
    ASSERT_TRUE(child.Wait(&status)) << child.output();
    EXPECT_EQ(status, 0);
  };

  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(versions[i].text);
    install = JoinPath(root.path(), "run" + std::to_string(i) + "\\game");
    makeTree(versions[i], install);
    run(install, {"[title] 《Quelmar》升级补丁[CN.0.551.063-CN.0.551.066]",
                  "[buttons] start(Enter)=on", "", "[message] ", ""});
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), "CN.0.551.066\r\n");
    for (const std::string& name : versions[4].loose) {
      EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, name)), name + " of CN.0.551.066");
    }
    for (const char* gone : {"bin\\old.dll", "bin\\only64.dll"}) {
      EXPECT_FALSE(PathExists(JoinPath(install, gone).c_str())) << gone;
    }
    for (const StoredFile& file : packA66) {
      bool verified = false;
      EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), file.name, &verified), file.content)
          << file.name;
      EXPECT_TRUE(verified);
    }
    bool verified = false;
    EXPECT_EQ(StoredContent(JoinPath(install, "data\\a.pak"), "y.bin", &verified), "");
    EXPECT_EQ(StoredContent(JoinPath(install, "data\\keep.pak"), "k", &verified),
              "the same in all");
  }

  // Below the range: the program's own folder does not fit, and the same
  // folder chosen again is refused with its range before anything changes.
  install = JoinPath(root.path(), "run0\\game");
  makeTree(versions[0], install);
  run(install,
      {"[prompt] ", "[status] 该补丁支持CN.0.551.063及其以上的版本,本地版本为CN.0.551.062"});
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), "CN.0.551.062\r\n");
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "bin\\old.dll")), "bin\\old.dll of CN.0.551.062");
}

TEST_F(UpdaterTest, InterruptsAndTheEndOfInputDoNotCutAnUpdateShort) {
  MakeInstallation();
  Start(Wrap(MakePatch(), install));
  Expect("[buttons] start(Enter)=on");
  ASSERT_EQ(kill(program.pid(), SIGINT), 0);  // Ctrl+C on the terminal
  Press("");
  program.CloseInput();
  // Without input it cannot wait for the message box; it leaves once done,
  // without starting anything.
  int status = -1;
  ASSERT_TRUE(program.Wait(&status)) << program.output();
  EXPECT_EQ(status, 0);
  program.ReadToEnd();
  EXPECT_NE(program.output().find("[status] 更新结束"), std::string::npos) << program.output();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
}

TEST_F(UpdaterTest, OnATerminalKeysActAtOnceAndCtrlCIsAKeyLikeAnyOther) {
  MakeInstallation();
  std::string updater = Wrap(MakePatch(), install);
  ChildProcess::Options options;
  options.program = MapPath(updater);
  options.terminal = true;
  options.extraEnv = {"TMPDIR=" + MapPath(temp)};
  ASSERT_TRUE(program.Start(options));
  Expect("准备开始升级");
  ASSERT_TRUE(program.Write("\x03\x1b"));  // Ctrl+C, Escape
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(ProcessRuns(program.pid()));
  ASSERT_TRUE(program.Write("\r"));
  Expect("成功更新到CN.0.551.066!");
  ASSERT_TRUE(program.Write("\r"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(program.Write("q"));
  int status = -1;
  ASSERT_TRUE(program.Wait(&status)) << program.output();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
}

// Once the update runs, no signal ends it but a crash: the interrupt and
// quit keys, a closed terminal (SIGHUP), a reader that went away (SIGPIPE).
// A request to end the process (SIGTERM) waits until the update is whole.
TEST_F(UpdaterTest, ASignalSweepOverTheApplyInterruptsNothing) {
  constexpr int kFiles = 40;
  constexpr int kEntries = kFiles + 2;
  std::string patch = MakeLongPatch(kFiles);
  int deliveries = 0;
  int interrupted = 0;
  for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir case_root;
    UseFolders(case_root);
    MakeInstallation();
    ChildProcess run;
    Start(Wrap(patch, install), &run);
    ASSERT_TRUE(run.WaitForLine("[buttons] start(Enter)=on")) << run.output();
    ASSERT_TRUE(run.Write("\n"));
    for (int point : {1, kEntries / 4, kEntries / 2, 3 * kEntries / 4, kEntries - 1}) {
      std::string status = Cp936ToUtf8(FormatText(IDS_UPDATING_FILE, point, kEntries));
      ASSERT_TRUE(run.WaitForLine("[status] " + status)) << run.output();
      ASSERT_EQ(kill(static_cast<pid_t>(run.pid()), signal_number), 0);
      ++deliveries;
    }
    int status = -1;
    if (signal_number == SIGTERM) {
      // Ended as asked, once the update was whole.
      ASSERT_TRUE(run.Wait(&status)) << run.output();
      EXPECT_EQ(status, -SIGTERM);
      run.ReadToEnd();
      std::string last = Cp936ToUtf8(FormatText(IDS_UPDATING_FILE, kEntries, kEntries));
      EXPECT_NE(run.output().find("[status] " + last), std::string::npos) << run.output();
    } else {
      ASSERT_TRUE(run.WaitForLine("[message]")) << run.output();
      ASSERT_TRUE(run.Write("\nq\n"));
      ASSERT_TRUE(run.Wait(&status)) << run.output();
      EXPECT_EQ(status, 0);
    }
    bool whole = ReadFileOrEmpty(JoinPath(install, ".ver")) == std::string(kTo) + "\r\n";
    interrupted += whole ? 0 : 1;
    ExpectWhole(longPackA);
  }
  std::cout << "signal sweep: " << deliveries << " signals at 5 points of an apply of " << kEntries
            << " entries, " << interrupted << " updates interrupted\n";
}

// The terminal goes away during the update, or the program that reads its
// output does: the update carries on without a screen and ends whole.
TEST_F(UpdaterTest, AClosedTerminalOrAReaderThatWentAwayDoesNotStopTheUpdate) {
  constexpr int kFiles = 40;
  std::string patch = MakeLongPatch(kFiles);
  for (bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "terminal closed" : "reader gone");
    TempDir case_root;
    UseFolders(case_root);
    MakeInstallation();
    ChildProcess run;
    Start(Wrap(patch, install), &run, terminal);
    ASSERT_TRUE(run.WaitForLine(terminal ? kStartEnabled : "[buttons] start(Enter)=on"))
        << run.output();
    ASSERT_TRUE(run.Write(terminal ? "\r" : "\n"));
    ASSERT_TRUE(run.WaitForLine(Cp936ToUtf8(FormatText(IDS_UPDATING_FILE, 3, kFiles + 2))))
        << run.output();
    // Output lost at once, then the input: the program leaves by itself
    // once it waits for the user alone.
    run.CloseOutput();
    run.CloseInput();
    int status = -1;
    ASSERT_TRUE(run.Wait(&status));
    EXPECT_EQ(status, 0);
    ExpectWhole(longPackA);
  }
}

// Two copies of the updater started together on one installation: one
// updates it, the other says that another update runs and changes nothing.
// Both carry the same patch (they share its file in the temporary folder)
// or different ones (they share the installation only).
TEST_F(UpdaterTest, TwoCopiesStartedTogetherGiveOneUpdateAndOneRefusal) {
  constexpr int kRounds = 20;
  MakeInstallation();
  std::string patch = MakePatch();
  std::string template_install = JoinPath(root.path(), "template");
  testing_support::CopyTreeOrDie(install, template_install);
  std::string same = Wrap(patch, JoinPath(root.path(), "same"));
  std::string other = Wrap(patch, JoinPath(root.path(), "other"), "CN.0.551.067");
  const std::string refusal = Cp936ToUtf8(LoadText(IDS_ANOTHER_UPDATE));
  int successes = 0;
  int refusals = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir case_root;
    UseFolders(case_root);
    testing_support::CopyTreeOrDie(template_install, install);
    std::string first = JoinPath(install, "qlmr-update");
    std::string second = JoinPath(install, "qlmr-update-2");
    ASSERT_TRUE(CopyFileReplace(same.c_str(), first.c_str()));
    ASSERT_TRUE(CopyFileReplace((round % 2 == 0 ? same : other).c_str(), second.c_str()));
    ASSERT_TRUE(MarkExecutable(first.c_str()));
    ASSERT_TRUE(MarkExecutable(second.c_str()));
    ChildProcess copies[2];
    Start(first, &copies[0]);
    Start(second, &copies[1]);
    int ready = -1;
    for (int i = 0; i < 2; ++i) {
      // Each ends up ready, or refused.
      for (;;) {
        ASSERT_TRUE(copies[i].WaitForLine("[status] ")) << copies[i].output();
        const std::string& line = copies[i].foundLine();
        if (line.find("准备开始升级") != std::string::npos) {
          ASSERT_EQ(ready, -1) << "both copies are ready";
          ready = i;
          break;
        }
        if (line.find(refusal) != std::string::npos) {
          ASSERT_TRUE(copies[i].WaitForLine("[failed] status line red: " + refusal));
          ++refusals;
          break;
        }
      }
    }
    ASSERT_NE(ready, -1) << "neither copy is ready";
    ChildProcess& winner = copies[ready];
    ASSERT_TRUE(winner.WaitForLine("[buttons] start(Enter)=on")) << winner.output();
    ASSERT_TRUE(winner.Write("\n"));
    ASSERT_TRUE(winner.WaitForLine("[message]")) << winner.output();
    for (ChildProcess& copy : copies) {
      ASSERT_TRUE(copy.Write("\nq\n"));
      int status = -1;
      ASSERT_TRUE(copy.Wait(&status)) << copy.output();
      EXPECT_EQ(status, 0);
    }
    ++successes;
    ExpectWhole(kPackAAfter);
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "readme.txt")), "readme 66");
    EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, "bin\\new.dll")), "new dll");
  }
  std::cout << "two copies started together " << kRounds << " times: " << successes
            << " successes, " << refusals << " refusals\n";
  EXPECT_EQ(refusals, kRounds);
}

// With the client running and the input at its end, nobody can press retry:
// the conflict screen says so and retries once a second until the client
// is gone, and the update goes on.
TEST_F(UpdaterTest, WhenTheInputEndsOnTheConflictScreenItRetriesUntilTheClientIsGone) {
  MakeInstallation();
  ChildProcess game;
  RunClient(&game);

  Start(Wrap(MakePatch(), install));
  Expect("[buttons] start(Enter)=on");
  Press("");
  program.CloseInput();
  Expect("[conflict] 升级冲突");
  Expect("[conflict] " + Cp936ToUtf8(LoadText(IDS_RETRYING_WITHOUT_INPUT)));
  for (int retry = 0; retry < 2; ++retry) {
    Expect("[conflict] retry(r)=off force-close(f)=off");
    Expect("[conflict] retry(r)=on force-close(f)=on");
  }
  game.Kill();
  Expect("[conflict] closed");
  int status = -1;
  ASSERT_TRUE(program.Wait(&status)) << program.output();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
}

// A folder pasted into the prompt with its Enter, and keys typed faster than
// the program reads them, count key by key.
TEST_F(UpdaterTest, OnATerminalEveryKeyOfAPasteCounts) {
  MakeInstallation();
  std::string elsewhere = JoinPath(root.path(), "downloads");
  ASSERT_TRUE(CreateFolderChain(elsewhere.c_str()));
  std::string updater = Wrap(MakePatch(), elsewhere);
  Start(updater, &program, true);
  Expect("请选择《Quelmar》所在的路径");
  // The folder, a wrong tail taken back with three Backspaces, and Enter.
  ASSERT_TRUE(program.Write(MapPath(install) + "/中x\x7f\x7f\x7f\r"));
  Expect(kStartEnabled);
  ASSERT_TRUE(program.Write("\r"));
  Expect("成功更新到CN.0.551.066!");
  ASSERT_TRUE(program.Write("\rq"));
  int status = -1;
  ASSERT_TRUE(program.Wait(&status)) << program.output();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, ".ver")), std::string(kTo) + "\r\n");
}

}  // namespace
}  // namespace qlmr
