// Host file descriptors used as Win32 handles: the channel handles the host
// binds are descriptors passed as handle values.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

// Blocks SIGPIPE on the calling thread for the rest of its life; the writes
// below then skip their per-write guard. Only for threads the library owns.
void KeepSigpipeBlockedOnThisThread();
// How writes to a host descriptor can be made without ever blocking: `fd` is
// the descriptor to write to, `pollFirst` whether each write must first ask
// poll. A pipe gets a non-blocking open file description of its own (the
// host's keeps its flags) and a regular file never blocks, so neither needs
// the poll; `ownFd` says `fd` is such a description, closed with EndNoWaitOutput.
struct NoWaitOutput {
  int fd = -1;
  bool pollFirst = true;
  bool ownFd = false;
};
NoWaitOutput BeginNoWaitOutput(int fd);
void EndNoWaitOutput(const NoWaitOutput& output);
BOOL WriteHostFile(int fd, const void* buffer, DWORD toWrite, DWORD* written);
// One write of what the descriptor takes without blocking (written 0 when it
// takes nothing now); a blocking descriptor is asked first whether it is writable.
BOOL WriteHostFileNoWait(int fd, const void* buffer, DWORD toWrite, DWORD* written, bool pollFirst = true);
// poll() for POLLOUT on the descriptors (negative ones are skipped).
BOOL WaitHostFilesWritable(const int* fds, DWORD count, DWORD milliseconds);
BOOL ReadHostFile(int fd, void* buffer, DWORD toRead, DWORD* read);
BOOL CloseHostFile(int fd);
// A pipe for a host that reads a channel itself: both ends close on exec.
BOOL CreateHostPipe(int& readFd, int& writeFd);
// The descriptor is a terminal (a user watches it).
bool IsTerminal(int fd);

}  // namespace platform
