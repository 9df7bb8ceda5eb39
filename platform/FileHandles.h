// Host file descriptors used as Win32 handles: the channel handles the host
// binds are descriptors passed as handle values.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

BOOL WriteHostFile(int fd, const void* buffer, DWORD toWrite, DWORD* written);
BOOL ReadHostFile(int fd, void* buffer, DWORD toRead, DWORD* read);
BOOL CloseHostFile(int fd);

}  // namespace platform
