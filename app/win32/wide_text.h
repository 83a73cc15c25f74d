// Text for the window functions: the program's texts are code page 936, the
// windows get UTF-16 through the wide functions, so Chinese shows whatever
// the system's ANSI code page is. Pure conversions, any thread.
#pragma once

#include <string>

namespace qlmr {

// `text` (code page 936) as UTF-16.
std::wstring WideFromCp936(const std::string& text);

}  // namespace qlmr
