// The qlmr-patchkit tool as the release team runs it: whole processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "base/file_util.h"
#include "base/platform.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_run.h"
#include "tools/json_output.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

using testing_support::ErrorState;
using testing_support::FailureWords;
using testing_support::LinkKind;
using testing_support::MakeLink;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

struct KitRun {
  int exitCode;
  std::string output;  // standard output, then standard error
  std::string out;
  std::string err;
};

// Runs the tool with `arguments`, in `folder` when one is given.
KitRun Patchkit(const std::string& arguments, const std::string& folder = "") {
  testing_support::ToolRun run =
      testing_support::RunTool(QLMR_PATCHKIT, arguments, folder.empty() ? "." : folder);
  return {run.exitCode, run.out + run.err, run.out, run.err};
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
  KitRun BuildPacked(const std::string& patch) {
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
    KitRun build = Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) +
                            " -o " + Quote(patch) + " --kind " + kind);
    ASSERT_EQ(build.exitCode, 0) << build.output;

    KitRun inspect = Patchkit("inspect " + Quote(patch));
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

    KitRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
    ASSERT_EQ(apply.exitCode, 0) << apply.output;
    EXPECT_EQ(ReadFileOrEmpty(install_.Join("bin\\a.dll")), "new a");
    EXPECT_EQ(ReadFileOrEmpty(install_.Join(".ver")), "kr|00001.00000.00001");
    EXPECT_FALSE(PathExists(install_.Join("old.txt").c_str()));
  }
  KitRun verify = Patchkit("verify " + Quote(work_.Join("packed.patch")));
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
  KitRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
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
  KitRun toZip = Patchkit("convert ./p.patch p.patch", work_.path());
  ASSERT_EQ(toZip.exitCode, 0) << toZip.output;
  EXPECT_EQ(ReadFileOrEmpty(patch).substr(0, 2), "PK");
  KitRun back = Patchkit("convert p.patch " + Quote(patch), work_.path());
  ASSERT_EQ(back.exitCode, 0) << back.output;
  EXPECT_EQ(ReadFileOrEmpty(patch).substr(0, 4), "JZQ1");
  EXPECT_EQ(Patchkit("verify p.patch", work_.path()).exitCode, 0);
}

TEST_F(PatchkitTest, FailuresPrintTheErrorAndExitWithOne) {
  std::string zip = work_.Join("plain.zip");
  WriteFileOrDie(zip, "PK\x03\x04 not a patch");
  KitRun refused = Patchkit("apply " + Quote(zip) + " " + Quote(install_.path()));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(ErrorState(refused.output), "ERR_BAD_DATA 2");
  EXPECT_NE(FailureWords(refused.output).find("not a patch package"), std::string::npos)
      << refused.output;

  std::string corrupt = work_.Join("c.patch");
  WriteFileOrDie(corrupt, "JZQ1\x10\0\0\0 garbage and a bad trailer");
  KitRun verify = Patchkit("verify " + Quote(corrupt));
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(ErrorState(verify.output).rfind("ERR_BAD_DATA 2", 0), 0u) << verify.output;

  WriteFileOrDie(list_, "0||..\\escape.txt|0\n");
  KitRun unsafe = Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) +
                           " -o " + Quote(work_.Join("x.patch")));
  EXPECT_EQ(unsafe.exitCode, 1);
  EXPECT_EQ(ErrorState(unsafe.output), "ERR_BAD_DATA 2: line 1: ../escape.txt");
}

// The release workflow's first steps: diff two installations, look at the
// patch, check it; for people and for scripts.
TEST_F(PatchkitTest, DiffDryRunThenPatchWithJson) {
  WriteFileOrDie(install_.Join(".ver"), "kr|00001.00000.00000");
  std::string trees = Quote(install_.path()) + " " + Quote(root_.path());
  KitRun dry = Patchkit("diff " + trees + " --dry-run");
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
    KitRun diff = Patchkit("diff " + trees + " -o " + Quote(patch) + " --json --kind " + kind);
    ASSERT_EQ(diff.exitCode, 0) << diff.output;
    tools::Json summary = tools::Json::parse(diff.out);
    EXPECT_EQ(summary["ok"], true);
    EXPECT_EQ(summary["loose"], tools::Json({{"writes", 1}, {"writeBytes", 5}, {"deletions", 1}}));
    EXPECT_EQ(summary["patchBytes"], FileSizeOf(patch.c_str()));
    ASSERT_EQ(summary["perOld"].size(), 1u);
    EXPECT_EQ(summary["perOld"][0]["old"], install_.path());
    EXPECT_EQ(summary["perOld"][0]["selfCheck"]["ok"], true);

    KitRun inspect = Patchkit("inspect --json " + Quote(patch));
    ASSERT_EQ(inspect.exitCode, 0) << inspect.output;
    tools::Json steps = tools::Json::parse(inspect.out);
    EXPECT_EQ(steps["entries"], 3);
    bool listed = false;
    for (const tools::Json& step : steps["steps"]) {
      // Steps that open or close an archive name no file.
      listed = listed || (step.value("fileName", "") == "bin/a.dll" &&
                          step.value("operation", "") == "write");
    }
    EXPECT_TRUE(listed) << inspect.output;
  }
  KitRun verify = Patchkit("verify --json " + Quote(work_.Join("packed.patch")));
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
  EXPECT_EQ(tools::Json::parse(verify.out)["ok"], true) << verify.output;
  KitRun bad = Patchkit("verify --json " + Quote(work_.Join("masked.patch")));
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  tools::Json failed = tools::Json::parse(bad.out);
  EXPECT_EQ(failed["ok"], false);
  EXPECT_EQ(failed["error"]["code"], 2);

  EXPECT_EQ(Patchkit("diff " + trees).exitCode, 2);  // neither -o nor --dry-run
}

// An apply takes the installation's lock, the one the players' updater
// takes: while another update holds it, apply changes nothing.
TEST_F(PatchkitTest, ApplyRefusesAnInstallationThatAnotherUpdateHolds) {
  std::string patch = work_.Join("p.patch");
  ASSERT_EQ(BuildPacked(patch).exitCode, 0);
  NamedLock other;
  ASSERT_EQ(other.TryLock(install_.path().c_str(), ""), NamedLock::Outcome::kTaken);
  KitRun refused = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find(install_.path() + "(in use by another update)"), std::string::npos)
      << refused.output;
  EXPECT_EQ(ReadFileOrEmpty(install_.Join("old.txt")), "old");
  EXPECT_FALSE(PathExists(install_.Join(".ver").c_str()));
  other.Release();
  KitRun apply = Patchkit("apply " + Quote(patch) + " " + Quote(install_.path()));
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
  KitRun build = BuildPacked(patch);
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
    KitRun first;
    KitRun second;
    std::thread first_thread([&] { first = Patchkit(apply); });
    // From together to past the first one's end. Started within its first
    // quarter, the second surely finds the first at work.
    auto delay = one_apply * offset / 8;
    bool overlapping = delay <= one_apply / 4;
    std::this_thread::sleep_for(delay);
    std::thread second_thread([&] { second = Patchkit(apply); });
    first_thread.join();
    second_thread.join();
    for (const KitRun* run : {&first, &second}) {
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

// A build list may be written in UTF-8 (an editor's default) or in code
// page 936 (the system's own), with or without a byte order mark.
TEST_F(PatchkitTest, BuildListsInUtf8OrCodePage936) {
  WriteFileOrDie(root_.Join(Utf8ToCp936("数据\\说明.txt")), "说明");
  // 中 is D6 D0 in code page 936, which also reads as UTF-8 (a Hebrew
  // letter that code page 936 lacks).
  WriteFileOrDie(root_.Join(Utf8ToCp936("中.txt")), "zhong");
  struct Case {
    const char* what;
    std::string list;
    std::string shown;  // how inspect shows the name, UTF-8
  } cases[] = {
      {"UTF-8", "0||数据\\说明.txt|0\n", "数据\\说明.txt"},
      {"UTF-8 with a byte order mark",
       "\xEF\xBB\xBF"
       "0||数据\\说明.txt|0\r\n",
       "数据\\说明.txt"},
      {"code page 936", Utf8ToCp936("0||数据\\说明.txt|0\n"), "数据\\说明.txt"},
      {"code page 936 that reads as UTF-8", Utf8ToCp936("0||中.txt|0\n"), "中.txt"},
      {"ASCII", "0||bin\\a.dll|0\n", "bin\\a.dll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileOrDie(list_, c.list);
    std::string patch = work_.Join("list.patch");
    RemoveFileAt(patch.c_str());
    KitRun build = Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) +
                            " -o " + Quote(patch));
    ASSERT_EQ(build.exitCode, 0) << build.output;
    KitRun inspect = Patchkit("inspect " + Quote(patch));
    EXPECT_NE(inspect.out.find("write  " + c.shown + "\n"), std::string::npos) << inspect.output;
  }
}

// wrap carries only what the updater can open, and says in words why it
// refuses anything else.
TEST_F(PatchkitTest, WrapChecksThePatchAndSaysWhatIsWrong) {
  std::string masked = work_.Join("masked.patch");
  std::string packed = work_.Join("packed.patch");
  ASSERT_EQ(BuildPacked(packed).exitCode, 0);
  ASSERT_EQ(Patchkit("build --list " + Quote(list_) + " --root " + Quote(root_.path()) + " -o " +
                     Quote(masked))
                .exitCode,
            0);
  ASSERT_EQ(Patchkit("convert " + Quote(packed) + " " + Quote(work_.Join("plain.zip"))).exitCode,
            0);
  WriteFileOrDie(work_.Join("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
  const std::string updater = std::string("--updater '") + QLMR_UPDATE_BIN + "' ";
  ASSERT_EQ(Patchkit("wrap " + updater + "--from kr.1.0.0 --to kr.1.0.1 -o wrapped masked.patch",
                     work_.path())
                .exitCode,
            0);
  struct Case {
    const char* what;
    std::string arguments;
    int exitCode;
    std::string words;  // a part of the failure's sentence
  } cases[] = {
      {"a masked patch", updater + "--from kr.1.0.0 --to kr.1.0.1 masked.patch", 0, ""},
      {"a packed patch", updater + "--from kr.1.0.0 --to kr.1.0.1 packed.patch", 0, ""},
      {"a text file", updater + "--from kr.1.0.0 --to kr.1.0.1 passwd", 1,
       "will not wrap 'passwd': it is not a patch package"},
      {"a plain zip", updater + "--from kr.1.0.0 --to kr.1.0.1 plain.zip", 1,
       "will not wrap 'plain.zip': it is a plain zip, not a patch package the updater opens"},
      {"a reversed range", updater + "--from kr.1.0.1 --to kr.1.0.0 masked.patch", 1,
       "the range is reversed: --from kr.1.0.1 is newer than --to kr.1.0.0"},
      {"an empty range", updater + "--from kr.1.0.1 --to kr.1.0.1 masked.patch", 1,
       "the range is reversed: --from kr.1.0.1 is the same version as --to kr.1.0.1"},
      {"two language editions", updater + "--from kr.1.0.0 --to cn.1.0.1 masked.patch", 1,
       "--from kr.1.0.0 and --to cn.1.0.1 are versions of different language editions"},
      {"a version that cannot be a file name", updater + "--from kr/1 --to kr.1.0.1 masked.patch",
       1, "'kr/1' cannot be a version text"},
      {"an updater that carries a patch",
       "--updater wrapped --from kr.1.0.0 --to kr.1.0.1 masked.patch", 1,
       "will not wrap 'wrapped': it is longer than the carrier offset it names"},
      {"no updater at all", "--updater passwd --from kr.1.0.0 --to kr.1.0.1 masked.patch", 1,
       "will not wrap 'passwd': it is not the updater program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFileAt(work_.Join("out").c_str());
    KitRun run = Patchkit("wrap -o out " + c.arguments, work_.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_EQ(PathExists(work_.Join("out").c_str()), c.exitCode == 0);
    if (c.exitCode != 0) {
      EXPECT_NE(FailureWords(run.err).find(c.words), std::string::npos) << run.err;
    }
  }
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
  KitRun wrap = Patchkit("wrap --updater " + Quote(StandInUpdater(work_)) +
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
  KitRun refused = Patchkit("release" + common + " --from CN.0.551.063");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find(" 10: Version=CN.0.551.063 (below the lowest verified tree"),
            std::string::npos)
      << refused.output;
  EXPECT_FALSE(PathExists(work_.Join("update.exe").c_str()));
  EXPECT_FALSE(PathExists(work_.Join("update.release.json").c_str()));

  KitRun release = Patchkit("release" + common + " --json --kind packed");
  ASSERT_EQ(release.exitCode, 0) << release.output;
  EXPECT_EQ(release.out, ReadFileOrEmpty(work_.Join("update.release.json")));
  tools::Json report = tools::Json::parse(release.out);
  EXPECT_EQ(report["range"], tools::Json({{"from", "CN.0.551.064"}, {"to", "CN.0.551.066"}}));
  EXPECT_EQ(report["patch"]["kind"], "packed");
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
