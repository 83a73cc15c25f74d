// The release: a range that the given installations prove, the program that
// carries the patch for it, and the report beside it. The programs are made
// from a stand-in updater that names its carrier offset as the real one does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/patch_package.h"
#include "tests/support/test_util.h"
#include "tests/tools/installation_model.h"
#include "tools/json_output.h"
#include "tools/patchkit/release_builder.h"
#include "update/carrier.h"
#include "update/carrier_format.h"
#include "update/install_folder.h"

namespace qlmr {
namespace patchkit {
namespace {

using testing_support::CopyTreeOrDie;
using testing_support::ExpectInstallation;
using testing_support::FirstGeneratedSeed;
using testing_support::GeneratedCaseCount;
using testing_support::ReadFileOrEmpty;
using testing_support::ReleaseGenerator;
using testing_support::TempDir;
using testing_support::TreeModel;
using testing_support::WriteFileOrDie;
using testing_support::WriteTreeOrDie;

constexpr uint32_t kStandInOffset = 4096;

// A program that names its carrier offset as the updater does.
std::string StandInUpdater(const TempDir& dir) {
  std::string path = dir.Join("updater.exe");
  uint8_t numbers[8];
  StoreLittleEndian32(kStandInOffset, numbers);
  StoreLittleEndian32(~kStandInOffset, numbers + 4);
  WriteFileOrDie(path, "the updater's code\n" +
                           std::string(kCarrierMarkerTag, kCarrierMarkerTagSize) +
                           std::string(reinterpret_cast<char*>(numbers), sizeof numbers));
  return path;
}

// A small installation at `version`: what changes from one to the next is
// the version file and one loose file.
TreeModel Installation(const std::string& version) {
  TreeModel tree;
  tree.loose[".ver"] = version + "\r\n";
  tree.loose["bin\\client.dll"] = "client of " + version;
  tree.loose["readme.txt"] = "the same in all";
  tree.archives["data\\item.pak"].files["icon.tga"] = {2, "icon of " + version};
  return tree;
}

class ReleaseTest : public ::testing::Test {
 protected:
  // Writes an installation for each version and returns their roots.
  std::vector<std::string> Trees(const std::vector<std::string>& versions) {
    std::vector<std::string> roots;
    for (const std::string& version : versions) {
      roots.push_back(dir_.Join(version));
      WriteTreeOrDie(Installation(version), roots.back());
    }
    return roots;
  }
  ReleaseRequest Request(const std::vector<std::string>& olds, const std::string& newVersion) {
    ReleaseRequest request;
    request.oldRoots = Trees(olds);
    request.newRoot = Trees({newVersion})[0];
    request.updater = updater_;
    request.output = out_.Join("update.exe");
    return request;
  }
  bool NothingWritten() {
    std::vector<FolderEntry> entries;
    return ListFolder(out_.path().c_str(), &entries) && entries.empty();
  }

  TempDir dir_;
  TempDir out_;
  std::string updater_ = StandInUpdater(dir_);
};

TEST_F(ReleaseTest, TheProgramCarriesThePatchForTheRangeTheTreesProve) {
  ReleaseRequest request =
      Request({"CN.0.551.063", "CN.0.551.064", "CN.0.551.065"}, "CN.0.551.066");
  ReleaseResult result;
  ASSERT_TRUE(BuildRelease(request, &result)) << LastErrorMessage();
  EXPECT_EQ(result.from, "CN.0.551.063");
  EXPECT_EQ(result.to, "CN.0.551.066");
  EXPECT_TRUE(result.notes.empty());
  ASSERT_EQ(result.olds.size(), 3u);
  for (const ReleaseTree& old : result.olds) {
    EXPECT_TRUE(old.inRange);
    EXPECT_EQ(old.check.oldRoot, old.root);
    EXPECT_GT(old.check.filesCompared, 0u);
  }
  // The program as the updater reads it: the range, and a patch that turns
  // each tree into NEW.
  EmbeddedPatch embedded;
  TempDir temp;
  ASSERT_TRUE(ExtractEmbeddedPatch(request.output.c_str(), kStandInOffset, temp.path(), &embedded));
  EXPECT_EQ(embedded.fromVersionText, "CN.0.551.063");
  EXPECT_EQ(embedded.toVersionText, "CN.0.551.066");
  for (const std::string& old : request.oldRoots) {
    TempDir target;
    CopyTreeOrDie(old, target.path());
    PatchPackagePtr package(CreatePatchPackage());
    ASSERT_TRUE(package->OpenPackage(embedded.patchPath.c_str(), "pak")) << LastErrorMessage();
    ASSERT_TRUE(package->ApplyPackage(target.path().c_str(), "pak", ".ver", nullptr));
    ExpectInstallation(target.path(), Installation("CN.0.551.066"), old);
  }
  // The report beside it names the range, every tree and the program.
  EXPECT_EQ(result.reportPath, out_.Join("update.release.json"));
  std::string report = ReadFileOrEmpty(result.reportPath);
  tools::FileDigests digests;
  ASSERT_TRUE(tools::DigestFile(request.output, &digests));
  tools::Json parsed = tools::Json::parse(report);
  EXPECT_EQ(parsed["range"], tools::Json({{"from", "CN.0.551.063"}, {"to", "CN.0.551.066"}}));
  EXPECT_EQ(parsed["program"]["sha256"], digests.sha256);
  EXPECT_EQ(parsed["program"]["bytes"], digests.bytes);
  bool checked064 = false;
  for (const tools::Json& old : parsed["old"]) {
    checked064 = checked064 || (old["version"] == "CN.0.551.064" && old["inRange"] == true &&
                                old["selfCheck"]["ok"] == true);
  }
  EXPECT_TRUE(checked064) << report;
  EXPECT_EQ(report, ReleaseReportJson(request, result));
}

// Every version in the range must be one a given tree proves: the checks
// refuse before anything is built, and nothing is written.
TEST_F(ReleaseTest, ARangeNoTreeProvesIsRefused) {
  struct Case {
    const char* what;
    std::vector<std::string> olds;
    std::string from;
    const char* named;  // in the message
  };
  const Case cases[] = {
      {"a build missing", {"CN.0.551.063", "CN.0.551.065"}, "", "CN.0.551.64"},
      {"the last before NEW missing", {"CN.0.551.063", "CN.0.551.064"}, "", "CN.0.551.65"},
      {"from below the lowest tree",
       {"CN.0.551.064", "CN.0.551.065"},
       "CN.0.551.063",
       "CN.0.551.063"},
      {"from no tree's version", {"CN.0.551.063", "CN.0.551.065"}, "CN.0.551.064", "CN.0.551.064"},
      {"from not older than NEW", {"CN.0.551.065"}, "CN.0.551.066", "CN.0.551.066"},
      {"from of another language", {"CN.0.551.065"}, "TW.0.551.065", "TW.0.551.065"},
      {"an old tree of another language", {"TW.0.551.065"}, "", "TW.0.551.065"},
      {"an old tree not older than NEW", {"CN.0.551.065", "CN.0.551.066"}, "", "CN.0.551.066"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReleaseRequest request = Request(c.olds, "CN.0.551.066");
    request.from = c.from;
    ReleaseResult result;
    EXPECT_FALSE(BuildRelease(request, &result));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
    EXPECT_NE(std::string(LastErrorMessage()).find(c.named), std::string::npos)
        << LastErrorMessage();
    EXPECT_TRUE(NothingWritten());
  }
}

// --from narrows the range to the trees from it on; the ones below are left
// out of the patch and refused by the program's range.
TEST_F(ReleaseTest, FromNarrowsTheRange) {
  ReleaseRequest request =
      Request({"CN.0.551.063", "CN.0.551.064", "CN.0.551.065"}, "CN.0.551.066");
  request.from = "CN.0.551.064";
  ReleaseResult result;
  ASSERT_TRUE(BuildRelease(request, &result)) << LastErrorMessage();
  EXPECT_EQ(result.from, "CN.0.551.064");
  EXPECT_FALSE(result.olds[0].inRange);
  EXPECT_TRUE(result.olds[1].inRange);
  EXPECT_TRUE(result.olds[2].inRange);
}

// Across a change of the major or minor number the tool cannot know the
// numbering in between: it builds, and says so.
TEST_F(ReleaseTest, AStepAcrossNumberLinesIsNoted) {
  ReleaseRequest request = Request({"CN.0.550.120"}, "CN.0.551.001");
  ReleaseResult result;
  ASSERT_TRUE(BuildRelease(request, &result)) << LastErrorMessage();
  ASSERT_EQ(result.notes.size(), 1u);
  EXPECT_NE(result.notes[0].find("CN.0.550.120 and CN.0.551.001"), std::string::npos);
}

// A self-check that fails stops the release: no program, no report. (The
// stored file cannot be decoded; the list file still names it.)
TEST_F(ReleaseTest, AFailedSelfCheckWritesNothing) {
  ReleaseRequest request = Request({"CN.0.551.064", "CN.0.551.065"}, "CN.0.551.066");
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(JoinPath(request.newRoot, "data\\item.pak").c_str(), false));
  const char junk[] = "not lzo data at all";
  ASSERT_TRUE(archive->AddFile(junk, sizeof junk, "icon.tga", true, false, 2, 100));
  archive->Close();
  ReleaseResult result;
  EXPECT_FALSE(BuildRelease(request, &result));
  EXPECT_NE(LastErrorCode(), ERR_NONE);
  EXPECT_TRUE(NothingWritten());
}

TEST(FileDigestTest, GivesTheStandardCrcAndSha256) {
  TempDir dir;
  WriteFileOrDie(dir.Join("abc"), "abc");
  tools::FileDigests digests;
  ASSERT_TRUE(tools::DigestFile(dir.Join("abc"), &digests));
  EXPECT_EQ(digests.bytes, 3u);
  EXPECT_EQ(digests.crc32, 0x352441C2u);
  EXPECT_EQ(digests.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// --- Chains of generated releases ------------------------------------------------

// Whether `map` has a name that the installation takes for `name`.
template <typename Map>
bool HasName(const Map& map, const std::string& name) {
  for (const auto& item : map) {
    if (NormalizeName(item.first) == NormalizeName(name)) return true;
  }
  return false;
}

// Brings back into `next` the loose files and stored files that `before`
// had and `previous` dropped, so that a chain holds re-additions.
void ReAdd(const TreeModel& before, const TreeModel& previous, TreeModel* next) {
  for (const auto& file : before.loose) {
    if (!HasName(previous.loose, file.first) && !HasName(next->loose, file.first) &&
        !HasName(next->archives, file.first)) {
      next->loose[file.first] = file.second;
    }
  }
  for (const auto& archive : before.archives) {
    auto kept = previous.archives.find(archive.first);
    auto again = next->archives.find(archive.first);
    if (kept == previous.archives.end() || again == next->archives.end()) continue;
    for (const auto& stored : archive.second.files) {
      if (!HasName(kept->second.files, stored.first) &&
          !HasName(again->second.files, stored.first)) {
        again->second.files[stored.first] = stored.second;
      }
    }
  }
}

class ReleaseChainTest : public ::testing::TestWithParam<PatchKind> {};

// A chain of 3 to 5 releases; a random subset of the older ones (the oldest
// of it sets the range) goes into one release of the newest. The patch the
// program carries turns each of them into the newest, and the program's
// range takes exactly the versions from the subset's oldest on: the
// updater's own check refuses the others before it changes anything.
TEST_P(ReleaseChainTest, EveryOldOfARandomSubsetReachesTheNewest) {
  for (int chain = 0; chain < GeneratedCaseCount("QLMR_RELEASE_CHAINS", 2); ++chain) {
    uint32_t seed = FirstGeneratedSeed() + static_cast<uint32_t>(chain);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ReleaseGenerator generator(seed);
    std::mt19937 pick(seed);
    int length = 3 + static_cast<int>(pick() % 3);
    std::vector<TreeModel> releases;
    std::vector<std::string> versions;
    TempDir dir;
    for (int i = 0; i < length; ++i) {
      versions.push_back("CN.0.551." + std::to_string(100 + i));
      releases.push_back(i == 0 ? generator.Old(versions[i])
                                : generator.New(releases.back(), versions[i]));
      if (i >= 2) ReAdd(releases[i - 2], releases[i - 1], &releases[i]);
      WriteTreeOrDie(releases.back(), dir.Join(versions[i]));
    }
    // A subset of the older releases without a gap above its oldest one.
    int lowest = static_cast<int>(pick() % (length - 1));
    ReleaseRequest request;
    for (int i = lowest; i + 1 < length; ++i) request.oldRoots.push_back(dir.Join(versions[i]));
    std::shuffle(request.oldRoots.begin(), request.oldRoots.end(), pick);
    request.newRoot = dir.Join(versions.back());
    request.updater = StandInUpdater(dir);
    request.output = dir.Join("update.exe");
    request.kind = GetParam();
    ReleaseResult result;
    ASSERT_TRUE(BuildRelease(request, &result)) << LastErrorCode() << " " << LastErrorMessage();

    EmbeddedPatch embedded;
    TempDir temp;
    ASSERT_TRUE(
        ExtractEmbeddedPatch(request.output.c_str(), kStandInOffset, temp.path(), &embedded));
    for (int i = 0; i < length; ++i) {
      SCOPED_TRACE(versions[i]);
      UpdateState state;
      state.patch = embedded;
      bool taken = ReadLocalVersion(dir.Join(versions[i]), true, &state);
      EXPECT_EQ(taken, i >= lowest && i + 1 < length);
      if (!taken) continue;
      TempDir target;
      CopyTreeOrDie(dir.Join(versions[i]), target.path());
      PatchPackagePtr package(CreatePatchPackage());
      ASSERT_TRUE(package->OpenPackage(embedded.patchPath.c_str(), "pak")) << LastErrorMessage();
      ASSERT_TRUE(package->ApplyPackage(target.path().c_str(), "pak", ".ver", nullptr))
          << LastErrorCode() << " " << LastErrorMessage();
      ExpectInstallation(target.path(), releases.back(), versions[i]);
    }
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReleaseChainTest,
                         ::testing::Values(PATCH_KIND_MASKED_ZIP, PATCH_KIND_PACKED));

}  // namespace
}  // namespace patchkit
}  // namespace qlmr
