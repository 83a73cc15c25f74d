#include "patch/package_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "patch/patch_package_impl.h"
#include "patch/zip_reader.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

class PackageBuilderTest : public ::testing::TestWithParam<PatchKind> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 300; ++i) text_ += "a line of text " + std::to_string(i) + "\n";
    WriteFileOrDie(root_.Join("bin\\client.dll"), RandomBytes(1, 5000));
    WriteFileOrDie(root_.Join(".ver"), "kr|00001.00000.00002");
    WriteFileOrDie(root_.Join("data\\item.pak\\icons\\a.tga"), text_);
    WriteFileOrDie(root_.Join("data\\item.pak\\raw.bin"), "raw");
    WriteFileOrDie(list_,
                   "0||bin\\client.dll|0\r\n"
                   "0|data\\item.pak|icons\\a.tga|3|ignored fifth field\n"
                   "0|data\\item.pak|raw.bin|0\n"
                   "1|data\\item.pak|old.tga|0\n"
                   "1||bin\\old.dll|0\n"
                   "0||.ver|0\n");
  }

  TempDir root_;
  TempDir work_;
  TempDir install_;
  std::string list_ = work_.Join("list.txt");
  std::string text_;
};

TEST_P(PackageBuilderTest, BuildsAPackageThatOpensAndAppliesToTheSameFiles) {
  std::vector<PackageLine> lines;
  ASSERT_TRUE(ReadPackageList(list_.c_str(), &lines)) << LastErrorMessage();
  ASSERT_EQ(lines.size(), 6u);
  std::string output = work_.Join("out.patch");
  ASSERT_TRUE(BuildPatchPackage(lines, root_.path().c_str(), output.c_str(), GetParam()))
      << LastErrorCode() << " " << LastErrorMessage();
  EXPECT_EQ(DetectPatchKind(output.c_str(), nullptr), GetParam());

  PatchPackagePtr package(CreatePatchPackage());
  ASSERT_TRUE(package->OpenPackage(output.c_str(), "pak")) << LastErrorMessage();
  EXPECT_EQ(package->GetEntryCount(), 6);
  const PatchTables& tables = static_cast<PatchPackageImpl*>(package.get())->tables();
  const PatchEntry& tga = tables.packEntries.at("data/item.pak").at("icons/a.tga");
  EXPECT_EQ(tga.contentSize, text_.size());
  EXPECT_EQ(tga.compressType, 3);
  EXPECT_EQ(tables.looseEntries.at("bin/client.dll").contentSize, 5000u);

  {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    ASSERT_TRUE(CreateFolderChain(install_.Join("data").c_str()));
    ASSERT_TRUE(archive->Create(install_.Join("data\\item.pak").c_str()));
  }
  ASSERT_TRUE(package->ApplyPackage(install_.path().c_str(), "pak", ".ver", nullptr))
      << LastErrorCode() << " " << LastErrorMessage();
  EXPECT_EQ(ReadFileOrEmpty(install_.Join("bin\\client.dll")), RandomBytes(1, 5000));
  EXPECT_EQ(ReadFileOrEmpty(install_.Join(".ver")), "kr|00001.00000.00002");

  std::unique_ptr<PackArchive> archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(install_.Join("data\\item.pak").c_str(), true));
  EXPECT_EQ(archive->GetCompressType("icons\\a.tga"), 3);
  std::string content(text_.size(), '\0');
  ASSERT_TRUE(archive->ReadFileData("icons\\a.tga", true, &content[0],
                                    static_cast<uint32_t>(content.size())));
  EXPECT_EQ(content, text_);
  EXPECT_LT(archive->GetFileSize("icons\\a.tga", true), text_.size());
  std::string raw(3, '\0');
  ASSERT_TRUE(archive->ReadFileData("raw.bin", false, &raw[0], 3));
  EXPECT_EQ(raw, "raw");
}

// LZO and LZMA output does not deflate: a masked package carries it stored,
// and everything else deflated.
using MaskedMethodsTest = PackageBuilderTest;

TEST_F(MaskedMethodsTest, EncodedPackDataIsStoredTheRestDeflated) {
  WriteFileOrDie(root_.Join("data\\item.pak\\lzo.txt"), text_);
  WriteFileOrDie(list_,
                 "0||bin\\client.dll|0\n"
                 "0|data\\item.pak|icons\\a.tga|3\n"
                 "0|data\\item.pak|lzo.txt|2\n"
                 "0|data\\item.pak|raw.bin|0\n"
                 "0||.ver|0\n");
  std::vector<PackageLine> lines;
  ASSERT_TRUE(ReadPackageList(list_.c_str(), &lines)) << LastErrorMessage();
  std::string output = work_.Join("out.patch");
  ASSERT_TRUE(BuildPatchPackage(lines, root_.path().c_str(), output.c_str(), PATCH_KIND_MASKED_ZIP))
      << LastErrorMessage();
  std::string zip = ReadFileOrEmpty(output);
  UnmaskContainerBytes(ZipByteForm::kMasked, 0, &zip[0], zip.size());
  // Walk the local headers: method at +8, compressed size at +18, name
  // length at +26, extra length at +28, name at +30.
  std::map<std::string, uint16_t> methods;
  for (size_t at = 0; at + 30 <= zip.size() && LoadLittleEndian32(reinterpret_cast<const uint8_t*>(
                                                   &zip[at])) == 0x04034b50;) {
    const auto* header = reinterpret_cast<const uint8_t*>(&zip[at]);
    uint16_t nameLength = static_cast<uint16_t>(LoadLittleEndian(header + 26, 2));
    methods[zip.substr(at + 30, nameLength)] =
        static_cast<uint16_t>(LoadLittleEndian(header + 8, 2));
    at += 30 + nameLength + LoadLittleEndian(header + 28, 2) + LoadLittleEndian32(header + 18);
  }
  EXPECT_EQ(methods, (std::map<std::string, uint16_t>{{"(command)", 8},
                                                      {"bin/client.dll", 8},
                                                      {"data/item.pak/icons/a.tga", 0},
                                                      {"data/item.pak/lzo.txt", 0},
                                                      {"data/item.pak/raw.bin", 8},
                                                      {".ver", 8}}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PackageBuilderTest,
                         ::testing::Values(PATCH_KIND_MASKED_ZIP, PATCH_KIND_PACKED));

// One leading backslash is dropped by the join, and a double-byte character
// whose trail byte is 0x5C stays one character: in the container, on the
// disk and in the pack archive.
TEST_P(PackageBuilderTest, LeadingBackslashAndTrailByte5CReachTheirFiles) {
  const std::string kTrail5C = "\x95\x5C";  // one character, not a folder and a backslash
  const std::string folderFile = kTrail5C + "\\" + kTrail5C + ".txt";
  const std::string stored = "icons\\" + kTrail5C + ".tga";
  WriteFileOrDie(root_.Join("bin\\lead.txt"), "lead");
  WriteFileOrDie(root_.Join(folderFile), "trail");
  WriteFileOrDie(root_.Join("data\\item.pak\\" + stored), text_);
  WriteFileOrDie(
      list_, "0||\\bin\\lead.txt|0\n0||" + folderFile + "|0\n0|data\\item.pak|" + stored + "|3\n");
  std::vector<PackageLine> lines;
  ASSERT_TRUE(ReadPackageList(list_.c_str(), &lines)) << LastErrorMessage();
  std::string output = work_.Join("out.patch");
  ASSERT_TRUE(BuildPatchPackage(lines, root_.path().c_str(), output.c_str(), GetParam()))
      << LastErrorCode() << " " << LastErrorMessage();
  {
    std::unique_ptr<PackArchive> archive = NewPackArchive();
    ASSERT_TRUE(CreateFolderChain(install_.Join("data").c_str()));
    ASSERT_TRUE(archive->Create(install_.Join("data\\item.pak").c_str()));
  }
  PatchPackagePtr package(CreatePatchPackage());
  ASSERT_TRUE(package->OpenPackage(output.c_str(), "pak")) << LastErrorMessage();
  ASSERT_TRUE(package->ApplyPackage(install_.path().c_str(), "pak", ".ver", nullptr))
      << LastErrorCode() << " " << LastErrorMessage();

  EXPECT_EQ(ReadFileOrEmpty(install_.Join("bin\\lead.txt")), "lead");
  EXPECT_EQ(ReadFileOrEmpty(install_.Join(folderFile)), "trail");
  std::vector<FolderEntry> top;
  ASSERT_TRUE(ListFolder(install_.path().c_str(), &top));
  std::vector<std::string> names;
  for (const FolderEntry& entry : top) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"bin", "data", kTrail5C}));

  std::unique_ptr<PackArchive> archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(install_.Join("data\\item.pak").c_str(), true));
  EXPECT_EQ(archive->GetCompressType(stored.c_str()), 3);
  uint32_t size = archive->GetFileSize(stored.c_str(), false);
  std::string data(size, '\0');
  ASSERT_TRUE(archive->ReadFileData(stored.c_str(), true, &data[0], size));
  EXPECT_EQ(data, text_);
}

TEST(PackageListTest, BadListsAreRefusedWithTheirLine) {
  TempDir dir;
  struct {
    const char* text;
    int32_t code;
    const char* message;
  } cases[] = {
      {"0||a.txt|0\n0||b.txt\n", ERR_BAD_DATA, "line 2: 0||b.txt"},
      {"0||..\\a.txt|0\n", ERR_BAD_DATA, "line 1: ..\\a.txt"},
      {"0|C:\\x.pak|a|0\n", ERR_BAD_DATA, "line 1: C:\\x.pak"},
  };
  for (const auto& c : cases) {
    std::string list = dir.Join("list");
    WriteFileOrDie(list, c.text);
    std::vector<PackageLine> lines;
    EXPECT_FALSE(ReadPackageList(list.c_str(), &lines)) << c.text;
    EXPECT_EQ(LastErrorCode(), c.code);
    EXPECT_STREQ(LastErrorMessage(), c.message);
  }
  std::vector<PackageLine> lines;
  EXPECT_FALSE(ReadPackageList(dir.Join("missing").c_str(), &lines));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
}

TEST(PackageBuildTest, AMissingDataFileOrCodecFails) {
  TempDir dir;
  std::string output = dir.Join("out.patch");
  std::vector<PackageLine> missing = {{ENTRY_OP_WRITE, "", "absent.txt", 0}};
  EXPECT_FALSE(
      BuildPatchPackage(missing, dir.path().c_str(), output.c_str(), PATCH_KIND_MASKED_ZIP));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);

  WriteFileOrDie(dir.Join("p.pak\\f"), "data");
  std::vector<PackageLine> noCodec = {{ENTRY_OP_WRITE, "p.pak", "f", 9}};
  EXPECT_FALSE(
      BuildPatchPackage(noCodec, dir.path().c_str(), output.c_str(), PATCH_KIND_MASKED_ZIP));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);

  EXPECT_FALSE(BuildPatchPackage({}, dir.path().c_str(), output.c_str(), PATCH_KIND_ZIP));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
}

// Pack-bound data the updater would only encode at apply time (type 2 or 3
// in a packed package) is encoded once while building, so that data the
// codec refuses stops the build, naming every such file, instead of an
// apply half-way through.
TEST(PackageBuildTest, DataTheUpdaterCouldNotEncodeIsRefusedUpFront) {
  TempDir dir;
  std::string output = dir.Join("out.patch");
  WriteFileOrDie(dir.Join("p.pak\\noise.bin"), RandomBytes(5, 200));
  WriteFileOrDie(dir.Join("p.pak\\more.bin"), RandomBytes(6, 100));
  std::string text;
  while (text.size() < 5000) text += "text that shrinks ";
  WriteFileOrDie(dir.Join("p.pak\\text.txt"), text);
  std::vector<PackageLine> lines = {{ENTRY_OP_WRITE, "p.pak", "noise.bin", COMPRESS_LZMA},
                                    {ENTRY_OP_WRITE, "p.pak", "text.txt", COMPRESS_LZMA},
                                    {ENTRY_OP_WRITE, "p.pak", "more.bin", COMPRESS_LZMA}};
  EXPECT_FALSE(BuildPatchPackage(lines, dir.path().c_str(), output.c_str(), PATCH_KIND_PACKED));
  EXPECT_EQ(LastErrorCode(), ERR_CODEC);
  std::string message = LastErrorMessage();
  EXPECT_EQ(message.rfind("2 pack-bound files the updater could not encode: p.pak\\noise.bin (", 0),
            0u)
      << message;
  EXPECT_NE(message.find(", p.pak\\more.bin ("), std::string::npos) << message;
  EXPECT_EQ(message.find("text.txt"), std::string::npos) << message;
  EXPECT_FALSE(PathExists(output.c_str())) << "nothing is written";

  // Stored as is or masked, the same data needs no encoding and builds.
  for (int32_t type : {COMPRESS_NONE, COMPRESS_MASK}) {
    for (PackageLine& line : lines) line.compressType = type;
    EXPECT_TRUE(BuildPatchPackage(lines, dir.path().c_str(), output.c_str(), PATCH_KIND_PACKED))
        << type << ": " << LastErrorMessage();
  }
}

// A list file the package stores in a pack archive must read back in
// Verify: a line of 1,038 bytes builds, one of 1,039 does not.
TEST(PackageBuildTest, AStoredListWithTooLongALineIsRefused) {
  TempDir dir;
  std::string output = dir.Join("out.patch");
  std::vector<PackageLine> lines = {{ENTRY_OP_WRITE, "p.pak", "(LIST)", COMPRESS_NONE}};
  for (size_t length : {size_t{1038}, size_t{1039}}) {
    SCOPED_TRACE(length);
    WriteFileOrDie(dir.Join("p.pak\\(LIST)"),
                   "title\r\n1\r\n" + std::string(length - 18, 'n') + "|00000001|00000002\r\n");
    RemoveFileAt(output.c_str());
    bool built =
        BuildPatchPackage(lines, dir.path().c_str(), output.c_str(), PATCH_KIND_MASKED_ZIP);
    EXPECT_EQ(built, length == 1038) << LastErrorMessage();
    if (!built) {
      EXPECT_EQ(LastErrorCode(), ERR_INVALID);
      EXPECT_STREQ(LastErrorMessage(), "(list) line 3: 1039 bytes, at most 1038");
      EXPECT_FALSE(PathExists(output.c_str()));
    }
  }
}

}  // namespace
}  // namespace qlmr
