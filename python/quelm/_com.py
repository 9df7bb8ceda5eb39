"""QUELM1.SAM through ctypes: loading it, calling interface methods through
their vtables, BSTR texts and the thread's error info.

Every foreign call goes through a CFUNCTYPE prototype, and ctypes releases the
GIL for the length of such a call. Other Python threads (the pipe readers of a
run, a thread polling the status) therefore keep running while a call such as
Open or Stop waits on the serial line; the package relies on that.
"""

from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, byref, c_int16, c_int32, c_uint32, c_void_p
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from ._errors import ClosedError, Error, LibraryError

HRESULT = c_int32
LONG = c_int32
ULONG = c_uint32
VARIANT_BOOL = c_int16
VARIANT_TRUE = -1
VARIANT_FALSE = 0
PTR_OUT = POINTER(c_void_p)  # BSTR* and Interface** alike

LONG_MIN = -(2**31)
LONG_MAX = 2**31 - 1


class ItemInfo(ctypes.Structure):
    """SAMPLERCAPABILITYINFO: a mode, rate, capability or connection."""

    _fields_ = [("Name", c_void_p), ("Id", LONG), ("Value", LONG), ("Flags", LONG), ("Group", LONG)]


class DiagnosticInfo(ctypes.Structure):
    """SAMPLERDIAGNOTORINFO: a diagnostic test."""

    _fields_ = [("Name", c_void_p), ("Description", c_void_p), ("Id", LONG), ("Flags", LONG)]


# Hosts read the enumerators' arrays with this stride; a layout that drifted
# would read names from the wrong bytes, so refuse to start at all.
assert ctypes.sizeof(ItemInfo) == 24 and ctypes.sizeof(DiagnosticInfo) == 24

Method = Tuple[int, Tuple[Any, ...]]

# Slots 0-2 are IUnknown, 3-6 IDispatch; the methods follow as QUELM_TLB.h
# declares them.
SAMPLER: Dict[str, Method] = {
    "GetDescription": (7, (PTR_OUT,)),
    "GetConfigurations": (8, (PTR_OUT,)),
    "Open": (9, (c_void_p,)),
    "GetHardwareId": (10, (PTR_OUT,)),
    "GetModes": (11, (PTR_OUT,)),
    "GetCapabilities": (12, (PTR_OUT,)),
    "SetMode": (13, (LONG,)),
    "GetMode": (14, (POINTER(LONG),)),
    "SetCapabilityBool": (15, (LONG, VARIANT_BOOL)),
    "GetCapabilityBool": (16, (LONG, POINTER(VARIANT_BOOL))),
    "SetCapabilityLong": (17, (LONG, LONG)),
    "GetCapabilityLong": (18, (LONG, POINTER(LONG))),
    "SetCapabilityString": (19, (LONG, c_void_p)),
    "GetCapabilityString": (20, (LONG, PTR_OUT)),
    "GetChannels": (21, (PTR_OUT,)),
    "GetRates": (22, (PTR_OUT,)),
    "GetRate": (23, (POINTER(LONG),)),
    "SetRate": (24, (LONG,)),
    "Start": (25, ()),
    "Stop": (26, ()),
    "IsSampling": (27, (POINTER(VARIANT_BOOL),)),
    "GetStatus": (28, (PTR_OUT, POINTER(LONG))),
    "Close": (29, ()),
    "IsOpen": (30, (POINTER(VARIANT_BOOL),)),
    "IsCapabilityAvailable": (31, (LONG, POINTER(VARIANT_BOOL))),
    "GetDiagnotors": (32, (PTR_OUT,)),
    "RunDiagnotor": (33, (LONG, PTR_OUT, POINTER(LONG))),
    "Reset": (34, (PTR_OUT,)),
    "GetVersion": (35, (POINTER(LONG),)),
}

CHANNEL: Dict[str, Method] = {
    "Bind": (7, (LONG, VARIANT_BOOL)),
    "Unbind": (8, ()),
    "GetFormat": (10, (POINTER(LONG),)),
    "GetRate": (11, (POINTER(LONG),)),
    "GetExpectedSize": (12, (POINTER(LONG),)),
}

CHANNELS: Dict[str, Method] = {
    "GetCount": (10, (POINTER(LONG),)),
    "Item": (11, (LONG, PTR_OUT)),
}

# IEnumSamplerItems and IEnumDiagnotors share their slots; only the record differs.
ITEMS: Dict[str, Method] = {
    "Next": (7, (ULONG, POINTER(ItemInfo), POINTER(ULONG))),
    "Reset": (10, ()),
}
DIAGNOSTICS: Dict[str, Method] = {
    "Next": (7, (ULONG, POINTER(DiagnosticInfo), POINTER(ULONG))),
    "Reset": (10, ()),
}

_ERRORINFO_GET_DESCRIPTION: Method = (5, (PTR_OUT,))

_prototypes: Dict[Tuple[Any, ...], Any] = {}
_RELEASE = ctypes.CFUNCTYPE(ULONG, c_void_p)  # IUnknown slots 1 and 2


def _prototype(argtypes: Tuple[Any, ...]) -> Any:
    proto = _prototypes.get(argtypes)
    if proto is None:
        proto = _prototypes[argtypes] = ctypes.CFUNCTYPE(HRESULT, c_void_p, *argtypes)
    return proto


def _slot(ptr: int, slot: int) -> int:
    vtable = ctypes.cast(ptr, POINTER(c_void_p))[0]
    address: int = ctypes.cast(vtable, POINTER(c_void_p))[slot]
    return address


def call(ptr: int, method: Method, *args: Any) -> int:
    """Calls a method of the interface at ``ptr``; returns its HRESULT."""
    slot, argtypes = method
    hr: int = _prototype(argtypes)(_slot(ptr, slot))(ptr, *args)
    return hr


def add_ref(ptr: int) -> None:
    _RELEASE(_slot(ptr, 1))(ptr)


def release(ptr: int) -> None:
    _RELEASE(_slot(ptr, 2))(ptr)


class _Runtime:
    """The loaded library and the runtime functions reached through it."""

    def __init__(self, path: str) -> None:
        try:
            # RTLD_GLOBAL: the library and this host share one runtime, so one
            # error info per thread (README, "How a host uses the library").
            self.dll = ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_GLOBAL)
            self.get_sampler = self.dll.DllGetSamplerObject
            # The runtime's functions are found through the library's own dependencies.
            self.alloc = self.dll.SysAllocStringLen
            self.length = self.dll.SysStringLen
            self.free = self.dll.SysFreeString
            self.get_error_info = self.dll.GetErrorInfo
            self.set_error_info = self.dll.SetErrorInfo
        except (OSError, AttributeError) as e:
            raise LibraryError(f"cannot load {path}: {e}", context="loading the sampler library") from None
        self.path = path
        self.get_sampler.argtypes = [PTR_OUT]
        self.get_sampler.restype = None
        self.alloc.argtypes = [c_void_p, c_uint32]
        self.alloc.restype = c_void_p
        self.length.argtypes = [c_void_p]
        self.length.restype = c_uint32
        self.free.argtypes = [c_void_p]
        self.free.restype = None
        self.get_error_info.argtypes = [ULONG, PTR_OUT]
        self.get_error_info.restype = HRESULT
        self.set_error_info.argtypes = [ULONG, c_void_p]
        self.set_error_info.restype = HRESULT


_runtime: Optional[_Runtime] = None
_runtime_lock = threading.Lock()


def library_path() -> str:
    """The QUELM1.SAM to load: $QUELM_LIBRARY, else the one this package was built or installed with."""
    path = os.environ.get("QUELM_LIBRARY")
    if path:
        return path
    try:
        from . import _paths
    except ImportError:
        raise LibraryError(
            "this copy of the package does not know where QUELM1.SAM is; set QUELM_LIBRARY to its path",
            context="loading the sampler library",
        ) from None
    return str(_paths.LIBRARY)


def runtime() -> _Runtime:
    """The library, loaded on first use and kept for the life of the process."""
    global _runtime
    with _runtime_lock:
        if _runtime is None:
            _runtime = _Runtime(library_path())
        return _runtime


def to_bstr(text: Union[str, bytes]) -> int:
    """A new BSTR of ``text``; each byte of the library's 8-bit text is one character."""
    raw = text if isinstance(text, bytes) else text.encode("latin-1")
    wide = raw.decode("latin-1").encode("utf-16-le")
    buffer = ctypes.create_string_buffer(wide, len(wide) + 2)
    ptr: Optional[int] = runtime().alloc(buffer, len(raw))
    if not ptr:
        raise MemoryError("SysAllocStringLen")
    return ptr


def free_bstr(ptr: Optional[int]) -> None:
    if ptr:
        runtime().free(ptr)


def take_bstr(ptr: Optional[int]) -> str:
    """The text of a BSTR the library handed over, which is freed.

    Line ends come back as Python writes them ("\\n", not "\\r\\n").
    """
    if not ptr:
        return ""
    rt = runtime()
    try:
        n = rt.length(ptr)
        text = ctypes.string_at(ptr, 2 * n).decode("utf-16-le", errors="replace")
    finally:
        rt.free(ptr)
    return text.replace("\r\n", "\n")


def clear_error_info() -> None:
    """Drops error info a former failure left on this thread, so a failing
    call that sets none is not blamed on an old text."""
    runtime().set_error_info(0, None)


def error_text() -> str:
    """The description of the error info the last failed call left on this thread."""
    info = c_void_p()
    if runtime().get_error_info(0, byref(info)) != 0 or not info.value:
        return ""
    try:
        description = c_void_p()
        if call(info.value, _ERRORINFO_GET_DESCRIPTION, byref(description)) < 0:
            return ""
        return take_bstr(description.value)
    finally:
        release(info.value)


def check(hr: int, context: str, error: type = Error) -> None:
    """Raises ``error`` with the library's text when ``hr`` is a failure."""
    if hr < 0:
        text = error_text() or f"the call failed with HRESULT 0x{hr & 0xFFFFFFFF:08X}"
        raise error(text, hr, context)


def new_sampler() -> int:
    """A new sampler object (its one reference belongs to the caller)."""
    rt = runtime()
    clear_error_info()
    ptr = c_void_p()
    rt.get_sampler(byref(ptr))
    if not ptr.value:
        raise LibraryError(error_text() or "DllGetSamplerObject gave no sampler", context="creating a sampler")
    sampler: int = ptr.value
    return sampler


class Handle:
    """One reference to a library object, dropped once; borrowers that hold
    an extra reference keep the object alive while they call it."""

    def __init__(self, ptr: int) -> None:
        self._ptr: Optional[int] = ptr
        self._lock = threading.Lock()

    @property
    def ptr(self) -> Optional[int]:
        return self._ptr

    def borrow(self) -> int:
        """An extra reference for a call from any thread; give it back with :func:`release`."""
        with self._lock:
            if self._ptr is None:
                raise ClosedError("the sampler is closed")
            add_ref(self._ptr)
            return self._ptr

    def drop(self) -> None:
        """Gives the reference up; later calls raise ClosedError. Idempotent."""
        with self._lock:
            ptr, self._ptr = self._ptr, None
        if ptr is not None:
            release(ptr)


def interface(out: c_void_p, what: str) -> int:
    """The interface a successful call stored in ``out``; a null one is an
    error here rather than a crash at the next call through it."""
    if not out.value:
        raise Error("the library handed out no object", None, what)
    ptr: int = out.value
    return ptr


def read_items(enum_ptr: int, methods: Dict[str, Method] = ITEMS) -> Sequence[Tuple[Any, ...]]:
    """Every record of an item enumerator, from its start; names freed, the enumerator released."""
    records: List[Tuple[Any, ...]] = []
    try:
        call(enum_ptr, methods["Reset"])  # a shared enumerator may stand anywhere
        record_type = DiagnosticInfo if methods is DIAGNOSTICS else ItemInfo
        record = record_type()
        fetched = ULONG()
        while call(enum_ptr, methods["Next"], 1, byref(record), byref(fetched)) >= 0 and fetched.value == 1:
            if record_type is ItemInfo:
                records.append((take_bstr(record.Name), record.Id, record.Value, record.Flags, record.Group))
            else:
                name = take_bstr(record.Name)
                records.append((name, take_bstr(record.Description), record.Id, record.Flags))
            record = record_type()
    finally:
        release(enum_ptr)
    return records
