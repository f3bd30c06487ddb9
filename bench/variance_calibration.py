"""How well the returned variance predicts the real squared error.

Run by hand::

    nice .venv/bin/python bench/variance_calibration.py [--size 256]

Synthetic images with known truth: nuclei-like blobs with texture and a few
bright spots on a dark background, with Gaussian noise (sigma given) or
Poisson-Gaussian camera noise (gain 2, offset from read noise 3, model
given).  `quorvel.denoise(..., return_variance=True)` returns the estimate
and its variance; the pixels are binned by predicted variance (deciles),
and each bin shows the mean predicted variance, the mean squared error
against the truth, their ratio, and the share of pixels whose error lies
within +-2 predicted standard deviations (95 % for a calibrated Gaussian
prediction).
"""

from __future__ import annotations

import argparse

import numpy as np

import quorvel


def scene(size: int, rng: np.random.Generator) -> np.ndarray:
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    photons = np.full((size, size), 3.0)
    for _ in range(size * size // 2000):
        cy, cx = rng.uniform(10, size - 10, 2)
        r = rng.uniform(5, 12)
        body = 1.0 / (1.0 + np.exp((np.hypot(y - cy, x - cx) - r) / 1.0))
        photons += rng.uniform(10, 40) * body * (1 + 0.3 * np.sin(x / 2.0) * np.cos(y / 2.5))
    for _ in range(size * size // 1000):
        cy, cx = rng.uniform(3, size - 3, 2)
        photons += rng.uniform(20, 80) * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / 2.0)
    return photons


def table(truth: np.ndarray, out: np.ndarray, variance: np.ndarray) -> None:
    err2 = (out.astype(np.float64) - truth) ** 2
    v = variance.astype(np.float64).ravel()
    e = err2.ravel()
    edges = np.quantile(v, np.linspace(0, 1, 11))
    within = np.abs(out.astype(np.float64) - truth).ravel() <= 2 * np.sqrt(v)
    print(f"{'bin':>4}{'mean pred var':>15}{'mean sq err':>14}{'ratio':>8}{'within 2 sd':>13}")
    for i in range(10):
        upper = v <= edges[i + 1] if i == 9 else v < edges[i + 1]
        sel = (v >= edges[i]) & upper
        if not sel.any():
            continue
        pv, me = v[sel].mean(), e[sel].mean()
        print(f"{i:>4}{pv:>15.4g}{me:>14.4g}{me / pv:>8.2f}{within[sel].mean():>13.1%}")
    ratio = e.mean() / v.mean()
    print(f" all{v.mean():>15.4g}{e.mean():>14.4g}{ratio:>8.2f}{within.mean():>13.1%}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    photons = scene(args.size, rng)

    clean = 10.0 * photons
    noisy = (clean + rng.normal(0, 30.0, clean.shape)).astype(np.float32)
    out, variance = quorvel.denoise(noisy, noise="gaussian", sigma=30.0, return_variance=True)
    print(f"Gaussian noise, sigma 30, {args.size} x {args.size}")
    table(clean, out, variance)

    gain, read = 2.0, 3.0
    clean = 100.0 + gain * photons
    noisy = (100.0 + gain * rng.poisson(photons) + rng.normal(0, read, photons.shape))
    model = quorvel.NoiseModel(gain, read**2 - gain * 100.0)
    out, variance = quorvel.denoise(noisy.astype(np.float32), model=model, return_variance=True)
    print(f"\nPoisson-Gaussian noise, gain {gain}, read noise {read}, {args.size} x {args.size}")
    table(clean, out, variance)


if __name__ == "__main__":
    main()
