"""Accuracy of the noise calibration on scenes recorded by known cameras.

Each case draws what a camera records of a noise-free scene, ``dark +
gain * Poisson(photons) + Normal(0, read_noise)``, whose noise variance is
``gain * I + read_noise**2 - gain * dark`` at expected intensity ``I``, and
estimates the model with each method of `quorvel.estimate_noise`.  The
figure of merit is the error of the predicted noise standard deviation at
the 10th and the 90th percentiles of the noise-free intensities.

Scenes: sparse spots and filaments on a dark background, dense blob-like
cells, a smooth gradient; single frames and 10-frame sequences, static or
moving (everything drifts by about a pixel per frame).

Run from the repository with the package installed::

    nice .venv/bin/python bench/calibration_accuracy.py --size 192 --out /tmp/calibration.md
"""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

F64 = npt.NDArray[np.float64]
DARK = 100.0
GAINS = (0.5, 2.0, 12.0)
READ_NOISES = (1.5, 10.0)
PEAKS = (20.0, 200.0, 2000.0)
KINDS = ("single", "static", "moving")
FRAMES = 10
METHODS = ("core", "auto")


def _blur(image: F64, sigma: float) -> F64:
    """Gaussian blur along the last two axes (FFT, periodic)."""
    ny, nx = image.shape[-2:]
    fy = np.fft.fftfreq(ny)[:, None]
    fx = np.fft.rfftfreq(nx)[None, :]
    kernel = np.exp(-2.0 * (np.pi * sigma) ** 2 * (fy**2 + fx**2))
    return np.fft.irfft2(np.fft.rfft2(image) * kernel, s=(ny, nx))


def _shifted(n: int, frames: int, draw: Callable[[float, float], F64]) -> F64:
    """`frames` renderings of a scene drawn at offsets that drift by ~1 pixel per frame."""
    return np.stack([draw(0.9 * k, 0.6 * k) for k in range(frames)])


def scene(name: str, n: int, frames: int, moving: bool, rng: np.random.Generator) -> F64:
    """Noise-free photon counts of a scene, in [0, 1] times the peak, shape (frames, n, n)."""
    y, x = np.mgrid[0:n, 0:n].astype(np.float64)
    if name == "spots":
        centres = rng.uniform(0, n, (n * n // 400, 2))
        heights = rng.uniform(0.2, 1.0, len(centres))

        def draw(dy: float, dx: float) -> F64:
            img = np.zeros((n, n))
            iy = np.round(centres[:, 0] + dy).astype(int) % n
            ix = np.round(centres[:, 1] + dx).astype(int) % n
            np.add.at(img, (iy, ix), heights)
            return _blur(img, 1.5) * (2 * np.pi * 1.5**2)

    elif name == "filaments":
        paths = []
        for _ in range(max(3, n // 24)):
            p = rng.uniform(0, n, 2)
            angle = rng.uniform(0, 2 * np.pi)
            steps = []
            for _ in range(4 * n):
                angle += rng.normal(0, 0.08)
                p = p + 0.5 * np.array([np.sin(angle), np.cos(angle)])
                steps.append(p.copy())
            paths.append(np.array(steps))
        points = np.concatenate(paths)

        def draw(dy: float, dx: float) -> F64:
            img = np.zeros((n, n))
            iy = np.round(points[:, 0] + dy).astype(int) % n
            ix = np.round(points[:, 1] + dx).astype(int) % n
            np.add.at(img, (iy, ix), 1.0)
            return _blur(img, 1.2)

    elif name == "cells":
        centres = rng.uniform(0, n, (n * n // 900, 2))
        radii = rng.uniform(8, 16, len(centres))
        texture = _blur(rng.normal(0, 1, (n, n)), 3.0)
        texture /= np.abs(texture).max()

        def draw(dy: float, dx: float) -> F64:
            img = np.zeros((n, n))
            for (cy, cx), r in zip(centres, radii, strict=True):
                d2 = ((y - cy - dy + n / 2) % n - n / 2) ** 2 + ((x - cx - dx + n / 2) % n - n / 2) ** 2
                img = np.maximum(img, 1.0 / (1.0 + np.exp((np.sqrt(d2) - r) / 1.0)))
            tex = np.roll(texture, (round(dy), round(dx)), axis=(0, 1))
            return _blur(img * (0.7 + 0.3 * tex), 1.0)

    else:  # smooth

        def draw(dy: float, dx: float) -> F64:
            return 0.5 + 0.4 * np.sin(2 * np.pi * (x + dx) / n) * np.cos(np.pi * (y + dy) / n)

    if moving:
        frames_ = _shifted(n, frames, draw)
    else:
        frames_ = np.repeat(draw(0.0, 0.0)[None], frames, axis=0)
    return frames_ / frames_.max()


SCENES = ("spots", "filaments", "cells", "smooth")
#: Background photons as a share of the peak (plus one photon).
BACKGROUND = 0.03


def record(photons: F64, gain: float, read: float, rng: np.random.Generator) -> npt.NDArray[np.float32]:
    """What the camera records of mean photon counts."""
    return (DARK + gain * rng.poisson(photons) + rng.normal(0, read, photons.shape)).astype(
        np.float32
    )


def errors(model: quorvel.NoiseModel, clean: F64, gain: float, read: float) -> tuple[float, float]:
    """Error (%) of the predicted noise std at the 10th and 90th percentile intensities."""
    out = []
    for q in (10, 90):
        level = float(np.percentile(clean, q))
        true = np.sqrt(gain * (level - DARK) + read**2)
        var = model.gain[0] * level + model.offset[0]
        pred = np.sqrt(var) if var > 0 else 0.0
        out.append(100.0 * (pred - true) / true if np.isfinite(pred) else np.inf)
    return out[0], out[1]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=192, help="side of the square frames")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default=None, help="Markdown file to write the table to")
    parser.add_argument("--scenes", default=",".join(SCENES))
    args = parser.parse_args(argv)

    rows = []
    seconds = dict.fromkeys(METHODS, 0.0)
    worst: dict[str, list[tuple[float, str]]] = {m: [] for m in METHODS}
    for name, kind in itertools.product(args.scenes.split(","), KINDS):
        rng = np.random.default_rng(args.seed)
        frames = 1 if kind == "single" else FRAMES
        shape01 = scene(name, args.size, frames, kind == "moving", rng)
        for gain, read, peak in itertools.product(GAINS, READ_NOISES, PEAKS):
            photons = peak * (BACKGROUND + (1 - BACKGROUND) * shape01) + 1.0
            noisy = record(photons, gain, read, rng)
            clean = DARK + gain * photons
            axes = "YX" if frames == 1 else "TYX"
            image = noisy[0] if frames == 1 else noisy
            cells = []
            for method in METHODS:
                start = time.perf_counter()
                model = quorvel.estimate_noise(image, axes, method=method)
                seconds[method] += time.perf_counter() - start
                e10, e90 = errors(model, clean, gain, read)
                label = f"{name} {kind} g{gain} r{read} p{peak:g}"
                worst[method].append((max(abs(e10), abs(e90)), label))
                cells.append(f"{e10:+.1f} / {e90:+.1f}")
            rows.append((name, kind, gain, read, peak, *cells))

    lines = [
        f"{args.size}x{args.size} frames, dark level {DARK:g}, background "
        f"{BACKGROUND:g} x peak + 1 photon; error (%) of the predicted noise std at the "
        "10th / 90th percentile of the noise-free intensities",
        "",
        "| scene | frames | gain | read | peak | " + " | ".join(METHODS) + " |",
        "|---|---|---|---|---|" + "---|" * len(METHODS),
    ]
    for name, kind, gain, read, peak, *cells in rows:
        frames_text = "1" if kind == "single" else f"{FRAMES} {kind}"
        lines.append(f"| {name} | {frames_text} | {gain:g} | {read:g} | {peak:g} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("| method | cases | within 5 % | within 10 % | worst | worst case | seconds |")
    lines.append("|---|---|---|---|---|---|---|")
    for method in METHODS:
        errs = np.array([e for e, _ in worst[method]])
        w = max(worst[method])
        lines.append(
            f"| {method} | {errs.size} | {100 * np.mean(errs <= 5):.1f} % | "
            f"{100 * np.mean(errs <= 10):.1f} % | {w[0]:.1f} % | {w[1]} | {seconds[method]:.1f} |"
        )
    lines.append("")
    lines.append(
        "| scene | frames | " + " | ".join(f"{m} within 5 % / 10 %" for m in METHODS) + " |"
    )
    lines.append("|---|---|" + "---|" * len(METHODS))
    per_group = len(GAINS) * len(READ_NOISES) * len(PEAKS)
    for g in range(len(rows) // per_group):
        name, kind = rows[g * per_group][:2]
        cells = []
        for method in METHODS:
            errs = np.array([e for e, _ in worst[method][g * per_group : (g + 1) * per_group]])
            cells.append(f"{np.sum(errs <= 5)} / {np.sum(errs <= 10)} of {errs.size}")
        frames_text = "1" if kind == "single" else f"{FRAMES} {kind}"
        lines.append(f"| {name} | {frames_text} | " + " | ".join(cells) + " |")
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
