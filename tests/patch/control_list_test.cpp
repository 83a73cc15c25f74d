#include "patch/control_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/path.h"

namespace qlmr {
namespace {

struct ParseCase {
  const char* label;
  std::string text;
  // Expected entries as "op|pack|file|type|size" in text order.
  std::vector<std::string> entries;
};

std::string Describe(const PatchEntry& e) {
  return std::to_string(e.op) + "|" + e.packName + "|" + e.fileName + "|" +
         std::to_string(e.compressType) + "|" + std::to_string(e.contentSize);
}

TEST(ParseControlListTest, Cases) {
  const ParseCase cases[] = {
      {"four fields skipped, five read", "0||a|0\r\n0||b|0|0\r\n", {"0||b|0|0"}},
      {"sixth field ignored", "0|p.pak|x|2|00001A2C|junk|more", {"0|p.pak|x|2|6700"}},
      {"line ending in | has an empty fifth field", "1||gone.txt|0|", {"1||gone.txt|0|0"}},
      {"CR, LF and mixes all end lines; empty lines skipped",
       "\r\n\n0||a|0|0\r0||b|0|0\n\r\n\r\r0||c|0|0",
       {"0||a|0|0", "0||b|0|0", "0||c|0|0"}},
      {"only line ends", "\r\n\r\n\n\r", {}},
      {"text after a zero byte is ignored",
       std::string("0||a|0|0\n0||b|0|0\0\n0||c|0|0", 26),
       {"0||a|0|0", "0||b|0|0"}},
      {"blanks kept in names, skipped by the numbers",
       " 1| p.pak | f |  3 |  ff",
       {"1| p.pak | f |3|255"}},
      {"numbers read as atoi and %08X",
       "x1|||-2|zz\n7abc|||+3|123456789",
       {"0|||-2|0", "7|||3|305419896"}},
      {"hex of either case", "0|||0|aBcD", {"0|||0|43981"}},
      {"numbers beyond 32 bits saturate instead of wrapping",
       "4294967297|||4294967299|0\n-4294967297|||-99999999999|0",
       {"2147483647|||2147483647|0", "-2147483648|||-2147483648|0"}},
  };
  for (const ParseCase& c : cases) {
    std::vector<std::string> got;
    for (const PatchEntry& e : ParseControlList(c.text.c_str())) got.push_back(Describe(e));
    EXPECT_EQ(got, c.entries) << c.label;
  }
}

TEST(SafeNameTest, RefusesEveryFormThatCouldLeaveTheFolder) {
  const char* unsafe[] = {
      "",  // the folder itself
      "..",
      "..\\x.dll",
      "a\\..\\..\\x.dll",
      "a/../../x.dll",
      "a\\..",
      "\\",
      "/",
      "\\\\",
      "\\\\server\\share\\x",
      "//server/share/x",
      "\\/server\\x",
      "/\\server\\x",
      "\\..\\x.dll",
      "/a/../../x.dll",
      "\\C:\\x.dll",
      "\\nul",
      "C:\\x.dll",
      "c:x.dll",
      "a\\b:stream",
      "CON",
      "nul.txt",
      "a\\Com1",
      "lpt9.log",
      "conout$",
      "a.\\b",
      "a \\b",
      "b.",
      "b ",
      ".",
      "a\\.\\b",
      // A double-byte character whose trail byte is a backslash does not
      // hide a ".." that follows it.
      "\xb1\\..\\x",
      // Bytes Windows refuses in names, also as a trail byte.
      "a\x01b",
      "a\tb",
      "\xb1\x1f",
  };
  for (const char* name : unsafe) EXPECT_FALSE(IsSafeRelativeName(name)) << name;

  const char* safe[] = {
      "a.txt",
      "bin\\client.dll",
      "data/item.pak",
      ".ver",
      "a\\\\b",
      "..a",
      "a..b",
      "com10",
      "console.txt",
      "nul_file",
      "\xb1\xed\\\xca\xfd.txt",
      "\x95\\x",  // trail byte 0x5C: one component, no separator
      // One leading separator is dropped by the join: still below the folder.
      "\\bin\\a.txt",
      "/bin/a.txt",
      "\\windows\\x.dll",
      "/etc/passwd",
      "\\.ver",
  };
  for (const char* name : safe) EXPECT_TRUE(IsSafeRelativeName(name)) << name;
}

TEST(SafeNameTest, ChecksLooseFileNamesAndPackNamesButNotStoredNames) {
  std::vector<PatchEntry> entries = ParseControlList(
      "0||ok.txt|0|0\n"
      "0|data\\item.pak|..\\stored\\name|2|10\n"  // a name inside a pack: not a path
      "0|..\\evil.pak|x|0|0\n");
  const std::string* found = FindUnsafeName(entries);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, "..\\evil.pak");
  entries.pop_back();
  EXPECT_EQ(FindUnsafeName(entries), nullptr);
  entries.push_back(ParseControlList("1||C:\\boot.ini|0|0")[0]);
  ASSERT_NE(FindUnsafeName(entries), nullptr);
  EXPECT_EQ(*FindUnsafeName(entries), "C:\\boot.ini");
}

PatchTables Merge(const char* text) {
  PatchTables tables;
  for (const PatchEntry& entry : ParseControlList(text)) MergeEntry(&tables, entry, "pak");
  return tables;
}

std::vector<std::string> Keys(const EntryTable& table) {
  std::vector<std::string> keys;
  for (const auto& item : table) keys.push_back(item.first + "=" + Describe(item.second));
  return keys;
}

TEST(MergeEntryTest, LaterLineWinsAcrossCaseAndSlashForms) {
  PatchTables tables = Merge("0||Data\\A.txt|0|0\n1||data/a.TXT|0|0\n");
  EXPECT_EQ(Keys(tables.looseEntries), std::vector<std::string>{"data/a.txt=1||data/a.TXT|0|0"});

  tables = Merge("0|Data\\Item.pak|Icons\\A.tga|2|5\n1|data/item.PAK|icons/a.tga|0|0\n");
  ASSERT_EQ(tables.packEntries.size(), 1u);
  EXPECT_EQ(Keys(tables.packEntries.at("data/item.pak")),
            std::vector<std::string>{"icons/a.tga=1|data/item.PAK|icons/a.tga|0|0"});
}

TEST(MergeEntryTest, WholePackLineDropsEarlierLinesOfThatPackOnly) {
  PatchTables tables = Merge(
      "0|data\\item.pak|a|0|0\n"
      "0|data\\other.pak|b|0|0\n"
      "0||Data\\Item.PAK|0|0\n"  // any letter case of the extension
      "0|data\\item.pak|c|0|0\n");
  EXPECT_EQ(Keys(tables.looseEntries),
            std::vector<std::string>{"data/item.pak=0||Data\\Item.PAK|0|0"});
  ASSERT_EQ(tables.packEntries.size(), 2u);
  EXPECT_EQ(tables.packEntries.at("data/item.pak").size(), 1u);
  EXPECT_EQ(tables.packEntries.at("data/item.pak").count("c"), 1u);
  EXPECT_EQ(tables.packEntries.at("data/other.pak").size(), 1u);

  // The other order keeps both.
  tables = Merge("0||data\\item.pak|0|0\n0|data\\item.pak|a|0|0\n");
  EXPECT_EQ(tables.looseEntries.size(), 1u);
  EXPECT_EQ(tables.packEntries.at("data/item.pak").size(), 1u);
}

TEST(MergeEntryTest, TablesIterateInByteOrderOfNormalizedNames) {
  PatchTables tables = Merge(
      "0||b.txt|0|0\n0||\xb1\xed.txt|0|0\n0||.ver|0|0\n0||A.txt|0|0\n0||_x|0|0\n0||Z\\a|0|0\n");
  std::vector<std::string> order;
  for (const auto& item : tables.looseEntries) order.push_back(item.first);
  // Plain unsigned bytes: '.' 0x2E, '_' 0x5F, letters, then lead bytes 0x81 and up.
  EXPECT_EQ(order,
            (std::vector<std::string>{".ver", "_x", "a.txt", "b.txt", "z/a", "\xb1\xed.txt"}));
}

}  // namespace
}  // namespace qlmr
