"""How well the returned variance predicts the real squared error.

Run by hand::

    nice .venv/bin/python bench/variance_calibration.py [--size 256] [--seeds 0 1]
        [--kinds cells spots ...] [--layouts 2d volume timelapse] [--table]

Synthetic images with known truth, of six kinds: ``cells`` (textured
nuclei and a few spots), ``spots`` (sparse diffraction-limited spots on a
dim background), ``filaments`` (random curves), ``texture`` (fine random
texture on a ramp), ``edges`` (overlapping flat rectangles),
``natural`` (a crop of scikit-image's camera); each as a 2-D image (size x
size), a volume (24 planes of size/2 x size/2, blurred along Z) and a
time-lapse (8 frames of size/2 x size/2, the scene drifting by up to one
pixel per frame).  Noise: Gaussian with sigma 8 % (seed 0) or 20 % (seed 1)
of the peak, and Poisson-Gaussian (gain 2, read noise 3, dark level 100)
with 50 (seed 0) or 10 (seed 1) photons at the peak over one photon of
background; other seeds alternate.  The true noise is given to `denoise`.

For every case the pixels are ranked by predicted variance and cut into
deciles; each decile gives the ratio of the mean squared error against the
truth to the mean predicted variance.  The target is every ratio between
0.67 and 1.5.  Printed per case: the least and largest ratio of
`quorvel.denoise(..., return_variance=True)` and, for comparison, of the
engine's own variance (`_denoise_core`), and the time of the run with the
variance over the run without it.  ``--table`` prints the deciles too;
``--cost`` only times runs with and without the variance on a 1024 x 1024
image, a time-lapse of 8 x 256 x 256 and a volume of 24 x 256 x 256.

The settings are the defaults (chosen per image); ``--earlier`` gives the
fixed settings of earlier versions instead (7 x 7 patches, 4 iterations,
p-value 0.01, the window growing along Z and T).

``--oracle K`` asks what the target demands of any map: in place of the
returned variance it scores the expected squared error of the same case,
measured against the truth over 2 K other noise draws (each denoised with
the defaults) and averaged over 3 x 3 pixels in the plane, in two ways: as
one map (``oracle``: the draws' mean ranks the pixels and is the prediction)
and split (``split``: the mean of K draws ranks the pixels, that of the
other K is the prediction, so that the ranking does not pick the map's own
noise).
"""

from __future__ import annotations

import argparse
import itertools
import time
import zlib
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from scipy.ndimage import gaussian_filter, uniform_filter
from scipy.ndimage import shift as nd_shift

import quorvel
from quorvel._axes import core_shape
from quorvel._core import _denoise_core
from quorvel._params import _check_noise, _check_settings
from quorvel._run import _prepare
from quorvel.noise import _plan_noise

F64 = npt.NDArray[np.float64]
KINDS = ("cells", "spots", "filaments", "texture", "edges", "natural")
LAYOUTS = ("2d", "volume", "timelapse")
LOW, HIGH = 0.67, 1.5
#: The settings of earlier versions, before they were chosen per image.
EARLIER = {"patch_radius": 3, "iterations": 4, "pvalue": 0.01, "search": "ZT"}


def _blobs(shape: tuple[int, ...], rng: np.random.Generator, count: int) -> F64:
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    out = np.zeros(shape)
    for _ in range(count):
        centre = rng.uniform(0, 1, len(shape)) * shape
        radius = rng.uniform(5, 12)
        dist = np.sqrt(sum((g - c) ** 2 for g, c in zip(grids, centre, strict=True)))
        out = np.maximum(out, rng.uniform(0.4, 1.0) * 0.5 * (1.0 - np.tanh((dist - radius) / 2)))
    texture = gaussian_filter(rng.normal(0, 1, shape), 2.0)
    return out * (0.75 + 0.25 * texture / np.abs(texture).max())


def _points(shape: tuple[int, ...], rng: np.random.Generator, count: int, blur: float) -> F64:
    out = np.zeros(shape)
    np.add.at(out, tuple(rng.integers(0, n, count) for n in shape), rng.uniform(0.2, 1.0, count))
    out = gaussian_filter(out, blur)
    return out / out.max()


def _curves(shape: tuple[int, ...], rng: np.random.Generator, count: int) -> F64:
    out = np.zeros(shape)
    for _ in range(count):
        p = rng.uniform(0, 1, len(shape)) * shape
        d = rng.normal(size=len(shape))
        for _ in range(6 * max(shape)):
            d = d / np.linalg.norm(d) + rng.normal(0, 0.1, len(shape))
            p = p + 0.5 * d / np.linalg.norm(d)
            out[tuple(round(v) % n for v, n in zip(p, shape, strict=True))] += 1.0
    out = gaussian_filter(out, 1.0)
    return np.minimum(out / np.quantile(out[out > 0], 0.9), 1.0)


def frame(kind: str, shape: tuple[int, ...], rng: np.random.Generator) -> F64:
    """A clean scene of `kind` and `shape` (2-D or 3-D), its peak 1."""
    size = shape[-2] * shape[-1]
    if kind == "cells":
        img = 0.05 + 0.6 * _blobs(shape, rng, max(3, size // 1500))
        img += 0.5 * _points(shape, rng, max(3, size // 1000), 1.0)
    elif kind == "spots":
        img = 0.02 + _points(shape, rng, max(4, size // 300), 1.3)
    elif kind == "filaments":
        img = 0.05 + 0.8 * _curves(shape, rng, max(3, max(shape) // 20))
    elif kind == "texture":
        t = gaussian_filter(rng.normal(0, 1, shape), 1.5)
        ramp = np.meshgrid(*[np.linspace(0, 1, n) for n in shape], indexing="ij")[-1]
        img = 0.2 + 0.4 * ramp + 0.12 * t / t.std()
    elif kind == "edges":
        img = np.full(shape, 0.1)
        for _ in range(12):
            lo = [int(rng.integers(0, n - 4)) for n in shape]
            hi = [
                int(rng.integers(a + 3, min(n, a + n // 2) + 1))
                for a, n in zip(lo, shape, strict=True)
            ]
            img[tuple(slice(a, b) for a, b in zip(lo, hi, strict=True))] = rng.uniform(0.1, 1.0)
        img = gaussian_filter(img, 0.6)
    elif kind == "natural":
        from skimage import data

        camera = data.camera().astype(np.float64) / 255.0
        ny, nx = shape[-2:]
        y0 = int(rng.integers(0, camera.shape[0] - ny + 1))
        x0 = int(rng.integers(0, camera.shape[1] - nx + 1))
        img = np.broadcast_to(camera[y0 : y0 + ny, x0 : x0 + nx], shape).copy()
    else:
        raise ValueError(kind)
    img = np.clip(img, 0, None)
    return img / img.max()


def scene(kind: str, layout: str, rng: np.random.Generator, size: int) -> tuple[F64, str]:
    """The clean image (peak 1) and its axes."""
    if layout == "2d":
        return frame(kind, (size, size), rng), "YX"
    n = size // 2
    if layout == "volume":
        if kind == "natural":
            z = np.linspace(-1, 1, 24)[:, None, None]
            return frame(kind, (n, n), rng)[None] * (0.4 + 0.6 * np.exp(-(z**2) / 0.3)), "ZYX"
        vol = gaussian_filter(frame(kind, (24, n, n), rng), (1.0, 0.0, 0.0))
        return vol / vol.max(), "ZYX"
    base = frame(kind, (n + 16, n + 16), rng)
    drift = rng.uniform(-1.0, 1.0, 2)
    frames = [
        nd_shift(base, (k * drift[0], k * drift[1]), order=1, mode="wrap")[8 : 8 + n, 8 : 8 + n]
        for k in range(8)
    ]
    return np.clip(np.stack(frames), 0, None), "TYX"


def noisy_case(
    clean: F64, noise: str, seed: int, rng: np.random.Generator
) -> tuple[F64, npt.NDArray[np.float32], dict[str, object]]:
    """Truth, noisy image and the `denoise` arguments that state the true noise."""
    if noise == "gaussian":
        sigma = (0.08, 0.2)[seed % 2] * 255.0
        truth = 255.0 * clean
        noisy = truth + rng.normal(0, sigma, clean.shape)
        return truth, noisy.astype(np.float32), {"noise": "gaussian", "sigma": sigma}
    gain, read, dark = 2.0, 3.0, 100.0
    photons = 1.0 + (50.0, 10.0)[seed % 2] * clean
    truth = dark + gain * photons
    noisy = dark + gain * rng.poisson(photons) + rng.normal(0, read, clean.shape)
    model = quorvel.NoiseModel(gain, read * read - gain * dark)
    return truth, noisy.astype(np.float32), {"noise": "poisson-gaussian", "model": model}


def decile_ratios(predicted: npt.ArrayLike, squared_error: npt.ArrayLike) -> F64:
    """Mean squared error over mean predicted variance in each decile of the prediction."""
    p = np.asarray(predicted, dtype=np.float64).ravel()
    e = np.asarray(squared_error, dtype=np.float64).ravel()
    groups = np.array_split(np.argsort(p, kind="stable"), 10)
    return np.array([e[g].mean() / p[g].mean() for g in groups])


def engine_variance(noisy: npt.NDArray[np.float32], axes: str, kwargs: dict[str, object]) -> F64:
    """The engine's own variance of the default run (what `return_variance` gave before)."""
    arr, roles, view5 = _prepare(noisy, axes)
    names = roles.denoised
    settings = _check_settings(
        core_shape(arr.shape, names), names, None, "ZT", 4, 0.01, 0.0, "fast"
    )
    args = _check_noise(str(kwargs["noise"]), kwargs.get("sigma"), kwargs.get("model"), 1)  # type: ignore[arg-type]
    plan = _plan_noise(np.ascontiguousarray(view5, dtype=np.float32), args, 0)
    _, variance = _denoise_core(view5, plan, settings, 0, return_variance=True)
    assert variance is not None
    return variance.reshape(noisy.shape).astype(np.float64)


def oracle_ratios(
    clean: F64, noise: str, seed: int, axes: str, kwargs: dict[str, object],
    truth: F64, err2: F64, draws: int,
) -> tuple[F64, F64]:  # fmt: skip
    """The decile ratios of the expected squared error from other noise draws, one map and split."""
    halves = [np.zeros_like(err2), np.zeros_like(err2)]
    for k in range(2 * draws):
        _, other, _ = noisy_case(clean, noise, seed, np.random.default_rng([77, k, seed]))
        out = quorvel.denoise(other, axes, **kwargs)
        halves[k % 2] += (out.astype(np.float64) - truth) ** 2
    size = [3 if n >= 3 else 1 for n in err2.shape]
    if len(size) == 3:
        size[0] = 1  # in the plane only
    rank, value = (uniform_filter(h / draws, size, mode="mirror").ravel() for h in halves)
    e = err2.ravel()
    groups = np.array_split(np.argsort(rank, kind="stable"), 10)
    split = np.array([e[g].mean() / value[g].mean() for g in groups])
    return decile_ratios(rank + value, 2.0 * e), split


def print_table(truth: F64, out: npt.NDArray[np.float32], variance: npt.ArrayLike) -> None:
    err = np.abs(out.astype(np.float64) - truth).ravel()
    v = np.asarray(variance, dtype=np.float64).ravel()
    groups = np.array_split(np.argsort(v, kind="stable"), 10)
    print(f"{'decile':>8}{'mean pred var':>15}{'mean sq err':>14}{'ratio':>8}{'within 2 sd':>13}")
    for i, g in enumerate(groups):
        pv, me = v[g].mean(), np.mean(err[g] ** 2)
        within = np.mean(err[g] <= 2 * np.sqrt(v[g]))
        print(f"{i:>8}{pv:>15.4g}{me:>14.4g}{me / pv:>8.2f}{within:>13.1%}")


def timing(threads: int) -> int:
    """Time of a run with the variance over one without, best of three each."""
    rng = np.random.default_rng(0)
    shapes = {"2d": (1024, "YX"), "timelapse": (512, "TYX"), "volume": (512, "ZYX")}
    for layout, (size, _) in shapes.items():
        clean, axes = scene("cells", layout, rng, size)
        for noise in ("gaussian", "poisson-gaussian"):
            _, noisy, kwargs = noisy_case(clean, noise, 0, rng)
            times = []
            for variance in (False, True):
                best = np.inf
                for _ in range(3):
                    start = time.perf_counter()
                    quorvel.denoise(
                        noisy, axes, threads=threads, return_variance=variance, **kwargs
                    )
                    best = min(best, time.perf_counter() - start)
                times.append(best)
            print(
                f"{layout:10s}{noisy.shape!s:18s}{noise:18s}without {times[0]:6.2f} s  "
                f"with {times[1]:6.2f} s  {times[1] / times[0]:4.2f}x"
            )
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1])
    parser.add_argument("--kinds", nargs="+", default=list(KINDS), choices=KINDS)
    parser.add_argument("--layouts", nargs="+", default=list(LAYOUTS), choices=LAYOUTS)
    parser.add_argument("--noise", nargs="+", default=["gaussian", "poisson-gaussian"])
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--table", action="store_true", help="print the deciles of every case")
    parser.add_argument(
        "--cost", action="store_true",
        help="only time runs with and without the variance on larger images (best of 3)",
    )  # fmt: skip
    parser.add_argument(
        "--earlier", action="store_true", help="the fixed settings of earlier versions"
    )
    parser.add_argument(
        "--oracle", type=int, metavar="K", default=0,
        help="score the expected squared error from 2 K other noise draws instead",
    )  # fmt: skip
    args = parser.parse_args(argv)
    if args.cost:
        return timing(args.threads)
    if args.oracle:
        return oracle(args)

    print(f"{'case':34s}{'new: min - max':>16}{'engine: min - max':>20}{'cost':>7}")
    ratios, engine_ratios, costs, groups = [], [], [], []
    cases = list(itertools.product(args.kinds, args.layouts, args.noise, args.seeds))
    for kind, layout, noise, seed in cases:
        name = f"{kind} {layout} {noise} {seed}"
        rng = np.random.default_rng(1000 * seed + zlib.crc32(name.encode()) % 997)
        clean, axes = scene(kind, layout, rng, args.size)
        truth, noisy, kwargs = noisy_case(clean, noise, seed, rng)
        if args.earlier:
            kwargs.update(EARLIER)
        start = time.perf_counter()
        plain = quorvel.denoise(noisy, axes, threads=args.threads, **kwargs)
        middle = time.perf_counter()
        out, variance = quorvel.denoise(
            noisy, axes, threads=args.threads, return_variance=True, **kwargs
        )
        end = time.perf_counter()
        assert np.array_equal(out, plain)
        cost = (end - middle) / (middle - start)
        err2 = (out.astype(np.float64) - truth) ** 2
        new = decile_ratios(variance, err2)
        old = decile_ratios(engine_variance(noisy, axes, kwargs), err2)
        ok = new.min() >= LOW and new.max() <= HIGH
        ratios.append(new)
        engine_ratios.append(old)
        costs.append(cost)
        groups.append(f"{layout} {noise}")
        print(
            f"{name:34s}{new.min():>8.2f} - {new.max():<5.2f}{old.min():>11.2f} - "
            f"{old.max():<6.2f}{cost:>6.1f}x{'' if ok else '  outside'}"
        )
        if args.table:
            print_table(truth, out, variance)
    print()
    for label, r in (("returned", np.array(ratios)), ("engine's", np.array(engine_ratios))):
        inside = (r >= LOW) & (r <= HIGH)
        print(
            f"{label} variance: {int(inside.all(axis=1).sum())}/{len(cases)} cases with every "
            f"decile in [{LOW}, {HIGH}]; {inside.mean():.1%} of deciles; ratios "
            f"{r.min():.2f} to {r.max():.2f}, median |log ratio| "
            f"{np.median(np.abs(np.log(r))):.3f}"
        )
    r = np.array(ratios)
    inside = ((r >= LOW) & (r <= HIGH)).all(axis=1)
    for group in dict.fromkeys(groups):
        sel = np.array([g == group for g in groups])
        print(
            f"  {group:28s}{int(inside[sel].sum())}/{int(sel.sum())} cases, ratios "
            f"{r[sel].min():.2f} to {r[sel].max():.2f}"
        )
    print(
        f"cost {np.median(costs):.1f}x a run without the variance (median, "
        f"{min(costs):.1f} to {max(costs):.1f}; small images, see --cost)"
    )
    return 0


def oracle(args: argparse.Namespace) -> int:
    """`--oracle`: the decile ratios of the expected squared error, one map and split."""
    print(f"{'case':34s}{'oracle: min - max':>19}{'split: min - max':>19}")
    found: dict[str, list[F64]] = {"oracle": [], "split": []}
    for kind, layout, noise, seed in itertools.product(
        args.kinds, args.layouts, args.noise, args.seeds
    ):
        name = f"{kind} {layout} {noise} {seed}"
        rng = np.random.default_rng(1000 * seed + zlib.crc32(name.encode()) % 997)
        clean, axes = scene(kind, layout, rng, args.size)
        truth, noisy, kwargs = noisy_case(clean, noise, seed, rng)
        kwargs = {**kwargs, "threads": args.threads, **(EARLIER if args.earlier else {})}
        out = quorvel.denoise(noisy, axes, **kwargs)
        err2 = (out.astype(np.float64) - truth) ** 2
        one, split = oracle_ratios(clean, noise, seed, axes, kwargs, truth, err2, args.oracle)
        found["oracle"].append(one)
        found["split"].append(split)
        print(
            f"{name:34s}{one.min():>11.2f} - {one.max():<5.2f}{split.min():>11.2f} - "
            f"{split.max():<5.2f}"
        )
    print()
    for label, rows in found.items():
        r = np.array(rows)
        inside = (r >= LOW) & (r <= HIGH)
        print(
            f"{label} ({2 * args.oracle} draws): {int(inside.all(axis=1).sum())}/{len(r)} cases "
            f"with every decile in [{LOW}, {HIGH}]; {inside.mean():.1%} of deciles; ratios "
            f"{r.min():.2f} to {r.max():.2f}"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
