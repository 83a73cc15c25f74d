// Damaged and forged patch files: whatever a download or a forger did to the
// bytes, nothing but the patch's true content reaches the installation.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "patch/extract_entry.h"
#include "patch/patch_package.h"
#include "patch/patch_package_impl.h"
#include "patch/zip_checks.h"
#include "tests/pack/pack_test_util.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::PackFileOrDie;
using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

// --- Zip bytes ---------------------------------------------------------------

using testing_support::CentralRecord;
using testing_support::Get32;
using testing_support::Put16;
using testing_support::Put32;
using namespace zip_format;

const char kControlList[] = "0||a.txt|0|0\r\n0||b.bin|0|0\r\n0||.ver|0|0\r\n0|p.pak|c.bin|0|0\r\n";

std::vector<ZipMember> SampleMembers() {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "line " + std::to_string(i % 7) + "\n";
  return {{"(command)", kControlList},
          {"a.txt", text},
          {"b.bin", RandomBytes(5, 64)},
          {".ver", "CN.00001.00002.00003"},
          {"p.pak/c.bin", RandomBytes(6, 48)}};
}

std::string PlainZip(const TempDir& dir, const std::vector<ZipMember>& members) {
  std::string path = dir.Join("plain.zip");
  EXPECT_TRUE(WriteZipContainer(members, path.c_str(), ZipByteForm::kPlain));
  return ReadFileOrEmpty(path);
}

// Writes the zip bytes as a masked package, or as a packed one holding them
// inverted.
void WritePatch(const TempDir& dir, std::string zip, bool packed, const std::string& path) {
  if (!packed) {
    MaskBuffer(&zip[0], zip.size(), 0);
    WriteFileOrDie(path, zip);
    return;
  }
  for (char& c : zip) c = static_cast<char>(~c);
  std::string content = dir.Join("content.bin");
  WriteFileOrDie(content, zip);
  PackFileOrDie(content, path);
}

// --- Applying without the pause ---------------------------------------------

// What an apply produced: loose files by name, pack-bound data as AddFile
// would receive it.
using Outcome = std::map<std::string, std::string>;

// Opens `patch` and carries out its plan as ApplyPackage does, but without
// its pause and with pack-bound data collected instead of stored: the
// checks under test all happen before AddFile. False at the first failure.
bool OpenAndApply(const std::string& patch, const std::string& install, Outcome* outcome) {
  PatchPackagePtr package(CreatePatchPackage());
  if (!package->OpenPackage(patch.c_str(), "pak")) return false;
  auto* impl = static_cast<PatchPackageImpl*>(package.get());
  for (const PlannedStep& step : impl->Plan("pak", ".ver")) {
    if (step.kind == PatchStep::kLooseEntry) {
      if (!PatchPackageImpl::ApplyLooseEntry(install.c_str(), *step.entry, nullptr)) return false;
      (*outcome)[step.entry->fileName] = ReadFileOrEmpty(JoinPath(install, step.entry->fileName));
    } else if (step.kind == PatchStep::kPackEntry) {
      std::string name = JoinPath(step.entry->packName, step.entry->fileName);
      const uint8_t* data = nullptr;
      uint32_t length = 0;
      if (!ExtractEntry(step.entry->container, name.c_str(), nullptr, &data, &length, true)) {
        return false;
      }
      (*outcome)[name] = std::string(reinterpret_cast<const char*>(data), length);
    }
  }
  return true;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<FolderEntry> entries;
  ListFolder(folder.c_str(), &entries);
  std::vector<std::string> names;
  for (const FolderEntry& entry : entries) names.push_back(entry.name);
  return names;
}

// --- Lying directories -------------------------------------------------------

struct LieCase {
  const char* what;
  std::function<void(std::string* zip)> lie;
  bool opens;  // the lie is found per entry, not when the file is opened
  int32_t code;
  const char* message;
};

TEST(DamagedPatchTest, ClaimsTheDataCannotBackAreRefusedBeforeAnythingIsWritten) {
  const std::vector<LieCase> cases = {
      {"deflated beyond what deflate can expand",
       [](std::string* zip) {
         size_t at = CentralRecord(*zip, "a.txt");
         Put32(zip, at + kCentralSizeOffset,
               Get32(*zip, at + kCentralCompressedSizeOffset) * 1032 + 1);
       },
       true, ERR_BAD_DATA, "Entry=a.txt(size)"},
      {"pack-bound entry claiming 1 GiB",
       [](std::string* zip) {
         Put32(zip, CentralRecord(*zip, "p.pak/c.bin") + kCentralSizeOffset, 1u << 30);
       },
       true, ERR_BAD_DATA, "Entry=p.pak/c.bin(size)"},
      {"stored entry whose sizes differ",
       [](std::string* zip) { Put16(zip, CentralRecord(*zip, "b.bin") + kCentralMethodOffset, 0); },
       true, ERR_BAD_DATA, "Entry=b.bin(size)"},
      {"CRC that does not match the data",
       [](std::string* zip) {
         size_t at = CentralRecord(*zip, "b.bin") + kCentralCrcOffset;
         Put32(zip, at, Get32(*zip, at) ^ 0x100);
       },
       true, ERR_BAD_DATA, "Entry=b.bin(crc)"},
      {"record running past the end of the file",
       [](std::string* zip) {
         size_t at = CentralRecord(*zip, "b.bin");
         Put32(zip, at + kCentralCompressedSizeOffset, static_cast<uint32_t>(zip->size()));
       },
       false, ERR_BAD_DATA, "Entry=b.bin(truncated)"},
      {"two records sharing their bytes",
       [](std::string* zip) {
         uint32_t first = Get32(*zip, CentralRecord(*zip, "a.txt") + kCentralLocalOffsetOffset);
         Put32(zip, CentralRecord(*zip, "b.bin") + kCentralLocalOffsetOffset, first);
       },
       false, ERR_BAD_DATA, "Entry=b.bin(overlaps)"},
  };
  for (bool packed : {false, true}) {
    for (const LieCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (packed ? ", packed" : ", masked"));
      TempDir dir;
      std::string zip = PlainZip(dir, SampleMembers());
      c.lie(&zip);
      std::string patch = dir.Join("p.patch");
      WritePatch(dir, zip, packed, patch);
      std::string install = dir.Join("game");
      ASSERT_TRUE(CreateFolderChain(install.c_str()));
      for (const char* name : {"a.txt", "b.bin", ".ver"}) {
        WriteFileOrDie(JoinPath(install, name), std::string("old ") + name);
      }
      size_t bufferBefore = ExtractionBufferCapacity();

      PatchPackagePtr package(CreatePatchPackage());
      ASSERT_EQ(package->OpenPackage(patch.c_str(), "pak"), c.opens) << LastErrorMessage();
      Outcome outcome;
      if (c.opens) {
        EXPECT_FALSE(OpenAndApply(patch, install, &outcome));
      }
      EXPECT_EQ(LastErrorCode(), c.code);
      EXPECT_STREQ(LastErrorMessage(), c.message);
      // The damaged file kept its old content, and no temporary file stayed.
      for (const char* name : {"b.bin", ".ver"}) {
        EXPECT_EQ(ReadFileOrEmpty(JoinPath(install, name)), std::string("old ") + name);
      }
      EXPECT_EQ(FolderNames(install).size(), 3u);
      EXPECT_LE(ExtractionBufferCapacity(), std::max<size_t>(bufferBefore, 1u << 16));
    }
  }
}

TEST(DamagedPatchTest, AControlListBeyondItsLimitIsRefusedBeforeItIsRead) {
  TempDir dir;
  // Four million lines: 36 MB of text that deflates to a few dozen KB.
  std::string lines;
  for (int i = 0; i < 4000000; ++i) lines += "1||x.txt|0|0\n";
  std::string patch = dir.Join("p.patch");
  WritePatch(dir, PlainZip(dir, {{"(command)", lines}}), false, patch);
  PatchPackagePtr package(CreatePatchPackage());
  EXPECT_FALSE(package->OpenPackage(patch.c_str(), "pak"));
  EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY);
  EXPECT_STREQ(LastErrorMessage(), ("Size=" + std::to_string(lines.size())).c_str());

  // Two million lines stay within it and merge into one entry.
  lines.resize(lines.size() / 2);
  std::string smaller = dir.Join("q.patch");
  WritePatch(dir, PlainZip(dir, {{"(command)", lines}}), false, smaller);
  ASSERT_TRUE(package->OpenPackage(smaller.c_str(), "pak")) << LastErrorMessage();
  EXPECT_EQ(package->GetEntryCount(), 1);
}

// --- Packed files -----------------------------------------------------------

TEST(DamagedPatchTest, APackedFileIsCheckedByItsTrailerAndItsLengthsWhileItStreams) {
  TempDir dir;
  std::string good = dir.Join("good.patch");
  WritePatch(dir, PlainZip(dir, SampleMembers()), true, good);
  std::string bytes = ReadFileOrEmpty(good);
  auto withTrailer = [](std::string body) {
    uint32_t crc = 0;
    BufferCrc(body.data(), static_cast<uint32_t>(body.size() - 4), &crc);
    Put32(&body, body.size() - 4, crc);
    return body;
  };
  struct Case {
    const char* what;
    std::string bytes;
    int32_t code;
    const char* message;
  };
  std::string flipped = bytes;
  flipped[bytes.size() / 2] ^= 0x10;
  std::string oneGiB = bytes;
  Put32(&oneGiB, 4, 1u << 30);
  std::string shorter = bytes;
  Put32(&shorter, 4, Get32(bytes, 4) - 1);
  std::string cut = bytes.substr(0, bytes.size() / 2);
  std::string path = dir.Join("p.patch");
  const std::vector<Case> cases = {
      {"a flipped bit", flipped, ERR_BAD_DATA, "(crc)"},
      {"a cut file", cut, ERR_BAD_DATA, "(crc)"},
      {"a header claiming 1 GiB", withTrailer(oneGiB), ERR_BAD_DATA, "(size)"},
      {"a header claiming a byte less", withTrailer(shorter), ERR_BAD_DATA, "(size)"},
      {"a stream cut short under a good trailer", withTrailer(cut), ERR_CODEC,
       "LZMA decompress[1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileOrDie(path, c.bytes);
    PatchPackagePtr package(CreatePatchPackage());
    EXPECT_FALSE(package->OpenPackage(path.c_str(), "pak"));
    EXPECT_EQ(LastErrorCode(), c.code);
    std::string message = LastErrorMessage();
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    // Nothing of the failed copy is left in the work folder: only the file
    // naming its owner.
    auto* impl = static_cast<PatchPackageImpl*>(package.get());
    EXPECT_EQ(FolderNames(impl->workFolder()), std::vector<std::string>{".~owner"});
  }
}

// --- Every single-bit flip ---------------------------------------------------

// Every fifth bit: a dense sample that reaches each bit position of a byte
// and each field, at a fifth of the file-system work.
constexpr size_t kFlipStride = 5;

// Flips the bits of a small patch in turn and applies the result. A flip may
// be refused, or may fall on bytes that carry nothing (a time stamp, a
// local name the directory overrides) and apply the true content; it must
// never apply anything else.
void SweepBitFlips(bool packed) {
  TempDir dir;
  // Mostly pack-bound entries: they are checked in memory, so the sweep does
  // not wait for thousands of durable file writes.
  std::vector<ZipMember> members = {
      {"(command)", "0||.ver|0|0\n0||a.txt|0|0\n0|p.pak|b.bin|0|0\n0|p.pak|c.bin|0|0\n"},
      {"p.pak/b.bin", SampleMembers()[1].data},
      {"a.txt", "a loose file"},
      {".ver", "CN.00001.00002.00003"},
      {"p.pak/c.bin", RandomBytes(6, 48)}};
  std::string patch = dir.Join("p.patch");
  WritePatch(dir, PlainZip(dir, members), packed, patch);
  std::string clean = ReadFileOrEmpty(patch);
  Outcome expected;
  ASSERT_TRUE(OpenAndApply(patch, dir.Join("clean"), &expected)) << LastErrorMessage();
  ASSERT_EQ(expected.size(), 4u);

  int refused = 0, sameContent = 0, damaged = 0;
  int flips = 0;
  for (size_t bit = 0; bit < clean.size() * 8; bit += kFlipStride, ++flips) {
    std::string bytes = clean;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    WriteFileOrDie(patch, bytes);
    std::string install = dir.Join("i" + std::to_string(bit));
    Outcome outcome;
    if (!OpenAndApply(patch, install, &outcome)) {
      ++refused;
    } else if (outcome == expected) {
      ++sameContent;
    } else {
      ++damaged;
      std::string differences;
      for (const auto& file : outcome) {
        auto found = expected.find(file.first);
        if (found == expected.end() || found->second != file.second)
          differences += file.first + " ";
      }
      ADD_FAILURE() << "bit " << bit << " applied as success with other content: " << differences
                    << outcome.size();
    }
    RemoveFolderContents(install.c_str());
    RemoveEmptyFolder(install.c_str());
  }
  printf("%s patch of %zu bytes: %d flips, %d refused, %d applied the true content, %d damaged\n",
         packed ? "packed" : "masked", clean.size(), flips, refused, sameContent, damaged);
  EXPECT_EQ(damaged, 0);
}

TEST(DamagedPatchTest, NoSingleBitFlipOfAMaskedPatchIsAppliedAsSuccess) { SweepBitFlips(false); }

TEST(DamagedPatchTest, NoSingleBitFlipOfAPackedPatchIsAppliedAsSuccess) { SweepBitFlips(true); }

}  // namespace
}  // namespace qlmr
