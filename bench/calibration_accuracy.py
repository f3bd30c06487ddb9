"""Accuracy of the noise calibration on scenes recorded by known cameras.

Each case draws what a camera records of a noise-free scene, ``dark +
gain * Poisson(photons) + Normal(0, read_noise)``, whose noise variance is
``gain * I + read_noise**2 - gain * dark`` at expected intensity ``I``, and
estimates the model with each method of `quorvel.estimate_noise`.  The
figures of merit are the error of the predicted noise standard deviation at
the 10th, the 90th and the 99.9th percentiles of the noise-free intensities,
the error of the gain, and whether the true gain lies within 3 of the
estimate's standard errors (`NoiseModel.gain_se`; never for ``core``, which
gives none).

Scenes: sparse spots and filaments on a dark background, dense blob-like
cells, a smooth gradient; single frames and 10-frame sequences, static or
moving (everything drifts by about a pixel per frame).  And bead-like
z-stacks: a few bright spots (peak 500 or 5000 photons, 1, 2 or 3 pixels of
standard deviation in focus, one width per seed) on a flat background of
`BEAD_BACKGROUND` photons, widening and dimming out of focus over a depth
of `BEAD_DEPTHS` planes, at gains 1 to 8 and read noises 2 and 10.

Run from the repository with the package installed::

    nice .venv/bin/python bench/calibration_accuracy.py --size 192 --out /tmp/calibration.md
"""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

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
PERCENTILES = (10.0, 90.0, 99.9)
#: Bead stacks: planes, background photons, depth of focus in planes (the
#: half width of the axial profile: fine and coarse z steps), gains, read
#: noises, peak photons, and the in-focus standard deviation of the spots per
#: seed (seeds 0, 1, 2, then again).
BEAD_PLANES = 32
BEAD_BACKGROUND = 10.0
BEAD_DEPTHS = (4.0, 1.5)
BEAD_GAINS = (1.0, 2.0, 4.0, 8.0)
BEAD_READ_NOISES = (2.0, 10.0)
BEAD_PEAKS = (500.0, 5000.0)
BEAD_WIDTHS = (1.0, 2.0, 3.0)


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
                d2 = ((y - cy - dy + n / 2) % n - n / 2) ** 2 + (
                    (x - cx - dx + n / 2) % n - n / 2
                ) ** 2
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


def beads(n: int, planes: int, width: float, depth: float, rng: np.random.Generator) -> F64:
    """Noise-free bead stack in [0, 1], shape (planes, n, n).

    One bead per 2000 pixels of a plane, each at a random position in the
    middle three fifths of the stack, with a random brightness (0.3 to 1):
    a Gaussian spot of standard deviation ``width * sqrt(1 + (dz / depth)**2)``
    at ``dz`` planes from its focus, holding the same photons in every plane.
    """
    z = np.arange(planes, dtype=np.float64)[:, None, None]
    y, x = np.mgrid[0:n, 0:n].astype(np.float64)
    out = np.zeros((planes, n, n))
    for _ in range(max(4, n * n // 2000)):
        cz = rng.uniform(0.2 * planes, 0.8 * planes)
        cy, cx = rng.uniform(6, n - 6, 2)
        height = rng.uniform(0.3, 1.0)
        s = width * np.sqrt(1.0 + ((z - cz) / depth) ** 2)
        out += height * (width / s) ** 2 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * s * s))
    return out / out.max()


def record(
    photons: F64, gain: float, read: float, rng: np.random.Generator
) -> npt.NDArray[np.float32]:
    """What the camera records of mean photon counts."""
    return (DARK + gain * rng.poisson(photons) + rng.normal(0, read, photons.shape)).astype(
        np.float32
    )


def errors(model: quorvel.NoiseModel, clean: F64, gain: float, read: float) -> list[float]:
    """Error (%) of the predicted noise std at the `PERCENTILES` of the noise-free intensities."""
    out = []
    for q in PERCENTILES:
        level = float(np.percentile(clean, q))
        true = np.sqrt(gain * (level - DARK) + read**2)
        var = model.gain[0] * level + model.offset[0]
        pred = np.sqrt(var) if var > 0 else 0.0
        out.append(100.0 * (pred - true) / true if np.isfinite(pred) else np.inf)
    return out


def ideal_se(clean: F64, gain: float, read: float) -> float:
    """Relative standard error (%) of the gain at best: known noise-free image, every pixel.

    The inverse Fisher information of gain and offset from the squared noise
    of every pixel (Gaussian approximation, variance ``2 v**2``): what no
    estimate from the image alone can beat.
    """
    v = gain * (clean - DARK) + read**2
    w = 1.0 / (2.0 * v * v)
    sw, sx, sxx = w.sum(), (w * clean).sum(), (w * clean * clean).sum()
    return 100.0 * float(np.sqrt(sw / (sw * sxx - sx * sx))) / gain


@dataclass
class Outcome:
    """What one method gave on one case."""

    label: str
    std: list[float]  # errors (%) at PERCENTILES
    gain: float  # error (%) of the gain
    z: float  # |gain error| / gain_se (NaN without a standard error)
    relative_se: float  # gain_se / gain (%)
    ideal: float  # ideal_se (%)


@dataclass
class Tally:
    """Outcomes per method, and the time each took."""

    outcomes: dict[str, list[Outcome]] = field(default_factory=lambda: {m: [] for m in METHODS})
    seconds: dict[str, float] = field(default_factory=lambda: dict.fromkeys(METHODS, 0.0))

    def run(
        self,
        image: npt.NDArray[np.float32],
        axes: str,
        clean: F64,
        gain: float,
        read: float,
        label: str,
    ) -> list[str]:
        """Estimate with every method; the table cells of the case."""
        cells = []
        ideal = ideal_se(clean, gain, read)
        for method in METHODS:
            start = time.perf_counter()
            model = quorvel.estimate_noise(image, axes, method=method)
            self.seconds[method] += time.perf_counter() - start
            std = errors(model, clean, gain, read)
            g_err = 100.0 * (model.gain[0] / gain - 1.0)
            se = getattr(model, "gain_se", (np.nan,))[0]  # models of older versions have none
            z = abs(model.gain[0] - gain) / se if se > 0 else np.nan
            self.outcomes[method].append(
                Outcome(label, std, g_err, z, 100.0 * se / model.gain[0], ideal)
            )
            se_text = "" if np.isnan(se) else f" ±{100.0 * se / model.gain[0]:.1f}"
            cells.append(" / ".join(f"{e:+.1f}" for e in std) + f" | {g_err:+.1f}{se_text}")
        return [f"{ideal:.1f}", *cells]


def _share(values: list[bool]) -> str:
    return f"{100.0 * np.mean(values):.1f} %" if values else "-"


def summary(tally: Tally, what: str) -> list[str]:
    """Summary table of a tally: shares of cases within 5 % and the coverage of the se."""
    lines = [
        "| method | cases | p10 / p90 within 5 % | p99.9 within 5 % | gain within 5 % | "
        "gain within 5 % where ideal se <= 2 % | gain within 3 se | worst p10 / p90 | "
        "worst p99.9 | worst gain | seconds |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for method in METHODS:
        out = tally.outcomes[method]
        if not out:
            continue
        mid = [max(abs(o.std[0]), abs(o.std[1])) for o in out]
        top = [abs(o.std[2]) for o in out]
        gain = [abs(o.gain) for o in out]
        covered = [bool(o.z <= 3.0) for o in out if not np.isnan(o.z)]
        feasible = [abs(o.gain) <= 5 for o in out if o.ideal <= 2.0]
        worst = lambda v: f"{max(v):.1f} % ({out[int(np.argmax(v))].label})"  # noqa: E731
        lines.append(
            f"| {method} | {len(out)} | {_share([e <= 5 for e in mid])} | "
            f"{_share([e <= 5 for e in top])} | {_share([e <= 5 for e in gain])} | "
            f"{_share(feasible)} of {len(feasible)} | "
            f"{_share(covered)} | {worst(mid)} | {worst(top)} | {worst(gain)} | "
            f"{tally.seconds[method]:.1f} |"
        )
    return [f"### {what}", "", *lines, ""]


def _columns() -> tuple[str, str]:
    cells = " | ".join(f"{m} p10 / p90 / p99.9 | {m} gain ± se" for m in METHODS)
    return "ideal se | " + cells, "---|" * (2 * len(METHODS) + 1)


def scenes_table(args: argparse.Namespace, tally: Tally) -> list[str]:
    """The table of the scenes, filling `tally`."""
    cells_head, rule = _columns()
    lines = [
        f"{args.size}x{args.size} frames, dark level {DARK:g}, background "
        f"{BACKGROUND:g} x peak + 1 photon; error (%) of the predicted noise std at the "
        "10th / 90th / 99.9th percentile of the noise-free intensities, error (%) of the gain "
        "± its standard error (%); ideal se: the relative standard error (%) of the gain "
        "from the noise-free image and every pixel's noise, which no estimate reaches",
        "",
        "| scene | frames | gain | read | peak | " + cells_head + " |",
        "|---|---|---|---|---|" + rule,
    ]
    for name, kind in itertools.product(args.scenes.split(","), KINDS):
        rng = np.random.default_rng(args.seed)
        frames = 1 if kind == "single" else FRAMES
        shape01 = scene(name, args.size, frames, kind == "moving", rng)
        for gain, read, peak in itertools.product(GAINS, READ_NOISES, PEAKS):
            photons = peak * (BACKGROUND + (1 - BACKGROUND) * shape01) + 1.0
            noisy = record(photons, gain, read, rng)
            clean = DARK + gain * photons
            image, axes = (noisy[0], "YX") if frames == 1 else (noisy, "TYX")
            label = f"{name} {kind} g{gain:g} r{read:g} p{peak:g}"
            cells = tally.run(image, axes, clean, gain, read, label)
            frames_text = "1" if kind == "single" else f"{FRAMES} {kind}"
            lines.append(
                f"| {name} | {frames_text} | {gain:g} | {read:g} | {peak:g} | "
                + " | ".join(cells)
                + " |"
            )
    return lines


def beads_table(args: argparse.Namespace, tally: Tally) -> list[str]:
    """The table of the bead stacks, filling `tally`."""
    cells_head, rule = _columns()
    lines = [
        f"{BEAD_PLANES}x{args.bead_size}x{args.bead_size} bead stacks (ZYX), dark level {DARK:g}, "
        f"background {BEAD_BACKGROUND:g} photons; columns as above",
        "",
        "| seed | width | depth | gain | read | peak | " + cells_head + " |",
        "|---|---|---|---|---|---|" + rule,
    ]
    for seed, depth in itertools.product(range(args.bead_seeds), BEAD_DEPTHS):
        width = BEAD_WIDTHS[seed % len(BEAD_WIDTHS)]
        rng = np.random.default_rng(1000 + seed)
        shape01 = beads(args.bead_size, BEAD_PLANES, width, depth, rng)
        for gain, read, peak in itertools.product(BEAD_GAINS, BEAD_READ_NOISES, BEAD_PEAKS):
            photons = BEAD_BACKGROUND + peak * shape01
            noisy = record(photons, gain, read, rng)
            clean = DARK + gain * photons
            label = f"beads s{seed} w{width:g} d{depth:g} g{gain:g} r{read:g} p{peak:g}"
            cells = tally.run(noisy, "ZYX", clean, gain, read, label)
            lines.append(
                f"| {seed} | {width:g} | {depth:g} | {gain:g} | {read:g} | {peak:g} | "
                + " | ".join(cells)
                + " |"
            )
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=192, help="side of the square frames")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default=None, help="Markdown file to write the tables to")
    parser.add_argument("--scenes", default=",".join(SCENES), help="scenes; '' for none")
    parser.add_argument("--bead-size", type=int, default=128, help="side of the bead planes")
    parser.add_argument("--bead-seeds", type=int, default=3, help="bead stacks per depth; 0: none")
    args = parser.parse_args(argv)

    scenes, stacks = Tally(), Tally()
    lines: list[str] = []
    if args.scenes:
        lines += [*scenes_table(args, scenes), ""]
    if args.bead_seeds > 0:
        lines += [*beads_table(args, stacks), ""]
    if args.scenes:
        lines += summary(scenes, "Scenes")
    if args.bead_seeds > 0:
        lines += summary(stacks, "Bead stacks")
    if args.scenes and args.bead_seeds > 0:
        both = Tally(
            {m: scenes.outcomes[m] + stacks.outcomes[m] for m in METHODS},
            {m: scenes.seconds[m] + stacks.seconds[m] for m in METHODS},
        )
        lines += summary(both, "All cases")
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
