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

}  // namespace

Key ParseKey(const std::string& input, bool fromTerminal) {
  if (fromTerminal) {
    if (input == "\r" || input == "\n" || input == "\r\n") return Key::kEnter;
    return input.size() == 1 ? LetterKey(input[0]) : Key::kNone;
  }
  size_t first = input.find_first_not_of(" \t");
  if (first == std::string::npos) return Key::kEnter;
  size_t last = input.find_last_not_of(" \t");
  return first == last ? LetterKey(input[first]) : Key::kNone;
}

}  // namespace qlmr
