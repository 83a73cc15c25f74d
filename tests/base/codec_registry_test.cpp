// The codec registry, the masked copy codec, and what all three codecs share:
// their size bounds and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/error.h"
#include "base/mask.h"
#include "tests/base/codec_test_data.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::DecodeToString;
using testing_support::EncodeToString;
using testing_support::RandomBytes;
using testing_support::TextLike;
using testing_support::X86Like;

TEST(CodecRegistryTest, HoldsTheThreeCodecsInOrder) {
  CodecRegistry& registry = GetCodecRegistry();
  EXPECT_EQ(&registry, &GetCodecRegistry());
  ASSERT_EQ(registry.Count(), 3);
  for (int32_t i = 0; i < 3; ++i) {
    const Codec* codec = registry.GetAt(i);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->TypeId(), i + 1);
    EXPECT_EQ(registry.Find(i + 1), codec);
  }
  EXPECT_TRUE(registry.Find(COMPRESS_MASK)->CanDecodeSlice());
  EXPECT_FALSE(registry.Find(COMPRESS_LZO)->CanDecodeSlice());
  EXPECT_FALSE(registry.Find(COMPRESS_LZMA)->CanDecodeSlice());
}

TEST(CodecRegistryTest, UnknownTypesAndIndexesGiveNullWithCode10) {
  CodecRegistry& registry = GetCodecRegistry();
  for (int32_t type : {0, 4, -1, 255, 256 + 2}) {
    ReportError(ERR_NONE, "stale");
    EXPECT_EQ(registry.Find(type), nullptr) << type;
    EXPECT_EQ(LastErrorCode(), ERR_INVALID) << type;
    EXPECT_STREQ(LastErrorMessage(), "");
  }
  for (int32_t index : {-1, 3, 1000}) {
    ReportError(ERR_NONE, "stale");
    EXPECT_EQ(registry.GetAt(index), nullptr) << index;
    EXPECT_EQ(LastErrorCode(), ERR_INVALID) << index;
  }
}

TEST(CodecRegistryTest, RegisterRefusesNullAndATakenId) {
  CodecRegistry& registry = GetCodecRegistry();
  EXPECT_FALSE(registry.Register(nullptr));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);

  static const LzoCodec second_lzo;
  EXPECT_FALSE(registry.Register(&second_lzo));
  EXPECT_EQ(LastErrorCode(), ERR_DUPLICATE);
  EXPECT_STREQ(LastErrorMessage(), "compresType=2");
  EXPECT_EQ(registry.Count(), 3);
  EXPECT_NE(registry.Find(COMPRESS_LZO), &second_lzo);
}

TEST(MaxEncodedSizeTest, BoundsOfEachCodec) {
  struct Case {
    CompressionType type;
    uint32_t n;
    uint32_t bound;
  } cases[] = {
      {COMPRESS_MASK, 0, 0},
      {COMPRESS_MASK, 1001, 1001},
      // n + n/16 + 67, raised to a multiple of 4.
      {COMPRESS_LZO, 0, 68},
      {COMPRESS_LZO, 1, 68},
      {COMPRESS_LZO, 2, 72},
      {COMPRESS_LZO, 1000, 1132},
      {COMPRESS_LZO, 1u << 20, (1u << 20) + (1u << 16) + 68},
      // n * 1.02f in double precision, truncated, raised to a multiple of 4;
      // in float, 150 would give 156.
      {COMPRESS_LZMA, 0, 0},
      {COMPRESS_LZMA, 1, 4},
      {COMPRESS_LZMA, 12, 12},
      {COMPRESS_LZMA, 13, 16},
      {COMPRESS_LZMA, 150, 152},
      {COMPRESS_LZMA, 1000, 1020},
      {COMPRESS_LZMA, 350, 356},  // 356.99999 truncated; in float 357 would give 360
      {COMPRESS_LZMA, 1u << 20, 1069548},
      // Beyond 32 bits the bounds saturate instead of wrapping to small values.
      {COMPRESS_LZMA, 0xFFFFFFFFu, 0xFFFFFFFCu},
      {COMPRESS_LZO, 0xFFFFFFFFu, 0xFFFFFFFCu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetCodecRegistry().Find(c.type)->MaxEncodedSize(c.n), c.bound)
        << "type " << int{c.type} << " n " << c.n;
  }
}

TEST(MaxDecodedSizeTest, TheMostCompressibleDataStaysWithinTheBound) {
  // Long runs of one byte are the best case of both compressors: if their
  // encoded form decoded past the bound, readers would refuse valid files.
  for (CompressionType type : {COMPRESS_LZO, COMPRESS_LZMA}) {
    SCOPED_TRACE(int{type});
    const Codec& codec = *GetCodecRegistry().Find(type);
    for (char fill : {'\0', 'q'}) {
      std::string data(16u << 20, fill);
      std::string encoded;
      ASSERT_TRUE(EncodeToString(codec, data, &encoded));
      uint32_t length = static_cast<uint32_t>(encoded.size());
      EXPECT_LE(data.size(), codec.MaxDecodedSize(length)) << "encoded " << length;
      std::string decoded;
      ASSERT_TRUE(DecodeToString(codec, encoded, codec.MaxDecodedSize(length),
                                 static_cast<uint32_t>(data.size()), &decoded));
      EXPECT_TRUE(decoded == data);
    }
  }
  EXPECT_EQ(GetCodecRegistry().Find(COMPRESS_MASK)->MaxDecodedSize(1001), 1001u);
  EXPECT_EQ(GetCodecRegistry().Find(COMPRESS_LZO)->MaxDecodedSize(0x01000000u), 0xFFFFFFFFu);
  EXPECT_EQ(GetCodecRegistry().Find(COMPRESS_LZMA)->MaxDecodedSize(0x00100000u), 0xFFFFFFFFu);
}

TEST(MaskCodecTest, XorsEachBytePositionallyAndDecodesSlices) {
  const Codec& codec = *GetCodecRegistry().Find(COMPRESS_MASK);
  std::string data = RandomBytes(7, 300);
  std::string encoded;
  ASSERT_TRUE(EncodeToString(codec, data, &encoded));
  ASSERT_EQ(encoded.size(), data.size());
  for (uint32_t i = 0; i < data.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(encoded[i]), static_cast<uint8_t>(data[i] ^ PositionalMask(i)))
        << i;
  }
  // Bytes 100..199 of the encoded data alone, given their position.
  std::string slice = encoded.substr(100, 100);
  ASSERT_TRUE(codec.Decode(reinterpret_cast<uint8_t*>(&slice[0]), 100, 100, 100));
  EXPECT_EQ(slice, data.substr(100, 100));
}

TEST(MaskCodecTest, RefusesAbsentBufferAndShortCapacity) {
  const Codec& codec = *GetCodecRegistry().Find(COMPRESS_MASK);
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t length = 8;
  EXPECT_FALSE(codec.Encode(nullptr, 8, &length));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(codec.Encode(bytes, 7, &length));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(codec.Decode(bytes, 7, 8, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_FALSE(codec.Decode(nullptr, 8, 8, 0));
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_EQ(bytes[0], 1);  // refused before touching the data
}

// The two compressing codecs refuse a capacity below their bound before any
// work, naming the bound.
TEST(CompressingCodecTest, EncodeNeedsTheBoundAsCapacity) {
  struct Case {
    CompressionType type;
    uint32_t length;
    const char* message;
  } cases[] = {
      {COMPRESS_LZO, 1000, "LZO compress=1132"},
      {COMPRESS_LZMA, 150, "LZMA compress=152"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Codec& codec = *GetCodecRegistry().Find(c.type);
    std::string data = TextLike(5, c.length);
    uint32_t capacity = codec.MaxEncodedSize(c.length) - 1;
    std::vector<uint8_t> buffer(data.begin(), data.end());
    buffer.resize(capacity);
    uint32_t length = c.length;
    EXPECT_FALSE(codec.Encode(buffer.data(), capacity, &length));
    EXPECT_EQ(LastErrorCode(), ERR_NO_MEMORY);
    EXPECT_STREQ(LastErrorMessage(), c.message);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + c.length), data);  // untouched
    EXPECT_FALSE(codec.Encode(nullptr, capacity + 1, &length));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  }
}

// They decode only whole data: position 0, length within capacity.
TEST(CompressingCodecTest, DecodeRefusesSlicesAndBadArguments) {
  for (CompressionType type : {COMPRESS_LZO, COMPRESS_LZMA}) {
    SCOPED_TRACE(testing::Message() << "codec " << int{type});
    const Codec& codec = *GetCodecRegistry().Find(type);
    std::string encoded;
    ASSERT_TRUE(EncodeToString(codec, TextLike(6, 500), &encoded));
    std::vector<uint8_t> buffer(encoded.begin(), encoded.end());
    buffer.resize(500);
    uint32_t length = static_cast<uint32_t>(encoded.size());
    EXPECT_FALSE(codec.Decode(buffer.data(), 500, length, 1));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
    EXPECT_FALSE(codec.Decode(buffer.data(), length - 1, length, 0));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
    EXPECT_FALSE(codec.Decode(nullptr, 500, length, 0));
    EXPECT_EQ(LastErrorCode(), ERR_INVALID);
    // Zero encoded bytes are nothing to do.
    EXPECT_TRUE(codec.Decode(buffer.data(), 500, 0, 0));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), encoded);
  }
}

// Every codec over the sizes that matter. LZMA has no fallback: when its
// encoded form (14-byte header included) exceeds the bound it fails with
// result 3, which always happens up to 14 bytes and for small random data.
TEST(CodecRoundTripTest, EveryCodecRestoresItsInput) {
  struct Input {
    const char* kind;
    std::string data;
    bool lzmaFits;
  };
  std::vector<Input> inputs;
  for (size_t size : {0, 1, 13, 14}) inputs.push_back({"text", TextLike(1, size), false});
  inputs.push_back({"text", TextLike(2, 255), true});
  inputs.push_back({"text", TextLike(3, 4096), true});
  inputs.push_back({"text", TextLike(4, 1 << 20), true});
  inputs.push_back({"random", RandomBytes(5, 255), false});
  inputs.push_back({"random", RandomBytes(6, 4096), true});
  inputs.push_back({"random", RandomBytes(7, 1 << 20), true});
  inputs.push_back({"zeros", std::string(1 << 20, '\0'), true});
  inputs.push_back({"x86 code", X86Like(8, 65536), true});

  for (const Codec* codec :
       {GetCodecRegistry().Find(COMPRESS_MASK), GetCodecRegistry().Find(COMPRESS_LZO),
        GetCodecRegistry().Find(COMPRESS_LZMA)}) {
    for (const Input& input : inputs) {
      SCOPED_TRACE(testing::Message() << "codec " << int{codec->TypeId()} << ", " << input.kind
                                      << " of " << input.data.size());
      std::string encoded;
      bool encoded_ok = EncodeToString(*codec, input.data, &encoded);
      // The layer's own in-memory encoding gives the same bytes.
      std::vector<uint8_t> viaLayer;
      bool layerOk = EncodeToBuffer(*codec, reinterpret_cast<const uint8_t*>(input.data.data()),
                                    static_cast<uint32_t>(input.data.size()), &viaLayer);
      EXPECT_EQ(layerOk, encoded_ok);
      if (layerOk && encoded_ok) {
        EXPECT_TRUE(std::string(viaLayer.begin(), viaLayer.end()) == encoded);
      }
      // So does every try made apart, with the chosen one kept.
      std::vector<std::vector<uint8_t>> tries(EncodeTryCount(*codec));
      bool triesOk = true;
      for (uint32_t i = 0; i < tries.size(); ++i) {
        triesOk &= RunEncodeTry(*codec, i, reinterpret_cast<const uint8_t*>(input.data.data()),
                                static_cast<uint32_t>(input.data.size()), nullptr, &tries[i]);
      }
      if (triesOk) {
        std::vector<const std::vector<uint8_t>*> forms;
        for (const auto& form : tries) forms.push_back(&form);
        const std::vector<uint8_t>& chosen = tries[ChooseEncodeTry(*codec, forms.data())];
        EXPECT_TRUE(encoded_ok);
        EXPECT_TRUE(std::string(chosen.begin(), chosen.end()) == encoded);
      } else {
        EXPECT_FALSE(encoded_ok && EncodeTryCount(*codec) == 1);
      }
      if (codec->TypeId() == COMPRESS_LZMA && !input.lzmaFits) {
        EXPECT_FALSE(encoded_ok);
        EXPECT_EQ(LastErrorCode(), ERR_CODEC);
        EXPECT_STREQ(LastErrorMessage(), "LZMA compress[3]");
        continue;
      }
      ASSERT_TRUE(encoded_ok) << LastErrorMessage();
      EXPECT_LE(encoded.size(), codec->MaxEncodedSize(static_cast<uint32_t>(input.data.size())));
      if (codec->TypeId() != COMPRESS_MASK && input.kind == std::string("text") &&
          input.data.size() >= 4096) {
        EXPECT_LT(encoded.size() * 3, input.data.size());  // it does compress
      }
      // Callers decode with a capacity of the larger of both sizes.
      uint32_t size = static_cast<uint32_t>(input.data.size());
      uint32_t capacity = std::max(size, static_cast<uint32_t>(encoded.size()));
      std::string decoded;
      ASSERT_TRUE(DecodeToString(*codec, encoded, capacity, size, &decoded)) << LastErrorMessage();
      EXPECT_TRUE(decoded == input.data);
    }
  }
}

// Codecs keep no state: encoding and decoding on several threads at once
// gives every thread its own correct result.
TEST(CodecRoundTripTest, CodecsRunOnSeveralThreadsAtOnce) {
  const Codec* codecs[] = {GetCodecRegistry().Find(COMPRESS_LZO),
                           GetCodecRegistry().Find(COMPRESS_LZMA)};
  std::vector<std::thread> threads;
  bool ok[4] = {};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Codec& codec = *codecs[t % 2];
      std::string data = TextLike(100 + t, 50000 + t * 1000);
      std::string encoded;
      std::string decoded;
      ok[t] = EncodeToString(codec, data, &encoded) &&
              DecodeToString(codec, encoded, static_cast<uint32_t>(data.size()),
                             static_cast<uint32_t>(data.size()), &decoded) &&
              decoded == data;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
}

// Bytes that are not a codec's own form (the other codec's output, its own
// output under the other mask, cut short, or noise) fail with code 9 or 19
// and never make the decoder write past its capacity.
TEST(CodecMalformedInputTest, ForeignAndDamagedInputsFailCleanly) {
  const Codec& lzo = *GetCodecRegistry().Find(COMPRESS_LZO);
  const Codec& lzma = *GetCodecRegistry().Find(COMPRESS_LZMA);
  const Codec& mask = *GetCodecRegistry().Find(COMPRESS_MASK);
  std::string data = TextLike(31, 40000);
  std::string by_lzo;
  std::string by_lzma;
  std::string by_mask;
  ASSERT_TRUE(EncodeToString(lzo, data, &by_lzo));
  ASSERT_TRUE(EncodeToString(lzma, data, &by_lzma));
  ASSERT_TRUE(EncodeToString(mask, data, &by_mask));
  // Swapping the word mask: XOR with both masks.
  const uint8_t kBothMasks[4] = {0xC3 ^ 0x95, 0x41 ^ 0x0A, 0x2D ^ 0x7F, 0x6B ^ 0x2E};
  auto remask = [&](const std::string& bytes) {
    return testing_support::XorRepeating(bytes, kBothMasks);
  };
  struct Case {
    const char* what;
    const Codec* codec;
    std::string input;
  } cases[] = {
      {"LZMA output to LZO", &lzo, by_lzma},
      {"masked copy to LZO", &lzo, by_mask},
      {"LZO under the LZMA mask", &lzo, remask(by_lzo)},
      {"LZO cut after one byte", &lzo, by_lzo.substr(0, 1)},
      {"noise to LZO", &lzo, RandomBytes(32, 5000)},
      {"LZO output to LZMA", &lzma, by_lzo},
      {"masked copy to LZMA", &lzma, by_mask},
      {"LZMA under the LZO mask", &lzma, remask(by_lzma)},
      {"LZMA cut inside the header", &lzma, by_lzma.substr(0, 7)},
      {"LZMA cut after the header", &lzma, by_lzma.substr(0, 15)},
      {"noise to LZMA", &lzma, RandomBytes(33, 5000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t kGuard = 256;
    uint32_t capacity = static_cast<uint32_t>(std::max(data.size(), c.input.size()));
    std::vector<uint8_t> buffer(capacity + kGuard, 0xA5);
    std::copy(c.input.begin(), c.input.end(), buffer.begin());
    EXPECT_FALSE(
        c.codec->Decode(buffer.data(), capacity, static_cast<uint32_t>(c.input.size()), 0));
    EXPECT_TRUE(LastErrorCode() == ERR_CODEC || LastErrorCode() == ERR_NO_MEMORY)
        << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_EQ(std::vector<uint8_t>(buffer.end() - kGuard, buffer.end()),
              std::vector<uint8_t>(kGuard, 0xA5));
  }
}

}  // namespace
}  // namespace qlmr
