// Entries prepared ahead of their turn (read, and encoded on several threads)
// must change nothing about an apply but its speed: the same bytes on disk as
// the apply that does each entry at its turn, the same failures, in every
// memory budget.
#include "patch/apply_ahead.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/extract_entry.h"
#include "patch/package_builder.h"
#include "patch/patch_package_impl.h"
#include "patch/zip_checks.h"
#include "tests/base/codec_test_data.h"
#include "tests/pack/pack_test_util.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::CopyTreeOrDie;
using testing_support::MakeArchiveOrDie;
using testing_support::RandomBytes;
using testing_support::SnapshotTree;
using testing_support::TempDir;
using testing_support::TextLike;
using testing_support::WriteFileOrDie;
using testing_support::X86Like;

// A release of many pack-bound writes of every type (text, which LZMA codes
// plain, and x86 code, which it codes behind the filter), deletions, new and
// changed loose files, and an installation it applies to.
class Release {
 public:
  Release() {
    std::string root = dir_.Join("root");
    auto loose = [&](const std::string& name, const std::string& content) {
      lines_.push_back({ENTRY_OP_WRITE, "", name, 0});
      WriteFileOrDie(JoinPath(root, name), content);
    };
    loose(".ver", "CN.00001.00000.00002");
    for (int i = 0; i < 12; ++i) {
      loose("data\\loose" + std::to_string(i) + ".bin", RandomBytes(100 + i, 1000 + 5000 * i));
    }
    lines_.push_back({ENTRY_OP_DELETE, "", "bin\\old.dll", 0});
    std::map<std::string, std::string> before = {{"keep.txt", TextLike(1, 3000)},
                                                 {"gone.txt", TextLike(2, 2000)}};
    for (int i = 0; i < 40; ++i) before["file" + std::to_string(i)] = TextLike(3 + i, 700);
    for (int i = 0; i < 40; ++i) {
      std::string name = "file" + std::to_string(i);
      int32_t type = i % 4;
      std::string content =
          i % 3 == 0 ? X86Like(200 + i, 20000 + 1000 * i) : TextLike(300 + i, 5000 + 2000 * i);
      lines_.push_back({ENTRY_OP_WRITE, "data\\item.pak", name, type});
      WriteFileOrDie(JoinPath(root, JoinPath("data\\item.pak", name)), content);
    }
    lines_.push_back({ENTRY_OP_DELETE, "data\\item.pak", "gone.txt", 0});
    base_ = dir_.Join("base");
    WriteFileOrDie(JoinPath(base_, ".ver"), "CN.00001.00000.00001");
    WriteFileOrDie(JoinPath(base_, "bin\\old.dll"), "old");
    WriteFileOrDie(JoinPath(base_, "data\\loose3.bin"), "an older loose file");
    MakeArchiveOrDie(JoinPath(base_, "data\\item.pak"), before);
    for (PatchKind kind : {PATCH_KIND_PACKED, PATCH_KIND_MASKED_ZIP}) {
      std::string patch = dir_.Join(kind == PATCH_KIND_PACKED ? "packed.patch" : "masked.patch");
      if (!BuildPatchPackage(lines_, root.c_str(), patch.c_str(), kind)) {
        ADD_FAILURE() << "cannot build the release: " << LastErrorMessage();
      }
      patches_[kind] = patch;
    }
  }

  const std::string& patch(PatchKind kind) const { return patches_.at(kind); }

  // Applies the release of `kind` to a fresh copy of the installation with
  // `threads` encoding threads (0: each entry at its turn) and returns what
  // the copy holds afterwards; `applied` tells whether the apply succeeded.
  std::map<std::string, std::string> Apply(PatchKind kind, uint32_t threads, bool* applied) {
    TempDir install;
    CopyTreeOrDie(base_, install.path());
    PatchPackagePtr package(CreatePatchPackage());
    auto* impl = static_cast<PatchPackageImpl*>(package.get());
    impl->SetPackPause(0);
    impl->SetApplyThreads(threads);
    *applied = package->OpenPackage(patch(kind).c_str(), "pak") &&
               package->ApplyPackage(install.path().c_str(), "pak", ".ver", nullptr);
    return SnapshotTree(install.path());
  }

 private:
  TempDir dir_;
  std::string base_;
  std::vector<PackageLine> lines_;
  std::map<PatchKind, std::string> patches_;
};

Release& GetRelease() {
  static Release* release = new Release();
  return *release;
}

// Every file of the installation, the pack archive byte for byte included,
// is the same whether the entries were prepared on several threads or each
// made at its turn.
TEST(ApplyAheadTest, ThePreparedApplyWritesTheSameBytesAsTheSerialOne) {
  for (PatchKind kind : {PATCH_KIND_PACKED, PATCH_KIND_MASKED_ZIP}) {
    SCOPED_TRACE(kind == PATCH_KIND_PACKED ? "packed" : "masked");
    bool serialApplied = false;
    std::map<std::string, std::string> serial = GetRelease().Apply(kind, 0, &serialApplied);
    ASSERT_TRUE(serialApplied) << LastErrorCode() << " " << LastErrorMessage();
    ASSERT_EQ(serial.count("data\\item.pak"), 1u);
    for (uint32_t threads : {1u, 4u}) {
      bool applied = false;
      std::map<std::string, std::string> prepared = GetRelease().Apply(kind, threads, &applied);
      ASSERT_TRUE(applied) << LastErrorCode() << " " << LastErrorMessage();
      ASSERT_EQ(prepared.size(), serial.size()) << threads << " threads";
      for (const auto& file : serial) {
        EXPECT_TRUE(prepared[file.first] == file.second) << file.first << ", " << threads;
      }
    }
  }
}

// The entries of an apply's plan taken in order from an ApplyAhead, in
// budgets from none to plenty and with and without encoders, are the bytes
// the apply makes itself; what is not prepared is said so.
TEST(ApplyAheadTest, EveryBudgetGivesTheBytesTheApplyWouldMake) {
  PatchPackagePtr package(CreatePatchPackage());
  auto* impl = static_cast<PatchPackageImpl*>(package.get());
  ASSERT_TRUE(package->OpenPackage(GetRelease().patch(PATCH_KIND_PACKED).c_str(), "pak"));
  std::vector<PlannedStep> steps = impl->Plan("pak", ".ver");
  struct Case {
    uint32_t encoders;
    uint64_t budget;
  } cases[] = {{3, 0}, {2, 64u << 10}, {1, kApplyAheadMemory}, {0, kApplyAheadMemory}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.encoders) + " encoders, budget " + std::to_string(c.budget));
    ApplyAhead ahead(steps, ".ver", c.encoders, c.budget);
    size_t prepared = 0;
    for (const PlannedStep& step : steps) {
      if (step.entry == nullptr || step.entry->op != ENTRY_OP_WRITE) continue;
      if (step.entry->fileName == ".ver") continue;
      const PatchEntry& entry = *step.entry;
      const std::vector<uint8_t>* taken = ahead.Take(entry);
      std::string name =
          entry.packName.empty() ? entry.fileName : JoinPath(entry.packName, entry.fileName);
      const uint8_t* data = nullptr;
      uint32_t length = 0;
      ASSERT_TRUE(ExtractEntry(entry.container, name.c_str(), nullptr, &data, &length, true));
      std::vector<uint8_t> expected(data, data + length);
      bool encoded = !entry.packName.empty() && entry.compressType != COMPRESS_NONE;
      if (encoded) {
        const Codec* codec = GetCodecRegistry().Find(entry.compressType);
        ASSERT_TRUE(EncodeToBuffer(*codec, data, length, &expected));
      }
      if (encoded && c.encoders == 0) {
        EXPECT_EQ(taken, nullptr) << name << " needs an encoder";
        continue;
      }
      ASSERT_NE(taken, nullptr) << name;
      EXPECT_TRUE(*taken == expected) << name;
      ++prepared;
    }
    EXPECT_GT(prepared, 10u);
  }
}

// An apply that stops part way (here: the pack archive is missing) ends its
// preparation with it, whatever the threads had still to do.
TEST(ApplyAheadTest, AnApplyThatFailsLeavesNoWorkBehind) {
  TempDir install;
  WriteFileOrDie(install.Join(".ver"), "CN.00001.00000.00001");
  PatchPackagePtr package(CreatePatchPackage());
  auto* impl = static_cast<PatchPackageImpl*>(package.get());
  impl->SetPackPause(0);
  impl->SetApplyThreads(4);
  ASSERT_TRUE(package->OpenPackage(GetRelease().patch(PATCH_KIND_PACKED).c_str(), "pak"));
  EXPECT_FALSE(package->ApplyPackage(install.path().c_str(), "pak", ".ver", nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS) << LastErrorMessage();
}

// A damaged entry fails the apply with the same report and leaves the same
// files, prepared ahead or not: the apply redoes what could not be prepared.
TEST(ApplyAheadTest, ADamagedEntryFailsTheSameWayPreparedOrNot) {
  TempDir dir;
  std::string root = dir.Join("root");
  std::vector<PackageLine> lines;
  for (int i = 0; i < 6; ++i) {
    std::string name = "data\\file" + std::to_string(i) + ".bin";
    lines.push_back({ENTRY_OP_WRITE, "", name, 0});
    WriteFileOrDie(JoinPath(root, name), std::string(20000, static_cast<char>('a' + i)));
  }
  std::string patch = dir.Join("damaged.patch");
  ASSERT_TRUE(BuildPatchPackage(lines, root.c_str(), patch.c_str(), PATCH_KIND_MASKED_ZIP));
  // The fourth file's CRC in the central directory no longer matches its data.
  std::string zip = testing_support::ReadFileOrEmpty(patch);
  MaskBuffer(&zip[0], zip.size(), 0);
  size_t at = testing_support::CentralRecord(zip, "data/file3.bin") + zip_format::kCentralCrcOffset;
  zip[at] = static_cast<char>(zip[at] ^ 0x01);
  MaskBuffer(&zip[0], zip.size(), 0);
  WriteFileOrDie(patch, zip);

  std::vector<std::pair<int32_t, std::string>> reports;
  std::vector<std::map<std::string, std::string>> trees;
  for (uint32_t threads : {0u, 3u}) {
    TempDir install;
    PatchPackagePtr package(CreatePatchPackage());
    auto* impl = static_cast<PatchPackageImpl*>(package.get());
    impl->SetPackPause(0);
    impl->SetApplyThreads(threads);
    ASSERT_TRUE(package->OpenPackage(patch.c_str(), "pak"));
    EXPECT_FALSE(package->ApplyPackage(install.path().c_str(), "pak", ".ver", nullptr));
    reports.emplace_back(LastErrorCode(), LastErrorMessage());
    trees.push_back(SnapshotTree(install.path()));
  }
  EXPECT_EQ(reports[0].first, ERR_BAD_DATA);
  EXPECT_EQ(reports[1], reports[0]);
  EXPECT_TRUE(trees[1] == trees[0]);
  EXPECT_EQ(trees[0].count("data\\file2.bin"), 1u);
  EXPECT_EQ(trees[0].count("data\\file3.bin"), 0u);
}

}  // namespace
}  // namespace qlmr
