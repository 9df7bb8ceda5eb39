"""From the bytes of a run to levels or edges per channel, by the channel's
format code, as docs/DATA.md gives the data format."""

from __future__ import annotations

import array
import sys
from itertools import chain
from typing import Any, List, NamedTuple, Optional, Sequence, Union

__all__ = ["Edges", "decode"]

# Expanding a timing run gives one level per timer period; an idle input
# streams 65536 periods per count, so the expansion is capped.
MAX_LEVELS = 1 << 26

_BITS_MSB = [tuple((b >> (7 - k)) & 1 for k in range(8)) for b in range(256)]
_BITS_LSB = [tuple((b >> k) & 1 for k in range(8)) for b in range(256)]


class Edges(NamedTuple):
    """One channel as its level changes: the level of the first sample
    (``initial``, 0 or 1), the index of each sample (format 1) or timer
    period (formats 4 and 5) that starts a new level (``edges``, rising),
    and how many samples or periods the channel covers (``length``)."""

    initial: int
    edges: Any  # list of int, or a numpy int64 array
    length: int


def _bytes_of(data: Any) -> bytes:
    if isinstance(data, bytes):
        return data
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"run data are bytes-like (bytes, bytearray, a uint8 array), not {type(data).__name__}") from None
    if view.itemsize != 1:
        raise TypeError(f"run data are single bytes; this buffer has items of {view.itemsize} bytes")
    return view.tobytes()


def _channels_of(data: Any, format: int, channels: Optional[int]) -> List[bytes]:
    if isinstance(data, (list, tuple)):
        if channels is not None and channels != len(data):
            raise ValueError(f"channels={channels} but the data have {len(data)} channels")
        return [_bytes_of(d) for d in data]
    raw = _bytes_of(data)
    n = 1 if channels is None else channels
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError(f"channels is a count of 1 or more, not {channels!r}")
    if format != 1 and n != 1:
        raise ValueError(f"format {format} carries one channel, not {n}")
    # Byte k of the run belongs to channel k mod n.
    return [raw[c::n] for c in range(n)]


def _packed_edges(raw: bytes, bits: Sequence[Sequence[int]]) -> Edges:
    if not raw:
        return Edges(0, [], 0)
    initial = level = bits[raw[0]][0]
    edges: List[int] = []
    steady = (0x00, 0xFF)
    for i, b in enumerate(raw):
        if b == steady[level]:
            continue  # eight samples at the current level
        for k, v in enumerate(bits[b]):
            if v != level:
                edges.append(8 * i + k)
                level = v
    return Edges(initial, edges, 8 * len(raw))


def _timing_counts(raw: bytes, low_byte_first: bool) -> "array.array[int]":
    counts = array.array("H", raw[: len(raw) // 2 * 2])  # an odd last byte carries no change
    if low_byte_first != (sys.byteorder == "little"):
        counts.byteswap()
    return counts


def _timing_edges(raw: bytes, low_byte_first: bool, initial: int) -> Edges:
    t = 0
    edges: List[int] = []
    counts = _timing_counts(raw, low_byte_first)
    for c in counts:
        if c == 0:
            t += 65536  # a full counter without a change; counting goes on
        else:
            t += c
            edges.append(t)
    # The run covers its last change (or last full count) itself.
    return Edges(initial, edges, t + 1 if counts else 0)


def _levels_from_edges(e: Edges) -> List[int]:
    if e.length > MAX_LEVELS:
        raise ValueError(f"the levels would be {e.length} entries; decode with edges=True instead")
    out: List[int] = []
    level, previous = e.initial, 0
    for edge in e.edges:
        out.extend([level] * (edge - previous))
        level ^= 1
        previous = edge
    out.extend([level] * (e.length - previous))
    return out


def _decode_numpy(chans: List[bytes], format: int, msb: bool, low: bool, initial: int, edges: bool) -> List[Any]:
    import numpy as np

    result: List[Any] = []
    for raw in chans:
        if format == 1:
            levels = np.unpackbits(np.frombuffer(raw, dtype=np.uint8), bitorder="big" if msb else "little")
            if not edges:
                result.append(levels)
                continue
            changes = np.flatnonzero(np.diff(levels)) + 1
            result.append(Edges(int(levels[0]) if levels.size else 0, changes.astype(np.int64), int(levels.size)))
            continue
        counts = np.frombuffer(raw[: len(raw) // 2 * 2], dtype="<u2" if low else ">u2").astype(np.int64)
        times = np.cumsum(np.where(counts == 0, 65536, counts))
        e = Edges(initial, times[counts != 0], int(times[-1]) + 1 if counts.size else 0)
        if edges:
            result.append(e)
            continue
        if e.length > MAX_LEVELS:
            raise ValueError(f"the levels would be {e.length} entries; decode with edges=True instead")
        toggles = np.zeros(e.length, dtype=np.uint8)
        toggles[e.edges] = 1
        result.append(np.bitwise_xor.accumulate(toggles) ^ np.uint8(initial))
    return result


def decode(
    data: Union[bytes, bytearray, memoryview, Sequence[Any], Any],
    format: int = 1,
    *,
    channels: Optional[int] = None,
    bit_order: str = "msb",
    byte_order: int = 1234,
    initial_level: int = 0,
    edges: bool = False,
    numpy: bool = False,
) -> List[Any]:
    """Decodes a run's data into levels (or edges) per channel.

    ``data`` is either the run's bytes in run order (byte k of the run is
    byte k here; with ``channels=n`` byte k belongs to channel k mod n), or
    a list with each channel's bytes (what ``Sampler.capture`` returns).
    ``format`` is the channel format code:

    - 1: eight samples per byte, the earliest in bit 7 (``bit_order='lsb'``
      for a device that packs the other way). A channel's levels are one 0
      or 1 per sample.
    - 5 (and 4, which works as 5): 16-bit counts of timer periods per level
      change, low byte first for ``byte_order=1234``, high byte first for
      4321 and 2143. A count of 0 stands for 65536 periods without a
      change. The stream does not say the level it started at:
      ``initial_level`` (default 0, low) does, and every change toggles it.
      An odd last byte (a run cut inside a count) is left out. The levels
      are one per timer period, from the start of the run to the last
      change (or last full count) included.

    Returns a list with one entry per channel: a list of 0/1 levels (a
    numpy ``uint8`` array with ``numpy=True``), or with ``edges=True`` an
    :class:`Edges` ``(initial, edges, length)``, where ``edges`` holds the
    index of each sample or period at which the level changes.

    Raises ValueError for an unknown format or option, TypeError for data
    that are not bytes; levels of a timing run longer than 2**26 periods
    need ``edges=True``.
    """
    if isinstance(format, bool) or not isinstance(format, int) or format not in (1, 4, 5):
        raise ValueError(f"format {format!r} has no decoder: 1 (packed samples), 4 or 5 (timing)")
    if bit_order not in ("msb", "lsb"):
        raise ValueError(f"bit_order is 'msb' (earliest sample in bit 7) or 'lsb', not {bit_order!r}")
    if byte_order not in (1234, 4321, 2143):
        raise ValueError(f"byte_order is 1234, 4321 or 2143, not {byte_order!r}")
    if initial_level not in (0, 1):
        raise ValueError(f"initial_level is 0 or 1, not {initial_level!r}")
    chans = _channels_of(data, format, channels)
    msb, low, initial = bit_order == "msb", byte_order == 1234, int(initial_level)
    if numpy:
        try:
            import numpy as _np  # noqa: F401
        except ImportError:
            raise ImportError("numpy=True needs numpy (Debian: apt install python3-numpy; or pip install numpy)") from None
        return _decode_numpy(chans, format, msb, low, initial, edges)
    result: List[Any] = []
    for raw in chans:
        if format == 1:
            bits = _BITS_MSB if msb else _BITS_LSB
            result.append(_packed_edges(raw, bits) if edges else list(chain.from_iterable(map(bits.__getitem__, raw))))
        else:
            e = _timing_edges(raw, low, initial)
            result.append(e if edges else _levels_from_edges(e))
    return result
