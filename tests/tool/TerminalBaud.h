// The baud rate a terminal runs at, read with termios2 so that rates set
// through BOTHER are seen too (its header cannot share a file with <termios.h>).
#pragma once

namespace tooltest {

// 0 when the descriptor is no terminal.
unsigned TerminalBaud(int fd);
// Opens a terminal path for reading its settings (not as controlling terminal); -1 on failure.
int OpenTerminalForSettings(const char* path);
void CloseTerminal(int fd);

}  // namespace tooltest
