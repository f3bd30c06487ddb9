"""Accuracy of the Poisson-Gaussian calibration over repeated noise seeds.

Every setting draws a noisy image ``gain * Poisson(signal / gain) +
Normal(0, sqrt(offset))`` from a known signal, so that the noise variance is
``gain * signal + offset``, calibrates it with ``_calibrate_poisson_gaussian``
and compares the fitted gain and offset with the true ones.

Run it against any build of the extension module, for example::

    PYTHONPATH=/tmp/noise-build python bench/calibration_accuracy.py --seeds 20

To measure another variant of the refit, build the module from a patched copy
of the tree and point PYTHONPATH at that build instead.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import _qv

FloatImage = npt.NDArray[np.float64]


def smooth_pattern(n: int) -> FloatImage:
    """Smooth pattern in [0, 1]: a ramp along x with a gentle wave along y.

    Parameters
    ----------
    n : int
        Side of the square image.

    Returns
    -------
    numpy.ndarray
        Array of shape (n, n); intensities spread nearly evenly over [0, 1].
    """
    y, x = np.mgrid[0:n, 0:n] / (n - 1)
    return 0.8 * x + 0.2 * (0.5 + 0.5 * np.sin(2.0 * np.pi * y))


def spotted_pattern(n: int, discs: int) -> FloatImage:
    """The smooth pattern, dimmed, with sharp-edged bright discs on it.

    Windows on a disc edge measure the step in the signal as noise; they are
    the outliers that the refit of the calibration is meant to discount.

    Parameters
    ----------
    n : int
        Side of the square image.
    discs : int
        Number of discs, of radius n / 20, at positions fixed for all seeds.

    Returns
    -------
    numpy.ndarray
        Array of shape (n, n) with values in [0, 1].
    """
    base = 0.6 * smooth_pattern(n)
    y, x = np.mgrid[0:n, 0:n]
    rng = np.random.default_rng(12345)
    for cy, cx in rng.uniform(0.1 * n, 0.9 * n, size=(discs, 2)):
        base[(y - cy) ** 2 + (x - cx) ** 2 < (0.05 * n) ** 2] = 1.0
    return base


@dataclass(frozen=True)
class setting:
    """One noise setting of the study.

    Attributes
    ----------
    name : str
        Label in the printed table.
    low, high : float
        Signal range the pattern is mapped onto.
    gain, offset : float
        True noise model: variance = gain * signal + offset.
    discs : int
        Number of sharp-edged discs on the pattern (0: the smooth pattern).
    """

    name: str
    low: float
    high: float
    gain: float
    offset: float
    discs: int = 0

    def pattern(self, n: int) -> FloatImage:
        """Pattern in [0, 1] of side n."""
        return spotted_pattern(n, self.discs) if self.discs else smooth_pattern(n)


SETTINGS: tuple[setting, ...] = (
    setting("g2 o25 50..2000", 50.0, 2000.0, 2.0, 25.0),
    setting("g0.5 o400 50..2000", 50.0, 2000.0, 0.5, 400.0),
    setting("g1 o4 5..200", 5.0, 200.0, 1.0, 4.0),
    setting("g0.05 o0.1 1..40", 1.0, 40.0, 0.05, 0.1),
    setting("g2 o25 1 disc", 50.0, 2000.0, 2.0, 25.0, 1),
    setting("g2 o25 3 discs", 50.0, 2000.0, 2.0, 25.0, 3),
)


def noisy_image(s: setting, n: int, seed: int) -> npt.NDArray[np.float32]:
    """Draw one Poisson-Gaussian image of a setting.

    Parameters
    ----------
    s : setting
        Signal range and noise model.
    n : int
        Side of the square image.
    seed : int
        Seed of the noise generator.

    Returns
    -------
    numpy.ndarray
        float32 array of shape (n, n).
    """
    rng = np.random.default_rng(seed)
    signal = s.low + (s.high - s.low) * s.pattern(n)
    counts = rng.poisson(signal / s.gain)
    noisy = s.gain * counts + rng.normal(0.0, np.sqrt(s.offset), signal.shape)
    return noisy.astype(np.float32)


def run_setting(s: setting, n: int, seeds: int) -> tuple[FloatImage, FloatImage, float]:
    """Calibrate one setting over seeds 0 .. seeds - 1.

    Parameters
    ----------
    s : setting
        The noise setting.
    n : int
        Side of the square image.
    seeds : int
        Number of seeds.

    Returns
    -------
    gains, offsets : numpy.ndarray
        Fitted values, one per seed.
    seconds : float
        Mean calibration time per image.
    """
    gains = np.empty(seeds)
    offsets = np.empty(seeds)
    elapsed = 0.0
    for seed in range(seeds):
        img = noisy_image(s, n, seed)
        start = time.perf_counter()
        (gain,), (offset,) = _qv._calibrate_poisson_gaussian(img)
        elapsed += time.perf_counter() - start
        gains[seed] = gain
        offsets[seed] = offset
    return gains, offsets, elapsed / seeds


def main(argv: Sequence[str] | None = None) -> int:
    """Print the error statistics of every setting.

    Parameters
    ----------
    argv : sequence of str, optional
        Command-line arguments without the program name.

    Returns
    -------
    int
        Exit status, 0.
    """
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20, help="noise seeds per setting")
    parser.add_argument("--size", type=int, default=256, help="side of the square image")
    parser.add_argument("--label", default="", help="text printed above the table")
    args = parser.parse_args(argv)

    if args.label:
        print(args.label)
    print(f"{args.seeds} seeds, {args.size}x{args.size}; gain error in % of the true gain,"
          " offset error in variance units, mid: error of the fitted variance at the middle"
          " of the signal range in %")
    header = (f"{'setting':<24}{'gain mean':>10}{'err%':>8}{'sd%':>7}{'max|err|%':>10}"
              f"{'offset mean':>13}{'err':>9}{'sd':>9}{'max|err|':>10}{'mid err%':>9}{'sd%':>7}"
              f"{'ms':>6}")
    print(header)
    for s in SETTINGS:
        gains, offsets, seconds = run_setting(s, args.size, args.seeds)
        gain_err = 100.0 * (gains - s.gain) / s.gain
        offset_err = offsets - s.offset
        mid = 0.5 * (s.low + s.high)
        true_mid = s.gain * mid + s.offset
        mid_err = 100.0 * (gains * mid + offsets - true_mid) / true_mid
        print(f"{s.name:<24}{gains.mean():>10.4f}{gain_err.mean():>8.2f}{gain_err.std(ddof=1):>7.2f}"
              f"{np.abs(gain_err).max():>10.2f}{offsets.mean():>13.3f}{offset_err.mean():>9.3f}"
              f"{offset_err.std(ddof=1):>9.3f}{np.abs(offset_err).max():>10.3f}"
              f"{mid_err.mean():>9.2f}{mid_err.std(ddof=1):>7.2f}{1000.0 * seconds:>6.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
