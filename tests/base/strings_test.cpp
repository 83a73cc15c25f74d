#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {
namespace {

struct SplitCase {
  const char* text;
  const char* delimiter;
  bool anyOf;
  bool skipEmpty;
  std::vector<std::string> tokens;
};

TEST(SplitStringTest, Table) {
  const SplitCase cases[] = {
      {"CN.0.551.065", ".", true, true, {"CN", "0", "551", "065"}},
      {".CN..0.", ".", true, true, {"CN", "0"}},
      {".CN..0.", ".", true, false, {"", "CN", "", "0", ""}},
      {"0||a.txt|0|", "|", true, false, {"0", "", "a.txt", "0", ""}},
      {"a\r\n\r\nb\rc\n", "\r\n", true, true, {"a", "b", "c"}},
      {"a\r\nb\r\n", "\r\n", false, false, {"a", "b", ""}},
      {"a\rb\r\nc", "\r\n", false, true, {"a\rb", "c"}},
      {"no separator", "|", true, false, {"no separator"}},
      {"\r\n\n\r", "\r\n", true, true, {}},
      {"", "|", true, false, {}},
  };
  for (const SplitCase& c : cases) {
    std::vector<std::string> tokens = {"stale"};
    int count = SplitString(c.text, &tokens, c.delimiter, c.anyOf, c.skipEmpty);
    EXPECT_EQ(tokens, c.tokens) << "text: " << c.text;
    EXPECT_EQ(count, static_cast<int>(c.tokens.size()));
  }
  std::vector<std::string> tokens = {"stale"};
  EXPECT_EQ(SplitString(nullptr, &tokens, "|", true, false), 0);
  EXPECT_TRUE(tokens.empty());
}

TEST(ParseDecimalTest, BehavesLikeAtoi) {
  EXPECT_EQ(ParseDecimal("065"), 65);
  EXPECT_EQ(ParseDecimal("065\n"), 65);
  EXPECT_EQ(ParseDecimal("  -12x"), -12);
  EXPECT_EQ(ParseDecimal("+7"), 7);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
}

// Out of range, the reading saturates as the C library's conversion does: a
// wrapped value could turn an unknown operation into a known one.
TEST(ParseDecimalTest, SaturatesOutOfRange) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"2147483647", INT32_MAX},  {"2147483648", INT32_MAX},
      {"4294967297", INT32_MAX},  {"  +99999999999999999999999|", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
      {"-4294967297", INT32_MIN}, {"0000000000000000000000000001", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << c.text;
}

TEST(ParseHex8Test, ReadsUpToEightDigitsOfEitherCase) {
  uint32_t value = 0;
  EXPECT_TRUE(ParseHex8("00001A2C", &value));
  EXPECT_EQ(value, 0x1A2Cu);
  EXPECT_TRUE(ParseHex8("00001a2c", &value));
  EXPECT_EQ(value, 0x1A2Cu);
  EXPECT_TRUE(ParseHex8("FFFFFFFF", &value));
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_TRUE(ParseHex8("123456789", &value));
  EXPECT_EQ(value, 0x12345678u);
  value = 5;
  EXPECT_FALSE(ParseHex8("xyz", &value));
  EXPECT_FALSE(ParseHex8("", &value));
  EXPECT_EQ(value, 5u);
}

}  // namespace
}  // namespace qlmr
