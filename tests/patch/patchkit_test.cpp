// The qlmr-patchkit tool as the release team runs it: whole processes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "base/file_util.h"
#include "base/platform.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::LinkKind;
using testing_support::MakeLink;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

struct ToolRun {
  int exitCode;
  std::string output;  // stdout and stderr
};

// Runs the tool with `arguments`, in `folder` when one is given.
ToolRun Patchkit(const std::string& arguments, const std::string& folder = "") {
  std::string command = std::string(QLMR_PATCHKIT) + " " + arguments + " 2>&1";
  if (!folder.empty()) command = "cd '" + RuntimeFileName(folder.c_str()) + "' && " + command;
  FILE* pipe = popen(command.c_str(), "r");
  ToolRun run{-1, ""};
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class PatchkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileOrDie(root_.Join("bin\\a.dll"), "new a");
    WriteFileOrDie(root_.Join(".ver"), "kr|00001.00000.00001");
    WriteFileOrDie(list_, "0||bin\\a.dll|0\n0||.ver|0\n1||old.txt|0\n");
    WriteFileOrDie(install_.Join("old.txt"), "old");
  }
  std::string Quote(const std::string& path) { return "'" + path + "'"; }
  // Builds the packed patch of the fixture's list at `patch`.
  ToolRun BuildPacked(const std::string& patch) {
    return Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) + " -o " +
                    Quote(patch) + " --kind packed");
  }

  TempDir root_;
  TempDir work_;
  TempDir install_;
  std::string list_ = work_.Join("list.txt");
};

TEST_F(PatchkitTest, BuildInspectVerifyAndApplyEachKind) {
  for (const char* kind : {"masked", "packed"}) {
    std::string patch = work_.Join(std::string(kind) + ".patch");
    ToolRun build = Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) +
                             " -o " + Quote(patch) + " --kind " + kind);
    ASSERT_EQ(build.exitCode, 0) << build.output;

    ToolRun inspect = Patchkit("inspect " + Quote(patch));
    ASSERT_EQ(inspect.exitCode, 0) << inspect.output;
    EXPECT_NE(inspect.output.find(std::string("kind: ") +
                                  (kind == std::string("masked") ? "masked zip" : "packed")),
              std::string::npos)
        << inspect.output;
    // The version file is listed last although it sorts first.
    size_t a = inspect.output.find("write  bin\\a.dll");
    size_t old = inspect.output.find("delete old.txt");
    size_t ver = inspect.output.find("write  .ver");
    ASSERT_NE(a, std::string::npos) << inspect.output;
    ASSERT_NE(old, std::string::npos) << inspect.output;
    ASSERT_NE(ver, std::string::npos) << inspect.output;
    EXPECT_LT(a, old);
    EXPECT_LT(old, ver);

    ToolRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
    ASSERT_EQ(apply.exitCode, 0) << apply.output;
    EXPECT_EQ(ReadFileOrEmpty(install_.Join("bin\\a.dll")), "new a");
    EXPECT_EQ(ReadFileOrEmpty(install_.Join(".ver")), "kr|00001.00000.00001");
    EXPECT_FALSE(PathExists(install_.Join("old.txt").c_str()));
  }
  ToolRun verify = Patchkit("verify " + Quote(work_.Join("packed.patch")));
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
}

// The tool's apply creates its temporary copies afresh, whatever another
// user planted at their names.
TEST_F(PatchkitTest, ApplyNeverWritesThroughALinkPlantedAtItsTemporaryNames) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  WriteFileOrDie(work_.Join("victim"), "precious");
  CreateFolderChain(install_.Join("bin").c_str());
  ASSERT_TRUE(MakeLink(install_.Join("bin\\a.dll.~new"), work_.Join("victim"), LinkKind::kHard));
  ASSERT_TRUE(MakeLink(install_.Join(".ver.~new"), work_.Join("victim"), LinkKind::kSymbolic));
  ToolRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
  ASSERT_EQ(apply.exitCode, 0) << apply.output;
  EXPECT_EQ(ReadFileOrEmpty(work_.Join("victim")), "precious");
  EXPECT_EQ(ReadFileOrEmpty(install_.Join("bin\\a.dll")), "new a");
  EXPECT_EQ(ReadFileOrEmpty(install_.Join(".ver")), "kr|00001.00000.00001");
  EXPECT_FALSE(PathExists(install_.Join(".ver.~new").c_str()));
}

TEST_F(PatchkitTest, ConvertBothWays) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  std::string zip = work_.Join("p.zip");
  ASSERT_EQ(Patchkit("convert " + Quote(patch) + " " + Quote(zip)).exitCode, 0);
  EXPECT_EQ(ReadFileOrEmpty(zip).substr(0, 2), "PK");
  std::string again = work_.Join("again.patch");
  ASSERT_EQ(Patchkit("convert " + Quote(zip) + " " + Quote(again)).exitCode, 0);
  EXPECT_EQ(ReadFileOrEmpty(again), ReadFileOrEmpty(patch));
}

TEST_F(PatchkitTest, ConvertOntoItselfUnderAnotherNameConvertsInPlace) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  ToolRun toZip = Patchkit("convert ./p.patch p.patch", work_.path());
  ASSERT_EQ(toZip.exitCode, 0) << toZip.output;
  EXPECT_EQ(ReadFileOrEmpty(patch).substr(0, 2), "PK");
  ToolRun back = Patchkit("convert p.patch " + Quote(patch), work_.path());
  ASSERT_EQ(back.exitCode, 0) << back.output;
  EXPECT_EQ(ReadFileOrEmpty(patch).substr(0, 4), "JZQ1");
  EXPECT_EQ(Patchkit("verify p.patch", work_.path()).exitCode, 0);
}

TEST_F(PatchkitTest, FailuresPrintTheErrorAndExitWithOne) {
  std::string zip = work_.Join("plain.zip");
  WriteFileOrDie(zip, "PK\x03\x04 not a patch");
  ToolRun refused = Patchkit("apply " + Quote(zip) + " " + Quote(install_.path()));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.output, "error 2: \n");

  std::string corrupt = work_.Join("c.patch");
  WriteFileOrDie(corrupt, "JZQ1\x10\0\0\0 garbage and a bad trailer");
  ToolRun verify = Patchkit("verify " + Quote(corrupt));
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.output.rfind("error 2: ", 0), 0u) << verify.output;

  WriteFileOrDie(list_, "0||..\\escape.txt|0\n");
  ToolRun unsafe = Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) +
                            " -o " + Quote(work_.Join("x.patch")));
  EXPECT_EQ(unsafe.exitCode, 1);
  EXPECT_EQ(unsafe.output, "error 2: line 1: ..\\escape.txt\n");
}

// The release workflow's first steps: diff two installations, look at the
// patch, check it; for people and for scripts.
TEST_F(PatchkitTest, DiffDryRunThenPatchWithJson) {
  WriteFileOrDie(install_.Join(".ver"), "kr|00001.00000.00000");
  std::string trees = Quote(install_.path()) + " " + Quote(root_.path());
  ToolRun dry = Patchkit("diff " + trees + " --dry-run");
  ASSERT_EQ(dry.exitCode, 0) << dry.output;
  size_t a = dry.output.find("write  bin\\a.dll\n");
  size_t old = dry.output.find("delete old.txt\n");
  size_t ver = dry.output.find("write  .ver\n");
  ASSERT_NE(a, std::string::npos) << dry.output;
  EXPECT_LT(a, old);
  EXPECT_LT(old, ver);
  EXPECT_NE(dry.output.find("loose files: 1 write (5 bytes), 1 deletion\n"), std::string::npos)
      << dry.output;
  EXPECT_NE(dry.output.find("dry run: no patch written"), std::string::npos) << dry.output;

  for (const char* kind : {"masked", "packed"}) {
    std::string patch = work_.Join(std::string(kind) + ".patch");
    ToolRun diff = Patchkit("diff " + trees + " -o " + Quote(patch) + " --json --kind " + kind);
    ASSERT_EQ(diff.exitCode, 0) << diff.output;
    EXPECT_EQ(diff.output.rfind("{\n", 0), 0u) << diff.output;
    EXPECT_NE(diff.output.find("\"loose\": {\"writes\": 1, \"writeBytes\": 5, \"deletions\": 1}"),
              std::string::npos)
        << diff.output;
    EXPECT_NE(diff.output.find("\"patchBytes\": " + std::to_string(FileSizeOf(patch.c_str()))),
              std::string::npos)
        << diff.output;

    ToolRun inspect = Patchkit("inspect --json " + Quote(patch));
    ASSERT_EQ(inspect.exitCode, 0) << inspect.output;
    EXPECT_NE(inspect.output.find("\"entries\": 3"), std::string::npos) << inspect.output;
    EXPECT_NE(inspect.output.find("\"fileName\": \"bin\\\\a.dll\""), std::string::npos)
        << inspect.output;
  }
  ToolRun verify = Patchkit("verify --json " + Quote(work_.Join("packed.patch")));
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
  EXPECT_NE(verify.output.find("\"ok\": true"), std::string::npos) << verify.output;
  ToolRun bad = Patchkit("verify --json " + Quote(work_.Join("masked.patch")));
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_NE(bad.output.find("\"ok\": false, \"code\": 2"), std::string::npos) << bad.output;

  EXPECT_EQ(Patchkit("diff " + trees).exitCode, 2);  // neither -o nor --dry-run
}

// An apply takes the installation's lock, the one the players' updater
// takes: while another update holds it, apply changes nothing.
TEST_F(PatchkitTest, ApplyRefusesAnInstallationThatAnotherUpdateHolds) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  NamedLock other;
  ASSERT_EQ(other.TryLock(install_.path().c_str(), ""), NamedLock::Outcome::kTaken);
  ToolRun refused = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find(install_.path() + "(in use by another update)"), std::string::npos)
      << refused.output;
  EXPECT_EQ(ReadFileOrEmpty(install_.Join("old.txt")), "old");
  EXPECT_FALSE(PathExists(install_.Join(".ver").c_str()));
  other.Release();
  ToolRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
  EXPECT_EQ(apply.exitCode, 0) << apply.output;
}

// Two applies of one pack patch started together, or one a little after the
// other: the later one is refused while the first runs, or runs after it
// (the same patch again), so whatever reports success leaves the
// installation whole.
TEST_F(PatchkitTest, TwoAppliesAtOnceNeverLeaveADamagedInstallationBehindASuccess) {
  // Each stored file an apply adds is flushed on its own: a hundred make an
  // apply long enough to start another inside it.
  constexpr int kFiles = 100;
  constexpr int kOffsets = 12;
  std::string pak = std::string(QLMR_PAK) + " ";
  TempDir old_files;
  TempDir new_files;
  std::string list;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i) + ".txt";
    WriteFileOrDie(old_files.Join(name), testing_support::RandomBytes(i, 900));
    std::string content = testing_support::RandomBytes(kFiles + i, 1100);
    WriteFileOrDie(new_files.Join(name), content);
    WriteFileOrDie(root_.Join("data\\item.pak\\" + name), content);
    list += "0|data\\item.pak|" + name + "|0\n";
  }
  std::string template_install = work_.Join("template");
  std::string old_pak = template_install + "/data/item.pak";
  std::string new_pak = work_.Join("new.pak");
  ASSERT_TRUE(CreateFolderChain((template_install + "/data").c_str()));
  ASSERT_EQ(Patchkit("").exitCode, 2);  // the tool runs at all
  for (const std::string& command :
       {pak + "create " + Quote(old_pak),
        pak + "add-tree " + Quote(old_pak) + " " + Quote(old_files.path()),
        pak + "create " + Quote(new_pak),
        pak + "add-tree " + Quote(new_pak) + " " + Quote(new_files.path()),
        pak + "cat " + Quote(new_pak) + " '(list)' > " +
            Quote(root_.path() + "/data/item.pak/(list)")}) {
    ASSERT_EQ(system(command.c_str()), 0) << command;
  }
  WriteFileOrDie(template_install + "/.ver", "kr|00001.00000.00000");
  list += "0|data\\item.pak|(list)|0\n0||.ver|0\n";
  WriteFileOrDie(list_, list);
  std::string patch = work_.Join("big.patch");
  ToolRun build = BuildPacked(patch);
  ASSERT_EQ(build.exitCode, 0) << build.output;

  // One apply alone sets the scale of the start offsets.
  std::string alone = work_.Join("alone");
  testing_support::CopyTreeOrDie(template_install, alone);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Patchkit("apply " + Quote(patch) + " " + Quote(alone)).exitCode, 0);
  auto one_apply = std::chrono::steady_clock::now() - started;

  int refusals = 0;
  int successes = 0;
  for (int offset = 0; offset < kOffsets; ++offset) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    std::string install = work_.Join("install" + std::to_string(offset));
    testing_support::CopyTreeOrDie(template_install, install);
    std::string apply = "apply " + Quote(patch) + " " + Quote(install);
    ToolRun first;
    ToolRun second;
    std::thread first_thread([&] { first = Patchkit(apply); });
    // From together to past the first one's end. Started within its first
    // quarter, the second surely finds the first at work.
    auto delay = one_apply * offset / 8;
    bool overlapping = delay <= one_apply / 4;
    std::this_thread::sleep_for(delay);
    std::thread second_thread([&] { second = Patchkit(apply); });
    first_thread.join();
    second_thread.join();
    for (const ToolRun* run : {&first, &second}) {
      if (run->exitCode == 0) {
        ++successes;
      } else {
        EXPECT_EQ(run->exitCode, 1);
        EXPECT_NE(run->output.find("(in use by another update)"), std::string::npos) << run->output;
        ++refusals;
      }
    }
    EXPECT_TRUE(first.exitCode == 0 || second.exitCode == 0);
    if (overlapping) {
      EXPECT_NE(first.exitCode, second.exitCode) << "of two at once, one is refused";
    }
    std::string verify = pak + "verify " + Quote(install + "/data/item.pak") + " > /dev/null";
    EXPECT_EQ(system(verify.c_str()), 0) << "the archive is damaged";
    EXPECT_EQ(ReadFileOrEmpty(install + "/.ver"), "kr|00001.00000.00001");
  }
  std::cout << "two applies at " << kOffsets << " offsets over " << kFiles
            << " stored files: " << successes << " successes, " << refusals << " refusals\n";
}

TEST_F(PatchkitTest, UsageErrorsExitWithTwo) {
  for (const char* arguments : {"", "frobnicate", "apply only-one-argument",
                                "build --list x --root y -o z --kind zip", "diff only-old -o x"}) {
    EXPECT_EQ(Patchkit(arguments).exitCode, 2) << arguments;
  }
  EXPECT_EQ(Patchkit("--help").exitCode, 0);
}

}  // namespace
}  // namespace qlmr
