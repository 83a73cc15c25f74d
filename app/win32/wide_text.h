// Text for the window functions: the program's texts are code page 936, the
// windows get UTF-16 through the wide functions, so Chinese shows whatever
// the system's ANSI code page is. Pure conversions, any thread.
#pragma once

#include <string>

namespace qlmr {

// `text` (code page 936) as UTF-16.
std::wstring WideFromCp936(const std::string& text);

// `text` as code page 936 in `*out`. False when a character has no form in
// that code page: a path with such a character could not be used as one.
bool Cp936FromWide(const std::wstring& text, std::string* out);

}  // namespace qlmr
