#include <gtest/gtest.h>

#include <string>

#include "app/terminal/keys.h"
#include "app/terminal/screen.h"
#include "base/platform.h"
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
