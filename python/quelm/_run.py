"""A run as a host makes it: each channel bound to the write end of a pipe,
one thread draining the read ends, and an end that never pulls a descriptor
from under the library: Stop (when asked), wait until the sampler no longer
samples, unbind, and only then close the pipes."""

from __future__ import annotations

import fcntl
import os
import queue
import selectors
import threading
import time
from ctypes import byref, c_void_p
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Tuple

from . import _com
from ._com import CHANNEL, CHANNELS, LONG, SAMPLER, VARIANT_FALSE, call, release
from ._errors import ClosedError, Error, RunError
from ._types import SST_SAMPLING, SST_WAITING, Status

if TYPE_CHECKING:
    from ._sampler import Sampler

_READ_SIZE = 65536
_END_WAIT = 10.0  # s for a stopped run to report its end (Stop itself waits for the reading thread)
_DRAIN_WAIT = 5.0  # s for the reader to see the end of every pipe once the write ends are closed


def _away_from_zero(fd: int) -> int:
    # A channel handle of 0 reads as "unbound". With standard input closed
    # pipe() hands out descriptor 0 (to the read end, which it allocates
    # first); neither end of a run keeps it, so none can be bound as 0 or be
    # taken for standard input.
    if fd != 0:
        return fd
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    os.close(fd)
    return moved


def _pipe() -> Tuple[int, int]:
    r, w = os.pipe()
    return _away_from_zero(r), _away_from_zero(w)


class Run:
    """One run of a sampler, from binding its channels to closing the pipes.

    ``sink(channel, data)`` receives the bytes on the reader thread, in the
    order each channel's pipe delivers them; ``on_reader_end()`` is called
    there once every pipe has ended.
    """

    def __init__(
        self,
        sampler: "Sampler",
        sink: Callable[[int, bytes], None],
        on_reader_end: Optional[Callable[[], None]] = None,
    ) -> None:
        self._sampler = sampler
        self._sink = sink
        self._on_reader_end = on_reader_end
        self.received = 0  # written by the reader thread only
        self.format = 0
        self.rate = 0
        self.channels = 0
        self.status: Optional[Status] = None  # the status once the run has ended
        self.finished = False
        self.problems: List[str] = []  # what went wrong while ending, for the caller to report
        self._read_fds: List[int] = []
        self._write_fds: List[int] = []
        self._channel_ptrs: List[int] = []  # one reference each, held until the channel is unbound
        self._reader: Optional[threading.Thread] = None
        self._abandon = threading.Event()
        self.read_error: Optional[OSError] = None

    # ---- start ------------------------------------------------------------------

    def start(self) -> None:
        """Binds every channel to a new pipe, starts the reader, then Start."""
        s = self._sampler
        with s._lock:
            ptr = s._require()
            start_called = False
            hr: Optional[int] = None
            try:
                self._bind(ptr)
                self._reader = threading.Thread(target=self._read, name="quelm-run-reader", daemon=True)
                self._reader.start()
                _com.clear_error_info()
                start_called = True
                hr = call(ptr, SAMPLER["Start"])
                if hr < 0:
                    text = _com.error_text()
                    status = s._status_or_none()
                    raise RunError(text or (status.text if status else "Start failed"), hr, "starting the run", status)
            except BaseException:
                # A failed Start has ended what it began; a Ctrl-C that came as
                # Start returned (hr unknown or a success) leaves a run going.
                self.finish(stop=start_called and (hr is None or hr >= 0), quiet=True)
                raise

    def _bind(self, sampler_ptr: int) -> None:
        out = c_void_p()
        _com.clear_error_info()
        _com.check(call(sampler_ptr, SAMPLER["GetChannels"], byref(out)), "GetChannels", RunError)
        channels = _com.interface(out, "GetChannels")
        try:
            count = LONG()
            _com.check(call(channels, CHANNELS["GetCount"], byref(count)), "channel count", RunError)
            self.channels = count.value
            for c in range(count.value):
                _com.check(call(channels, CHANNELS["Item"], c, byref(out)), f"channel {c}", RunError)
                channel = _com.interface(out, f"channel {c}")
                self._channel_ptrs.append(channel)
                r, w = _pipe()
                self._read_fds.append(r)
                self._write_fds.append(w)
                # The close flag stays FALSE: the write ends are ours to close,
                # once the run has let go of them.
                _com.check(call(channel, CHANNEL["Bind"], w, VARIANT_FALSE), f"binding channel {c}", RunError)
                if c == 0:
                    value = LONG()
                    if call(channel, CHANNEL["GetFormat"], byref(value)) >= 0:
                        self.format = value.value
                    if call(channel, CHANNEL["GetRate"], byref(value)) >= 0:
                        self.rate = value.value
        finally:
            release(channels)

    # ---- the reader thread ------------------------------------------------------------

    def _read(self) -> None:
        selector = selectors.DefaultSelector()
        try:
            for c, fd in enumerate(self._read_fds):
                selector.register(fd, selectors.EVENT_READ, c)
            while selector.get_map():
                events = selector.select(0.1)
                if not events and self._abandon.is_set():
                    break
                for key, _ in events:
                    try:
                        data = os.read(key.fd, _READ_SIZE)
                    except OSError as e:
                        self.read_error = e
                        data = b""
                    if data:
                        self.received += len(data)
                        self._sink(key.data, data)
                    else:
                        selector.unregister(key.fd)
        finally:
            selector.close()
            if self._on_reader_end:
                self._on_reader_end()

    # ---- the end --------------------------------------------------------------------

    def poll(self) -> Tuple[bool, Status]:
        """Whether the run is over, and the status now; from any thread."""
        status = self._sampler.status
        sampling = self._sampler._sampling_now()
        return (not sampling and status.code not in (SST_WAITING, SST_SAMPLING)), status

    def closed_meanwhile(self) -> bool:
        """Whether the sampler was closed while the run went on."""
        return self._sampler._closing

    def _wait_for_end(self) -> Tuple[bool, Optional[Status]]:
        deadline = time.monotonic() + _END_WAIT
        while True:
            try:
                ended, status = self.poll()
            except ClosedError:
                # Closed by another thread: close() stopped and closed the
                # sampler before it let go, so the run is over.
                return True, None
            if ended or time.monotonic() > deadline:
                return ended, status
            time.sleep(0.02)

    def finish(self, stop: bool, quiet: bool = False) -> Optional[Status]:
        """Ends the run (Stop first when ``stop``) and closes the pipes; returns
        the final status (None when the sampler was closed meanwhile).

        ``quiet``: for an end on the way out of an exception, which must not
        be replaced; what went wrong stays in ``problems``. Idempotent.
        """
        if self.finished:
            return self.status
        if stop:
            try:
                self._sampler._stop_run()
            except ClosedError:
                pass  # close() has stopped it
            except Error as e:
                self.problems.append(str(e))
        ended, status = self._wait_for_end()
        if not ended:
            # The library may still write to the write ends: they stay open
            # (a few descriptors lost) rather than reach another file later.
            self._abandon.set()
            self.finished = True
            self.status = status
            self.problems.append("the run did not end; its pipes are left open")
            if quiet:
                return status
            raise RunError(self.problems[-1], None, "ending the run", status)
        self._unbind()
        for fd in self._write_fds:
            os.close(fd)
        self._write_fds = []
        if self._reader is not None:
            self._reader.join(_DRAIN_WAIT)
            if self._reader.is_alive():
                self.problems.append("a channel's pipe did not end after the run; its last bytes may be missing")
                self._abandon.set()
                self._reader.join()
        for fd in self._read_fds:
            os.close(fd)
        self._read_fds = []
        self.finished = True
        self.status = status
        return status

    def _unbind(self) -> None:
        # A bound descriptor number outlives our pipe: unbound, a later run
        # cannot write into whatever file gets that number next.
        for ptr in self._channel_ptrs:
            try:
                with self._sampler._lock:
                    hr = call(ptr, CHANNEL["Unbind"])
                if hr < 0:
                    self.problems.append(f"unbinding a channel failed: {_com.error_text()}")
            finally:
                release(ptr)
        self._channel_ptrs = []


def _annotate(error: BaseException, run: Run) -> None:
    # Problems met while ending a run on the way out of another exception.
    for problem in run.problems:
        if hasattr(error, "add_note"):
            error.add_note(f"while stopping the run: {problem}")


class Stream:
    """The chunks of a run while it goes on: iterating yields ``(channel,
    data)`` with ``data`` a non-empty ``bytes``, in the order each channel's
    bytes arrive, and ends when the run has ended and every byte is in.

    ``format``, ``rate`` and ``channels`` describe the data (see
    :func:`quelm.decode`). ``close()``, leaving a ``with`` block, a ``break``
    out of the loop (the stream is then dropped) or an exception, Ctrl-C
    included, stop the run and close its pipes; the sampler can run again. A
    run that ended with a failure status raises :class:`quelm.RunError` at
    the end of the iteration.
    """

    _END = object()

    def __init__(self, sampler: "Sampler") -> None:
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._done = False
        # The reader's callbacks hold the queue, not the stream: a stream
        # dropped after a break is freed (and stopped) at once, not by the
        # garbage collector some time later.
        q, end = self._queue, self._END
        self._run = Run(sampler, lambda c, data: q.put((c, data)), lambda: q.put(end))
        self._run.start()
        self.format = self._run.format
        self.rate = self._run.rate
        self.channels = self._run.channels

    @property
    def received(self) -> int:
        """Bytes received so far, over all channels."""
        return self._run.received

    @property
    def status(self) -> Optional[Status]:
        """The sampler's status at the end of the run; None before the end."""
        return self._run.status

    def __iter__(self) -> Iterator[Tuple[int, bytes]]:
        return self

    def __next__(self) -> Tuple[int, bytes]:
        if self._done:
            raise StopIteration
        try:
            item = self._next_item()
        except BaseException as e:  # Ctrl-C included: stop, then let it go on
            self._done = True
            self._run.finish(stop=True, quiet=True)
            _annotate(e, self._run)
            raise
        if item is not self._END:
            return item  # type: ignore[no-any-return]
        self._done = True
        status = self._run.finish(stop=False)
        if status is None or self._run.closed_meanwhile():
            raise ClosedError("the sampler was closed during the run", None, "streaming")
        if status.failed:
            raise RunError(status.text, None, "the run", status)
        raise StopIteration

    def _next_item(self) -> Any:
        while True:
            try:
                return self._queue.get(timeout=0.05)
            except queue.Empty:
                if not self._run.finished and self._run.poll()[0]:
                    self._run.finish(stop=False)  # the reader then sees every pipe end

    def close(self) -> None:
        """Stops the run if it still goes on and closes its pipes; what had not
        been taken from the stream is dropped."""
        self._done = True
        run = getattr(self, "_run", None)
        if run is not None and not run.finished:
            run.finish(stop=True)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


class Capture(list):  # type: ignore[type-arg]
    """The data of a whole run, one entry per channel: ``bytes``, or numpy
    ``uint8`` arrays when asked for.

    ``format`` (1: eight samples per byte; 5 or 4: 16-bit periods per level
    change), ``rate`` (samples, or timer periods, per second) and ``status``
    (at the end of the run) come along; ``decode()`` turns the data into
    levels or edges as :func:`quelm.decode` does.
    """

    format: int
    rate: int
    status: Optional[Status]

    def __init__(self, data: List[Any], format: int, rate: int, status: Optional[Status]) -> None:
        super().__init__(data)
        self.format = format
        self.rate = rate
        self.status = status

    def decode(self, **options: Any) -> List[Any]:
        """``quelm.decode(self, self.format, **options)``."""
        from ._decode import decode

        return decode(list(self), self.format, **options)
