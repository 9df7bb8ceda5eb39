#!/usr/bin/env python3
"""Captures two channels through the quelm package and plots them to a PNG
with matplotlib (no window: the Agg backend draws to the file).

    PYTHONPATH=build/python python3 examples/python/plot.py [OUTPUT.png] [PORT]

Without matplotlib it says so and exits with 0.
"""

import sys

import quelm


def main() -> int:
    output = sys.argv[1] if len(sys.argv) > 1 else "capture.png"
    port = sys.argv[2] if len(sys.argv) > 2 else "SIM"
    try:
        import matplotlib
    except ImportError:
        print("plot.py: matplotlib is not installed (Debian: apt install python3-matplotlib); nothing plotted")
        return 0
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    try:
        with quelm.Sampler(port) as s:
            s.mode = "dual"
            s.rate = max(r.value for r in s.rates)
            data = s.capture(samples=4000)
    except quelm.Error as e:
        print(f"plot.py: {e}", file=sys.stderr)
        return 1
    levels = data.decode()
    shown = min(len(levels[0]), data.rate // 100)  # the first 10 ms: single pulses stay visible
    figure, axes = plt.subplots(len(levels), 1, sharex=True, figsize=(10, 1.2 + 1.2 * len(levels)))
    for channel, (ax, trace) in enumerate(zip(axes, levels)):
        times = [i / data.rate * 1000 for i in range(shown)]
        ax.step(times, trace[:shown], where="post", linewidth=0.8)
        ax.set_ylim(-0.2, 1.2)
        ax.set_yticks([0, 1])
        ax.set_ylabel(f"D{channel}")
    axes[-1].set_xlabel("time (ms)")
    figure.suptitle(f"{port}, dual channel at {data.rate}/s, the first {shown / data.rate * 1000:.0f} ms")
    figure.tight_layout()
    figure.savefig(output, dpi=100)
    print(f"plot.py: {sum(len(t) for t in levels)} samples on {len(levels)} channels -> {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
