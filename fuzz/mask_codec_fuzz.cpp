// MaskCodec with random capacities and positions: decoding any slice at its
// position gives the same bytes as decoding the whole and taking the slice.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/codec.h"
#include "fuzz/codec_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qlmr;
  fuzzing::DecodeArguments args;
  if (!fuzzing::SplitDecodeInput(data, size, &args)) return 0;
  const Codec* codec = GetCodecRegistry().Find(COMPRESS_MASK);
  uint32_t capacity = 0;
  std::vector<uint8_t> whole = fuzzing::LoadDecodeBuffer(args, &capacity);
  uint32_t encodedLength = args.length;
  if (!codec->Encode(whole.data(), capacity, &encodedLength) || encodedLength != args.length) {
    fprintf(stderr, "the masked copy did not keep the length\n");
    abort();
  }
  std::vector<uint8_t> encoded(whole.begin(), whole.begin() + encodedLength);
  if (!codec->Decode(whole.data(), capacity, encodedLength, 0) ||
      memcmp(whole.data(), args.encoded, args.length) != 0) {
    fprintf(stderr, "the masked copy does not decode to its input\n");
    abort();
  }
  if (args.length == 0) return 0;
  uint32_t from = args.position % args.length;
  uint32_t count = args.length - from;
  std::vector<uint8_t> slice(encoded.begin() + from, encoded.end());
  if (!codec->Decode(slice.data(), count, count, from) ||
      memcmp(slice.data(), args.encoded + from, count) != 0) {
    fprintf(stderr, "a slice does not decode at its position\n");
    abort();
  }
  return 0;
}
