// Inputs for the codec tests: data that compresses well, data shaped like
// 32-bit x86 machine code, and buffers sized exactly so that AddressSanitizer
// sees any access past their end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/codec.h"

namespace qlmr {
namespace testing_support {

// Text made of a few repeated words and numbers: compresses several times.
std::string TextLike(uint32_t seed, size_t length);

// Code-like bytes where about one byte in eight starts a call (E8) or jump
// (E9) whose 32-bit relative target points at one of a few routines: the x86
// branch converter turns the targets into repeated absolute addresses.
std::string X86Like(uint32_t seed, size_t length);

// `bytes` with byte i XORed with mask[i % 4]: a word mask spelled out as its
// four stored bytes.
std::string XorRepeating(std::string bytes, const uint8_t (&mask)[4]);

// A heap buffer of exactly `capacity` bytes holding `content` at its start.
std::unique_ptr<uint8_t[]> ExactBuffer(const std::string& content, uint32_t capacity);

// Encodes `data` with `codec` in a buffer of MaxEncodedSize bytes (at least
// the data's size). True with the encoded bytes in `*encoded`; false with the
// codec's report standing.
bool EncodeToString(const Codec& codec, const std::string& data, std::string* encoded);

// Decodes `encoded` into a buffer of exactly `capacity` bytes and returns its
// first `decodedSize` bytes in `*decoded`; false with the codec's report.
bool DecodeToString(const Codec& codec, const std::string& encoded, uint32_t capacity,
                    uint32_t decodedSize, std::string* decoded);

}  // namespace testing_support
}  // namespace qlmr
