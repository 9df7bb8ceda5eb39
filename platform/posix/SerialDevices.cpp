// Serial devices from sysfs: /sys/class/tty/<name>/device leads to the
// device, its driver link names the driver, and a USB adapter's attributes sit
// in the first ancestor that has an idVendor file.
#include "platform/SerialDevices.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace platform {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without surrounding blanks; empty when unreadable.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// The stable names udev made, by the terminal each leads to; read once per listing.
std::map<std::string, std::string> ByIdNames(const std::string& devRoot) {
  std::error_code ec;
  const fs::path folder = fs::path(devRoot) / "serial" / "by-id";
  std::map<std::string, std::string> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkEc;
    const fs::path target = fs::read_symlink(it->path(), linkEc);
    if (linkEc) continue;
    // The first in name order when there are several, so the answer never changes.
    std::string& name = names[target.filename().string()];
    if (name.empty() || it->path().string() < name) name = it->path().string();
  }
  return names;
}

std::string Lookup(const std::map<std::string, std::string>& names, const std::string& key) {
  const auto it = names.find(key);
  return it == names.end() ? std::string() : it->second;
}

// The COM name under which the library opens this device: a QUELM_COMn that
// names it, else COMn+1 for ttySn unless QUELM_COMn+1 was moved elsewhere.
std::string ComName(const std::string& name, const std::string& path, const std::string& byId) {
  for (int n = 1; n <= 99; ++n) {
    const char* mapped = std::getenv(("QUELM_COM" + std::to_string(n)).c_str());
    if (mapped && *mapped && (path == mapped || (!byId.empty() && byId == mapped))) return "COM" + std::to_string(n);
  }
  if (name.rfind("ttyS", 0) != 0 || name.size() == 4 || name.size() > 6) return std::string();
  if (!std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::string();
  const int n = std::atoi(name.c_str() + 4) + 1;
  if (n > 99) return std::string();
  const char* moved = std::getenv(("QUELM_COM" + std::to_string(n)).c_str());
  return moved && *moved ? std::string() : "COM" + std::to_string(n);
}

// Fills what sysfs says of terminal `name`; false when it has no device behind it.
bool FromSysfs(const std::string& name, const std::string& sysRoot, SerialDeviceInfo& info) {
  std::error_code ec;
  const fs::path entry = fs::path(sysRoot) / "class" / "tty" / name;
  if (!fs::exists(entry / "device", ec)) return false;  // a virtual terminal, a console
  // UART slots the driver registered without a UART behind them have type 0 (unknown).
  if (fs::exists(entry / "type", ec) && Attribute(entry / "type") == "0") return false;
  // Walking up from the device: the first driver that is not the kernel's own
  // serial-core glue (newer kernels put a "port" device in between), and the
  // USB device whose attributes describe the adapter.
  const fs::path root = fs::weakly_canonical(sysRoot, ec);
  for (fs::path p = fs::canonical(entry / "device", ec); !ec && !p.empty() && p != root && p != p.parent_path();
       p = p.parent_path()) {
    std::error_code linkEc;
    const fs::path driver = fs::read_symlink(p / "driver", linkEc);
    if (info.driver.empty() && !linkEc && driver.string().find("/serial-base/") == std::string::npos)
      info.driver = driver.filename().string();
    if (!fs::exists(p / "idVendor", linkEc)) continue;
    info.vendorId = Attribute(p / "idVendor");
    info.productId = Attribute(p / "idProduct");
    info.manufacturer = Attribute(p / "manufacturer");
    info.product = Attribute(p / "product");
    info.serial = Attribute(p / "serial");
    break;
  }
  return true;
}

}  // namespace

SerialDeviceInfo DescribeSerialDevice(const std::string& path, const std::string& sysRoot,
                                      const std::string& devRoot) {
  SerialDeviceInfo info;
  info.path = path;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  const std::string name = (ec ? fs::path(path) : real).filename().string();
  FromSysfs(name, sysRoot, info);
  info.byId = Lookup(ByIdNames(devRoot), name);
  info.comName = ComName(name, ec ? path : real.string(), info.byId);
  return info;
}

std::vector<SerialDeviceInfo> ListSerialDevices(const std::string& sysRoot, const std::string& devRoot) {
  std::vector<SerialDeviceInfo> devices;
  const auto byId = ByIdNames(devRoot);
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysRoot) / "class" / "tty", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    SerialDeviceInfo info;
    info.path = (fs::path(devRoot) / name).string();
    if (!FromSysfs(name, sysRoot, info)) continue;
    info.byId = Lookup(byId, name);
    info.comName = ComName(name, info.path, info.byId);
    devices.push_back(std::move(info));
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) { return a.path < b.path; });
  return devices;
}

}  // namespace platform
