// The Win32 serial rules shared by the terminal and virtual backends. Times are
// microseconds and saturate: a huge time-out waits long, it never wraps short.
#include "platform/SerialRules.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/SerialBackend.h"

namespace platform {

namespace {

constexpr Micros kForever = std::numeric_limits<Micros>::max();

Micros MillisToMicros(std::uint64_t ms) { return ms > kForever / 1000u ? kForever : ms * 1000u; }

Micros After(Micros start, Micros span) { return span > kForever - start ? kForever : start + span; }

// multiplier * count + constant milliseconds from `start`; 0 when both are 0.
// The product of two DWORDs plus one more still fits 64 bits.
Micros TotalDeadline(DWORD multiplier, DWORD constant, DWORD count, Micros start) {
  if (multiplier == 0 && constant == 0) return 0;
  return After(start, MillisToMicros(static_cast<std::uint64_t>(multiplier) * count + constant));
}

bool IsComPrefix(const std::string& s) {
  return s.size() > 3 && std::toupper(static_cast<unsigned char>(s[0])) == 'C' &&
         std::toupper(static_cast<unsigned char>(s[1])) == 'O' &&
         std::toupper(static_cast<unsigned char>(s[2])) == 'M';
}

}  // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD toRead, Micros start) {
  ReadPlan p;
  p.toRead = toRead;
  p.immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                t.ReadTotalTimeoutConstant == 0;
  p.anyByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
              t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
  if (p.anyByte)
    p.totalEnd = After(start, MillisToMicros(t.ReadTotalTimeoutConstant));
  else if (!p.immediate)
    p.totalEnd = TotalDeadline(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, toRead, start);
  if (!p.immediate && !p.anyByte) p.interval = MillisToMicros(t.ReadIntervalTimeout);
  return p;
}

ReadStep ReadPlan::Next(DWORD got, Micros lastByteAt, Micros now) const {
  if (got >= toRead || immediate || (anyByte && got > 0)) return {true, 0};
  if (totalEnd != 0 && now >= totalEnd) return {true, 0};
  Micros wake = totalEnd;
  if (interval != 0 && got > 0) {
    Micros gapEnd = After(lastByteAt, interval);
    if (now >= gapEnd) return {true, 0};
    wake = wake == 0 ? gapEnd : std::min(wake, gapEnd);
  }
  return {false, wake};
}

Micros WriteDeadline(const COMMTIMEOUTS& t, DWORD count, Micros start) {
  return TotalDeadline(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, count, start);
}

int CheckTimeouts(const COMMTIMEOUTS& t) {
  bool refused = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                 t.ReadTotalTimeoutConstant == MAXDWORD;
  return refused ? EINVAL : 0;
}

COMMPROP SerialProperties(DWORD rxQueue, DWORD txQueue) {
  COMMPROP prop;
  std::memset(&prop, 0, sizeof prop);
  prop.wPacketLength = sizeof(COMMPROP);
  prop.wPacketVersion = 2;
  prop.dwServiceMask = 1;  // SP_SERIALCOMM
  prop.dwMaxTxQueue = txQueue;
  prop.dwMaxRxQueue = rxQueue;
  prop.dwMaxBaud = 0x10000000;        // BAUD_USER: any rate the driver accepts
  prop.dwProvSubType = 1;             // PST_RS232
  prop.dwProvCapabilities = 0x00FF;   // DTR/DSR, RTS/CTS, RLSD, parity check, XON/XOFF, settable XON, time-outs, special chars
  prop.dwSettableParams = 0x007F;     // parity, baud, data bits, stop bits, handshaking, parity check, RLSD
  prop.dwSettableBaud = 0x10000000;
  prop.wSettableData = 0x000F;        // 5 to 8 data bits
  prop.wSettableStopParity = 0x1F07;  // 1, 1.5, 2 stop bits; none, odd, even, mark, space
  prop.dwCurrentTxQueue = txQueue;
  prop.dwCurrentRxQueue = rxQueue;
  return prop;
}

// As Win32 does on every SetCommState: "disable" lowers a line, "enable" and
// the handshakes raise it (DTR handshake is not done, the line just stays up);
// a toggled RTS rests low between writes.
LineLevels LineLevelsOf(const DCB& dcb) {
  LineLevels l;
  l.dtr = DtrControlOf(dcb) != DTR_CONTROL_DISABLE;
  BYTE rts = RtsControlOf(dcb);
  l.rtsByHandshake = rts == RTS_CONTROL_HANDSHAKE;
  l.rts = rts == RTS_CONTROL_ENABLE || l.rtsByHandshake;
  return l;
}

PortName ParsePortName(const std::string& name) {
  PortName p;
  p.bare = name;
  if (p.bare.rfind("\\\\.\\", 0) == 0) p.bare.erase(0, 4);
  if (!p.bare.empty() && p.bare.back() == ':') p.bare.pop_back();
  const std::string& s = p.bare;
  if (!IsComPrefix(s) ||
      !std::all_of(s.begin() + 3, s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return p;
  // At most three digits: the number then always fits, and longer ones name no port.
  p.com = s.size() > 6 ? 0 : static_cast<int>(std::strtol(s.c_str() + 3, nullptr, 10));
  return p;
}

}  // namespace platform
