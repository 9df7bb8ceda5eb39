# The public interface of quelm for type checkers; the modules carry the
# same annotations and the documentation.
import enum
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

__version__: str

_PortName = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class Error(Exception):
    text: str
    hresult: Optional[int]
    context: str
    def __init__(self, text: str, hresult: Optional[int] = ..., context: str = ...) -> None: ...

class LibraryError(Error): ...

class PortError(Error):
    status: Optional[Status]
    def __init__(
        self, text: str, hresult: Optional[int] = ..., context: str = ..., status: Optional[Status] = ...
    ) -> None: ...

class ConfigError(Error): ...

class RunError(Error):
    status: Optional[Status]
    data: List[Any]
    def __init__(
        self,
        text: str,
        hresult: Optional[int] = ...,
        context: str = ...,
        status: Optional[Status] = ...,
        data: Optional[List[Any]] = ...,
    ) -> None: ...

class RunTimeout(RunError, TimeoutError): ...
class ClosedError(Error): ...

class Mode(enum.IntEnum):
    SOLE = 1
    DUAL = 2
    TIMING = 5
    BUFFER = 32769

class Status(NamedTuple):
    code: int
    text: str
    @property
    def failed(self) -> bool: ...

@dataclass(frozen=True)
class Item:
    name: str
    id: int
    value: int
    flags: int
    group: int

@dataclass(frozen=True)
class Diagnostic:
    id: int
    name: str
    description: str
    flags: int

class DiagnosticResult(NamedTuple):
    report: str
    result: int

class Edges(NamedTuple):
    initial: int
    edges: Any
    length: int

@dataclass(frozen=True)
class Port:
    name: str
    source: str
    value: int = ...
    flags: int = ...
    com_name: str = ...
    driver: str = ...
    usb_id: str = ...
    description: str = ...
    serial: str = ...
    by_id: str = ...

class Capture(List[Any]):
    format: int
    rate: int
    status: Optional[Status]
    def __init__(self, data: List[Any], format: int, rate: int, status: Optional[Status]) -> None: ...
    def decode(self, **options: Any) -> List[Any]: ...

class Stream:
    format: int
    rate: int
    channels: int
    def __init__(self, sampler: Sampler) -> None: ...
    @property
    def received(self) -> int: ...
    @property
    def status(self) -> Optional[Status]: ...
    def __iter__(self) -> Iterator[Tuple[int, bytes]]: ...
    def __next__(self) -> Tuple[int, bytes]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Stream: ...
    def __exit__(self, *exc: Any) -> None: ...

class Sampler:
    port: Optional[_PortName]
    def __init__(self, port: Optional[_PortName] = ...) -> None: ...
    def open(self, port: Optional[_PortName] = ...) -> Sampler: ...
    def close(self) -> None: ...
    def __enter__(self) -> Sampler: ...
    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None: ...
    @property
    def description(self) -> str: ...
    @property
    def hardware_id(self) -> str: ...
    @property
    def version(self) -> int: ...
    @property
    def status(self) -> Status: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def is_sampling(self) -> bool: ...
    @property
    def modes(self) -> List[Item]: ...
    @property
    def mode(self) -> Union[Mode, int]: ...
    @mode.setter
    def mode(self, mode: Union[Mode, int, str]) -> None: ...
    @property
    def rates(self) -> List[Item]: ...
    @property
    def rate(self) -> int: ...
    @rate.setter
    def rate(self, rate: int) -> None: ...
    @property
    def capabilities(self) -> List[Item]: ...
    def is_available(self, capability: int) -> bool: ...
    def capability(self, capability: int) -> Union[bool, int, str]: ...
    def start_immediately(self) -> None: ...
    def start_on_activity(self) -> None: ...
    def stop_after(self, samples: Optional[int] = ..., time: Optional[float] = ...) -> None: ...
    def stop_on_idle(self, ms: int) -> None: ...
    def set_pin(self, pin: int, on: bool) -> None: ...
    @property
    def pins(self) -> Dict[int, bool]: ...
    @property
    def custom_command(self) -> Optional[str]: ...
    @custom_command.setter
    def custom_command(self, command: Optional[Union[str, bytes]]) -> None: ...
    def diagnostics(self) -> List[Diagnostic]: ...
    def run_diagnostic(self, id: int) -> DiagnosticResult: ...
    def reset(self) -> str: ...
    def capture(
        self,
        samples: Optional[int] = ...,
        time: Optional[float] = ...,
        idle_ms: Optional[int] = ...,
        *,
        numpy: bool = ...,
        progress: Optional[Callable[[int, Status], Any]] = ...,
        timeout: Optional[float] = ...,
    ) -> Capture: ...
    def stream(self, samples: Optional[int] = ..., time: Optional[float] = ..., idle_ms: Optional[int] = ...) -> Stream: ...

def ports() -> List[Port]: ...
def decode(
    data: Union[bytes, bytearray, memoryview, Sequence[Any], Any],
    format: int = ...,
    *,
    channels: Optional[int] = ...,
    bit_order: str = ...,
    byte_order: int = ...,
    initial_level: int = ...,
    edges: bool = ...,
    numpy: bool = ...,
) -> List[Any]: ...

SCAP_ACTUATE_PIN: int
SCAP_COMMAND: int
SCAP_CUSTOM_COMMAND: int
SCAP_IDLE_PERIOD: int
SCAP_SAMPLE_COUNT: int
SCAP_SAMPLING_TIMER: int
SCAP_START_IMMEDIATELY: int
SCAP_START_ON_ACTIVITY: int
SCAP_STOP_ON_COUNT: int
SCAP_STOP_ON_IDLE: int
SCAP_STOP_ON_TIMER: int
SIF_PRIMARY: int
SIF_SECONDARY: int
SIK_CHOICE: int
SIK_NUMBER: int
SIK_SWITCH: int
SIK_TEXT: int
SST_COMMAND_FAILED: int
SST_COMPLETED: int
SST_HARDWARE_ERROR: int
SST_HARDWARE_STOPPED: int
SST_INACTIVE: int
SST_NO_HARDWARE: int
SST_NO_MODE: int
SST_NO_RATE: int
SST_NO_STOP_MODE: int
SST_OPEN: int
SST_READY: int
SST_RUN_FAILED: int
SST_SAMPLING: int
SST_STARTING: int
SST_STOPPING: int
SST_UNKNOWN_HARDWARE: int
SST_WAITING: int
