// Text splitting and the C library's number readings, as the control list,
// the version texts and the pack list file use them. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// Cuts `text` at every separator, from the left, into `tokens` (emptied
// first). The separator is any one character of `delimiter` when `anyOf` is
// true, else the whole `delimiter` text. Empty tokens are dropped when
// `skipEmpty` is true. Returns the number of tokens; 0 for a null or empty
// text.
int SplitString(const char* text, std::vector<std::string>* tokens, const char* delimiter,
                bool anyOf, bool skipEmpty);

// Decimal reading as C's atoi: leading white space, an optional sign, digits
// up to the first other character; 0 without digits. Values beyond the
// 32-bit range saturate to INT32_MAX or INT32_MIN, as strtol does with a
// 32-bit long.
int32_t ParseDecimal(const char* text);

// Hexadecimal reading as sscanf's "%08X": at most 8 digits of either case
// after optional white space. Returns false (value untouched) when no digit
// could be read.
bool ParseHex8(const char* text, uint32_t* value);

}  // namespace qlmr
