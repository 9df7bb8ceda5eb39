"""quelm.Sampler: one sampler of the library, opened on a port, with its
settings as Python properties and whole runs as capture() and stream()."""

from __future__ import annotations

import collections
import math
import numbers
import os
import threading
import time as _time
import weakref
from ctypes import byref, c_void_p
from typing import Any, Callable, DefaultDict, Dict, List, Optional, Union

from . import _com
from ._com import DIAGNOSTICS, LONG, LONG_MAX, LONG_MIN, SAMPLER, VARIANT_BOOL, VARIANT_FALSE, VARIANT_TRUE, call
from ._errors import ClosedError, ConfigError, Error, PortError, RunError, RunTimeout
from ._run import Capture, Run, Stream, _annotate
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
    SST_OPEN,
    Diagnostic,
    DiagnosticResult,
    Item,
    Mode,
    Status,
    plain_label,
)

PortName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Text = Union[str, bytes]

_MODE_NAMES = {m.name.lower(): m for m in Mode}


def _long(value: Any, what: str) -> int:
    # ctypes would cut a wider int to 32 bits without a word.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    v = int(value)
    if not LONG_MIN <= v <= LONG_MAX:
        raise ValueError(f"{what} {v} does not fit the library's 32-bit range")
    return v


def _flag(value: Any, what: str) -> int:
    if not isinstance(value, (bool, numbers.Integral)):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return VARIANT_TRUE if value else VARIANT_FALSE


def _text(value: Any, what: str) -> bytes:
    # The library's texts are 8-bit: each character one byte.
    if isinstance(value, bytes):
        return value
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{what} has characters the device cannot take (only Latin-1): {value!r}") from None


def _port_bytes(port: Any) -> bytes:
    if not isinstance(port, (str, bytes, os.PathLike)):
        raise TypeError(f"a port is a name or a path, not {type(port).__name__}")
    name = os.fsencode(port)  # a device path's own bytes, whatever its letters
    if not name or b"\0" in name:
        raise ValueError(f"not a port name: {port!r}")
    return name


class Sampler:
    """A pulse sampler behind a port (``"SIM"``, ``"COM1"``, ``"/dev/ttyUSB0"``, ...).

    Use it as a context manager, which opens on entry and closes on exit::

        with quelm.Sampler("SIM") as s:
            s.mode = "sole"
            s.rate = s.rates[0].value
            data = s.capture(samples=8000)

    or call :meth:`open` and :meth:`close`. After ``close()`` every method
    but :meth:`open` raises :class:`quelm.ClosedError`; ``is_open`` and
    ``is_sampling`` read False. A sampler that is garbage collected without
    being closed is released (its run stopped, its port closed) then.

    Threads: ``status`` and ``is_sampling`` may be read from any thread at any
    time, also during a run; the other methods are serialised per sampler.
    """

    def __init__(self, port: Optional[PortName] = None) -> None:
        """Makes a sampler of the library; ``port`` is what :meth:`open` opens.

        Raises :class:`quelm.LibraryError` when QUELM1.SAM cannot be loaded.
        """
        if port is not None:
            _port_bytes(port)
        self.port = port
        self._lock = threading.RLock()
        self._closing = False  # set by close(): a run that ends meanwhile was cut by it
        self._handle = _com.Handle(_com.new_sampler())
        self._finalizer = weakref.finalize(self, self._handle.drop)

    def __repr__(self) -> str:
        state = "closed" if self._handle.ptr is None else "open" if self.is_open else "not open"
        return f"<quelm.Sampler port={self.port!r} {state}>"

    # ---- calls -------------------------------------------------------------------------

    def _require(self) -> int:
        ptr = self._handle.ptr
        if ptr is None:
            raise ClosedError("the sampler is closed", None, "using the sampler")
        return ptr

    def _call(self, method: str, *args: Any, context: str, error: type = ConfigError) -> None:
        with self._lock:
            ptr = self._require()
            _com.clear_error_info()
            _com.check(call(ptr, SAMPLER[method], *args), context, error)

    def _get_long(self, method: str, context: str) -> int:
        value = LONG()
        self._call(method, byref(value), context=context, error=Error)
        return value.value

    def _get_text(self, method: str, context: str, *args: Any) -> str:
        text = c_void_p()
        self._call(method, *args, byref(text), context=context, error=Error)
        return _com.take_bstr(text.value)

    def _items(self, method: str, context: str) -> List[Item]:
        enum = c_void_p()
        with self._lock:
            self._call(method, byref(enum), context=context, error=Error)
            records = _com.read_items(_com.interface(enum, context))
        return [Item(plain_label(name), id, value, flags, group) for name, id, value, flags, group in records]

    def _get_bool(self, capability: int) -> bool:
        value = VARIANT_BOOL(0)
        self._call("GetCapabilityBool", capability, byref(value), context=f"capability {capability}", error=Error)
        return bool(value.value)

    def _set_bool(self, capability: int, on: Any, context: str) -> None:
        self._call("SetCapabilityBool", capability, _flag(on, context), context=context)

    def _set_long(self, capability: int, value: int, context: str) -> None:
        self._call("SetCapabilityLong", capability, _long(value, context), context=context)

    # ---- opening and closing ---------------------------------------------------------------

    def open(self, port: Optional[PortName] = None) -> "Sampler":
        """Opens ``port`` (or the one given at construction) and identifies the device.

        Raises :class:`quelm.PortError` when the port cannot be opened, or
        when nothing, or nothing this library knows, answers there (the port
        is closed again then). A sampler closed before gets a new library
        object. Returns the sampler.
        """
        if port is not None:
            _port_bytes(port)
            self.port = port
        if self.port is None:
            raise ValueError("no port to open: give one, for example Sampler('SIM')")
        name = _port_bytes(self.port)
        context = f"opening {os.fsdecode(name)}"
        with self._lock:
            if self._handle.ptr is None:
                self._handle = _com.Handle(_com.new_sampler())
                self._finalizer = weakref.finalize(self, self._handle.drop)
                self._closing = False
            ptr = self._handle.ptr
            assert ptr is not None
            bstr = _com.to_bstr(name)
            try:
                _com.clear_error_info()
                hr = call(ptr, SAMPLER["Open"], bstr)
            finally:
                _com.free_bstr(bstr)
            if hr < 0:
                text = _com.error_text()
                raise PortError(text or f"Open failed with HRESULT 0x{hr & 0xFFFFFFFF:08X}", hr, context, self.status)
            status = self.status
            if status.code < SST_OPEN:  # the port opened, but no known sampler answered
                call(ptr, SAMPLER["Close"])
                raise PortError(status.text, hr, context, status)
        return self

    def close(self) -> None:
        """Stops a run, closes the port and releases the library's object.

        Closing twice is harmless. Raises :class:`quelm.Error` when the
        library reports a failure while closing; the object is released all
        the same.
        """
        with self._lock:
            ptr = self._handle.ptr
            if ptr is None:
                return
            self._closing = True
            try:
                _com.clear_error_info()
                hr = call(ptr, SAMPLER["Close"])  # also ends a run, and waits for it
                text = _com.error_text() if hr < 0 else ""
            finally:
                self._finalizer()  # drops the reference, once
            if hr < 0:
                raise Error(text, hr, "closing the sampler")

    def __enter__(self) -> "Sampler":
        if not self.is_open:
            self.open()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            self.close()
        except Error:
            if exc_type is None:
                raise
            # The exception that ends the block is the one to see.

    # ---- identity and state --------------------------------------------------------------------

    @property
    def description(self) -> str:
        """The library's description of the sampler (also before open)."""
        return self._get_text("GetDescription", "GetDescription")

    @property
    def hardware_id(self) -> str:
        """The device's identification, for example "QUELM1 pulse sampler v2.1 (virtual)"."""
        return self._get_text("GetHardwareId", "GetHardwareId")

    @property
    def version(self) -> int:
        """The library's interface version."""
        return self._get_long("GetVersion", "GetVersion")

    @property
    def status(self) -> Status:
        """The state now as ``Status(code, text)``; safe from any thread, also during a run."""
        ptr = self._handle.borrow()
        try:
            text = c_void_p()
            code = LONG()
            hr = call(ptr, SAMPLER["GetStatus"], byref(text), byref(code))
            status = Status(code.value, _com.take_bstr(text.value))
        finally:
            _com.release(ptr)
        if hr < 0:
            raise Error(f"GetStatus failed with HRESULT 0x{hr & 0xFFFFFFFF:08X}", hr, "GetStatus")
        return status

    def _status_or_none(self) -> Optional[Status]:
        try:
            return self.status
        except Error:
            return None

    @property
    def is_open(self) -> bool:
        """Whether the port is open (False once the sampler is closed)."""
        with self._lock:
            ptr = self._handle.ptr
            if ptr is None:
                return False
            value = VARIANT_BOOL(0)
            call(ptr, SAMPLER["IsOpen"], byref(value))
            return bool(value.value)

    def _sampling_now(self) -> bool:
        ptr = self._handle.borrow()
        try:
            value = VARIANT_BOOL(0)
            call(ptr, SAMPLER["IsSampling"], byref(value))
            return bool(value.value)
        finally:
            _com.release(ptr)

    @property
    def is_sampling(self) -> bool:
        """Whether a run goes on; safe from any thread (False once the sampler is closed)."""
        try:
            return self._sampling_now()
        except ClosedError:
            return False

    # ---- mode and rate ------------------------------------------------------------------------

    @property
    def modes(self) -> List[Item]:
        """The modes the device offers; ``Item.value`` is the mode number."""
        return self._items("GetModes", "GetModes")

    @property
    def mode(self) -> Union[Mode, int]:
        """The mode: a :class:`quelm.Mode` (an int), 0 before one is chosen.

        Set it to 1, 2, 5, 32769 (4 works as 5) or to 'sole', 'dual',
        'timing', 'buffer'. Choosing a mode clears the rate. Raises
        :class:`quelm.ConfigError` with the library's text for a mode the
        device does not have.
        """
        value = self._get_long("GetMode", "GetMode")
        try:
            return Mode(value)
        except ValueError:
            return value

    @mode.setter
    def mode(self, mode: Union[Mode, int, str]) -> None:
        if isinstance(mode, str):
            key = mode.strip().lower()
            if key not in _MODE_NAMES:
                raise ValueError(f"unknown mode {mode!r}: one of {', '.join(_MODE_NAMES)} or a mode number")
            number = int(_MODE_NAMES[key])
        else:
            number = _long(mode, "a mode")
        self._call("SetMode", number, context=f"mode {mode}")

    @property
    def rates(self) -> List[Item]:
        """The rates of the current mode, fastest first; ``Item.value`` is in samples per second."""
        return self._items("GetRates", "GetRates")

    @property
    def rate(self) -> int:
        """The rate in samples (timing: timer periods) per second; -1 without a device.

        Setting it takes the device's rate nearest to the one asked for
        (read it back to see which); a rate out of the device's range is
        refused with the library's text, for example "E03 - Sampling rate
        too high: 6000000". :attr:`rates` lists the rates of the mode.
        """
        return self._get_long("GetRate", "GetRate")

    @rate.setter
    def rate(self, rate: int) -> None:
        self._call("SetRate", _long(rate, "a rate"), context=f"rate {rate}")

    # ---- capabilities -------------------------------------------------------------------------

    @property
    def capabilities(self) -> List[Item]:
        """The capabilities in the current mode with their values now."""
        return self._items("GetCapabilities", "GetCapabilities")

    def is_available(self, capability: int) -> bool:
        """Whether a capability (an SCAP_* id) can be used in the current mode."""
        value = VARIANT_BOOL(0)
        self._call("IsCapabilityAvailable", _long(capability, "a capability id"), byref(value),
                   context=f"capability {capability}", error=Error)
        return bool(value.value)

    def capability(self, capability: int) -> Union[bool, int, str]:
        """A capability's value now (the :attr:`capabilities` list carries
        only the switches'): an int for the numbers (idle period, sample
        count, sampling timer), the text of SCAP_COMMAND, a bool for the
        others (pins, start and stop choices, the custom command switch)."""
        cid = _long(capability, "a capability id")
        if cid in (SCAP_IDLE_PERIOD, SCAP_SAMPLE_COUNT, SCAP_SAMPLING_TIMER):
            value = LONG()
            self._call("GetCapabilityLong", cid, byref(value), context=f"capability {cid}", error=Error)
            return value.value
        if cid == SCAP_COMMAND:
            return self._get_text("GetCapabilityString", f"capability {cid}", cid)
        return self._get_bool(cid)

    def start_immediately(self) -> None:
        """Runs start sampling at once."""
        self._set_bool(SCAP_START_IMMEDIATELY, True, "starting immediately")

    def start_on_activity(self) -> None:
        """Runs start sampling when an input first changes."""
        self._set_bool(SCAP_START_ON_ACTIVITY, True, "starting on activity")

    def stop_after(self, samples: Optional[int] = None, time: Optional[float] = None) -> None:
        """Runs end after ``samples`` samples per channel, or after ``time`` seconds.

        Give exactly one. ``time`` is in seconds (an int or a float), rounded
        to the millisecond the device counts in: ``stop_after(time=0.25)`` is
        250 ms. A run stopped by a count ends on a whole byte, so a channel
        receives ceil(samples / 8) bytes.
        """
        if (samples is None) == (time is None):
            raise TypeError("stop_after takes one of samples= or time=")
        if samples is not None:
            count = _long(samples, "a sample count")
            self._set_bool(SCAP_STOP_ON_COUNT, True, "stopping after a sample count")
            self._set_long(SCAP_SAMPLE_COUNT, count, "the sample count")
            return
        if isinstance(time, bool) or not isinstance(time, (int, float)) or not math.isfinite(time):
            raise TypeError(f"time is a finite number of seconds, not {time!r}")
        ms = _long(round(float(time) * 1000), "a time in ms")
        self._set_bool(SCAP_STOP_ON_TIMER, True, "stopping after a time")
        self._set_long(SCAP_SAMPLING_TIMER, ms, "the sampling time")

    def stop_on_idle(self, ms: int) -> None:
        """Runs end once the input has not changed for ``ms`` milliseconds."""
        period = _long(ms, "an idle period in ms")
        self._set_bool(SCAP_STOP_ON_IDLE, True, "stopping on an idle input")
        self._set_long(SCAP_IDLE_PERIOD, period, "the idle period")

    def set_pin(self, pin: int, on: bool) -> None:
        """Sets output pin ``pin`` (0 to 7) to be driven high (``on``) at the start of a run."""
        n = _long(pin, "a pin number")
        if not 0 <= n <= 7:
            raise ValueError(f"pins are numbered 0 to 7, not {n}")
        self._set_bool(SCAP_ACTUATE_PIN + n, on, f"pin {n}")

    @property
    def pins(self) -> Dict[int, bool]:
        """The output pins of the current mode and whether each is set, ``{pin: on}``."""
        with self._lock:
            return {n: self._get_bool(SCAP_ACTUATE_PIN + n) for n in range(8) if self.is_available(SCAP_ACTUATE_PIN + n)}

    @property
    def custom_command(self) -> Optional[str]:
        """The device command runs start with instead of the library's own; None when not used.

        Setting a text (str or bytes, for example "r63;S0;") sets and enables
        it; setting None goes back to the library's command.
        """
        with self._lock:
            if not self._get_bool(SCAP_CUSTOM_COMMAND):
                return None
            return self._get_text("GetCapabilityString", "the custom command", SCAP_COMMAND)

    @custom_command.setter
    def custom_command(self, command: Optional[Text]) -> None:
        with self._lock:
            if command is None:
                self._set_bool(SCAP_CUSTOM_COMMAND, False, "the custom command")
                return
            bstr = _com.to_bstr(_text(command, "a command"))
            try:
                self._call("SetCapabilityString", SCAP_COMMAND, bstr, context="the custom command")
            finally:
                _com.free_bstr(bstr)
            self._set_bool(SCAP_CUSTOM_COMMAND, True, "the custom command")

    # ---- diagnostics and recovery -----------------------------------------------------------------

    def diagnostics(self) -> List[Diagnostic]:
        """The diagnostic tests the device offers."""
        enum = c_void_p()
        with self._lock:
            self._call("GetDiagnotors", byref(enum), context="GetDiagnotors", error=Error)
            records = _com.read_items(_com.interface(enum, "GetDiagnotors"), DIAGNOSTICS)
        return [Diagnostic(id, plain_label(name), description, flags) for name, description, id, flags in records]

    def run_diagnostic(self, id: int) -> DiagnosticResult:
        """Runs a diagnostic test; returns its report text and result code.

        An id the device does not have gives a report saying so and result 0.
        """
        report = c_void_p()
        result = LONG()
        self._call("RunDiagnotor", _long(id, "a diagnostic id"), byref(report), byref(result),
                   context=f"diagnostic {id}", error=Error)
        return DiagnosticResult(_com.take_bstr(report.value), result.value)

    def reset(self) -> str:
        """Clears a failure state (3840 to 3842) and returns the last error's text."""
        return self._get_text("Reset", "Reset")

    def _stop_run(self) -> None:
        self._call("Stop", context="stopping the run", error=RunError)

    # ---- runs --------------------------------------------------------------------------------------

    def _apply_stop(self, samples: Optional[int], time: Optional[float], idle_ms: Optional[int]) -> None:
        given = [x for x in (samples, time, idle_ms) if x is not None]
        if len(given) > 1:
            raise TypeError("give at most one of samples=, time= and idle_ms=")
        if samples is not None or time is not None:
            self.stop_after(samples=samples, time=time)
        elif idle_ms is not None:
            self.stop_on_idle(idle_ms)

    def capture(
        self,
        samples: Optional[int] = None,
        time: Optional[float] = None,
        idle_ms: Optional[int] = None,
        *,
        numpy: bool = False,
        progress: Optional[Callable[[int, Status], Any]] = None,
        timeout: Optional[float] = None,
    ) -> Capture:
        """Makes a whole run and returns its data, one entry per channel.

        ``samples``, ``time`` (seconds) or ``idle_ms`` set the stop rule
        first (as :meth:`stop_after` and :meth:`stop_on_idle`); without them
        the rule set before holds. Each entry is ``bytes``, or a numpy
        ``uint8`` array with ``numpy=True`` (ImportError before anything
        starts when numpy is missing). ``progress(bytes_received, status)``
        is called about 20 times a second and once more when every byte is
        in. A run that does not end by itself within ``timeout`` seconds is
        stopped and :class:`quelm.RunTimeout` raised, with what arrived in
        its ``data``. A run stopped by a sample count gives each channel
        ceil(samples / 8) bytes: the last read of a dual-channel run may
        bring a few more, which are left out.

        An exception in the meantime (from ``progress``, or Ctrl-C's
        KeyboardInterrupt) stops the run and closes its pipes before it goes
        on; the sampler can run again. A run that ends with a failure status
        raises :class:`quelm.RunError` carrying what arrived.
        """
        np = _numpy() if numpy else None
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable as progress(bytes_received, status)")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            raise TypeError("timeout is a number of seconds")
        self._apply_stop(samples, time, idle_ms)
        with self._lock:
            # A count's last read is delivered whole: each channel is cut to the
            # bytes its count asked for.
            keep = None
            if self.is_available(SCAP_STOP_ON_COUNT) and self.capability(SCAP_STOP_ON_COUNT):
                count = self.capability(SCAP_SAMPLE_COUNT)
                keep = (int(count) + 7) // 8 if int(count) >= 0 else None
        buffers: DefaultDict[int, bytearray] = collections.defaultdict(bytearray)  # filled by the reader thread
        run = Run(self, lambda channel, data: buffers[channel].extend(data))
        run.start()
        limit = None if timeout is None else float(timeout)
        deadline = None if limit is None else _time.monotonic() + limit
        timed_out = False
        try:
            while True:
                ended, status = run.poll()
                if progress is not None:
                    progress(run.received, status)
                if ended:
                    break
                if deadline is not None and _time.monotonic() > deadline:
                    timed_out = True
                    break
                _time.sleep(0.05)
            final = run.finish(stop=timed_out)
        except BaseException as e:
            run.finish(stop=True, quiet=True)
            _annotate(e, run)
            raise
        if progress is not None:
            progress(run.received, final if final is not None else Status(0, ""))
        chunks = [buffers[c] if keep is None or run.format != 1 else buffers[c][:keep] for c in range(run.channels)]
        data: List[Any] = [np.frombuffer(b, dtype=np.uint8) if np is not None else bytes(b) for b in chunks]
        if final is None or self._closing:
            raise ClosedError("the sampler was closed during the run", None, "capturing")
        if timed_out:
            raise RunTimeout(f"the run had not ended after {limit} s; it was stopped", None, "capturing", final, data)
        if final.failed:
            raise RunError(final.text, None, "the run", final, data)
        if run.problems:
            raise RunError("; ".join(run.problems), None, "ending the run", final, data)
        return Capture(data, run.format, run.rate, final)

    def stream(
        self,
        samples: Optional[int] = None,
        time: Optional[float] = None,
        idle_ms: Optional[int] = None,
    ) -> Stream:
        """Starts a run and returns an iterator of its ``(channel, bytes)`` chunks as they come.

        The stop rule is set as for :meth:`capture` (without one the rule
        set before holds; a run that has none goes on until the loop
        leaves). Leaving the loop early (``break``), an
        exception, Ctrl-C or ``close()`` stop the run cleanly; use it in a
        ``with`` block to stop it at a known point::

            with s.stream(time=2.0) as chunks:
                for channel, data in chunks:
                    ...
        """
        self._apply_stop(samples, time, idle_ms)
        return Stream(self)


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("numpy=True needs numpy (Debian: apt install python3-numpy; or pip install numpy)") from None
    return numpy
