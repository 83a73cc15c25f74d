// LzmaCodec: its stored form, the automatic filter choice, its limits and its
// malformed inputs.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/error.h"
#include "base/lzma_buffer.h"
#include "tests/base/codec_test_data.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::DecodeToString;
using testing_support::EncodeToString;
using testing_support::RandomBytes;
using testing_support::TextLike;
using testing_support::X86Like;

const Codec& Lzma() { return *GetCodecRegistry().Find(COMPRESS_LZMA); }

// The stored mask bytes, little-endian 0x6B2D41C3.
const uint8_t kLzmaMaskBytes[4] = {0xC3, 0x41, 0x2D, 0x6B};

std::string Mask(const std::string& bytes) {
  return testing_support::XorRepeating(bytes, kLzmaMaskBytes);
}

uint64_t LoadLittleEndian(const std::string& bytes, size_t offset, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

std::string Header(uint8_t filterFlag, uint8_t properties, uint32_t dictionary, uint64_t size) {
  std::string header;
  header += static_cast<char>(filterFlag);
  header += static_cast<char>(properties);
  for (int i = 0; i < 4; ++i) header += static_cast<char>(dictionary >> (8 * i));
  for (int i = 0; i < 8; ++i) header += static_cast<char>(size >> (8 * i));
  return header;
}

// A raw LZMA1 stream written by liblzma alone; `endMarker` as asked.
std::string BareStream(const std::string& data, bool x86, bool endMarker) {
  lzma_options_lzma options{};
  EXPECT_FALSE(lzma_lzma_preset(&options, 6));
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  // The plain LZMA1 filter always writes the end marker; the extended one
  // writes none unless asked.
  lzma_filter filters[3];
  int count = 0;
  if (x86) filters[count++] = {LZMA_FILTER_X86, nullptr};
  filters[count++] = {endMarker ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &options};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  std::string out(data.size() * 2 + 64, '\0');
  size_t written = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t*>(data.data()),
                                   data.size(), reinterpret_cast<uint8_t*>(&out[0]), &written,
                                   out.size()),
            LZMA_OK);
  out.resize(written);
  return out;
}

// liblzma alone decodes the stream after the header, for the size in it.
std::string BareDecode(const std::string& unmasked) {
  uint64_t size = LoadLittleEndian(unmasked, 6, 8);
  lzma_options_lzma options{};
  EXPECT_EQ(lzma_lzma_preset(&options, 6), false);
  options.dict_size = static_cast<uint32_t>(LoadLittleEndian(unmasked, 2, 4));
  options.ext_size_low = static_cast<uint32_t>(size);
  lzma_filter filters[3];
  int count = 0;
  if (unmasked[0] == 1) filters[count++] = {LZMA_FILTER_X86, nullptr};
  filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  std::string out(size, '\0');
  size_t in_pos = 14;
  size_t out_pos = 0;
  EXPECT_EQ(lzma_raw_buffer_decode(
                filters, nullptr, reinterpret_cast<const uint8_t*>(unmasked.data()), &in_pos,
                unmasked.size(), reinterpret_cast<uint8_t*>(&out[0]), &out_pos, out.size()),
            LZMA_OK);
  EXPECT_EQ(in_pos, unmasked.size());  // the stream fills the rest
  out.resize(out_pos);
  return out;
}

TEST(LzmaCodecTest, StoredFormIsTheMaskedHeaderAndStream) {
  for (const std::string& data : {TextLike(1, 100003), X86Like(2, 65537)}) {
    std::string encoded;
    ASSERT_TRUE(EncodeToString(Lzma(), data, &encoded));
    ASSERT_GT(encoded.size(), 14u);
    std::string unmasked = Mask(encoded);
    EXPECT_LE(static_cast<uint8_t>(unmasked[0]), 1);
    EXPECT_EQ(static_cast<uint8_t>(unmasked[1]), 0x5D);
    EXPECT_EQ(LoadLittleEndian(unmasked, 2, 4), 0x00800000u);
    EXPECT_EQ(LoadLittleEndian(unmasked, 6, 8), data.size());
    EXPECT_TRUE(BareDecode(unmasked) == data);
  }
}

// The automatic mode keeps the smaller of the plain and the filtered form,
// the plain one when both are equal (text has no call opcodes, so the
// filter changes nothing there).
TEST(LzmaCodecTest, KeepsTheSmallerFilterFormPlainOnATie) {
  struct Case {
    const char* what;
    std::string data;
    uint8_t expectedFlag;
  } cases[] = {
      {"x86-like code", X86Like(3, 200000), kLzmaFilterX86},
      {"text", TextLike(4, 200000), kLzmaFilterPlain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t length = static_cast<uint32_t>(c.data.size());
    uint32_t bound = Lzma().MaxEncodedSize(length);
    std::vector<uint8_t> plain(bound);
    std::vector<uint8_t> filtered(bound);
    uint32_t plain_size = 0;
    uint32_t filtered_size = 0;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(c.data.data());
    ASSERT_EQ(EncodeLzmaBuffer(in, length, kLzmaFilterPlain, plain.data(), bound, &plain_size), 0);
    ASSERT_EQ(EncodeLzmaBuffer(in, length, kLzmaFilterX86, filtered.data(), bound, &filtered_size),
              0);

    std::string encoded;
    ASSERT_TRUE(EncodeToString(Lzma(), c.data, &encoded));
    std::string unmasked = Mask(encoded);
    EXPECT_EQ(unmasked[0], c.expectedFlag);
    EXPECT_EQ(encoded.size(), std::min(plain_size, filtered_size));
    if (c.expectedFlag == kLzmaFilterX86) {
      EXPECT_LT(filtered_size, plain_size);
    } else {
      EXPECT_EQ(filtered_size, plain_size);
    }
    std::string decoded;
    ASSERT_TRUE(DecodeToString(Lzma(), encoded, length, length, &decoded));
    EXPECT_TRUE(decoded == c.data);
  }
}

// The stream is the one a one-call buffer encode of liblzma gives with the
// same settings, however the output is handed out; a capacity of exactly its
// size holds it, one byte less does not.
TEST(LzmaCodecTest, StreamIsLiblzmasBufferEncodeAndFillsItsCapacityExactly) {
  for (const std::string& data :
       {TextLike(11, 300000), X86Like(12, 200000), RandomBytes(13, 5000)}) {
    for (uint8_t flag : {kLzmaFilterPlain, kLzmaFilterX86}) {
      uint32_t length = static_cast<uint32_t>(data.size());
      const uint8_t* in = reinterpret_cast<const uint8_t*>(data.data());
      lzma_options_lzma options{};
      options.lc = 3;
      options.lp = 0;
      options.pb = 2;
      options.dict_size =
          std::min<uint32_t>(std::max<uint32_t>(length, LZMA_DICT_SIZE_MIN), kLzmaDictionarySize);
      options.mode = LZMA_MODE_NORMAL;
      options.nice_len = kLzmaNiceLength;
      options.mf = LZMA_MF_BT4;
      lzma_filter filters[3];
      int count = 0;
      if (flag == kLzmaFilterX86) filters[count++] = {LZMA_FILTER_X86, nullptr};
      filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
      filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
      std::vector<uint8_t> bare(length * 2 + 64);
      size_t bareSize = 0;
      ASSERT_EQ(
          lzma_raw_buffer_encode(filters, nullptr, in, length, bare.data(), &bareSize, bare.size()),
          LZMA_OK);

      uint32_t exact = static_cast<uint32_t>(kLzmaHeaderSize + bareSize);
      std::vector<uint8_t> ours(exact);
      uint32_t size = 0;
      ASSERT_EQ(EncodeLzmaBuffer(in, length, flag, ours.data(), exact, &size), LZMA_RESULT_OK);
      ASSERT_EQ(size, exact);
      EXPECT_TRUE(
          std::equal(bare.begin(), bare.begin() + bareSize, ours.begin() + kLzmaHeaderSize));
      EXPECT_EQ(EncodeLzmaBuffer(in, length, flag, ours.data(), exact - 1, &size),
                LZMA_RESULT_OUTPUT_FULL);
    }
  }
}

// A try that another thread cancels stops and fails; it leaves no form.
TEST(LzmaCodecTest, ACancelledTryFails) {
  std::string data = TextLike(14, 100000);
  std::atomic<bool> cancel{true};
  std::vector<uint8_t> form;
  EXPECT_FALSE(RunEncodeTry(Lzma(), 0, reinterpret_cast<const uint8_t*>(data.data()),
                            static_cast<uint32_t>(data.size()), &cancel, &form));
  cancel = false;
  EXPECT_TRUE(RunEncodeTry(Lzma(), 0, reinterpret_cast<const uint8_t*>(data.data()),
                           static_cast<uint32_t>(data.size()), &cancel, &form));
}

// Up to 12 bytes the bound cannot even hold the 14-byte header; a little
// above, it cannot hold the header and the shortest stream (5 bytes).
TEST(LzmaCodecTest, TinyInputsFailWithResult3) {
  for (uint32_t size = 0; size <= 14; ++size) {
    std::string encoded;
    EXPECT_FALSE(EncodeToString(Lzma(), std::string(size, 'a'), &encoded)) << size;
    EXPECT_EQ(LastErrorCode(), ERR_CODEC);
    EXPECT_STREQ(LastErrorMessage(), "LZMA compress[3]");
  }
}

// Streams from encoders that end with an end marker decode too, with and
// without the x86 converter; so does the stream of empty data, and a header
// naming another dictionary size.
TEST(LzmaCodecTest, DecodesStreamsWrittenByOtherEncoders) {
  std::string text = TextLike(7, 30000);
  std::string code = X86Like(8, 30000);
  struct Case {
    const char* what;
    std::string data;
    bool x86;
    bool endMarker;
    uint32_t dictionary;
  } cases[] = {
      {"end marker", text, false, true, 0x00800000},
      {"x86 and end marker", code, true, true, 0x00800000},
      {"no end marker", code, true, false, 0x00800000},
      {"empty", "", false, false, 0x00800000},
      {"empty with end marker", "", false, true, 0x00800000},
      {"4 GiB dictionary", text, false, false, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string encoded = Mask(Header(c.x86 ? 1 : 0, 0x5D, c.dictionary, c.data.size()) +
                               BareStream(c.data, c.x86, c.endMarker));
    uint32_t capacity = static_cast<uint32_t>(std::max(c.data.size(), encoded.size()));
    std::string decoded;
    ASSERT_TRUE(
        DecodeToString(Lzma(), encoded, capacity, static_cast<uint32_t>(c.data.size()), &decoded))
        << LastErrorMessage();
    EXPECT_TRUE(decoded == c.data);
  }
}

// Every encoded byte is unmasked, even when the capacity leaves no room up
// to the next multiple of 4 (random data, which grows when encoded).
TEST(LzmaCodecTest, DecodesWhenCapacityEqualsAnUnalignedLength) {
  std::string data;
  std::string encoded;
  for (uint32_t seed = 10; encoded.size() % 4 == 0; ++seed) {
    data = RandomBytes(seed, 5000);
    ASSERT_TRUE(EncodeToString(Lzma(), data, &encoded));
  }
  ASSERT_GT(encoded.size(), data.size());
  std::string decoded;
  ASSERT_TRUE(DecodeToString(Lzma(), encoded, static_cast<uint32_t>(encoded.size()),
                             static_cast<uint32_t>(data.size()), &decoded))
      << LastErrorMessage();
  EXPECT_TRUE(decoded == data);
}

TEST(LzmaCodecTest, MalformedHeadersAndStreams) {
  std::string data = TextLike(9, 20000);
  std::string stream = BareStream(data, false, false);
  std::string good = Header(0, 0x5D, 0x00800000, data.size()) + stream;
  struct Case {
    const char* what;
    std::string unmasked;
    uint32_t capacity;
    int32_t code;
    const char* message;
  } cases[] = {
      {"13 bytes", good.substr(0, 13), 20000, ERR_CODEC, "LZMA decompress[1]"},
      {"size 2^32", Header(0, 0x5D, 0x00800000, 1ull << 32) + stream, 20000, ERR_CODEC,
       "LZMA decompress[1]"},
      {"size above capacity", good, 19999, ERR_NO_MEMORY, "LZMA decompress=20000"},
      {"filter flag 2", Header(2, 0x5D, 0x00800000, data.size()) + stream, 20000, ERR_CODEC,
       "LZMA decompress[1]"},
      {"properties 225", Header(0, 225, 0x00800000, data.size()) + stream, 20000, ERR_CODEC,
       "LZMA decompress[1]"},
      {"truncated stream", good.substr(0, good.size() - 100), 20000, ERR_CODEC,
       "LZMA decompress[1]"},
      {"size beyond the stream", Header(0, 0x5D, 0x00800000, 20001) + stream, 20001, ERR_CODEC,
       "LZMA decompress[1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t kGuard = 64;
    std::string encoded = Mask(c.unmasked);
    std::vector<uint8_t> buffer(std::max<size_t>(c.capacity, encoded.size()) + kGuard, 0xA5);
    std::copy(encoded.begin(), encoded.end(), buffer.begin());
    EXPECT_FALSE(
        Lzma().Decode(buffer.data(), c.capacity, static_cast<uint32_t>(encoded.size()), 0));
    EXPECT_EQ(LastErrorCode(), c.code);
    EXPECT_STREQ(LastErrorMessage(), c.message);
    EXPECT_EQ(std::vector<uint8_t>(buffer.end() - kGuard, buffer.end()),
              std::vector<uint8_t>(kGuard, 0xA5));
  }
}

}  // namespace
}  // namespace qlmr

namespace qlmr {
namespace {

// Found by the LZMA fuzz target: a header claiming a 4 GiB window and size
// made the stream decoder ask for 4 GiB before reading a byte of stream.
TEST(LzmaDecodeStreamTest, AForgedWindowIsHeldAtTheEncodersDictionary) {
  uint8_t header[kLzmaHeaderSize] = {kLzmaFilterPlain, kLzmaPropertiesByte};
  for (int i = 0; i < 4; ++i) header[kLzmaDictionaryOffset + i] = 0xFF;
  for (int i = 0; i < 4; ++i) header[kLzmaSizeOffset + i] = 0xFF;
  uint8_t stream[16] = {};
  LzmaDecodeStream decoder;
  auto ignore = [](void*, const uint8_t*, size_t) { return true; };
  decoder.Feed(header, sizeof header, ignore, nullptr);
  decoder.Feed(stream, sizeof stream, ignore, nullptr);
  EXPECT_EQ(decoder.DecodedSize(), 0xFFFFFFFFu);
  EXPECT_GT(decoder.MemoryUsage(), 0u);
  EXPECT_LE(decoder.MemoryUsage(), uint64_t{kLzmaDictionarySize} + (4u << 20));
  EXPECT_NE(decoder.Finish(), LZMA_RESULT_OK);  // the stream is far too short
}

}  // namespace
}  // namespace qlmr

namespace qlmr {
namespace {

using testing_support::TextLike;
using testing_support::X86Like;

// Collects a stream's output and checks that the positions follow on.
struct Collected {
  std::string bytes;
  static bool Write(void* context, uint64_t position, const uint8_t* data, size_t length) {
    Collected* self = static_cast<Collected*>(context);
    if (position != self->bytes.size()) return false;
    self->bytes.append(reinterpret_cast<const char*>(data), length);
    return true;
  }
};

// The streamed form, fed in uneven pieces, is the buffer form byte for byte
// for both filters, so that a packer that streams writes what the codec
// writes.
TEST(LzmaEncodeStreamTest, InPiecesItGivesTheBufferForm) {
  const std::string inputs[] = {TextLike(3, 150000), X86Like(4, 90000), std::string(20, 'a')};
  for (const std::string& input : inputs) {
    for (uint8_t flag : {kLzmaFilterPlain, kLzmaFilterX86}) {
      SCOPED_TRACE(std::to_string(input.size()) + " bytes, filter " + std::to_string(flag));
      const uint8_t* data = reinterpret_cast<const uint8_t*>(input.data());
      uint32_t length = static_cast<uint32_t>(input.size());
      std::vector<uint8_t> buffer(length * 2 + 64);
      uint32_t size = 0;
      ASSERT_EQ(EncodeLzmaBuffer(data, length, flag, buffer.data(),
                                 static_cast<uint32_t>(buffer.size()), &size),
                LZMA_RESULT_OK);
      LzmaEncodeStream stream;
      Collected out;
      ASSERT_EQ(stream.Start(length, flag, kLzmaDictionarySize, &Collected::Write, &out),
                LZMA_RESULT_OK);
      size_t done = 0;
      for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536 + 3}}) {
        piece = std::min(piece, input.size() - done);
        ASSERT_EQ(stream.Feed(data + done, piece), LZMA_RESULT_OK);
        done += piece;
      }
      ASSERT_EQ(stream.Feed(data + done, input.size() - done), LZMA_RESULT_OK);
      ASSERT_EQ(stream.Finish(), LZMA_RESULT_OK);
      EXPECT_EQ(stream.EncodedSize(), out.bytes.size());
      EXPECT_TRUE(out.bytes == std::string(buffer.begin(), buffer.begin() + size));
    }
  }
}

// The header holds the length: input that does not come to it is an error,
// and so is a receiver that refuses the output.
TEST(LzmaEncodeStreamTest, ALengthOtherThanStartedOrARefusedOutputFails) {
  const std::string input = TextLike(5, 1000);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(input.data());
  struct Case {
    uint32_t started;
    int fed;  // the result of feeding the 1000 bytes
  };
  for (Case c : {Case{1001, LZMA_RESULT_OK}, Case{999, LZMA_RESULT_ERROR}}) {
    SCOPED_TRACE(c.started);
    Collected out;
    LzmaEncodeStream stream;
    ASSERT_EQ(
        stream.Start(c.started, kLzmaFilterPlain, kLzmaDictionarySize, &Collected::Write, &out),
        LZMA_RESULT_OK);
    EXPECT_EQ(stream.Feed(data, input.size()), c.fed);
    EXPECT_EQ(stream.Finish(), LZMA_RESULT_ERROR);
  }

  LzmaEncodeStream refused;
  auto refuse = [](void*, uint64_t, const uint8_t*, size_t) { return false; };
  EXPECT_EQ(refused.Start(1000, kLzmaFilterPlain, kLzmaDictionarySize, refuse, nullptr),
            LZMA_RESULT_OUTPUT_FAILED);
  EXPECT_EQ(refused.Feed(data, input.size()), LZMA_RESULT_OUTPUT_FAILED);
}

}  // namespace
}  // namespace qlmr
