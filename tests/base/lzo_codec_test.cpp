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

std::string Unmask(const std::string& bytes) {
  return testing_support::XorRepeating(bytes, kLzoMaskBytes);
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
}

// The compressor writes without a limit of its own, so an input whose bound
// does not fit 32 bits is refused before any byte is read or written.
TEST(LzoCodecTest, RefusesInputsWhoseBoundExceeds32Bits) {
  uint8_t bytes[16] = {};
  uint32_t length = 0xF0F0F0F0u;
  EXPECT_FALSE(Lzo().Encode(bytes, 0xFFFFFFFFu, &length));
  EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY);
  EXPECT_EQ(length, 0xF0F0F0F0u);
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
