// The serial devices of this machine as the kernel describes them in sysfs:
// each terminal with a device behind it, its driver, its stable name under
// /dev/serial/by-id and, for USB adapters, what the adapter says of itself.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialDeviceInfo {
  std::string path;     // /dev/ttyUSB0
  std::string byId;     // /dev/serial/by-id/usb-..., empty when udev made none
  std::string driver;   // ftdi_sio, cdc_acm, serial, serial8250, ...
  std::string comName;  // COM1 for /dev/ttyS0 ...: the name the library maps to it; else empty
  // USB adapters only (empty otherwise), as the adapter reports them.
  std::string vendorId, productId, manufacturer, product, serial;
};

// Every serial device, sorted by path. `sysRoot` and `devRoot` are the
// mount points of sysfs and devtmpfs (another tree in tests). Built-in UART
// slots with no UART behind them (type 0) are left out.
std::vector<SerialDeviceInfo> ListSerialDevices(const std::string& sysRoot = "/sys",
                                                const std::string& devRoot = "/dev");

// What sysfs knows of one device path (a terminal that is not in sysfs, such
// as a pseudo-terminal, gives just its path).
SerialDeviceInfo DescribeSerialDevice(const std::string& path, const std::string& sysRoot = "/sys",
                                      const std::string& devRoot = "/dev");

}  // namespace platform
