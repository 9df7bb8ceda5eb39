// The baud rate a terminal runs at, read with termios2 so that rates set
// through BOTHER are seen too (its header cannot share a file with <termios.h>).
#pragma once

namespace tooltest {

// 0 when the descriptor is no terminal.
unsigned TerminalBaud(int fd);
// Data bits, parity ('N', 'E', 'O') and stop bits of a terminal as text, "8N1"; "" when no terminal.
const char* TerminalFraming(int fd, char (&text)[4]);
// Opens a terminal path for reading its settings (not as controlling terminal); -1 on failure.
int OpenTerminalForSettings(const char* path);
void CloseTerminal(int fd);

}  // namespace tooltest
