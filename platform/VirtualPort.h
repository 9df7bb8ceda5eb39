// Virtual serial ports: an in-process line whose far end is a C++ device model.
// CreateFileA of a registered name (any name not beginning with "COM") opens a
// port that behaves like a UART in front of that device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/WinSerial.h"

namespace platform {

using Micros = std::uint64_t;  // monotonic microseconds
Micros MonotonicMicros();

// Line settings as the wire sees them.
struct LineSettings {
  DWORD baudRate = 115200;
  BYTE byteSize = 8;
  BYTE parity = NOPARITY;
  BYTE stopBits = ONESTOPBIT;
  bool operator==(const LineSettings&) const = default;
};

// Paces characters on a line at its exact rate. Times are whole microseconds
// plus a remainder in 1/baud microseconds, so 3.33 µs characters at 3 Mbaud do
// not drift the way a per-character rounding would.
class LinePacer {
 public:
  // When `count` characters framed with `s` that start no earlier than
  // `notBefore` have fully arrived (rounded up to a whole microsecond).
  Micros Next(Micros notBefore, const LineSettings& s, std::uint64_t count = 1);
  // When the line is free again: the end of the last character.
  Micros FreeAt() const { return whole_ + (rest_ != 0 ? 1 : 0); }
  void Reset(Micros at) {
    whole_ = at;
    rest_ = 0;
  }

 private:
  Micros whole_ = 0;
  std::uint64_t rest_ = 0;  // in 1/baud_ microseconds, below baud_
  DWORD baud_ = 0;
};

class IVirtualLine;

// IVirtualDevice::NextDue: nothing is due until the host acts.
inline constexpr Micros kNoTimeDue = ~Micros{0};

// The device at the far end. Every callback runs with the line's lock held
// (IVirtualLine::Mutex), on whichever host thread touched the port.
class IVirtualDevice {
 public:
  virtual ~IVirtualDevice() = default;
  // Once, when the host opens the port; the line outlives every later call.
  virtual void Attach(IVirtualLine& line) = 0;
  // Bytes written by the host, as they arrive at the device (at: arrival of the last one).
  virtual void OnReceive(const BYTE* data, size_t count, Micros at) = 0;
  virtual void OnHostSettings(const LineSettings& settings, Micros at) = 0;
  virtual void OnModemLines(bool dtr, bool rts, Micros at) = 0;
  virtual void OnHostBreak(bool on, Micros at) = 0;
  // Time has passed: queue whatever the device would have sent up to now.
  // Called before every host operation that looks at the input side.
  virtual void Advance(Micros now) = 0;
  // The earliest time at which Advance may queue something without a call
  // from the host; kNoTimeDue when only the host can wake the device. A port
  // need not look at a quiet line before then. The default: at any time.
  virtual Micros NextDue(Micros now) const { return now; }
  // The host closed the port; no call follows.
  virtual void OnClose() {}
};

// The device's view of the line. Safe to call from device callbacks; from any
// other thread take Mutex() first (it is recursive).
class IVirtualLine {
 public:
  // Queue bytes towards the host, framed at the device's own settings. They start
  // at notBefore (or when the line is free) and follow each other at the line
  // rate; bytes framed differently from the host's settings arrive garbled with
  // a framing error; bytes that find the input queue full are lost (CE_RXOVER).
  virtual void Send(const BYTE* data, size_t count, const LineSettings& framing, Micros notBefore) = 0;
  // Hold (or release) a break on the device's transmit line from `at` on.
  virtual void SetBreak(bool on, Micros at) = 0;
  // Report these CE_* errors with the host's next error query.
  virtual void InjectErrors(DWORD ceBits) = 0;
  virtual void SetCts(bool on) = 0;
  virtual void SetDsr(bool on) = 0;
  // The adapter is unplugged: every later host call on the port fails.
  virtual void Disconnect() = 0;
  virtual LineSettings HostSettings() const = 0;
  virtual bool HostDtr() const = 0;
  virtual bool HostRts() const = 0;
  virtual Micros Now() const = 0;
  // When the last byte queued so far reaches the host (Now() when nothing is under way).
  virtual Micros LineFreeAt() const = 0;
  virtual std::recursive_mutex& Mutex() = 0;
};

struct VirtualPortOptions {
  DWORD inputQueueSize = 4096;  // the UART's receive queue (dwCurrentRxQueue)
  bool realTiming = true;       // false: bytes cross the line instantly (tests where timing is not the subject)
};

using VirtualDeviceFactory = std::function<std::unique_ptr<IVirtualDevice>()>;

// Register a port name (case-insensitive; must not begin with "COM"). Each open
// gets a fresh device from the factory. Re-registering a name replaces it.
//
// Host side, as the Win32 functions report it: opening an unknown name fails
// with ENOENT, a second open of an open port with EBUSY, a factory that yields
// no device with ENODEV; after Disconnect every call but CloseHandle fails with
// EIO. "Framed differently" means any of baud rate, data bits, parity or stop
// bits differs. The host's DCB starts at LineSettings' defaults with DTR and
// RTS low; SetCommState drives DTR and RTS from fDtrControl/fRtsControl.
// SetCommMask keeps the events already seen that stay in the new mask.
//
// `owner` tags the registration with the module whose code the factory is
// (any address unique to it), so that the module can take back exactly its own
// registrations before it is unloaded. A name registered by several owners is
// served by the latest; when that one is taken back, the one before serves again.
bool RegisterVirtualPort(const std::string& name, VirtualDeviceFactory factory, VirtualPortOptions options = {},
                         const void* owner = nullptr);
// Removes every registration of the name, whoever made it.
void UnregisterVirtualPort(const std::string& name);
// Removes the registrations tagged with `owner`; ports already open stay open.
void UnregisterVirtualPorts(const void* owner);
bool IsVirtualPortName(const std::string& name);

}  // namespace platform
