"""The package's exceptions: one family, each carrying the failed call's
HRESULT and the library's own text."""

from __future__ import annotations

from typing import Any, List, Optional


class Error(Exception):
    """A failure of the sampler library, or a use of the package it cannot serve.

    ``hresult`` is the failed call's HRESULT as a signed 32-bit int (for
    example -2147467259 for E_FAIL); it is None where no call failed: a run
    that ended with a failure status, or a sampler already closed. A port
    where nothing known answered gives Open's own success code. ``text`` is the library's description
    from GetErrorInfo (for example "E07 - Capability 110 is not available in
    this mode"); ``context`` names what was being done. ``str(error)`` is
    ``"context: text"``.
    """

    def __init__(self, text: str, hresult: Optional[int] = None, context: str = "") -> None:
        super().__init__(text)
        self.text = text
        self.hresult = hresult
        self.context = context

    def __str__(self) -> str:
        return f"{self.context}: {self.text}" if self.context else self.text


class LibraryError(Error):
    """QUELM1.SAM could not be loaded, or gave no sampler object."""


class PortError(Error):
    """A port could not be opened, or no known sampler answered on it.

    ``status`` is the sampler's status after the attempt (a :class:`Status`),
    when there was one.
    """

    def __init__(self, text: str, hresult: Optional[int] = None, context: str = "", status: Any = None) -> None:
        super().__init__(text, hresult, context)
        self.status = status


class ConfigError(Error):
    """The sampler refused a setting: a mode, a rate, a capability or its value."""


class RunError(Error):
    """A run could not start, or ended with a failure (status 3840 to 3842).

    ``status`` is the sampler's :class:`Status` at the end; ``data`` holds
    what arrived before the failure, per channel as ``bytes`` (empty when the
    run never started).
    """

    def __init__(
        self,
        text: str,
        hresult: Optional[int] = None,
        context: str = "",
        status: Any = None,
        data: Optional[List[Any]] = None,
    ) -> None:
        super().__init__(text, hresult, context)
        self.status = status
        self.data = data if data is not None else []


class RunTimeout(RunError, TimeoutError):
    """A capture did not end by itself within its ``timeout``; it was stopped.

    ``data`` holds what arrived until then.
    """


class ClosedError(Error):
    """The sampler has been closed: its library object is gone."""
