"""Fixtures of the Python package's tests: the build tree, an open virtual
sampler, and the stream the device model sends for a run."""

import os
import subprocess
from pathlib import Path

import pytest

import quelm

SOURCE = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QUELM_BUILD", SOURCE / "build"))

# What SIM does in each mode at the rate the tests choose; every mode starts on
# activity (the device's default). (stream mode, divisor, buffer samples)
SIM_STREAMS = {
    "sole": ("sole", 54, 0),  # 5 MHz / 55 = 90909/s, the fastest the line carries
    "dual": ("dual", 108, 0),  # 45871/s
    "timing": ("timing", 0, 0),  # one count per 200 ns timer period
    "buffer": ("buffer", 49, 2304),  # 100000/s, 2304 samples
}


def expected_stream(mode: str, count: int, on_activity: bool = True, divisor: int = -1) -> bytes:
    """The first ``count`` bytes SIM sends in a run of ``mode`` (fewer when the run ends sooner)."""
    helper = os.environ.get("QUELM_EXPECTED_STREAM", str(BUILD / "tests" / "quelm_expected_stream"))
    if not os.access(helper, os.X_OK):
        pytest.fail(f"{helper} is missing: build the quelm_expected_stream target")
    kind, default_divisor, buffer = SIM_STREAMS[mode]
    args = [helper, kind, str(default_divisor if divisor < 0 else divisor), "1" if on_activity else "0", str(count)]
    if buffer:
        args.append(str(buffer))
    return subprocess.run(args, check=True, capture_output=True, timeout=60).stdout


@pytest.fixture
def sim():
    """SIM, open; closed after the test whatever happened."""
    s = quelm.Sampler("SIM")
    s.open()
    yield s
    s.close()


def fastest(sampler: quelm.Sampler, mode) -> int:
    """Sets ``mode`` and its fastest rate; returns the rate."""
    sampler.mode = mode
    rate = max(r.value for r in sampler.rates)
    sampler.rate = rate
    return rate
