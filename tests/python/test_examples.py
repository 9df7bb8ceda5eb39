"""The example scripts run as a user runs them."""

import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import quelm
from conftest import SOURCE, expected_stream

EXAMPLES = SOURCE / "examples" / "python"


def run(name, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, timeout=120)


def test_capture_prints_a_summary_of_the_run():
    done = run("capture.py")
    assert done.returncode == 0, done.stderr
    changes = len(quelm.decode(expected_stream("sole", 1000), edges=True)[0].edges)
    assert "Hardware: QUELM1 pulse sampler v2.1 (virtual)" in done.stdout
    assert "Mode sole, 90909/s, format 1, status 512 Ready to start sampling" in done.stdout
    assert f"D0: 1000 bytes, 8000 samples (88.00 ms), starts high, {changes} level changes" in done.stdout

    failed = run("capture.py", "NO-SUCH-PORT")
    assert failed.returncode == 1 and "opening NO-SUCH-PORT" in failed.stderr


def test_plot_writes_a_png(tmp_path):
    png = tmp_path / "run.png"
    done = run("plot.py", str(png))
    assert done.returncode == 0, done.stderr
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "matplotlib is not installed" in done.stdout and not png.exists()
        return
    assert "8000 samples on 2 channels" in done.stdout
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 5000


def test_plot_without_matplotlib_says_so(tmp_path, monkeypatch, capsys):
    png = tmp_path / "run.png"
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setattr(sys, "argv", ["plot.py", str(png)])
    with pytest.raises(SystemExit) as e:
        runpy.run_path(str(EXAMPLES / "plot.py"), run_name="__main__")
    assert e.value.code == 0
    assert "matplotlib is not installed" in capsys.readouterr().out and not png.exists()
