// Game folders are often writable by every user, and the updater often runs
// with more rights than they have. Whoever can write into the installation
// must not turn the apply's writes to a file elsewhere by planting a link at
// a name the apply creates or replaces: each case plants one symbolic or
// hard link to a file outside, applies, and checks that no byte outside
// changed and that the apply did its work all the same.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "patch/patch_package_impl.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

const std::map<std::string, std::string> kNewContent = {
    {"readme.txt", "readme, new"},
    {"bin\\client.dll", "client, new and longer than before"},
    {"data\\c.pak", "a whole archive, written as a loose file"},
    {"new.txt", "a file the patch adds"},
    {".ver", "CN.0.551.066\r\n"},
};

class PlantedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<ZipMember> members;
    std::string list;
    for (const auto& file : kNewContent) {
      members.push_back({file.first, file.second});
      list += "0||" + file.first + "|0|0\n";
    }
    list += "1||bin\\old.dll|0|0\n";
    patch_ = MaskedPackage(dir_.Join("p.patch"), list.c_str(), members);
    WriteFileOrDie(Outside("victim.txt"), "precious: nobody else may change this");
    WriteFileOrDie(Outside("other.dll"), "another file out of reach");
  }

  std::string Install(const std::string& name) const { return dir_.Join("install\\" + name); }
  std::string Outside(const std::string& name) const { return dir_.Join("outside\\" + name); }

  // The old installation, with a link of `kind` at `name` to the victim.
  // False when the system does not let the test make such a link.
  bool MakeInstallation(const std::string& name, LinkKind kind) {
    WriteFileOrDie(Install(".ver"), "CN.0.551.065\r\n");
    WriteFileOrDie(Install("readme.txt"), "readme, old");
    WriteFileOrDie(Install("bin\\client.dll"), "client, old");
    WriteFileOrDie(Install("bin\\old.dll"), "old");
    WriteFileOrDie(Install("data\\c.pak"), "old archive");
    RemoveFileAt(Install(name).c_str());
    return MakeLink(Install(name), Outside("victim.txt"), kind);
  }

  bool Apply() {
    PatchPackagePtr package(CreatePatchPackage());
    static_cast<PatchPackageImpl*>(package.get())->SetPackPause(0);
    return package->OpenPackage(patch_.c_str(), "pak") &&
           package->ApplyPackage(dir_.Join("install").c_str(), "pak", ".ver", nullptr);
  }

  TempDir dir_;
  std::string patch_;
};

TEST_F(PlantedLinkTest, NoLinkAtANameTheApplyWritesChangesAByteOutside) {
  // Every name the apply creates (the temporary copies beside each loose
  // file and the version file) or replaces or deletes.
  const char* names[] = {
      "readme.txt.~new",
      "bin\\client.dll.~new",
      "data\\c.pak.~new",
      "new.txt.~new",
      ".ver.~new",
      "readme.txt",
      ".ver",
      "new.txt",
      "bin\\old.dll",
  };
  int planted = 0;
  int untouched = 0;  // cases that left everything outside as it was
  for (LinkKind kind : {LinkKind::kSymbolic, LinkKind::kHard}) {
    for (const char* name : names) {
      std::string what =
          std::string(kind == LinkKind::kSymbolic ? "symbolic" : "hard") + " link at " + name;
      SCOPED_TRACE(what);
      RemoveFolderContents(dir_.Join("install").c_str());
      if (!MakeInstallation(name, kind)) {
        printf("%s: the system refuses the link, skipped\n", what.c_str());
        continue;
      }
      ++planted;
      std::map<std::string, std::string> outside = SnapshotTree(dir_.Join("outside"));
      EXPECT_TRUE(Apply()) << LastErrorCode() << " " << LastErrorMessage();
      std::map<std::string, std::string> after = SnapshotTree(dir_.Join("outside"));
      EXPECT_EQ(after, outside);
      if (after == outside) ++untouched;
      for (const auto& file : kNewContent) {
        EXPECT_EQ(ReadFileOrEmpty(Install(file.first)), file.second) << file.first;
        EXPECT_FALSE(PathExists(Install(file.first + ".~new").c_str())) << file.first;
      }
      EXPECT_FALSE(PathExists(Install("bin\\old.dll").c_str()));
    }
  }
  printf("planted links: %d of %d made, %d left every byte outside as it was\n", planted,
         static_cast<int>(2 * (sizeof names / sizeof names[0])), untouched);
  EXPECT_EQ(untouched, planted);
#ifndef _WIN32
  EXPECT_EQ(planted, 18);
#endif
}

// A folder at a temporary copy's name is no file to write: the apply stops
// with the system's reason and leaves the installation's version alone.
TEST_F(PlantedLinkTest, AFolderAtATemporaryNameStopsTheApply) {
  ASSERT_TRUE(MakeInstallation("readme.txt", LinkKind::kHard) ||
              MakeInstallation("readme.txt", LinkKind::kSymbolic));
  WriteFileOrDie(Install("readme.txt.~new\\inside.txt"), "a folder's file");
  EXPECT_FALSE(Apply());
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(ReadFileOrEmpty(Install(".ver")), "CN.0.551.065\r\n");
  EXPECT_EQ(ReadFileOrEmpty(Install("readme.txt.~new\\inside.txt")), "a folder's file");
}

}  // namespace
}  // namespace qlmr
