// LzoCodec: its stored form, its limits and its malformed inputs.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <string>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "tests/base/codec_test_data.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::DecodeToString;
using testing_support::EncodeToString;
using testing_support::RandomBytes;
using testing_support::TextLike;

const Codec& Lzo() { return *GetCodecRegistry().Find(COMPRESS_LZO); }

// The stored mask bytes, little-endian 0x2E7F0A95.
const uint8_t kLzoMaskBytes[4] = {0x95, 0x0A, 0x7F, 0x2E};

std::string Unmask(std::string bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= kLzoMaskBytes[i % 4];
  return bytes;
}

// The stored form is the dense compressor's stream, rewritten by the
// optimiser, masked word by word, its last partial word included.
TEST(LzoCodecTest, StoredFormIsTheOptimisedDenseStreamMasked) {
  ASSERT_EQ(lzo_init(), LZO_E_OK);
  for (const std::string& data : {TextLike(1, 30001), RandomBytes(2, 777), std::string()}) {
    std::string encoded;
    ASSERT_TRUE(EncodeToString(Lzo(), data, &encoded));

    std::vector<uint8_t> reference(data.size() + data.size() / 16 + 67);
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS);
    lzo_uint reference_size = reference.size();
    ASSERT_EQ(lzo1x_999_compress(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                 reference.data(), &reference_size, work.data()),
              LZO_E_OK);
    std::vector<uint8_t> scratch(data.size() + 1);
    lzo_uint scratch_size = data.size();
    ASSERT_EQ(
        lzo1x_optimize(reference.data(), reference_size, scratch.data(), &scratch_size, nullptr),
        LZO_E_OK);
    EXPECT_EQ(Unmask(encoded),
              std::string(reinterpret_cast<const char*>(reference.data()), reference_size))
        << "size " << data.size();
  }
}

TEST(LzoCodecTest, EmptyInputEncodesAndDecodesToNothing) {
  std::string encoded;
  ASSERT_TRUE(EncodeToString(Lzo(), "", &encoded));
  EXPECT_FALSE(encoded.empty());  // the end marker
  std::string decoded;
  EXPECT_TRUE(DecodeToString(Lzo(), encoded, static_cast<uint32_t>(encoded.size()), 0, &decoded));
  // Zero encoded bytes are nothing to do.
  uint8_t byte = 0x5A;
  EXPECT_TRUE(Lzo().Decode(&byte, 1, 0, 0));
  EXPECT_EQ(byte, 0x5A);
}

TEST(LzoCodecTest, EncodeNeedsTheBoundAsCapacity) {
  std::string data = TextLike(3, 1000);
  std::vector<uint8_t> buffer(data.begin(), data.end());
  buffer.resize(1131);
  uint32_t length = 1000;
  EXPECT_FALSE(Lzo().Encode(buffer.data(), 1131, &length));
  EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY);
  EXPECT_STREQ(LastErrorMessage(), "LZO compress=1132");
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 1000), data);  // untouched
}

TEST(LzoCodecTest, DecodeRefusesBadArguments) {
  std::string encoded;
  ASSERT_TRUE(EncodeToString(Lzo(), TextLike(4, 500), &encoded));
  std::vector<uint8_t> buffer(encoded.begin(), encoded.end());
  buffer.resize(500);
  uint32_t length = static_cast<uint32_t>(encoded.size());
  EXPECT_FALSE(Lzo().Decode(buffer.data(), 500, length, 1));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(Lzo().Decode(buffer.data(), length - 1, length, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(Lzo().Decode(nullptr, 500, length, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  uint32_t any = 4;
  EXPECT_FALSE(Lzo().Encode(nullptr, 100, &any));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
}

// Damaged streams fail with the decompressor's result, and output that
// would pass the capacity is refused before it is written.
TEST(LzoCodecTest, DamagedStreamsFailWithTheLibraryResult) {
  std::string data = TextLike(5, 20000);
  std::string encoded;
  ASSERT_TRUE(EncodeToString(Lzo(), data, &encoded));
  std::string flipped = Unmask(encoded);
  // A forged first literal run of 238 bytes: the compressed bytes after it
  // are read as instructions, and a match soon reaches before the output.
  flipped[0] = '\xFF';
  struct Case {
    const char* what;
    std::string input;
    uint32_t capacity;
    const char* message;
  } cases[] = {
      {"capacity one byte short", encoded, 19999, "lzo_err=-5"},
      {"truncated", encoded.substr(0, encoded.size() / 2), 20000, "lzo_err=-4"},
      {"trailing byte", encoded + '\0', 20000, "lzo_err=-8"},
      {"forged literal run", Unmask(flipped), 20000, "lzo_err=-6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t kGuard = 64;
    std::vector<uint8_t> buffer(c.capacity + kGuard, 0xA5);
    std::copy(c.input.begin(), c.input.end(), buffer.begin());
    EXPECT_FALSE(Lzo().Decode(buffer.data(), c.capacity, static_cast<uint32_t>(c.input.size()), 0));
    EXPECT_EQ(LastErrorCode(), ERR_CODEC);
    EXPECT_STREQ(LastErrorMessage(), c.message);
    EXPECT_EQ(std::vector<uint8_t>(buffer.end() - kGuard, buffer.end()),
              std::vector<uint8_t>(kGuard, 0xA5));
  }
}

}  // namespace
}  // namespace qlmr
