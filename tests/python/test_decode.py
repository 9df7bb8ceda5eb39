"""decode(): the data format of a run, against bytes whose meaning is known
and against the device's own stream."""

import pytest

import quelm
from conftest import expected_stream, fastest


def pack(levels, msb=True):
    """Levels back into bytes, eight a byte: the reverse of format 1, written apart from the package."""
    out = bytearray()
    for i in range(0, len(levels), 8):
        byte = 0
        for k, v in enumerate(levels[i : i + 8]):
            byte |= v << (7 - k if msb else k)
        out.append(byte)
    return bytes(out)


def counts(edges, low_first=True):
    """Edge times back into 16-bit counts (0 for 65536 periods without a change)."""
    out, last = bytearray(), 0
    for t in edges:
        gap = t - last
        while gap > 65535:
            out += b"\0\0"
            gap -= 65536
        out += gap.to_bytes(2, "little" if low_first else "big")
        last = t
    return bytes(out)


def test_packed_samples_as_the_data_format_describes():
    # Sole channel: four low samples, twelve high, eight low.
    data = bytes([0x0F, 0xFF, 0x00])
    assert quelm.decode(data, 1) == [[0] * 4 + [1] * 12 + [0] * 8]
    assert quelm.decode(data, 1, edges=True) == [quelm.Edges(0, [4, 16], 24)]
    assert quelm.decode(bytes([0x0F]), 1, bit_order="lsb") == [[1, 1, 1, 1, 0, 0, 0, 0]]
    assert quelm.decode(bytes([0xFF, 0x80]), 1, edges=True) == [quelm.Edges(1, [9], 16)]
    assert quelm.decode(b"", 1, edges=True) == [quelm.Edges(0, [], 0)]


def test_byte_k_belongs_to_channel_k_mod_n():
    run = bytes([0xF0, 0x00, 0xFF, 0x01])  # channel 0: F0 FF, channel 1: 00 01
    per_channel = quelm.decode(run, 1, channels=2, edges=True)
    assert per_channel == [quelm.Edges(1, [4, 8], 16), quelm.Edges(0, [15], 16)]
    assert quelm.decode([run[0::2], run[1::2]], 1, edges=True) == per_channel
    with pytest.raises(ValueError):
        quelm.decode([run[0::2], run[1::2]], 1, channels=3)


def test_timing_counts_as_the_data_format_describes():
    # Byte order 1234: changes at period 256 and at 256 + 65536 + 2.
    data = bytes([0x00, 0x01, 0x00, 0x00, 0x02, 0x00])
    assert quelm.decode(data, 5, edges=True) == [quelm.Edges(0, [256, 65794], 65795)]
    assert quelm.decode(bytes([0x01, 0x00, 0x00, 0x00, 0x00, 0x02]), 5, byte_order=4321, edges=True) == [
        quelm.Edges(0, [256, 65794], 65795)
    ]
    assert quelm.decode(data + b"\x07", 4, edges=True) == [quelm.Edges(0, [256, 65794], 65795)], "odd byte left out"
    levels = quelm.decode(bytes([0x03, 0x00, 0x02, 0x00]), 5, initial_level=1)[0]
    assert levels == [1, 1, 1, 0, 0, 1]
    assert quelm.decode(b"\0\0", 5, edges=True) == [quelm.Edges(0, [], 65537)]


def test_refuses_what_it_cannot_decode():
    for bad in (
        lambda: quelm.decode(b"\0", 3),
        lambda: quelm.decode(b"\0\0", 5, channels=2),
        lambda: quelm.decode(b"\0", 1, bit_order="big"),
        lambda: quelm.decode(b"\0\0", 5, byte_order=1243),
        lambda: quelm.decode(b"\0", 1, channels=0),
        # An idle input's counts would expand to 131 million levels.
        lambda: quelm.decode(b"\0\0" * 2000, 5),
    ):
        with pytest.raises(ValueError):
            bad()
    assert quelm.decode(b"\0\0" * 2000, 5, edges=True)[0].length == 2000 * 65536 + 1
    with pytest.raises(TypeError):
        quelm.decode([0x0F, 0xFF], 1)  # ints, not bytes


def test_the_devices_stream_decodes_and_packs_back():
    run = expected_stream("dual", 4000)
    levels = quelm.decode(run, 1, channels=2)
    assert [len(c) for c in levels] == [16000, 16000]
    assert [pack(c) for c in levels] == [run[0::2], run[1::2]]
    for c, e in enumerate(quelm.decode(run, 1, channels=2, edges=True)):
        assert len(e.edges) > 10, "the default signal is a pulse train"
        assert all(levels[c][i] != levels[c][i - 1] for i in e.edges)
        assert sum(levels[c][i] != levels[c][i - 1] for i in range(1, e.length)) == len(e.edges)

    timing = expected_stream("timing", 4000)
    e = quelm.decode(timing, 5, edges=True)[0]
    assert counts(e.edges) == timing and e.length == e.edges[-1] + 1


def test_numpy_decodes_as_the_lists_do():
    np = pytest.importorskip("numpy")
    run = expected_stream("dual", 2000)
    for edges in (False, True):
        plain = quelm.decode(run, 1, channels=2, edges=edges, bit_order="lsb")
        arrays = quelm.decode(np.frombuffer(run, dtype=np.uint8), 1, channels=2, edges=edges, bit_order="lsb", numpy=True)
        if edges:
            assert [(e.initial, list(e.edges), e.length) for e in arrays] == [tuple(e) for e in plain]
        else:
            assert [a.dtype for a in arrays] == [np.uint8, np.uint8]
            assert [a.tolist() for a in arrays] == plain
    timing = expected_stream("timing", 2000) + b"\x05"
    assert quelm.decode(timing, 5, initial_level=1, numpy=True)[0].tolist() == quelm.decode(timing, 5, initial_level=1)[0]
    e = quelm.decode(timing, 5, edges=True, numpy=True)[0]
    assert list(e.edges) == quelm.decode(timing, 5, edges=True)[0].edges
    with pytest.raises(TypeError):
        quelm.decode(np.zeros(4, dtype=np.int16), 1)


def test_a_capture_decodes_itself(sim):
    fastest(sim, "timing")
    data = sim.capture(time=0.05)
    assert data.decode(edges=True) == quelm.decode(list(data), 5, edges=True)
    assert data.decode(edges=True)[0].edges[:5] == quelm.decode(expected_stream("timing", 10), 5, edges=True)[0].edges
