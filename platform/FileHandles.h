// Host file descriptors used as Win32 handles: the channel handles the host
// binds are descriptors passed as handle values.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

// Blocks SIGPIPE on the calling thread for the rest of its life; the writes
// below then skip their per-write guard. Only for threads the library owns.
void KeepSigpipeBlockedOnThisThread();
BOOL WriteHostFile(int fd, const void* buffer, DWORD toWrite, DWORD* written);
// One write of what the descriptor takes without blocking (written 0 when it
// takes nothing now); a blocking descriptor is asked first whether it is writable.
BOOL WriteHostFileNoWait(int fd, const void* buffer, DWORD toWrite, DWORD* written);
// poll() for POLLOUT on the descriptors (negative ones are skipped).
BOOL WaitHostFilesWritable(const int* fds, DWORD count, DWORD milliseconds);
BOOL ReadHostFile(int fd, void* buffer, DWORD toRead, DWORD* read);
BOOL CloseHostFile(int fd);

}  // namespace platform
