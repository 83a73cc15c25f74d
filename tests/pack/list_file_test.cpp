#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/crc.h"
#include "base/file_util.h"
#include "pack/pack_archive.h"
#include "pack/pack_list_file.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

TEST(PackListFileTest, ParsesByKeyAndSerializesInKeyOrder) {
  PackListFile list;
  list.Parse(
      "Title kept\r\n9\r\nc|1|2\r\nA\\B|0000000A|DEADBEEF\r\nbroken line\n(list)|1|2\n"
      "a|b|00000001|00000002\n\nC|00000003|00000004\n");
  EXPECT_EQ(list.droppedLines(), 4u) << "too few or many fields, the list itself, an empty line";
  EXPECT_EQ(list.Serialize(), "Title kept\n2\nA\\B|0000000A|DEADBEEF\nC|00000003|00000004\n")
      << "the later line of key c replaces the earlier one";
  ASSERT_NE(list.Lookup("a/b"), nullptr);
  EXPECT_EQ(list.Lookup("a/b")->crc, 0xDEADBEEFu);
  EXPECT_EQ(list.Lookup("b"), nullptr);

  EXPECT_TRUE(list.Put({"a/b", 5, 6}));
  EXPECT_TRUE(list.Remove("c"));
  EXPECT_FALSE(list.Remove("C"));
  EXPECT_TRUE(list.Put({"\xB5\xD8\\z", 7, 8}));  // sorts after ASCII by its bytes
  EXPECT_EQ(list.Serialize(),
            "Title kept\n2\na/b|00000005|00000006\n\xB5\xD8\\z|00000007|00000008\n");
}

TEST(PackListFileTest, RefusesNamesVerifyCannotReadBack) {
  const std::string longest(kPackListMaxLineLength - PackListLineLength(0), 'n');
  struct Case {
    std::string name;
    bool listable;
  } cases[] = {
      {"a", true},
      {"\xB5\xD8\\a", true},
      {longest, true},  // a line of exactly 1,038 bytes
      {longest + "n", false},
      {"", false},
      {"a|b", false},
      {"\x81|", false},  // a trail byte the verifier would split at
      {"a\rb", false},
      {"a\nb", false},
      {"(LIST)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.size() > 40 ? std::to_string(c.name.size()) + " bytes" : c.name);
    ReportError(ERR_NONE, "");
    PackListFile list;
    EXPECT_EQ(list.Put({c.name, 1, 2}), c.listable);
    EXPECT_EQ(list.size(), c.listable ? 1u : 0u);
    EXPECT_EQ(LastErrorCode(), c.listable ? ERR_NONE : ERR_INVALID);
  }
  EXPECT_EQ(PackListLineLength(longest.size()), 1038u);
}

TEST(PackListFileTest, ChecksEveryLineOfAForeignList) {
  const std::string fits(1038, 'x');
  EXPECT_TRUE(CheckPackListText("t\n1\n" + fits + "\r\n"));
  EXPECT_TRUE(CheckPackListText("t\n1\n" + fits));
  EXPECT_FALSE(CheckPackListText("t\n1\n" + fits + "x\n"));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_STREQ(LastErrorMessage(), "(list) line 3: 1039 bytes, at most 1038");
}

// The limit writers keep is the one Verify reads back: a list line of
// 1,038 bytes passes, one of 1,039 does not.
TEST(PackListFileTest, TheWritersLimitIsWhatVerifyReads) {
  TempDir dir;
  for (size_t lineLength : {size_t{1038}, size_t{1039}}) {
    SCOPED_TRACE(lineLength);
    const std::string name(lineLength - PackListLineLength(0), 'v');
    uint32_t crc = 0;
    BufferCrc("a", 1, &crc);
    PackListFile list;
    list.Put({"short", 1, crc});
    // Put refuses the long name, so its line is written by hand.
    char fields[24];
    snprintf(fields, sizeof fields, "|00000001|%08X\n", crc);
    std::string text = list.Serialize() + name + fields;
    text.replace(text.find("\n1\n"), 3, "\n2\n");
    std::string path = dir.Join("v.pak");
    MakeArchiveOrDie(path, {{"short", "a"}, {name, "a"}, {"(list)", text}});
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(path.c_str(), true));
    bool passed = archive->Verify(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(passed, lineLength == 1038) << LastErrorMessage();
    if (!passed) {
      EXPECT_STREQ(LastErrorMessage(), "list file second line=0");
    }
  }
}

}  // namespace
}  // namespace qlmr
