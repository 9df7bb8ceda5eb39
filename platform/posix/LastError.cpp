// The per-thread last error and the system's text for an error code.
#include <cstring>

#include "platform/SysUtils.h"

namespace {
thread_local DWORD tLastError = 0;
}

extern "C" __attribute__((visibility("default"))) DWORD GetLastError() { return tLastError; }
extern "C" __attribute__((visibility("default"))) void SetLastError(DWORD code) { tLastError = code; }

namespace platform {

std::string SysErrorMessage(DWORD code) {
  char buf[256];
  // GNU strerror_r returns the text, possibly not in buf.
  const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

}  // namespace platform
