"""Poisson-Gaussian calibration that holds on sparse scenes and sequences.

Both methods turn the image into *residuals* ``r`` whose expected square is
the noise variance, and *local means* ``m`` that average the same noise-free
intensities with the same weights.  Because the model is linear, the mean of
``r**2`` over any set of pixels is ``gain * mean(m) + offset`` whatever
the intensities of those pixels, as long as the signal itself cancels in
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
  more in it.  A frame that gives `CUBIC_BELOW` blocks or more takes only
  the first.  ``auto`` pools the first with ``temporal`` along T, both
  along Z.

The residuals are summarised in blocks of `BLOCK` x `BLOCK` pixels (smaller,
down to `SMALLEST_BLOCK`, when that gives fewer than `MIN_BLOCKS`), and each
block's pixels once more by the level of their local mean (`levels`: steps
that double away from the background), which keeps the intensity of small
bright structures.  `quorvel.noise._line.fit_line` rejects the blocks where
the signal does not cancel and fits the line to the parts of the rest.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import replace
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from quorvel import _engine as engine
from quorvel._blank import blank_frames
from quorvel._threads import resolve_threads
from quorvel.noise._artefacts import (
    _levelled,
    background_noise,
    floored,
    outliers,
    sample_rows,
    saturated,
)
from quorvel.noise._line import CUBIC, FOURTH, BlockPoints, LineFit, Parts, fit_line

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

Method = Literal["temporal", "spatial"]

#: Side of the square blocks (in pixels, per plane) that the residuals are summarised in.
BLOCK = 8
SMALLEST_BLOCK = 4
#: Fewest blocks a channel should give before the blocks are made smaller.
MIN_BLOCKS = 200
#: Fewest frames or planes the temporal method is used on by "auto".
MIN_FRAMES = 4
#: Fewest blocks a channel's fourth differences give for the spatial method
#: to fit them alone: below, the cubic-fit blocks are added for precision
#: (the energy of an 8 x 8 block of fourth differences varies about 5.6
#: times as much as that of white noise: 4096 such blocks measure the line
#: about as well as 730 blocks of white noise).
CUBIC_BELOW = 4096
#: The levels that split a block's pixels: the background level plus and
#: minus `LEVEL_STEP` noise standard deviations times 1, 2, 4, ... up to
#: `LEVEL_STEPS` doublings.
LEVEL_STEP = 3.0
LEVEL_STEPS = 14
#: Jackknife groups: blocks of `GROUP_BLOCKS` x `GROUP_BLOCKS` along Y and X
#: and `GROUP_PLANES` neighbouring frames or planes along the axis the
#: frame differences take.
GROUP_BLOCKS = 3
GROUP_PLANES = 4

F64 = npt.NDArray[np.float64]
_EMPTY = BlockPoints(np.empty(0), np.empty(0), np.empty(0), np.empty(0))


def levels(channel: npt.NDArray[Any]) -> list[float]:
    """The levels that split the blocks' pixels of one channel (T, Z, Y, X).

    The background is the median of a sample of the pixels (every few rows)
    and its noise the median absolute difference of horizontal neighbours
    (robust to sparse structure); the levels step away from it by
    `LEVEL_STEP` noise standard deviations, doubling up to `LEVEL_STEPS`
    times each way while they stay within the sample's range.
    """
    sample = sample_rows(channel)
    finite = sample[np.isfinite(sample)]
    if finite.size == 0:
        return [0.0]
    centre = float(np.median(finite))
    noise = background_noise(channel)
    if not noise > 0:
        return [centre]
    steps = LEVEL_STEP * noise * 2.0 ** np.arange(LEVEL_STEPS + 1)
    inner = np.concatenate([[0.0], steps[:-1]])
    up = centre + steps[centre + inner < finite.max()]
    down = centre - steps[centre - inner > finite.min()]
    return sorted({*down.tolist(), *up.tolist()})


def _touched(
    planes: npt.NDArray[np.bool_], side: int, margin: int, reach: int
) -> npt.NDArray[np.bool_]:
    """Whether each block of each plane of `planes` (P, Y, X) has a true pixel within `reach`.

    The blocks are those of the engine's summaries: `side` pixels square,
    from `margin` pixels in from the edges, in (plane, Y, X) order.
    """
    _, ny, nx = planes.shape
    by, bx = (ny - 2 * margin) // side, (nx - 2 * margin) // side
    if by <= 0 or bx <= 0:
        return np.zeros(0, bool)
    y = np.clip(margin + side * np.arange(by + 1)[:, None] + np.array([-reach, reach]), 0, ny)
    x = np.clip(margin + side * np.arange(bx + 1)[:, None] + np.array([-reach, reach]), 0, nx)
    y0, y1, x0, x1 = y[:-1, 0], y[1:, 1], x[:-1, 0], x[1:, 1]
    out = np.empty((planes.shape[0], by, bx), bool)
    for p, plane in enumerate(planes):
        total = np.zeros((ny + 1, nx + 1), np.int32)
        total[1:, 1:] = plane.cumsum(axis=0, dtype=np.int32).cumsum(axis=1, dtype=np.int32)
        inside = (
            total[np.ix_(y1, x1)]
            - total[np.ix_(y0, x1)]
            - total[np.ix_(y1, x0)]
            + total[np.ix_(y0, x0)]
        )
        out[p] = inside > 0
    return out.ravel()


def _block_points(
    summaries: tuple[Any, ...], split: list[float], group: npt.NDArray[np.int64]
) -> BlockPoints:
    """BlockPoints of the engine's ``(side, mean, energy, wide, parts)`` block summaries."""
    side, mean, energy, wide, (block, count, m, e, w) = summaries
    if side == 0:
        return _EMPTY
    # A part's mean lies within its level class.
    level = np.searchsorted(np.asarray(split), m, side="right").astype(np.int64)
    return BlockPoints(
        mean,
        energy,
        wide,
        np.full(mean.size, float(side * side)),
        parts=Parts(block, count, m, e, w, level),
        group=group,
    )


def _groups(
    shape: tuple[int, ...], axis: int, side: int, margin: int, pairs: bool
) -> npt.NDArray[np.int64]:
    """Jackknife group of each block, in the order the engine gives the blocks.

    `shape` is the channel's (T, Z, Y, X); the blocks of frame differences
    along `axis` (`pairs`) come per pair and plane of the other axis, those
    of single planes per plane in (T, Z) order; `margin` is how far in from
    the edges the blocks start.  Groups are `GROUP_PLANES` planes deep along
    `axis` (0 or 1; -1: no such axis) and `GROUP_BLOCKS` blocks wide, so
    that a pair's blocks share them with those of its planes.
    """
    by = (shape[2] - 2 * margin) // side
    bx = (shape[3] - 2 * margin) // side
    if by <= 0 or bx <= 0:
        return np.empty(0, np.int64)
    t, z = np.meshgrid(np.arange(shape[0]), np.arange(shape[1]), indexing="ij")
    if pairs:
        # Pairs (k, k + 1) along the axis, for every plane of the other axis.
        t, z = (t[:-1], z[:-1]) if axis == 0 else (t[:, :-1].T, z[:, :-1].T)
    along, other = (t, z) if axis == 0 else (z, t)
    if axis < 0:
        along = np.zeros_like(t)
        other = t * shape[1] + z
    slab = (along // GROUP_PLANES).ravel()[:, None, None]
    plane = other.ravel()[:, None, None]
    ty = (np.arange(by) // GROUP_BLOCKS)[None, :, None]
    tx = (np.arange(bx) // GROUP_BLOCKS)[None, None, :]
    nty, ntx = -(-by // GROUP_BLOCKS), -(-bx // GROUP_BLOCKS)
    n_other = int(other.max()) + 1
    group = ((slab * n_other + plane) * nty + ty) * ntx + tx
    return group.ravel().astype(np.int64)


#: Margins of the residuals: 2 taps of 2 pixels to each side for the spatial
#: ones, a pixel of shift and of the 3 x 3 sum for frame differences.
_SPATIAL_REACH = 4
_TEMPORAL_MARGIN = 2
#: Pixels to each side that a fourth difference spans (its wide one: twice
#: as many, two apart).
_NEAR_REACH = 2


def temporal_points(
    channel: npt.NDArray[Any],
    axis: int,
    split: list[float],
    block: int = BLOCK,
    clipped: npt.NDArray[np.bool_] | None = None,
    floor: npt.NDArray[np.bool_] | None = None,
) -> BlockPoints:
    """Blocks of neighbouring-frame differences of one channel (T, Z, Y, X) along `axis`.

    The residual is the difference of frames k + 1 and k over sqrt(2), the
    wide one the sum of the differences of 3 x 3 neighbouring pixels over 3
    (noise is independent from pixel to pixel, while what motion leaves in a
    difference is smooth and grows up to nine times in energy), the local
    mean the frames' average.  Each block of frame k + 1 is matched to frame
    k at the shift (up to one pixel along Y and X) that best explains another
    pair of frames, two frames before or after, which shares no frame and so
    no noise with this one: the choice does not select for low noise.  The
    blocks' pixels are split at the levels `split`.  The differences that
    reach a pixel `clipped` (`saturated`) in any frame are left out of the
    parts: not the whole block, which around small saturated spots would
    drop every bright pixel with the saturated ones and leave the line to
    the dim ones (a gain 0.5 to 0.8 times the camera's, beyond 4 standard
    errors); and in every pair, since a pixel clipped in some frames was
    not clipped in the others by chance: its unclipped values are the low
    ones.  The blocks' summaries are then those of the parts left.  The
    blocks that reach a `floor` pixel (`floored`) in either frame are left
    out whole: a floor spans the dim ground, where every pixel near it is
    clipped in some frames, and those left, not clipped in any, are the
    ones whose noise came out high (the gain 12 % high at a read noise of
    10).  Computed by `quorvel._engine.temporal_blocks`.
    """
    x = np.moveaxis(np.asarray(channel, dtype=np.float32), axis, 0)
    left_out = None
    if clipped is not None:
        ever = np.moveaxis(clipped, axis, 0).any(axis=0)
        left_out = np.broadcast_to(ever, x.shape)
    summaries = engine.temporal_blocks(
        x, block=block, threads=resolve_threads(0), levels=split, left_out=left_out
    )
    side = summaries[0] or block
    group = _groups(channel.shape, axis, side, _TEMPORAL_MARGIN, pairs=True)
    points = _block_points(summaries, split, group)
    if points.mean.size == 0:
        return points
    if floor is not None:
        f = np.moveaxis(floor, axis, 0)
        pairs = (f[:-1] | f[1:]).reshape(-1, *f.shape[-2:])  # (pair, other axis) order
        outside = ~_touched(pairs, side, _TEMPORAL_MARGIN, _TEMPORAL_MARGIN)
        if left_out is None:
            return points.kept(outside)
        # Blocks emptied of parts drop out below: keep their order for `outside`.
        points = _of_parts(points, drop=False)
        return points.kept(outside & (points.count > 0))
    return points if left_out is None else _of_parts(points)


def _grown(mask: npt.NDArray[np.bool_], reach: int, apart: int = 1) -> npt.NDArray[np.bool_]:
    """`mask` (..., Y, X) grown by `reach` pixels along Y and X (a square).

    With `apart`, only to the pixels a multiple of `apart` away along each.
    """
    out = mask
    for axis in (-2, -1):
        grown = out.copy()
        n = out.shape[axis]
        for step in range(apart, min(reach, n - 1) + 1, apart):
            ahead = [slice(None)] * out.ndim
            behind = [slice(None)] * out.ndim
            ahead[axis], behind[axis] = slice(step, None), slice(None, n - step)
            grown[tuple(ahead)] |= out[tuple(behind)]
            grown[tuple(behind)] |= out[tuple(ahead)]
        out = grown
    return out


def _of_parts(points: BlockPoints, drop: bool = True) -> BlockPoints:
    """`points` whose blocks summarise their parts (the pixels left), blocks without any dropped.

    The blocks of frame differences are their parts' pixels together: the
    same residuals and local means.
    """
    parts = points.parts
    assert parts is not None
    size = points.mean.size
    count = np.bincount(parts.block, parts.count, minlength=size)
    held = count > 0

    def pooled(values: F64) -> F64:
        total = np.bincount(parts.block, parts.count * values, minlength=size)
        return np.divide(total, count, out=np.zeros(size), where=held)

    whole = replace(
        points,
        mean=pooled(parts.mean),
        energy=pooled(parts.energy),
        wide=pooled(parts.wide),
        count=count,
    )
    return whole.kept(held) if drop else whole


def _with_kind(points: BlockPoints, kind: int) -> BlockPoints:
    """`points` with every block marked as of `kind`."""
    return replace(points, kind=np.full(points.mean.size, kind, np.int8))


def spatial_points(
    channel: npt.NDArray[Any],
    split: list[float],
    block: int = BLOCK,
    cubic: bool = True,
    axis: int = -1,
    clipped: npt.NDArray[np.bool_] | None = None,
    floor: npt.NDArray[np.bool_] | None = None,
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
    block's edges, so the cubic blocks share it.  The blocks' pixels are
    split at the levels `split`; `axis` is the one the frame differences
    pooled with these blocks take (their jackknife groups follow it).  The
    fourth differences that reach a `clipped` pixel (`saturated`) are left
    out of the parts, as the frame differences are (`temporal_points`); the
    cubic fits' blocks that reach one, whose means are not their parts',
    are left out whole, and so are all blocks that reach a `floor` pixel
    (`floored`).  Computed by `quorvel._engine.spatial_blocks`.
    """
    x = np.asarray(channel, dtype=np.float32)
    threads = resolve_threads(0)

    def blocks(residual: str, kind: int) -> BlockPoints:
        near = None
        if clipped is not None and residual == "fourth":
            # The fourth differences over the 5 x 5 pixels around, and the
            # wide ones over the 5 x 5 two apart.
            near = _grown(clipped, _NEAR_REACH) | _grown(clipped, 2 * _NEAR_REACH, apart=2)
        pixelwise = near is not None
        summaries = engine.spatial_blocks(
            x, residual=residual, block=block, threads=threads, levels=split, left_out=near
        )
        side = summaries[0] or block
        group = _groups(channel.shape, axis, side, _SPATIAL_REACH, pairs=False)
        points = _with_kind(_block_points(summaries, split, group), kind)
        whole = floor if pixelwise else _either(clipped, floor)
        if points.mean.size == 0 or (whole is None and not pixelwise):
            return points
        if pixelwise:
            points = _of_parts(points, drop=whole is None)
        if whole is None:
            return points
        planes = whole.reshape(-1, *whole.shape[-2:])
        outside = ~_touched(planes, side, _SPATIAL_REACH, _SPATIAL_REACH)
        return points.kept(outside & (points.count > 0))

    points = blocks("fourth", FOURTH)
    return points + blocks("cubic", CUBIC) if cubic else points


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
        Add the blocks of the spatial method to those of the temporal one
        (the fourth differences; along Z the cubic-fit residuals too);
        default: for ``'auto'`` only.

    Returns
    -------
    LineFit
        The fitted line, its block points and its standard errors.
    """
    channel = _without_blank_frames(channel)
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
    # The clipped pixels are found before any level is taken out: they hold
    # one value in every frame only as recorded.
    top, bottom = saturated(channel), floored(channel)
    lowest = np.asarray(channel).min()
    if method == "temporal" and axis == 0:
        channel = _levelled(channel, _either(top, bottom))
    split = levels(channel)
    top = _either(top, outliers(channel))
    if bottom is not None:
        # Without the blocks at a floor, where enough blocks are left.
        fit = _fit_points(channel, method, axis, pool, split, block, top, bottom)
        if np.isfinite(fit.gain):
            return fit
        warnings.warn(
            f"{np.mean(bottom):.0%} of a channel's pixels sit at its smallest value "
            f"{lowest:g} (its dark level subtracted and clipped?): its noise "
            "cannot be measured without them, and the gain measured with them can be far off; "
            "keep the dark level in the image, or give the camera's model (`quorvel calibrate`)",
            RuntimeWarning,
            skip_file_prefixes=(_PACKAGE_DIR,),
        )
    return _fit_points(channel, method, axis, pool, split, block, top)


def _without_blank_frames(channel: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`channel` (T, Z, Y, X) without its blank frames (`quorvel._blank.blank_frames`).

    A dropped or dark frame holds one value: its differences with its
    neighbours hold their whole structure and none of its noise, and its
    own residuals are 0 at its level, which pulled the gain of a sequence
    off (1.63 rather than 1.87) and widened its error.  The frames around
    it become neighbours.  Kept where fewer than two frames would be left
    (a channel of one value is no fit's).
    """
    if channel.shape[0] < 2:
        return channel
    blank = blank_frames(np.asarray(channel)[:, None])
    if not blank.any() or np.count_nonzero(~blank) < 2:
        return channel
    return np.asarray(channel)[~blank]


@overload
def _either(a: npt.NDArray[np.bool_] | None, b: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]: ...
@overload
def _either(
    a: npt.NDArray[np.bool_] | None, b: npt.NDArray[np.bool_] | None
) -> npt.NDArray[np.bool_] | None: ...
def _either(
    a: npt.NDArray[np.bool_] | None, b: npt.NDArray[np.bool_] | None
) -> npt.NDArray[np.bool_] | None:
    """The pixels of either mask (None: no pixel)."""
    if a is None or b is None:
        return b if a is None else a
    return a | b


def _fit_points(
    channel: npt.NDArray[Any],
    method: str,
    axis: int,
    pool: bool,
    split: list[float],
    block: int,
    clipped: npt.NDArray[np.bool_] | None,
    floor: npt.NDArray[np.bool_] | None = None,
) -> LineFit:
    """`fit_channel`'s line without what reaches a `clipped` or `floor` pixel."""
    if method == "temporal":
        points = temporal_points(channel, axis, split, block, clipped, floor)
        if pool:
            # Flat blocks of the frames measure the same line where the
            # differences do not (structure that moves).  Along Z bright
            # structure changes from plane to plane (beads widen out of
            # focus), so the differences keep it around every bright spot
            # and the single planes carry the bright end of the line: the
            # cubic-fit parts, the most precise of them, join there.  Along
            # T they would add only what moving structure leaves in them.
            cubic = axis == 1
            points = points + spatial_points(
                channel, split, block, cubic=cubic, axis=axis, clipped=clipped, floor=floor
            )
    else:
        cubic = _blocks(channel.shape, block) < CUBIC_BELOW
        points = spatial_points(channel, split, block, cubic=cubic, clipped=clipped, floor=floor)
    # The range of the block means: single noisy pixels reach below the
    # intensity where a camera's variance line crosses 0.
    means = points.mean[np.isfinite(points.mean)]
    lo, hi = (means.min(), means.max()) if means.size else (0.0, 0.0)
    return fit_line(points, float(lo), float(hi))
