// Sleep, GetTickCount and the monotonic microsecond clock.
#include "platform/Clock.h"

#include <time.h>

#include <cerrno>

#include "platform/VirtualPort.h"

namespace platform {

Micros MonotonicMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Micros>(ts.tv_sec) * 1000000u + static_cast<Micros>(ts.tv_nsec) / 1000u;
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) void Sleep(DWORD milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

extern "C" __attribute__((visibility("default"))) DWORD GetTickCount() {
  return static_cast<DWORD>(platform::MonotonicMicros() / 1000u);
}
