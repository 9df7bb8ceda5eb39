// The Win32 serial rules both port backends follow, each written once and free
// of I/O: read and write time-outs, COMMPROP, modem lines from a DCB, port names.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinSerial.h"

namespace platform {

using Micros = std::uint64_t;  // monotonic microseconds, as in VirtualPort.h

// What a read does next: end now, or wait for bytes until `wakeBy` at the
// latest (0: no deadline of its own, only bytes or a close end the wait).
struct ReadStep {
  bool done = false;
  Micros wakeBy = 0;
};

// How one ReadFile waits, fixed when it starts from the port's COMMTIMEOUTS.
struct ReadPlan {
  DWORD toRead = 0;
  bool immediate = false;  // MAXDWORD, 0, 0: what is queued, never a wait
  bool anyByte = false;    // MAXDWORD, MAXDWORD, c: the first byte ends the wait, c bounds it
  Micros totalEnd = 0;     // when the whole read gives up; 0: never
  Micros interval = 0;     // the longest silence after a byte; 0: no interval limit

  // `got` bytes taken so far, the last of them arrived at `lastByteAt`. The
  // interval counts from that arrival and only once a byte came, so bytes that
  // sat in the queue longer than the interval end the read at once.
  ReadStep Next(DWORD got, Micros lastByteAt, Micros now) const;
};
ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD toRead, Micros start);

// When a WriteFile of `count` bytes begun at `start` gives up (multiplier *
// count + constant milliseconds); 0 when both are 0: no limit.
Micros WriteDeadline(const COMMTIMEOUTS& t, DWORD count, Micros start);

// 0, or EINVAL for the one combination SetCommTimeouts refuses: all three read
// time-outs MAXDWORD.
int CheckTimeouts(const COMMTIMEOUTS& t);

// What GetCommProperties reports for an RS-232 port whose driver takes any
// rate; the queue sizes are the backend's (0: no fixed size).
COMMPROP SerialProperties(DWORD rxQueue, DWORD txQueue);

// The modem-line levels SetCommState asks for. Under RTS handshake the flow
// control owns RTS: it is raised, and a driver doing the handshake itself is
// left to drive it (rtsByHandshake).
struct LineLevels {
  bool dtr = false;
  bool rts = false;
  bool rtsByHandshake = false;
};
LineLevels LineLevelsOf(const DCB& dcb);

// A port name without its "\\.\" prefix and ":" suffix ("\\.\COM3" and
// "COM3:" are "COM3"). `com` tells COM names apart: their number (1..999),
// 0 for a COM name no port can have (COM0, COM1000), -1 for any other name.
struct PortName {
  std::string bare;
  int com = -1;
};
PortName ParsePortName(const std::string& name);

}  // namespace platform
