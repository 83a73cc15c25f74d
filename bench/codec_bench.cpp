// The codecs against their libraries used bare, on the same data in one run:
// LZO and LZMA decoding (what the word mask and the scratch copy cost), and
// LZMA's automatic filter mode against a single plain encode (what the
// second try costs when it runs on its own thread).
#include <benchmark/benchmark.h>
#include <lzma.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/lzma_buffer.h"

namespace {

constexpr size_t kDecodeSize = 4u << 20;
constexpr size_t kEncodeSize = 1u << 20;

// Resource-like content: blocks of text, of code-like bytes with calls, and
// of noise, as a game's pack files mix them.
const std::vector<uint8_t>& Corpus() {
  static const std::vector<uint8_t> corpus = [] {
    static const char* const kWords[] = {"mesh ",  "texture ", "sound ", "map ",   "npc\n",
                                         "quest ", "item ",    "skill ", "level ", "zone "};
    std::mt19937 engine(7);
    std::vector<uint8_t> bytes;
    while (bytes.size() < kDecodeSize) {
      size_t block_end = bytes.size() + 16384;
      switch (engine() % 4) {
        case 0:
        case 1:
          while (bytes.size() < block_end) {
            const char* word = kWords[engine() % 10];
            bytes.insert(bytes.end(), word, word + strlen(word));
          }
          break;
        case 2:
          while (bytes.size() < block_end) {
            if (engine() % 6 == 0) {
              uint32_t target = 0x1000 * (1 + engine() % 16);
              uint32_t relative = target - static_cast<uint32_t>(bytes.size() + 5);
              bytes.push_back(0xE8);
              for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<uint8_t>(relative >> (8 * i)));
            } else {
              bytes.push_back(static_cast<uint8_t>(0x50 + engine() % 16));
            }
          }
          break;
        default:
          while (bytes.size() < block_end) bytes.push_back(static_cast<uint8_t>(engine()));
      }
    }
    bytes.resize(kDecodeSize);
    return bytes;
  }();
  return corpus;
}

const qlmr::Codec& CodecOf(qlmr::CompressionType type) {
  return *qlmr::GetCodecRegistry().Find(type);
}

std::vector<uint8_t> Encoded(qlmr::CompressionType type) {
  const auto& data = Corpus();
  const qlmr::Codec& codec = CodecOf(type);
  std::vector<uint8_t> buffer(data);
  buffer.resize(codec.MaxEncodedSize(static_cast<uint32_t>(data.size())));
  uint32_t length = static_cast<uint32_t>(data.size());
  if (!codec.Encode(buffer.data(), static_cast<uint32_t>(buffer.size()), &length)) abort();
  buffer.resize(length);
  return buffer;
}

const std::vector<uint8_t>& LzoEncoded() {
  static const std::vector<uint8_t> encoded = Encoded(qlmr::COMPRESS_LZO);
  return encoded;
}

const std::vector<uint8_t>& LzmaEncoded() {
  static const std::vector<uint8_t> encoded = Encoded(qlmr::COMPRESS_LZMA);
  return encoded;
}

std::vector<uint8_t> Unmasked(const std::vector<uint8_t>& encoded, uint32_t mask) {
  std::vector<uint8_t> plain(encoded);
  qlmr::XorWordMask(plain.data(), plain.size(), mask);
  return plain;
}

// Our decode works in place, so each pass first puts the encoded bytes back
// into the buffer; that copy is the caller's reading, not decoding, and is
// left out of the time.
void DecodeOurs(benchmark::State& state, qlmr::CompressionType type,
                const std::vector<uint8_t>& encoded) {
  const qlmr::Codec& codec = CodecOf(type);
  std::vector<uint8_t> buffer(Corpus().size());
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(buffer.data(), encoded.data(), encoded.size());
    state.ResumeTiming();
    if (!codec.Decode(buffer.data(), static_cast<uint32_t>(buffer.size()),
                      static_cast<uint32_t>(encoded.size()), 0)) {
      state.SkipWithError("decode failed");
    }
    benchmark::ClobberMemory();
  }
  if (memcmp(buffer.data(), Corpus().data(), buffer.size()) != 0) state.SkipWithError("mismatch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Corpus().size()));
}

void BM_LzoDecode_Ours(benchmark::State& state) {
  DecodeOurs(state, qlmr::COMPRESS_LZO, LzoEncoded());
}

void BM_LzoDecode_Raw(benchmark::State& state) {
  std::vector<uint8_t> stream = Unmasked(LzoEncoded(), qlmr::LZO_WORD_MASK);
  std::vector<uint8_t> out(Corpus().size());
  for (auto _ : state) {
    lzo_uint size = out.size();
    if (lzo1x_decompress_safe(stream.data(), stream.size(), out.data(), &size, nullptr) !=
        LZO_E_OK) {
      state.SkipWithError("decode failed");
    }
    benchmark::ClobberMemory();
  }
  if (out != Corpus()) state.SkipWithError("mismatch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Corpus().size()));
}

void BM_LzmaDecode_Ours(benchmark::State& state) {
  DecodeOurs(state, qlmr::COMPRESS_LZMA, LzmaEncoded());
}

// liblzma alone on the stream behind the header, with the header's settings.
void BM_LzmaDecode_Raw(benchmark::State& state) {
  std::vector<uint8_t> unmasked = Unmasked(LzmaEncoded(), qlmr::LZMA_WORD_MASK);
  lzma_options_lzma options{};
  options.lc = qlmr::kLzmaLiteralContextBits;
  options.lp = qlmr::kLzmaLiteralPositionBits;
  options.pb = qlmr::kLzmaPositionBits;
  options.dict_size = qlmr::kLzmaDictionarySize;
  options.ext_size_low = static_cast<uint32_t>(Corpus().size());
  lzma_filter filters[3];
  int count = 0;
  if (unmasked[qlmr::kLzmaFilterFlagOffset] == qlmr::kLzmaFilterX86) {
    filters[count++] = {LZMA_FILTER_X86, nullptr};
  }
  filters[count++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};
  std::vector<uint8_t> out(Corpus().size());
  for (auto _ : state) {
    size_t in_pos = qlmr::kLzmaHeaderSize;
    size_t out_pos = 0;
    if (lzma_raw_buffer_decode(filters, nullptr, unmasked.data(), &in_pos, unmasked.size(),
                               out.data(), &out_pos, out.size()) != LZMA_OK) {
      state.SkipWithError("decode failed");
    }
    benchmark::ClobberMemory();
  }
  if (out != Corpus()) state.SkipWithError("mismatch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Corpus().size()));
}

// One plain encode, the reference for the automatic mode.
void BM_LzmaEncode_Single(benchmark::State& state) {
  const uint8_t* data = Corpus().data();
  uint32_t capacity = CodecOf(qlmr::COMPRESS_LZMA).MaxEncodedSize(kEncodeSize);
  std::vector<uint8_t> out(capacity);
  for (auto _ : state) {
    uint32_t size = 0;
    if (qlmr::EncodeLzmaBuffer(data, kEncodeSize, qlmr::kLzmaFilterPlain, out.data(), capacity,
                               &size) != qlmr::LZMA_RESULT_OK) {
      state.SkipWithError("encode failed");
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEncodeSize));
}

void BM_LzmaEncode_Auto(benchmark::State& state) {
  const qlmr::Codec& codec = CodecOf(qlmr::COMPRESS_LZMA);
  uint32_t capacity = codec.MaxEncodedSize(kEncodeSize);
  std::vector<uint8_t> buffer(capacity);
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(buffer.data(), Corpus().data(), kEncodeSize);
    state.ResumeTiming();
    uint32_t length = kEncodeSize;
    if (!codec.Encode(buffer.data(), capacity, &length)) state.SkipWithError("encode failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEncodeSize));
}

// Wall-clock time throughout: the automatic mode works on two threads.
BENCHMARK(BM_LzoDecode_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LzoDecode_Raw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LzmaDecode_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LzmaDecode_Raw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LzmaEncode_Single)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LzmaEncode_Auto)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
