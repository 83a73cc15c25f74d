#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/patch_package.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::MaskedPackage;
using testing_support::PackedPackage;
using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

std::vector<std::string>* g_calls = nullptr;

int Record(const char* packName, const char* fileName, int32_t kind) {
  g_calls->push_back(std::to_string(kind) + ":" + packName + "|" + fileName);
  return 0;
}

// Stored files of a pack archive for the tests: name -> raw stored bytes.
struct Stored {
  std::string raw;
  uint8_t compressType;
  uint32_t contentSize;
};

class ApplyPackageTest : public ::testing::Test {
 protected:
  void SetUp() override { g_calls = &calls_; }
  void TearDown() override { g_calls = nullptr; }

  std::string Install(const std::string& name) const { return JoinPath(install_.path(), name); }

  void MakePack(const std::string& name,
                const std::vector<std::pair<std::string, std::string>>& files) {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    ASSERT_TRUE(CreateFolderChain(PathFolder(Install(name)).c_str()));
    ASSERT_TRUE(archive->Create(Install(name).c_str())) << LastErrorMessage();
    for (const auto& file : files) {
      ASSERT_TRUE(archive->AddFile(file.second.data(), static_cast<uint32_t>(file.second.size()),
                                   file.first.c_str(), true, true, 0, 0));
    }
    archive->Close();
  }

  // What the pack holds under `name`, or nothing when it is not stored.
  bool ReadStored(const std::string& pack, const std::string& name, Stored* out) {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    if (!archive->Open(Install(pack).c_str(), true)) return false;
    if (!archive->HasFile(name.c_str())) return false;
    out->compressType = archive->GetCompressType(name.c_str());
    out->contentSize = archive->GetFileSize(name.c_str(), false);
    out->raw.assign(archive->GetFileSize(name.c_str(), true), '\0');
    return archive->ReadFileData(name.c_str(), false, &out->raw[0],
                                 static_cast<uint32_t>(out->raw.size()));
  }

  std::string Content(const std::string& pack, const std::string& name) {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    if (!archive->Open(Install(pack).c_str(), true)) return "<no pack>";
    uint32_t size = archive->GetFileSize(name.c_str(), false);
    std::string data(size, '\0');
    if (!archive->ReadFileData(name.c_str(), true, &data[0], size)) return "<unreadable>";
    return data;
  }

  bool Apply(const std::string& patch) {
    PatchPackagePtr package(CreatePatchPackage());
    if (!package->OpenPackage(patch.c_str(), "pak")) return false;
    count_ = package->GetEntryCount();
    return package->ApplyPackage(install_.path().c_str(), "pak", ".ver", &Record);
  }

  TempDir dir_;
  TempDir install_;
  std::vector<std::string> calls_;
  int32_t count_ = -1;
};

TEST_F(ApplyPackageTest, AppliesInTheFixedOrderWithTheVersionFileLast) {
  MakePack("data\\item.pak", {{"keep", "K"}});
  MakePack("z.pak", {{"old", "O"}});
  // The whole pack that replaces data\item.pak: an empty archive.
  std::string fresh = dir_.Join("fresh.pak");
  {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    ASSERT_TRUE(archive->Create(fresh.c_str()));
  }
  std::string patch = MaskedPackage(dir_.Join("p.patch"),
                                    "0||b.txt|0|0\n"
                                    "0|z.pak|new|0|00000001\n"
                                    "1|z.pak|old|0|0\n"  // after the write, done before it
                                    "0||.ver|0|0\n"
                                    "0|data\\item.pak|dropped|0|0\n"  // dropped by the next
                                    "0||data\\Item.PAK|0|0\n"
                                    "0|data\\item.pak|added|0|00000002\n"
                                    "1||gone.txt|0|0\n"
                                    "0||A.txt|0|0\n",
                                    {{"b.txt", "B"},
                                     {"z.pak/new", "N"},
                                     {".ver", "kr|00001.00002.00003"},
                                     {"data/Item.PAK", ReadFileOrEmpty(fresh)},
                                     {"data/item.pak/added", "AD"},
                                     {"A.txt", "A"}});
  WriteFileOrDie(Install("gone.txt"), "x");
  ASSERT_TRUE(Apply(patch)) << LastErrorCode() << " " << LastErrorMessage();

  std::vector<std::string> expected = {
      "0:|data\\Item.PAK",       // whole packs first
      "0:data\\item.pak|added",  // packs in key order: data/item.pak before z.pak
      "1:z.pak|old",             // deletions before writes within a pack
      "0:z.pak|new",
      "0:|A.txt",  // loose files in key order
      "0:|b.txt",
      "1:|gone.txt",
      "0:|.ver",  // although "." sorts first
  };
  EXPECT_EQ(calls_, expected);
  EXPECT_EQ(count_, static_cast<int32_t>(expected.size()));
  EXPECT_EQ(ReadFileOrEmpty(Install("a.txt")), "A");
  EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "kr|00001.00002.00003");
  EXPECT_FALSE(PathExists(Install("gone.txt").c_str()));
  EXPECT_EQ(Content("z.pak", "new"), "N");
  Stored stored;
  EXPECT_FALSE(ReadStored("z.pak", "old", &stored));
  // The new pack replaced the old one: "keep" is gone, "added" is there,
  // "dropped" never came.
  EXPECT_FALSE(ReadStored("data\\item.pak", "keep", &stored));
  EXPECT_FALSE(ReadStored("data\\item.pak", "dropped", &stored));
  EXPECT_EQ(Content("data\\item.pak", "added"), "AD");
}

TEST_F(ApplyPackageTest, AnEmptyPackageCallsNothingAndSucceeds) {
  ASSERT_TRUE(Apply(MaskedPackage(dir_.Join("e.patch"), "")));
  EXPECT_TRUE(calls_.empty());
  PatchPackagePtr package(CreatePatchPackage());
  EXPECT_FALSE(package->ApplyPackage("", "pak", ".ver", &Record));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
}

TEST_F(ApplyPackageTest, APackEntryWithAnotherOpIsCountedButNeverApplied) {
  MakePack("p.pak", {{"x", "old"}});
  std::string patch = MaskedPackage(dir_.Join("p.patch"), "2|p.pak|x|0|00000003\n0|p.pak|y|0|1\n",
                                    {{"p.pak/x", "new"}, {"p.pak/y", "Y"}});
  ASSERT_TRUE(Apply(patch));
  EXPECT_EQ(count_, 2);
  EXPECT_EQ(calls_, std::vector<std::string>{"0:p.pak|y"});
  EXPECT_EQ(Content("p.pak", "x"), "old");
}

// A patch for several installed versions deletes what any of them holds;
// on one that lacks it the deletion does nothing.
TEST_F(ApplyPackageTest, DeletionsOfAbsentNamesSucceed) {
  MakePack("p.pak", {{"x", "X"}});
  ASSERT_TRUE(Apply(
      MaskedPackage(dir_.Join("d.patch"),
                    "1|p.pak|not-stored|0|0\n1||not\\there.txt|0|0\n1||data\\gone.pak|0|0\n")));
  EXPECT_EQ(calls_.size(), 3u);
  EXPECT_EQ(Content("p.pak", "x"), "X");
}

TEST_F(ApplyPackageTest, AMaskedPackageStoresPreEncodedBytesAsTheyAre) {
  MakePack("p.pak", {});
  // Bytes that are no valid LZMA data at all: handed over unchanged.
  std::string preEncoded = RandomBytes(5, 300);
  ASSERT_TRUE(Apply(
      MaskedPackage(dir_.Join("m.patch"), "0|p.pak|f|3|00000100\n", {{"p.pak/f", preEncoded}})));
  Stored stored;
  ASSERT_TRUE(ReadStored("p.pak", "f", &stored));
  EXPECT_EQ(stored.raw, preEncoded);
  EXPECT_EQ(stored.compressType, 3);
  EXPECT_EQ(stored.contentSize, 0x100u);
}

TEST_F(ApplyPackageTest, APreEncodedContentClaimItsBytesCannotHoldIsNeverStored) {
  // 300 stored bytes decode to at most 300 (type 1), 76,800 (LZO) or
  // 2,457,600 (LZMA) bytes; a larger claim would be refused by every read.
  struct Case {
    int type;
    const char* claim;
    bool stored;
  } cases[] = {
      {1, "0000012C", true},  {1, "0000012D", false}, {2, "00012C00", true},
      {2, "00012C01", false}, {3, "00258000", true},  {3, "00258001", false},
  };
  std::string preEncoded = RandomBytes(5, 300);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.claim);
    MakePack("p.pak", {{"f", "old"}});
    std::string line = std::string("0|p.pak|f|") + std::to_string(c.type) + "|" + c.claim + "\n";
    EXPECT_EQ(Apply(MaskedPackage(dir_.Join("m.patch"), line.c_str(), {{"p.pak/f", preEncoded}})),
              c.stored);
    Stored stored;
    ASSERT_TRUE(ReadStored("p.pak", "f", &stored));
    if (c.stored) {
      EXPECT_EQ(stored.raw, preEncoded);
      EXPECT_EQ(stored.compressType, c.type);
    } else {
      EXPECT_EQ(LastErrorCode(), ERR_BAD_DATA);
      EXPECT_STREQ(LastErrorMessage(), "Entry=p.pak\\f(size)");
      EXPECT_EQ(stored.raw, "old");
    }
  }
}

// A masked patch written by the release tools and kept as it was built: its
// container and its type-1 entry stay readable only while the mask does.
TEST_F(ApplyPackageTest, AKeptMaskedPatchStillApplies) {
  MakePack("data\\a.pak", {});
  ASSERT_TRUE(Apply(QLMR_FIXTURES "/masked.patch")) << LastErrorMessage();
  EXPECT_EQ(count_, 2);
  EXPECT_EQ(Content("data\\a.pak", "hello.txt"),
            "The positional mask keeps this text readable only to us.\n");
  Stored stored;
  ASSERT_TRUE(ReadStored("data\\a.pak", "hello.txt", &stored));
  EXPECT_EQ(stored.compressType, 1);
  EXPECT_EQ(ReadFileOrEmpty(Install("readme.txt")), "Quelmar masked patch fixture\n");
}

TEST_F(ApplyPackageTest, APackedPackageEncodesWithTheCodecOfTheCompressType) {
  MakePack("p.pak", {});
  std::string content;
  for (int i = 0; i < 500; ++i) content += "stored line " + std::to_string(i) + "\n";
  char list[128];
  snprintf(list, sizeof list, "0|p.pak|lzma|3|%08X\n0|p.pak|lzo|2|%08X\n0|p.pak|plain|0|0\n",
           static_cast<unsigned>(content.size()), static_cast<unsigned>(content.size()));
  ASSERT_TRUE(Apply(
      PackedPackage(dir_.Join("p.patch"), list,
                    {{"p.pak/lzma", content}, {"p.pak/lzo", content}, {"p.pak/plain", content}})))
      << LastErrorMessage();
  for (int type : {3, 2}) {
    const char* name = type == 3 ? "lzma" : "lzo";
    Stored stored;
    ASSERT_TRUE(ReadStored("p.pak", name, &stored));
    EXPECT_EQ(stored.compressType, type);
    EXPECT_EQ(stored.contentSize, content.size());
    EXPECT_LT(stored.raw.size(), content.size()) << name << " is stored encoded";
    EXPECT_EQ(Content("p.pak", name), content) << name;
  }
  Stored plain;
  ASSERT_TRUE(ReadStored("p.pak", "plain", &plain));
  EXPECT_EQ(plain.raw, content);
}

TEST_F(ApplyPackageTest, APackedPackageWithAnUnknownCodecFailsWithCode10) {
  MakePack("p.pak", {});
  ASSERT_FALSE(
      Apply(PackedPackage(dir_.Join("p.patch"), "0|p.pak|f|7|00000003\n", {{"p.pak/f", "abc"}})));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
}

TEST_F(ApplyPackageTest, AFailingThirdOfFiveWritesLeavesTheVersionFileAlone) {
  WriteFileOrDie(Install(".ver"), "old version");
  // A folder where the third file should go: it cannot be created.
  ASSERT_TRUE(CreateFolderChain(Install("c.txt").c_str()));
  std::string patch = MaskedPackage(
      dir_.Join("p.patch"),
      "0||a.txt|0|0\n0||b.txt|0|0\n0||c.txt|0|0\n0||d.txt|0|0\n0||e.txt|0|0\n0||.ver|0|0\n",
      {{"a.txt", "A"},
       {"b.txt", "B"},
       {"c.txt", "C"},
       {"d.txt", "D"},
       {"e.txt", "E"},
       {".ver", "new version"}});
  EXPECT_FALSE(Apply(patch));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(ReadFileOrEmpty(Install("a.txt")), "A");
  EXPECT_EQ(ReadFileOrEmpty(Install("b.txt")), "B");
  EXPECT_FALSE(PathExists(Install("d.txt").c_str()));
  EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "old version");
  EXPECT_EQ(calls_.size(), 3u);
}

TEST_F(ApplyPackageTest, ADeletionThatFailsOnAnExistingFileFailsTheApply) {
  // The first call that changes the disk is the deletion; the seam fails it.
  std::string patch = MaskedPackage(dir_.Join("p.patch"),
                                    "1||bin\\old.dll|0|0\n"
                                    "0||.ver|0|0\n",
                                    {{".ver", "new"}});
  struct Case {
    bool exists;
    FaultError error;
    const char* words;
  };
  for (Case c :
       {Case{true, FaultError::kIoError, "I/O error"},
        Case{true, FaultError::kDiskFull, "disk full"}, Case{false, FaultError::kIoError, ""}}) {
    SCOPED_TRACE(c.exists ? c.words : "absent");
    RemoveFileAt(Install("bin\\old.dll").c_str());
    if (c.exists) WriteFileOrDie(Install("bin\\old.dll"), "stale");
    WriteFileOrDie(Install(".ver"), "old");
    FaultPlan plan;
    plan.model = FaultModel::kFail;
    plan.at = 1;
    plan.error = c.error;
    ArmFaultSeam(plan);
    bool applied = Apply(patch);
    bool fired = FaultSeamFired();
    DisarmFaultSeam();
    EXPECT_TRUE(fired);
    if (!c.exists) {
      // A file that is not there is as good as deleted.
      EXPECT_TRUE(applied) << LastErrorMessage();
      EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "new");
      continue;
    }
    EXPECT_FALSE(applied);
    EXPECT_EQ(LastErrorCode(), ERR_WRITE);
    std::string message = LastErrorMessage();
    EXPECT_NE(message.find("old.dll"), std::string::npos) << message;
    EXPECT_NE(message.find(c.words), std::string::npos) << message;
    EXPECT_EQ(ReadFileOrEmpty(Install("bin\\old.dll")), "stale");
    EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "old");
  }
}

TEST_F(ApplyPackageTest, TheVersionFileIsReplacedWholeAfterOneFlushOfEverythingBefore) {
  std::string patch = MaskedPackage(dir_.Join("p.patch"),
                                    "0||a.txt|0|0\n"
                                    "0||.ver|0|0\n",
                                    {{"a.txt", "A"}, {".ver", "new version"}});
  WriteFileOrDie(Install(".ver"), "old version");
  // Calls: create a.txt's copy beside it, write it, move it over a.txt (no
  // flush of its own), make everything written durable at once, create the
  // new version beside the old one, write, flush it, move it over the old
  // one.
  ArmFaultSeam(FaultPlan());
  ASSERT_TRUE(Apply(patch)) << LastErrorMessage();
  uint64_t calls = FaultSeamCalls();
  DisarmFaultSeam();
  EXPECT_EQ(calls, 8u);
  for (uint64_t k = 1; k <= calls; ++k) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    RemoveFileAt(Install("a.txt").c_str());
    WriteFileOrDie(Install(".ver"), "old version");
    FaultPlan plan;
    plan.model = FaultModel::kFail;
    plan.at = k;
    ArmFaultSeam(plan);
    bool applied = Apply(patch);
    DisarmFaultSeam();
    // Old or new, never empty, never a mix, and no temporary copy left.
    EXPECT_FALSE(applied);
    EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "old version");
    if (k == 4) {
      // What was written cannot be made durable: the version file waits.
      EXPECT_EQ(LastErrorCode(), ERR_WRITE);
      EXPECT_NE(std::string(LastErrorMessage()).find("disk full"), std::string::npos);
    }
    EXPECT_FALSE(PathExists(Install(".ver.~new").c_str()));
    EXPECT_FALSE(PathExists(Install("a.txt.~new").c_str()));
  }
}

TEST_F(ApplyPackageTest, AMissingPackFailsWithOpensCodeAfterTheWholePacks) {
  std::string freshPath = dir_.Join("fresh.pak");
  {
    std::unique_ptr<PackArchive> fresh = NewPackArchive();
    ASSERT_TRUE(fresh->Create(freshPath.c_str()));
  }
  std::string patch = MaskedPackage(
      dir_.Join("p.patch"), "0||whole.pak|0|0\n0|absent.pak|f|0|0\n0||.ver|0|0\n",
      {{"whole.pak", ReadFileOrEmpty(freshPath)}, {"absent.pak/f", "F"}, {".ver", "v"}});
  EXPECT_FALSE(Apply(patch));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_TRUE(PathExists(Install("whole.pak").c_str()));
  EXPECT_FALSE(PathExists(Install(".ver").c_str()));
}

TEST_F(ApplyPackageTest, AWriteWhoseDataIsMissingFailsWithCode14AndWritesNothing) {
  for (const char* list : {"0||promised.txt|0|0\n", "0|p.pak|promised|0|0\n"}) {
    MakePack("p.pak", {});
    EXPECT_FALSE(Apply(MaskedPackage(dir_.Join("p.patch"), list))) << list;
    EXPECT_EQ(LastErrorCode(), ERR_ZIP) << list;
    EXPECT_FALSE(PathExists(Install("promised.txt").c_str()));
    Stored stored;
    EXPECT_FALSE(ReadStored("p.pak", "promised", &stored));
  }
}

TEST_F(ApplyPackageTest, ALooseEntryWithAnotherOpFailsWithCode10) {
  // 4294967297 would wrap to 1, a deletion.
  for (std::string op : {"3", "4294967297"}) {
    calls_.clear();
    WriteFileOrDie(Install("x.txt"), "old");
    std::string list = op + "||x.txt|0|0\n";
    ASSERT_FALSE(Apply(MaskedPackage(dir_.Join("p.patch"), list.c_str(), {{"x.txt", "X"}}))) << op;
    EXPECT_EQ(LastErrorCode(), ERR_INVALID) << op;
    std::string kind = op == "3" ? "3" : "2147483647";
    EXPECT_EQ(calls_, std::vector<std::string>{kind + ":|x.txt"}) << op;
    EXPECT_EQ(ReadFileOrEmpty(Install("x.txt")), "old") << op;
  }
}

TEST_F(ApplyPackageTest, APathBeyondTheLimitFailsClearly) {
  std::string name(300 - install_.path().size(), 'n');
  std::string list = "0||" + name + "|0|0\n";
  ASSERT_FALSE(Apply(MaskedPackage(dir_.Join("p.patch"), list.c_str(), {{name, "X"}})));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("Path=", 0), 0u);
}

TEST_F(ApplyPackageTest, ARefusedPackageWritesNothing) {
  std::string patch = MaskedPackage(dir_.Join("p.patch"), "0||ok.txt|0|0\n0||..\\escape.txt|0|0\n",
                                    {{"ok.txt", "ok"}, {"../escape.txt", "bad"}});
  PatchPackagePtr package(CreatePatchPackage());
  EXPECT_FALSE(package->OpenPackage(patch.c_str(), "pak"));
  EXPECT_TRUE(package->ApplyPackage(install_.path().c_str(), "pak", ".ver", &Record));
  EXPECT_TRUE(calls_.empty());
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(install_.path().c_str(), &entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(PathExists(JoinPath(PathFolder(install_.path()), "escape.txt").c_str()));
}

}  // namespace
}  // namespace qlmr
