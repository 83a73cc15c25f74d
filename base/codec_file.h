// Whole-file encoding and decoding behind a caller's header, as offered by
// CodecRegistry::EncodeFile and DecodeFile (base/codec.h, where the contract
// is described). Internal to the compression layer.
#pragma once

#include <cstdint>

#include "base/codec.h"

namespace qlmr {

bool EncodeCodecFile(const Codec* codec, const char* source, const char* destination,
                     uint32_t* sourceSize, const uint8_t* header, uint32_t headerLength,
                     bool appendCrc, uint32_t* encodedLength);

bool DecodeCodecFile(const Codec* codec, const char* source, const char* destination,
                     uint32_t dataOffset, uint32_t decodedSize);

}  // namespace qlmr
