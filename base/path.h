// Path text helpers for the system's names: CP936 text, folders separated by
// backslashes (slashes accepted). Every scan steps over double-byte
// characters, whose trail byte may be 0x5C, the backslash.
// Pure text functions: no disk access, any thread.
#pragma once

#include <string>

namespace qlmr {

// Longest path the system builds, terminator excluded (260 with it).
constexpr size_t kMaxPath = 259;

// True for 0x81..0xFE: the first byte of a double-byte CP936 character.
inline bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Index of the last separator that is not a trail byte, or npos.
size_t LastSeparator(const std::string& path);

// `folder` and `name` joined with exactly one backslash, as PathAppendA does:
// separators at the end of `folder` and the start of `name` are merged.
// An empty `folder` gives `name`.
std::string JoinPath(const std::string& folder, const std::string& name);

// The last component: the text after the last separator.
std::string PathFileName(const std::string& path);

// The path without its last component and the separator before it. A root
// keeps its separator ("\\x" gives "\\", "C:\\x" gives "C:\\"); a path
// without a separator gives "".
std::string PathFolder(const std::string& path);

// Text after the last dot of the last component, without the dot; "" if none.
std::string PathExtension(const std::string& path);

// The one rule for names that come from outside (patches, archives, version
// texts) before they become files on disk.
//
// Whether `text` can stand inside a single file name on every platform: no
// separator (a trail byte 0x5C is no separator), no drive or stream colon and
// no control byte (below 0x20, or 0x7F), which Windows refuses in names.
bool IsSafeNameText(const std::string& text);

// Whether `name`, a relative path with backslashes or slashes, stays inside
// the folder it is joined to on every platform: one leading separator is
// allowed (the join drops it), but no network path, no drive path, no ".."
// or other component that ends in a dot or a blank, no component that
// IsSafeNameText refuses, no reserved device name ("NUL", "com1.txt"), and
// not the folder itself.
bool IsSafeRelativeName(const std::string& name);

}  // namespace qlmr
