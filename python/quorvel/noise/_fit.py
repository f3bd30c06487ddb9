"""Poisson-Gaussian calibration that holds on sparse scenes and sequences.

Both methods turn the image into *residuals* ``r`` whose expected square is
the noise variance, and *local means* ``m`` that average the same noise-free
intensities with the same weights.  Because the model is linear, the mean of
``r**2`` over any block of pixels is ``gain * mean(m) + offset`` whatever
the intensities inside the block, as long as the signal itself cancels in
``r``.

- ``temporal``: ``r`` is the difference of two neighbouring frames (or
  planes) over sqrt(2) and ``m`` their mean; static structure cancels.
- ``spatial``: ``r`` is the pixel minus the mean of its four neighbours
  (scaled to keep the variance) and ``m`` the matching weighted mean; only
  locally flat signal cancels.

The residuals are summarised in blocks of `BLOCK` pixels per plane.  Blocks
where the signal does not cancel (structure, edges, motion) hold more energy
than the noise explains; they are rejected against the current fit (a
one-sided test on the block's mean square), the line is refitted on the
rest, and this repeats until the set of blocks settles.  The line is fitted
by weighted least squares (weights: block size over predicted variance
squared) through two anchor points inside the data's intensity range; both
anchors are kept positive, so the fitted variance is never negative over
that range.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

Method = Literal["temporal", "spatial"]

#: Side of the square blocks (in pixels, per plane) that the residuals are summarised in.
BLOCK = 8
#: Fewest frames or planes the temporal method is used on by "auto".
MIN_FRAMES = 4
#: A block is rejected when its mean square exceeds the prediction by this
#: many of its standard errors.
REJECT_Z = 3.5
#: Rounds of rejection and refit.
MAX_ROUNDS = 12
#: Smallest fitted variance allowed at the anchors, as a share of the median block energy.
MIN_VARIANCE_SHARE = 1e-3

F64 = npt.NDArray[np.float64]


@dataclass(frozen=True)
class BlockPoints:
    """Block summaries of one channel.

    `mean` is the block's local mean, `energy` its mean square residual and
    `wide` the mean square of the same residual taken at twice the distance
    (two pixels, or two frames apart), `count` its number of pixels.  Noise
    alone gives both energies the same expectation; signal that does not
    cancel (curvature, motion) grows about four times as fast in `wide`.
    """

    mean: F64
    energy: F64
    wide: F64
    count: F64


@dataclass(frozen=True)
class LineFit:
    """A fitted line ``variance = gain * intensity + offset`` and the blocks it used."""

    gain: float
    offset: float
    points: BlockPoints
    used: npt.NDArray[np.bool_]


def _block_sums(values: F64, block: int) -> F64:
    """Sum of `values` (..., Y, X) over blocks of block x block pixels, whole blocks only."""
    *lead, ny, nx = values.shape
    by, bx = ny // block, nx // block
    cut = values[..., : by * block, : bx * block]
    return cut.reshape(*lead, by, block, bx, block).sum(axis=(-3, -1))


_EMPTY = BlockPoints(np.empty(0), np.empty(0), np.empty(0), np.empty(0))


def _points(residual: F64, wide: F64, mean: F64, block: int) -> BlockPoints:
    """Block summaries of residual, wide-residual and local-mean planes (..., Y, X)."""
    ny, nx = residual.shape[-2:]
    size = min(block, ny, nx)
    if size < 2:
        return _EMPTY
    n = float(size * size)
    energy = _block_sums(residual * residual, size) / n
    wide_energy = _block_sums(wide * wide, size) / n
    m = _block_sums(mean, size) / n
    return BlockPoints(m.ravel(), energy.ravel(), wide_energy.ravel(), np.full(m.size, n))


def temporal_points(channel: npt.NDArray[Any], axis: int, block: int = BLOCK) -> BlockPoints:
    """Blocks of neighbouring-frame differences of one channel (T, Z, Y, X) along `axis`."""
    x = np.asarray(channel, dtype=np.float64)
    n = x.shape[axis]
    if n < 2:
        return _EMPTY
    # Pairs (k, k + 1) beside (k, k + 2); with two frames the pair stands in for both.
    pairs = max(n - 2, 1)
    first = np.take(x, np.arange(pairs), axis=axis)
    second = np.take(x, np.arange(1, pairs + 1), axis=axis)
    third = np.take(x, np.arange(min(2, n - 1), pairs + min(2, n - 1)), axis=axis)
    return _points(
        (second - first) / np.sqrt(2.0),
        (third - first) / np.sqrt(2.0),
        0.5 * (first + second),
        block,
    )


def spatial_points(channel: npt.NDArray[Any], block: int = BLOCK) -> BlockPoints:
    """Blocks of four-neighbour residuals of one channel (T, Z, Y, X), plane by plane."""
    x = np.asarray(channel, dtype=np.float64)
    if x.shape[-1] < 5 or x.shape[-2] < 5:
        return _EMPTY
    centre = x[..., 2:-2, 2:-2]

    def ring(d: int) -> F64:
        ny, nx = x.shape[-2:]
        return (
            x[..., 2 - d : ny - 2 - d, 2:-2]
            + x[..., 2 + d : ny - 2 + d, 2:-2]
            + x[..., 2:-2, 2 - d : nx - 2 - d]
            + x[..., 2:-2, 2 + d : nx - 2 + d]
        )

    near = ring(1)
    # var(c - s/4) = v + v/4 for equal variances: scale by sqrt(4/5).  Its
    # expected square weighs the centre's variance by 4/5 and each
    # neighbour's by 1/20, and so does the local mean.
    residual = np.sqrt(0.8) * (centre - 0.25 * near)
    wide = np.sqrt(0.8) * (centre - 0.25 * ring(2))
    mean = 0.8 * centre + 0.05 * near
    return _points(residual, wide, mean, block)


def _weighted_line(
    x: F64, y: F64, w: F64, lo: float, hi: float, floor: float
) -> tuple[float, float]:
    """Weighted least-squares line through (x, y), kept >= floor at x = lo and x = hi.

    The line is written as ``a * (hi - x) / span + b * (x - lo) / span``, so
    that a and b are its values at the two anchors; each is clamped to the
    floor with the other refitted.
    """
    span = hi - lo
    u = (hi - x) / span
    v = (x - lo) / span
    suu, suv, svv = (w * u * u).sum(), (w * u * v).sum(), (w * v * v).sum()
    suy, svy = (w * u * y).sum(), (w * v * y).sum()
    det = suu * svv - suv * suv
    if det > 1e-12 * suu * svv:
        a = (suy * svv - svy * suv) / det
        b = (svy * suu - suy * suv) / det
    else:  # all points at one intensity: a flat line through them
        a = b = (w * y).sum() / w.sum()
    if a < floor:
        a = floor
        b = max((svy - a * suv) / svv, floor) if svv > 0 else floor
    elif b < floor:
        b = floor
        a = max((suy - b * suv) / suu, floor) if suu > 0 else floor
    gain = (b - a) / span
    return float(gain), float(a - gain * lo)


def fit_line(points: BlockPoints, lo: float, hi: float) -> LineFit:
    """Fit ``variance = gain * intensity + offset`` to block points, rejecting structure.

    Parameters
    ----------
    points : BlockPoints
        Block summaries of one channel.
    lo, hi : float
        Intensity range of the channel's local means: the fitted variance
        stays positive over it.

    Returns
    -------
    LineFit
        The line (NaN gain and offset when no block carries noise) and the
        blocks it rests on.
    """
    finite = np.isfinite(points.mean) & np.isfinite(points.energy)
    positive = finite & (points.energy > 0)
    if positive.sum() < 2 or not hi > lo:
        return LineFit(np.nan, np.nan, points, np.zeros(points.mean.shape, bool))
    x, y, n = points.mean, points.energy, points.count
    floor = MIN_VARIANCE_SHARE * float(np.median(y[positive]))
    # Flat blocks: the wide residual holds no more energy than the near one.
    # The spread of that difference (relative to the energy) is taken from
    # the blocks themselves, so heavy-tailed noise is judged by its own scale.
    # Logarithms of energy ratios: nearly symmetric for noise alone.
    with np.errstate(divide="ignore", invalid="ignore"):
        excess = np.log(points.wide / y)
    positive &= np.isfinite(excess)
    flat = positive & (excess <= REJECT_Z * _noise_scale(excess[positive]))
    used = flat if flat.sum() >= 2 else positive
    gain = offset = np.nan
    for _ in range(MAX_ROUNDS):
        # Two passes per round: the weights follow the prediction.
        predicted = np.full(x.shape, float(np.median(y[used])))
        for _pass in range(2):
            w = n[used] / predicted[used] ** 2
            gain, offset = _weighted_line(x[used], y[used], w, lo, hi, floor)
            predicted = np.maximum(gain * x + offset, floor)
        ratio = np.log(np.where(positive, y, 1.0) / predicted)
        keep = flat & (ratio <= REJECT_Z * _noise_scale(ratio[used]))
        if np.array_equal(keep, used) or keep.sum() < 2:
            break
        used = keep
    return LineFit(gain, offset, points, used)


def _noise_scale(values: F64) -> float:
    """Standard deviation of the noise in `values` from their negative side.

    Structure only adds energy, so values below 0 come from noise alone: for
    noise symmetric about 0 their median magnitude is 0.6745 of its standard
    deviation.
    """
    below = values[values < 0]
    if below.size == 0:
        return 0.0
    return 1.4826 * float(np.median(-below))


def choose_method(shape: tuple[int, ...]) -> tuple[Method, int]:
    """The method "auto" takes for a channel of shape (T, Z, Y, X), and the axis it uses."""
    nt, nz = shape[0], shape[1]
    if nt >= MIN_FRAMES:
        return "temporal", 0
    if nz >= MIN_FRAMES:
        return "temporal", 1
    return "spatial", -1


def fit_channel(channel: npt.NDArray[Any], method: Method | Literal["auto"]) -> LineFit:
    """Fit the noise of one channel, an array (T, Z, Y, X).

    Parameters
    ----------
    channel : ndarray
        One channel in core layout without its channel axis.
    method : {'auto', 'temporal', 'spatial'}
        ``'temporal'`` uses differences along T when there are at least two
        frames, else along Z; ``'auto'`` takes ``'temporal'`` when T or Z
        has at least `MIN_FRAMES` elements and ``'spatial'`` otherwise.

    Returns
    -------
    LineFit
        The fitted line and its block points.
    """
    axis = -1
    if method == "auto":
        method, axis = choose_method(channel.shape)
    elif method == "temporal":
        axis = 0 if channel.shape[0] >= 2 else 1
        if channel.shape[axis] < 2:
            raise ValueError(
                "method='temporal' needs at least two frames (T) or planes (Z), got "
                f"T={channel.shape[0]}, Z={channel.shape[1]}"
            )
    points = (
        temporal_points(channel, axis) if method == "temporal" else spatial_points(channel)
    )
    # The range of the local means: single noisy pixels reach below the
    # intensity where a camera's variance line crosses 0.
    means = points.mean[np.isfinite(points.mean)]
    lo, hi = (means.min(), means.max()) if means.size else (0.0, 0.0)
    return fit_line(points, float(lo), float(hi))
