"""Whole runs through capture() and stream(): the data must be the device's
predictable stream, and every way out of a run (its end, a break, an
exception, Ctrl-C, a time-out, a failure) must stop it and close its pipes,
leaving a sampler that runs again."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import quelm
from conftest import expected_stream, fastest


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def interleave(channels):
    """The run's bytes in run order: byte k of the run is byte k // n of channel k % n."""
    out = bytearray()
    for i in range(max(len(c) for c in channels)):
        for c in channels:
            if i < len(c):
                out.append(c[i])
    return bytes(out)


# mode, rate, stop rule, (format, channels), bytes per channel (low, high)
MODES = [
    ("sole", 90909, {"samples": 6000}, (1, 1), (750, 750)),
    ("dual", 45871, {"samples": 3000}, (1, 2), (375, 375)),  # the last read's extra bytes are cut
    ("timing", 5000000, {"time": 0.15}, (5, 1), (400, 200000)),
    ("buffer", 100000, {}, (1, 1), (288, 288)),  # the device sends its 2304 samples and ends the run
]


@pytest.mark.parametrize("mode,rate,stop,shape,size", MODES, ids=[m[0] for m in MODES])
def test_every_mode_gives_the_devices_stream(sim, mode, rate, stop, shape, size):
    sim.mode = mode
    sim.rate = rate
    before = open_fds()
    data = sim.capture(**stop)
    assert (data.format, len(data)) == shape
    assert data.rate == rate and data.status.code == quelm.SST_READY
    assert all(isinstance(c, bytes) for c in data)
    assert all(size[0] <= len(c) <= size[1] for c in data), [len(c) for c in data]
    raw = interleave(data)
    assert raw == expected_stream(mode, len(raw))
    assert open_fds() == before, "the run's pipes are closed"
    assert not sim.is_sampling


def test_numpy_arrays_hold_the_same_bytes(sim):
    np = pytest.importorskip("numpy")
    fastest(sim, "dual")
    data = sim.capture(samples=800, numpy=True)
    assert all(isinstance(c, np.ndarray) and c.dtype == np.uint8 for c in data)
    assert interleave([c.tobytes() for c in data]) == expected_stream("dual", sum(c.size for c in data))


def test_numpy_missing_is_said_before_the_run(sim, monkeypatch):
    fastest(sim, "sole")
    monkeypatch.setitem(sys.modules, "numpy", None)  # what an interpreter without numpy does
    with pytest.raises(ImportError, match="numpy=True needs numpy"):
        sim.capture(samples=800, numpy=True)
    assert sim.status.code != quelm.SST_SAMPLING
    assert sim.capability(quelm.SCAP_STOP_ON_COUNT) is False, "nothing was set up"


def test_progress_counts_up_to_every_byte(sim):
    fastest(sim, "sole")
    calls = []
    data = sim.capture(samples=80000, progress=lambda n, status: calls.append((n, status)))
    counts = [n for n, _ in calls]
    assert counts == sorted(counts) and counts[-1] == len(data[0]) == 10000
    assert len(calls) > 5, "about 20 calls a second over a run of nearly a second"
    assert any(s.code == quelm.SST_SAMPLING for _, s in calls)
    assert calls[-1][1].code == quelm.SST_READY


def test_a_stream_delivers_the_run_chunk_by_chunk(sim):
    fastest(sim, "dual")
    chunks = {0: bytearray(), 1: bytearray()}
    with sim.stream(samples=8000) as stream:
        assert (stream.format, stream.channels, stream.rate) == (1, 2, 45871)
        for channel, data in stream:
            assert data
            chunks[channel] += data
    assert stream.status.code == quelm.SST_READY
    raw = interleave([chunks[0], chunks[1]])
    assert len(chunks[0]) >= 1000 and raw == expected_stream("dual", len(raw))


def test_a_break_out_of_a_stream_stops_the_run(sim):
    fastest(sim, "sole")
    before = open_fds()
    got = 0
    for _, data in sim.stream(time=30.0):
        got += 1
        if got == 3:
            break
    # The stream is gone with the loop: its run has stopped, its pipes are closed.
    assert not sim.is_sampling and sim.status.code == quelm.SST_READY
    assert open_fds() == before
    assert sim.capture(samples=800)[0] == expected_stream("sole", 100)


def test_ctrl_c_stops_the_run_cleanly_and_the_sampler_runs_again(sim):
    fastest(sim, "sole")
    before = open_fds()

    def interrupt(received, status):
        if received > 0:
            raise KeyboardInterrupt

    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        sim.capture(time=30.0, progress=interrupt)
    assert time.monotonic() - started < 10, "a 30 s run ends soon after Ctrl-C"
    assert not sim.is_sampling and not sim.status.failed
    assert open_fds() == before
    assert sim.capture(samples=800)[0] == expected_stream("sole", 100)


def test_a_real_ctrl_c_while_a_stream_waits_stops_it():
    with quelm.Sampler("SIM-IDLE") as s:  # waits for activity that never comes
        fastest(s, "sole")
        stream = s.stream(samples=800)
        ctrl_c = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        ctrl_c.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                next(stream)
        finally:
            ctrl_c.cancel()
        assert not s.is_sampling and s.status.code == quelm.SST_READY
        assert list(stream) == [], "a stopped stream yields nothing more"


def test_status_can_be_polled_from_another_thread_during_a_run(sim):
    fastest(sim, "sole")
    seen, errors = [], []
    done = threading.Event()

    def poll():
        while not done.is_set():
            try:
                seen.append((sim.status.code, sim.is_sampling))
            except Exception as e:  # noqa: BLE001 - any failure is the finding
                errors.append(e)

    poller = threading.Thread(target=poll)
    poller.start()
    try:
        data = sim.capture(samples=24000)
    finally:
        done.set()
        poller.join()
    assert not errors
    assert (quelm.SST_SAMPLING, True) in seen, "the poller ran while the run went on"
    assert data[0] == expected_stream("sole", 3000)


def test_closing_from_another_thread_ends_a_run_without_a_crash(sim):
    fastest(sim, "sole")
    before = open_fds()
    closer = []

    def close_once(received, status):
        if received > 0 and not closer:
            closer.append(threading.Thread(target=sim.close))
            closer[0].start()

    with pytest.raises(quelm.ClosedError):
        sim.capture(time=30.0, progress=close_once)
    closer[0].join()
    assert not sim.is_open and open_fds() == before

    sim.open()
    fastest(sim, "sole")
    closer.clear()
    with pytest.raises(quelm.ClosedError):
        for _ in sim.stream(time=30.0):
            close_once(1, None)
    closer[0].join()
    assert not sim.is_open and open_fds() == before


def test_a_run_that_does_not_end_is_stopped_at_its_timeout():
    with quelm.Sampler("SIM-IDLE") as s:  # its inputs never change: a run on activity never starts
        fastest(s, "sole")
        with pytest.raises(quelm.RunTimeout) as e:
            s.capture(samples=800, timeout=0.3)
        assert e.value.data == [b""] and isinstance(e.value, TimeoutError)
        assert not s.is_sampling and s.status.code == quelm.SST_READY


def test_a_failed_run_raises_with_what_arrived_and_reset_clears_it():
    with quelm.Sampler("SIM-NOISY") as s:  # a framing error after 1000 good bytes
        fastest(s, "sole")
        with pytest.raises(quelm.RunError) as e:
            s.capture(samples=80000)
        assert e.value.status.code == quelm.SST_RUN_FAILED
        assert "framing error" in e.value.status.text
        data = e.value.data[0]
        assert len(data) >= 1000 and data[:1000] == expected_stream("sole", 1000)
        assert s.status.failed
        assert "framing error" in s.reset()
        assert s.status.code == quelm.SST_READY


def test_a_failed_start_is_a_run_error():
    with quelm.Sampler("SIM") as s:
        fastest(s, "sole")
        s.stop_after(samples=-8)  # the library checks stop values at Start
        with pytest.raises(quelm.RunError) as e:
            s.capture()
        assert e.value.hresult < 0 and "-8" in e.value.text
        assert e.value.status.code == quelm.SST_COMMAND_FAILED


def test_no_pipe_end_of_a_run_is_descriptor_0():
    # With standard input closed, os.pipe() hands out descriptor 0, which the
    # library would read as "unbound" for a channel.
    script = (
        "import os, quelm\n"
        "os.close(0)\n"
        "seen = set()\n"
        "def look(received, status):\n"
        "    try:\n"
        "        seen.add(os.readlink('/proc/self/fd/0'))\n"
        "    except OSError:\n"
        "        seen.add('closed')\n"
        "with quelm.Sampler('SIM') as s:\n"
        "    s.mode = 'dual'; s.rate = 45871\n"
        "    data = s.capture(samples=800, progress=look)\n"
        "print(sorted(seen), data[0].hex(), data[1].hex())\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    seen, first, second = done.stdout.rsplit(" ", 2)
    assert "pipe:" not in seen, "no pipe of the run sits on descriptor 0"
    assert interleave([bytes.fromhex(first), bytes.fromhex(second)]) == expected_stream("dual", 200)
