"""Kymographs, line scans and X-Z sections: denoised as named, against the image they make.

Run by hand, with the package installed::

    nice .venv/bin/python bench/kymograph_bench.py [--seeds 3] [--threads 2]

Kymographs of 400 time points of a line of 256 pixels (mean photon counts
on a smooth ground of 1 to 5 photons, spots seen through a Gaussian point
spread function of 1.3 pixels):

- ``moving``: 10 spots moving 0 to 1.2 pixels per time point (diagonal
  streaks), each pausing for a sixth of its life, 15 to 50 photons;
- ``static``: 10 spots that stay (vertical lines), 10 to 40 photons,
  slowly bleaching and recovering;
- ``mixed``: 6 of each;
- ``dim``: ``mixed`` at a quarter of the photons.

Each under a camera (gain 2, dark level 100, read noise 3; Poisson-Gaussian,
the noise estimated) and under Gaussian noise of sigma 8 on ``100 + 2 *
photons`` (the true sigma given), seeds 0 to ``--seeds - 1``.  Lines a few
pixels wide: ``mixed`` spread across 2, 3 and 5 rows, ``(T, w, X)``; strips
of 2, 4 and 6 rows of the demonstration sequence
(`quorvel.demo.synthetic_sequence`, 40 frames of 128 x 256).  X-Z sections:
the demonstration scene (one frame of 384 x 256) with planes every 1 and 3
rows, 128 planes, under the camera.  Every image is denoised with the
default settings named as it is (``"TX"``, ``"TYX"``, ``"ZX"``), as the
package handled such arrays before (`earlier`: their axes kept as named, a
sequence of frames one or a few rows tall), as it does now, and as the
image it makes: named ``"YX"``, or the lines and strips laid out ``(w, T,
X)`` and named ``"ZYX"``.  Printed: mean PSNR (the reference's intensity
range as peak) and RMSE.
"""

from __future__ import annotations

import argparse
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvel
from quorvel import _lines
from quorvel.demo import Camera, synthetic_sequence

F64 = npt.NDArray[np.float64]
PSF = 1.3


def _line(x: F64, centre: Any, photons: Any) -> F64:
    return np.asarray(photons * np.exp(-0.5 * ((x - centre) / PSF) ** 2))


def kymograph(kind: str, seed: int, shape: tuple[int, int] = (400, 256)) -> F64:
    """Mean photon counts of a kymograph (module docstring)."""
    nt, nx = shape
    rng = np.random.default_rng(seed)
    x = np.arange(nx, dtype=np.float64)[None, :]
    t = np.arange(nt, dtype=np.float64)
    out = np.broadcast_to(3.0 + 2.0 * np.sin(x / (0.3 * nx) + 0.5), shape).copy()
    scale = 0.25 if kind == "dim" else 1.0
    if kind != "moving":
        for _ in range(10 if kind == "static" else 6):
            centre, peak = rng.uniform(5, nx - 5), rng.uniform(10, 40) * scale
            bleach = 0.6 + 0.4 * np.cos(t / rng.uniform(50, 200))
            out += _line(x, centre, peak * bleach[:, None])
    if kind != "static":
        for _ in range(10 if kind == "moving" else 6):
            start = int(rng.integers(0, nt // 2))
            stop = int(rng.integers(start + nt // 4, nt + 1))
            velocity = np.full(nt, rng.uniform(-1.2, 1.2))
            pause = start + (stop - start) // 3
            velocity[pause : pause + (stop - start) // 6] = 0.0
            path = np.cumsum(velocity)
            position = rng.uniform(0, nx) + path - path[start]
            peak = rng.uniform(15, 50) * scale
            on = (t >= start) & (t < stop)
            out += on[:, None] * _line(x, position[:, None], peak)
    return out


def strip(kind: str, seed: int, rows: int) -> F64:
    """A kymograph of a line `rows` pixels wide: its spots spread across the rows."""
    across = np.exp(-0.5 * ((np.arange(rows) - (rows - 1) / 2) / max(rows / 3, 1.0)) ** 2)
    photons = kymograph(kind, seed)
    return np.asarray(3.0 + (photons - 3.0)[:, None, :] * across[None, :, None])


def crop(rows: int, seed: int) -> F64:
    """`rows` rows of the demonstration sequence (40 frames of 128 x 256, moving spots)."""
    start = 30 * (seed + 1)
    return synthetic_sequence((40, 128, 256), seed=3)[:, start : start + rows]


def section(step: int, seed: int) -> F64:
    """Mean photon counts of an X-Z section with planes every `step` rows."""
    return synthetic_sequence((1, 384, 256), seed=seed)[0][::step][:128]


def recorded(photons: F64, noise: str, seed: int) -> tuple[F64, F64, dict[str, Any]]:
    """The noisy image, the truth, and the noise options of `denoise`."""
    rng = np.random.default_rng(seed + 10)
    if noise == "camera":
        camera = Camera()
        noisy = camera.expected(rng.poisson(photons))
        return (
            noisy + rng.normal(0.0, camera.read_noise, photons.shape),
            camera.expected(photons),
            {},
        )
    truth = 100.0 + 2.0 * photons
    options = {"noise": "gaussian", "sigma": 8.0}
    return truth + rng.normal(0.0, 8.0, photons.shape), truth, options


@contextmanager
def earlier() -> Iterator[None]:
    """The handling of earlier versions: axes kept as named."""
    roles = _lines.Roles.of
    _lines.Roles.of = classmethod(lambda cls, names, shape: cls(names, names))  # type: ignore[assignment]
    try:
        yield
    finally:
        _lines.Roles.of = roles  # type: ignore[method-assign]


def scores(truth: F64, result: Any) -> tuple[float, float]:
    """PSNR (dB) and RMSE of `result`."""
    error = np.asarray(result, dtype=np.float64) - truth
    mse = float(np.mean(error**2))
    peak = float(truth.max() - truth.min())
    return 10.0 * np.log10(peak**2 / mse), float(np.sqrt(mse))


def row(
    label: str,
    make: Callable[[int], F64],
    noise: str,
    axes: str,
    seeds: int,
    threads: int,
    image: tuple[str, Callable[[F64], F64]] = ("YX", lambda a: a),
) -> str:
    """One table row: noisy, as named before, as named now, as an image; mean over seeds.

    `image`: the names of the image it makes and how to lay it out so.
    """
    cells: dict[str, list[tuple[float, float]]] = {k: [] for k in ("noisy", "before", "now", "YX")}
    for seed in range(seeds):
        noisy, truth, options = recorded(make(seed), noise, seed)
        cells["noisy"].append(scores(truth, noisy))
        with earlier():
            cells["before"].append(
                scores(truth, quorvel.denoise(noisy, axes, **options, threads=threads))
            )
        cells["now"].append(scores(truth, quorvel.denoise(noisy, axes, **options, threads=threads)))
        names, layout = image
        result = quorvel.denoise(layout(noisy), names, **options, threads=threads)
        cells["YX"].append(scores(layout(truth), result))
    shown = [
        f"{np.mean([p for p, _ in v]):.2f} / {np.mean([r for _, r in v]):.2f}"
        for v in cells.values()
    ]
    return f"| {label} | {noise} | " + " | ".join(shown) + " |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    warnings.simplefilter("ignore", RuntimeWarning)  # the Gaussian fallback of earlier versions
    print("| image | noise | noisy dB / RMSE | as named, before | as named, now | as an image |")
    print("|---|---|---|---|---|---|")
    for kind in ("moving", "static", "mixed", "dim"):
        for noise in ("camera", "gaussian"):
            make = lambda seed, kind=kind: kymograph(kind, seed)  # noqa: E731
            print(row(f"TX {kind}", make, noise, "TX", args.seeds, args.threads), flush=True)
    stack = ("ZYX", lambda a: a.transpose(1, 0, 2))  # one kymograph per row
    for rows in (2, 3, 5):
        for noise in ("camera", "gaussian"):
            make = lambda seed, rows=rows: strip("mixed", seed, rows)  # noqa: E731
            label = f"TYX mixed, {rows} px wide"
            print(row(label, make, noise, "TYX", args.seeds, args.threads, stack), flush=True)
    for rows in (2, 4, 6):
        for noise in ("camera", "gaussian"):
            make = lambda seed, rows=rows: crop(rows, seed)  # noqa: E731
            label = f"TYX demo, {rows} rows"
            print(row(label, make, noise, "TYX", args.seeds, args.threads, stack), flush=True)
    for step in (1, 3):
        make = lambda seed, step=step: section(step, seed)  # noqa: E731
        print(row(f"ZX planes {step} px apart", make, "camera", "ZX", args.seeds, args.threads))


if __name__ == "__main__":
    main()
