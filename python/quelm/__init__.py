"""quelm: the pulse sampler library (QUELM1.SAM) from Python.

A host like any other: the package loads the library with ctypes and calls
its interfaces; nothing is compiled. A lab script::

    import quelm

    with quelm.Sampler("SIM") as s:          # the built-in virtual sampler
        s.mode = "sole"
        s.rate = s.rates[0].value            # the fastest the line carries
        data = s.capture(samples=80000)      # [bytes] per channel
    levels = data.decode()[0]                # 0/1 per sample

The library is the one this package was built or installed with; the
environment variable QUELM_LIBRARY names another (read when the library is
first needed). Texts from the library come with "\\n" line ends.
"""

from ._decode import Edges, decode
from ._errors import ClosedError, ConfigError, Error, LibraryError, PortError, RunError, RunTimeout
from ._ports import Port, ports
from ._run import Capture, Stream
from ._sampler import Sampler
from ._types import (
    SCAP_ACTUATE_PIN,
    SCAP_COMMAND,
    SCAP_CUSTOM_COMMAND,
    SCAP_IDLE_PERIOD,
    SCAP_SAMPLE_COUNT,
    SCAP_SAMPLING_TIMER,
    SCAP_START_IMMEDIATELY,
    SCAP_START_ON_ACTIVITY,
    SCAP_STOP_ON_COUNT,
    SCAP_STOP_ON_IDLE,
    SCAP_STOP_ON_TIMER,
    SIF_PRIMARY,
    SIF_SECONDARY,
    SIK_CHOICE,
    SIK_NUMBER,
    SIK_SWITCH,
    SIK_TEXT,
    SST_COMMAND_FAILED,
    SST_COMPLETED,
    SST_HARDWARE_ERROR,
    SST_HARDWARE_STOPPED,
    SST_INACTIVE,
    SST_NO_HARDWARE,
    SST_NO_MODE,
    SST_NO_RATE,
    SST_NO_STOP_MODE,
    SST_OPEN,
    SST_READY,
    SST_RUN_FAILED,
    SST_SAMPLING,
    SST_STARTING,
    SST_STOPPING,
    SST_UNKNOWN_HARDWARE,
    SST_WAITING,
    Diagnostic,
    DiagnosticResult,
    Item,
    Mode,
    Status,
)

__version__ = "1.0.0"

__all__ = [
    "Capture",
    "ClosedError",
    "ConfigError",
    "Diagnostic",
    "DiagnosticResult",
    "Edges",
    "Error",
    "Item",
    "LibraryError",
    "Mode",
    "Port",
    "PortError",
    "RunError",
    "RunTimeout",
    "Sampler",
    "Status",
    "Stream",
    "decode",
    "ports",
    "SCAP_ACTUATE_PIN",
    "SCAP_COMMAND",
    "SCAP_CUSTOM_COMMAND",
    "SCAP_IDLE_PERIOD",
    "SCAP_SAMPLE_COUNT",
    "SCAP_SAMPLING_TIMER",
    "SCAP_START_IMMEDIATELY",
    "SCAP_START_ON_ACTIVITY",
    "SCAP_STOP_ON_COUNT",
    "SCAP_STOP_ON_IDLE",
    "SCAP_STOP_ON_TIMER",
    "SIF_PRIMARY",
    "SIF_SECONDARY",
    "SIK_CHOICE",
    "SIK_NUMBER",
    "SIK_SWITCH",
    "SIK_TEXT",
    "SST_COMMAND_FAILED",
    "SST_COMPLETED",
    "SST_HARDWARE_ERROR",
    "SST_HARDWARE_STOPPED",
    "SST_INACTIVE",
    "SST_NO_HARDWARE",
    "SST_NO_MODE",
    "SST_NO_RATE",
    "SST_NO_STOP_MODE",
    "SST_OPEN",
    "SST_READY",
    "SST_RUN_FAILED",
    "SST_SAMPLING",
    "SST_STARTING",
    "SST_STOPPING",
    "SST_UNKNOWN_HARDWARE",
    "SST_WAITING",
]
