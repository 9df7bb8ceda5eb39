// The connection list: an exclusive open and immediate close of COM1..COM4,
// then the device-namespace names of COM5..COM10 without a probe.
#include "enumerators/SEnumConfig1.h"

#include "platform/SysUtils.h"
#include "platform/WinSerial.h"

namespace enumerators {

namespace {

// Whether the port can be opened for exclusive use now; it is closed again at once.
// A port another program holds fails the open before anything on it changes,
// and an open that is not used for I/O leaves a terminal's settings and modem
// lines alone, so listing ports disturbs nobody. No overlapped flag: the probe
// does no I/O, and the platform opens synchronous serial handles only.
bool PortAnswers(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);  // the probe is over; a failing close changes nothing for the list
  return true;
}

}  // namespace

std::vector<TItem> ProbeConnections() {
  std::vector<TItem> list;
  for (int n = 1; n <= 4; ++n) {
    std::string name = platform::Format("COM%d", n);
    if (PortAnswers(name)) list.push_back({name, 0, 0, SIK_TEXT | SIF_PRIMARY, 0});
  }
  for (int n = 5; n <= 10; ++n) list.push_back({platform::Format("\\\\.\\COM%d", n), 0, 0, SIK_TEXT | SIF_SECONDARY, 0});
  return list;
}

TEnumSamplerConnections::TEnumSamplerConnections(platform::TAutoObjectFactory& factory)
    : TFixedEnum(factory, ProbeConnections()) {}

TEnumSamplerConnections::TEnumSamplerConnections(platform::TAutoObjectFactory& factory, std::vector<TItem> items)
    : TFixedEnum(factory, std::move(items)) {}

IEnumSamplerItems* CreateConnectionEnumerator(platform::TAutoObjectFactory& factory) {
  return NewCounted<TEnumSamplerConnections>(factory);
}

}  // namespace enumerators
