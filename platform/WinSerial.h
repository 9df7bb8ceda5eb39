// The Win32 serial and file functions TComPort and the reading threads call,
// with their Windows names, structures and constants. Handles from CreateFileA
// dispatch to the terminal (termios) backend or to a virtual port; any other
// handle value given to WriteFile/CloseHandle is a host file descriptor.
#pragma once

#include <string>

#include "platform/WinTypes.h"

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// DCB flag word (the bitfields of the Windows structure, as masks).
constexpr DWORD DCB_fBinary = 0x0001;
constexpr DWORD DCB_fParity = 0x0002;
constexpr DWORD DCB_fOutxCtsFlow = 0x0004;
constexpr DWORD DCB_fOutxDsrFlow = 0x0008;
constexpr DWORD DCB_fDtrControl = 0x0030;  // two bits
constexpr DWORD DCB_fDsrSensitivity = 0x0040;
constexpr DWORD DCB_fTXContinueOnXoff = 0x0080;
constexpr DWORD DCB_fOutX = 0x0100;
constexpr DWORD DCB_fInX = 0x0200;
constexpr DWORD DCB_fErrorChar = 0x0400;
constexpr DWORD DCB_fNull = 0x0800;
constexpr DWORD DCB_fRtsControl = 0x3000;  // two bits
constexpr DWORD DCB_fAbortOnError = 0x4000;

constexpr BYTE DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr BYTE RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2, RTS_CONTROL_TOGGLE = 3;
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD Flags;  // DCB_f* masks
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB keeps its Windows size");

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD Flags;  // fCtsHold, fDsrHold, ... as bits 0..
  DWORD cbInQue;
  DWORD cbOutQue;
};

constexpr DWORD COMMPROP_INITIALIZED = 0xE73CF52Eu;
struct COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  char16_t wcProvChar[1];
};

// ClearCommError error bits.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_MODE = 0x8000;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8,
                CLRBREAK = 9;

// Comm events.
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;

struct OVERLAPPED;
struct SECURITY_ATTRIBUTES;

extern "C" {
HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE h);
BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL BuildCommDCBA(const char* def, DCB* dcb);
BOOL GetCommProperties(HANDLE h, COMMPROP* prop);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL EscapeCommFunction(HANDLE h, DWORD func);
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);
BOOL GetCommMask(HANDLE h, DWORD* mask);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* overlapped);
BOOL GetCommModemStatus(HANDLE h, DWORD* status);
}

namespace platform {

// Output handles that a reader on the other side may stall. Writes as much of
// the buffer as the handle takes without blocking (0 when it takes nothing now,
// also for a non-blocking handle that reports EAGAIN); FALSE with the last
// error set when the write fails.
BOOL WriteFileNoWait(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, BOOL pollFirst = TRUE);
// An output handle made ready for many such writes: `handle` is what to write
// to, and where the handle allows it `pollFirst` is FALSE, saving a system call
// per write. The host's handle keeps its flags. Ended with EndNoWaitOutput,
// which leaves the host's handle open.
struct NoWaitHandle {
  HANDLE handle = nullptr;
  BOOL pollFirst = TRUE;
  BOOL own = FALSE;
};
NoWaitHandle BeginNoWaitOutput(HANDLE h);
void EndNoWaitOutput(const NoWaitHandle& output);
// Waits up to `milliseconds` until one of the handles takes bytes again (or has
// failed, so that a write reports why). TRUE when one is ready, FALSE on time-out.
BOOL WaitForWritable(const HANDLE* handles, DWORD count, DWORD milliseconds);
// Waits up to `milliseconds` until a serial port has input queued (or an error
// to report), so that a reader need not sleep a fixed time; it may return
// early. FALSE only when the port failed (last error set).
BOOL WaitForInput(HANDLE port, DWORD milliseconds);
// Ends a WaitForInput on the port now, from any thread; when none is under way,
// the next one returns at once instead. FALSE when the handle is no open port.
BOOL WakeInputWait(HANDLE port);
// ClearCommError's errors and input count, without the output side: what a
// reader asks once per batch (one query fewer on a terminal).
BOOL QueryInput(HANDLE port, DWORD* errors, DWORD* inQueue);
// What a user can do about a port that failed to open with `error`: which
// device a COM name stands for, the dialout group for a refused permission,
// and so on; one or more lines, or empty when there is nothing to add.
std::string PortOpenAdvice(const std::string& name, DWORD error);
// For a thread of the library's own that writes to host handles: SIGPIPE stays
// blocked on it for good, so its writes need no per-write guard. A reader that
// went away still shows as EPIPE.
void KeepSigpipeBlocked();

}  // namespace platform

constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;
