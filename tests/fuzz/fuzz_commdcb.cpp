// Fuzz target: BuildCommDCBA on any text (the device's Y4 replies reach it).
// A refused text leaves the DCB as it was; an accepted one leaves every code in
// range, touches nothing a settings text cannot name, and applying it twice
// gives what applying it once gave.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/SerialBackend.h"
#include "platform/WinSerial.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// A valid starting state that differs from what most texts set, with marks in
// the fields no text names.
DCB StartState() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = 4800;
  d.Flags = DCB_fBinary | DCB_fParity | DCB_fTXContinueOnXoff | DCB_fErrorChar | DCB_fNull | DCB_fAbortOnError |
            (2u << 4) | (3u << 12);
  d.wReserved = 0x1234;
  d.XonLim = 0x2345;
  d.XoffLim = 0x3456;
  d.ByteSize = 7;
  d.Parity = EVENPARITY;
  d.StopBits = TWOSTOPBITS;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = '?';
  d.EofChar = 0x1A;
  d.EvtChar = '\n';
  d.wReserved1 = 0x4567;
  return d;
}

// Flags no settings text can change.
constexpr DWORD kFixedFlags = DCB_fParity | DCB_fTXContinueOnXoff | DCB_fErrorChar | DCB_fNull | DCB_fAbortOnError;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // a NUL inside ends the text
  const DCB start = StartState();
  DCB dcb = start;
  if (!BuildCommDCBA(text.c_str(), &dcb)) {
    Require(std::memcmp(&dcb, &start, sizeof(DCB)) == 0);
    return 0;
  }
  Require(dcb.DCBlength == sizeof(DCB));
  Require(dcb.BaudRate > 0);
  Require(dcb.ByteSize >= 5 && dcb.ByteSize <= 8);
  Require(dcb.Parity <= SPACEPARITY);
  Require(dcb.StopBits <= TWOSTOPBITS);
  Require(platform::DtrControlOf(dcb) <= DTR_CONTROL_HANDSHAKE);
  Require(platform::RtsControlOf(dcb) <= RTS_CONTROL_TOGGLE);
  Require((dcb.Flags & DCB_fBinary) != 0);
  Require(platform::ValidateDcb(dcb));  // what SetCommState will check
  Require((dcb.Flags & kFixedFlags) == (start.Flags & kFixedFlags));
  Require(dcb.Flags <= 0x7FFF);  // nothing above the flag word's defined bits
  Require(dcb.wReserved == start.wReserved && dcb.XonLim == start.XonLim && dcb.XoffLim == start.XoffLim);
  Require(dcb.XonChar == start.XonChar && dcb.XoffChar == start.XoffChar && dcb.ErrorChar == start.ErrorChar);
  Require(dcb.EofChar == start.EofChar && dcb.EvtChar == start.EvtChar && dcb.wReserved1 == start.wReserved1);

  DCB twice = dcb;
  Require(BuildCommDCBA(text.c_str(), &twice));
  Require(std::memcmp(&twice, &dcb, sizeof(DCB)) == 0);
  return 0;
}
