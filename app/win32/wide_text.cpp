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

bool Cp936FromWide(const std::wstring& text, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  BOOL lossy = FALSE;
  int length = WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
  if (length <= 0 || lossy) return false;
  out->resize(static_cast<size_t>(length));
  WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, text.data(),
                      static_cast<int>(text.size()), &(*out)[0], length, nullptr, nullptr);
  return true;
}

}  // namespace qlmr
