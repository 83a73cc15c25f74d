// LzoCodec's decoder on any bytes, with random capacities and positions: it
// must fail cleanly or stay inside its buffer (the sanitizers watch).
#include <cstdint>
#include <vector>

#include "base/codec.h"
#include "fuzz/codec_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qlmr::fuzzing::DecodeArguments args;
  if (!qlmr::fuzzing::SplitDecodeInput(data, size, &args)) return 0;
  const qlmr::Codec* codec = qlmr::GetCodecRegistry().Find(qlmr::COMPRESS_LZO);
  uint32_t capacity = 0;
  std::vector<uint8_t> buffer = qlmr::fuzzing::LoadDecodeBuffer(args, &capacity);
  codec->Decode(buffer.data(), capacity, args.length, args.position % 2);
  return 0;
}
