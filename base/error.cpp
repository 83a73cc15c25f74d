#include "base/error.h"

#include <cstdarg>
#include <cstdio>

namespace qlmr {
namespace {

struct ErrorState {
  int32_t code;
  char message[kErrorMessageCapacity];
};

ErrorState g_error_state;  // zero-initialised: code 0, empty message

}  // namespace

void ReportError(int32_t code, const char* format, ...) {
  g_error_state.code = code;
  g_error_state.message[0] = '\0';
  va_list args;
  va_start(args, format);
  // vsnprintf always terminates and cuts what does not fit.
  vsnprintf(g_error_state.message, sizeof g_error_state.message, format, args);
  va_end(args);
}

int32_t LastErrorCode() { return g_error_state.code; }

const char* LastErrorMessage() { return g_error_state.message; }

}  // namespace qlmr
