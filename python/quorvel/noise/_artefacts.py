"""What real cameras add to an image that the noise line does not describe.

Each detector marks pixels that a fit of ``variance = gain * intensity +
offset`` must leave out, or takes out a change that is no noise: the
channel's saturation level (`saturated`), a floor at a subtracted dark
level (`floored`), isolated hot pixels (`outliers`), and a dark level that
drifts over a time-lapse (`_levelled`).  Channels are arrays (T, Z, Y, X).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]


#: Pixels sampled (at most) for the levels.
LEVEL_SAMPLE = 1 << 16
#: Fewest pixels at a channel's largest value that can make it a saturation level.
SATURATED_PIXELS = 8
#: Standard errors by which a level drifting from frame to frame must stand
#: out, alike in every quarter of the frame (`_levelled`).
DRIFT_ERRORS = 4.0
#: Share of the drift by which the quarters' drifts may differ (`_levelled`).
DRIFT_SPREAD = 0.25
#: Percentile of the means of blocks of `GROUND_BLOCK` x `GROUND_BLOCK`
#: pixels at or below which a block is background, where a drift is judged
#: again (`_levelled`).
DRIFT_GROUND = 25.0
GROUND_BLOCK = 4
#: Least share of the second-smallest value's pixels among the smallest
#: but one's with which the smallest can be a floor (`floored`).
FLOOR_SPREAD = 0.5
#: Noise standard deviations (of the background) by which a pixel must
#: exceed the largest of its 8 neighbours to be an outlier (`outliers`).
OUTLIER_ERRORS = 8.0
#: Least share of its height over the pixels around its neighbours by which
#: an outlier exceeds the largest of its neighbours (`outliers`): a spot of
#: light spreads over its neighbours, a defect does not.
OUTLIER_SHARE = 0.75
#: The same share for the dimmest of 2 or 3 neighbouring outliers over the
#: pixels touching them (`outliers`): a spot's light reaches the pixels
#: beside any two or three of its own.
OUTLIER_CLUSTER_SHARE = 0.85
#: Times the misfit of a smooth surface to the pixels around it (the 24 of
#: its 5 x 5 neighbourhood) by which a pixel exceeds that surface's value at
#: it, and least share of its height by which it does, to be an outlier
#: beside brighter structure (`outliers`).
OUTLIER_MISFIT = 10.0
OUTLIER_MODEL_SHARE = 0.5


def sample_rows(channel: npt.NDArray[Any]) -> F64:
    """Every few rows of `channel`, at most about `LEVEL_SAMPLE` pixels, as float64."""
    rows = np.asarray(channel).reshape(-1, channel.shape[-1])
    step = max(1, rows.size // LEVEL_SAMPLE)
    return rows[::step].astype(np.float64)


def background_noise(channel: npt.NDArray[Any]) -> float:
    """The noise of the background of `channel`, robust to sparse structure.

    The scaled median absolute difference of horizontal neighbours, over
    every few rows (`LEVEL_SAMPLE` pixels at most).
    """
    d = np.abs(np.diff(sample_rows(channel), axis=-1)).ravel()
    d = d[np.isfinite(d)]
    return 1.4826 * float(np.median(d)) / np.sqrt(2.0) if d.size else 0.0


def saturated(channel: npt.NDArray[Any]) -> npt.NDArray[np.bool_] | None:
    """The pixels at the channel's saturation level, or None where it shows none.

    A camera clips what is brighter than its largest value, and the pixels
    there hold the whole tail beyond it: more of them than of the value just
    below, whereas the largest values of unclipped noise are the rarest.
    Clipped pixels vary less than the model says (a bright spot clipped
    throughout not at all), and the blocks around them would pull the gain
    down.
    """
    x = np.asarray(channel)
    top = x.max()
    at_top: npt.NDArray[np.bool_] = np.asarray(x == top)
    n = int(np.count_nonzero(at_top))
    if n < SATURATED_PIXELS or n == x.size:
        return None
    lowest = np.iinfo(x.dtype).min if np.issubdtype(x.dtype, np.integer) else -np.inf
    below = x.max(where=~at_top, initial=lowest)
    if n <= np.count_nonzero(x == below):
        return None
    return at_top


#: Offsets of the 8 neighbours of a pixel, and of the 16 pixels around them.
_NEIGHBOURS = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx]
_RING = [(dy, dx) for dy in range(-2, 3) for dx in range(-2, 3) if max(abs(dy), abs(dx)) == 2]
#: Pixels an outlier's search reaches beyond the plane's edges (`outliers`).
_PAD = 3


def _surface() -> tuple[F64, F64]:
    """Weights of a cubic surface fitted to the 24 pixels around a pixel (`outliers`).

    Least squares of the 10 terms ``dy**i * dx**j`` (i + j <= 3) over the
    pixels of `_NEIGHBOURS` and `_RING`, in that order: the row of weights
    that gives the surface's value at the pixel, and the matrix that gives
    its misfits at those pixels.
    """
    around = np.array(_NEIGHBOURS + _RING, dtype=np.float64)
    terms = np.stack(
        [around[:, 0] ** i * around[:, 1] ** j for i in range(4) for j in range(4 - i)], axis=1
    )
    solve = np.linalg.pinv(terms)
    return solve[0], np.eye(len(around)) - terms @ solve


_AT_PIXEL, _MISFITS = _surface()


def _cluster_rings() -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Offsets of the pixels around clusters of 2 and 3 pixels (`outliers`).

    For a pixel and its neighbour ``j`` (of `_NEIGHBOURS`): the offsets of
    the pixels that touch the pair (``pairs[j]``); for those two and the
    pixel ``pairs[j, i]``: the offsets of the pixels that touch the three
    (``triples[j, i]``).  Each list is filled up to a common length with
    repeats of its first offset; ``sizes[j]`` is the length of ``pairs[j]``.
    """

    def around(cluster: list[tuple[int, int]]) -> list[tuple[int, int]]:
        touch = {(y + dy, x + dx) for y, x in cluster for dy, dx in _NEIGHBOURS}
        return sorted(touch - set(cluster))

    def filled(rows: list[list[tuple[int, int]]]) -> npt.NDArray[np.int64]:
        longest = max(len(r) for r in rows)
        return np.array([r + [r[0]] * (longest - len(r)) for r in rows], dtype=np.int64)

    rings = [around([(0, 0), d]) for d in _NEIGHBOURS]
    pairs = filled(rings)
    triples = [
        filled([around([(0, 0), d, tuple(e)]) for e in pairs[j]]) for j, d in enumerate(_NEIGHBOURS)
    ]
    longest = max(t.shape[1] for t in triples)
    triple = np.stack(
        [np.concatenate([t, np.repeat(t[:, :1], longest - t.shape[1], 1)], 1) for t in triples]
    )
    return pairs, triple, np.array([len(r) for r in rings])


_PAIRS, _TRIPLES, _PAIR_SIZES = _cluster_rings()


def _values(
    padded: npt.NDArray[np.float32],
    iy: npt.NDArray[np.intp],
    ix: npt.NDArray[np.intp],
    offsets: npt.NDArray[np.int64],
) -> F64:
    """The values at `offsets` (K, M, 2) from pixels (`iy`, `ix`) of a plane padded by `_PAD`."""
    y = iy[:, None] + offsets[..., 0] + _PAD
    x = ix[:, None] + offsets[..., 1] + _PAD
    return np.asarray(padded[y, x], dtype=np.float64)


def _within(
    y: npt.NDArray[np.intp], x: npt.NDArray[np.intp], ny: int, nx: int
) -> npt.NDArray[np.bool_]:
    """Whether pixels (`y`, `x`) lie a pixel or more inside a plane of `ny` x `nx`."""
    return np.asarray((y >= 1) & (y < ny - 1) & (x >= 1) & (x < nx - 1))


def _clusters(
    padded: npt.NDArray[np.float32],
    iy: npt.NDArray[np.intp],
    ix: npt.NDArray[np.intp],
    near: F64,
    base: F64,
    limit: float,
) -> list[tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]]:
    """Clusters of 2 or 3 hot pixels grown from their brightest, (`iy`, `ix`) (`outliers`).

    `near` holds the 8 neighbours' values of each pixel and `base` the
    level around it.  The cluster takes the brightest neighbour, then the
    brightest pixel touching the two; it is hot where its dimmest pixel
    exceeds every pixel touching it by `OUTLIER_ERRORS` of the background's
    noise and `OUTLIER_CLUSTER_SHARE` of its height over `base`, as a
    single hot pixel exceeds its neighbours.  Only clusters a pixel or more
    inside the plane are judged: of one on the edge, what touches it is
    partly off the plane (a filament cut by the edge leaves two bright
    pixels there).  Returns the pixels of the hot clusters.
    """
    value = padded[iy + _PAD, ix + _PAD].astype(np.float64)
    j = np.argmax(np.where(np.isnan(near), -np.inf, near), axis=0)
    second = near[j, np.arange(iy.size)]

    def hot(dimmest: F64, around: F64) -> npt.NDArray[np.bool_]:
        top = np.fmax.reduce(around, axis=1)
        gap = dimmest - top
        return np.asarray((gap > limit) & (gap > OUTLIER_CLUSTER_SHARE * (dimmest - base)))

    brightest = value >= second
    ring = _values(padded, iy, ix, _PAIRS[j])
    pair = brightest & hot(second, ring)
    real = np.arange(_PAIRS.shape[1])[None, :] < _PAIR_SIZES[j][:, None]
    i = np.argmax(np.where(real & ~np.isnan(ring), ring, -np.inf), axis=1)
    third = ring[np.arange(iy.size), i]
    triple = (
        brightest & ~pair & hot(np.fmin(second, third), _values(padded, iy, ix, _TRIPLES[j, i]))
    )
    dy, dx = np.array(_NEIGHBOURS)[j].T
    ty, tx = _PAIRS[j, i].T
    ny, nx = padded.shape[0] - 2 * _PAD, padded.shape[1] - 2 * _PAD
    inner = _within(iy, ix, ny, nx) & _within(iy + dy, ix + dx, ny, nx)
    pair &= inner
    triple &= inner & _within(iy + ty, ix + tx, ny, nx)
    both = pair | triple
    out = [(iy[both], ix[both]), (iy[both] + dy[both], ix[both] + dx[both])]
    out.append((iy[triple] + ty[triple], ix[triple] + tx[triple]))
    return out


def _around(
    padded: npt.NDArray[np.float32],
    iy: npt.NDArray[np.intp],
    ix: npt.NDArray[np.intp],
    offsets: list[tuple[int, int]],
) -> npt.NDArray[np.float32]:
    """The values at `offsets` from pixels (`iy`, `ix`) of a plane padded by `_PAD`, stacked."""
    return np.stack([padded[iy + _PAD + dy, ix + _PAD + dx] for dy, dx in offsets])


def _alone(
    padded: npt.NDArray[np.float32],
    iy: npt.NDArray[np.intp],
    ix: npt.NDArray[np.intp],
    limit: float,
) -> npt.NDArray[np.bool_]:
    """Whether pixels (`iy`, `ix`), above all 8 neighbours by `limit`, are outliers alone.

    Above the largest by `OUTLIER_SHARE` of their height, or above the
    surface fitted to the 24 around them (`outliers`).
    """
    ny, nx = padded.shape[0] - 2 * _PAD, padded.shape[1] - 2 * _PAD
    value = padded[iy + _PAD, ix + _PAD]
    near = _around(padded, iy, ix, _NEIGHBOURS)
    top = np.fmax.reduce(near, axis=0)
    ring = _around(padded, iy, ix, _RING)
    height = value - np.median(ring, axis=0)
    around = np.concatenate([near, ring]).astype(np.float64)
    excess = value - _AT_PIXEL @ around
    misfit = np.sqrt(np.sum((_MISFITS @ around) ** 2, axis=0) / (len(around) - 10))
    # Only where those pixels lie inside the plane: mirrored, the flank
    # of a spot cut by the edge turns into a sharp peak at it.
    inside = (iy >= 2) & (iy < ny - 2) & (ix >= 2) & (ix < nx - 2)
    beside = (
        inside
        & (excess > limit)
        & (excess > OUTLIER_MODEL_SHARE * height)
        & (excess > OUTLIER_MISFIT * misfit)
    )
    return np.asarray((value - top > OUTLIER_SHARE * height) | beside)


def outliers(channel: npt.NDArray[Any]) -> npt.NDArray[np.bool_] | None:
    """Isolated pixels far above all their neighbours (hot pixels), or None where there are none.

    A pixel that exceeds each of its 8 neighbours by more than
    `OUTLIER_ERRORS` times the background's noise, and by more than
    `OUTLIER_SHARE` of its own height over the median of the 16 pixels
    around them, is no light: an image sampled finely enough for its
    optics spreads even the smallest spot over its neighbours (a spot of
    one pixel standard deviation centred on a pixel leaves its nearest
    neighbours 61 % of its height, so its excess over them is 39 %).  A
    hot pixel, a defect of the sensor, stands alone; its residuals hold
    its whole excess, which a fit takes for the noise of a bright level.
    Two or three neighbouring hot pixels (`_clusters`) are judged alike:
    the dimmest of them against every pixel touching them.

    Beside a brighter spot a hot pixel's neighbours on the spot's side are
    bright too, and its excess over the largest of them is no share of its
    height: there it is judged against a smooth surface (a cubic in Y and
    X) fitted to the 24 pixels of its 5 x 5 neighbourhood, which follows
    the spot's flank.  A pixel above that surface's value at it by more
    than `OUTLIER_MODEL_SHARE` of its height, and by more than
    `OUTLIER_MISFIT` times the surface's misfit to those pixels (and by
    `OUTLIER_ERRORS` of the background's noise), is no light either: the
    peak of a spot of 0.65 pixel standard deviation or wider exceeds it by
    at most 8.4 times its misfit (1 pixel: 3.7 times), a hot pixel on the
    flank of a spot 1.5 pixels wide by 15 times or more.  Within 2 pixels
    of the plane's edges the surface is not fitted: mirrored there, a spot
    cut by the edge makes a sharp peak.
    Judged plane by plane (edges mirrored); NaN never counts.
    """
    x = np.asarray(channel)
    noise = background_noise(x)
    if not noise > 0 or x.ndim < 2 or min(x.shape[-2:]) < 3:
        return None
    limit = OUTLIER_ERRORS * noise
    planes = x.reshape(-1, *x.shape[-2:])
    ny, nx = planes.shape[-2:]
    out: npt.NDArray[np.bool_] | None = None
    k = _PAD
    for p, plane in enumerate(planes):
        padded = np.pad(plane.astype(np.float32), k, mode="reflect")
        centre = padded[k:-k, k:-k]
        # Candidates above their left and right neighbours, or above those
        # above and below (one of a pair or three), then judged in full.
        side = np.fmax(padded[k:-k, k - 1 : nx + k - 1], padded[k:-k, k + 1 : nx + k + 1])
        ends = np.fmax(padded[k - 1 : ny + k - 1, k:-k], padded[k + 1 : ny + k + 1, k:-k])
        iy, ix = np.nonzero((centre - side > limit) | (centre - ends > limit))
        if iy.size == 0:
            continue
        value = padded[iy + k, ix + k]
        near = _around(padded, iy, ix, _NEIGHBOURS).astype(np.float64)
        top = np.fmax.reduce(near, axis=0)
        # Alone above all 8, or the brightest of a cluster: its brightest
        # neighbour above the third (of two or three, the others touch them).
        one = value - top > limit
        third = np.partition(np.nan_to_num(near, nan=-np.inf), -3, axis=0)[-3]
        many = (value >= top) & (top - third > limit)
        alone = _alone(padded, iy[one], ix[one], limit)
        found = [(iy[one][alone], ix[one][alone])]
        if many.any():
            ring = _around(padded, iy[many], ix[many], _RING).astype(np.float64)
            base = np.median(ring, axis=0)
            found += _clusters(padded, iy[many], ix[many], near[:, many], base, limit)
        if not any(f[0].size for f in found):
            continue
        if out is None:
            out = np.zeros(x.shape, bool)
        for fy, fx in found:
            out.reshape(planes.shape)[p, fy, fx] = True
    return out


def floored(channel: npt.NDArray[Any]) -> npt.NDArray[np.bool_] | None:
    """The pixels at the channel's floor, or None where it shows none.

    An image whose dark level was subtracted and clipped at 0 holds at its
    smallest value every pixel that came out below it: more of them than of
    the value just above, while the values above are about as frequent as
    each other (the read noise's spread).  Photon counts can hold more
    zeros than ones too, but only below one photon per pixel, where twos
    are fewer than half the ones (their ratio is half the mean): those are
    no floor.  Floored pixels vary less than the model says, like
    saturated ones.
    """
    x = np.asarray(channel)
    bottom = x.min()
    at_bottom: npt.NDArray[np.bool_] = np.asarray(x == bottom)
    n = int(np.count_nonzero(at_bottom))
    if n < SATURATED_PIXELS or n == x.size:
        return None
    highest = np.iinfo(x.dtype).max if np.issubdtype(x.dtype, np.integer) else np.inf
    first = x.min(where=~at_bottom, initial=highest)
    second = x.min(where=x > first, initial=highest)
    ones, twos = int(np.count_nonzero(x == first)), int(np.count_nonzero(x == second))
    if n <= ones or twos < FLOOR_SPREAD * ones:
        return None
    return at_bottom


def _levelled(
    channel: npt.NDArray[Any], clipped: npt.NDArray[np.bool_] | None = None
) -> npt.NDArray[Any]:
    """`channel` (T, Z, Y, X) with a level that drifts from frame to frame taken out.

    A camera's dark level can creep over a time-lapse (tens of counts over
    the frames): each difference of neighbouring frames then holds a
    constant that its energy takes for noise.  Where the mean of a
    difference (of its values within 3 robust standard deviations of its
    median, which leaves out what moves) lies beyond `DRIFT_ERRORS` of its
    standard errors from 0 in each quarter of the frame alike (their means
    within as many standard errors, or a quarter of the drift, of one
    another: structure that moves or bleaches differs from quarter to
    quarter), the later frame is moved by it, or by the background's own
    step where the difference grows with intensity (`_level_step`: a
    sample that bleaches over every quarter; the mean, which holds its dim
    structure too, moved the background by more than its own step and
    left its differences a constant that the fit took for noise: the gain
    came out 0.47 to 0.84 times the camera's); the frames keep the first
    one's level.  Where the whole frame shows no such drift (dim structure
    that bleaches while the level creeps moves the quarters apart, or
    cancels the level's step in the mean: the level was left in, and the
    gain came out -0.01 to 1.34 times the camera's), the drift is judged
    again on the background alone (`_ground`): where
    its mean lies beyond `DRIFT_ERRORS` of its standard errors from 0 and
    its quarters' alike, the later frame is moved by that mean.  Pixels
    `clipped` in either frame (saturated, floored), which keep their value
    whatever the level, are not measured.  Without such a drift the
    channel is returned as it is.
    """
    x = np.asarray(channel)
    nt, _, ny, nx = x.shape
    if nt < 2 or ny < 2 or nx < 2:
        return channel
    steps = np.zeros(nt)
    for k in range(1, nt):
        d = x[k].astype(np.float64) - x[k - 1]
        centre = float(np.median(d))
        spread = 1.4826 * float(np.median(np.abs(d - centre)))
        if not spread > 0:
            continue
        kept = np.abs(d - centre) <= 3.0 * spread
        if clipped is not None:  # they hold their value whatever the level
            kept &= ~(clipped[k] | clipped[k - 1])
        if _drift(d, kept, spread):
            steps[k] = _level_step(x, k, d, kept, float(d[kept].mean()))
            continue
        # Dim structure that bleaches moves the quarters' means apart, and
        # its step can cancel the level's in the mean: judged again on the
        # background alone, whose step is then the level's.
        ground = kept & _ground(x[k].astype(np.float32) + x[k - 1])
        if _drift(d, ground, spread, pooled=True):
            steps[k] = float(d[ground].mean())
    if not steps.any():
        return channel
    level = np.cumsum(steps)
    return x - level[:, None, None, None].astype(np.float32)


def _ground(pair: npt.NDArray[np.float32]) -> npt.NDArray[np.bool_]:
    """The background of `pair` (Z, Y, X), the sum of two frames (`_levelled`).

    The pixels of its blocks of `GROUND_BLOCK` x `GROUND_BLOCK` whose mean
    lies at or below the `DRIFT_GROUND` percentile of the blocks' means;
    the last rows and columns, which fill no block, are not among them.
    """
    nz, ny, nx = pair.shape
    by, bx = ny // GROUND_BLOCK, nx // GROUND_BLOCK
    out = np.zeros(pair.shape, bool)
    if by == 0 or bx == 0:
        return out
    side = GROUND_BLOCK
    means = pair[:, : by * side, : bx * side].reshape(nz, by, side, bx, side).mean(axis=(2, 4))
    dim = means <= np.percentile(means, DRIFT_GROUND)
    out[:, : by * side, : bx * side] = np.repeat(np.repeat(dim, side, axis=1), side, axis=2)
    return out


def _drift(d: F64, kept: npt.NDArray[np.bool_], spread: float, pooled: bool = False) -> bool:
    """Whether the `kept` pixels of a frames' difference `d` (Z, Y, X) drift alike (`_levelled`).

    Where their mean lies beyond `DRIFT_ERRORS` of its standard errors (of
    a noise of standard deviation `spread`) from 0 in every quarter of the
    frame (with `pooled`, over the whole frame), the quarters' means within
    as many standard errors, or `DRIFT_SPREAD` of the mean of them all, of
    one another.
    """
    ny, nx = d.shape[-2:]
    means = []
    for rows in (slice(0, ny // 2), slice(ny // 2, ny)):
        for cols in (slice(0, nx // 2), slice(nx // 2, nx)):
            part = d[:, rows, cols][kept[:, rows, cols]]
            means.append(float(part.mean()) if part.size else 0.0)
    count = int(kept.sum())
    if count == 0:
        return False
    error = spread / np.sqrt(max(1, count // 4))
    mean = np.array(means)
    step = float(d[kept].mean())
    beyond = (
        abs(step) > DRIFT_ERRORS * error / 2
        if pooled
        else np.all(np.abs(mean) > DRIFT_ERRORS * error)
    )
    alike = np.ptp(mean) < max(DRIFT_ERRORS * error, DRIFT_SPREAD * abs(step))
    return bool(beyond and alike)


def _level_step(
    x: npt.NDArray[Any], k: int, d: F64, kept: npt.NDArray[np.bool_], step: float
) -> float:
    """The step of the level from frame ``k - 1`` to frame `k` of `x` (`_levelled`).

    A straight line is fitted by least squares to the `kept` values of their
    difference `d` against the frames' mean over 5 x 5 pixels (a mean of
    single pixels holds so much noise that the line came out flat over
    bleaching structure).  Where it changes by less than
    `DRIFT_ERRORS` of its standard errors, or `DRIFT_SPREAD` of `step` (the
    mean of those values), between the 10th and the 90th percentile of that
    mean, the difference is alike at every intensity, as a dark level's
    drift is, and the step is `step`.  Otherwise (bleaching takes a share of
    each intensity, and the mean then holds that of dim structure too) it is
    the line's value at the 10th percentile: the background's own step.
    """
    m = _box_mean(0.5 * (x[k].astype(np.float64) + x[k - 1]), 2)[kept]
    dk = d[kept]
    if m.size < 3:
        return step
    centre = float(m.mean())
    mc = m - centre
    sxx = float(np.dot(mc, mc))
    if not sxx > 0:
        return step
    slope = float(np.dot(mc, dk - dk.mean())) / sxx
    scatter = float(np.std(dk - slope * mc))
    lo, hi = np.percentile(m, [10.0, 90.0])
    change = abs(slope) * float(hi - lo)
    error = scatter / np.sqrt(sxx) * float(hi - lo)
    if change < max(DRIFT_ERRORS * error, DRIFT_SPREAD * abs(step)):
        return step
    return float(dk.mean()) + slope * (float(lo) - centre)


def _box_mean(a: F64, r: int) -> F64:
    """The mean of `a` (..., Y, X) over the (2r + 1) x (2r + 1) pixels around each pixel.

    Near the edges, over the pixels inside.
    """
    out = a
    for axis in (-2, -1):
        c = np.cumsum(out, axis=axis)
        c = np.concatenate([np.zeros_like(np.take(c, [0], axis=axis)), c], axis=axis)
        n = out.shape[axis]
        hi = np.minimum(np.arange(n) + r + 1, n)
        lo = np.maximum(np.arange(n) - r, 0)
        shape = [1] * out.ndim
        shape[axis] = n
        out = (np.take(c, hi, axis=axis) - np.take(c, lo, axis=axis)) / (hi - lo).reshape(shape)
    return out
