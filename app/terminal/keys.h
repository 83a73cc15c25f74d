// The terminal's keys for the dialogs' buttons.
#pragma once

#include <string>
#include <vector>

namespace qlmr {

enum class Key {
  kNone,        // anything without a meaning here (Escape, Ctrl+C, other keys)
  kEnter,       // the start button; closes the message box
  kQuit,        // q: the exit button
  kRetry,       // r: the conflict screen's retry button
  kForce,       // f: the conflict screen's force-close link
  kEndOfInput,  // no key follows: the input has ended
};

// The key of one piece of console input: one key from a terminal (as
// KeySplitter gives them), or a whole line otherwise (an empty line is
// Enter; a line holding one of the letters, in either case and with blanks
// around it, is that key).
Key ParseKey(const std::string& input, bool fromTerminal);

// Cuts what a terminal gives into keys: a UTF-8 character, an escape
// sequence (ESC [ ... final byte, ESC O and one byte, ESC and one byte) or
// a single control byte. A terminal read may hold several keys (a paste,
// fast typing) and may end inside one; that part waits for the next read.
// A lone ESC at the end of a read is the Escape key. A byte that starts no
// UTF-8 character is a key of its own.
class KeySplitter {
 public:
  // Takes the bytes of one read; appends each complete key to `*keys`.
  void Feed(const std::string& bytes, std::vector<std::string>* keys);

 private:
  std::string pending_;
};

}  // namespace qlmr
