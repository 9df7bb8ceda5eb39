// Terminal devices (termios) as Win32 serial ports.
#include <cerrno>

#include "platform/SerialBackend.h"

namespace platform {

std::shared_ptr<ISerialBackend> OpenTerminalPort(const std::string&, DWORD) {
  SetLastError(ENOENT);
  return nullptr;
}

}  // namespace platform
