// Win32 time functions over the monotonic clock.
#pragma once

#include "platform/WinTypes.h"

extern "C" {
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start; wraps like Win32, so compare with unsigned subtraction.
DWORD GetTickCount();
}
