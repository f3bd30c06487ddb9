"""Work of each thread in one denoising run, from the visiting rule of the pass.

The pass cuts the image into one stripe per thread along the longest of the
y, z and t axes; a thread estimates every reference position whose patch
reaches into its stripe, so the positions near a stripe boundary are
estimated by both threads. This script counts, for the default parameters
(7 x 7 patches, 4 iterations, window growing along z and t), the candidate
patches each thread compares, and the resulting bound on the speed-up over
one thread: total work / largest share. It runs nothing of the kernel and
times nothing::

    python bench/stripe_balance.py 512x512 1024x1024 64x4096 16x4096 --threads 2

Shapes are given as [T,][Z,]Y,X with 'x' between the sizes, e.g. 16x256x256
(Z, Y, X) or t10x256x256 (T, Y, X).
"""

from __future__ import annotations

import argparse

import numpy as np

RADIUS = (3, 3, 0, 0)  # x, y, z, t
ITERATIONS = 4


def parse_shape(text: str) -> tuple[int, int, int, int]:
    """(nx, ny, nz, nt) of '[t]T x [Z x] Y x X'."""
    parts = text.lower().split("x")
    nt = int(parts.pop(0)[1:]) if parts[0].startswith("t") else 1
    sizes = [int(p) for p in parts]
    nz = sizes[-3] if len(sizes) == 3 else 1
    return sizes[-1], sizes[-2], nz, nt


def axis_range(n: int, r: int) -> tuple[int, int]:
    return (r, n - r - 1) if n > 1 else (0, 0)


def grid_step(axis: int, n: int, r: int) -> int:
    if r <= 0:
        return 1
    if axis == 2:
        return r + 1 if n > 4 * r + 1 else 1
    if axis == 3:
        return r if n > r else 1
    return r + 1 if n > r else 1


def regions(extent: tuple[int, ...]) -> list[list[np.ndarray]]:
    """Reference positions per axis of the interior grid and the border planes."""
    full = [axis_range(extent[a], RADIUS[a]) for a in range(4)]
    out = [
        [
            np.arange(lo, hi + 1, grid_step(a, extent[a], RADIUS[a]))
            for a, (lo, hi) in enumerate(full)
        ]
    ]
    for axis in range(4):
        if RADIUS[axis] > 1 and extent[axis] > 1:
            axes = [np.arange(lo, hi + 1) for lo, hi in full]
            axes[axis] = np.array([extent[axis] - RADIUS[axis] - 1])
            out.append(axes)
    return out


def candidates(extent, window, axes) -> np.ndarray:
    """Candidates compared per reference position, as an array over the positions."""
    counts = None
    for a in range(4):
        lo, hi = axis_range(extent[a], RADIUS[a])
        pos = axes[a]
        c = np.minimum(hi, pos + window[a]) - np.maximum(lo, pos - window[a]) + 1
        counts = c if counts is None else np.multiply.outer(counts, c)
    return counts - 1


def thread_work(extent, threads: int) -> list[int]:
    split = max((1, 2, 3), key=lambda a: (extent[a], -a))
    work = [0] * threads
    for k in range(ITERATIONS):
        window = (
            2**k if extent[0] > 1 else 0,
            2**k if extent[1] > 1 else 0,
            k if extent[2] > 1 else 0,
            max(0, k - 2) if extent[3] > 1 else 0,
        )
        for axes in regions(extent):
            counts = candidates(extent, window, axes)
            pos = axes[split]
            for t in range(threads):
                begin = extent[split] * t // threads
                end = extent[split] * (t + 1) // threads
                reach = (pos + RADIUS[split] >= begin) & (pos - RADIUS[split] < end)
                work[t] += int(np.take(counts, np.flatnonzero(reach), axis=split).sum())
    return work


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("shapes", nargs="+")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    print("| shape | split axis | work per thread (candidates) | bound on speed-up |")
    print("|---|---|---|---:|")
    for text in args.shapes:
        extent = parse_shape(text)
        one = thread_work(extent, 1)[0]
        shares = thread_work(extent, args.threads)
        axis = "yzt"[max((1, 2, 3), key=lambda a: (extent[a], -a)) - 1]
        print(
            f"| {text} | {axis} | {' / '.join(f'{w:.3g}' for w in shares)} | "
            f"{one / max(shares):.2f} |"
        )


if __name__ == "__main__":
    main()
