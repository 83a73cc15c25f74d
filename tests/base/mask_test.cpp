#include "base/mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/path.h"
#include "base/platform.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

TEST(PositionalMaskTest, RepeatsEvery256PositionsAndIsNotConstant) {
  bool varies = false;
  for (uint32_t p = 0; p < 256; ++p) {
    EXPECT_EQ(PositionalMask(p), PositionalMask(p + 256));
    EXPECT_EQ(PositionalMask(p), PositionalMask(p + 0xFFFFFF00u));
    varies |= PositionalMask(p) != PositionalMask(0);
  }
  EXPECT_TRUE(varies);
}

// A masked zip must not look like any other kind of patch file: a plain zip
// ("PK"), an inverted zip (0xAF 0xB4) or a packed file ("JZ").
TEST(PositionalMaskTest, MaskedZipHeaderIsDistinguishable) {
  uint8_t b0 = 0x50 ^ PositionalMask(0);
  uint8_t b1 = 0x4B ^ PositionalMask(1);
  EXPECT_FALSE(b0 == 0x50 && b1 == 0x4B);
  EXPECT_FALSE(b0 == 0xAF && b1 == 0xB4);
  EXPECT_FALSE(b0 == 'J' && b1 == 'Z');
}

TEST(PositionalMaskTest, MaskBufferUsesTheMaskOfEachPositionAndIsItsOwnInverse) {
  std::string data = RandomBytes(1, 1000);
  for (uint32_t start : {0u, 1u, 255u, 256u, 1000u, 0xFFFFFFF0u}) {
    std::string masked = data;
    MaskBuffer(&masked[0], masked.size(), start);
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(static_cast<uint8_t>(masked[i]),
                static_cast<uint8_t>(data[i] ^ PositionalMask(start + static_cast<uint32_t>(i))))
          << "start " << start << " byte " << i;
    }
    MaskBuffer(&masked[0], masked.size(), start);
    EXPECT_EQ(masked, data);
  }
}

class MaskFileTest : public ::testing::Test {
 protected:
  // Every test process has a temporary folder of its own, empty at first.
  bool TemporaryFolderIsEmpty() {
    std::vector<FolderEntry> entries;
    return ListFolder(TempFolderPath().c_str(), &entries) && entries.size() == 1 &&
           entries[0].name == PathFileName(dir_.path());
  }
  TempDir dir_;
};

TEST_F(MaskFileTest, InvertTurnsPkIntoAfB4AndBack) {
  std::string path = dir_.Join("inv.zip");
  WriteFileOrDie(path, "PK");
  ASSERT_TRUE(MaskFileInPlace(path.c_str(), false, true));
  EXPECT_EQ(ReadFileOrEmpty(path), "\xAF\xB4");
  ASSERT_TRUE(MaskFileInPlace(path.c_str(), false, true));
  EXPECT_EQ(ReadFileOrEmpty(path), "PK");
}

TEST_F(MaskFileTest, MasksByPositionAcrossChunksAndRestoresOnSecondRun) {
  std::string data = RandomBytes(5, 200000);
  std::string path = dir_.Join("m.bin");
  WriteFileOrDie(path, data);
  ASSERT_TRUE(MaskFileInPlace(path.c_str(), false, false));
  std::string expected = data;
  MaskBuffer(&expected[0], expected.size(), 0);
  EXPECT_EQ(ReadFileOrEmpty(path), expected);
  ASSERT_TRUE(MaskFileInPlace(path.c_str(), false, false));
  EXPECT_EQ(ReadFileOrEmpty(path), data);
  EXPECT_TRUE(TemporaryFolderIsEmpty());
}

TEST_F(MaskFileTest, ExcludeTrailerDropsTheLastFourBytes) {
  std::string data = RandomBytes(6, 300);
  std::string path = dir_.Join("t.bin");
  WriteFileOrDie(path, data);
  ASSERT_TRUE(MaskFileInPlace(path.c_str(), true, true));
  std::string result = ReadFileOrEmpty(path);
  ASSERT_EQ(result.size(), 296u);
  for (size_t i = 0; i < result.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(result[i]), static_cast<uint8_t>(~data[i]));
  }
}

TEST_F(MaskFileTest, TooSmallFileFailsWithCode10AndLeavesNoTemporaryFile) {
  std::string path = dir_.Join("tiny-qlmr-mask.bin");
  WriteFileOrDie(path, "1234");
  EXPECT_FALSE(MaskFileInPlace(path.c_str(), true, false));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_EQ(std::string(LastErrorMessage()), "File=" + path + "(too small)");
  EXPECT_TRUE(TemporaryFolderIsEmpty());
  EXPECT_EQ(ReadFileOrEmpty(path), "1234");
}

TEST_F(MaskFileTest, MissingSourceFailsWithCode3) {
  std::string path = dir_.Join("absent.bin");
  EXPECT_FALSE(MaskFileInPlace(path.c_str(), false, false));
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("File=" + path + ", WinErr=", 0), 0u);
}

}  // namespace
}  // namespace qlmr
