// The terminal's keys for the dialogs' buttons.
#pragma once

#include <string>

namespace qlmr {

enum class Key {
  kNone,   // anything without a meaning here (Escape, Ctrl+C, other keys)
  kEnter,  // the start button; closes the message box
  kQuit,   // q: the exit button
  kRetry,  // r: the conflict screen's retry button
  kForce,  // f: the conflict screen's force-close link
};

// The key of one piece of console input: the bytes of a key press from a
// terminal, or a whole line otherwise (an empty line is Enter; a line holding
// one of the letters, in either case and with blanks around it, is that key).
Key ParseKey(const std::string& input, bool fromTerminal);

}  // namespace qlmr
