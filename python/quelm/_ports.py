"""quelm.ports(): the library's connection list, and the machine's serial
devices as quelm-ports lists them."""

from __future__ import annotations

import dataclasses
import os
import subprocess
from ctypes import byref, c_void_p
from dataclasses import dataclass
from typing import List, Optional

from . import _com
from ._errors import Error
from ._types import plain_label


@dataclass(frozen=True)
class Port:
    """A port to open: ``name`` is what ``Sampler(name)`` takes.

    ``source`` is "library" for the library's connection list (``value``,
    ``flags``: its item's; COM1 to COM4 are listed when they could be
    opened just now) and "system" for a serial device of this machine, with
    what the system knows of it: the COM name the library maps to it,
    ``driver``, ``usb_id`` ("vendor:product"), ``description``
    (manufacturer and product), ``serial`` and its stable ``by_id`` path.
    """

    name: str
    source: str
    value: int = 0
    flags: int = 0
    com_name: str = ""
    driver: str = ""
    usb_id: str = ""
    description: str = ""
    serial: str = ""
    by_id: str = ""


def _tool_path() -> Optional[str]:
    try:
        from . import _paths
    except ImportError:
        return None
    return str(_paths.PORTS_TOOL)


def parse_ports_listing(text: str) -> List[Port]:
    """The devices of quelm-ports' listing: a line per device, fields two
    spaces apart, then an indented "by-id" line when it has one."""
    ports: List[Port] = []
    for line in text.splitlines():
        if line.startswith("    by-id ") and ports:
            ports[-1] = dataclasses.replace(ports[-1], by_id=line[len("    by-id "):])
            continue
        if not line.startswith("/"):
            continue  # "No serial devices found..." and the like
        fields = line.split("  ")
        info = {"com_name": "", "driver": "", "usb_id": "", "description": "", "serial": ""}
        for field in fields[1:]:
            if field.startswith("(") and field.endswith(")"):
                info["com_name"] = field[1:-1]
            elif field.startswith("driver "):
                info["driver"] = "" if field == "driver -" else field[len("driver "):]
            elif field.startswith("usb "):
                info["usb_id"] = field[len("usb "):]
            elif field.startswith("serial "):
                info["serial"] = field[len("serial "):]
            elif field:
                info["description"] = field
        ports.append(Port(fields[0], "system", com_name=info["com_name"], driver=info["driver"],
                          usb_id=info["usb_id"], description=info["description"], serial=info["serial"]))
    return ports


def _library_ports() -> List[Port]:
    sampler = _com.new_sampler()
    try:
        items = c_void_p()
        _com.clear_error_info()
        _com.check(_com.call(sampler, _com.SAMPLER["GetConfigurations"], byref(items)), "GetConfigurations")
        records = _com.read_items(_com.interface(items, "GetConfigurations"))
    finally:
        _com.release(sampler)
    return [Port(plain_label(name), "library", value, flags) for name, _, value, flags, _ in records]


def ports() -> List[Port]:
    """The ports a sampler may be opened on: the library's connection list,
    then, when the quelm-ports program of this build or install is there,
    the machine's serial devices it lists. The virtual samplers ("SIM", ...)
    are opened by name and are not listed.

    Raises :class:`quelm.Error` when quelm-ports is there but fails.
    """
    found = _library_ports()
    tool = _tool_path()
    if tool is None or not os.access(tool, os.X_OK):
        return found
    try:
        done = subprocess.run([tool], capture_output=True, text=True, timeout=30, errors="replace")
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Error(str(e), None, f"running {tool}") from None
    if done.returncode != 0:
        raise Error(done.stderr.strip() or f"exit status {done.returncode}", None, f"running {tool}")
    return found + parse_ports_listing(done.stdout)
