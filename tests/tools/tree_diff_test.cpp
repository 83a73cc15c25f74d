// The patch between two installations: built by DiffInstallations and
// WritePatch, applied with the updater's own ApplyPackage to a full copy of
// OLD, and the result compared with NEW.
#include "tools/patchkit/tree_diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/lzma_buffer.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"
#include "tests/support/test_util.h"
#include "tests/tools/installation_model.h"

namespace qlmr {
namespace patchkit {
namespace {

using testing_support::AddOrDie;
using testing_support::ArchiveModel;
using testing_support::CopyTreeOrDie;
using testing_support::ExpectInstallation;
using testing_support::FirstGeneratedSeed;
using testing_support::GeneratedCaseCount;
using testing_support::ListText;
using testing_support::ReadFileOrEmpty;
using testing_support::ReleaseGenerator;
using testing_support::TempDir;
using testing_support::TreeModel;
using testing_support::WriteFileOrDie;
using testing_support::WriteTreeOrDie;

// Diffs OLD and NEW, writes the patch, applies it to a full copy of OLD with
// the updater's ApplyPackage and returns the copy's folder.
struct Applied {
  TreeDiff diff;
  std::string patch;
  std::unique_ptr<TempDir> target;
};

Applied DiffWriteAndApply(const std::string& oldRoot, const std::string& newRoot,
                          const std::string& work, PatchKind kind) {
  Applied result;
  result.patch = JoinPath(work, kind == PATCH_KIND_PACKED ? "packed.patch" : "masked.patch");
  EXPECT_TRUE(DiffInstallations({oldRoot}, newRoot, kind, &result.diff))
      << LastErrorCode() << " " << LastErrorMessage();
  PatchReport report;
  EXPECT_TRUE(WritePatch(&result.diff, result.patch, PatchOptions(), &report))
      << LastErrorCode() << " " << LastErrorMessage();
  EXPECT_EQ(DetectPatchKind(result.patch.c_str(), nullptr), kind);
  result.target.reset(new TempDir);
  CopyTreeOrDie(oldRoot, result.target->path());
  PatchPackagePtr package(CreatePatchPackage());
  EXPECT_TRUE(package->OpenPackage(result.patch.c_str(), "pak")) << LastErrorMessage();
  EXPECT_TRUE(package->ApplyPackage(result.target->path().c_str(), "pak", ".ver", nullptr))
      << LastErrorCode() << " " << LastErrorMessage();
  return result;
}

// --- The fixed small pair ------------------------------------------------------

TreeModel SmallOld() {
  TreeModel tree;
  tree.loose = {{".ver", "CN|00000.00551.00065"},
                {"Readme.TXT", "read me"},
                {"bin\\old.dll", "old library"},
                {"bin\\client.dll", "client 1"}};
  ArchiveModel item;
  std::string pictureA;
  for (int i = 0; i < 20; ++i) pictureA += "picture a, ";
  item.files = {{"icons\\a.tga", {2, pictureA}},
                {"icons\\b.tga", {0, "picture b"}},
                {"Sound\\Hit.wav", {1, "bang"}},
                {"\xB5\xD8\xCD\xBC\\map.dat", {3, std::string(300, 'm')}}};
  tree.archives["data\\item.pak"] = item;
  ArchiveModel gone;
  gone.files = {{"x", {0, "x"}}};
  tree.archives["data\\gone.pak"] = gone;
  return tree;
}

TreeModel SmallNew() {
  TreeModel tree = SmallOld();
  tree.loose[".ver"] = "CN|00000.00551.00066";
  tree.loose.erase("Readme.TXT");
  tree.loose["README.txt"] = "read me";  // only the case changed
  tree.loose.erase("bin\\old.dll");
  tree.loose["bin\\client.dll"] = "client 2";
  tree.loose["\xD6\xD0\xCE\xC4\\new.txt"] = "new";
  ArchiveModel& item = tree.archives["data\\item.pak"];
  item.files.erase("icons\\b.tga");
  item.files["icons\\a.tga"].type = 3;  // same content, other type
  item.files["icons\\c.tga"] = {2, "picture c"};
  item.files.erase("Sound\\Hit.wav");
  item.files["sound\\hit.wav"] = {1, "bang"};  // only the case changed
  tree.archives.erase("data\\gone.pak");
  ArchiveModel added;
  added.files = {{"y", {0, "y"}}};
  tree.archives["data\\added.pak"] = added;
  return tree;
}

class TreeDiffFolders : public ::testing::Test {
 protected:
  TempDir old_;
  TempDir new_;
  TempDir work_;
};

class TreeDiffTest : public TreeDiffFolders, public ::testing::WithParamInterface<PatchKind> {};

std::string Hex8(uint64_t value) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

TEST_F(TreeDiffFolders, ASmallPairGivesItsControlList) {
  WriteTreeOrDie(SmallOld(), old_.path());
  WriteTreeOrDie(SmallNew(), new_.path());
  TreeDiff diff;
  ASSERT_TRUE(DiffInstallations({old_.path()}, new_.path(), PATCH_KIND_MASKED_ZIP, &diff))
      << LastErrorMessage();
  std::string list = ListText(SmallNew().archives["data\\item.pak"]);
  EXPECT_EQ(ControlListText(diff), "0||data\\added.pak|0|" +
                                       Hex8(FileSizeOf(new_.Join("data\\added.pak").c_str())) +
                                       "\r\n"
                                       "1||data\\gone.pak|0|00000000\r\n"
                                       "1|data\\item.pak|icons\\b.tga|0|00000000\r\n"
                                       "0|data\\item.pak|icons\\a.tga|3|000000DC\r\n"
                                       "0|data\\item.pak|icons\\c.tga|2|00000009\r\n"
                                       "0|data\\item.pak|(list)|0|" +
                                       Hex8(list.size()) +
                                       "\r\n"
                                       "0||bin\\client.dll|0|00000008\r\n"
                                       "1||bin\\old.dll|0|00000000\r\n"
                                       "0||\xD6\xD0\xCE\xC4\\new.txt|0|00000003\r\n"
                                       "0||.ver|0|00000014\r\n");
  ASSERT_EQ(diff.summary.packs.size(), 3u);
  EXPECT_EQ(diff.summary.packs[0].plan, PackPlan::kAdded);
  EXPECT_EQ(diff.summary.packs[1].plan, PackPlan::kRemoved);
  EXPECT_EQ(diff.summary.packs[2].plan, PackPlan::kPerFile);
  EXPECT_EQ(diff.summary.packs[2].writes, 3u);
  EXPECT_EQ(diff.summary.packs[2].deletions, 1u);
  EXPECT_TRUE(diff.summary.packs[2].listWritten);
}

TEST_P(TreeDiffTest, ASmallPairAppliedGivesNew) {
  WriteTreeOrDie(SmallOld(), old_.path());
  WriteTreeOrDie(SmallNew(), new_.path());
  Applied applied = DiffWriteAndApply(old_.path(), new_.path(), work_.path(), GetParam());
  ExpectInstallation(applied.target->path(), SmallNew(), "small pair");
}

TEST_P(TreeDiffTest, AnUnchangedPairGivesOnlyTheVersionFile) {
  WriteTreeOrDie(SmallOld(), old_.path());
  WriteTreeOrDie(SmallOld(), new_.path());
  Applied applied = DiffWriteAndApply(old_.path(), new_.path(), work_.path(), GetParam());
  EXPECT_EQ(ControlListText(applied.diff), "0||.ver|0|00000014\r\n");
  PatchPackagePtr package(CreatePatchPackage());
  ASSERT_TRUE(package->OpenPackage(applied.patch.c_str(), "pak"));
  EXPECT_EQ(package->GetEntryCount(), 1);
}

// An archive in which nearly everything changed costs less whole; one in
// which one file changed, per file. Both reach NEW.
TEST_P(TreeDiffTest, EachArchiveGetsTheSmallerForm) {
  TreeModel oldTree;
  oldTree.loose[".ver"] = "CN|1";
  for (const char* pack : {"many.pak", "one.pak"}) {
    ArchiveModel& archive = oldTree.archives[pack];
    for (int i = 0; i < 300; ++i) archive.files["file" + std::to_string(i)] = {0, "old"};
  }
  TreeModel newTree = oldTree;
  newTree.loose[".ver"] = "CN|2";
  for (auto& file : newTree.archives["many.pak"].files) file.second.content = "new";
  newTree.archives["one.pak"].files["file7"].content = "new";
  WriteTreeOrDie(oldTree, old_.path());
  WriteTreeOrDie(newTree, new_.path());
  Applied applied = DiffWriteAndApply(old_.path(), new_.path(), work_.path(), GetParam());
  ASSERT_EQ(applied.diff.summary.packs.size(), 2u);
  const PackSummary& many = applied.diff.summary.packs[0];
  const PackSummary& one = applied.diff.summary.packs[1];
  EXPECT_EQ(many.plan, PackPlan::kWhole) << many.reason;
  EXPECT_LT(many.wholeBytes, many.perFileBytes);
  EXPECT_EQ(one.plan, PackPlan::kPerFile) << one.reason;
  EXPECT_EQ(one.writes, 2u);  // file7 and the list file
  EXPECT_LT(one.perFileBytes, one.wholeBytes);
  ExpectInstallation(applied.target->path(), newTree, "smaller form");
}

INSTANTIATE_TEST_SUITE_P(Kinds, TreeDiffTest,
                         ::testing::Values(PATCH_KIND_MASKED_ZIP, PATCH_KIND_PACKED));

// --- Several old installations ---------------------------------------------------

// Three releases before NEW, each a little different: the one patch turns
// every one of them into NEW, and the self-check says so for each.
TEST_P(TreeDiffTest, OnePatchTurnsEveryOldIntoNew) {
  TreeModel v1 = SmallOld();
  TreeModel v2 = v1;
  v2.loose[".ver"] = "CN|00000.00551.00064";
  v2.loose["only-in-v2.txt"] = "gone again in v3";
  v2.loose["bin\\client.dll"] = "client 1b";
  v2.archives["data\\item.pak"].files["icons\\d.tga"] = {0, "d, gone again"};
  v2.archives["data\\extra.pak"].files["e"] = {2, "an archive v1 lacks"};
  TreeModel v3 = v2;
  v3.loose.erase("only-in-v2.txt");
  v3.archives["data\\item.pak"].files.erase("icons\\d.tga");
  TreeModel newTree = SmallNew();
  newTree.archives["data\\extra.pak"].files["e"] = {2, "an archive v1 lacks, changed"};
  TempDir roots[3];
  const TreeModel* olds[3] = {&v1, &v2, &v3};
  std::vector<std::string> oldRoots;
  for (int i = 0; i < 3; ++i) {
    WriteTreeOrDie(*olds[i], roots[i].path());
    oldRoots.push_back(roots[i].path());
  }
  WriteTreeOrDie(newTree, new_.path());
  TreeDiff diff;
  ASSERT_TRUE(DiffInstallations(oldRoots, new_.path(), GetParam(), &diff)) << LastErrorMessage();
  std::string list = ControlListText(diff);
  EXPECT_NE(list.find("1||only-in-v2.txt|"), std::string::npos) << list;  // only v2 has it
  EXPECT_NE(list.find("1|data\\item.pak|icons\\d.tga|"), std::string::npos) << list;
  EXPECT_NE(list.find("0||data\\extra.pak|"), std::string::npos) << list;  // v1 lacks it
  EXPECT_EQ(list.find("icons\\c.tga|2"), list.rfind("icons\\c.tga|2")) << list;
  EXPECT_EQ(list.find("map.dat"), std::string::npos) << list;  // the same in every OLD
  std::string patch = work_.Join("chain.patch");
  PatchReport report;
  ASSERT_TRUE(WritePatch(&diff, patch, PatchOptions(), &report)) << LastErrorMessage();
  ASSERT_EQ(report.checks.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(report.checks[i].oldRoot, oldRoots[i]);
    EXPECT_GT(report.checks[i].filesCompared, 0u);
    TempDir target;
    CopyTreeOrDie(oldRoots[i], target.path());
    PatchPackagePtr package(CreatePatchPackage());
    ASSERT_TRUE(package->OpenPackage(patch.c_str(), "pak")) << LastErrorMessage();
    ASSERT_TRUE(package->ApplyPackage(target.path().c_str(), "pak", ".ver", nullptr))
        << i << ": " << LastErrorMessage();
    ExpectInstallation(target.path(), newTree, "old " + std::to_string(i));
    EXPECT_EQ(ReadFileOrEmpty(oldRoots[i] + "\\.ver"), olds[i]->loose.at(".ver"));  // untouched
  }
}

// --- Refusals ------------------------------------------------------------------

TEST(TreeDiffErrorTest, TreesThatNoPatchCanReachAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> newFiles;
    int32_t code;
    std::vector<std::string> named;  // texts the message must hold
  };
  const Case cases[] = {
      {"no version file", {{"a.txt", "a"}}, ERR_NOT_FOUND, {".ver"}},
#ifndef _WIN32
      // Win32 cannot make these names: it trims the dot and refuses the bar.
      {"a name Windows would trim", {{".ver", "v"}, {"bin\\x.", "1"}}, ERR_BAD_DATA, {"x."}},
      {"a field separator", {{".ver", "v"}, {"a|b.txt", "1"}}, ERR_BAD_DATA, {"a|b.txt"}},
#endif
  };
  for (const Case& c : cases) {
    TempDir oldRoot;
    TempDir newRoot;
    WriteFileOrDie(oldRoot.Join(".ver"), "v0");
    for (const auto& file : c.newFiles) WriteFileOrDie(newRoot.Join(file.first), file.second);
    TreeDiff diff;
    EXPECT_FALSE(DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff))
        << c.what;
    EXPECT_EQ(LastErrorCode(), c.code) << c.what << ": " << LastErrorMessage();
    for (const std::string& name : c.named) {
      EXPECT_NE(std::string(LastErrorMessage()).find(name), std::string::npos)
          << c.what << ": " << LastErrorMessage();
    }
  }
}

#ifndef _WIN32
// Names only the disk can hold, made directly: the platform layer would take
// the second letter case for the first, and speaks code page 936. Refused,
// named as they are on disk.
TEST(TreeDiffErrorTest, NamesTheUpdaterCannotHoldAreRefused) {
  struct Case {
    const char* what;
    const char* diskName;  // below NEW, beside Data/A.txt
    int32_t code;
    std::vector<std::string> named;
  };
  const Case cases[] = {
      {"two names that differ only in case", "Data/a.TXT", ERR_DUPLICATE, {"A.txt", "a.TXT"}},
      {"a character outside code page 936",
       "Data/smile\xF0\x9F\x98\x80.txt",
       ERR_BAD_DATA,
       {"Data\\smile<U+1F600>.txt", "code page 936"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir oldRoot;
    TempDir newRoot;
    WriteFileOrDie(oldRoot.Join(".ver"), "v0");
    WriteFileOrDie(newRoot.Join(".ver"), "v1");
    WriteFileOrDie(newRoot.Join("Data\\A.txt"), "1");
    FILE* file = fopen((RuntimeFileName(newRoot.path().c_str()) + "/" + c.diskName).c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fclose(file);
    TreeDiff diff;
    EXPECT_FALSE(DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff));
    EXPECT_EQ(LastErrorCode(), c.code);
    std::string message = LastErrorMessage();
    for (const std::string& name : c.named) {
      EXPECT_NE(message.find(name), std::string::npos) << message;
    }
  }
}
#endif

// A new stored file that cannot be decoded passes the comparison (there is
// nothing to compare it with) but not the check of the applied patch: the
// patch is not written.
TEST(TreeDiffErrorTest, AFailedCheckLeavesNoPatch) {
  TempDir oldRoot;
  TempDir newRoot;
  TempDir work;
  TreeModel tree;
  tree.loose[".ver"] = "v";
  tree.archives["data.pak"].files["a"] = {0, "a"};
  WriteTreeOrDie(tree, oldRoot.path());
  tree.archives["data.pak"].files["b"] = {0, "b"};
  WriteTreeOrDie(tree, newRoot.path());
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(newRoot.Join("data.pak").c_str(), false));
  const char junk[] = "not lzo data at all";
  ASSERT_TRUE(archive->AddFile(junk, sizeof junk, "b", true, false, 2, 100));
  archive->Close();

  TreeDiff diff;
  ASSERT_TRUE(DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff))
      << LastErrorMessage();
  std::string output = work.Join("out.patch");
  PatchReport report;
  EXPECT_FALSE(WritePatch(&diff, output, PatchOptions(), &report));
  EXPECT_NE(LastErrorCode(), ERR_NONE);
  EXPECT_FALSE(PathExists(output.c_str()));
  std::vector<FolderEntry> left;
  ASSERT_TRUE(ListFolder(work.path().c_str(), &left));
  EXPECT_TRUE(left.empty()) << left.front().name;  // no temporary patch either
}

// --- The builder's own faults --------------------------------------------------

// Folders are never removed by an apply, and whole archives are written
// before loose files are deleted: these changes cannot be expressed by any
// order of entries, and are refused before anything is written, naming the
// path. A file that becomes a folder of loose files can be, and is.
TEST(TreeDiffShapeTest, FolderAndFileChangesNoPatchCanMakeAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::string> oldFiles;  // an entry ending in a backslash is an empty folder
    std::vector<std::string> newFiles;
    const char* named;  // nullptr: the diff is made and applies
  };
  const Case cases[] = {
      {"a folder becomes a file", {"res\\dir\\a.txt", "res\\dir\\b.txt"}, {"res\\dir"}, "res\\dir"},
      {"an empty folder becomes a file", {"logs\\"}, {"logs"}, "logs"},
      {"a folder becomes an archive",
       {"data\\item.pak\\a.txt"},
       {"data\\item.pak"},
       "data\\item.pak"},
      {"a file becomes a folder holding an archive", {"data"}, {"data\\item.pak"}, "data"},
      {"a file becomes a folder", {"res\\x"}, {"res\\x\\a.txt", "res\\x\\b.txt"}, nullptr},
      {"an archive becomes a folder", {"data\\item.pak"}, {"data\\item.pak\\a.txt"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir oldRoot;
    TempDir newRoot;
    TempDir work;
    TreeModel oldTree;
    TreeModel newTree;
    oldTree.loose[".ver"] = "CN|1";
    newTree.loose[".ver"] = "CN|2";
    for (auto* side : {&oldTree, &newTree}) {
      for (const std::string& name : side == &oldTree ? c.oldFiles : c.newFiles) {
        if (name.back() == '\\') continue;
        if (PathExtension(name) == "pak") {
          side->archives[name].files["x"] = {0, name};
        } else {
          side->loose[name] = name;
        }
      }
    }
    WriteTreeOrDie(oldTree, oldRoot.path());
    WriteTreeOrDie(newTree, newRoot.path());
    for (const std::string& name : c.oldFiles) {
      if (name.back() == '\\') {
        ASSERT_TRUE(CreateFolderChain(oldRoot.Join(name).c_str()));
      }
    }
    TreeDiff diff;
    bool made = DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff);
    if (c.named == nullptr) {
      ASSERT_TRUE(made) << LastErrorMessage();
      Applied applied =
          DiffWriteAndApply(oldRoot.path(), newRoot.path(), work.path(), PATCH_KIND_MASKED_ZIP);
      ExpectInstallation(applied.target->path(), newTree, c.what);
      continue;
    }
    EXPECT_FALSE(made);
    EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
    EXPECT_NE(std::string(LastErrorMessage()).find(c.named), std::string::npos)
        << LastErrorMessage();
  }
}

// The self-check applies the patch to a full copy of the installation, so a
// patch that cannot reach NEW from it is never called good: here the patch
// of a tree without the folder res\dir is checked against one with it.
TEST(TreeDiffShapeTest, TheSelfCheckAppliesToTheWholeInstallation) {
  TempDir plainOld;
  TempDir folderOld;
  TempDir newRoot;
  TempDir work;
  WriteFileOrDie(plainOld.Join(".ver"), "CN|1");
  WriteFileOrDie(folderOld.Join(".ver"), "CN|1");
  WriteFileOrDie(folderOld.Join("res\\dir\\a.txt"), "a");
  WriteFileOrDie(newRoot.Join(".ver"), "CN|2");
  WriteFileOrDie(newRoot.Join("res\\dir"), "now a file");
  TreeDiff diff;
  ASSERT_TRUE(DiffInstallations({plainOld.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff))
      << LastErrorMessage();
  diff.oldRoots = {folderOld.path()};
  PatchReport report;
  EXPECT_FALSE(WritePatch(&diff, work.Join("out.patch"), PatchOptions(), &report));
  EXPECT_FALSE(PathExists(work.Join("out.patch").c_str()));
  EXPECT_EQ(ReadFileOrEmpty(folderOld.Join("res\\dir\\a.txt")), "a");  // OLD untouched
}

// A stored file of type 3 as another encoder made it: 12 bytes, which the
// updater's LZMA encoder refuses (it would not shrink them).
void AddUnencodableLzmaFile(const std::string& archivePath, const char* name) {
  const std::string content = "twelve bytes";
  std::vector<uint8_t> stored(256);
  uint32_t size = 0;
  ASSERT_EQ(EncodeLzmaBuffer(reinterpret_cast<const uint8_t*>(content.data()),
                             static_cast<uint32_t>(content.size()), kLzmaFilterPlain, stored.data(),
                             static_cast<uint32_t>(stored.size()), &size),
            LZMA_RESULT_OK);
  XorWordMask(stored.data(), size, LZMA_WORD_MASK);
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(archivePath.c_str(), false));
  ASSERT_TRUE(archive->AddFile(stored.data(), size, name, true, false, COMPRESS_LZMA,
                               static_cast<uint32_t>(content.size())));
  archive->Close();
}

// A packed patch hands stored files to the updater's encoder; one it refuses
// makes its archive go whole, which is a correct packed patch, and the dry
// run shows the same.
TEST(TreeDiffKindTest, APackedPatchWritesWholeAnArchiveTheUpdaterCannotEncode) {
  TempDir oldRoot;
  TempDir newRoot;
  TempDir work;
  TreeModel tree;
  tree.loose[".ver"] = "CN|1";
  for (int i = 0; i < 40; ++i) {
    tree.archives["data.pak"].files["file" + std::to_string(i)] = {2,
                                                                   std::string(500, 'a' + i % 26)};
  }
  WriteTreeOrDie(tree, oldRoot.path());
  tree.loose[".ver"] = "CN|2";
  tree.archives["data.pak"].withList = false;  // the list goes in after the odd file
  WriteTreeOrDie(tree, newRoot.path());
  AddUnencodableLzmaFile(newRoot.Join("data.pak"), "odd.bin");
  {
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(newRoot.Join("data.pak").c_str(), false));
    ArchiveModel listed = tree.archives["data.pak"];
    listed.files["odd.bin"] = {3, "twelve bytes"};
    AddOrDie(*archive, "(list)", 0, ListText(listed));
    archive->Close();
  }
  Applied applied =
      DiffWriteAndApply(oldRoot.path(), newRoot.path(), work.path(), PATCH_KIND_PACKED);
  ASSERT_EQ(applied.diff.summary.packs.size(), 1u);
  const PackSummary& pack = applied.diff.summary.packs[0];
  EXPECT_EQ(pack.plan, PackPlan::kWhole) << pack.reason;
  EXPECT_NE(pack.reason.find("refuses odd.bin (LZMA compress[3])"), std::string::npos)
      << pack.reason;
  EXPECT_EQ(ReadFileOrEmpty(applied.target->Join("data.pak")),
            ReadFileOrEmpty(newRoot.Join("data.pak")));

  // A plan that did not foresee it (made for a masked patch here, as one
  // that leaves large files to the self-check would be) is mended by the
  // self-check into the same patch.
  TreeDiff unforeseen;
  ASSERT_TRUE(
      DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &unforeseen));
  ASSERT_EQ(unforeseen.summary.packs[0].plan, PackPlan::kPerFile);
  unforeseen.kind = PATCH_KIND_PACKED;
  PatchReport report;
  ASSERT_TRUE(WritePatch(&unforeseen, work.Join("mended.patch"), PatchOptions(), &report))
      << LastErrorMessage();
  EXPECT_EQ(ControlListText(unforeseen), ControlListText(applied.diff));
  EXPECT_EQ(unforeseen.summary.packs[0].reason, pack.reason);
  EXPECT_EQ(ReadFileOrEmpty(work.Join("mended.patch")), ReadFileOrEmpty(applied.patch));
}

// The patch is never written into either tree, where it would overwrite a
// file of the installation or be taken for one by the next diff.
TEST(TreeDiffErrorTest, AnOutputInsideEitherTreeIsRefused) {
  TempDir oldRoot;
  TempDir newRoot;
  WriteFileOrDie(oldRoot.Join(".ver"), "CN|1");
  WriteFileOrDie(newRoot.Join(".ver"), "CN|2");
  WriteFileOrDie(newRoot.Join("readme.txt"), "read me");
  TreeDiff diff;
  ASSERT_TRUE(DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff))
      << LastErrorMessage();
  const std::string outputs[] = {
      newRoot.Join("readme.txt"),
      newRoot.Join("sub\\x.patch"),
      oldRoot.Join("x.patch"),
      JoinPath(newRoot.Join(".."), PathFileName(newRoot.path()) + "\\y.patch"),
  };
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    PatchReport report;
    EXPECT_FALSE(WritePatch(&diff, output, PatchOptions(), &report));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID) << LastErrorMessage();
  }
  EXPECT_EQ(ReadFileOrEmpty(newRoot.Join("readme.txt")), "read me");
  EXPECT_FALSE(PathExists(newRoot.Join("sub").c_str()));
  EXPECT_FALSE(PathExists(oldRoot.Join("x.patch").c_str()));
  EXPECT_FALSE(PathExists(newRoot.Join("y.patch").c_str()));
}

// The limit on a loose name is the installation's own: a long name passes or
// fails whatever the temporary folder's path is.
TEST(TreeDiffErrorTest, TheLimitOnLongNamesDoesNotDependOnTheTemporaryFolder) {
  std::string previousTemp = TempFolderPath();
  TempDir longTemp;
  // Long, yet short enough that the tools' own temporary files below it stay
  // within the Windows path limit.
  std::string deepTemp = longTemp.Join(std::string(90, 't') + "\\" + std::string(60, 'u'));
  ASSERT_TRUE(CreateFolderChain(deepTemp.c_str()));
  auto folderName = [](size_t length, char c) { return std::string(length, c) + "\\"; };
  const std::string fits = folderName(120, 'a') + folderName(70, 'b') + "file.txt";      // 200
  const std::string tooLong = folderName(130, 'a') + folderName(120, 'b') + "file.txt";  // 260
  for (const std::string& temp : {previousTemp, deepTemp}) {
    SCOPED_TRACE(temp);
    for (const std::string& name : {fits, tooLong}) {
      TempDir oldRoot;
      TempDir newRoot;
      TempDir work;
      WriteFileOrDie(oldRoot.Join(".ver"), "CN|1");
      WriteFileOrDie(newRoot.Join(".ver"), "CN|2");
      WriteFileOrDie(newRoot.Join(name), "deep");
      ASSERT_TRUE(SetTempFolder(temp.c_str()));
      TreeDiff diff;
      PatchReport report;
      bool made =
          DiffInstallations({oldRoot.path()}, newRoot.path(), PATCH_KIND_MASKED_ZIP, &diff) &&
          WritePatch(&diff, work.Join("out.patch"), PatchOptions(), &report);
      SetTempFolder(previousTemp.c_str());
      EXPECT_EQ(made, name == fits) << name.size() << ": " << LastErrorMessage();
      if (name != fits) {
        EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
        EXPECT_NE(std::string(LastErrorMessage()).find(name), std::string::npos)
            << LastErrorMessage();
      }
    }
  }
}

// The same trees and options give the same bytes, so that a release can be
// rebuilt and compared: the container's times do not come from the clock.
TEST_P(TreeDiffTest, TheSamePairGivesTheSameBytes) {
  WriteTreeOrDie(SmallOld(), old_.path());
  WriteTreeOrDie(SmallNew(), new_.path());
  std::string bytes[2];
  for (int run = 0; run < 2; ++run) {
    if (run == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // zip times: 2 s
    TreeDiff diff;
    PatchReport report;
    std::string output = work_.Join("run" + std::to_string(run) + ".patch");
    ASSERT_TRUE(DiffInstallations({old_.path()}, new_.path(), GetParam(), &diff))
        << LastErrorMessage();
    ASSERT_TRUE(WritePatch(&diff, output, PatchOptions(), &report)) << LastErrorMessage();
    bytes[run] = ReadFileOrEmpty(output);
  }
  EXPECT_FALSE(bytes[0].empty());
  EXPECT_TRUE(bytes[0] == bytes[1]);
}

// --- Generated pairs -----------------------------------------------------------

TEST_P(TreeDiffTest, GeneratedPairsApplyToNew) {
  for (int i = 0; i < GeneratedCaseCount("QLMR_DIFF_PAIRS", 3); ++i) {
    uint32_t seed = FirstGeneratedSeed() + static_cast<uint32_t>(i);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ReleaseGenerator generator(seed);
    TreeModel oldTree = generator.Old();
    TreeModel newTree = generator.New(oldTree);
    TempDir oldRoot;
    TempDir newRoot;
    TempDir work;
    WriteTreeOrDie(oldTree, oldRoot.path());
    WriteTreeOrDie(newTree, newRoot.path());
    Applied applied = DiffWriteAndApply(oldRoot.path(), newRoot.path(), work.path(), GetParam());
    ExpectInstallation(applied.target->path(), newTree, "seed " + std::to_string(seed));
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace patchkit
}  // namespace qlmr
