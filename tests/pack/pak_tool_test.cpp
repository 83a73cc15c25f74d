// qlmr-pak run as a user runs it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_run.h"
#include "tools/json_output.h"
#include "tools/progress.h"

namespace qlmr {
namespace {

using namespace testing_support;

std::string CrcHex(const std::string& content) {
  uint32_t crc = 0;
  if (!content.empty()) BufferCrc(content.data(), static_cast<uint32_t>(content.size()), &crc);
  char text[9];
  snprintf(text, sizeof text, "%08X", crc);
  return text;
}

// `prefix` and four bytes chosen so that the whole has the CRC `wanted`.
// Each step's table entry is fixed by the top byte of the state it leads to,
// so the entries are found backwards from the wanted state and the bytes
// that select them forwards. The entries' top bytes are all different, so
// each search finds one.
std::string ContentWithCrc(const std::string& prefix, uint32_t wanted) {
  uint32_t entry[4];
  uint32_t state = ~wanted;
  for (int step = 3; step >= 0; --step) {
    uint32_t index = 0;
    while (index < 255 && (CrcTable[index] >> 24) != (state >> 24)) ++index;
    entry[step] = index;
    state = (state ^ CrcTable[index]) << 8;
  }
  state = CrcUpdate(kCrcInit, prefix.data(), prefix.size());
  std::string content = prefix;
  for (uint32_t index : entry) {
    const char selector = static_cast<char>((index ^ state) & 0xFF);
    content += selector;
    state = CrcUpdate(state, &selector, 1);
  }
  return content;
}

class PakToolTest : public ::testing::Test {
 protected:
  // Runs qlmr-pak with `args` (shell words) in the test folder; its output
  // goes to `outPath` if given (and is then not read back).
  ToolRun Pak(const std::string& args, const std::string& outPath = "") {
    return RunTool(QLMR_PAK_BIN, args, dir_.path(), "", outPath);
  }
  // The `ls` row of a file stored as is; `listed` says whether its CRC comes
  // from the list file.
  std::string Line(const std::string& name, const std::string& content, bool listed = true) {
    char row[64];
    snprintf(row, sizeof row, "%10zu %10zu %4d %-8s ", content.size(), content.size(), 0,
             listed ? CrcHex(content).c_str() : "-");
    return row + name + "\n";
  }
  TempDir dir_;
};

TEST_F(PakToolTest, FillListReadAndVerify) {
  const std::string one = "hello\n";
  const std::string big = RandomBytes(1, 70000);
  WriteFileOrDie(dir_.Join("one.txt"), one);
  WriteFileOrDie(dir_.Join("tree\\Sub\\B.bin"), big);
  WriteFileOrDie(dir_.Join("tree\\a.txt"), "a");

  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 0 files\n") << "an empty archive has a list";
  EXPECT_EQ(tools::Json::parse(Pak("verify --json x.pak").out),
            tools::Json({{"ok", true}, {"archive", "x.pak"}, {"files", 0}}));
  ASSERT_EQ(Pak("add x.pak 'Data\\One.txt=one.txt'").exitCode, 0);
  ToolRun tree = Pak("add-tree x.pak tree");
  ASSERT_EQ(tree.exitCode, 0) << tree.err;
  EXPECT_EQ(tree.err, "") << "no progress bar without a terminal";

  // The list in key order; the listing in slot order: "sub/b.bin",
  // "data/one.txt", "a.txt", then "(list)".
  std::string list = "qlmr-pak list\n3\na.txt|00000001|" + CrcHex("a") +
                     "\nData\\One.txt|00000006|" + CrcHex(one) + "\nSub\\B.bin|00011170|" +
                     CrcHex(big) + "\n";
  std::map<uint32_t, std::string> by_slot = {
      {PackNameHash(3, "data/one.txt") % kPackHashSlotCount, Line("Data\\One.txt", one)},
      {PackNameHash(3, "sub/b.bin") % kPackHashSlotCount, Line("Sub\\B.bin", big)},
      {PackNameHash(3, "a.txt") % kPackHashSlotCount, Line("a.txt", "a")},
      {32636, Line("(list)", list, false)}};
  std::string expected_ls = "   content     stored type crc      name\n";
  for (const auto& line : by_slot) expected_ls += line.second;
  ToolRun ls = Pak("ls x.pak");
  EXPECT_EQ(ls.exitCode, 0);
  EXPECT_EQ(ls.out, expected_ls);
  // The same listing for scripts: one object per row of the plain form, in
  // its order, names with forward slashes.
  ToolRun json = Pak("ls --json x.pak");
  EXPECT_EQ(json.exitCode, 0);
  tools::Json listing = tools::Json::parse(json.out);
  EXPECT_EQ(listing["ok"], true);
  ASSERT_EQ(listing["files"].size(), 4u) << json.out;
  EXPECT_EQ(listing["files"][0], tools::Json({{"name", "Data/One.txt"},
                                              {"contentSize", one.size()},
                                              {"storedSize", one.size()},
                                              {"type", 0},
                                              {"compression", "stored"},
                                              {"crc", CrcHex(one)}}))
      << json.out;

  ToolRun verify = Pak("verify x.pak");
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_EQ(verify.out, "ok: 3 files\n");
  EXPECT_EQ(Pak("cat x.pak data/one.txt").out, one);

  ASSERT_EQ(Pak("extract x.pak out").exitCode, 0);
  EXPECT_EQ(ReadFileOrEmpty(dir_.Join("out\\Data\\One.txt")), one);
  EXPECT_EQ(ReadFileOrEmpty(dir_.Join("out\\Sub\\B.bin")), big);
  EXPECT_EQ(ReadFileOrEmpty(dir_.Join("out\\(list)")), list);

  ToolRun info = Pak("info x.pak");
  EXPECT_NE(info.out.find("writeFlag\t0\nhashTableOffset\t40\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("files\t4\nlisted\t3\n"), std::string::npos) << info.out;
}

TEST_F(PakToolTest, CompressedTypesAreEncodedListedAndDecoded) {
  std::string text;
  while (text.size() < 600000) text += "a line of text that repeats itself\n";
  WriteFileOrDie(dir_.Join("text.txt"), text);
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  for (int type = 1; type <= 3; ++type) {
    std::string name = "t" + std::to_string(type);
    ToolRun add = Pak("add --type " + std::to_string(type) + " x.pak " + name + "=text.txt");
    ASSERT_EQ(add.exitCode, 0) << add.err;
    EXPECT_EQ(Pak("cat x.pak " + name).out, text) << type;
  }
  ToolRun ls = Pak("ls --check x.pak");
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  for (int type = 1; type <= 3; ++type) {
    size_t end = ls.out.find(" ok       t" + std::to_string(type) + "\n");
    ASSERT_NE(end, std::string::npos) << ls.out;
    size_t at = ls.out.rfind('\n', end) + 1;
    unsigned content = 0, stored = 0, shown_type = 0;
    char crc[9] = {};
    ASSERT_EQ(sscanf(ls.out.c_str() + at, "%u %u %u %8s", &content, &stored, &shown_type, crc), 4);
    EXPECT_EQ(content, text.size());
    EXPECT_EQ(shown_type, static_cast<unsigned>(type));
    EXPECT_EQ(crc, CrcHex(text)) << "the CRC of the decoded content";
    if (type == 1) {
      EXPECT_EQ(stored, content) << "a masked copy keeps its length";
    } else {
      EXPECT_LT(stored, content / 10) << "LZO and LZMA compress this text";
    }
  }
  ToolRun verify = Pak("verify x.pak");
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_EQ(verify.out, "ok: 3 files\n");
  ToolRun unknown = Pak("add --type 7 x.pak t7=text.txt");
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(ErrorState(unknown.err), "ERR_NO_CODEC 18: CompressType=7");
}

TEST_F(PakToolTest, RemoveKeepsTheListRight) {
  WriteFileOrDie(dir_.Join("f"), "data");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak a=f b=f C=f").exitCode, 0);
  ASSERT_EQ(Pak("rm x.pak A c").exitCode, 0);
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 1 files\n");
  ToolRun missing = Pak("rm x.pak b nope");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(ErrorState(missing.err), "ERR_NOT_FOUND 1: nope");
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 0 files\n") << "what was removed is unlisted";
  // Replacing keeps one list entry.
  ASSERT_EQ(Pak("add x.pak a=f").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak A=f").exitCode, 0);
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 1 files\n");
}

TEST_F(PakToolTest, WithoutTheListUnlistedFilesShowAsSlots) {
  WriteFileOrDie(dir_.Join("f"), "x");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add --no-list x.pak hidden=f").exitCode, 0);
  char name[40];
  snprintf(name, sizeof name, "#%u/%08X/%08X", PackNameHash(3, "hidden") % kPackHashSlotCount,
           PackNameHash(1, "hidden"), PackNameHash(2, "hidden"));
  EXPECT_NE(Pak("ls x.pak").out.find(Line(name, "x", false)), std::string::npos);
  ToolRun verify = Pak("verify x.pak");
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(ErrorState(verify.err).rfind("ERR_BAD_DATA 2: unref hashnode(", 0), 0u) << verify.err;
  ToolRun json = Pak("verify --json x.pak");
  EXPECT_EQ(json.exitCode, 1);
  tools::Json document = tools::Json::parse(json.out);
  EXPECT_EQ(document["ok"], false);
  EXPECT_EQ(document["archive"], "x.pak");
  EXPECT_EQ(document["error"]["code"], 2);
  EXPECT_EQ(document["error"]["message"].get<std::string>().rfind("unref hashnode(", 0), 0u)
      << json.out;
  ASSERT_EQ(Pak("extract x.pak out").exitCode, 0);
  std::string unlisted = std::string(name + 1);
  for (char& c : unlisted) c = c == '/' ? '-' : c;
  EXPECT_EQ(ReadFileOrEmpty(dir_.Join("out\\(unlisted)\\" + unlisted)), "x");
}

TEST_F(PakToolTest, ExtractWritesNoNameThatLeavesItsFolderOrIsNoFileOnWindows) {
  WriteFileOrDie(dir_.Join("f"), "x");
  for (const char* name : {"..\\escape", "NUL", "sub\\com1.txt", "a.", "a \\b", "c:x"}) {
    SCOPED_TRACE(name);
    RemoveFileAt(dir_.Join("x.pak").c_str());
    ASSERT_EQ(Pak("create x.pak").exitCode, 0);
    ASSERT_EQ(Pak(std::string("add x.pak '") + name + "=f'").exitCode, 0);
    ToolRun extract = Pak("extract x.pak out");
    EXPECT_EQ(extract.exitCode, 1);
    std::string shown = name;  // messages show the separators of the system
    for (char& c : shown) c = c == '\\' ? '/' : c;
    EXPECT_EQ(ErrorState(extract.err), "ERR_INVALID 10: name=" + shown + " (leaves the folder)");
  }
  EXPECT_FALSE(PathExists(dir_.Join("escape").c_str()));
}

TEST_F(PakToolTest, ExtractNeverWritesOverTheArchiveItReads) {
  WriteFileOrDie(dir_.Join("f"), "x");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak 'X.PAK=f'").exitCode, 0);
  std::string before = ReadFileOrEmpty(dir_.Join("x.pak"));
  ToolRun extract = Pak("extract x.pak .");
  EXPECT_EQ(extract.exitCode, 1);
  EXPECT_EQ(ErrorState(extract.err), "ERR_INVALID 10: name=X.PAK (the archive itself)");
  EXPECT_TRUE(ReadFileOrEmpty(dir_.Join("x.pak")) == before) << "the archive changed";
  EXPECT_EQ(Pak("verify x.pak").exitCode, 0);
}

TEST_F(PakToolTest, UsageAndFailures) {
  EXPECT_EQ(Pak("").exitCode, 2);
  EXPECT_EQ(Pak("frobnicate x.pak").exitCode, 2);
  EXPECT_EQ(Pak("add x.pak missing-equals").exitCode, 2);
  EXPECT_EQ(Pak("add --type 300 x.pak a=f").exitCode, 2);
  EXPECT_EQ(Pak("--help").exitCode, 0);
  ToolRun absent = Pak("ls none.pak");
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_EQ(ErrorState(absent.err), "ERR_ACCESS 3: File=none.pak, WinErr=2") << absent.err;
  WriteFileOrDie(dir_.Join("f"), "x");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ToolRun list_name = Pak("add x.pak '(LIST)=f'");
  EXPECT_EQ(list_name.exitCode, 1);
  EXPECT_EQ(Pak("verify x.pak").exitCode, 0) << "the refused add left a good archive";
}

TEST_F(PakToolTest, OutputLostToAFullDiskFailsTheCommand) {
  if (!PathExists("/dev/full")) GTEST_SKIP() << "no device that is always full";
  WriteFileOrDie(dir_.Join("f"), "stored text\n");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak f=f").exitCode, 0);
  for (const char* command : {"cat x.pak f", "ls x.pak", "verify x.pak"}) {
    ToolRun run = Pak(command, "/dev/full");
    EXPECT_EQ(run.exitCode, 1) << command;
    EXPECT_EQ(ErrorState(run.err).rfind("ERR_WRITE 5: stdout, WinErr=", 0), 0u)
        << command << ": " << run.err;
  }
}

// Every source is checked before the archive changes, so a refusal leaves
// the archive byte for byte as it was.
TEST_F(PakToolTest, RefusedAddsLeaveTheArchiveUntouched) {
  const std::string longest(1038 - 18, 'n');  // its list line fills 1,038 bytes
  std::string text;
  while (text.size() < 5000) text += "text that LZMA shrinks ";
  WriteFileOrDie(dir_.Join("f"), "data");
  WriteFileOrDie(dir_.Join("text"), text);
  WriteFileOrDie(dir_.Join("noise"), RandomBytes(3, 200));  // LZMA's bound is too small for it
  WriteFileOrDie(dir_.Join("tree\\a"), "a");
  WriteFileOrDie(dir_.Join("tree\\b"), RandomBytes(3, 200));
  {
    // Sparse: 2 GiB on no disk space, one byte past what an archive can hold.
    File huge;
    ASSERT_TRUE(huge.Open(dir_.Join("huge").c_str(), FileMode::kCreate));
    ASSERT_TRUE(huge.WriteAt(0x7FFFFFFF, "x", 1));
  }
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak old=f").exitCode, 0);
  const std::string before = ReadFileOrEmpty(dir_.Join("x.pak"));
  struct Case {
    const char* what;
    std::string args;
    std::string error;  // the start of the error state the failure shows
  } cases[] = {
      {"a list line of 1,039 bytes", "add x.pak new=f " + longest + "n=f",
       "ERR_INVALID 10: its list line would be longer than 1038 bytes: name=nnnn"},
      {"the list's own name", "add x.pak new=f '(LIST)=f'",
       "ERR_INVALID 10: the list file's own name: name=(LIST)"},
      {"a missing second file", "add x.pak new=f other=missing",
       "ERR_ACCESS 3: File=missing, WinErr=2"},
      {"data LZMA refuses", "add --type 3 x.pak new=text noise=noise",
       "ERR_CODEC 19: File=noise, LZMA compress["},
      {"a tree with data LZMA refuses", "add-tree --type 3 x.pak tree", "ERR_CODEC 19: File=tree/"},
      {"a file larger than an archive holds", "add --type 0 x.pak new=f huge=huge",
       "ERR_NO_BLOCK 12: File=huge, size too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolRun run = Pak(c.args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ErrorState(run.err).rfind(c.error, 0), 0u) << run.err;
    EXPECT_TRUE(ReadFileOrEmpty(dir_.Join("x.pak")) == before) << "the archive changed";
  }
  ToolRun fits = Pak("add x.pak " + longest + "=f");
  EXPECT_EQ(fits.exitCode, 0) << fits.err;
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 2 files\n") << "a list line of 1,038 bytes verifies";
}

TEST_F(PakToolTest, CheckedListingFlagsFilesTheListMisdescribes) {
  WriteFileOrDie(dir_.Join("f"), "data");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ASSERT_EQ(Pak("add x.pak a=f b=f").exitCode, 0);
  ToolRun good = Pak("ls --check x.pak");
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_EQ(good.out.rfind("   content     stored type crc      check    name\n", 0), 0u)
      << good.out;
  EXPECT_NE(good.out.find(" ok       a\n"), std::string::npos) << good.out;
  EXPECT_NE(good.out.find(" list     (list)\n"), std::string::npos) << good.out;
  // Replace b behind the list's back.
  WriteFileOrDie(dir_.Join("g"), "other");
  ASSERT_EQ(Pak("add --no-list x.pak b=g c=g").exitCode, 0);
  ToolRun bad = Pak("ls --check x.pak");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find(" differs  b\n"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find(" unlisted #"), std::string::npos) << bad.out;
  EXPECT_EQ(ErrorState(bad.err), "ERR_BAD_DATA 2: 1 stored files differ from the list");
  EXPECT_NE(Pak("ls x.pak").out.find(" " + CrcHex("data") + " b\n"), std::string::npos)
      << "without --check the CRC is the listed one";
}

// A block that cannot be decoded is listed as such, not as differing, and
// the check goes on past it; a file whose CRC is 0xFFFFFFFF (the failure
// value of a CRC read) is still a good one.
TEST_F(PakToolTest, CheckedListingTellsUndecodableFilesFromDifferingOnes) {
  // Cut in half, random content's block fails as it is decoded; a run of
  // one byte's block is refused as it is opened, its claim being more than
  // what half its bytes can hold.
  struct Case {
    CompressionType type;
    std::string text;
  } cases[] = {
      {COMPRESS_LZO, RandomBytes(7, 4000)},
      {COMPRESS_LZMA, RandomBytes(7, 4000)},
      {COMPRESS_LZO, std::string(4000, 'x')},
  };
  WriteFileOrDie(dir_.Join("f"), "data");
  const std::string allOnes = ContentWithCrc("crc", 0xFFFFFFFFu);
  ASSERT_EQ(CrcHex(allOnes), "FFFFFFFF");
  WriteFileOrDie(dir_.Join("g"), allOnes);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << ", size " << c.text.size());
    RemoveFileAt(dir_.Join("x.pak").c_str());
    ASSERT_EQ(Pak("create x.pak").exitCode, 0);
    ASSERT_EQ(Pak("add x.pak a=f z=g").exitCode, 0);
    // Stored without the list, so the listing names it by its slot.
    std::string encoded = EncodeStored(c.type, c.text);
    ASSERT_GT(encoded.size(), 4u);
    encoded.resize(encoded.size() / 2);
    {
      auto archive = NewPackArchive();
      ASSERT_TRUE(archive->Open(dir_.Join("x.pak").c_str(), false)) << LastErrorMessage();
      ASSERT_TRUE(archive->AddFile(encoded.data(), static_cast<uint32_t>(encoded.size()), "b", true,
                                   true, c.type, static_cast<uint32_t>(c.text.size())))
          << LastErrorMessage();
    }
    ToolRun run = Pak("ls --check x.pak");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find(" ?        unreadable #"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" ok       a\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" FFFFFFFF ok       z\n"), std::string::npos) << run.out;
    EXPECT_EQ(ErrorState(run.err),
              "ERR_BAD_DATA 2: 1 stored files cannot be read, 0 differ from the list");
    ToolRun json = Pak("ls --check --json x.pak");
    EXPECT_EQ(json.exitCode, 1);
    tools::Json document = tools::Json::parse(json.out);
    EXPECT_EQ(document["ok"], false);
    size_t unreadable = 0;
    for (const tools::Json& file : document["files"]) {
      if (file["check"] == "unreadable") {
        ++unreadable;
        EXPECT_TRUE(file["crc"].is_null()) << json.out;
      }
    }
    EXPECT_EQ(unreadable, 1u) << json.out;
  }
}

// The row of `name` in a listing: content size, stored size and type.
struct Listed {
  unsigned content = 0, stored = 0, type = 99;
};
Listed RowOf(const std::string& listing, const std::string& name) {
  Listed row;
  size_t end = listing.find(" " + name + "\n");
  if (end == std::string::npos) return row;
  size_t at = listing.rfind('\n', end) + 1;
  sscanf(listing.c_str() + at, "%u %u %u", &row.content, &row.stored, &row.type);
  return row;
}

// Without --type the tool compresses with LZMA where that makes a file
// smaller and stores it as it is where it does not; a type asked for is
// obeyed.
TEST_F(PakToolTest, IncompressibleDataIsStoredAsItIsUnlessATypeIsAsked) {
  const std::string noise = RandomBytes(9, 1500000);
  std::string text;
  while (text.size() < 600000) text += "a line of text that repeats itself\n";
  WriteFileOrDie(dir_.Join("noise.bin"), noise);
  WriteFileOrDie(dir_.Join("text.txt"), text);
  WriteFileOrDie(dir_.Join("tiny"), "ab");
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  ToolRun add = Pak("add x.pak noise=noise.bin text=text.txt tiny=tiny");
  ASSERT_EQ(add.exitCode, 0) << add.err;
  ToolRun asked = Pak("add --type 3 x.pak noise3=noise.bin && " QLMR_PAK_BIN
                      " add --type 0 x.pak text0=text.txt");
  ASSERT_EQ(asked.exitCode, 0) << asked.err;
  std::string listing = Pak("ls x.pak").out;
  Listed plain = RowOf(listing, "noise");
  EXPECT_EQ(plain.type, 0u) << listing;
  EXPECT_EQ(plain.stored, noise.size()) << "no byte more than the data";
  Listed packed = RowOf(listing, "text");
  EXPECT_EQ(packed.type, 3u) << listing;
  EXPECT_LT(packed.stored, text.size() / 10);
  EXPECT_EQ(RowOf(listing, "tiny").type, 0u) << "too small for LZMA's own header";
  Listed obeyed = RowOf(listing, "noise3");
  EXPECT_EQ(obeyed.type, 3u) << listing;
  EXPECT_GT(obeyed.stored, noise.size());
  EXPECT_EQ(RowOf(listing, "text0").type, 0u) << listing;
  EXPECT_EQ(Pak("verify x.pak").out, "ok: 5 files\n");
  EXPECT_TRUE(Pak("cat x.pak noise").out == noise);
  EXPECT_TRUE(Pak("cat x.pak text").out == text);
}

// On a terminal the progress line names each phase and counts bytes; -q
// and a pipe see none.
TEST_F(PakToolTest, ProgressOnATerminalCountsBytesByPhase) {
  if (system("script --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no script(1) for a terminal";
  std::string text;
  while (text.size() < 400000) text += "progress text that LZMA shrinks well\n";
  WriteFileOrDie(dir_.Join("tree\\a.txt"), text);
  WriteFileOrDie(dir_.Join("tree\\b.bin"), RandomBytes(4, 100000));
  ASSERT_EQ(Pak("create x.pak").exitCode, 0);
  // script(1) runs the tool on a terminal of its own and copies it out.
  ToolRun shown =
      RunTool("script", "-qec '" QLMR_PAK_BIN " add-tree x.pak tree' /dev/null", dir_.path());
  EXPECT_EQ(shown.exitCode, 0) << shown.out;
  const std::string total = tools::FormatBytes(text.size() + 100000);
  EXPECT_NE(shown.out.find("\rcompress  0 B of " + total + "  0%"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("\rcompress  " + total + " of " + total + "  100%"), std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("\rstore  "), std::string::npos) << shown.out;
  ToolRun quiet =
      RunTool("script", "-qec '" QLMR_PAK_BIN " -q add-tree x.pak tree' /dev/null", dir_.path());
  EXPECT_EQ(quiet.exitCode, 0) << quiet.out;
  EXPECT_EQ(quiet.out.find('\r'), std::string::npos) << quiet.out;
}

}  // namespace
}  // namespace qlmr
