"""Poisson-Gaussian calibration that holds on sparse scenes and sequences.

Both methods turn the image into *residuals* ``r`` whose expected square is
the noise variance, and *local means* ``m`` that average the same noise-free
intensities with the same weights.  Because the model is linear, the mean of
``r**2`` over any block of pixels is ``gain * mean(m) + offset`` whatever
the intensities inside the block, as long as the signal itself cancels in
``r``.

- ``temporal``: ``r`` is the difference of two neighbouring frames (or
  planes) over sqrt(2) and ``m`` their mean; static structure cancels, and
  each block is matched over a pixel of shift to follow moving structure.
- ``spatial``: two residuals of each frame, pooled.  The fourth difference
  along Y of the fourth differences along X (scaled to keep the variance),
  with ``m`` the mean weighted by its squared taps: signal that is a cubic
  along Y or along X cancels, and sharp spots and filaments leave little,
  but neighbouring values are correlated, so a block says less.  And the
  pixel minus a local cubic fit: nearly white noise, but structure leaves
  more in it.  The pool with ``temporal``, and a frame that gives
  `CUBIC_BELOW` blocks or more, take only the first.

The residuals are summarised in blocks of `BLOCK` x `BLOCK` pixels (smaller,
down to `SMALLEST_BLOCK`, when that gives fewer than `MIN_BLOCKS`).  Blocks
where the signal does not cancel (structure, edges, motion) hold more energy
than the noise explains.  Two tests reject them: a flatness test (a wider
residual, taken at twice the distance or summed over neighbouring pixels,
must not hold more energy than the current fit predicts: noise does not
care about distance, leftover signal grows; the first round, before any
fit, compares it with the block's own energy) and an energy test against
the current fit, both one-sided, on logarithms of energy ratios, at
`FLAT_Z` and `REJECT_Z` spreads measured on the blocks themselves (from the
side that only noise reaches).  Judging the wide energy against the fit
rather than against the block's energy keeps the choice of blocks from
favouring those whose energy came out high by chance.  The line is
refitted on the rest until the set of blocks settles.  It is fitted by
weighted least squares (weights: on single frames the inverse square of the
spread of each kind of residual around the line, measured on its blocks,
else the block size, over the predicted variance squared) through two anchor points at the ends of the
blocks' range of local means; both anchors are kept positive, so the
fitted variance is never negative over that range.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quorvel import _engine as engine
from quorvel._threads import resolve_threads

Method = Literal["temporal", "spatial"]

#: Side of the square blocks (in pixels, per plane) that the residuals are summarised in.
BLOCK = 8
SMALLEST_BLOCK = 4
#: Fewest blocks a channel should give before the blocks are made smaller.
MIN_BLOCKS = 200
#: Fewest frames or planes the temporal method is used on by "auto".
MIN_FRAMES = 4
#: A block is rejected when its mean square exceeds the prediction by this
#: many of its standard errors.
REJECT_Z = 3.5
#: A block is not flat when its wide energy exceeds the fitted line (its own
#: energy before the first fit) by this many spreads of that excess.
#: Stricter than `REJECT_Z`: leftover structure passes this test more easily
#: than the energy test, and a noise block it rejects wrongly costs only a
#: little precision.
FLAT_Z = 2.5
#: Kinds of residual: differences of frames, fourth differences of single
#: frames, differences to a local cubic fit of single frames.
FRAMES, FOURTH, CUBIC = 0, 1, 2
#: How many times the excess of the wide energy over the fitted line that
#: noise alone reaches (`FLAT_Z` spreads) a flat block of each kind may hold.
#: What structure leaves in a fourth difference taken two pixels apart is
#: many times what it leaves in one taken one pixel apart (2**16 times for
#: smooth structure), so that test can be looser and still keep it out: at
#: 1 it rejected every bright block of sparse frames whose near residual was
#: clean.  What motion leaves in frame differences summed over 3 x 3 pixels
#: grows only up to 9 times, and what leaves a cubic fit is not far below
#: what leaves one of twice the reach: their tests stay strict.
WIDE_GROWTH = (1.0, 16.0, 1.0)
#: Fewest blocks a channel's fourth differences give for the spatial method
#: to fit them alone: below, the cubic-fit blocks are added for precision
#: (the energy of an 8 x 8 block of fourth differences varies about 5.6
#: times as much as that of white noise: 4096 such blocks measure the line
#: about as well as 730 blocks of white noise).
CUBIC_BELOW = 4096
#: Rounds of rejection and refit.
MAX_ROUNDS = 12
#: Smallest fitted variance allowed at the anchors, as a share of the median block energy.
MIN_VARIANCE_SHARE = 1e-3

F64 = npt.NDArray[np.float64]


@dataclass(frozen=True)
class BlockPoints:
    """Block summaries of one channel.

    `mean` is the block's local mean, `energy` its mean square residual and
    `wide` the mean square of a residual that noise alone gives the same
    expectation but leftover signal more (the spatial residual taken two
    pixels apart, the frame difference summed over 3 x 3 pixels), `count`
    its number of pixels.  Signal that does not cancel (curvature, motion)
    grows about four to nine times as fast in `wide`.
    """

    mean: F64
    energy: F64
    wide: F64
    count: F64
    #: Which residual each block comes from (0: frames, 1: pixels): the
    #: spread of the flatness statistic is measured per kind.
    kind: npt.NDArray[np.int8] | None = None

    def __add__(self, other: BlockPoints) -> BlockPoints:
        """The blocks of both, each keeping its kind."""
        kinds = [
            p.kind if p.kind is not None else np.full(p.mean.size, k, np.int8)
            for k, p in enumerate((self, other))
        ]
        return BlockPoints(
            np.concatenate([self.mean, other.mean]),
            np.concatenate([self.energy, other.energy]),
            np.concatenate([self.wide, other.wide]),
            np.concatenate([self.count, other.count]),
            np.concatenate(kinds),
        )


@dataclass(frozen=True)
class LineFit:
    """A fitted line ``variance = gain * intensity + offset`` and the blocks it used."""

    gain: float
    offset: float
    points: BlockPoints
    used: npt.NDArray[np.bool_]


_EMPTY = BlockPoints(np.empty(0), np.empty(0), np.empty(0), np.empty(0))


def _block_points(summaries: tuple[int, F64, F64, F64]) -> BlockPoints:
    """BlockPoints of the engine's ``(side, mean, energy, wide)`` block summaries."""
    side, mean, energy, wide = summaries
    if side == 0:
        return _EMPTY
    return BlockPoints(mean, energy, wide, np.full(mean.size, float(side * side)))


def temporal_points(channel: npt.NDArray[Any], axis: int, block: int = BLOCK) -> BlockPoints:
    """Blocks of neighbouring-frame differences of one channel (T, Z, Y, X) along `axis`.

    The residual is the difference of frames k + 1 and k over sqrt(2), the
    wide one the sum of the differences of 3 x 3 neighbouring pixels over 3
    (noise is independent from pixel to pixel, while what motion leaves in a
    difference is smooth and grows up to nine times in energy), the local
    mean the frames' average.  Each block of frame k + 1 is matched to frame
    k at the shift (up to one pixel along Y and X) that best explains another
    pair of frames, two frames before or after, which shares no frame and so
    no noise with this one: the choice does not select for low noise.
    Computed by `quorvel._engine.temporal_blocks`.
    """
    x = np.moveaxis(np.asarray(channel, dtype=np.float32), axis, 0)
    return _block_points(engine.temporal_blocks(x, block=block, threads=resolve_threads(0)))


#: Margin of the spatial residuals: 2 taps of 2 pixels to each side.
_SPATIAL_REACH = 4


def _with_kind(points: BlockPoints, kind: int) -> BlockPoints:
    """`points` with every block marked as of `kind`."""
    return replace(points, kind=np.full(points.mean.size, kind, np.int8))


def spatial_points(
    channel: npt.NDArray[Any], block: int = BLOCK, cubic: bool = True
) -> BlockPoints:
    """Blocks of high-pass residuals of one channel (T, Z, Y, X), plane by plane.

    Two residuals, each with a wide one that takes the same pixels two
    apart:

    - the fourth difference along Y of the fourth differences along X (5 x 5
      pixels, unit noise gain): it vanishes wherever the image is a cubic
      along Y or along X, so a ridge along either axis cancels whatever its
      profile, and a sharp spot or an oblique filament leaves little; but
      its values are correlated from pixel to pixel, so a block says less
      (an 8 x 8 block's energy spreads about 2.4 times as much as that of
      white noise);
    - with `cubic`, the pixel minus the value that a product of cubics along
      Y and X, fitted to the 5 x 5 pixels around it, gives it: nearly white,
      but sharp structure leaves more in it.

    With kernel k, ``E[r**2] = sum(k**2 * v)``.  The local mean weighs the
    pixels by the squared fourth-difference taps (unit sum); the block mean
    of a local mean depends on its weights only through what crosses the
    block's edges, so the cubic blocks share it.  Computed by
    `quorvel._engine.spatial_blocks`.
    """
    x = np.asarray(channel, dtype=np.float32)
    threads = resolve_threads(0)
    points = _with_kind(
        _block_points(engine.spatial_blocks(x, residual="fourth", block=block, threads=threads)),
        FOURTH,
    )
    if not cubic:
        return points
    cubic_points = _block_points(
        engine.spatial_blocks(x, residual="cubic", block=block, threads=threads)
    )
    return points + _with_kind(cubic_points, CUBIC)


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
    # Flat blocks of the first round: the wide residual holds no more energy
    # than the near one (later rounds judge it against the line).
    # The spread of that difference (relative to the energy) is taken from
    # the blocks themselves, so heavy-tailed noise is judged by its own scale.
    # Logarithms of energy ratios: nearly symmetric for noise alone.
    with np.errstate(divide="ignore", invalid="ignore"):
        excess = np.log(points.wide / y)
    positive &= np.isfinite(excess)
    kind = points.kind if points.kind is not None else np.zeros(x.shape, np.int8)
    kinds = [(int(k), kind == k) for k in np.unique(kind)]
    flat_scale = np.zeros(x.shape)
    for _k, of_kind in kinds:
        flat_scale[of_kind] = _noise_scale(excess[positive & of_kind])
    flat = positive & (excess <= FLAT_Z * flat_scale)
    used = flat if flat.sum() >= 2 else positive
    # Later rounds judge the wide energy against the line; where its test is
    # looser than this one, a wide energy far above the block's own still
    # marks structure, however high a line pulled up by structure predicts.
    growth = np.asarray(WIDE_GROWTH)[kind]
    loose = growth > 1.0
    never_flat = loose & (excess > np.log1p(growth * np.expm1(FLAT_Z * flat_scale)))
    gain = offset = np.nan
    # Inverse relative variance of a block's energy: that of white noise
    # until the spread of each kind around the line is measured.
    precision = n / 2.0
    for _ in range(MAX_ROUNDS):
        # Two passes per round: the weights follow the prediction.
        predicted = np.full(x.shape, float(np.median(y[used])))
        for _pass in range(2):
            w = precision[used] / predicted[used] ** 2
            gain, offset = _weighted_line(x[used], y[used], w, lo, hi, floor)
            predicted = np.maximum(gain * x + offset, floor)
        ratio = np.log(np.where(positive, y, 1.0) / predicted)
        # The spread of the energies around the line, per kind of residual:
        # on single frames its inverse square weighs the kind's blocks in
        # the next fit.  A
        # fit pulled up by structure widens the spread below it: the spread
        # of the flatness statistic (a difference of two such energies)
        # bounds it in the energy test.
        spread = np.zeros(x.shape)
        for _k, of_kind in kinds:
            spread[of_kind] = _noise_scale(ratio[used & of_kind])
        scale = np.minimum(spread, flat_scale)
        if not any(k == FRAMES for k, _ in kinds):
            # Beside frame differences every kind keeps the weight of white
            # noise: what sub-pixel motion leaves in the differences does
            # not widen their spread, and weighing them by it handed the
            # line to them (moving filaments 7 % high instead of 3 %).
            precision = np.where(spread > 0, 1.0 / np.maximum(spread, 1e-12) ** 2, n / 2.0)
        flat = _flat_against(points.wide, predicted, positive, used, kinds) & ~never_flat
        keep = flat & (ratio <= REJECT_Z * scale)
        if np.array_equal(keep, used) or keep.sum() < 2:
            break
        used = keep
    return LineFit(gain, offset, points, used)


def _flat_against(
    wide: F64,
    predicted: F64,
    positive: npt.NDArray[np.bool_],
    used: npt.NDArray[np.bool_],
    kinds: list[tuple[int, npt.NDArray[np.bool_]]],
) -> npt.NDArray[np.bool_]:
    """Blocks whose wide energy the predicted variance explains, per kind of residual.

    The wide energy is judged against the fitted line, not against the
    block's own energy: a test on their ratio keeps the blocks whose energy
    came out high by chance, which pulls the line up (on a sparse single
    frame the blocks it kept held 6 to 35 % more energy than the noise,
    depending on their intensity).
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.log(np.where(positive, wide, 1.0) / predicted)
    flat = positive & np.isfinite(ratio)
    for k, of_kind in kinds:
        spread = _noise_scale(ratio[used & of_kind])
        allowed = np.log1p(WIDE_GROWTH[k] * np.expm1(FLAT_Z * spread))
        flat[of_kind] &= ratio[of_kind] <= allowed
    return flat


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


def _block_size(shape: tuple[int, ...]) -> int:
    """The largest block side from `BLOCK` down that gives `MIN_BLOCKS` blocks."""
    planes = int(np.prod(shape[:-2]))
    for side in range(BLOCK, SMALLEST_BLOCK, -1):
        if planes * (shape[-2] // side) * (shape[-1] // side) >= MIN_BLOCKS:
            return side
    return SMALLEST_BLOCK


def _blocks(shape: tuple[int, ...], block: int) -> int:
    """Number of blocks the spatial residuals of a channel of `shape` give."""
    reach = _SPATIAL_REACH
    planes = int(np.prod(shape[:-2]))
    return planes * ((shape[-2] - 2 * reach) // block) * ((shape[-1] - 2 * reach) // block)


def choose_method(shape: tuple[int, ...]) -> tuple[Method, int]:
    """The method "auto" takes for a channel of shape (T, Z, Y, X), and the axis it uses."""
    nt, nz = shape[0], shape[1]
    if nt >= MIN_FRAMES:
        return "temporal", 0
    if nz >= MIN_FRAMES:
        return "temporal", 1
    return "spatial", -1


def fit_channel(
    channel: npt.NDArray[Any], method: Method | Literal["auto"], pool: bool | None = None
) -> LineFit:
    """Fit the noise of one channel, an array (T, Z, Y, X).

    Parameters
    ----------
    channel : ndarray
        One channel in core layout without its channel axis.
    method : {'auto', 'temporal', 'spatial'}
        ``'temporal'`` uses differences along T when there are at least two
        frames, else along Z; ``'auto'`` takes ``'temporal'`` when T or Z
        has at least `MIN_FRAMES` elements and ``'spatial'`` otherwise.
    pool : bool, optional
        Add the fourth-difference blocks of the spatial method to those of
        the temporal one (default: for ``'auto'`` only).

    Returns
    -------
    LineFit
        The fitted line and its block points.
    """
    block = _block_size(channel.shape)
    axis = -1
    if pool is None:
        pool = method == "auto"
    if method == "auto":
        method, axis = choose_method(channel.shape)
    elif method == "temporal":
        axis = 0 if channel.shape[0] >= 2 else 1
        if channel.shape[axis] < 2:
            raise ValueError(
                "method='temporal' needs at least two frames (T) or planes (Z), got "
                f"T={channel.shape[0]}, Z={channel.shape[1]}"
            )
    if method == "temporal":
        points = temporal_points(channel, axis, block)
        if pool:
            # Flat blocks of the frames measure the same line where the
            # differences do not (structure that moves); the differences
            # already give the precision the cubic-fit blocks would add.
            points = points + spatial_points(channel, block, cubic=False)
    else:
        points = spatial_points(channel, block, cubic=_blocks(channel.shape, block) < CUBIC_BELOW)
    # The range of the local means: single noisy pixels reach below the
    # intensity where a camera's variance line crosses 0.
    means = points.mean[np.isfinite(points.mean)]
    lo, hi = (means.min(), means.max()) if means.size else (0.0, 0.0)
    return fit_line(points, float(lo), float(hi))
