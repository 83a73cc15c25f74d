#include "base/error.h"

#include <cstdarg>
#include <cstdio>

namespace qlmr {
namespace {

struct ErrorState {
  int32_t code;
  char message[kErrorMessageCapacity];
};

// Zero-initialised for every thread: code 0, empty message.
thread_local ErrorState g_errorState;

}  // namespace

void ReportError(int32_t code, const char* format, ...) {
  g_errorState.code = code;
  g_errorState.message[0] = '\0';
  va_list args;
  va_start(args, format);
  // vsnprintf always terminates and cuts what does not fit.
  vsnprintf(g_errorState.message, sizeof g_errorState.message, format, args);
  va_end(args);
}

int32_t LastErrorCode() { return g_errorState.code; }

const char* LastErrorMessage() { return g_errorState.message; }

}  // namespace qlmr
