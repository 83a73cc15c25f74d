// LzmaCodec's decoder on any bytes, with random capacities and positions,
// and the stream decoder that unpacks packed patches on the same bytes: both
// must fail cleanly or stay inside their buffers, and where both succeed
// they must give the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/codec_format.h"
#include "base/lzma_buffer.h"
#include "fuzz/codec_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qlmr;
  fuzzing::DecodeArguments args;
  if (!fuzzing::SplitDecodeInput(data, size, &args)) return 0;
  const Codec* codec = GetCodecRegistry().Find(COMPRESS_LZMA);
  uint32_t capacity = 0;
  std::vector<uint8_t> buffer = fuzzing::LoadDecodeBuffer(args, &capacity);
  bool whole = codec->Decode(buffer.data(), capacity, args.length, args.position % 2 == 0 ? 0 : 1);

  // The stream decoder, fed in pieces whose size the position chooses.
  std::vector<uint8_t> unmasked(args.encoded, args.encoded + args.length);
  XorWordMask(unmasked.data(), unmasked.size(), LZMA_WORD_MASK);
  LzmaDecodeStream stream;
  std::string out;
  size_t piece = args.position % 61 + 1;
  int result = LZMA_RESULT_OK;
  auto append = [](void* context, const uint8_t* bytes, size_t length) {
    std::string* text = static_cast<std::string*>(context);
    if (text->size() + length > (64u << 20)) return false;  // a harness bound, not a finding
    text->append(reinterpret_cast<const char*>(bytes), length);
    return true;
  };
  for (size_t at = 0; at < unmasked.size() && result == LZMA_RESULT_OK; at += piece) {
    size_t n = std::min(piece, unmasked.size() - at);
    result = stream.Feed(unmasked.data() + at, n, append, &out);
  }
  if (result == LZMA_RESULT_OK) result = stream.Finish();
  if (whole && args.position % 2 == 0 && result == LZMA_RESULT_OK &&
      memcmp(buffer.data(), out.data(), out.size()) != 0) {
    fprintf(stderr, "the stream decoder and the buffer decoder disagree\n");
    abort();
  }
  return 0;
}
