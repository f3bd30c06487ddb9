"""The crops the risk is estimated on: read, stabilised to unit noise, each with its probe.

Channels on the Gaussian path are divided by their sigma.  Channels on the
Poisson-Gaussian path go through the generalized Anscombe transform in
photon units (`quorvel._engine.anscombe`), as the denoiser's own path does,
and keep their photon values and the noise variance of every element (the
model at the local mean) for the risk after the inverse transform.  Only the
central frame and plane (to choose the crops) and the crops are read, so that
an image in chunks is tuned without reading it whole.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from quorvel import _core
from quorvel._core import NoisePlan, _values
from quorvel._inverse import unbiased_photons

# Share of the image's elements that the crops hold together.
_BUDGET_SHARE = 1.0 / 16.0
_MIN_BUDGET = 2**14
# Margin around the scored part of a crop, per core axis (T, Z, Y = X).  Along
# T and Z it is the search reach of the fifth iteration: with less, the crops
# cut the last iteration's search short and the risk favours 4 iterations.
_MARGIN = {"T": 2, "Z": 4, "YX": 12}
# Scored extent of a crop along T and Z, and the range along Y and X.
_INTERIOR = {"T": 2, "Z": 8}
_MIN_SIDE, _MAX_SIDE = 32, 128
_MAX_CROPS = 3
# Range of the crops' places in the ranking of tiles by variance (0 = the highest).
_PICKS = (0.1, 0.7)
# Least noise variance, in photons squared, taken for an element on the
# Poisson-Gaussian path (where the local mean plus the model's offset is
# below it, as in dark parts of an image whose offset was estimated).
_MIN_VARIANCE = 0.25
# Radius of the local mean (in Y and X) that stands for the clean value in the
# noise variance of the Poisson-Gaussian path.
_LOCAL_RADIUS = 2
# Probe step, in units of the noise level, and the seed of the probe.
_EPSILON = 0.15
_SEED = 0


class _Channels(NamedTuple):
    """Channels of one noise path, ready for the engine (noise of unit variance).

    On the Poisson-Gaussian path also the same channels in photon units, the
    transform's offset there (per channel), the noise variance per element
    in photon units (estimated from the local mean) and its mean per
    channel; None on the Gaussian path.
    """

    stabilised: npt.NDArray[np.float32]
    photons: npt.NDArray[np.float32] | None = None
    read: npt.NDArray[np.float32] | None = None
    variance: npt.NDArray[np.float32] | None = None
    unit: npt.NDArray[np.float64] | None = None


def _stabilise(
    core5: npt.NDArray[Any], plan: NoisePlan, joint: bool = True, variance: bool = True
) -> list[_Channels]:
    """Each group of channels on one path, with (nearly) unit Gaussian noise.

    Without `joint`, every channel is a group of its own (the channels the
    denoiser runs one by one), in channel order.  Without `variance`, the
    Poisson-Gaussian groups hold only their stabilised channels (to rank
    tiles by).
    """
    if not joint:
        return [
            _stabilise(core5[:, c : c + 1], _channel_plan(plan, c), variance=variance)[0]
            for c in plan.varying_channels
        ]
    groups: list[_Channels] = []
    if plan.gaussian_channels:
        ch = plan.gaussian_channels
        sigma = np.asarray(_values(plan.sigma, ch), dtype=np.float32).reshape(1, -1, 1, 1, 1)
        groups.append(_Channels(_contiguous(np.asarray(core5[:, ch], dtype=np.float32) / sigma)))
    if plan.poisson_channels:
        ch = plan.poisson_channels
        g = np.asarray(_values(plan.gain, ch), dtype=np.float32).reshape(1, -1, 1, 1, 1)
        o = np.asarray(_values(plan.offset, ch), dtype=np.float32).reshape(1, -1, 1, 1, 1)
        # Photon units (gain 1, offset o / g**2), where the model's variance
        # is photons + offset.
        photons = _contiguous(np.asarray(core5[:, ch], dtype=np.float32) / g)
        read = o / (g * g)
        if variance:
            v = np.maximum(_local_mean(photons) + read, np.float32(_MIN_VARIANCE))
            unit = v.mean(axis=(0, 2, 3, 4), dtype=np.float64, keepdims=True)
            groups.append(_Channels(_anscombe(photons, read), photons, read, v, unit))
        else:
            groups.append(_Channels(_anscombe(photons, read)))
    return groups


def _channel_plan(plan: NoisePlan, c: int) -> NoisePlan:
    """The noise plan of channel `c` alone."""
    return NoisePlan((plan.gain[c],), (plan.offset[c],), (plan.sigma[c],))


def _contiguous(a: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    return np.ascontiguousarray(a, dtype=np.float32)


def _photon_model(read: Any, channels: int) -> dict[str, list[float]]:
    """Gain 1 and offset `read` (one value, or one per channel) for `channels` channels."""
    offset = np.broadcast_to(np.asarray(read, dtype=np.float32).ravel(), (channels,))
    return {"gain": [1.0] * channels, "offset": [float(o) for o in offset]}


def _anscombe(photons: npt.NDArray[np.float32], read: Any) -> npt.NDArray[np.float32]:
    """The denoiser's generalized Anscombe transform of a core-layout image in photon units."""
    out: npt.NDArray[np.float32] = _core.engine.anscombe(
        _contiguous(photons), **_photon_model(read, photons.shape[1])
    )
    return out


def _inverse_anscombe(stabilised: npt.NDArray[np.float32], read: Any) -> npt.NDArray[np.float32]:
    """The denoiser's inverse of `_anscombe`: the exact unbiased one, as its results get."""
    model = _photon_model(read, stabilised.shape[1])
    out: npt.NDArray[np.float32] = _core.engine.inverse_anscombe(_contiguous(stabilised), **model)
    unbiased_photons(out, model["offset"])
    return out


def _local_mean(a: npt.NDArray[np.float32], radius: int = _LOCAL_RADIUS) -> npt.NDArray[np.float32]:
    """Mean over (2 * radius + 1)**2 pixels in each plane (the last two axes), edges clamped."""
    out = np.asarray(a, dtype=np.float64)
    for axis in (-2, -1):
        n = out.shape[axis]
        pad = [(0, 0)] * out.ndim
        pad[axis] = (radius + 1, radius)
        c = np.cumsum(np.pad(out, pad, mode="edge"), axis=axis)
        hi = np.take(c, np.arange(2 * radius + 1, 2 * radius + 1 + n), axis=axis)
        lo = np.take(c, np.arange(0, n), axis=axis)
        out = (hi - lo) / (2 * radius + 1)
    return np.asarray(out, dtype=np.float32)


def _span(n: int, inner: int, margin: int, centre: int) -> tuple[slice, slice]:
    """A crop along one axis of length `n` around `centre`, and its scored part within the crop.

    A crop that would hold the whole axis anyway is scored whole: it has no
    border of its own there.
    """
    inner = n if n <= inner + 2 * margin else inner
    start = min(max(centre - inner // 2, 0), n - inner)
    lo, hi = max(start - margin, 0), min(start + inner + margin, n)
    return slice(lo, hi), slice(start - lo, start - lo + inner)


def _crops(
    shape: tuple[int, ...],
    plane: npt.NDArray[np.float32],
    reach: Mapping[str, int] | None = None,
) -> list[tuple[tuple[slice, ...], tuple[slice, ...]]]:
    """Representative crops of a core-layout array: (crop, scored part within the crop).

    `shape` is the array's shape, `plane` its central frame and plane
    (channels, Y, X), as the engine sees it.  `reach` is the largest search
    reach by axis (T, Z) of the settings to be scored: the margin along that
    axis is at least as long.
    """
    nt, nc, nz, ny, nx = shape
    margin = {axis: max(_MARGIN[axis], (reach or {}).get(axis, 0)) for axis in "TZ"}
    t_crop, t_in = _span(nt, _INTERIOR["T"], margin["T"], nt // 2)
    z_crop, z_in = _span(nz, _INTERIOR["Z"], margin["Z"], nz // 2)
    depth = (t_crop.stop - t_crop.start) * nc * (z_crop.stop - z_crop.start)
    budget = max(_BUDGET_SHARE * math.prod(shape), _MIN_BUDGET) / depth
    m = _MARGIN["YX"]
    for count in range(_MAX_CROPS, 0, -1):
        side = int(math.sqrt(budget / count)) - 2 * m
        if side >= _MIN_SIDE:
            break
    side = min(max(side, _MIN_SIDE), _MAX_SIDE)
    sy, sx = min(side, ny), min(side, nx)
    # Tiles of the central frame and plane, ranked by their variance (structure
    # plus noise); the crops are tiles from the top to the lower middle of
    # that ranking, so that both detail and background weigh in.
    ys = np.arange(0, ny - sy + 1, max(sy // 2, 1))
    xs = np.arange(0, nx - sx + 1, max(sx // 2, 1))
    variance = _tile_variances(plane, ys, xs, sy, sx)
    tiles = [
        (float(variance[i, j]), int(y) + sy // 2, int(x) + sx // 2)
        for i, y in enumerate(ys)
        for j, x in enumerate(xs)
    ]
    tiles.sort(reverse=True)
    count = min(count, len(tiles))
    picks = np.linspace(*_PICKS, count) if count > 1 else [sum(_PICKS) / 4]
    out: list[tuple[tuple[slice, ...], tuple[slice, ...]]] = []
    for q in picks:
        _, cy, cx = tiles[min(int(q * len(tiles)), len(tiles) - 1)]
        y_crop, y_in = _span(ny, sy, m, cy)
        x_crop, x_in = _span(nx, sx, m, cx)
        crop = (t_crop, slice(None), z_crop, y_crop, x_crop)
        piece = (crop, (t_in, slice(None), z_in, y_in, x_in))
        if piece not in out:  # on small images crops can hold the whole image
            out.append(piece)
    return out


def _tile_variances(
    plane: npt.NDArray[np.float32],
    ys: npt.NDArray[np.intp],
    xs: npt.NDArray[np.intp],
    sy: int,
    sx: int,
) -> npt.NDArray[np.float64]:
    """Variance over channels and pixels of the `sy` x `sx` tiles of `plane` at (`ys`, `xs`).

    The sums over the tiles of the values and of their squares (float64), as
    products with matrices of ones where a tile holds a row or a column.
    """
    a = np.asarray(plane, dtype=np.float64)
    rows = np.zeros((len(ys), a.shape[1]))
    for i, y in enumerate(ys):
        rows[i, y : y + sy] = 1.0
    cols = np.zeros((a.shape[2], len(xs)))
    for j, x in enumerate(xs):
        cols[x : x + sx, j] = 1.0
    n = a.shape[0] * sy * sx
    mean = rows @ a.sum(axis=0) @ cols / n
    square = rows @ np.einsum("cyx,cyx->yx", a, a) @ cols / n
    out: npt.NDArray[np.float64] = np.maximum(square - mean * mean, 0.0)
    return out


@dataclass(frozen=True)
class _Piece:
    """A crop the risk is estimated on.

    `plain` and `probed` are the engine's inputs, `probe` the random
    direction and `inner` the scored part.  On the Poisson-Gaussian path
    (`channels`: the crop's part of `_Channels`) the probe is added in
    photon units, scaled by the local standard deviation of the noise,
    before the transform, and the risk is that of the result after the
    inverse transform against the crop in photon units, in units of the
    channel's mean noise variance on the crops.
    """

    plain: npt.NDArray[np.float32]
    probed: npt.NDArray[np.float32]
    probe: npt.NDArray[np.float32]
    inner: tuple[slice, ...]
    channels: _Channels | None = None

    def risk(self, f: npt.NDArray[np.float32], fp: npt.NDArray[np.float32]) -> float:
        """Summed risk over the scored part, from the plain and probed results."""
        inner, b = self.inner, self.probe
        if self.channels is None:
            fit = np.square((f - self.plain)[inner], dtype=np.float64)
            slope = (b * (fp - f))[inner].astype(np.float64) / _EPSILON
            return float(np.sum(fit - 1.0 + 2.0 * slope))
        photons, read, variance, unit = self.channels[1:]
        assert photons is not None and variance is not None and unit is not None
        out, probed = _inverse_anscombe(f, read), _inverse_anscombe(fp, read)
        fit = np.square((out - photons)[inner], dtype=np.float64)
        # variance * divergence, the probe having been scaled by sqrt(variance)
        spread = np.sqrt(variance)
        slope = (spread * b * (probed - out))[inner].astype(np.float64) / _EPSILON
        v = variance[inner].astype(np.float64)
        return float(np.sum((fit - v + 2.0 * slope) / unit))


def _piece(
    channels: _Channels,
    crop: tuple[slice, ...],
    inner: tuple[slice, ...],
    rng: np.random.Generator,
) -> _Piece:
    """The crop `crop` of `channels` as a `_Piece`, its probe drawn from `rng`."""
    y = _contiguous(channels.stabilised[crop])
    b = rng.standard_normal(y.shape, dtype=np.float32)
    eps = np.float32(_EPSILON)
    if channels.photons is None or channels.variance is None:
        return _Piece(y, y + eps * b, b, inner)
    photons, variance = _contiguous(channels.photons[crop]), _contiguous(channels.variance[crop])
    probed = _anscombe(photons + eps * np.sqrt(variance) * b, channels.read)
    return _Piece(y, probed, b, inner, channels._replace(photons=photons, variance=variance))


def _pieces(
    core5: npt.NDArray[Any],
    plan: NoisePlan,
    reach: Mapping[str, int] | None = None,
    joint: bool = True,
) -> list[_Piece]:
    """The crops the risk is estimated on, each with its probe (fixed seed).

    The crops' margins along T and Z hold `reach` (`_reaches`).  Channels
    denoised on their own (`joint` false) get crops of their own.
    """
    nt, _, nz, ny, nx = core5.shape
    centre_plane = _read(core5[nt // 2 : nt // 2 + 1, :, nz // 2 : nz // 2 + 1])
    centre = _stabilise(centre_plane, plan, joint, variance=False)
    rng = np.random.default_rng(_SEED)
    pieces = []
    for group, plane in enumerate(centre):
        shape = (nt, plane.stabilised.shape[1], nz, ny, nx)
        crops = _crops(shape, plane.stabilised[0, :, 0], reach)
        blocks = [_stabilised_crop(core5, plan, group, crop, joint) for crop, _ in crops]
        variances = [b.variance for b in blocks if b.variance is not None]
        if len(variances) == len(blocks):
            # The unit of the risk: the mean noise variance of the scored elements.
            scored = [v[inner] for v, (_, inner) in zip(variances, crops, strict=True)]
            total = np.sum([v.sum(axis=(0, 2, 3, 4), dtype=np.float64) for v in scored], axis=0)
            unit = total / sum(v[:, :1].size for v in scored)
            blocks = [b._replace(unit=unit.reshape(1, -1, 1, 1, 1)) for b in blocks]
        full = (slice(None),) * 5
        pieces += [_piece(b, full, inner, rng) for b, (_, inner) in zip(blocks, crops, strict=True)]
    return pieces


def _read(block: Any) -> npt.NDArray[Any]:
    """A part of the image in memory (a dask array's part is computed)."""
    return np.asarray(block.compute() if hasattr(block, "compute") else block)


def _stabilised_crop(
    core5: Any, plan: NoisePlan, group: int, crop: tuple[slice, ...], joint: bool = True
) -> _Channels:
    """`_stabilise` of the crop `crop` of `core5`, group `group` of its channels.

    Only the crop is read, with a rim as wide as the local mean's radius in
    Y and X where the image extends: the crop's noise variance is that of
    the whole image.
    """
    t, c, z, y, x = crop
    ny, nx = core5.shape[3:]
    rim = _LOCAL_RADIUS
    wide_y = slice(max(y.start - rim, 0), min(y.stop + rim, ny))
    wide_x = slice(max(x.start - rim, 0), min(x.stop + rim, nx))
    channels = _stabilise(_read(core5[t, c, z, wide_y, wide_x]), plan, joint)[group]
    inside = (
        slice(None),
        slice(None),
        slice(None),
        slice(y.start - wide_y.start, y.stop - wide_y.start),
        slice(x.start - wide_x.start, x.stop - wide_x.start),
    )

    def part(a: npt.NDArray[np.float32] | None) -> npt.NDArray[np.float32] | None:
        return None if a is None else _contiguous(a[inside])

    stabilised = part(channels.stabilised)
    assert stabilised is not None
    return channels._replace(
        stabilised=stabilised, photons=part(channels.photons), variance=part(channels.variance)
    )
