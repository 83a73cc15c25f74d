// The shared tool layer called as a library: the words of failures, the
// command-line transform of names, the closest commands, the progress line
// and the JSON name form.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "tools/command_line.h"
#include "tools/failure.h"
#include "tools/json_output.h"
#include "tools/progress.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

TEST(ToolLayerTest, EveryCodeOfTheErrorStateHasANameAndWords) {
  struct Code {
    int32_t code;
    const char* name;
  } codes[] = {{ERR_NOT_FOUND, "ERR_NOT_FOUND"}, {ERR_BAD_DATA, "ERR_BAD_DATA"},
               {ERR_ACCESS, "ERR_ACCESS"},       {ERR_READ, "ERR_READ"},
               {ERR_WRITE, "ERR_WRITE"},         {ERR_SEEK, "ERR_SEEK"},
               {ERR_MODE, "ERR_MODE"},           {ERR_NO_MEMORY, "ERR_NO_MEMORY"},
               {ERR_INVALID, "ERR_INVALID"},     {ERR_TABLE_FULL, "ERR_TABLE_FULL"},
               {ERR_NO_BLOCK, "ERR_NO_BLOCK"},   {ERR_ZIP, "ERR_ZIP"},
               {ERR_VERSION, "ERR_VERSION"},     {ERR_DUPLICATE, "ERR_DUPLICATE"},
               {ERR_NO_CODEC, "ERR_NO_CODEC"},   {ERR_CODEC, "ERR_CODEC"}};
  std::vector<std::string> words;
  for (const Code& c : codes) {
    EXPECT_EQ(ErrorCodeName(c.code), c.name);
    words.push_back(ErrorCodeWords(c.code));
    EXPECT_NE(words.back(), ErrorCodeWords(8)) << c.name << " has only the fallback words";
  }
  EXPECT_EQ(ErrorCodeName(8), "ERR_8");
}

TEST(ToolLayerTest, TheSystemErrorAndTheFileAreFoundInEachSpellingOfAMessage) {
  struct Case {
    const char* message;
    int systemError;
    const char* file;
  } cases[] = {
      {"File=x.pak, WinErr=2", 2, "x.pak"},
      {"winErr: 28, disk full, pack=data\\x.pak, file=a.txt", 28, "data\\x.pak"},
      {"winErr=5, point=40", 5, ""},
      {"Path=游戏\\data, WinErr=13", 13, "游戏\\data"},
      {"Open file: src.bin, WinErr=2", 2, "src.bin"},
      {"File=x.pak(too large)", 0, "x.pak"},
      {"file: a.txt, point=8", 0, "a.txt"},
      {"WinErr=0", 0, ""},
      {"pos=12", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(SystemErrorInMessage(c.message), c.systemError);
    EXPECT_EQ(FileInMessage(c.message), c.file);
  }
}

TEST(ToolLayerTest, AFailureIsOneSentenceWithTheErrorStateUnchangedBeside) {
  SetProgramName("qlmr-pak");
  ReportError(ERR_ACCESS, "File=%s, WinErr=%d", "x.pak", ENOENT);
  EXPECT_EQ(FailureSentence("cannot open", "x.pak"),
            "qlmr-pak: cannot open 'x.pak': " + SystemErrorText(ENOENT) +
                " [ERR_ACCESS 3: File=x.pak, WinErr=2]");
  // The file from the message when the caller names none; names shown in
  // UTF-8 with this system's separators.
  std::string folder = Utf8ToCp936("游戏\\data");
  ReportError(ERR_ACCESS, "Path=%s, WinErr=%d", folder.c_str(), EACCES);
#if defined(_WIN32)
  const std::string shown = "游戏\\data";
#else
  const std::string shown = "游戏/data";
#endif
  EXPECT_EQ(FailureSentence("cannot list", ""),
            "qlmr-pak: cannot list '" + shown + "': " + SystemErrorText(EACCES) +
                " [ERR_ACCESS 3: Path=" + shown + ", WinErr=13]");
  // An empty message still gets a cause.
  ReportError(ERR_MODE, "");
  EXPECT_EQ(
      FailureSentence("cannot read", "x.pak"),
      std::string("qlmr-pak: cannot read 'x.pak': ") + ErrorCodeWords(ERR_MODE) + " [ERR_MODE 7]");
  ReportError(ERR_BAD_DATA, "");
  EXPECT_EQ(FailureSentence("cannot open", "p", "it is not a patch package"),
            "qlmr-pak: cannot open 'p': it is not a patch package [ERR_BAD_DATA 2]");
  // The encoder's refusal of data that does not compress, by any command.
  ReportError(ERR_CODEC, "LZMA compress[3]");
  EXPECT_TRUE(LastErrorIsIncompressibleData());
  EXPECT_EQ(FailureSentence("cannot convert", "p"),
            "qlmr-pak: cannot convert 'p': its encoding would be larger than the codec allows: it "
            "does not compress [ERR_CODEC " +
                std::to_string(ERR_CODEC) + ": LZMA compress[3]]");
  ReportError(ERR_CODEC, "LZMA compress[1]");
  EXPECT_FALSE(LastErrorIsIncompressibleData());
#if defined(_WIN32)
  // FormatMessage's sentence ("The system cannot find the file specified.\r\n"
  // on Windows, another under Wine) in the form of the others.
  std::string text = SystemErrorText(2);
  EXPECT_NE(text, "error 2");
  EXPECT_TRUE(text[0] >= 'a' && text[0] <= 'z') << text;
  EXPECT_EQ(text.find_first_of(".\r\n"), std::string::npos) << text;
#else
  EXPECT_EQ(SystemErrorText(ENOENT), "no such file or directory");
#endif
}

TEST(ToolLayerTest, TypedNamesBecomeTheSystemsForm) {
  EXPECT_EQ(SystemPath("数据/说明.txt"), Utf8ToCp936("数据\\说明.txt"));
  EXPECT_EQ(SystemPath("a/b\\c"), "a\\b\\c");
  EXPECT_EQ(SystemPath("-"), "-");
  // 乗 is 0x81 0x5C in code page 936: its trail byte stays as it is.
  std::string trail = SystemPath("乗/x");
  EXPECT_EQ(trail, std::string("\x81\x5C\\x"));
  EXPECT_EQ(ShownName(trail), "乗\\x");
}

TEST(ToolLayerTest, TheClosestCommandsOfAMisspelling) {
  const std::vector<std::string> commands = {"create", "add",  "add-tree", "rm",     "ls",
                                             "cat",    "info", "verify",   "repair", "extract"};
  struct Case {
    const char* typed;
    std::vector<std::string> closest;
  } cases[] = {
      {"lst", {"ls"}},        {"sl", {"ls"}}, {"ad", {"add"}},          {"addtree", {"add-tree"}},
      {"veryfy", {"verify"}}, {"xyzzy", {}},  {"c", {"cat", "create"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(ClosestCommands(c.typed, commands), c.closest);
  }
}

TEST(ToolLayerTest, TheProgressLineNamesThePhaseAndCountsBytes) {
  const uint64_t mib = 1024 * 1024;
  EXPECT_EQ(FormatProgress("compress", 0, 100 * mib, 0, ProgressUnit::kBytes),
            "compress  0 B of 100.0 MiB  0%");
  EXPECT_EQ(FormatProgress("compress", 50 * mib, 100 * mib, 10, ProgressUnit::kBytes),
            "compress  50.0 MiB of 100.0 MiB  50%  5.0 MiB/s  0:10 left");
  EXPECT_EQ(FormatProgress("store", 290 * mib, 290 * mib, 100, ProgressUnit::kBytes),
            "store  290.0 MiB of 290.0 MiB  100%  2.9 MiB/s");
  EXPECT_EQ(FormatProgress("compress", 1 * mib, 4000 * mib, 60, ProgressUnit::kBytes),
            "compress  1.0 MiB of 3.9 GiB  0%  17.1 KiB/s  66:39:00 left");
  EXPECT_EQ(FormatProgress("apply", 3, 10, 2, ProgressUnit::kItems),
            "apply  3 of 10 files  30%  1.5 files/s  0:05 left");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
}

TEST(ToolLayerTest, JsonNamesHaveOneForm) {
  EXPECT_EQ(JsonName(Utf8ToCp936("Data\\说明.txt")), "Data/说明.txt");
  EXPECT_EQ(JsonName(std::string("\x81\x5C\\x")), "乗/x");
  EXPECT_EQ(JsonName("data/item.pak"), "data/item.pak");
}

}  // namespace
}  // namespace tools
}  // namespace qlmr
