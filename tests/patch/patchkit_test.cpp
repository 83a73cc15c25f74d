// The qlmr-patchkit tool as the release team runs it: whole processes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "base/file_util.h"
#include "base/platform.h"
#include "tests/support/test_util.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

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
    EXPECT_NE(diff.output.find("\"perOld\": [\n  {\"old\": \"" + install_.path() +
                               "\", \"selfCheck\": {\"ok\": true"),
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

// A program that names its carrier offset (4096) as the updater does.
std::string StandInUpdater(const TempDir& dir) {
  std::string path = dir.Join("updater.exe");
  WriteFileOrDie(path, "the updater's code\n" +
                           std::string(kCarrierMarkerTag, kCarrierMarkerTagSize) +
                           std::string("\x00\x10\x00\x00\xFF\xEF\xFF\xFF", 8));
  return path;
}

// wrap takes any range; it says that nothing checked it, and where to turn.
TEST_F(PatchkitTest, WrapWarnsThatNothingCheckedItsRange) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  ToolRun wrap = Patchkit("wrap --updater " + Quote(StandInUpdater(work_)) +
                          " --from CN.0.551.063 --to CN.0.551.066 -o " +
                          Quote(work_.Join("out.exe")) + " " + Quote(patch));
  ASSERT_EQ(wrap.exitCode, 0) << wrap.output;
  EXPECT_NE(wrap.output.find("warning: nothing checked that this patch turns every installation "
                             "from CN.0.551.063 up to CN.0.551.066"),
            std::string::npos)
      << wrap.output;
  EXPECT_NE(wrap.output.find("qlmr-patchkit release"), std::string::npos) << wrap.output;
}

// release from installations to the program, with its report; a range that
// reaches below the lowest tree given is refused and nothing is written.
TEST_F(PatchkitTest, ReleaseBuildsTheProgramForTheRangeItProves) {
  TempDir trees;
  for (const char* version : {"CN.0.551.064", "CN.0.551.065", "CN.0.551.066"}) {
    WriteFileOrDie(trees.Join(std::string(version) + "\\.ver"), std::string(version) + "\n");
    WriteFileOrDie(trees.Join(std::string(version) + "\\bin\\a.dll"), version);
  }
  std::string common = " --old " + Quote(trees.Join("CN.0.551.064")) + " " +
                       Quote(trees.Join("CN.0.551.065")) + " --new " +
                       Quote(trees.Join("CN.0.551.066")) + " --updater " +
                       Quote(StandInUpdater(work_)) + " -o " + Quote(work_.Join("update.exe"));
  ToolRun refused = Patchkit("release" + common + " --from CN.0.551.063");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("error 10: Version=CN.0.551.063 (below the lowest verified tree"),
            std::string::npos)
      << refused.output;
  EXPECT_FALSE(PathExists(work_.Join("update.exe").c_str()));
  EXPECT_FALSE(PathExists(work_.Join("update.release.json").c_str()));

  ToolRun release = Patchkit("release" + common + " --json --kind packed");
  ASSERT_EQ(release.exitCode, 0) << release.output;
  EXPECT_EQ(release.output, ReadFileOrEmpty(work_.Join("update.release.json")));
  EXPECT_NE(
      release.output.find("\"range\": {\"from\": \"CN.0.551.064\", \"to\": \"CN.0.551.066\"}"),
      std::string::npos)
      << release.output;
  EXPECT_NE(release.output.find("\"kind\": \"packed\""), std::string::npos) << release.output;
  EXPECT_TRUE(PathExists(work_.Join("update.exe").c_str()));
}

TEST_F(PatchkitTest, UsageErrorsExitWithTwo) {
  for (const char* arguments :
       {"", "frobnicate", "apply only-one-argument", "build --list x --root y -o z --kind zip",
        "diff only-old -o x", "release --new n --updater u -o o",
        "diff a b -o x --time yesterday"}) {
    EXPECT_EQ(Patchkit(arguments).exitCode, 2) << arguments;
  }
  EXPECT_EQ(Patchkit("--help").exitCode, 0);
}

}  // namespace
}  // namespace qlmr
