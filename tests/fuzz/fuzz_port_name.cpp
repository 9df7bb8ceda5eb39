// Fuzz target: port names. TComPort splits a name into the port and a
// settings text ("COM1 baud=9600 ...") without opening anything when asked for
// no access; the terminal backend maps COM names to device paths. The
// mapping is file-local, so SerialTermios.cpp is compiled into this target.
#include "platform/posix/SerialTermios.cpp"  // NOLINT: DevicePath is file-local

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SysUtils.h"
#include "platform/WinSerial.h"
#include "transport/ComPort.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && platform::SameText(s.substr(0, prefix.size()), prefix);
}

void CheckPort(const std::string& name) {
  transport::TComPort port(name, {});
  Require(!port.IsOpen());
  const std::string given = platform::Trim(name);
  const std::string& portName = port.Name();
  Require(portName == platform::Trim(portName));
  Require(given.compare(0, portName.size(), portName) == 0);  // the name is where the text begins
  if (StartsWithNoCase(given, "COM")) Require(portName.size() <= 5);
  else if (StartsWithNoCase(given, "\\\\.\\COM")) Require(portName.size() <= 9);
  else Require(portName == given && port.Settings().empty());

  const std::string& settings = port.Settings();
  if (!settings.empty()) {
    Require(given.size() >= settings.size() &&
            given.compare(given.size() - settings.size(), settings.size(), settings) == 0);
    DCB expected = port.State();
    Require(BuildCommDCBA(settings.c_str(), &expected));
    Require(std::memcmp(&expected, &port.State(), sizeof(DCB)) == 0);  // the text was applied as it is
  }
  if (given == portName) {  // no settings text: the built-in line
    Require(port.State().BaudRate == 115200 && port.State().ByteSize == 8 && port.State().Parity == NOPARITY &&
            port.State().StopBits == ONESTOPBIT);
  }
}

void CheckDevicePath(const std::string& name) {
  const std::string path = platform::DevicePath(name);
  std::string s = name;
  if (s.rfind("\\\\.\\", 0) == 0) s.erase(0, 4);
  if (!s.empty() && s.back() == ':') s.pop_back();
  bool digits = s.size() > 3;
  for (size_t i = 3; i < s.size(); ++i) digits = digits && std::isdigit(static_cast<unsigned char>(s[i]));
  if (!digits || !StartsWithNoCase(s, "COM")) {
    Require(path == name);  // any other name is a path as it is
    return;
  }
  if (path.empty()) return;  // no such COM port
  const long n = std::strtol(s.c_str() + 3, nullptr, 10);
  Require(n >= 1 && n <= 999);
  if (n == 7) Require(path == "/dev/fuzz-mapped");
  else Require(path == "/dev/ttyS" + std::to_string(n - 1));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QUELM_COM7", "/dev/fuzz-mapped", 1);  // one COM name mapped elsewhere
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  CheckDevicePath(name);
  CheckPort(name);  // with no access nothing may throw: nothing is opened
  return 0;
}
