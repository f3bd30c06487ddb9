"""Choice of the denoiser's parameters per image from an unbiased estimate of its error.

The mean squared error of a denoiser on Gaussian noise of known level can
be estimated without the clean image (Stein's unbiased risk estimate).  For
a black-box denoiser ``f`` its one unknown term, the divergence of ``f``, is
estimated from one extra run on the image plus a small random probe
(Monte-Carlo SURE; Ramani, Blu and Unser, IEEE Trans. Image Process. 17(9),
2008)::

    risk = mean((f(y) - y)**2) - 1 + 2 * mean(b * (f(y + eps * b) - f(y))) / eps

in units of the noise variance, with ``b`` standard normal from a fixed seed.

Channels on the Gaussian path are divided by their sigma and the risk is
that of the core on them.  Channels on the Poisson-Gaussian path are put
through the same generalized Anscombe transform (in photon units) that the
denoiser applies before its Gaussian core, but the risk is that of the
result after the inverse transform, in photon units, where the model gives
the noise variance of each element exactly (photons plus the offset; its
local mean stands for the unknown clean value), and the probe is added there
(scaled by the local noise level) before the transform::

    risk = mean((F(x) - x)**2 - v + 2 * v * div F)

divided by the channel's mean noise variance on the scored elements.  After
the transform the noise variance is known only approximately at a few
photons (on the
benchmark's low-photon spots, 1 to 6 photons, it was 16 to 21 % above the
Poisson value the estimate assumed there), and a noise variance taken too
small biases the estimate against smoothing: the tuner then chose 3
iterations and p-value 0.1 where 5 and 0.001 win by 2.3 dB
(bench/tune_bench.py).  The Stein identity holds for the Gaussian part of
the noise; for the Poisson part it holds to first order, which is close
where the denoiser averages many elements.

Cost
----
A candidate costs two runs (plain and probed) on a few crops that together
hold about 1/16 of the image, and at least 2**14 elements: on smaller images
the estimate would be too noisy to tell settings apart that differ by a few
percent of the error.  Each crop carries a margin around the part that is
scored, so that the risk is not dominated by the crop's own borders (a
margin is dropped where the crop meets the image's border).  Only the
central frame and plane (to choose the crops) and the crops are read, so
that an image in chunks (a dask array) is tuned without reading it whole.

One run of k iterations gives the risk of every count up to k (the engine
returns the estimate after each iteration, which is the result of the
shorter run), and a run can be continued with more iterations later.  The
last iteration costs about as much as all before it together (its search
window is the largest), so the grid is walked one parameter at a time (one
sweep of coordinate descent, `_line_search`; on stacks the patch radii in
the plane and along Z and T together, `_product_search`) with the fewest
iterations of the grid, and larger counts are run only at the point that
walk chose, its runs continued one more count at a time while the risk
still falls or rises by no more than `_TIE` (in units of the noise
variance), and of the counts run the largest whose risk is within `_TIE` of
the least is taken.  Between two counts the risks can differ by less than the
estimate's noise, and there the larger count won: over the benchmark set
(three probe draws at 256 x 256, one at 512 x 512), all 8 times the risk
rose by 0 to 0.0017 from one count to the next, the next count scored
0.01 to 0.18 dB higher by true PSNR (Poisson-Gaussian volume: 4 iterations
0.0007 below 5, 5 better by 0.18 dB), while of the 40 rises of 0.0017 or
more, 35 went with fewer iterations winning (bench/tune_bench.py).  The tie
is absolute: on the Poisson-Gaussian path the risk is near zero or below
it, where a share of itself means nothing.

The probe step is 0.15 of the noise level: the tests that accept or reject
patches make the denoiser jump where a distance crosses a threshold, and a
much smaller step catches few of those jumps, so that the divergence of small
patches is mostly underestimated (with a tenth, brick at sigma 50 got 5 x 5
patches where 9 x 9 win by 0.5 dB); with 0.3 the error went the other way on
other images (bench/tune_bench.py).
"""

from __future__ import annotations

import functools
import itertools
import math
import numbers
import threading
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, replace
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from quorvel import _core
from quorvel._core import (
    CoreSettings,
    NoisePlan,
    _engine_settings,
    _values,
)
from quorvel._threads import resolve_threads

#: The grid searched with ``tune=True``: patch radius along X and Y, iterations,
#: p-value of the tests, the patch radius along Z (stacks) and T (time-lapses),
#: and the search reach along T (time-lapses of single planes) and Z (z-stacks
#: of one time point): None keeps the growing window of ``search``, a number
#: searches that many frames or planes to each side from the first iteration.
#: Radius 1 along Z or T joins where the axis has 3 elements or more: it
#: raised the best of the grid by 0.3 to 0.55 dB on the benchmark volumes
#: (along Z) and by 0.5 to 0.65 dB on the spots time-lapses (along T), every
#: time with radius 2 in the plane, 5 iterations and p-value 0.001.  Reaches
#: along Z are searched only when asked for: on the benchmark volumes the
#: growing window beat reaches of 1 to 9 planes by 0.4 to 2 dB, while on the
#: spots time-lapses a reach of 2 or 4 frames gained 0.6 and 2.0 dB over it
#: (bench/tune_bench.py).  The reaches along T span the whole sequence, up to
#: 16 frames (`_reach_values`): a still sequence gains from every frame (3 to
#: 5 dB over the growing window on the still scenes of bench/scenes.py).
DEFAULT_GRID: dict[str, tuple[Any, ...]] = {
    "patch_radius": (2, 3, 4),
    "iterations": (3, 4, 5),
    "pvalue": (0.001, 0.01, 0.1),
    "patch_radius_z": (0, 1),
    "patch_radius_t": (0, 1),
    "reach_t": (None, 1, 2, 4, 8, 16),
    "reach_z": (None,),
}
_REACH = {"reach_t": ("T", 4), "reach_z": ("Z", 2)}
# The patch radii beyond the plane.
_DEEP = ("patch_radius_z", "patch_radius_t")

# Share of the image's elements that the crops hold together.
_BUDGET_SHARE = 1.0 / 16.0
_MIN_BUDGET = 2**14
# Margin around the scored part of a crop, per core axis (T, Z, Y = X).  Along
# T and Z it is the search reach of the fifth iteration: with less, the crops
# cut the last iteration's search short and the risk favours 4 iterations
# (volumes: 0.23 dB short of the grid's best with a margin of 2 planes).
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
# Rise of the risk, in units of the noise variance, from one iteration count
# to the next that still counts as a tie: the next count is then run too, and
# taken if no count has a risk lower by more than this.
_TIE = 0.0015
# Probe step, in units of the noise level, and the seed of the probe.
_EPSILON = 0.15
_SEED = 0


@dataclass(frozen=True)
class TuneResult:
    """The parameters chosen for one image and the risks that chose them.

    Attributes
    ----------
    settings : dict
        The chosen parameters as keyword arguments of `quorvel.denoise`:
        ``patch_radius`` (a mapping by axis letter), ``iterations``,
        ``pvalue`` and, where the reach was tuned, ``search`` (by axis
        letter, e.g. ``{"T": 2}``, None for the growing window; without it
        the caller's search).
    risk : float
        Estimated mean squared error of the chosen setting on the crops, in
        units of the noise variance (on the Poisson-Gaussian path: of the
        result, in units of the channel's mean noise variance on the crops).
    candidates : tuple of (dict, float)
        Every setting scored, in order, with its estimated risk (one run of
        k iterations scores every count of the grid up to k).
    crops : int
        Number of crops the risk was estimated on.
    """

    settings: dict[str, Any]
    risk: float
    candidates: tuple[tuple[dict[str, Any], float], ...]
    crops: int

    def as_dict(self) -> dict[str, Any]:
        """Plain data for logs and provenance."""
        return {
            "method": "Monte-Carlo SURE",
            "settings": self.settings,
            "risk": self.risk,
            "crops": self.crops,
            "candidates": [{**s, "risk": r} for s, r in self.candidates],
        }

    @property
    def summary(self) -> str:
        """The chosen settings in words."""
        r = self.settings["patch_radius"]
        radius = f"{r['X']}" + "".join(f", {axis} {r[axis]}" for axis in "ZT" if axis in r)
        reach = "".join(
            f", {axis} window growing" if n is None else f", reach {axis} {n}"
            for axis, n in self.settings.get("search", {}).items()
        )
        return (
            f"patch radius {radius}, {self.settings['iterations']} iterations, "
            f"p-value {self.settings['pvalue']:g}{reach}"
        )

    def __str__(self) -> str:
        return (
            f"{self.summary} (risk {self.risk:.4f} of the noise "
            f"variance, {len(self.candidates)} settings on {self.crops} crop(s))"
        )


# --------------------------------------------------------------------------
# Grid


def _check_grid(
    grid: Mapping[str, Sequence[Any]] | None,
    sizes: dict[str, int],
    settings: CoreSettings | None = None,
) -> dict[str, tuple[Any, ...]]:
    """The grid to search on an image of `sizes`: the default's, with `grid`'s entries.

    The values of `settings` (checked, the caller's) join the dimensions that
    `grid` leaves to the default, so that a value given, such as 6
    iterations, is among the candidates rather than replaced by the grid's.
    """
    if grid is not None and not isinstance(grid, Mapping):
        raise ValueError(f"tune must be True, False or a mapping of grid values, got {grid!r}")
    out = dict(DEFAULT_GRID)
    for key, values in (grid or {}).items():
        if key not in DEFAULT_GRID:
            raise ValueError(
                f"tune: no grid dimension {key!r}; choose from {', '.join(DEFAULT_GRID)}"
            )
        if isinstance(values, (str, bytes)) or not isinstance(values, Sequence) or not values:
            raise ValueError(f"tune[{key!r}] must be a non-empty sequence, got {values!r}")
        out[key] = tuple(_check_value(key, v) for v in values)
    if "patch_radius" not in (grid or {}):  # the default's radii that fit the image
        fit = [v for v in out["patch_radius"] if all(2 * v + 1 <= sizes[a] for a in "XY")]
        out["patch_radius"] = tuple(fit) or out["patch_radius"]
    for key, axis in (("patch_radius_z", "Z"), ("patch_radius_t", "T")):
        if sizes[axis] == 1:
            out[key] = (0,)
        elif key not in (grid or {}):  # the default's radii that fit the image
            out[key] = tuple(v for v in out[key] if 2 * v + 1 <= sizes[axis])
    # A reach along T for time-lapses of single planes, along Z for z-stacks
    # of one time point (with both axes the public `search` cannot state a
    # reach along one and the growing window along the other).
    if sizes["T"] == 1 or sizes["Z"] > 1:
        out["reach_t"] = (None,)
    elif "reach_t" not in (grid or {}):
        out["reach_t"] = _reach_values(out["reach_t"], sizes["T"])
    if sizes["Z"] == 1 or sizes["T"] > 1:
        out["reach_z"] = (None,)
    if settings is not None:
        for key in out:
            if key not in (grid or {}) and not (key in _REACH and out[key] == (None,)):
                out[key] = (*out[key], _start(settings, key))
    for key, axes in (("patch_radius", "XY"), ("patch_radius_z", "Z"), ("patch_radius_t", "T")):
        for axis in axes:
            if 2 * max(out[key]) + 1 > sizes[axis]:
                raise ValueError(
                    f"tune[{key!r}]: radius {max(out[key])} needs {2 * max(out[key]) + 1} "
                    f"pixels along {axis}, the image has {sizes[axis]}"
                )
    return {k: tuple(sorted(set(v), key=_order)) for k, v in out.items()}


def _reach_values(values: Sequence[Any], n: int) -> tuple[Any, ...]:
    """The default's reaches for an axis of `n` elements: the whole axis among them.

    Reaches of the whole axis or more become its length less one, up to the
    largest of `values`; one within three quarters of that is dropped (it
    searches nearly as far at nearly the cost).
    """
    whole = min(n - 1, max(v for v in values if v is not None))
    kept = [v for v in values if v is None or v <= 0.75 * whole]
    return (*kept, whole)


def _order(value: Any) -> tuple[bool, Any]:
    """Grid values in order, None (the growing window) before any reach."""
    return (value is not None, value if value is not None else 0)


def _check_value(key: str, value: Any) -> Any:
    if key in _REACH and value is None:
        return None
    if key == "pvalue":
        ok = isinstance(value, numbers.Real) and not isinstance(value, bool)
        if ok and 0.0 <= float(value) < 1.0:
            return float(value)
        raise ValueError(f"tune['pvalue']: values must be in [0, 1), got {value!r}")
    low, high = {"iterations": (1, 30)}.get(key, (0, 64))
    integral = isinstance(value, numbers.Integral) and not isinstance(value, bool)
    if integral and low <= value <= high:
        return int(value)
    kind = "None or integers" if key in _REACH else "integers"
    raise ValueError(f"tune[{key!r}]: values must be {kind} in [{low}, {high}], got {value!r}")


def _apply(settings: CoreSettings, point: dict[str, Any]) -> CoreSettings:
    r, rz, rt = point["patch_radius"], point["patch_radius_z"], point["patch_radius_t"]
    rc = settings.patch_radius[3]
    reach = list(settings.reach or (-1,) * 5)
    for key, (_, index) in _REACH.items():
        if key in point:  # None: the growing window
            reach[index] = -1 if point[key] is None else point[key]
    return replace(
        settings,
        patch_radius=(r, r, rz, rc, rt),
        iterations=point["iterations"],
        pvalue=point["pvalue"],
        reach=tuple(reach) if any(v >= 0 for v in reach) else (),
    )


def _start(settings: CoreSettings, key: str) -> Any:
    """The value of grid dimension `key` that `settings` hold."""
    r, _, rz, _, rt = settings.patch_radius
    if key in _REACH:
        index = _REACH[key][1]
        return settings.reach[index] if settings.reach and settings.reach[index] >= 0 else None
    return {"patch_radius": r, "iterations": settings.iterations, "pvalue": settings.pvalue,
            "patch_radius_z": rz, "patch_radius_t": rt}[key]


def _public(
    point: dict[str, Any], stacked: str = "", searched: Sequence[str] = ()
) -> dict[str, Any]:
    """`point` as keyword arguments of `quorvel.denoise`.

    `stacked` names the image's axes of more than one element among Z and T:
    the patch radius along them is stated.  The reaches of the grid
    dimensions in `searched` go into ``search`` (None: the growing window
    along that axis).
    """
    radius = {"X": point["patch_radius"], "Y": point["patch_radius"]}
    for axis in stacked:
        radius[axis] = point[f"patch_radius_{axis.lower()}"]
    out = {"patch_radius": radius, "iterations": point["iterations"], "pvalue": point["pvalue"]}
    reach = {_REACH[key][0]: point[key] for key in searched}
    if reach:
        out["search"] = reach
    return out


# --------------------------------------------------------------------------
# Crops


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
    core5: npt.NDArray[Any], plan: NoisePlan, joint: bool = True
) -> list[_Channels]:
    """Each group of channels on one path, with (nearly) unit Gaussian noise.

    Without `joint`, every channel is a group of its own (the channels the
    denoiser runs one by one), in channel order.
    """
    if not joint:
        return [
            _stabilise(core5[:, c : c + 1], _channel_plan(plan, c))[0]
            for c in range(core5.shape[1])
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
        variance = np.maximum(_local_mean(photons) + read, np.float32(_MIN_VARIANCE))
        unit = variance.mean(axis=(0, 2, 3, 4), dtype=np.float64, keepdims=True)
        groups.append(_Channels(_anscombe(photons, read), photons, read, variance, unit))
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
    """The denoiser's inverse of `_anscombe` (algebraic, with its bias correction of 1/4)."""
    out: npt.NDArray[np.float32] = _core.engine.inverse_anscombe(
        _contiguous(stabilised), **_photon_model(read, stabilised.shape[1])
    )
    return out


def _local_mean(
    a: npt.NDArray[np.float32], radius: int = _LOCAL_RADIUS
) -> npt.NDArray[np.float32]:
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
    tiles = [
        (float(plane[:, y : y + sy, x : x + sx].var()), y + sy // 2, x + sx // 2)
        for y in range(0, ny - sy + 1, max(sy // 2, 1))
        for x in range(0, nx - sx + 1, max(sx // 2, 1))
    ]
    tiles.sort(reverse=True)
    count = min(count, len(tiles))
    picks = np.linspace(*_PICKS, count) if count > 1 else [sum(_PICKS) / 4]
    out = []
    for q in picks:
        _, cy, cx = tiles[min(int(q * len(tiles)), len(tiles) - 1)]
        y_crop, y_in = _span(ny, sy, m, cy)
        x_crop, x_in = _span(nx, sx, m, cx)
        crop = (t_crop, slice(None), z_crop, y_crop, x_crop)
        piece = (crop, (t_in, slice(None), z_in, y_in, x_in))
        if piece not in out:  # on small images crops can hold the whole image
            out.append(piece)
    return out


# --------------------------------------------------------------------------
# Risk


def _advance(run: Any, iterations: int) -> list[npt.NDArray[np.float32]]:
    """Continue an engine run to `iterations`; the estimate after each iteration it ran."""
    out: list[npt.NDArray[np.float32]] = run.advance(iterations)
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
    if channels.photons is None:
        return _Piece(y, y + eps * b, b, inner)
    photons, variance = _contiguous(channels.photons[crop]), _contiguous(channels.variance[crop])
    probed = _anscombe(photons + eps * np.sqrt(variance) * b, channels.read)
    return _Piece(y, probed, b, inner, channels._replace(photons=photons, variance=variance))


class _Runs:
    """The engine runs of one setting on every piece, plain and probed.

    The runs are kept, so that a larger iteration count costs only the
    iterations it adds: iteration k depends only on the estimate before it,
    so a run continued from k to k + 1 gives the bits of a run of k + 1.

    On crops this small the engine's threads mostly wait for one another
    (two threads took 2.6 times as long as one on six 73 x 73 crops, and
    the tuning cost up to 10 times the final run on two threads); the runs
    go side by side instead, one thread each.  The results are the same: the
    engine gives the same bits for any thread count.
    """

    def __init__(self, pieces: list[_Piece], settings: CoreSettings, threads: int) -> None:
        self.pieces = pieces
        n = resolve_threads(threads)
        inputs = [a for piece in pieces for a in (piece.plain, piece.probed)]
        self.workers = min(n, len(inputs))
        kwargs = _engine_settings(settings, max(1, n // max(len(inputs), 1)))
        del kwargs["max_iter"]
        self.runs = [_core.engine.GaussianRun(a, sigma=1.0, **kwargs) for a in inputs]
        self.done = 0

    def _advance_all(
        self,
        iterations: int,
        check: Callable[[], None] | None,
        on_run: Callable[[], None] | None = None,
    ) -> list[list[npt.NDArray[np.float32]]]:
        """Every run continued to `iterations`; `check()` before each, `on_run()` after."""

        def advance(run: Any) -> list[npt.NDArray[np.float32]]:
            if check is not None:
                check()
            out = _advance(run, iterations)
            if on_run is not None:
                on_run()
            return out

        if self.workers <= 1:
            return [advance(run) for run in self.runs]
        pool = ThreadPoolExecutor(max_workers=self.workers)
        try:
            return list(pool.map(advance, self.runs))
        finally:
            # Interrupted (Ctrl-C): the runs not yet started are dropped.
            pool.shutdown(cancel_futures=True)

    def risks(
        self,
        iterations: tuple[int, ...],
        check: Callable[[], None] | None = None,
        account: _Account | None = None,
    ) -> dict[int, float]:
        """Monte-Carlo SURE with each count of `iterations`, per scored element.

        The counts must be above the iterations already run.  `account`
        receives the work of each run as it ends.
        """
        first = self.done + 1
        if min(iterations) < first:
            raise ValueError(f"iterations up to {self.done} were run already")
        share = _work(self.done, max(iterations)) / len(self.runs)
        on_run = None if account is None else functools.partial(account.add, share)
        outputs = self._advance_all(max(iterations), check, on_run)
        self.done = max(iterations)
        total = dict.fromkeys(iterations, 0.0)
        count = 0
        for i, piece in enumerate(self.pieces):
            runs, probed = outputs[2 * i], outputs[2 * i + 1]
            for k in iterations:
                total[k] += piece.risk(runs[k - first], probed[k - first])
            count += piece.probe[piece.inner].size
        return {k: t / count for k, t in total.items()}


def _work(done: int, upto: int) -> float:
    """Relative cost of continuing a run from `done` to `upto` iterations.

    The search window along X and Y doubles with every iteration, so that
    iteration i costs about ``4**i`` (the window's area).
    """
    return float(sum(4.0**i for i in range(done + 1, upto + 1)))


class _Account:
    """The share of the tuning's work done, reported to a progress callable.

    The walk stops where the risk rises, so its length is known only as a
    bound (`_most_work`): the share moves by the work of each run against
    that bound, and reaches 1 when the tuning ends.
    """

    def __init__(self, total: float, progress: Callable[[float], object] | None) -> None:
        self._total = max(total, 1.0)
        self._done = 0.0
        self._progress = progress
        self._lock = threading.Lock()

    def add(self, work: float) -> None:
        """Count `work` as done (from any thread) and report the share, in order."""
        with self._lock:
            self._done += work
            if self._progress is not None:
                self._progress(min(self._done / self._total, 1.0))


def _most_work(
    grid: Mapping[str, Sequence[Any]], walked: Sequence[str], together: Sequence[str]
) -> float:
    """The work of the longest walk of `_tune_core` over `grid` (`_work` units).

    The start point, every other value along each dimension walked alone,
    every other combination of the dimensions searched together, each at the
    fewest iterations; then the larger counts at the chosen point.
    """
    counts = grid["iterations"]
    points = 1 + sum(len(grid[k]) - 1 for k in walked if k not in together)
    if together:
        points += math.prod(len(grid[k]) for k in together) - 1
    return points * _work(0, counts[0]) + _work(counts[0], counts[-1])


def _risks(
    pieces: list[_Piece],
    settings: CoreSettings,
    iterations: tuple[int, ...],
    threads: int,
    check: Callable[[], None] | None = None,
) -> dict[int, float]:
    """`_Runs.risks` of new runs of `settings`: the risk of each count of `iterations`."""
    return _Runs(pieces, settings, threads).risks(iterations, check)


def _reaches(grid: Mapping[str, Sequence[Any]], settings: CoreSettings) -> dict[str, int]:
    """The largest search reach along T and Z of the grid and the settings."""
    out = {}
    for key, (axis, index) in _REACH.items():
        own = settings.reach[index] if settings.reach else -1
        out[axis] = max([own, *(v for v in grid.get(key, ()) if v is not None)])
    return out


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
    centre = _stabilise(
        _read(core5[nt // 2 : nt // 2 + 1, :, nz // 2 : nz // 2 + 1]), plan, joint
    )
    rng = np.random.default_rng(_SEED)
    pieces = []
    for group, plane in enumerate(centre):
        shape = (nt, plane.stabilised.shape[1], nz, ny, nx)
        crops = _crops(shape, plane.stabilised[0, :, 0], reach)
        blocks = [_stabilised_crop(core5, plan, group, crop, joint) for crop, _ in crops]
        if blocks[0].variance is not None:
            # The unit of the risk: the mean noise variance of the scored elements.
            scored = [b.variance[inner] for b, (_, inner) in zip(blocks, crops, strict=True)]
            total = sum(v.sum(axis=(0, 2, 3, 4), dtype=np.float64) for v in scored)
            unit = total / sum(v[:, :1].size for v in scored)
            blocks = [b._replace(unit=unit.reshape(1, -1, 1, 1, 1)) for b in blocks]
        full = (slice(None),) * 5
        pieces += [
            _piece(b, full, inner, rng) for b, (_, inner) in zip(blocks, crops, strict=True)
        ]
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
        slice(None), slice(None), slice(None),
        slice(y.start - wide_y.start, y.stop - wide_y.start),
        slice(x.start - wide_x.start, x.stop - wide_x.start),
    )
    per_element = ("stabilised", "photons", "variance")
    return channels._replace(
        **{
            name: _contiguous(getattr(channels, name)[inside])
            for name in per_element
            if getattr(channels, name) is not None
        }
    )


def _line_search(values: tuple[Any, ...], start: Any, risk: Any) -> Any:
    """The value of least `risk` along one grid dimension, walking from `start`.

    Steps towards the lower values first and stops at the first step that
    does not lower the risk; only when the first step down fails does it walk
    up.  The risk along one parameter has one minimum in practice, and the
    walk skips the values beyond it: when a smaller radius or p-value wins,
    the settings on the other side are never run.
    """
    i = values.index(start)
    best = risk(values[i])
    for step in (-1, 1):
        moved = False
        j = i + step
        while 0 <= j < len(values):
            r = risk(values[j])
            if r >= best:
                break
            i, best, moved = j, r, True
            j += step
        if moved:
            break
    return values[i]


def _product_search(
    grid: Mapping[str, Sequence[Any]], keys: Sequence[str], risk: Any
) -> dict[str, Any]:
    """The combination of values of the grid dimensions `keys` of least `risk`."""
    values = itertools.product(*(grid[k] for k in keys))
    return min((dict(zip(keys, v, strict=True)) for v in values), key=risk)


def _tune_core(
    core5: npt.NDArray[Any],
    plan: NoisePlan,
    settings: CoreSettings,
    grid: dict[str, tuple[Any, ...]],
    threads: int,
    check: Callable[[], None] | None = None,
    allowed: Callable[[CoreSettings], bool] | None = None,
    progress: Callable[[float], object] | None = None,
) -> tuple[CoreSettings, TuneResult]:
    """Choose the grid point of least estimated risk for a core-layout image.

    Parameters
    ----------
    core5 : ndarray
        The noisy image in core layout ``(T, C, Z, Y, X)``; not modified.
    plan : NoisePlan
        Its noise parameters per channel.
    settings : CoreSettings
        The settings to start from; the parameters not in the grid are kept.
    grid : dict
        Checked grid (`_check_grid`).
    threads : int
        Thread count of the core.
    check : callable, optional
        Called before each run of the core; it raises to stop the tuning.
    allowed : callable, optional
        Whether settings can be used (chunked images: whether their halo
        fits the chunks); the walk passes over the grid points it refuses.
        The settings to start from must be allowed.
    progress : callable, optional
        Called as ``progress(share)`` with the share of the work done (0
        first, then after each run of the core, 1 at the end), from the
        threads that ran: the share of the longest walk the grid allows
        (`_most_work`), so that it jumps to 1 where the walk stops early.
    """
    # The reach is tuned only along an axis the caller searches; a reach
    # dimension of (None,) keeps the caller's search.
    grid = {
        k: v
        for k, v in grid.items()
        if k not in _REACH or (settings.search[_REACH[k][1]] and v != (None,))
    }
    pieces = _pieces(core5, plan, _reaches(grid, settings), settings.joint)
    start = {k: _start(settings, k) for k in grid}
    point = {k: (start[k] if start[k] in v else v[len(v) // 2]) for k, v in grid.items()}
    # The reaches first: on time-lapses they move the error most; then the
    # patch radii along Z and T, so that the radius in the plane is chosen
    # for the patches it will be used with (with them walked last the tuner
    # kept radius 3 or 4 in the plane where radius 2 wins on 3 of 6 spots
    # time-lapses, by 0.28 to 0.86 dB, and on 2 of 6 volumes, by 0.35 dB;
    # bench/tune_bench.py).
    walked = sorted(
        (k for k in grid if k != "iterations"),
        key=lambda k: (k not in _REACH, k not in _DEEP),
    )
    # Where a patch can be deeper than one plane, the radii are searched
    # together, every combination: radius 2 in the plane wins only with the
    # deeper patch, and at radius 3 the estimate often cannot tell the two
    # depths apart, so that one radius at a time stopped at radius 3 with
    # one plane on the Gaussian volumes (0.45 and 0.55 dB short).  Over
    # three probe draws the stacks were within 0.15 dB in 28 of 36 runs
    # instead of 20 (bench/tune_bench.py).
    radii = [k for k in walked if k == "patch_radius" or k in _DEEP]
    together = radii if any(len(grid[k]) > 1 for k in radii if k in _DEEP) else []
    counts = grid["iterations"]
    # Iteration counts up to `cap` come from one run of `cap`.  The last
    # iteration costs about as much as all before it together, so the other
    # parameters are walked with the fewest iterations of the grid, and larger
    # counts are run only at the point they chose (its runs continued), while
    # the risk still falls (or rises by no more than `_TIE`).
    cap = counts[0]
    account = _Account(_most_work(grid, walked, together), progress)
    account.add(0.0)
    risks: dict[tuple[Any, ...], float] = {}
    ran: dict[tuple[Any, ...], int] = {}
    # The runs of the point of least risk so far, the only one continued
    # later (the walk ends there); the others are dropped to save memory.
    kept: dict[tuple[Any, ...], _Runs] = {}

    def least_risk(key: tuple[Any, ...]) -> float:
        return min(risks[key + (k,)] for k in counts if k <= cap)

    def usable(p: dict[str, Any], iterations: int) -> bool:
        return allowed is None or allowed(_apply(settings, {**p, "iterations": iterations}))

    def risk_of(p: dict[str, Any]) -> float:
        """The least risk over the iteration counts up to `cap`, at `p` (inf: not allowed)."""
        if not usable(p, cap):
            return math.inf
        key = tuple(p[k] for k in walked)
        if ran.get(key, 0) < cap:
            runs = kept.get(key) or _Runs(pieces, _apply(settings, p), threads)
            below = tuple(k for k in counts if runs.done < k <= cap)
            for k, value in runs.risks(below, check, account=account).items():
                risks[key + (k,)] = value
            ran[key] = cap
            best = next(iter(kept), None)
            if best is None or best == key or ran[best] < cap or least_risk(key) < least_risk(best):
                kept.clear()
                kept[key] = runs
        return least_risk(key)

    def best_count(p: dict[str, Any]) -> int:
        """The largest count up to `cap` whose risk at `p` is within `_TIE` of the least."""
        least = risk_of(p)
        key = tuple(p[k] for k in walked)
        return max(k for k in counts if k <= cap and risks[key + (k,)] <= least + _TIE)

    def raise_cap() -> None:
        nonlocal cap
        key = tuple(point[k] for k in walked)
        while cap < counts[-1]:
            least = risk_of(point)  # runs the point up to `cap`
            if risks[key + (cap,)] - least > _TIE:
                break
            if not usable(point, counts[counts.index(cap) + 1]):
                break
            cap = counts[counts.index(cap) + 1]

    for key in walked:
        if key in together:
            if key == together[0]:
                point.update(_product_search(grid, together, lambda c: risk_of({**point, **c})))
            continue
        values = grid[key]
        point[key] = _line_search(values, point[key], lambda v: risk_of({**point, key: v}))
    if not usable(point, cap):
        raise ValueError("tune: none of the settings the walk reached can be used")
    raise_cap()
    point["iterations"] = best_count(point)
    order = [*walked, "iterations"]
    stacked = "Z" * (core5.shape[2] > 1) + "T" * (core5.shape[0] > 1)
    searched = [k for k in _REACH if k in grid]
    candidates = tuple(
        (_public(dict(zip(order, key, strict=True)), stacked, searched), value)
        for key, value in risks.items()
    )
    chosen = risks[tuple(point[n] for n in order)]
    result = TuneResult(_public(point, stacked, searched), chosen, candidates, len(pieces))
    if progress is not None:
        progress(1.0)
    return _apply(settings, point), result
