"""The bead stacks whose gain ``calibration_accuracy.py`` finds more than 5 % off, redrawn.

For each of the five stacks (same beads, same camera), `--draws` fresh noise
draws: the error of the ``auto`` gain (mean with its standard error, spread,
the mean relative standard error the estimate reports, the share within
5 %), the ideal standard error, and the same line fitted plainly to the
blocks of fourth differences that the noise-free image leaves flat (weights
of the true variance, no rejection), once against the blocks' own local means
and once against the noise-free ones.  The difference between those two is
what the noise of the local means does to the slope; its prediction::

    attenuation  -sum(w q v) / Sxx      (the local means' own noise, variance q v)
    Poisson skew +sum(w q g (x - dark)) / Sxx  (it shares the third moment of
                                         the photon noise with the energies)
    net          -read**2 sum(w q) / Sxx

with ``w = 1 / v**2``, ``Sxx`` the weighted spread of the noise-free local
means and ``q`` the sum of the squared pixel weights of a block's mean local
mean.  Run from the repository with the package installed::

    nice .venv/bin/python bench/bead_misses.py --draws 40
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

import quorvel
from quorvel import _engine

sys.path.insert(0, str(Path(__file__).parent))
from calibration_accuracy import (
    BEAD_BACKGROUND,
    BEAD_PLANES,
    DARK,
    beads,
    ideal_se,
    record,
)

#: seed, width, depth, gain, read noise, peak: the misses of bench/calibration_accuracy.md.
CASES = (
    (0, 1.0, 4.0, 1.0, 10.0, 500.0),
    (0, 1.0, 1.5, 1.0, 2.0, 500.0),
    (0, 1.0, 1.5, 1.0, 10.0, 5000.0),
    (0, 1.0, 1.5, 2.0, 10.0, 500.0),
    (1, 2.0, 1.5, 1.0, 10.0, 500.0),
)
BLOCK = 8
#: The local mean of the fourth differences: their squared taps along each axis.
TAPS = np.array([1.0, 16.0, 36.0, 16.0, 1.0]) / 70.0


def _blocks(image: Any) -> tuple[Any, Any]:
    """Mean local mean and energy of the fourth differences' blocks of a (Z, Y, X) stack."""
    planes = np.ascontiguousarray(np.asarray(image, np.float32)[None])
    _, mean, energy, _ = _engine.spatial_blocks(planes, residual="fourth", block=BLOCK, threads=2)
    return mean, energy


def _slope(x: Any, y: Any, w: Any) -> float:
    a = np.stack([x, np.ones_like(x)], axis=1) * np.sqrt(w)[:, None]
    return float(np.linalg.lstsq(a, y * np.sqrt(w), rcond=None)[0][0])


def _mean(values: list[float]) -> str:
    v = np.asarray(values)
    return f"{v.mean():+.1f} ± {v.std(ddof=1) / np.sqrt(v.size):.1f}"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=40)
    parser.add_argument("--size", type=int, default=128, help="side of the bead planes")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", RuntimeWarning)
    weights = np.convolve(np.ones(BLOCK) / BLOCK, TAPS)
    q = float((weights**2).sum() ** 2)
    print(
        "| stack | ideal se | auto: mean error | sd | reported se | within 5 % | "
        "flat blocks, own local means | noise-free local means | predicted effect "
        "(attenuation / skew / net) |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for seed, width, depth, gain, read, peak in CASES:
        photons = BEAD_BACKGROUND + peak * beads(
            args.size, BEAD_PLANES, width, depth, np.random.default_rng(1000 + seed)
        )
        clean = DARK + gain * photons
        offset = read**2 - gain * DARK
        clean_mean, leftover = _blocks(clean)
        variance = gain * clean_mean + offset
        flat = leftover < 1e-3 * variance
        x, w = clean_mean[flat], 1.0 / variance[flat] ** 2
        sxx = float((w * (x - np.average(x, weights=w)) ** 2).sum())
        attenuation = -100.0 * float((w * q * variance[flat]).sum()) / sxx
        skew = 100.0 * float((w * q * gain * (x - DARK)).sum()) / sxx
        auto, reported, own, noise_free = [], [], [], []
        for d in range(args.draws):
            noisy = record(photons, gain, read, np.random.default_rng(60_000 + d))
            model = quorvel.estimate_noise(noisy, "ZYX")
            auto.append(100.0 * (model.gain[0] / gain - 1.0))
            reported.append(100.0 * model.gain_se[0] / model.gain[0])
            mean, energy = _blocks(noisy)
            own.append(100.0 * (_slope(mean[flat], energy[flat], w) / gain - 1.0))
            noise_free.append(100.0 * (_slope(x, energy[flat], w) / gain - 1.0))
        label = f"s{seed} w{width:g} d{depth:g} g{gain:g} r{read:g} p{peak:g}"
        print(
            f"| {label} | {ideal_se(clean, gain, read):.1f} | {_mean(auto)} | "
            f"{np.std(auto, ddof=1):.1f} | {np.mean(reported):.1f} | "
            f"{np.mean(np.abs(auto) <= 5.0):.0%} | {_mean(own)} | {_mean(noise_free)} | "
            f"{attenuation:+.1f} / {skew:+.1f} / {attenuation + skew:+.1f} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
