// quelm-ports: the listing from a sysfs tree with the attributes real adapters
// have, and the probe on pseudo-terminals served by the virtual sampler, one
// free and one held by another program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ChildProcess.h"
#include "platform/SerialDevices.h"
#include "tests/support/SimPtyChild.h"
#include "tests/support/TempDir.h"
#include "transport/ComPort.h"

namespace {

namespace fs = std::filesystem;
using tooltest::BinDir;
using tooltest::ChildResult;
using tooltest::RunChild;

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// /sys and /dev as the kernel and udev lay them out for an FTDI adapter
// (ttyUSB0), an Arduino's CDC-ACM port (ttyACM0), a built-in UART behind the
// serial-core glue of newer kernels (ttyS0), an empty UART slot (ttyS1) and a
// virtual console (tty1).
class FakeSystem {
 public:
  FakeSystem() : sys_(dir_.File("sys")), dev_(dir_.File("dev")) {
    const fs::path sys(sys_);
    const fs::path ftdi = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    Write(ftdi / "idVendor", "0403\n");
    Write(ftdi / "idProduct", "6001\n");
    Write(ftdi / "manufacturer", "FTDI\n");
    Write(ftdi / "product", "FT232R USB UART\n");
    Write(ftdi / "serial", "A50285BI\n");
    Tty("ttyUSB0", ftdi / "1-2:1.0/ttyUSB0", "bus/usb-serial/drivers/ftdi_sio");

    const fs::path arduino = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-3";
    Write(arduino / "idVendor", "2341\n");
    Write(arduino / "idProduct", "0043\n");
    Write(arduino / "manufacturer", "Arduino (www.arduino.cc)\n");
    Write(arduino / "serial", "75633313133351\n");  // this one has no product string
    Tty("ttyACM0", arduino / "1-3:1.0", "bus/usb/drivers/cdc_acm");

    const fs::path pnp = sys / "devices/pnp0/00:00";
    Link(pnp / "driver", sys / "bus/pnp/drivers/serial");
    Link(pnp / "00:00:0/driver", sys / "bus/serial-base/drivers/ctrl");
    Tty("ttyS0", pnp / "00:00:0/00:00:0.0", "bus/serial-base/drivers/port");
    Write(sys / "class/tty/ttyS0/type", "4\n");
    Tty("ttyS1", sys / "devices/platform/serial8250/serial8250:0/serial8250:0.1", "bus/serial-base/drivers/port");
    Write(sys / "class/tty/ttyS1/type", "0\n");
    fs::create_directories(sys / "class/tty/tty1");

    for (const char* node : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyS1", "tty1"}) Write(fs::path(dev_) / node, "");
    fs::create_directories(fs::path(dev_) / "serial/by-id");
    fs::create_symlink("../../ttyUSB0", fs::path(dev_) / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  }
  const std::string& Sys() const { return sys_; }
  const std::string& Dev() const { return dev_; }

 private:
  static void Link(const fs::path& link, const fs::path& target) {
    fs::create_directories(link.parent_path());
    fs::create_directories(target);
    fs::create_directory_symlink(target, link);
  }
  void Tty(const std::string& name, const fs::path& device, const std::string& driver) {
    fs::create_directories(device);
    Link(device / "driver", fs::path(sys_) / driver);
    const fs::path entry = fs::path(sys_) / "class/tty" / name;
    fs::create_directories(entry);
    fs::create_directory_symlink(device, entry / "device");
  }
  testsupport::TempDir dir_;
  std::string sys_, dev_;
};

TEST(SerialDevices, EveryDeviceWithWhatItsDriverAndAdapterSay) {
  const FakeSystem fake;
  const auto devices = platform::ListSerialDevices(fake.Sys(), fake.Dev());
  ASSERT_EQ(devices.size(), 3u);  // not the empty UART slot, not the console

  const platform::SerialDeviceInfo& acm = devices[0];
  EXPECT_EQ(acm.path, fake.Dev() + "/ttyACM0");
  EXPECT_EQ(acm.driver, "cdc_acm");
  EXPECT_EQ(acm.vendorId + ":" + acm.productId, "2341:0043");
  EXPECT_EQ(acm.manufacturer, "Arduino (www.arduino.cc)");
  EXPECT_EQ(acm.product, "");
  EXPECT_EQ(acm.byId, "");

  const platform::SerialDeviceInfo& uart = devices[1];
  EXPECT_EQ(uart.path, fake.Dev() + "/ttyS0");
  EXPECT_EQ(uart.driver, "serial");  // the driver behind the kernel's glue
  EXPECT_EQ(uart.vendorId, "");
  EXPECT_EQ(uart.comName, "COM1");

  const platform::SerialDeviceInfo& ftdi = devices[2];
  EXPECT_EQ(ftdi.driver, "ftdi_sio");
  EXPECT_EQ(ftdi.vendorId + ":" + ftdi.productId, "0403:6001");
  EXPECT_EQ(ftdi.manufacturer + " / " + ftdi.product + " / " + ftdi.serial, "FTDI / FT232R USB UART / A50285BI");
  EXPECT_EQ(ftdi.byId, fake.Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(ftdi.comName, "");

  // A COM name moved onto the adapter by its stable name follows it.
  setenv("QUELM_COM3", ftdi.byId.c_str(), 1);
  const auto described = platform::DescribeSerialDevice(ftdi.byId, fake.Sys(), fake.Dev());
  unsetenv("QUELM_COM3");
  EXPECT_EQ(described.comName, "COM3");
  EXPECT_EQ(described.driver, "ftdi_sio");
}

TEST(PortsTool, ListsTheDevicesOfATree) {
  const FakeSystem fake;
  const ChildResult r = RunChild(BinDir() + "/quelm-ports", {"--sysfs=" + fake.Sys(), "--devfs=" + fake.Dev()});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "/ttyUSB0  driver ftdi_sio  usb 0403:6001  FTDI FT232R USB UART  serial A50285BI\n"
                              "    by-id " + fake.Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "/ttyS0  (COM1)  driver serial\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "ttyS1")) << r.out;

  testsupport::TempDir empty;
  const ChildResult none = RunChild(BinDir() + "/quelm-ports", {"--sysfs=" + empty.Path(), "--devfs=" + empty.Path()});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_TRUE(Contains(none.out, "No serial devices found.")) << none.out;

  const ChildResult bad = RunChild(BinDir() + "/quelm-ports", {"--prob"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(Contains(bad.err, "unknown argument --prob")) << bad.err;
}

// The probe asks a free port which sampler is behind it and leaves a held one alone.
TEST(PortsTool, ProbeIdentifiesASamplerAndLeavesAHeldPortAlone) {
  testsupport::SimPtyChild free("SIM-MIRSOL"), held("SIM");
  ASSERT_FALSE(free.Path().empty());
  ASSERT_FALSE(held.Path().empty());
  transport::TComPort holder(held.Path(), {transport::paRead, transport::paWrite});  // another program's open port
  tooltest::ChildOptions options;
  options.limitMs = 60000;
  const ChildResult r = RunChild(BinDir() + "/quelm-ports", {"--probe", free.Path(), held.Path()}, options);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, free.Path() + "  driver -\n    sampler: ")) << r.out;
  EXPECT_TRUE(Contains(r.out, held.Path() + "  driver -\n    in use by another program (left alone)\n")) << r.out;
  EXPECT_TRUE(holder.IsOpen());
}

}  // namespace
