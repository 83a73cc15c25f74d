// The string table (texts 103 to 125) as the program uses it: code page 936
// text, looked up by id. Built once from res/string_table.inc on first use;
// every function may be called from any thread.
#pragma once

#include <string>

namespace qlmr {

enum StringId {
#define QLMR_STRING(id, name, text) name = id,
#include "res/string_table.inc"
#undef QLMR_STRING
};

// Longest formatted text, terminator included: formatted texts are cut to
// fit, as the status line's buffer is.
constexpr size_t kFormattedTextCapacity = 260;

// The text of `id` in code page 936; empty for an id outside the table.
const std::string& LoadText(int id);

// The text of `id` used as a printf format for the arguments, cut to
// kFormattedTextCapacity - 1 bytes. A cut never splits a double-byte
// character. The table's formats are the only formats used here, so callers
// pass every outside text (versions, error messages) as an argument.
std::string FormatText(int id, ...);

}  // namespace qlmr
