#include "app/terminal/keys.h"

namespace qlmr {
namespace {

Key LetterKey(char c) {
  switch (c) {
    case 'q':
    case 'Q':
      return Key::kQuit;
    case 'r':
    case 'R':
      return Key::kRetry;
    case 'f':
    case 'F':
      return Key::kForce;
    default:
      return Key::kNone;
  }
}

constexpr unsigned char kEscape = 0x1B;

// The length of the key that starts `bytes` (`size` of them, at least one);
// 0 when they end inside it.
size_t KeyLength(const unsigned char* bytes, size_t size) {
  if (bytes[0] == kEscape) {
    if (size == 1) return 1;  // the Escape key
    if (bytes[1] == '[') {
      // Parameters and intermediates (0x20 to 0x3F) up to the final byte.
      for (size_t i = 2; i < size; ++i) {
        if (bytes[i] >= 0x40 && bytes[i] <= 0x7E) return i + 1;
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) return i;  // broken off before it
      }
      return 0;
    }
    if (bytes[1] == 'O') return size >= 3 ? 3 : 0;
    return 2;  // Alt and a key
  }
  size_t length = bytes[0] >= 0xF0 && bytes[0] <= 0xF4   ? 4
                  : bytes[0] >= 0xE0 && bytes[0] <= 0xEF ? 3
                  : bytes[0] >= 0xC2 && bytes[0] <= 0xDF ? 2
                                                         : 1;
  for (size_t i = 1; i < length; ++i) {
    if (i == size) return 0;
    if ((bytes[i] & 0xC0) != 0x80) return 1;  // no character: the byte alone
  }
  return length;
}

}  // namespace

Key ParseKey(const std::string& input, bool fromTerminal) {
  if (fromTerminal) {
    if (input == "\r" || input == "\n") return Key::kEnter;
    return input.size() == 1 ? LetterKey(input[0]) : Key::kNone;
  }
  size_t first = input.find_first_not_of(" \t");
  if (first == std::string::npos) return Key::kEnter;
  size_t last = input.find_last_not_of(" \t");
  return first == last ? LetterKey(input[first]) : Key::kNone;
}

void KeySplitter::Feed(const std::string& bytes, std::vector<std::string>* keys) {
  pending_ += bytes;
  size_t start = 0;
  while (start < pending_.size()) {
    size_t length = KeyLength(reinterpret_cast<const unsigned char*>(pending_.data()) + start,
                              pending_.size() - start);
    if (length == 0) break;
    keys->push_back(pending_.substr(start, length));
    start += length;
  }
  pending_.erase(0, start);
}

}  // namespace qlmr
