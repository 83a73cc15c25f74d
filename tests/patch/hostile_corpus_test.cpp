// The committed corpus of hostile patches (tests/patch/hostile/): each one
// is opened and applied into a sandbox, and must be refused with nothing
// written outside the installation folder and nothing of its own inside.
// The corpus is made by the disabled test at the end of this file:
//   qlmr_patch_tests --gtest_also_run_disabled_tests
//                    --gtest_filter='*WriteHostileCorpus*'
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "patch/zip_checks.h"
#include "tests/pack/pack_test_util.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

using testing_support::CentralRecords;
using testing_support::Get32;
using testing_support::Put32;
using namespace zip_format;

std::string Zip(const std::vector<ZipMember>& members) {
  TempDir dir;
  std::string path = dir.Join("z.zip");
  EXPECT_TRUE(WriteZipContainer(members, path.c_str(), ZipByteForm::kPlain));
  return ReadFileOrEmpty(path);
}

std::string Masked(std::string zip) {
  MaskBuffer(&zip[0], zip.size(), 0);
  return zip;
}

std::string OneLine(const std::string& line, const std::string& name) {
  return Masked(Zip({{"(command)", line + "\r\n"}, {name, "hostile content"}}));
}

struct Hostile {
  const char* file;
  std::function<std::string()> make;
  bool opens;  // refused when applied rather than when opened
  int32_t code;
};

std::string Bytes(const std::string& zip, const std::function<void(std::string*)>& edit) {
  std::string bytes = zip;
  edit(&bytes);
  return Masked(bytes);
}

std::vector<Hostile> HostileCases() {
  std::string text(20000, 'z');
  std::vector<ZipMember> two = {
      {"(command)", "0||a.txt|0|0\r\n0||b.txt|0|0\r\n"}, {"a.txt", text}, {"b.txt", "second"}};
  return {
      {"traversal-parent.patch", [] { return OneLine("0||..\\evil.txt|0|0", "../evil.txt"); },
       false, ERR_BAD_DATA},
      {"traversal-slash.patch", [] { return OneLine("0||../evil.txt|0|0", "../evil.txt"); }, false,
       ERR_BAD_DATA},
      {"traversal-inner.patch", [] { return OneLine("0||a\\..\\..\\evil.txt|0|0", "a/x"); }, false,
       ERR_BAD_DATA},
      {"traversal-unc.patch", [] { return OneLine("0||\\\\server\\share\\evil.txt|0|0", "x"); },
       false, ERR_BAD_DATA},
      {"traversal-drive.patch", [] { return OneLine("0||C:\\evil.txt|0|0", "C:/evil.txt"); }, false,
       ERR_BAD_DATA},
      {"traversal-drive-relative.patch", [] { return OneLine("0||C:evil.txt|0|0", "C:evil.txt"); },
       false, ERR_BAD_DATA},
      {"traversal-stream.patch", [] { return OneLine("0||a.txt:stream|0|0", "a.txt:stream"); },
       false, ERR_BAD_DATA},
      {"traversal-device.patch", [] { return OneLine("0||bin\\CON|0|0", "bin/CON"); }, false,
       ERR_BAD_DATA},
      {"traversal-trailing-dot.patch", [] { return OneLine("0||bin.\\a.txt|0|0", "bin./a.txt"); },
       false, ERR_BAD_DATA},
      {"traversal-pack.patch",
       [] { return OneLine("0|..\\evil.pak|a.txt|0|0", "../evil.pak/a.txt"); }, false,
       ERR_BAD_DATA},
      {"traversal-delete.patch", [] { return OneLine("1||..\\victim.txt|0|0", "x"); }, false,
       ERR_BAD_DATA},
      {"lying-size-1gib.patch",
       [=] {
         return Bytes(Zip(two), [](std::string* zip) {
           Put32(zip, CentralRecords(*zip)[1] + kCentralSizeOffset, 1u << 30);
         });
       },
       true, ERR_BAD_DATA},
      {"lying-size-stored.patch",
       [=] {
         return Bytes(Zip(two), [](std::string* zip) {
           size_t at = CentralRecords(*zip)[1];
           (*zip)[at + kCentralMethodOffset] = 0;  // "stored", with the deflated sizes
         });
       },
       true, ERR_BAD_DATA},
      {"zip-bomb-overlap.patch",
       [=] {
         // Both entries point at the same record, so its bytes count twice:
         // the trick that makes a small file claim gigabytes.
         return Bytes(Zip(two), [](std::string* zip) {
           std::vector<size_t> records = CentralRecords(*zip);
           Put32(zip, records[2] + kCentralLocalOffsetOffset,
                 Get32(*zip, records[1] + kCentralLocalOffsetOffset));
         });
       },
       false, ERR_BAD_DATA},
      {"truncated-record.patch",
       [=] {
         return Bytes(Zip(two), [](std::string* zip) {
           size_t at = CentralRecords(*zip)[1];
           Put32(zip, at + kCentralCompressedSizeOffset, static_cast<uint32_t>(zip->size()));
         });
       },
       false, ERR_BAD_DATA},
      {"truncated-file.patch",
       [=] {
         std::string zip = Zip(two);
         return Masked(zip.substr(0, zip.size() - 30));  // into the directory's end record
       },
       false, ERR_ZIP},
      {"bad-crc.patch",
       [=] {
         return Bytes(Zip(two), [](std::string* zip) {
           size_t at = CentralRecords(*zip)[1] + kCentralCrcOffset;
           Put32(zip, at, Get32(*zip, at) ^ 1);
         });
       },
       true, ERR_BAD_DATA},
      {"no-control-list.patch",
       [] {
         return Masked(Zip({{"a.txt", "orphan"}}));
       },
       false, ERR_ZIP},
  };
}

std::string CorpusFolder() { return QLMR_HOSTILE_CORPUS; }

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<FolderEntry> entries;
  ListFolder(folder.c_str(), &entries);
  std::vector<std::string> names;
  for (const FolderEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(HostileCorpusTest, EveryCommittedHostilePatchIsRefusedWithoutTouchingAnything) {
  std::vector<Hostile> cases = HostileCases();
  ASSERT_EQ(Listing(CorpusFolder()).size(), cases.size()) << "regenerate the corpus";
  for (const Hostile& hostile : cases) {
    SCOPED_TRACE(hostile.file);
    std::string bytes = ReadFileOrEmpty(JoinPath(CorpusFolder(), hostile.file));
    ASSERT_FALSE(bytes.empty());
    TempDir sandbox;
    std::string install = sandbox.Join("game\\client");
    ASSERT_TRUE(CreateFolderChain(install.c_str()));
    WriteFileOrDie(JoinPath(install, ".ver"), "CN.00001.00002.00003");
    WriteFileOrDie(sandbox.Join("game\\victim.txt"), "keep");
    std::string patch = sandbox.Join("p.patch");
    WriteFileOrDie(patch, bytes);

    PatchPackagePtr package(CreatePatchPackage());
    bool opened = package->OpenPackage(patch.c_str(), "pak");
    EXPECT_EQ(opened, hostile.opens) << LastErrorMessage();
    if (opened) {
      EXPECT_FALSE(package->ApplyPackage(install.c_str(), "pak", ".ver", nullptr));
    }
    EXPECT_EQ(LastErrorCode(), hostile.code) << LastErrorMessage();
    EXPECT_EQ(Listing(sandbox.path()), (std::vector<std::string>{"game", "p.patch"}));
    EXPECT_EQ(Listing(sandbox.Join("game")), (std::vector<std::string>{"client", "victim.txt"}));
    EXPECT_EQ(ReadFileOrEmpty(sandbox.Join("game\\victim.txt")), "keep");
    EXPECT_EQ(Listing(install), (std::vector<std::string>{".ver"}));
  }
}

TEST(HostileCorpusTest, DISABLED_WriteHostileCorpus) {
  for (const Hostile& hostile : HostileCases()) {
    WriteFileOrDie(JoinPath(CorpusFolder(), hostile.file), hostile.make());
  }
}

}  // namespace
}  // namespace qlmr
