#include "tests/base/codec_test_data.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace qlmr {
namespace testing_support {

std::string TextLike(uint32_t seed, size_t length) {
  static const char* const kWords[] = {"pack ",  "patch ", "stored ", "file ", "entry\n",
                                       "block ", "hash ",  "table ",  "data ", "name "};
  std::mt19937 engine(seed);
  std::string text;
  while (text.size() < length) {
    text += kWords[engine() % 10];
    if (engine() % 5 == 0) text += std::to_string(engine() % 1000) + " ";
  }
  text.resize(length);
  return text;
}

std::string X86Like(uint32_t seed, size_t length) {
  std::mt19937 engine(seed);
  const uint32_t routines[] = {0x1000, 0x2340, 0x5A00, 0x7F10, 0x9000, 0xB2C0};
  std::string code;
  while (code.size() < length) {
    uint32_t pick = engine() % 8;
    if (pick == 0) {
      uint32_t position = static_cast<uint32_t>(code.size());
      uint32_t relative = routines[engine() % 6] - (position + 5);
      code += (engine() & 1) ? '\xE8' : '\xE9';
      for (int i = 0; i < 4; ++i) code += static_cast<char>(relative >> (8 * i));
    } else {
      // A small instruction vocabulary, as compiled code has.
      static const char kOpcodes[] = "\x8B\x89\x55\x5D\xC3\x83\x50\x51\x52\x85\x74\x75\x33";
      code += kOpcodes[engine() % (sizeof kOpcodes - 1)];
      code += static_cast<char>(engine() % 16);
    }
  }
  code.resize(length);
  return code;
}

std::string XorRepeating(std::string bytes, const uint8_t (&mask)[4]) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ mask[i % 4]);
  return bytes;
}

std::unique_ptr<uint8_t[]> ExactBuffer(const std::string& content, uint32_t capacity) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity == 0 ? 1 : capacity]());
  memcpy(buffer.get(), content.data(), std::min<size_t>(content.size(), capacity));
  return buffer;
}

bool EncodeToString(const Codec& codec, const std::string& data, std::string* encoded) {
  uint32_t length = static_cast<uint32_t>(data.size());
  uint32_t capacity = std::max(codec.MaxEncodedSize(length), length);
  std::unique_ptr<uint8_t[]> buffer = ExactBuffer(data, capacity);
  if (!codec.Encode(buffer.get(), capacity, &length)) return false;
  encoded->assign(reinterpret_cast<const char*>(buffer.get()), length);
  return true;
}

bool DecodeToString(const Codec& codec, const std::string& encoded, uint32_t capacity,
                    uint32_t decodedSize, std::string* decoded) {
  std::unique_ptr<uint8_t[]> buffer = ExactBuffer(encoded, capacity);
  if (!codec.Decode(buffer.get(), capacity, static_cast<uint32_t>(encoded.size()), 0)) {
    return false;
  }
  decoded->assign(reinterpret_cast<const char*>(buffer.get()), decodedSize);
  return true;
}

}  // namespace testing_support
}  // namespace qlmr
