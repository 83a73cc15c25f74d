#include "patch/patch_package.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/packed_file.h"
#include "patch/patch_package_impl.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::CurrentFolderScope;
using testing_support::MaskedPackage;
using testing_support::PackedPackage;
using testing_support::PackFileOrDie;
using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::Spelling;
using testing_support::SpellingsOfOneFile;
using testing_support::TempDir;
using testing_support::WriteContainerOrDie;
using testing_support::WriteFileOrDie;

PatchPackageImpl* Impl(const PatchPackagePtr& package) {
  return static_cast<PatchPackageImpl*>(package.get());
}

std::vector<std::string> Names(const std::vector<FolderEntry>& entries) {
  std::vector<std::string> names;
  for (const FolderEntry& e : entries) names.push_back(e.name);
  return names;
}

// Runs each test with its own temporary folder, so that work folders can be
// counted.
class PatchPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldTmp_ = TempFolderPath();
    ASSERT_TRUE(SetTempFolder(tmp_.path().c_str()));
  }
  void TearDown() override { SetTempFolder(oldTmp_.c_str()); }
  std::vector<FolderEntry> TempEntries() {
    std::vector<FolderEntry> entries;
    ListFolder(tmp_.path().c_str(), &entries);
    return entries;
  }

  TempDir dir_;
  TempDir tmp_;
  std::string oldTmp_;
  PatchPackagePtr package_{CreatePatchPackage()};
};

TEST_F(PatchPackageTest, OpensOnlyMaskedZipsAndPackedFiles) {
  const char* list = "0||a.txt|0|0\n";
  std::vector<ZipMember> data = {{"a.txt", "A"}};
  std::string plain = dir_.Join("plain.zip");
  WriteContainerOrDie(plain, list, data, ZipByteForm::kPlain);
  std::string inverted = dir_.Join("inverted.zip");
  WriteContainerOrDie(inverted, list, data, ZipByteForm::kInverted);
  std::string shortPacked = dir_.Join("short.patch");
  WriteFileOrDie(shortPacked, "JZQ1");
  std::string other = dir_.Join("other.patch");
  WriteFileOrDie(other, RandomBytes(1, 100).replace(0, 2, "XY"));
  for (const std::string& path : {plain, inverted, shortPacked, other}) {
    PatchPackagePtr package(CreatePatchPackage());
    EXPECT_FALSE(package->OpenPackage(path.c_str(), "pak")) << path;
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA) << path;
    EXPECT_STREQ(LastErrorMessage(), "");
  }

  // The plain and the inverted zip are accepted as the content of a packed file.
  for (const std::string& content : {plain, inverted}) {
    std::string packed = content + ".patch";
    PackFileOrDie(content, packed);
    PatchPackagePtr package(CreatePatchPackage());
    ASSERT_TRUE(package->OpenPackage(packed.c_str(), "pak")) << LastErrorMessage();
    EXPECT_EQ(package->GetEntryCount(), 1);
    const PatchContainer& container = Impl(package)->tables().containers.begin()->second;
    EXPECT_FALSE(container.preEncoded);
  }
  PatchPackagePtr package(CreatePatchPackage());
  ASSERT_TRUE(package->OpenPackage(MaskedPackage(dir_.Join("m.patch"), list, data).c_str(), "pak"));
  EXPECT_TRUE(Impl(package)->tables().containers.begin()->second.preEncoded);
}

TEST_F(PatchPackageTest, OpenFailuresAndTheirCodes) {
  EXPECT_FALSE(package_->OpenPackage("", "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(package_->OpenPackage(nullptr, "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);

  std::string missing = dir_.Join("missing.patch");
  EXPECT_FALSE(package_->OpenPackage(missing.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("File=" + missing + ", WinErr=", 0), 0u);

  // Masked bytes that start like a zip but hold none.
  std::string broken = dir_.Join("broken.patch");
  std::string bytes = "PK\x03\x04" + RandomBytes(2, 3000);
  MaskBuffer(&bytes[0], bytes.size(), 0);
  WriteFileOrDie(broken, bytes);
  EXPECT_FALSE(package_->OpenPackage(broken.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
  // The zip library's own error number: zziplib's are negative, libzip's
  // positive; never 0.
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("ziperr=", 0), 0u) << LastErrorMessage();
  EXPECT_NE(std::string(LastErrorMessage()), "ziperr=0");

  // A packed file whose content is neither zip form.
  std::string content = dir_.Join("content");
  WriteFileOrDie(content, "XY" + std::string(500, 'z'));
  std::string packed = dir_.Join("odd.patch");
  PackFileOrDie(content, packed);
  EXPECT_FALSE(package_->OpenPackage(packed.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);

  // A packed file too short to unpack: the decoder's code.
  std::string tiny = dir_.Join("tiny.patch");
  WriteFileOrDie(tiny, std::string("JZQ1\x05\0\0\0\0\0\0\0", 12));
  EXPECT_FALSE(package_->OpenPackage(tiny.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
  EXPECT_EQ(package_->GetEntryCount(), 0);
}

TEST_F(PatchPackageTest, ASecondOpenOfTheSameFileReadsNothing) {
  std::string path = MaskedPackage(dir_.Join("Up.patch"), "0||a.txt|0|0\n", {{"a.txt", "A"}});
  ASSERT_TRUE(package_->OpenPackage(path.c_str(), "pak"));
  // Emptied rather than removed: Windows keeps an open file from removal.
  WriteFileOrDie(path, "");
  std::string other = path;
  other.replace(other.size() - 8, 8, "up.PATCH");
  for (char& c : other) {
    if (c == '/') c = '\\';
  }
  EXPECT_TRUE(package_->OpenPackage(other.c_str(), "pak"));
  EXPECT_EQ(package_->GetEntryCount(), 1);
}

TEST_F(PatchPackageTest, EntryCountsLooseEntriesAndEveryPacksEntries) {
  std::string path = MaskedPackage(dir_.Join("p.patch"),
                                   "0||a|0|0\n1||b|0|0\n"
                                   "0|one.pak|x|0|0\n1|one.pak|y|0|0\n"
                                   "0|two.pak|x|0|0\n2|two.pak|y|0|0\n0|two.pak|z|0|0\n");
  ASSERT_TRUE(package_->OpenPackage(path.c_str(), "pak"));
  EXPECT_EQ(package_->GetEntryCount(), 7);

  for (const char* list : {"", "\r\n\r\n", "0||a|0\n"}) {
    PatchPackagePtr package(CreatePatchPackage());
    ASSERT_TRUE(package->OpenPackage(MaskedPackage(dir_.Join("e.patch"), list).c_str(), "pak"));
    EXPECT_EQ(package->GetEntryCount(), 0) << list;
  }
  // Without a control list at all it is not a patch (a damaged name in the
  // directory looks like this): refused rather than applied as nothing.
  PatchPackagePtr package(CreatePatchPackage());
  std::string bare = dir_.Join("bare.patch");
  WriteContainerOrDie(bare, nullptr, {{"a", "A"}}, ZipByteForm::kMasked);
  EXPECT_FALSE(package->OpenPackage(bare.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
  EXPECT_EQ(package->GetEntryCount(), 0);
}

TEST_F(PatchPackageTest, ASecondFileMergesIntoTheSameTables) {
  std::string first = MaskedPackage(dir_.Join("1.patch"), "0||a.txt|0|0\n0||b.txt|0|0\n");
  std::string second = MaskedPackage(dir_.Join("2.patch"), "1||A.TXT|0|0\n0||c.txt|0|0\n");
  ASSERT_TRUE(package_->OpenPackage(first.c_str(), "pak"));
  ASSERT_TRUE(package_->OpenPackage(second.c_str(), "pak"));
  const PatchTables& tables = Impl(package_)->tables();
  EXPECT_EQ(tables.containers.size(), 2u);
  ASSERT_EQ(tables.looseEntries.size(), 3u);
  const PatchEntry& a = tables.looseEntries.at("a.txt");
  EXPECT_EQ(a.op, ENTRY_OP_DELETE);
  EXPECT_EQ(a.container->key, NormalizeName(second));
  EXPECT_EQ(tables.looseEntries.at("b.txt").container->key, NormalizeName(first));
}

TEST_F(PatchPackageTest, AnUnsafeNameRefusesTheWholeFile) {
  const char* forms[] = {
      "..\\..\\x.dll", "a\\..\\..\\x.dll", "\\..\\x.dll", "C:\\x.dll", "\\\\srv\\s\\x", "a:b",
      "NUL",           "aux.txt",          "dir.\\x",     "dir \\x",   "//srv/x"};
  for (const char* form : forms) {
    for (bool asPack : {false, true}) {
      std::string list =
          std::string("0||good.txt|0|0\n") +
          (asPack ? std::string("0|") + form + "|x|0|0\n" : std::string("0||") + form + "|0|0\n");
      std::string path = MaskedPackage(dir_.Join("u.patch"), list.c_str(), {{"good.txt", "G"}});
      PatchPackagePtr package(CreatePatchPackage());
      EXPECT_FALSE(package->OpenPackage(path.c_str(), "pak")) << form;
      EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA) << form;
      EXPECT_STREQ(LastErrorMessage(), form);
      EXPECT_EQ(package->GetEntryCount(), 0) << form << ": nothing merged";
      // Refused again, not taken for an already opened file.
      EXPECT_FALSE(package->OpenPackage(path.c_str(), "pak")) << form;
      EXPECT_TRUE(Impl(package)->tables().containers.empty());
    }
  }
}

TEST_F(PatchPackageTest, APackedFileUnpacksIntoOneAxuFolderRemovedAtDestruction) {
  std::string path = PackedPackage(dir_.Join("Ql-1-2.patch"), "0||a.txt|0|0\n", {{"a.txt", "A"}});
  ASSERT_TRUE(TempEntries().empty());
  ASSERT_TRUE(package_->OpenPackage(path.c_str(), "pak"));
  std::vector<FolderEntry> entries = TempEntries();
  ASSERT_EQ(entries.size(), 1u) << ::testing::PrintToString(Names(entries));
  EXPECT_TRUE(entries[0].isFolder);
  EXPECT_EQ(entries[0].name.rfind("axu", 0), 0u) << entries[0].name;
  std::string folder = tmp_.Join(entries[0].name);
  EXPECT_EQ(ComparePaths(Impl(package_)->workFolder().c_str(), folder.c_str()), 0);
  std::vector<FolderEntry> inside;
  ASSERT_TRUE(ListFolder(folder.c_str(), &inside));
  EXPECT_EQ(Names(inside), (std::vector<std::string>{".~owner", "ql-1-2.~patch"}));
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(folder, ".~owner")),
            std::to_string(CurrentProcessId()) + "\n");

  // A second packed file goes into the same folder.
  std::string second = PackedPackage(dir_.Join("two"), "0||b.txt|0|0\n", {{"b.txt", "B"}});
  ASSERT_TRUE(package_->OpenPackage(second.c_str(), "pak"));
  EXPECT_EQ(TempEntries().size(), 1u);
  ASSERT_TRUE(ListFolder(folder.c_str(), &inside));
  EXPECT_EQ(inside.size(), 3u);

  package_.reset();
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(PatchPackageTest, WorkFoldersOfInterruptedRunsGoAndNothingElse) {
  // An id no running process has, for a run that ended without cleaning up.
  std::set<uint32_t> running;
  ASSERT_TRUE(EnumerateProcesses([&](const ProcessEntry& p) { running.insert(p.id); }));
  uint32_t ended = 999999;
  while (running.count(ended) > 0) --ended;
  const std::string live = std::to_string(CurrentProcessId()) + "\n";
  const std::string dead = std::to_string(ended) + "\n";
  const std::string cut = live.substr(0, live.size() - 1);  // a write cut short
  struct Leftover {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;  // empty: an empty folder
    bool isFile;                                             // a file named `name` instead
    bool removed;
  };
  const Leftover leftovers[] = {
      {"axu1A2B.tmp", {{"old.~patch", "zip"}}, false, true},
      {"axu00c1.tmp", {{"old.~patch", "zip"}, {"qcd0042.tmp", "half"}}, false, true},
      {"AXU0D02.TMP", {}, false, true},
      {"axu0003.tmp", {}, true, true},  // the name's reservation, never a folder
      {"axu0004.tmp", {{"old.~patch", "zip"}, {"notes.txt", "mine"}}, false, false},
      // Another run's folder, in use while its owner lives.
      {"axu0008.tmp", {{"old.~patch", "zip"}, {".~owner", live.c_str()}}, false, false},
      {"axu0009.tmp", {{"old.~patch", "zip"}, {".~owner", dead.c_str()}}, false, true},
      {"axu000A.tmp", {{".~owner", "not a number"}}, false, true},
      {"axu000B.tmp", {{"old.~patch", "zip"}, {".~owner", cut.c_str()}}, false, true},
      {"axuZZ.tmp", {{"old.~patch", "zip"}}, false, false},
      {"axu0005.dat", {{"old.~patch", "zip"}}, false, false},
      {"axu12345.tmp", {{"old.~patch", "zip"}}, false, false},
      {"axu0006.tmp", {{"x", "not empty"}}, true, false},
      {"qcd0007.tmp", {}, false, false},
  };
  for (const Leftover& leftover : leftovers) {
    std::string path = tmp_.Join(leftover.name);
    if (leftover.isFile) {
      WriteFileOrDie(path, leftover.files.empty() ? "" : leftover.files[0].second);
      continue;
    }
    ASSERT_TRUE(MakeFolder(path.c_str()));
    for (const auto& file : leftover.files) WriteFileOrDie(JoinPath(path, file.first), file.second);
  }
  std::string patch = PackedPackage(dir_.Join("p.patch"), "0||a|0|0\n", {{"a", "A"}});
  ASSERT_TRUE(package_->OpenPackage(patch.c_str(), "pak")) << LastErrorMessage();
  for (const Leftover& leftover : leftovers) {
    EXPECT_EQ(PathExists(tmp_.Join(leftover.name).c_str()), !leftover.removed) << leftover.name;
  }
  // This run's own folder is there, beside what was kept.
  EXPECT_TRUE(IsFolder(Impl(package_)->workFolder().c_str()));
}

TEST_F(PatchPackageTest, AMaskedZipMakesNoWorkFolder) {
  ASSERT_TRUE(package_->OpenPackage(MaskedPackage(dir_.Join("m.patch"), "").c_str(), "pak"));
  EXPECT_TRUE(TempEntries().empty());
  EXPECT_TRUE(Impl(package_)->workFolder().empty());
}

TEST_F(PatchPackageTest, SetWorkFolderOnceToAnExistingFolder) {
  std::string work = dir_.Join("work");
  EXPECT_FALSE(package_->SetWorkFolder(work.c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  ASSERT_TRUE(MakeFolder(work.c_str()));
  WriteFileOrDie(dir_.Join("work\\keep.txt"), "mine");
  EXPECT_FALSE(package_->SetWorkFolder(dir_.Join("work\\keep.txt").c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  ASSERT_TRUE(package_->SetWorkFolder(work.c_str()));
  EXPECT_FALSE(package_->SetWorkFolder(work.c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_DUPLICATE);
  EXPECT_STREQ(LastErrorMessage(), "");

  std::string path = PackedPackage(dir_.Join("p.patch"), "0||a|0|0\n", {{"a", "A"}});
  ASSERT_TRUE(package_->OpenPackage(path.c_str(), "pak"));
  EXPECT_FALSE(ReadFileOrEmpty(JoinPath(work, "p.~patch")).empty());
  EXPECT_TRUE(TempEntries().empty());
  // Only what the package unpacked goes; the caller's folder and files stay.
  package_.reset();
  EXPECT_EQ(ReadFileOrEmpty(JoinPath(work, "keep.txt")), "mine");
  EXPECT_FALSE(PathExists(JoinPath(work, "p.~patch").c_str()));
}

TEST_F(PatchPackageTest, VerifyChecksTheCrcTrailer) {
  std::string path = PackedPackage(dir_.Join("p.patch"), "0||a|0|0\n", {{"a", "A"}});
  EXPECT_TRUE(package_->VerifyPackageFile(path.c_str()));
  std::string bytes = ReadFileOrEmpty(path);
  bytes[bytes.size() / 2] ^= 1;
  WriteFileOrDie(path, bytes);
  EXPECT_FALSE(package_->VerifyPackageFile(path.c_str()));
  EXPECT_FALSE(package_->VerifyPackageFile(""));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
}

TEST_F(PatchPackageTest, ReadHandlersFollowTheKind) {
  std::vector<ZipMember> none;
  struct {
    ZipByteForm form;
    const ZipReadHandlers* expected;
  } cases[] = {{ZipByteForm::kPlain, GetZipReadHandlers(ZipByteForm::kPlain)},
               {ZipByteForm::kInverted, GetZipReadHandlers(ZipByteForm::kInverted)},
               {ZipByteForm::kMasked, GetZipReadHandlers(ZipByteForm::kMasked)}};
  for (const auto& c : cases) {
    std::string path = dir_.Join("c.zip");
    WriteContainerOrDie(path, "", none, c.form);
    EXPECT_EQ(package_->GetReadHandlers(path.c_str()), c.expected);
  }
  std::string packed = PackedPackage(dir_.Join("p.patch"), "");
  EXPECT_EQ(package_->GetReadHandlers(packed.c_str()), nullptr);
}

TEST_F(PatchPackageTest, ConvertTurnsAPlainZipIntoAPackedFileAndBack) {
  std::string zip = dir_.Join("plain.zip");
  WriteContainerOrDie(zip, "0||a.txt|0|0\n", {{"a.txt", RandomBytes(4, 20000)}},
                      ZipByteForm::kPlain);
  std::string original = ReadFileOrEmpty(zip);

  std::string packed = dir_.Join("out\\p.patch");
  ASSERT_TRUE(MakeFolder(dir_.Join("out").c_str()));
  ASSERT_TRUE(package_->ConvertPackageFile(zip.c_str(), packed.c_str())) << LastErrorMessage();
  EXPECT_EQ(ReadFileOrEmpty(zip), original) << "the source stays";
  EXPECT_EQ(DetectPatchKind(packed.c_str(), nullptr), PATCH_KIND_PACKED);
  EXPECT_TRUE(package_->VerifyPackageFile(packed.c_str()));
  std::string length(4, '\0');
  for (int i = 0; i < 4; ++i) length[i] = static_cast<char>(original.size() >> (8 * i));
  EXPECT_EQ(ReadFileOrEmpty(packed).substr(0, 8), "JZQ1" + length);
  {
    PatchPackagePtr opened(CreatePatchPackage());
    ASSERT_TRUE(opened->OpenPackage(packed.c_str(), "pak"));
    EXPECT_EQ(opened->GetEntryCount(), 1);
  }
  // Back, in place.
  ASSERT_TRUE(package_->ConvertPackageFile(packed.c_str(), packed.c_str()));
  EXPECT_EQ(ReadFileOrEmpty(packed), original);
}

// The packed file is what the codec makes of the inverted zip in memory,
// behind "JZQ1" and the length and before the CRC trailer: the streaming
// packer writes that same form, below its limit for coding both ways at
// once and above it (repeats further apart than that limit, and x86 code).
TEST_F(PatchPackageTest, AConvertedZipIsTheCodecsFormOfTheInvertedZip) {
  // A repeat further back than the limit: found only with the full window.
  // The gap repeats a block further apart than deflate's window, so the zip
  // keeps its size while LZMA codes it quickly.
  std::string repeated = RandomBytes(8, 1u << 20);
  std::string block = RandomBytes(10, 40000);
  std::string gap;
  while (gap.size() < kPackBothAtOnceLimit - (1u << 19)) gap += block;
  // Calls to a few targets, as in x86 code, which the converter helps with.
  std::string code;
  for (uint32_t at = 0; code.size() < 200000; at += 5) {
    uint32_t relative = (at % 4 == 0 ? 0x1000u : 0x2345u) - at;
    code += '\xE8';
    for (int i = 0; i < 4; ++i) code += static_cast<char>(relative >> (8 * i));
  }
  const std::vector<std::vector<ZipMember>> zips = {
      {{"a.txt", std::string(30000, 'a') + "end"}, {"b.bin", RandomBytes(6, 5000)}},
      {{"first.bin", repeated}, {"gap.bin", gap}, {"code.exe", code}, {"again.bin", repeated}},
  };
  for (const auto& members : zips) {
    std::string zip = dir_.Join("plain.zip");
    std::string list;
    for (const ZipMember& member : members) list += "0||" + member.name + "|0|0\n";
    WriteContainerOrDie(zip, list.c_str(), members, ZipByteForm::kPlain);
    std::string inverted = ReadFileOrEmpty(zip);
    for (char& c : inverted) c = static_cast<char>(~c);
    std::vector<uint8_t> coded;
    ASSERT_TRUE(EncodeToBuffer(*GetCodecRegistry().Find(COMPRESS_LZMA),
                               reinterpret_cast<const uint8_t*>(inverted.data()),
                               static_cast<uint32_t>(inverted.size()), &coded));
    std::string expected = "JZQ1";
    for (int i = 0; i < 4; ++i) expected += static_cast<char>(inverted.size() >> (8 * i));
    expected.append(coded.begin(), coded.end());
    uint32_t crc = CrcFinish(CrcUpdate(kCrcInit, expected.data(), expected.size()));
    for (int i = 0; i < 4; ++i) expected += static_cast<char>(crc >> (8 * i));

    ASSERT_TRUE(package_->ConvertPackageFile(zip.c_str(), zip.c_str())) << LastErrorMessage();
    EXPECT_TRUE(ReadFileOrEmpty(zip) == expected) << inverted.size() << " bytes";
  }
}

// A zip larger than the packer's limit for coding both ways at once
// round-trips and opens.
TEST_F(PatchPackageTest, AZipLargerThanThePackersLimitRoundTrips) {
  std::string zip = dir_.Join("large.zip");
  std::string big = RandomBytes(7, 1u << 20);
  big += big + big + big + big;  // 5 MiB, repeating every MiB
  WriteContainerOrDie(zip, "0||big.bin|0|0\n", {{"big.bin", big}}, ZipByteForm::kPlain);
  std::string original = ReadFileOrEmpty(zip);
  ASSERT_GT(original.size(), size_t{kPackBothAtOnceLimit});
  ASSERT_TRUE(package_->ConvertPackageFile(zip.c_str(), zip.c_str())) << LastErrorMessage();
  EXPECT_LT(FileSizeOf(zip.c_str()), original.size() / 2);  // the repeats were found
  EXPECT_TRUE(package_->VerifyPackageFile(zip.c_str()));
  {
    PatchPackagePtr opened(CreatePatchPackage());
    ASSERT_TRUE(opened->OpenPackage(zip.c_str(), "pak")) << LastErrorMessage();
    EXPECT_EQ(opened->GetEntryCount(), 1);
  }
  ASSERT_TRUE(package_->ConvertPackageFile(zip.c_str(), zip.c_str()));
  EXPECT_TRUE(ReadFileOrEmpty(zip) == original);
}

// Converting a file onto itself, however it is named, converts it in place
// and never empties it.
TEST_F(PatchPackageTest, ConvertOntoItselfUnderEverySpelling) {
  for (size_t i = 0, count = 1; i < count; ++i) {
    TempDir dir;
    std::string zip = dir.Join("x.zip");
    WriteContainerOrDie(zip, "0||a.txt|0|0\n", {{"a.txt", RandomBytes(5, 9000)}},
                        ZipByteForm::kPlain);
    std::string original = ReadFileOrEmpty(zip);
    CurrentFolderScope here(dir.path());
    std::vector<Spelling> spellings = SpellingsOfOneFile(dir, "x.zip");
    count = spellings.size();
    const Spelling& name = spellings[i];

    // Zip to packed, the source named otherwise than the target.
    ASSERT_TRUE(package_->ConvertPackageFile(name.path.c_str(), "x.zip"))
        << name.what << ": " << LastErrorCode() << " " << LastErrorMessage();
    std::string packed = ReadFileOrEmpty(zip);
    EXPECT_EQ(packed.substr(0, 4), "JZQ1") << name.what;
    EXPECT_TRUE(package_->VerifyPackageFile("x.zip")) << name.what;
    // A link may now name a copy of its own; either way nothing is lost.
    std::string other = ReadFileOrEmpty(name.path);
    EXPECT_TRUE(other == packed || other == original) << name.what;

    // And back, the target named otherwise than the source.
    ASSERT_TRUE(package_->ConvertPackageFile("x.zip", name.path.c_str()))
        << name.what << ": " << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_TRUE(ReadFileOrEmpty(name.path) == original) << name.what;
  }
}

TEST_F(PatchPackageTest, ConvertFailures) {
  EXPECT_FALSE(package_->ConvertPackageFile("", "x"));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);

  std::string masked = MaskedPackage(dir_.Join("m.patch"), "");
  std::string target = dir_.Join("t.patch");
  EXPECT_FALSE(package_->ConvertPackageFile(masked.c_str(), target.c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);

  std::string unreachable = dir_.Join("no\\such\\folder\\t.patch");
  EXPECT_FALSE(package_->ConvertPackageFile(masked.c_str(), unreachable.c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_WRITE);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("File=" + unreachable + ", WinErr: ", 0), 0u)
      << LastErrorMessage();

  // A zip too small for the packed form keeps its content when encoding fails.
  std::string small = dir_.Join("small.zip");
  WriteFileOrDie(small, "PK\x05\x06tiny");
  EXPECT_FALSE(package_->ConvertPackageFile(small.c_str(), small.c_str()));
  EXPECT_EQ(ReadFileOrEmpty(small), "PK\x05\x06tiny");
}

TEST_F(PatchPackageTest, ComputeFileCrcWithAndWithoutTrailer) {
  std::string path = dir_.Join("f");
  WriteFileOrDie(path, "123456789abcd");
  uint32_t whole = 0;
  uint32_t head = 0;
  ASSERT_TRUE(package_->ComputeFileCrc(path.c_str(), &whole, false));
  ASSERT_TRUE(package_->ComputeFileCrc(path.c_str(), &head, true));
  EXPECT_EQ(head, 0x5FA0DE0Fu);  // the system's CRC of "123456789"
  uint32_t expected = 0;
  BufferCrc("123456789abcd", 13, &expected);
  EXPECT_EQ(whole, expected);
}

}  // namespace
}  // namespace qlmr
