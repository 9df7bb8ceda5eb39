// Console control events and the standard handles of a console program, with
// their Win32 names: SIGINT, SIGTERM and SIGHUP stand in for the control events.
#pragma once

#include "platform/WinTypes.h"

// Control events as a handler receives them (SIGINT, SIGHUP and SIGTERM).
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// TRUE: the event is handled and the process goes on; FALSE: the next handler
// runs, and after the last one the signal's default action ends the process.
using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);

extern "C" {
// Handlers run one at a time on a thread of the runtime, never inside the
// signal handler itself, the one added last first. A null handler with
// add TRUE makes Ctrl-C (SIGINT) count as handled; with add FALSE it undoes that.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
// The descriptors 0, 1 and 2 as handles for WriteFile; INVALID_HANDLE_VALUE
// (EINVAL) for any other argument.
HANDLE GetStdHandle(DWORD stdHandle);
}

namespace platform {

// Fills descriptors 0-2 that the program was started without, so that no
// device opened later can take their place and receive console output; writes
// to a filled output then fail (EBADF) as they would on a missing handle.
void ReserveStandardHandles();

}  // namespace platform
