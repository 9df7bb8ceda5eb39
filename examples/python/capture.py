#!/usr/bin/env python3
"""Captures a run through the quelm package and prints a summary: the device,
the settings, the bytes per channel and the level changes found in them.

    PYTHONPATH=build/python python3 examples/python/capture.py [PORT] [MODE] [SAMPLES]

PORT defaults to SIM (the built-in virtual sampler), MODE to sole, SAMPLES
to 8000 (timing runs last SAMPLES / 80000 s instead, 0.1 s by default).
"""

import sys

import quelm


def main() -> int:
    port = sys.argv[1] if len(sys.argv) > 1 else "SIM"
    mode = sys.argv[2] if len(sys.argv) > 2 else "sole"
    samples = int(sys.argv[3]) if len(sys.argv) > 3 else 8000
    try:
        with quelm.Sampler(port) as s:
            print(f"Hardware: {s.hardware_id}")
            s.mode = mode
            s.rate = max(r.value for r in s.rates)  # the fastest the line carries
            chosen = s.mode
            stop = {"time": samples / 80000} if chosen == quelm.Mode.TIMING else {"samples": samples}
            data = s.capture(**stop)
    except quelm.Error as e:
        print(f"capture.py: {e}", file=sys.stderr)
        return 1
    print(f"Mode {chosen.name.lower() if isinstance(chosen, quelm.Mode) else chosen}, "
          f"{data.rate}/s, format {data.format}, status {data.status.code} {data.status.text}")
    for channel, (raw, trace) in enumerate(zip(data, data.decode(edges=True))):
        seconds = trace.length / data.rate if data.rate > 0 else 0.0
        print(f"D{channel}: {len(raw)} bytes, {trace.length} samples ({seconds * 1000:.2f} ms), "
              f"starts {'high' if trace.initial else 'low'}, {len(trace.edges)} level changes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
