// A virtual serial port: the UART in front of an in-process device model, and
// the registry of virtual port names.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/SerialBackend.h"
#include "platform/VirtualPort.h"

namespace platform {

// Time is simulated lazily: every host call first lets the device catch up to
// now (Advance) and then moves the bytes that have crossed the line by now into
// the input queue. Blocking calls sleep on a condition variable until the next
// byte is due, the time-out ends or the device changes something.
class VirtualPort final : public ISerialBackend, public IVirtualLine {
 public:
  VirtualPort(std::string name, VirtualPortOptions options);
  ~VirtualPort() override;
  // Attaches the device; the port owns it from now on.
  void Attach(std::unique_ptr<IVirtualDevice> device);

  // ISerialBackend
  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override;
  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override;
  BOOL GetState(DCB* dcb) override;
  BOOL SetState(const DCB& dcb) override;
  BOOL GetProperties(COMMPROP* prop) override;
  BOOL GetTimeouts(COMMTIMEOUTS* timeouts) override;
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) override;
  BOOL ClearError(DWORD* errors, COMSTAT* stat) override;
  BOOL Purge(DWORD flags) override;
  BOOL Escape(DWORD func) override;
  BOOL GetMask(DWORD* mask) override;
  BOOL SetMask(DWORD mask) override;
  BOOL WaitEvent(DWORD* mask) override;
  BOOL GetModemStatus(DWORD* status) override;
  BOOL WaitInput(DWORD milliseconds) override;
  void WakeInputWait() override;
  void Close() override;

  // IVirtualLine
  void Send(const BYTE* data, size_t count, const LineSettings& framing, Micros notBefore) override;
  void SetBreak(bool on, Micros at) override;
  void InjectErrors(DWORD ceBits) override;
  void SetCts(bool on) override;
  void SetDsr(bool on) override;
  void Disconnect() override;
  LineSettings HostSettings() const override;
  bool HostDtr() const override;
  bool HostRts() const override;
  Micros Now() const override;
  Micros LineFreeAt() const override;
  std::recursive_mutex& Mutex() override;

 private:
  enum class ItemKind { Byte, BreakOn, BreakOff };
  // Something on its way from the device, due at the host at `at`.
  struct InItem {
    Micros at;
    ItemKind kind;
    BYTE byte;
    LineSettings framing;
  };
  using Lock = std::unique_lock<std::recursive_mutex>;

  bool Usable() const;  // sets EBADF (closed) or EIO (unplugged) when not
  void Pump();
  Micros NextDue(Micros now) const;
  void Arrive(const InItem& item);
  void Record(DWORD events);
  void Schedule(const InItem& item);
  Micros Pace(LinePacer& line, Micros notBefore, const LineSettings& s, std::uint64_t count = 1) const;
  // Sleeps until `deadline` at the latest (0: no deadline of the caller's own).
  void WaitUntil(Lock& lock, Micros deadline);
  void SetModemLines(bool dtr, bool rts);
  DWORD OutQueue(Micros now) const;

  const std::string name_;
  const VirtualPortOptions options_;
  mutable std::recursive_mutex mutex_;
  std::condition_variable_any changed_;
  std::unique_ptr<IVirtualDevice> device_;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  DWORD history_ = 0;        // events seen since the last wait, within mask_
  unsigned maskChanges_ = 0;  // SetCommMask ends a pending wait
  bool dtr_ = false, rts_ = false, hostBreak_ = false;
  bool cts_ = true, dsr_ = false;
  bool deviceBreak_ = false;
  bool closed_ = false, disconnected_ = false;
  bool wakeRequested_ = false;  // taken by the next WaitInput
  std::deque<InItem> inFlight_;  // ordered by `at`
  std::deque<BYTE> input_;
  Micros lastArrival_ = 0;
  DWORD errors_ = 0;
  LinePacer rxLine_;  // device to host
  LinePacer txLine_;  // host to device
};

}  // namespace platform
