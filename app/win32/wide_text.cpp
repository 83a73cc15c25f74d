#include "app/win32/wide_text.h"

#include <windows.h>

namespace qlmr {
namespace {

constexpr UINT kCodePage936 = 936;

}  // namespace

std::wstring WideFromCp936(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(kCodePage936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(kCodePage936, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                      length);
  return wide;
}

}  // namespace qlmr
