// quelm-ports: the serial devices of this machine with what the system knows
// of them, and with --probe which of them has a sampler behind it.
//
//   quelm-ports [--probe] [--library=PATH] [DEVICE...]
//
// The probe opens each port through QUELM1.SAM as any host does, so a port
// another program holds is refused before anything on it changes and is
// reported as in use.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "examples/HostSupport.h"
#include "platform/SerialDevices.h"

namespace {

struct Options {
  bool probe = false;
  std::string library;  // QUELM1.SAM; found beside the program or in ../lib/quelm
  std::string sysRoot = "/sys", devRoot = "/dev";
  std::vector<std::string> devices;
};

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: quelm-ports [--probe] [--library=PATH] [DEVICE...]\n"
               "Lists the serial devices (or the DEVICEs given): path, the COM name the\n"
               "library maps to it, driver, stable name under /dev/serial/by-id and, for USB\n"
               "adapters, vendor:product id, manufacturer, product and serial number.\n"
               "  --probe         also ask each free port which sampler is behind it; ports\n"
               "                  another program holds are left alone and shown as in use\n"
               "  --library=PATH  the QUELM1.SAM to probe with\n"
               "Exit status: 0, also when there are no devices; 1 when the probe cannot load the\n"
               "library; 2 for an unknown argument.\n");
}

bool Value(const char* arg, const char* name, std::string& value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  value = arg + n + 1;
  return true;
}

// One line on what the sampler's Open found on `path`.
std::string Probe(IKorvoSampler* sampler, const std::string& path) {
  BSTR port = host::MakeBstr(path);  // port names are ASCII
  const HRESULT hr = sampler->Open(port);
  SysFreeString(port);
  if (FAILED(hr)) {
    std::string why = host::LastErrorText();
    if (why.find("Code: 16.") != std::string::npos) return "in use by another program (left alone)";
    for (size_t at; (at = why.find("\r\n")) != std::string::npos;) why.replace(at, 2, " ");
    return "not opened: " + why;
  }
  BSTR status = nullptr, id = nullptr;
  LONG state = 0;
  sampler->GetStatus(&status, &state);
  const std::string text = host::Take(status);
  std::string line;
  if (state >= SST_OPEN && SUCCEEDED(sampler->GetHardwareId(&id))) {
    line = "sampler: " + host::Take(id);
  } else {
    line = "no sampler: " + text;
  }
  sampler->Close();
  return line;
}

void Print(const platform::SerialDeviceInfo& d) {
  std::printf("%s", d.path.c_str());
  if (!d.comName.empty()) std::printf("  (%s)", d.comName.c_str());
  std::printf("  driver %s", d.driver.empty() ? "-" : d.driver.c_str());
  if (!d.vendorId.empty()) {
    std::printf("  usb %s:%s", d.vendorId.c_str(), d.productId.c_str());
    std::string about = d.manufacturer;
    if (!d.product.empty()) about += (about.empty() ? "" : " ") + d.product;
    if (!about.empty()) std::printf("  %s", about.c_str());
    if (!d.serial.empty()) std::printf("  serial %s", d.serial.c_str());
  }
  std::printf("\n");
  if (!d.byId.empty()) std::printf("    by-id %s\n", d.byId.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      return 0;
    }
    if (std::strcmp(a, "--probe") == 0) {
      o.probe = true;
    } else if (Value(a, "--library", o.library) || Value(a, "--sysfs", o.sysRoot) || Value(a, "--devfs", o.devRoot)) {
      // --sysfs and --devfs read another tree (for tests); not in the usage
    } else if (a[0] != '-') {
      o.devices.push_back(a);
    } else {
      std::fprintf(stderr, "quelm-ports: unknown argument %s\n", a);
      Usage(stderr);
      return 2;
    }
  }
  std::vector<platform::SerialDeviceInfo> devices;
  if (o.devices.empty()) {
    devices = platform::ListSerialDevices(o.sysRoot, o.devRoot);
  } else {
    for (const auto& path : o.devices) devices.push_back(platform::DescribeSerialDevice(path, o.sysRoot, o.devRoot));
  }
  IKorvoSampler* sampler = nullptr;
  if (o.probe) {
    sampler = host::LoadSampler(o.library.empty() ? host::FindLibrary(argv[0], QUELM_SAMPLER_FROM_BIN) : o.library);
    if (!sampler) return 1;
  }
  if (devices.empty())
    std::printf("No serial devices found. A USB adapter shows up as /dev/ttyUSB* or /dev/ttyACM* once\n"
                "plugged in (dmesg tells whether the kernel saw it). Without hardware, try the\n"
                "virtual sampler: port SIM, or quelm-sim-pty for a pseudo-terminal.\n");
  for (const auto& d : devices) {
    Print(d);
    if (sampler) std::printf("    %s\n", Probe(sampler, d.path).c_str());
    std::fflush(stdout);
  }
  if (sampler) sampler->Release();
  return 0;
}
