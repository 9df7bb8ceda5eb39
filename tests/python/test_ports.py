"""quelm.ports(): the library's connection list and the machine's serial
devices from quelm-ports, read from a made-up sysfs tree."""

import os
import stat

import pytest

import quelm
import quelm._ports
from conftest import BUILD


def test_the_librarys_connections_come_first():
    found = quelm.ports()
    library = [p for p in found if p.source == "library"]
    assert found[: len(library)] == library
    # COM5 to COM10 are always offered, unprobed: text items of the secondary class.
    assert [p.name for p in library][-6:] == [f"\\\\.\\COM{n}" for n in range(5, 11)]
    assert all(p.flags == quelm.SIK_TEXT | quelm.SIF_SECONDARY for p in library[-6:])


def fake_system(root):
    """/sys and /dev as the kernel and udev lay them out for one FTDI USB adapter."""
    sys_, dev = root / "sys", root / "dev"
    usb = sys_ / "devices/pci0000:00/0000:00:14.0/usb1/1-2"
    usb.mkdir(parents=True)
    for name, text in [("idVendor", "0403"), ("idProduct", "6001"), ("manufacturer", "FTDI"),
                       ("product", "FT232R USB UART"), ("serial", "A50285BI")]:
        (usb / name).write_text(text + "\n")
    device = usb / "1-2:1.0/ttyUSB0"
    device.mkdir(parents=True)
    driver = sys_ / "bus/usb-serial/drivers/ftdi_sio"
    driver.mkdir(parents=True)
    (device / "driver").symlink_to(driver)
    (sys_ / "class/tty/ttyUSB0").mkdir(parents=True)
    (sys_ / "class/tty/ttyUSB0/device").symlink_to(device)
    (dev / "serial/by-id").mkdir(parents=True)
    (dev / "ttyUSB0").write_text("")
    (dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").symlink_to("../../ttyUSB0")
    return sys_, dev


def script(path, body):
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


def test_the_systems_serial_devices_follow(tmp_path, monkeypatch):
    sys_, dev = fake_system(tmp_path)
    tool = BUILD / "bin" / "quelm-ports"
    assert os.access(tool, os.X_OK), f"{tool} is missing: build the quelm-ports target"
    wrapper = script(tmp_path / "ports", f'exec "{tool}" --sysfs="{sys_}" --devfs="{dev}"')
    monkeypatch.setattr(quelm._ports, "_tool_path", lambda: wrapper)
    system = [p for p in quelm.ports() if p.source == "system"]
    assert system == [
        quelm.Port(
            name=f"{dev}/ttyUSB0",
            source="system",
            driver="ftdi_sio",
            usb_id="0403:6001",
            description="FTDI FT232R USB UART",
            serial="A50285BI",
            by_id=f"{dev}/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
        )
    ]


def test_without_the_program_only_the_librarys_list(tmp_path, monkeypatch):
    monkeypatch.setattr(quelm._ports, "_tool_path", lambda: str(tmp_path / "absent"))
    assert {p.source for p in quelm.ports()} == {"library"}


def test_a_failing_program_is_an_error(tmp_path, monkeypatch):
    failing = script(tmp_path / "ports", 'echo "cannot read /sys" >&2; exit 3')
    monkeypatch.setattr(quelm._ports, "_tool_path", lambda: failing)
    with pytest.raises(quelm.Error, match="cannot read /sys"):
        quelm.ports()


def test_the_listing_with_a_com_name_and_no_usb_details():
    text = "/dev/ttyS0  (COM1)  driver serial\n/dev/ttyACM0  driver cdc_acm  usb 2341:0043  Arduino (www.arduino.cc)\n"
    assert quelm._ports.parse_ports_listing(text) == [
        quelm.Port("/dev/ttyS0", "system", com_name="COM1", driver="serial"),
        quelm.Port("/dev/ttyACM0", "system", driver="cdc_acm", usb_id="2341:0043", description="Arduino (www.arduino.cc)"),
    ]
