#include "base/crc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

uint32_t Crc(const std::string& bytes) {
  uint32_t crc = 0;
  EXPECT_TRUE(BufferCrc(bytes.data(), static_cast<uint32_t>(bytes.size()), &crc));
  return crc;
}

TEST(CrcTest, KnownVectors) {
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(Crc("abc"), 0x6F7100CCu);
  EXPECT_EQ(Crc("123456789"), 0x5FA0DE0Fu);
}

TEST(CrcTest, TableIsTheStandardTableWithMiddleQuartersExchanged) {
  auto standard = [](uint32_t n) {
    for (int bit = 0; bit < 8; ++bit) n = (n & 1) ? (n >> 1) ^ 0xEDB88320u : n >> 1;
    return n;
  };
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t source = n;
    if (n >= 64 && n < 128) source = n + 64;
    if (n >= 128 && n < 192) source = n - 64;
    ASSERT_EQ(CrcTable[n], standard(source)) << "entry " << n;
  }
  EXPECT_EQ(CrcTable[64], 0xEDB88320u);
  EXPECT_EQ(CrcTable[128], 0x76DC4190u);
}

TEST(CrcTest, NullDataFailsAndLeavesCrcUntouched) {
  uint32_t crc = 1234;
  EXPECT_FALSE(BufferCrc(nullptr, 10, &crc));
  EXPECT_EQ(crc, 1234u);
}

// The braided and sliced loops must agree with the byte-wise definition whatever the
// length, the alignment of the start and the way the data is cut in pieces.
TEST(CrcTest, FastUpdateAgreesWithBytewiseOverLengthsAlignmentsAndPieces) {
  std::string data = RandomBytes(7, 8192);
  std::mt19937 engine(99);
  for (int round = 0; round < 3000; ++round) {
    size_t offset = engine() % 64;
    size_t length = engine() % (data.size() - offset);
    const char* start = data.data() + offset;
    uint32_t reference = CrcUpdateBytewise(kCrcInit, start, length);
    ASSERT_EQ(CrcUpdate(kCrcInit, start, length), reference)
        << "offset " << offset << " length " << length;
    size_t cut = length == 0 ? 0 : engine() % length;
    uint32_t pieced = CrcUpdate(CrcUpdate(kCrcInit, start, cut), start + cut, length - cut);
    ASSERT_EQ(pieced, reference) << "cut " << cut;
  }
}

// CrcUpdate takes a bit-plane form on processors with vector and carry-less
// multiply instructions and the word-wise form elsewhere: both must give the
// byte-wise result around their block sizes, from any starting state.
TEST(CrcTest, BothFastFormsAgreeWithBytewiseAroundTheirBlocks) {
  std::string data = RandomBytes(8, 70000);
  const size_t lengths[] = {0,    1,    39,   40,   80,   127,  128,  129,   1023,
                            1024, 1025, 1151, 1152, 1153, 4096, 8197, 65537, 69990};
  const uint32_t states[] = {kCrcInit, 0, 0x5FA0DE0F};
  for (size_t length : lengths) {
    for (size_t offset : {0, 1, 5}) {
      for (uint32_t state : states) {
        const char* start = data.data() + offset;
        uint32_t reference = CrcUpdateBytewise(state, start, length);
        EXPECT_EQ(CrcUpdate(state, start, length), reference)
            << "length " << length << " offset " << offset << " state " << state;
        EXPECT_EQ(CrcUpdatePortable(state, start, length), reference)
            << "length " << length << " offset " << offset << " state " << state;
      }
    }
  }
}

class FileCrcTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// Sizes where the 4-byte trailer straddles a 4096- or 65536-byte boundary.
TEST_F(FileCrcTest, ExcludingTheTrailerEqualsTheCrcOfAllButTheLastFourBytes) {
  const size_t sizes[] = {0,     1,     3,     4,     5,     8,     4095,   4096,
                          4097,  4098,  4099,  4100,  4101,  8196,  8197,   65535,
                          65536, 65537, 65538, 65539, 65540, 65541, 131076, 200003};
  for (size_t size : sizes) {
    std::string content = RandomBytes(static_cast<uint32_t>(size), size);
    std::string path = dir_.Join("f.bin");
    WriteFileOrDie(path, content);
    uint32_t with_trailer = 0;
    uint32_t without_trailer = 0;
    ASSERT_TRUE(FileCrc(path.c_str(), &without_trailer, true));
    ASSERT_TRUE(FileCrc(path.c_str(), &with_trailer, false));
    std::string body = size > 4 ? content.substr(0, size - 4) : std::string();
    EXPECT_EQ(without_trailer, Crc(body)) << "size " << size;
    EXPECT_EQ(with_trailer, Crc(content)) << "size " << size;
  }
}

TEST_F(FileCrcTest, MissingFileFailsWithCode4) {
  uint32_t crc = 0;
  EXPECT_FALSE(FileCrc(dir_.Join("absent").c_str(), &crc, false));
  EXPECT_EQ(crc, 0xFFFFFFFFu);
  EXPECT_EQ(LastErrorCode(), ERR_READ);
}

TEST_F(FileCrcTest, AppendThenCheckAcceptsAndAnyChangedByteRejects) {
  std::string content = RandomBytes(3, 5000);
  std::string path = dir_.Join("t.bin");
  WriteFileOrDie(path, content);
  ASSERT_TRUE(AppendFileCrc(path.c_str()));
  std::string with_trailer = ReadFileOrEmpty(path);
  ASSERT_EQ(with_trailer.size(), content.size() + 4);
  uint32_t crc = Crc(content);
  EXPECT_EQ(with_trailer.substr(content.size()),
            std::string({char(crc), char(crc >> 8), char(crc >> 16), char(crc >> 24)}));
  EXPECT_TRUE(CheckFileCrc(path.c_str()));
  for (size_t position : {size_t{0}, size_t{2500}, content.size() - 1, content.size() + 3}) {
    std::string changed = with_trailer;
    changed[position] ^= 0x01;
    WriteFileOrDie(path, changed);
    EXPECT_FALSE(CheckFileCrc(path.c_str())) << "byte " << position;
  }
}

TEST_F(FileCrcTest, CheckOfAThreeByteFileFailsWithoutReport) {
  std::string path = dir_.Join("short.bin");
  WriteFileOrDie(path, "abc");
  ReportError(ERR_SEEK, "marker");
  EXPECT_FALSE(CheckFileCrc(path.c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_SEEK);
  EXPECT_STREQ(LastErrorMessage(), "marker");
}

TEST_F(FileCrcTest, AppendReportsMissingPathAndMissingFile) {
  EXPECT_FALSE(AppendFileCrc(""));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(AppendFileCrc(dir_.Join("absent").c_str()));
  EXPECT_EQ(LastErrorCode(), ERR_READ);
}

}  // namespace
}  // namespace qlmr
