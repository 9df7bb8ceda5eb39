// The baud rate a terminal really runs at, read with termios2 (its header
// cannot share a file with <termios.h>).
#pragma once

unsigned TerminalOutputBaud(int fd);
