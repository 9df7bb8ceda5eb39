// The seam between the Win32 serial functions and the devices behind them: one
// open port, terminal device or virtual line, as the handle table holds it.
#pragma once

#include <memory>
#include <string>

#include "platform/WinSerial.h"

namespace platform {

// Every method has the Win32 contract of the function of the same name: TRUE on
// success; FALSE with the thread's last error set (an errno value) on failure.
// Arguments have been checked by the caller (no null pointers). Methods may be
// called from several threads at once; Close may come while another call blocks,
// which then ends soon with EBADF.
class ISerialBackend {
 public:
  virtual ~ISerialBackend() = default;
  virtual BOOL Read(void* buffer, DWORD toRead, DWORD* read) = 0;
  virtual BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) = 0;
  virtual BOOL GetState(DCB* dcb) = 0;
  virtual BOOL SetState(const DCB& dcb) = 0;
  virtual BOOL GetProperties(COMMPROP* prop) = 0;
  virtual BOOL GetTimeouts(COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  virtual BOOL ClearError(DWORD* errors, COMSTAT* stat) = 0;
  // ClearError's errors and input count only, for a reader that asks once per
  // batch and needs neither the output count nor the flow state.
  virtual BOOL InputStatus(DWORD* errors, DWORD* inQueue) {
    COMSTAT stat{};
    if (!ClearError(errors, &stat)) return FALSE;
    *inQueue = stat.cbInQue;
    return TRUE;
  }
  virtual BOOL Purge(DWORD flags) = 0;
  virtual BOOL Escape(DWORD func) = 0;
  virtual BOOL GetMask(DWORD* mask) = 0;
  virtual BOOL SetMask(DWORD mask) = 0;
  virtual BOOL WaitEvent(DWORD* mask) = 0;
  virtual BOOL GetModemStatus(DWORD* status) = 0;
  // Waits up to `milliseconds` until input is queued or the port has an error
  // to report; returns early without either as well. FALSE only when the port failed.
  virtual BOOL WaitInput(DWORD milliseconds) = 0;
  // Ends a WaitInput under way, or else the next one, at once; from any thread.
  virtual void WakeInputWait() = 0;
  // Ends the port: wakes blocked calls, releases the device. Called once.
  virtual void Close() = 0;
};

// Opens a virtual port by its registered name; nullptr with the last error set
// when the name is unknown (ENOENT) or the port is already open (EBUSY).
std::shared_ptr<ISerialBackend> OpenVirtualPort(const std::string& name);
// Opens a terminal device (a COM name or a path); nullptr with the last error set.
std::shared_ptr<ISerialBackend> OpenTerminalPort(const std::string& name, DWORD access);

// Checks a DCB for what every backend needs: a baud rate, 5 to 8 data bits and
// known parity and stop-bit codes. Sets EINVAL and returns false otherwise.
bool ValidateDcb(const DCB& dcb);
inline BYTE DtrControlOf(const DCB& dcb) { return static_cast<BYTE>((dcb.Flags & DCB_fDtrControl) >> 4); }
inline BYTE RtsControlOf(const DCB& dcb) { return static_cast<BYTE>((dcb.Flags & DCB_fRtsControl) >> 12); }
// The bits one character takes on the wire: start, data, parity and stop bits
// (1.5 stop bits count as 2).
unsigned BitsPerCharacter(BYTE byteSize, BYTE parity, BYTE stopBits);

}  // namespace platform
