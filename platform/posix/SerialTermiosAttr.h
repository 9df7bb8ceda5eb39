// Line attributes of a terminal device through termios2, kept apart because
// the kernel's termios2 header cannot share a translation unit with <termios.h>.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

// What SetCommState programs into the terminal, in Win32 terms.
struct TerminalLine {
  DWORD baudRate = 9600;
  BYTE byteSize = 8;
  BYTE parity = 0;    // NOPARITY .. SPACEPARITY
  BYTE stopBits = 0;  // ONESTOPBIT, ONE5STOPBITS (sent as two), TWOSTOPBITS
  bool rtsCtsHandshake = false;
  bool xonOutput = false;  // honour XON/XOFF from the device
  bool xonInput = false;   // send XON/XOFF to the device
  char xonChar = 0x11;
  char xoffChar = 0x13;
};

// Raw mode (no echo, no translation, no signal characters), receiver on, modem
// status ignored for opening (CLOCAL), reads never wait inside the driver.
// Each returns 0 or the errno of the failure.
int MakeTerminalRaw(int fd);
int ApplyTerminalLine(int fd, const TerminalLine& line);
int ReadTerminalLine(int fd, TerminalLine& line);

// Every setting of a terminal, kept whole so that closing the port can put back
// what its owner had. Opaque here: termios2 cannot be named beside <termios.h>.
struct TerminalSnapshot {
  alignas(8) unsigned char bytes[64];
};
int SaveTerminal(int fd, TerminalSnapshot& saved);
// Writes the saved settings back only when they differ from the current ones,
// so that a port nobody changed is not reprogrammed. 0 or the errno.
int RestoreTerminal(int fd, const TerminalSnapshot& saved);

}  // namespace platform
