#include "update/carrier.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/run_folder.h"
#include "tests/support/test_util.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

constexpr uint32_t kOffset = 256;

std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// A carrier file: `before` bytes of program, padding to kOffset, then `block`.
std::string CarrierFile(const std::string& block, size_t program = 100) {
  return std::string(program, 'P') + std::string(kOffset - program, '\0') + block;
}

std::string Text(const std::string& text) { return Le32(text.size() + 1) + text + '\0'; }

TEST(ExtractEmbeddedPatchTest, CopiesEverythingAfterTheTextsIntoTheTemporaryFolder) {
  TempDir dir;
  // What follows the patch (a signing block, say) travels along with it.
  std::string data = testing_support::RandomBytes(7, 70000) + "SIGNATURE";
  WriteFileOrDie(dir.Join("updater"),
                 CarrierFile(Text("CN.0.551.065") + Text("CN.0.551.066") + data));
  EmbeddedPatch patch;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &patch));
  EXPECT_EQ(patch.fromVersionText, "CN.0.551.065");
  EXPECT_EQ(patch.toVersionText, "CN.0.551.066");
  EXPECT_EQ(patch.fromVersion.number, "00000.00551.00065");
  EXPECT_EQ(patch.toVersion.language, "CN");
  EXPECT_EQ(PathFileName(patch.patchPath), "ql-CN.0.551.065-CN.0.551.066.patch");
  EXPECT_EQ(ReadFileOrEmpty(patch.patchPath), data);
  // In a run folder of its own, which only this user may enter.
  std::string folder = PathFolder(patch.patchPath);
  EXPECT_EQ(PathFolder(folder), dir.path());
  EXPECT_TRUE(IsRunTempName(PathFileName(folder), "~qlmrPatch")) << folder;
  EXPECT_TRUE(IsOwnFolder(folder.c_str()));
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(folder, kRunFolderOwnerName)),
            std::to_string(CurrentProcessId()) + "\n");
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(stat(RuntimeFileName(folder.c_str()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
}

TEST(ExtractEmbeddedPatchTest, EachRunHasItsOwnFolderAndEarlierRunsLeftoversGo) {
  TempDir dir;
  WriteFileOrDie(dir.Join("updater"), CarrierFile(Text("CN.1") + Text("CN.2") + "new"));
  EmbeddedPatch first;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &first));
  // A run still going keeps its folder; the one of a run that ended goes.
  EmbeddedPatch second;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &second));
  EXPECT_NE(PathFolder(first.patchPath), PathFolder(second.patchPath));
  EXPECT_EQ(ReadFileOrEmpty(first.patchPath), "new");
  WriteFileOrDie(JoinPath(PathFolder(first.patchPath), kRunFolderOwnerName), "999999999\n");
  // The fixed folder of earlier versions is nobody's run folder: it stays.
  WriteFileOrDie(dir.Join("~qlmrPatch\\ql-CN.1-CN.2.patch"), "older version's");
  EmbeddedPatch third;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &third));
  EXPECT_FALSE(PathExists(PathFolder(first.patchPath).c_str()));
  EXPECT_EQ(ReadFileOrEmpty(second.patchPath), "new");
  EXPECT_EQ(ReadFileOrEmpty(third.patchPath), "new");
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("~qlmrPatch\\ql-CN.1-CN.2.patch")), "older version's");
}

TEST(ExtractEmbeddedPatchTest, Blocks) {
  struct Case {
    const char* name;
    std::string block;
    bool ok;
    const char* from;  // expected when ok
    const char* to;
  } cases[] = {
      {"nothing appended", "", false, "", ""},
      {"length field cut", std::string("\x05\x00", 2), false, "", ""},
      {"length 32", Le32(32) + std::string(32, 'C') + Text("CN.2") + "p", false, "", ""},
      {"huge length", Le32(0xFFFFFFFF) + "CN", false, "", ""},
      {"ends inside the first text", Le32(13) + "CN.0.5", false, "", ""},
      {"ends inside the second text", Text("CN.1") + Le32(13) + "CN", false, "", ""},
      {"second length missing", Text("CN.1"), false, "", ""},
      {"length 31 is allowed", Le32(31) + "CN.0.551.065" + std::string(19, '\0') + Text("CN.2"),
       true, "CN.0.551.065", "CN.2"},
      {"texts without zero byte", Le32(4) + "CN.1" + Le32(4) + "CN.2" + "data", true, "CN.1",
       "CN.2"},
      {"empty texts", Le32(0) + Le32(0), true, "", ""},
      {"no patch data", Text("CN.1") + Text("CN.2"), true, "CN.1", "CN.2"},
      {"a folder in a version", Text("..\\..\\x") + Text("CN.2"), false, "", ""},
      {"a slash in a version", Text("CN.1") + Text("a/b"), false, "", ""},
      {"a drive in a version", Text("C:x") + Text("CN.2"), false, "", ""},
      {"doubled dots in a version", Text("CN..0.551.065") + Text("CN.0.551..066"), true,
       "CN..0.551.065", "CN.0.551..066"},
      {"dots alone", Text("..") + Text("CN.2"), false, "", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFileOrDie(dir.Join("updater"), CarrierFile(c.block));
    EmbeddedPatch patch;
    bool ok = ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &patch);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (ok && c.ok) {
      EXPECT_EQ(patch.fromVersionText, c.from) << c.name;
      EXPECT_EQ(patch.toVersionText, c.to) << c.name;
      bool readable = false;
      ReadFileOrEmpty(patch.patchPath, &readable);
      EXPECT_TRUE(readable) << c.name;
    }
  }
}

// The one rule both the reader and the writer of the block apply.
TEST(VersionFileNameTest, RefusesExactlyWhatCouldLeaveTheFolder) {
  const struct {
    std::string text;
    bool safe;
  } cases[] = {
      {"CN.0.551.065", true},
      {"CN..0.551.065", true},
      {"..CN.1", true},
      {"CN.1..", true},
      {"", true},
      {"\x95\x5C.1", true},  // trail byte 0x5C: one character, no separator
      {"C N.1~!#$%&'()+,;=@[]^_`{}", true},
      {"\x80\xFF.1", true},
      {".", false},
      {"..", false},
      {"...", false},
      {"..\\x", false},
      {"CN/1", false},
      {"CN\\1", false},
      {"C:1", false},
      {"CN.1\n", false},
      {"CN\t1", false},
      {std::string("CN\0.1", 5), false},
      {"CN\x1F.1", false},
      {"CN\x7F.1", false},
      {"CN\x81\n.1", false},  // no character has a control byte for its second byte
  };
  for (const auto& c : cases) EXPECT_EQ(IsFileNameSafe(c.text), c.safe) << c.text;
}

TEST(WriteCarrierTest, DoubledDotsInAVersionAreAccepted) {
  TempDir dir;
  WriteFileOrDie(dir.Join("updater"), std::string(10, 'p'));
  WriteFileOrDie(dir.Join("patch"), "data");
  ASSERT_TRUE(WriteCarrier(dir.Join("updater").c_str(), "CN..0.551.065", "CN.0.551.066",
                           dir.Join("patch").c_str(), dir.Join("out").c_str(), kOffset))
      << LastErrorMessage();
  EmbeddedPatch patch;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("out").c_str(), kOffset, dir.path(), &patch));
  EXPECT_EQ(patch.fromVersion.number, "00000.00551.00065");
  EXPECT_EQ(PathFileName(patch.patchPath), "ql-CN..0.551.065-CN.0.551.066.patch");
  EXPECT_EQ(ReadFileOrEmpty(patch.patchPath), "data");
}

TEST(ExtractEmbeddedPatchTest, FileEndingBeforeTheOffsetFails) {
  TempDir dir;
  WriteFileOrDie(dir.Join("updater"), std::string(kOffset - 1, 'P'));
  EmbeddedPatch patch;
  EXPECT_FALSE(ExtractEmbeddedPatch(dir.Join("updater").c_str(), kOffset, dir.path(), &patch));
  EXPECT_FALSE(ExtractEmbeddedPatch(dir.Join("missing").c_str(), kOffset, dir.path(), &patch));
}

TEST(WriteCarrierTest, PadsTheProgramAndAppendsTheBlock) {
  TempDir dir;
  std::string program =
      "\x7F"
      "ELF" +
      std::string(96, 'p');
  std::string data = testing_support::RandomBytes(3, 100000);
  WriteFileOrDie(dir.Join("updater"), program);
  WriteFileOrDie(dir.Join("patch"), data);
  ASSERT_TRUE(WriteCarrier(dir.Join("updater").c_str(), "CN.0.551.065", "CN.0.551.066",
                           dir.Join("patch").c_str(), dir.Join("out").c_str(), kOffset))
      << LastErrorMessage();
  std::string out = ReadFileOrEmpty(dir.Join("out"));
  // Both lengths count the terminating zero byte: 13 for these texts.
  std::string expected = program + std::string(kOffset - program.size(), '\0') +
                         std::string("\x0D\0\0\0CN.0.551.065\0", 17) +
                         std::string("\x0D\0\0\0CN.0.551.066\0", 17) + data;
  EXPECT_TRUE(out == expected);
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(stat((dir.path() + "/out").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
#endif

  EmbeddedPatch patch;
  ASSERT_TRUE(ExtractEmbeddedPatch(dir.Join("out").c_str(), kOffset, dir.path(), &patch));
  EXPECT_EQ(patch.fromVersionText, "CN.0.551.065");
  EXPECT_EQ(patch.toVersionText, "CN.0.551.066");
  EXPECT_TRUE(ReadFileOrEmpty(patch.patchPath) == data);
}

TEST(WriteCarrierTest, ProgramExactlyAsLongAsTheOffsetNeedsNoPadding) {
  TempDir dir;
  WriteFileOrDie(dir.Join("updater"), std::string(kOffset, 'p'));
  WriteFileOrDie(dir.Join("patch"), "data");
  ASSERT_TRUE(WriteCarrier(dir.Join("updater").c_str(), "CN.1", "CN.2", dir.Join("patch").c_str(),
                           dir.Join("out").c_str(), kOffset));
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("out")).size(), kOffset + 2 * (4 + 5) + 4);
}

TEST(WriteCarrierTest, RefusalsLeaveAnExistingOutputAlone) {
  struct Case {
    const char* name;
    size_t programSize;
    const char* from;
    const char* to;
    bool patchExists;
    int32_t code;
    std::string message;  // empty: not checked
  } cases[] = {
      {"program too long", kOffset + 1, "CN.1", "CN.2", true, ERR_INVALID, "(too large)"},
      {"text of 31 characters", 10, "CN.0.551.065.0000000000000000000", "CN.9", true, ERR_INVALID,
       "Version=CN.0.551.065.0000000000000000000"},
      {"empty text", 10, "", "CN.2", true, ERR_INVALID, "Version="},
      {"separator in a text", 10, "CN.1", "..\\CN.2", true, ERR_INVALID, "Version=..\\CN.2"},
      {"dots alone", 10, "..", "CN.2", true, ERR_INVALID, "Version=.."},
      {"control byte", 10, "CN.1", "CN.2\x7F", true, ERR_INVALID, "Version=CN.2\x7F"},
      {"same version", 10, "CN.0.551.066", "cn.0.551.066", true, ERR_INVALID,
       "Version=CN.0.551.066-cn.0.551.066"},
      {"going back", 10, "CN.2", "CN.1", true, ERR_INVALID, "Version=CN.2-CN.1"},
      {"two languages", 10, "CN.1", "TW.2", true, ERR_INVALID, "Version=CN.1-TW.2"},
      {"no patch file", 10, "CN.1", "CN.2", false, ERR_ACCESS, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFileOrDie(dir.Join("updater"), std::string(c.programSize, 'p'));
    if (c.patchExists) WriteFileOrDie(dir.Join("patch"), "data");
    WriteFileOrDie(dir.Join("out"), "old");
    EXPECT_FALSE(WriteCarrier(dir.Join("updater").c_str(), c.from, c.to, dir.Join("patch").c_str(),
                              dir.Join("out").c_str(), kOffset))
        << c.name;
    EXPECT_EQ(LastErrorCode(), c.code) << c.name;
    if (!c.message.empty()) {
      EXPECT_NE(std::string(LastErrorMessage()).find(c.message), std::string::npos)
          << c.name << ": " << LastErrorMessage();
    }
    EXPECT_EQ(ReadFileOrEmpty(dir.Join("out")), "old") << c.name;
    std::vector<FolderEntry> entries;
    ListFolder(dir.path().c_str(), &entries);
    EXPECT_EQ(entries.size(), c.patchExists ? 3u : 2u) << c.name << ": a temporary file is left";
  }
}

// A marker record naming `offset`, with the complement `complement`.
std::string Marker(uint32_t offset, uint32_t complement) {
  return std::string(kCarrierMarkerTag, kCarrierMarkerTagSize) + Le32(offset) + Le32(complement);
}

TEST(CarrierMarkerTest, TheProgramsOwnRecordNamesItsOffset) {
  EXPECT_EQ(OwnCarrierOffset(), kCarrierOffset);
}

TEST(CarrierMarkerTest, ReadsTheFirstValidRecordOfAnUpdaterFile) {
  const std::string program = testing_support::RandomBytes(5, 200000);
  struct Case {
    const char* name;
    std::string content;
    bool found;
    uint32_t offset;
  } cases[] = {
      {"at the start", Marker(0x44000, ~0x44000u) + program, true, 0x44000},
      {"across a 64 KiB boundary",
       program.substr(0, 65536 - 10) + Marker(0x100000, ~0x100000u) + program, true, 0x100000},
      {"a stray tag before the record",
       std::string(kCarrierMarkerTag, kCarrierMarkerTagSize) + "xx" + program +
           Marker(0x50000, ~0x50000u),
       true, 0x50000},
      {"a wrong complement is no record", program + Marker(0x50000, 0x50000), false, 0},
      {"an offset inside the program is no record", program + Marker(1000, ~1000u), false, 0},
      {"the tag cut short at the end", program + Marker(0x50000, ~0x50000u).substr(0, 20), false,
       0},
      {"no record at all", program, false, 0},
      {"an empty file", "", false, 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string path = dir.Join("updater.exe");
    WriteFileOrDie(path, c.content);
    uint64_t offset = 0;
    EXPECT_EQ(ReadCarrierOffset(path.c_str(), &offset), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(offset, c.offset) << c.name;
    } else {
      EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA) << c.name;
      EXPECT_EQ(std::string(LastErrorMessage()), "File=" + path + "(no carrier offset)") << c.name;
    }
  }
  uint64_t offset = 0;
  EXPECT_FALSE(ReadCarrierOffset(dir.Join("missing.exe").c_str(), &offset));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
}

}  // namespace
}  // namespace qlmr
