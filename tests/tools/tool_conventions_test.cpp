// The conventions both release tools keep, run as the release team runs
// them: failures said in words, outputs never replaced unasked, - for
// standard input and output, --version, -q and -v, help that names the
// program and says what numbers mean, the closest commands for a misspelled
// one, and --json documents that end a failure too.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_run.h"
#include "tools/json_output.h"

namespace qlmr {
namespace {

using namespace testing_support;
using tools::Json;

class ToolConventionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileOrDie(dir_.Join("notes.txt"), "not an archive, not a patch, longer than a header\n");
    WriteFileOrDie(dir_.Join("short.txt"), "short\n");
    WriteFileOrDie(dir_.Join("tree\\a.txt"), "hello\n");
    WriteFileOrDie(dir_.Join("new\\bin\\a.dll"), "new a");
    WriteFileOrDie(dir_.Join("new\\.ver"), "kr|00001.00000.00001");
    WriteFileOrDie(dir_.Join("old\\.ver"), "kr|00001.00000.00000");
    WriteFileOrDie(dir_.Join("list.txt"), "0||bin\\a.dll|0\n0||.ver|0\n");
  }
  ToolRun Pak(const std::string& args, const std::string& input = "") {
    return RunTool(QLMR_PAK_BIN, args, dir_.path(), input);
  }
  ToolRun Kit(const std::string& args, const std::string& input = "") {
    return RunTool(QLMR_PATCHKIT_BIN, args, dir_.path(), input);
  }
  void MakeArchive() {
    ASSERT_EQ(Pak("create x.pak").exitCode, 0);
    ToolRun add = Pak("add-tree x.pak tree");
    ASSERT_EQ(add.exitCode, 0) << add.err;
  }
  void MakePatch(const std::string& name, const std::string& kind) {
    ToolRun build = Kit("build --list list.txt --root new -o " + name + " --kind " + kind);
    ASSERT_EQ(build.exitCode, 0) << build.err;
  }
  std::string Read(const std::string& name) { return ReadFileOrEmpty(dir_.Join(name)); }

  TempDir dir_;
};

// Every failure: one line, the program's name, what it did, a cause in
// words, then the error state in brackets.
void ExpectOneSentence(const ToolRun& run, const std::string& program) {
  EXPECT_EQ(run.err.rfind(program + ": ", 0), 0u) << run.err;
  std::string words = FailureWords(run.err);
  size_t cause = words.rfind(": ");
  ASSERT_NE(cause, std::string::npos) << run.err;
  EXPECT_GT(words.size(), cause + 2) << "a cause in words: " << run.err;
  EXPECT_NE(ErrorState(run.err), "") << run.err;
}

TEST_F(ToolConventionsTest, OutputsThatExistAreReplacedOnlyWhenAsked) {
  MakeArchive();
  MakePatch("p.patch", "packed");
  struct Case {
    std::string what;
    bool patchkit;
    std::string command;  // writes victim.txt, or out/a.txt for extract
    std::string force;
    std::string victim;
  } cases[] = {
      {"create", false, "create victim.txt", "--force", "victim.txt"},
      {"cat into a file", false, "cat -o victim.txt x.pak a.txt", "--force", "victim.txt"},
      {"extract", false, "extract x.pak out", "--overwrite", "out\\a.txt"},
      {"extract, unzip's short form", false, "extract x.pak out", "-o", "out\\a.txt"},
      {"build", true, "build --list list.txt --root new -o victim.txt", "--force", "victim.txt"},
      {"diff", true, "diff old new -o victim.txt", "--force", "victim.txt"},
      {"wrap", true,
       "wrap --updater '" QLMR_UPDATE_BIN "' --from kr.1.0.0 --to kr.1.0.1 -o victim.txt p.patch",
       "--force", "victim.txt"},
      {"convert", true, "convert p.patch victim.txt", "--force", "victim.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileOrDie(dir_.Join(c.victim), "keep me");
    ToolRun refused = c.patchkit ? Kit(c.command) : Pak(c.command);
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    EXPECT_EQ(Read(c.victim), "keep me") << "replaced without being asked";
    std::string shown = c.victim;
    for (char& ch : shown) ch = ch == '\\' ? '/' : ch;
    EXPECT_NE(refused.err.find("will not replace '" + shown + "': it exists"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find(c.force), std::string::npos) << "names the option" << refused.err;
    ToolRun forced = c.patchkit ? Kit(c.command + " " + c.force) : Pak(c.command + " " + c.force);
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(Read(c.victim), "keep me") << "--force replaces it";
  }
  // Converting a file into itself is what converting in place means.
  ToolRun inPlace = Kit("convert p.patch ./p.patch");
  EXPECT_EQ(inPlace.exitCode, 0) << inPlace.err;
}

TEST_F(ToolConventionsTest, FailuresAreSaidInWordsWithTheErrorStateBeside) {
  MakeArchive();
  // An archive left open for writing, as a killed writer leaves it.
  ASSERT_EQ(Pak("create open.pak").exitCode, 0);
  {
    std::string header = Read("open.pak");
    header[8] = 1;  // writeFlag
    WriteFileOrDie(dir_.Join("open.pak"), header);
  }
  struct Case {
    std::string what;
    bool patchkit;
    std::string command;
    std::string words;  // a part of the sentence
    std::string state;  // the error state as the bracket shows it, its start
  } cases[] = {
      {"a missing archive", false, "ls none.pak",
       "qlmr-pak: cannot list 'none.pak': no such file or directory",
       "ERR_ACCESS 3: File=none.pak, WinErr=2"},
      {"a text file for an archive", false, "ls notes.txt",
       "cannot list 'notes.txt': it is not a pack archive", "ERR_VERSION 16: Version="},
      {"a file shorter than a header", false, "info short.txt",
       "cannot read 'short.txt': it ends before its header and tables do", "ERR_READ 4: WinErr=0"},
      {"a stored name that is not there", false, "cat x.pak nope",
       "cannot read 'x.pak': it stores no file 'nope'", "ERR_NOT_FOUND 1: nope"},
      {"an archive left open for writing", false, "verify open.pak",
       "cannot verify 'open.pak': it is open for writing, or a write to it was interrupted; "
       "when no write is running, 'qlmr-pak repair open.pak' closes it",
       "ERR_MODE 7"},
      {"listing it", false, "ls open.pak", "'qlmr-pak repair open.pak' closes it", "ERR_MODE 7"},
      {"a text file for a patch", true, "inspect notes.txt",
       "qlmr-patchkit: cannot open 'notes.txt': it is not a patch package", "ERR_BAD_DATA 2"},
      {"applying a text file", true, "apply notes.txt old", "it is not a patch package",
       "ERR_BAD_DATA 2"},
      {"a missing patch with a Chinese name", true, "inspect 补丁.patch",
       "cannot open '补丁.patch': no such file or directory", "ERR_ACCESS 3: File=补丁.patch"},
      {"a trailer that does not match", true, "verify notes.txt",
       "its last 4 bytes are not the CRC of the bytes before them", "ERR_BAD_DATA 2: crc mismatch"},
      {"a missing source", false, "add x.pak b=missing.txt",
       "cannot add 'missing.txt': no such file or directory",
       "ERR_ACCESS 3: File=missing.txt, WinErr=2"},
      {"a missing installation", true, "diff missing new --dry-run", "'missing'",
       "ERR_INVALID 10: Path=missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolRun run = c.patchkit ? Kit(c.command) : Pak(c.command);
    EXPECT_EQ(run.exitCode, 1);
    ExpectOneSentence(run, c.patchkit ? "qlmr-patchkit" : "qlmr-pak");
    EXPECT_NE(FailureWords(run.err).find(c.words), std::string::npos) << run.err;
    EXPECT_EQ(ErrorState(run.err).rfind(c.state, 0), 0u) << run.err;
  }
}

TEST_F(ToolConventionsTest, VersionAndHelpNameTheProgramAndSayWhatNumbersMean) {
  for (const char* program : {QLMR_PAK_BIN, QLMR_PATCHKIT_BIN}) {
    std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
    ToolRun version = RunTool(program, "--version", dir_.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(name + " ", 0), 0u) << version.out;
    ToolRun help = RunTool(program, "--help", dir_.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: " + name + " "), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find(program), std::string::npos) << "the build's path shows: " << help.out;
  }
  ToolRun type = Pak("add --help");
  EXPECT_NE(type.out.find("0 stored as it is, 1 masked, 2 LZO, 3 LZMA"), std::string::npos)
      << type.out;
  ToolRun kind = Kit("build --help");
  EXPECT_NE(kind.out.find("--kind masked|packed"), std::string::npos) << kind.out;
  EXPECT_EQ(kind.out.find("->"), std::string::npos) << "no internal numbers: " << kind.out;
  EXPECT_NE(kind.out.find("UTF-8"), std::string::npos) << kind.out;
  EXPECT_NE(kind.out.find("code page 936"), std::string::npos) << kind.out;
}

// Help texts of both tools in one style: every description starts with a
// capital letter.
TEST_F(ToolConventionsTest, HelpTextsShareOneCapitalisation) {
  struct Tool {
    const char* program;
    std::vector<std::string> commands;
  } tools[] = {
      {QLMR_PAK_BIN,
       {"", "create", "add", "add-tree", "rm", "ls", "cat", "extract", "verify", "info", "repair"}},
      {QLMR_PATCHKIT_BIN, {"", "build", "diff", "inspect", "verify", "convert", "apply", "wrap"}},
  };
  for (const Tool& tool : tools) {
    for (const std::string& command : tool.commands) {
      SCOPED_TRACE(std::string(tool.program) + " " + command);
      ToolRun help = RunTool(tool.program, command + " --help", dir_.path());
      ASSERT_EQ(help.exitCode, 0);
      size_t start = 0;
      int described = 0;
      while (start < help.out.size()) {
        size_t end = help.out.find('\n', start);
        std::string line = help.out.substr(start, end - start);
        start = end == std::string::npos ? help.out.size() : end + 1;
        // "  name TYPE                 Description", the description at column 30.
        if (line.rfind("  ", 0) != 0 || line.size() <= 30 || line[29] != ' ') continue;
        char first = line[30];
        EXPECT_TRUE(first >= 'A' && first <= 'Z') << line;
        ++described;
      }
      EXPECT_GT(described, 0) << help.out;
    }
  }
}

TEST_F(ToolConventionsTest, AMisspelledCommandNamesTheClosestOnes) {
  struct Case {
    bool patchkit;
    std::string typed;
    std::string named;
  } cases[] = {
      {false, "lst", "did you mean: ls"},
      {false, "ad", "did you mean: add"},
      {false, "extact", "did you mean: extract"},
      {false, "verfy", "did you mean: verify"},
      {true, "inspct", "did you mean: inspect"},
      {true, "dif", "did you mean: diff"},
      {true, "frobnicate", "the commands are: build, diff, inspect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ToolRun run = c.patchkit ? Kit(c.typed + " x") : Pak(c.typed + " x.pak");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("'" + c.typed + "' is not a command; " + c.named), std::string::npos)
        << run.err;
  }
}

TEST_F(ToolConventionsTest, QuietSaysNothingButResultsAndVerboseNamesEachFile) {
  ToolRun normal = Kit("build --list list.txt --root new -o a.patch");
  EXPECT_EQ(normal.exitCode, 0) << normal.err;
  EXPECT_NE(normal.out.find("built a.patch: 2 lines"), std::string::npos) << normal.out;
  ToolRun quiet = Kit("-q build --list list.txt --root new -o b.patch");
  EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.out + quiet.err, "");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ToolRun verbose = Pak("-v add-tree x.pak new");
  EXPECT_EQ(verbose.exitCode, 0) << verbose.err;
  EXPECT_NE(verbose.err.find("qlmr-pak: stored .ver ("), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("qlmr-pak: stored bin\\a.dll ("), std::string::npos) << verbose.err;
  // Flags may follow the command too.
  ToolRun after = Pak("rm x.pak .ver -v");
  EXPECT_NE(after.err.find("qlmr-pak: removed .ver"), std::string::npos) << after.err;
}

TEST_F(ToolConventionsTest, DashIsStandardInputOrOutput) {
  MakeArchive();
  MakePatch("p.patch", "packed");
  struct Case {
    std::string what;
    bool patchkit;
    std::string command;
    std::string input;  // a file for standard input, or empty
    std::function<void(const ToolRun&)> check;
  } cases[] = {
      {"cat to standard output", false, "cat x.pak a.txt", "",
       [](const ToolRun& run) { EXPECT_EQ(run.out, "hello\n"); }},
      {"cat -o -", false, "cat -o - x.pak a.txt", "",
       [](const ToolRun& run) { EXPECT_EQ(run.out, "hello\n"); }},
      {"extract of one file to -", false, "extract x.pak - a.txt", "",
       [](const ToolRun& run) { EXPECT_EQ(run.out, "hello\n"); }},
      {"ls of standard input", false, "ls -", "x.pak",
       [](const ToolRun& run) { EXPECT_NE(run.out.find(" a.txt\n"), std::string::npos); }},
      {"verify of standard input", false, "verify -", "x.pak",
       [](const ToolRun& run) { EXPECT_EQ(run.out, "ok: 1 files\n"); }},
      {"add from standard input", false, "add x.pak piped.txt=-", "notes.txt",
       [this](const ToolRun&) { EXPECT_EQ(Pak("cat x.pak piped.txt").out, Read("notes.txt")); }},
      {"inspect of standard input", true, "inspect -", "p.patch",
       [](const ToolRun& run) { EXPECT_NE(run.out.find("kind: packed"), std::string::npos); }},
      {"verify of standard input", true, "verify -", "p.patch",
       [](const ToolRun& run) { EXPECT_EQ(run.out, "-: ok\n"); }},
      {"a build list from standard input", true, "build --list - --root new -o piped.patch",
       "list.txt",
       [this](const ToolRun&) {
         EXPECT_NE(Kit("inspect piped.patch").out.find("write  bin\\a.dll"), std::string::npos);
       }},
      {"a patch to standard output", true, "build --list list.txt --root new -o -", "",
       [this](const ToolRun& run) {
         WriteFileOrDie(dir_.Join("out.patch"), run.out);
         EXPECT_NE(Kit("inspect out.patch").out.find("write  bin\\a.dll"), std::string::npos);
         EXPECT_NE(run.err.find("built -: 2 lines"), std::string::npos) << run.err;
       }},
      {"a diff to standard output", true, "diff old new -o -", "",
       [this](const ToolRun& run) {
         WriteFileOrDie(dir_.Join("diff.patch"), run.out);
         EXPECT_NE(Kit("inspect diff.patch").out.find("write  bin\\a.dll"), std::string::npos);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolRun run = c.patchkit ? Kit(c.command, c.input.empty() ? "" : dir_.Join(c.input))
                             : Pak(c.command, c.input.empty() ? "" : dir_.Join(c.input));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    c.check(run);
  }
}

// Every string of a document, for the one name form.
void CollectStrings(const Json& json, std::vector<std::string>* strings) {
  if (json.is_string()) strings->push_back(json.get<std::string>());
  if (!json.is_structured()) return;
  for (const Json& item : json) CollectStrings(item, strings);
}

TEST_F(ToolConventionsTest, JsonIsOneDocumentOnFailureToo) {
  MakeArchive();
  MakePatch("p.patch", "masked");
  struct Case {
    bool patchkit;
    std::string command;
    int code;
  } failures[] = {
      {false, "ls --json none.pak", 3},
      {false, "verify --json notes.txt", 16},
      {true, "inspect --json notes.txt", 2},
      {true, "verify --json p.patch", 2},
      {true, "diff --json old missing --dry-run", 10},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.command);
    ToolRun run = c.patchkit ? Kit(c.command) : Pak(c.command);
    EXPECT_EQ(run.exitCode, 1);
    Json document = Json::parse(run.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << "not one JSON document: " << run.out;
    EXPECT_EQ(document["ok"], false) << run.out;
    const Json& error = document["error"];
    EXPECT_EQ(error["code"], c.code) << run.out;
    EXPECT_TRUE(error["name"].get<std::string>().rfind("ERR_", 0) == 0) << run.out;
    EXPECT_TRUE(error["message"].is_string()) << run.out;
    EXPECT_EQ(error["text"], FailureWords(run.err) + " [" + ErrorState(run.err) + "]") << run.out;
  }
  // Names in one form, operations by name as well as number: an archive
  // changed file by file gives names of both trees and of the control list.
  for (const char* tree : {"old", "new"}) {
    std::string archive = std::string(tree) + "/data/item.pak";
    MakeFolder(dir_.Join(std::string(tree) + "\\data").c_str());
    ASSERT_EQ(Pak("create " + archive).exitCode, 0);
    WriteFileOrDie(dir_.Join(std::string(tree) + "\\item\\sword.txt"), tree);
    ASSERT_EQ(Pak("add " + archive + " 'item\\sword.txt=" + tree + "/item/sword.txt'").exitCode, 0);
  }
  ToolRun diff = Kit("diff --json old new --dry-run");
  ASSERT_EQ(diff.exitCode, 0) << diff.err;
  Json document = Json::parse(diff.out);
  EXPECT_EQ(document["ok"], true);
  std::vector<std::string> strings;
  CollectStrings(document, &strings);
  for (const std::string& text : strings) {
    EXPECT_EQ(text.find('\\'), std::string::npos) << "a second name form: " << text;
  }
  bool named = false;
  for (const Json& step : document["steps"]) {
    if (step.contains("op")) {
      EXPECT_EQ(step["operation"], step["op"] == 0 ? "write" : "delete") << step;
      named = true;
    }
  }
  EXPECT_TRUE(named) << diff.out;
}

}  // namespace
}  // namespace qlmr
