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

// Every stored masked patch and type-1 file was written with these bytes: a
// change of the mask's constants makes all of them unreadable.
TEST(PositionalMaskTest, KeepsItsBytesAtEveryPosition) {
  // One row of 16 positions per line.
  // clang-format off
  const uint8_t kExpected[256] = {
    0x0C, 0xCD, 0xB3, 0x49, 0x90, 0x43, 0xDF, 0xA2, 0x4C, 0xB5, 0xE9, 0x3A, 0xEA, 0xEF, 0x9A, 0x88,
    0x7E, 0x72, 0x2B, 0x9E, 0xB9, 0x42, 0xC3, 0xF5, 0xC0, 0x92, 0xA4, 0x19, 0x3B, 0xA6, 0x55, 0xD5,
    0x98, 0x75, 0xFF, 0xE6, 0x8E, 0x9D, 0xE8, 0x8B, 0xD1, 0xF6, 0x63, 0x7F, 0xE3, 0xA3, 0xBF, 0x57,
    0xC6, 0x73, 0xC4, 0x36, 0x44, 0xE2, 0xAD, 0xFE, 0xF7, 0xAF, 0xF8, 0x33, 0x26, 0xA8, 0x22, 0x6F,
    0x2F, 0xD2, 0xEE, 0x17, 0x45, 0x1C, 0x4D, 0x11, 0xF4, 0x14, 0xAE, 0x97, 0x94, 0x1B, 0x40, 0x8D,
    0x7C, 0x99, 0x66, 0x18, 0x64, 0x3E, 0xDA, 0x00, 0x93, 0x8C, 0x6C, 0x0D, 0x25, 0x95, 0x07, 0x6E,
    0xBD, 0xC8, 0x51, 0xF9, 0x28, 0x62, 0x27, 0x56, 0xFD, 0x5B, 0xD9, 0xC5, 0x5F, 0x89, 0xD3, 0x9C,
    0xDE, 0xBC, 0x5D, 0x4F, 0x2D, 0xB1, 0xAB, 0x0B, 0x58, 0xA9, 0x71, 0x7D, 0x0E, 0xDB, 0xFB, 0x86,
    0x3D, 0xE1, 0xF1, 0x02, 0x87, 0x2E, 0x24, 0x01, 0x67, 0xB8, 0x9B, 0x4A, 0xAA, 0xA5, 0xCB, 0xED,
    0x84, 0x1F, 0x09, 0x91, 0x76, 0xBE, 0x41, 0xE5, 0x52, 0xD0, 0x13, 0x5E, 0xC1, 0x03, 0xB7, 0x79,
    0x0A, 0x85, 0xCF, 0x04, 0x77, 0x6B, 0x34, 0x12, 0xB0, 0xF2, 0xA1, 0xB4, 0xEC, 0x3F, 0xAC, 0x9F,
    0xF3, 0xE0, 0x38, 0x47, 0x31, 0x0F, 0x96, 0x78, 0x4B, 0x61, 0x2A, 0x23, 0x68, 0x46, 0x6D, 0x53,
    0xC7, 0x08, 0xD7, 0x8A, 0x05, 0x30, 0xA0, 0x80, 0x1A, 0x74, 0x7B, 0xBA, 0xDC, 0x3C, 0x65, 0x35,
    0xFA, 0x6A, 0x48, 0x37, 0xA7, 0x83, 0x59, 0xE7, 0x8F, 0x54, 0x4E, 0x39, 0x5A, 0xE4, 0x5C, 0x06,
    0x69, 0xCA, 0xC9, 0xCC, 0x16, 0xF0, 0x7A, 0xDD, 0x32, 0x21, 0xB6, 0x20, 0x1E, 0x29, 0x50, 0xB2,
    0x82, 0x2C, 0xFC, 0x10, 0x60, 0x70, 0xBB, 0xD4, 0xCE, 0xD8, 0xD6, 0x1D, 0xC2, 0x81, 0x15, 0xEB,
  };
  // clang-format on
  for (uint32_t p = 0; p < 256; ++p) {
    EXPECT_EQ(PositionalMask(p), kExpected[p]) << "position " << p;
  }
}

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
