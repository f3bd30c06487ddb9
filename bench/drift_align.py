"""What aligning a drifting time-lapse before denoising gains, scene by scene.

Run by hand, with the package installed and scikit-image importable
(``requirements-bench.txt``)::

    nice .venv/bin/python bench/drift_align.py [--seed 29] [--threads 2]

For every time-lapse of `scenes.scenes` (the true noise given): the default
denoising without alignment (``align=False``), the same of the frames
first moved back by whole pixels here and then returned to their places
(each frame rolled, so that what leaves one side comes back on the other;
no element is changed or lost), and the default (``align=None``: the
package's own measure and test, `quorvel._drift`).  The shifts here are
measured on the noisy frames, each against the first, by cross-correlation
(scikit-image's ``phase_cross_correlation`` without its normalization,
whole pixels), after a Gaussian blur of one pixel, and used everywhere:
the package's test is what keeps alignment from the sequences it harms.
"""

from __future__ import annotations

import argparse
import os

import numpy as np
import numpy.typing as npt
from defaults_grid import new_default
from scenes import scenes, score
from scipy.ndimage import gaussian_filter
from skimage.registration import phase_cross_correlation

import quorvel


def frame_shifts(frames: npt.NDArray[np.float32]) -> list[tuple[int, int]]:
    """Whole-pixel shifts that bring each frame onto the first."""
    smooth = [gaussian_filter(f.astype(np.float64), 1.0) for f in frames]
    shifts = []
    for f in smooth:
        found, _, _ = phase_cross_correlation(smooth[0], f, normalization=None)
        shifts.append((int(np.rint(found[0])), int(np.rint(found[1]))))
    return shifts


def rolled(
    frames: npt.NDArray[np.float32], shifts: list[tuple[int, int]], sign: int
) -> npt.NDArray[np.float32]:
    """`frames` each rolled by its shift (`sign` -1: back)."""
    return np.stack(
        [
            np.roll(f, (sign * dy, sign * dx), axis=(0, 1))
            for f, (dy, dx) in zip(frames, shifts, strict=True)
        ]
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=29)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    print(f"load average: {os.getloadavg()}")
    print(
        "| scene | not aligned dB | aligned here dB | gain | shift of the last frame (y, x) "
        "| default dB | default's shift of the last frame |"
    )
    print("|---|---|---|---|---|---|---|")
    for w in scenes(("time",), args.seed):
        noise = {
            "noise": w.noise["noise"],
            "sigma": w.noise.get("sigma"),
            "model": w.noise.get("model"),
        }
        noisy = np.asarray(w.noisy, dtype=np.float32)
        shifts = frame_shifts(noisy)
        plain = quorvel.denoise(noisy, w.axes, **noise, threads=args.threads, align=False)
        aligned = quorvel.denoise(rolled(noisy, shifts, 1), w.axes, **noise, threads=args.threads)
        back = rolled(aligned, shifts, -1)
        a, b = score(w, plain), score(w, back)
        default, choice = new_default(w, args.threads)
        own = choice.shifts[-1] if choice.shifts else "not aligned"
        print(
            f"| {w.name} | {a:.2f} | {b:.2f} | {b - a:+.2f} | {shifts[-1]} "
            f"| {score(w, default):.2f} | {own} |",
            flush=True,
        )
    print(f"load average: {os.getloadavg()}")


if __name__ == "__main__":
    main()
