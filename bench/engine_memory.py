"""Peak memory of `quorvel.denoise` beyond its input, in float32 images.

Run by hand::

    nice .venv/bin/python bench/engine_memory.py

Each case runs in a fresh process: the input is made (uint16 camera-like
data, as read from a file), the peak resident size is reset
(``/proc/self/clear_refs``), `quorvel.denoise` runs with the default
parameters (noise model calibrated from the image, Poisson-Gaussian path),
and ``VmHWM`` minus the resident size before the call is printed as a
multiple of the float32 size of the image.  The result array itself is one
of the images counted.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import quorvel

    shape = tuple(int(s) for s in sys.argv[1].split("x"))
    axes = sys.argv[2]
    variance = sys.argv[3] == "1"
    rng = np.random.default_rng(0)
    image = (100 + 2 * rng.poisson(20.0, shape) + rng.normal(0, 3, shape)).astype(np.uint16)
    quorvel.denoise(image[:2, :64, :64] if image.ndim == 3 else image[:64, :64],
                    axes, threads=2)  # imports and one-time set-up outside the measurement

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024

    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    out = quorvel.denoise(image, axes, threads=2, return_variance=variance)
    print((status("VmHWM:") - before) / (image.size * 4))
""")


def peak(shape: str, axes: str, variance: bool) -> float:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, shape, axes, "1" if variance else "0"],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ),
    )
    return float(out.stdout.split()[-1])


def main() -> None:
    print(f"{'image':<14}{'axes':<6}{'variance':<10}{'peak beyond input (float32 images)':>36}")
    for shape, axes in (("1024x1024", "YX"), ("10x512x512", "TYX")):
        for variance in (False, True):
            print(f"{shape:<14}{axes:<6}{variance!s:<10}{peak(shape, axes, variance):>36.2f}")


if __name__ == "__main__":
    main()
