#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/terminal/keys.h"
#include "app/terminal/screen.h"
#include "base/platform.h"
#include "res/resource.h"
#include "res/strings.h"

namespace qlmr {
namespace {

TEST(ParseKeyTest, TerminalKeysAndInputLines) {
  struct Case {
    std::string input;
    bool terminal;
    Key key;
  } cases[] = {
      {"\r", true, Key::kEnter},    {"\n", true, Key::kEnter},   {"q", true, Key::kQuit},
      {"Q", true, Key::kQuit},      {"r", true, Key::kRetry},    {"f", true, Key::kForce},
      {"\x1b", true, Key::kNone},    // Escape
      {"\x03", true, Key::kNone},    // Ctrl+C
      {"\x1b[A", true, Key::kNone},  // an arrow key
      {"s", true, Key::kNone},      {"", false, Key::kEnter},    {"  ", false, Key::kEnter},
      {"q", false, Key::kQuit},     {" F ", false, Key::kForce}, {"r", false, Key::kRetry},
      {"quit", false, Key::kNone},  {"\x1b", false, Key::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseKey(c.input, c.terminal), c.key) << "[" << c.input << "] " << c.terminal;
  }
}

// Whatever one read of the terminal gives, each key counts once: a paste
// ending in Enter submits, three Backspaces delete three characters.
TEST(KeySplitterTest, EachKeyOfARead) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    std::vector<std::string> keys;
  } cases[] = {
      {"letters", {"qrf"}, {"q", "r", "f"}},
      {"three Backspaces", {"\x7f\x7f\x7f"}, {"\x7f", "\x7f", "\x7f"}},
      {"a pasted path and Enter", {"/g/x\n"}, {"/", "g", "/", "x", "\n"}},
      {"Chinese characters", {"中文"}, {"中", "文"}},
      {"a character cut between reads",
       {"a\xe4\xb8",
        "\xad"
        "b"},
       {"a", "中", "b"}},
      {"a four-byte character", {"\xf0\x9f\x98\x80!"}, {"\xf0\x9f\x98\x80", "!"}},
      {"arrow keys", {"\x1b[A\x1b[B"}, {"\x1b[A", "\x1b[B"}},
      {"a sequence cut between reads", {"\x1b[1;5", "Cq"}, {"\x1b[1;5C", "q"}},
      {"a sequence cut after its introducer", {"x\x1b[", "A"}, {"x", "\x1b[A"}},
      {"a lone Escape", {"\x1b"}, {"\x1b"}},
      {"F1", {"\x1bOPr"}, {"\x1bOP", "r"}},
      {"Alt and a letter", {"\x1bq"}, {"\x1bq"}},
      {"a sequence broken by Enter", {"\x1b[\n"}, {"\x1b[", "\n"}},
      {"control bytes", {"\x03\x1a\r"}, {"\x03", "\x1a", "\r"}},
      {"stray bytes",
       {"\xff\x80"
        "a\xe4\xb8"
        "z"},
       {"\xff", "\x80", "a", "\xe4", "\xb8", "z"}},
  };
  for (const Case& c : cases) {
    KeySplitter splitter;
    std::vector<std::string> keys;
    for (const std::string& read : c.reads) splitter.Feed(read, &keys);
    EXPECT_EQ(keys, c.keys) << c.name;
  }
}

// A terminal `columns` wide that plays what the screen writes: text (wide
// characters take two columns; a character that does not fit goes to the
// next row), CR, LF (as CR LF), cursor up, erase below, attributes.
class FakeTerminal {
 public:
  explicit FakeTerminal(int columns) : columns_(columns) {}

  void Write(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size();) {
      auto c = static_cast<unsigned char>(bytes[i]);
      if (c == 0x1B) {
        size_t end = bytes.find_first_of("ABCDJKm", i);
        ASSERT_NE(end, std::string::npos);
        int count = end > i + 2 ? atoi(bytes.substr(i + 2, end - i - 2).c_str()) : 1;
        if (bytes[end] == 'A') row_ = std::max(0, row_ - std::max(count, 1));
        if (bytes[end] == 'J') {
          rows_.resize(static_cast<size_t>(row_) + 1);
          Row().resize(std::min<size_t>(Row().size(), static_cast<size_t>(column_)));
        }
        i = end + 1;
      } else if (c == '\r') {
        column_ = 0;
        ++i;
      } else if (c == '\n') {
        ++row_;
        column_ = 0;
        ++i;
      } else {
        ASSERT_GE(c, 0x20) << "a control byte reached the terminal";
        size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        int width = length >= 3 ? 2 : 1;  // the tests' wide characters are Chinese
        if (column_ + width > columns_) {
          ++row_;
          column_ = 0;
        }
        Put(bytes.substr(i, length), width);
        i += length;
      }
    }
  }

  // The screen's rows, each without its trailing blanks.
  std::vector<std::string> Rows() const {
    std::vector<std::string> text;
    for (const std::vector<std::string>& row : rows_) {
      std::string line;
      for (const std::string& cell : row) line += cell.empty() ? " " : cell;
      text.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    }
    return text;
  }

 private:
  std::vector<std::string>& Row() {
    if (rows_.size() <= static_cast<size_t>(row_)) rows_.resize(static_cast<size_t>(row_) + 1);
    return rows_[static_cast<size_t>(row_)];
  }
  void Put(const std::string& character, int width) {
    std::vector<std::string>& row = Row();
    if (row.size() < static_cast<size_t>(column_ + width)) row.resize(column_ + width);
    row[static_cast<size_t>(column_)] = character;
    if (width == 2) row[static_cast<size_t>(column_) + 1] = "\x01";  // taken by the left one
    column_ += width;
  }

  int columns_;
  int row_ = 0;
  int column_ = 0;
  std::vector<std::vector<std::string>> rows_;
};

// Every redraw replaces the picture before it, however narrow the terminal
// and whatever the texts hold: the title stays on screen once, and what the
// shell showed above the picture stays.
TEST(TerminalScreenTest, ARedrawCoversThePictureBeforeItOnAnyWidth) {
  const std::string title =
      Cp936ToUtf8(FormatText(IDS_WINDOW_TITLE, "CN.0.551.065", "CN.0.551.066"));
  // The local version text keeps the line end of ".ver".
  const std::string refused =
      Cp936ToUtf8(FormatText(IDS_VERSION_TOO_NEW, "CN.0.551.066", "CN.0.551.064\r\n"));
  for (int columns : {20, 33, 40, 52, 80, 120}) {
    SCOPED_TRACE("columns " + std::to_string(columns));
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    fputs("$ ./qlmr-update\n", out);
    TerminalScreen screen(out, true, columns);
    FakeTerminal terminal(columns);
    size_t played = 0;
    auto check = [&](const char* step) {
      fflush(out);
      terminal.Write(std::string(buffer + played, size - played));
      played = size;
      std::vector<std::string> rows = terminal.Rows();
      ASSERT_FALSE(rows.empty()) << step;
      EXPECT_EQ(rows[0], "$ ./qlmr-update") << step;
      int titles = 0;
      for (const std::string& row : rows) titles += row.rfind("== ", 0) == 0 ? 1 : 0;
      EXPECT_EQ(titles, 1) << step;
      EXPECT_EQ(rows.size() > 1 ? rows[1].substr(0, 3) : "", "== ") << step;
    };
    screen.SetTitle(TEXT_MAIN_CAPTION);
    check("caption");
    screen.SetTitle(title);
    check("title");
    screen.SetStatus(Cp936ToUtf8(LoadText(IDS_READING_VERSION)));
    screen.SetButtons(false, true, TEXT_EXIT_BUTTON);
    check("buttons");
    screen.SetStatus(refused);
    screen.SetFailed();
    check("a status with a line end");
    screen.ShowPrompt(Cp936ToUtf8(LoadText(IDS_CHOOSE_FOLDER)));
    std::string answer;
    for (char c : std::string("/home/player/games/Quelmar/client/")) {
      answer += c;
      screen.SetPromptAnswer(answer);
      check("typing");
    }
    screen.HidePrompt();
    check("prompt closed");
    screen.SetStatus(Cp936ToUtf8(FormatText(IDS_UPDATING_FILE, 8, 152)));
    screen.SetProgress(5);
    screen.ShowConflict();
    screen.SetConflictNote(Cp936ToUtf8(LoadText(IDS_RETRYING_WITHOUT_INPUT)));
    check("conflict");
    screen.HideConflict();
    screen.ShowMessageBox(Cp936ToUtf8(LoadText(IDS_BOX_CAPTION)),
                          Cp936ToUtf8(FormatText(IDS_UPDATED_TO, "CN.0.551.066")));
    check("message box");
    fclose(out);
    free(buffer);
  }
}

TEST(CaptionWithoutMnemonicTest, DropsTheAccessKey) {
  EXPECT_EQ(CaptionWithoutMnemonic("开始升级(&S)"), "开始升级");
  EXPECT_EQ(CaptionWithoutMnemonic("确定(&O)"), "确定");
  EXPECT_EQ(CaptionWithoutMnemonic("取消"), "取消");
  EXPECT_EQ(CaptionWithoutMnemonic("&Retry"), "Retry");
}

TEST(StringTableTest, TextsAreCodePage936) {
  for (int id = 103; id <= 125; ++id) EXPECT_FALSE(LoadText(id).empty()) << id;
  EXPECT_TRUE(LoadText(102).empty());
  EXPECT_TRUE(LoadText(126).empty());
  // 《Quelmar》 in code page 936.
  EXPECT_EQ(LoadText(IDS_BOX_CAPTION), "\xA1\xB6Quelmar\xA1\xB7");
  EXPECT_EQ(Cp936ToUtf8(LoadText(IDS_UPDATE_ERROR)), "更新错误(code=%d,%s)");
}

TEST(StringTableTest, FormattedTextsAreCutWithoutSplittingACharacter) {
  EXPECT_EQ(Cp936ToUtf8(FormatText(IDS_UPDATE_ERROR, 5, "winErr: 13")),
            "更新错误(code=5,winErr: 13)");
  // "更新错误(code=5," is 16 bytes; a message of double-byte characters
  // then reaches the cut at 259 bytes in the middle of one.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xCE\xC4";  // 文
  std::string text = FormatText(IDS_UPDATE_ERROR, 5, wide.c_str());
  EXPECT_EQ(text.size(), 258u);
  EXPECT_EQ(text.substr(16), wide.substr(0, 242));
  // A single-byte tail is cut at 259.
  std::string narrow(400, 'x');
  EXPECT_EQ(FormatText(IDS_UPDATE_ERROR, 5, narrow.c_str()).size(), 259u);
}

}  // namespace
}  // namespace qlmr
