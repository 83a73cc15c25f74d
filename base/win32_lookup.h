// Win32 only: functions of a system library looked up by name at run time,
// for those that older systems lack (the program does not link against
// them, so it still starts there).
#pragma once

#include <windows.h>

namespace qlmr {

// The function `name` of `module`, or null.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  // Through the generic function pointer type: FARPROC's own signature says
  // nothing about the real one.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace qlmr
