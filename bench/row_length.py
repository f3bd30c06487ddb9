"""The fast kernel's time against the length of the image's rows.

Run by hand, with the package installed (``make install``)::

    .venv/bin/python bench/row_length.py [--frames 24] [--repeat 2] [--threads 2]

A still time-lapse of sparse spots (Gaussian noise, sigma given) is denoised
with the fast kernel and fixed settings on frames of about the same pixel
count but other row lengths: 1024 x 128 (rows of 128 pixels), 512 x 256,
256 x 512, 128 x 1024, and rows a little longer than the powers of two
(264, 528, 1040).  Two settings: 3 iterations searching every frame (the
choice for still sequences) and 4 iterations searching 4 frames to each
side.  Printed: seconds (best of ``--repeat``) and microseconds per pixel.

Rows whose length in bytes is a multiple of a large power of two fall in
the same few sets of the first-level cache; the engine gives its work
images longer rows there (``src/denoise/row_pitch.hpp``), so the time per
pixel should not depend on the row length.  Run it with a build before that
change to see the difference.  The load average is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
from scipy.ndimage import gaussian_filter

import quorvel

SHAPES = ((1024, 128), (512, 256), (496, 264), (256, 512), (248, 528), (128, 1024), (126, 1040))


def still_spots(frames: int, rows: int, columns: int) -> np.ndarray:
    """Sparse blurred spots on 100, the same in every frame, with Gaussian noise of 5."""
    rng = np.random.default_rng(5)
    spots = (rng.random((rows, columns)) < 0.01).astype(float)
    frame = 0.3 + 600 * gaussian_filter(spots, 1.5)
    return 100 + frame[None] + rng.normal(0, 5, (frames, rows, columns))


def best_time(image: np.ndarray, iterations: int, reach: int, repeat: int, threads: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        quorvel.denoise(
            image,
            "TYX",
            noise="gaussian",
            sigma=5.0,
            patch_radius={"X": 3, "Y": 3, "T": 0},
            search={"T": reach},
            iterations=iterations,
            pvalue=0.001,
            threads=threads,
            band_limit=False,
            align=False,
        )
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=24)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    print(f"load average {os.getloadavg()}")
    print(f"{'frames x rows x columns':<26}{'3 its, every frame':>24}{'4 its, 4 frames':>24}")
    for rows, columns in SHAPES:
        image = still_spots(args.frames, rows, columns)
        cells = []
        for iterations, reach in ((3, args.frames - 1), (4, 4)):
            seconds = best_time(image, iterations, reach, args.repeat, args.threads)
            cells.append(f"{seconds:7.2f} s {1e6 * seconds / image.size:6.3f} us")
        name = f"{args.frames} x {rows} x {columns}"
        print(f"{name:<26}{cells[0]:>24}{cells[1]:>24}", flush=True)
    print(f"load average {os.getloadavg()}")


if __name__ == "__main__":
    main()
