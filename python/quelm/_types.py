"""The small records the package hands out, the modes, and the library's
status codes and capability ids under Python names."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import NamedTuple

# Status codes (Sampler.status.code).
SST_INACTIVE = 0
SST_HARDWARE_ERROR = 1
SST_NO_HARDWARE = 2
SST_UNKNOWN_HARDWARE = 3
SST_OPEN = 256
SST_NO_MODE = 259
SST_NO_RATE = 260
SST_NO_STOP_MODE = 261
SST_READY = 512
SST_STARTING = 768
SST_WAITING = 769
SST_SAMPLING = 1024
SST_COMPLETED = 1025
SST_STOPPING = 1280
SST_RUN_FAILED = 3840
SST_HARDWARE_STOPPED = 3841
SST_COMMAND_FAILED = 3842

# Capability ids (Item.id of Sampler.capabilities).
SCAP_ACTUATE_PIN = 80  # pin n is 80 + n, n = 0..7
SCAP_START_IMMEDIATELY = 100
SCAP_START_ON_ACTIVITY = 101
SCAP_STOP_ON_IDLE = 110
SCAP_IDLE_PERIOD = 111
SCAP_STOP_ON_COUNT = 112
SCAP_SAMPLE_COUNT = 113
SCAP_STOP_ON_TIMER = 114
SCAP_SAMPLING_TIMER = 115
SCAP_CUSTOM_COMMAND = 200
SCAP_COMMAND = 201

# Item kinds (low byte of Item.flags) and classes.
SIK_SWITCH = 1
SIK_CHOICE = 2
SIK_NUMBER = 3
SIK_TEXT = 4
SIF_PRIMARY = 0x100
SIF_SECONDARY = 0x200


class Mode(enum.IntEnum):
    """The sampling modes; ``Sampler.mode`` also takes their names in lower case."""

    SOLE = 1  #: one input, eight samples per byte
    DUAL = 2  #: two inputs, bytes alternating between them
    TIMING = 5  #: 16-bit timer periods between level changes of one input
    BUFFER = 32769  #: the device fills its buffer, then sends it


class Status(NamedTuple):
    """The sampler's state: ``code`` (an SST_* value) and the library's ``text`` for it."""

    code: int
    text: str

    @property
    def failed(self) -> bool:
        """True for the failure states 3840 to 3842, which ``Sampler.reset()`` clears."""
        return SST_RUN_FAILED <= self.code <= SST_COMMAND_FAILED


@dataclass(frozen=True)
class Item:
    """A mode, rate, capability or connection as the library lists it.

    ``name`` is the label without its menu markers ("Sampling sole channel");
    ``value`` is the mode number, the rate in samples per second, or a
    capability's current value; ``flags`` holds the kind (SIK_*) and class
    (SIF_*); ``group`` ties the choices of one group together.
    """

    name: str
    id: int
    value: int
    flags: int
    group: int


@dataclass(frozen=True)
class Diagnostic:
    """A diagnostic test the device offers (run it with ``Sampler.run_diagnostic(id)``)."""

    id: int
    name: str
    description: str
    flags: int


class DiagnosticResult(NamedTuple):
    """What a diagnostic test reported: its ``report`` text and its ``result``
    code (for the receiver test, the best baud rate that worked; 0 when the
    test is not there)."""

    report: str
    result: int


def plain_label(label: str) -> str:
    """A label as a menu shows it: "Sampling &sole channel" reads
    "Sampling sole channel", and "&&" is a literal "&"."""
    out = []
    i = 0
    while i < len(label):
        if label[i] == "&":
            i += 1
            if i == len(label):
                break
        out.append(label[i])
        i += 1
    return "".join(out)
