"""A variance line fitted to block summaries of noise residuals, and its standard errors.

`fit_line` takes the block summaries of one channel (`BlockPoints`: per
block the mean local mean, the mean squared residual -- its *energy* --
and the mean squared wide residual) and fits ``variance = gain * intensity
+ offset`` to the blocks where the signal cancels in the residual.

Blocks where the signal does not cancel (structure, edges, motion) hold more
energy than the noise explains.  Two tests reject them: a flatness test (a
wider residual, taken at twice the distance or summed over neighbouring
pixels, must not hold more energy than the current fit predicts: noise does
not care about distance, leftover signal grows; the first round, before any
fit, compares it with the block's own energy) and an energy test against
the current fit, both one-sided, on logarithms of energy ratios, at
`FLAT_Z` and `REJECT_Z` spreads measured on the blocks themselves (from the
side that only noise reaches).  Judging the wide energy against the fit
rather than against the block's own energy keeps the choice of blocks from
favouring those whose energy came out high by chance.  Blocks of frame
differences whose predicted variance sits in a few bright pixels (a bead
in a block of dark ground) get allowances as much wider as their energy
spreads more than an even block's (`_concentration`): held to the even
blocks' spread, those of static beads a pixel wide were rejected whenever
their energy came out high, and the gain came out low.  The line is
refitted on the rest until the set of blocks settles.

The line is fitted not to the blocks' means but to their *parts*: the
pixels of each block split by the level of their local mean (`Parts`), so
that a bright spot inside a block of background keeps its intensity instead
of being averaged away with it; on sparse scenes nearly all the reach of the
line comes from such spots.  Because the model is linear, each part's mean
energy is still ``gain * mean + offset`` wherever the signal cancels.  A part
of a kept block is used unless its own wide energy exceeds the line by
`REJECT_Z` of its standard errors (`PART_WIDE_TEST`: leftover signal
concentrates in the bright parts of a block that passes as a whole), or
the parts of its kind at its level hold, together, more energy than those
of another kind (`_agreeing`).  The line is fitted by
weighted least squares (weights: on single frames the inverse square of the
spread of each kind of residual around the line, measured on its blocks,
else the block size, scaled to the part's share of the block's precision,
over the predicted variance squared) through two anchor points at the ends
of the range of the blocks' local means, both kept positive, so the fitted
variance is never negative over that range.  The local means of frame
differences are first drawn towards those of their level class by the
share of their spread that read-out noise makes (`_class_means`).

The standard errors of gain and offset come from a grouped jackknife of the
final weighted fit: the blocks are grouped by where they lie (`group` of
`BlockPoints`: residuals of neighbouring pixels share noise, so they share a
group), and the fit is repeated with each group left out; where the noise
each part's energy should have says more, from that (`_standard_errors`).
They measure the noise of the blocks, not the rejection's choices, nor
signal left in the blocks that were kept.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from quorvel.noise._points import BlockPoints, Parts, own_groups

__all__ = ["CUBIC", "FOURTH", "FRAMES", "BlockPoints", "LineFit", "Parts", "fit_line"]

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

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
#: How many times the variance of a white-noise energy averaged over n
#: pixels that of each kind's residual (near, wide) is, for a large compact
#: group of pixels: neighbouring residuals share noise.  For n pixels the
#: factor is taken as ``c * n / (n + c - 1)`` (1 for a single pixel), which
#: follows the measured factors of square groups of 4 to 64 pixels within
#: 25 % (larger, so a part's tests are looser, for groups that are not
#: compact).
SHARED_NOISE = ((1.0, 4.0), (6.0, 4.6), (1.5, 1.4))
#: Whether a part's wide energy tells structure from noise in each kind: its
#: share of the near energy's noise (the squared correlation of the two
#: residuals) is 1/9 for frame differences and 3 % for fourth differences,
#: but about half for the cubic fit, whose wide residual holds the same
#: centre pixel: testing that one would cut off the upper tail of the noise
#: (the gain came out low).  Parts of the cubic fit are judged against the
#: other kinds instead (`_agreeing`).
PART_WIDE_TEST = (True, True, False)
#: Rounds of rejection and refit.
MAX_ROUNDS = 12
#: Share of the line's prediction below which the energy of the dark ground
#: (`LineFit.ground`) says that the line missed the noise: 0.91 to 1.07 over
#: the calibration bench's 312 cases, 0.004 to 0.56 where a few blocks far
#: above the noise took a small frame's gain to 4 to 2500 times the camera's.
GROUND_MISFIT = 0.8
#: Passes of the robust first fit (`_downweighted`), and how many spreads
#: of the parts' log energy ratios above their median it lets weigh fully.
ROBUST_PASSES = 8
ROBUST_Z = 5.0
#: Smallest fitted variance allowed at the anchors, as a share of the median block energy.
MIN_VARIANCE_SHARE = 1e-3


@dataclass(frozen=True)
class LineFit:
    """A fitted line ``variance = gain * intensity + offset`` and the blocks it used.

    `gain_se` and `offset_se` are the standard errors of the jackknife (NaN
    when there is no line or fewer than two groups of blocks).  `ground` is
    the energy of the level class that holds the most pixels of the fit
    (the dark ground of most images) over what the line predicts there: 1
    where the line describes the noise, far below where a few parts far
    above the noise (hot pixels the search missed, structure) pulled it up
    and the many dark ones could not hold it (NaN without a line).
    """

    gain: float
    offset: float
    points: BlockPoints
    used: npt.NDArray[np.bool_]
    gain_se: float = np.nan
    offset_se: float = np.nan
    ground: float = np.nan


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
    a: float
    b: float
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


def _class_means(
    parts: Parts,
    kind: npt.NDArray[np.int8],
    fitted: npt.NDArray[np.bool_],
    weight: F64,
    line: tuple[float, float, float],
) -> F64:
    """The fitted parts' local means with the read-out noise of their pixels taken out.

    A part's local mean of frame differences (the pair's average) carries
    the noise of its pixels, while its energy follows only the photons'
    share of that noise, not the read-out noise.  Where many parts share
    nearly one intensity (the dark ground of sparse scenes) that noise is
    nearly all their spread along the intensity axis: fitted part by part,
    that cluster, the heaviest in weight, tilted the line towards flat
    (static time-lapses of beads a pixel wide: the gain 3 % low).  So each
    part's mean is drawn towards the mean of its level class (weighted by
    `weight`, the fit's weights) by the share of the class's spread that
    read-out noise makes: the best linear guess of what its energy follows.
    The read-out variance is that of the heaviest class (the ground) by
    `line` (gain, offset and the floor of the fitted variance) times the
    share of its parts' spread their energies do not follow (one minus
    their slope over the gain): where photons make the noise of the ground
    the means stay as they are.  Weighted like this a class's mean is
    unchanged.  The other kinds' local means keep their own.
    """
    x = parts.mean[fitted]
    gain, offset, floor = line
    frames = kind[fitted] == FRAMES
    if np.isnan(gain) or not gain > 0 or np.count_nonzero(frames) < 2:
        return x
    _, index = np.unique(parts.level[fitted][frames], return_inverse=True)
    w, xf = weight[frames], x[frames]
    classes = int(index.max()) + 1
    total = np.bincount(index, w, minlength=classes)
    held = np.where(total > 0, total, 1.0)
    dx = xf - (np.bincount(index, w * xf, minlength=classes) / held)[index]
    spread = np.bincount(index, w * dx**2, minlength=classes) / held
    ground = index == int(np.argmax(total))
    y = parts.energy[fitted][frames][ground]
    lever = float(np.sum(w[ground] * dx[ground] ** 2))
    if not lever > 0:
        return x
    slope = float(np.sum(w[ground] * dx[ground] * (y - np.average(y, weights=w[ground])))) / lever
    centre = float(np.average(xf[ground], weights=w[ground]))
    read = (1.0 - min(max(slope / gain, 0.0), 1.0)) * max(gain * centre + offset, floor)
    noise = read / (2.0 * parts.count[fitted][frames])
    own = np.bincount(index, w * noise, minlength=classes) / held
    with np.errstate(divide="ignore", invalid="ignore"):
        share = np.clip(1.0 - own / spread, 0.0, 1.0)
    share = np.where(np.isfinite(share), share, 1.0)
    out = x.copy()
    out[frames] = xf - (1.0 - share[index]) * dx
    return out


def _downweighted(energy: F64, predicted: F64) -> F64:
    """Weights of parts by how far their energy lies above `predicted`, for a robust first fit.

    1 up to `ROBUST_Z` spreads (median absolute deviation) of the parts'
    log energy ratios above their median, falling off exponentially beyond.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.log(energy / predicted)
    ok = np.isfinite(ratio)
    if np.count_nonzero(ok) < 3:
        return np.ones(energy.shape)
    centre = float(np.median(ratio[ok]))
    scale = 1.4826 * float(np.median(np.abs(ratio[ok] - centre)))
    excess = np.where(ok, ratio - centre, 0.0) - ROBUST_Z * scale
    return np.where(excess > 0, np.exp(-excess), 1.0)


def _concentration(parts: Parts, predicted: F64, count: F64) -> F64:
    """How many times the relative spread of each block's energy is that of an even block.

    A block's energy averages its pixels' squared residuals, whose variances
    follow the predicted variance of each pixel: where a few bright pixels
    hold most of it, the energy has the spread of those few.  The factor is
    ``sqrt(n * sum(c v**2) / sum(c v)**2)`` over the parts (count c,
    predicted variance v) of a block of n pixels, from the line, not from
    the energies, so that no block widens its own allowance by its noise.
    """
    size = count.size
    first = np.bincount(parts.block, parts.count * predicted, minlength=size)
    second = np.bincount(parts.block, parts.count * predicted**2, minlength=size)
    with np.errstate(divide="ignore", invalid="ignore"):
        factor = np.sqrt(count * second / first**2)
    return np.where(np.isfinite(factor), np.maximum(factor, 1.0), 1.0)


def _shared_noise(count: F64, kind: npt.NDArray[np.int8], which: int) -> F64:
    """Variance factor of an energy averaged over `count` pixels (`SHARED_NOISE`)."""
    c: F64 = np.asarray(SHARED_NOISE)[kind, which]
    return c * count / (count + c - 1.0)


def fit_line(points: BlockPoints, lo: float, hi: float) -> LineFit:
    """Fit ``variance = gain * intensity + offset`` to block points, rejecting structure.

    Where the line misses the noise of the dark ground (`LineFit.ground`
    below `GROUND_MISFIT`: a few parts far above the noise pulled the first
    fit, and the rejection settled around it), it is fitted again from a
    first line that gives such parts no weight (`_downweighted`), and the
    line whose ground fits better is kept.

    Parameters
    ----------
    points : BlockPoints
        Block summaries of one channel.
    lo, hi : float
        Intensity range of the channel's block means: the fitted variance
        stays positive over it.

    Returns
    -------
    LineFit
        The line (NaN gain and offset when no block carries noise), the
        blocks it rests on and the standard errors.
    """
    fit = _fitted_line(points, lo, hi, robust_start=False)
    if not fit.ground < GROUND_MISFIT:
        return fit
    again = _fitted_line(points, lo, hi, robust_start=True)
    return again if abs(np.log(again.ground)) < abs(np.log(fit.ground)) else fit


def _fitted_line(points: BlockPoints, lo: float, hi: float, robust_start: bool) -> LineFit:
    """`fit_line`'s rounds of fit and rejection, the first robust to parts far above the line."""
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

    parts = points.parts if points.parts is not None else Parts.of_blocks(points)
    part_kind = kind[parts.block]
    part_finite = np.isfinite(parts.mean) & np.isfinite(parts.energy) & np.isfinite(parts.wide)
    part_ok = part_finite
    # A part's share of its block's precision (the noise its pixels share
    # makes a part of few pixels worth more than its count says), and the
    # relative standard error of its wide energy.
    near_noise = _shared_noise(parts.count, part_kind, 0)
    share = (parts.count / near_noise) / (n / _shared_noise(n, kind, 0))[parts.block]
    near_error = 2.0 * near_noise / parts.count
    wide_error = np.sqrt(2.0 * _shared_noise(parts.count, part_kind, 1) / parts.count)
    wide_error[~np.asarray(PART_WIDE_TEST)[part_kind]] = np.inf
    gain = offset = np.nan
    # Inverse relative variance of a block's energy: that of white noise
    # until the spread of each kind around the line is measured.  (Beside
    # frame differences it stays so: the fourth differences' share of the
    # weight, more than their noise alone would give them, keeps the line
    # where the others leave signal in many blocks, as moving filaments.)
    precision = n / 2.0
    hi = max(hi, float(parts.mean[part_finite].max(initial=hi)))
    # Parts below the blocks' range (dark pixels of noisy blocks) are
    # predicted as at its low end: else where the line nears 0 a few of
    # them would take nearly all the weight.
    level = np.maximum(parts.mean, lo)
    fitted = used[parts.block] & part_ok
    for _ in range(MAX_ROUNDS):
        fitted = used[parts.block] & part_ok
        part_precision = precision[parts.block[fitted]] * share[fitted]
        ys, at = parts.energy[fitted], level[fitted]
        # Two passes per round: the weights follow the prediction.
        w = part_precision / float(np.median(y[used])) ** 2
        robust = robust_start and np.isnan(gain)
        down = np.ones(ys.shape)
        for _pass in range(ROBUST_PASSES if robust else 2):
            xs = _class_means(parts, part_kind, fitted, w, (gain, offset, floor))
            gain, offset = _weighted_line(xs, ys, w * down, lo, hi, floor)
            w = part_precision / np.maximum(gain * at + offset, floor) ** 2
            if robust:
                down = _downweighted(ys, np.maximum(gain * at + offset, floor))
        predicted = np.maximum(gain * level + offset, floor)
        block_predicted = np.maximum(gain * x + offset, floor)
        ratio = np.log(np.where(positive, y, 1.0) / block_predicted)
        # The spread of the energies around the line, per kind of residual:
        # on single frames its inverse square weighs the kind's blocks in
        # the next fit.  A fit pulled up by structure widens the spread
        # below it: the spread of the flatness statistic (a difference of
        # two such energies) bounds it in the energy test.
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
        widening = np.where(kind == FRAMES, _concentration(parts, predicted, n), 1.0)
        flat = _flat_against(points.wide, block_predicted, positive, used, kinds, widening)
        flat &= ~never_flat
        keep = flat & (ratio <= REJECT_Z * scale * widening)
        with np.errstate(invalid="ignore"):
            clean = part_finite & (parts.wide / predicted - 1.0 <= REJECT_Z * wide_error)
        clean &= _agreeing(parts, part_kind, predicted, near_error, used[parts.block] & part_finite)
        if np.count_nonzero(keep[parts.block] & clean) < 2:
            clean = part_finite  # the parts' tests would leave no line: the blocks decide
        settled = np.array_equal(keep, used) and np.array_equal(clean, part_ok)
        if settled or keep.sum() < 2:
            break
        used, part_ok = keep, clean
    groups = points.group if points.group is not None else own_groups(points)
    # The parts and weights of the last fit (its weights at its own line).
    noise = near_error[fitted] * np.maximum(gain * at + offset, floor) ** 2
    xs = _class_means(parts, part_kind, fitted, w, (gain, offset, floor))
    gain_se, offset_se = _standard_errors(xs, ys, w, noise, groups[parts.block[fitted]])
    ground = _ground_misfit(parts.level[fitted], parts.count[fitted], ys, gain * at + offset)
    return LineFit(gain, offset, points, used, gain_se, offset_se, ground)


def _ground_misfit(level: I64, count: F64, energy: F64, predicted: F64) -> float:
    """The energy of the level class with the most pixels over the line's prediction there."""
    if level.size == 0:
        return np.nan
    ground = level == np.argmax(np.bincount(level, count))
    expected = float(np.sum((count * predicted)[ground]))
    return float(np.sum((count * energy)[ground])) / expected if expected > 0 else np.nan


def _agreeing(
    parts: Parts,
    kind: npt.NDArray[np.int8],
    predicted: F64,
    noise: F64,
    chosen: npt.NDArray[np.bool_],
) -> npt.NDArray[np.bool_]:
    """Parts whose kind of residual agrees with the others at their level.

    Every kind measures the same noise variance, and signal left in a
    residual only adds energy: where, at one level class, the `chosen`
    parts of one kind hold, pooled, significantly more energy over the line
    than those of the kind that holds the least (by `FLAT_Z` standard
    errors of the difference: leaving out a kind wrongly costs only a little
    precision), that kind's parts of that class are left out.  Pooled, the
    parts see what a part alone cannot: signal left in few pixels of many
    blocks.  On bead stacks the differences of planes keep what defocus
    changes from plane to plane around each bright spot, which the fourth
    differences within each plane cancel.  `noise` is each part's relative
    variance of its energy.
    """
    agree = np.ones(parts.mean.shape, bool)
    kinds = np.unique(kind)
    if kinds.size < 2:
        return agree
    stride = int(kinds.max()) + 1
    key = parts.level * stride + kind
    size = (int(parts.level.max()) + 1) * stride
    load = np.where(chosen, parts.count * predicted, 0.0)
    total = np.bincount(key, load, minlength=size)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.bincount(key, load * parts.energy / predicted, minlength=size) / total
        variance = np.bincount(key, load**2 * noise, minlength=size) / total**2
    ratio, variance = ratio.reshape(-1, stride), variance.reshape(-1, stride)
    present = total.reshape(ratio.shape) > 0
    low = np.where(present, ratio, np.inf).argmin(axis=1)[:, None]
    least = np.take_along_axis(ratio, low, axis=1)
    least_variance = np.take_along_axis(variance, low, axis=1)
    excess = present & (ratio - least > FLAT_Z * np.sqrt(variance + least_variance))
    kept: npt.NDArray[np.bool_] = ~excess.ravel()[key]
    return kept


def _standard_errors(x: F64, y: F64, w: F64, variance: F64, group: I64) -> tuple[float, float]:
    """Standard errors of gain and offset of the weighted line through (x, y).

    The larger of two estimates, per parameter:

    - a grouped jackknife: the weighted least-squares line refitted with
      each group of points left out (from the sums of the others; the
      weights stay those of the final fit); the spread of the refits, times
      ``(g - 1) / g`` for ``g`` groups, estimates the variance.  It sees the
      noise that points of one group share, but when a few groups hold all
      the reach of the line (a few beads) it is itself uncertain, and came
      out at half the spread of the estimates in one stack in eight;
    - the variance of the weighted fit when each point's energy has the
      given `variance` and the points are independent (too small where
      residuals of several kinds share pixels, steady where the jackknife is
      not).

    NaN with fewer than two groups or when a refit has no line.
    """
    ids, index = np.unique(group, return_inverse=True)
    if ids.size < 2 or not w.sum() > 0:
        return np.nan, np.nan
    centre = np.average(x, weights=w)
    xc = x - centre
    sums = np.stack(
        [
            np.bincount(index, weights=v, minlength=ids.size)
            for v in (w, w * xc, w * xc * xc, w * y, w * xc * y)
        ]
    )
    s0, s1, s2, sy, sxy = sums.sum(axis=1)[:, None] - sums
    det = s0 * s2 - s1 * s1
    with np.errstate(divide="ignore", invalid="ignore"):
        slope = (s0 * sxy - s1 * sy) / det
        level = (sy - slope * s1) / s0
        # The offset at intensity 0: the fits were centred on the mean intensity.
        offset = level - slope * centre
    if not (np.isfinite(slope).all() and np.isfinite(offset).all()):
        return np.nan, np.nan
    g = ids.size
    jack_gain = (g - 1) / g * np.sum((slope - slope.mean()) ** 2)
    jack_offset = (g - 1) / g * np.sum((offset - offset.mean()) ** 2)
    # The sandwich of the centred fit: its normal matrix is diagonal.
    t0, t2 = w.sum(), (w * xc * xc).sum()
    u = w * w * variance
    var_level = u.sum() / t0**2
    var_slope = (u * xc * xc).sum() / t2**2
    cov = (u * xc).sum() / (t0 * t2)
    var_offset = var_level + centre**2 * var_slope - 2.0 * centre * cov
    return (
        float(np.sqrt(max(jack_gain, var_slope))),
        float(np.sqrt(max(jack_offset, var_offset))),
    )


def _flat_against(
    wide: F64,
    predicted: F64,
    positive: npt.NDArray[np.bool_],
    used: npt.NDArray[np.bool_],
    kinds: list[tuple[int, npt.NDArray[np.bool_]]],
    widening: F64,
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
        allowed = np.log1p(WIDE_GROWTH[k] * np.expm1(FLAT_Z * spread * widening[of_kind]))
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
