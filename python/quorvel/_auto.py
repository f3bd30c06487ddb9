"""Settings of the denoiser chosen for each image from what can be measured on it.

PLACEHOLDER: the rule is being fitted.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._core import CoreSettings, NoisePlan

#: The settings the package used before it chose them per image, the
#: reference of the time budget: 7 x 7 patches, 4 iterations, p-value
#: 0.01, the growing search window along Z and T.
TODAY = CoreSettings((3, 3, 0, 0, 0), (1, 1, 1, 0, 1), 4, 0.01, 0.0)

#: Work of the chosen settings, at most this many times that of `TODAY`
#: (`work`): the fast kernel is about 3.5 times faster than the exact one,
#: and the choice should cost at most twice the exact kernel's time with
#: today's settings.
BUDGET = 6.0

#: The parameters that can be chosen (`free_parameters`).
PARAMETERS = ("radius_xy", "radius_z", "radius_t", "search", "iterations", "pvalue")


def free_parameters(
    patch_radius: Any, search: Any, iterations: Any, pvalue: Any
) -> frozenset[str]:
    """The parameters of `PARAMETERS` the caller left to the choice (given as None).

    A patch radius given as a number is given whole (X and Y, and 0 along Z
    and T); given by axis, the axes it names are (X and Y go together).
    """
    free = set()
    if patch_radius is None:
        free |= {"radius_xy", "radius_z", "radius_t"}
    elif isinstance(patch_radius, Mapping):
        named = {str(k).upper() for k in patch_radius}
        free |= {f"radius_{a.lower()}" for a in "ZT" if a not in named}
        if not named & {"X", "Y"}:
            free.add("radius_xy")
    for name, value in (("search", search), ("iterations", iterations), ("pvalue", pvalue)):
        if value is None:
            free.add(name)
    return frozenset(free)


# --------------------------------------------------------------------------
# Work


def _windows(axis: str, extent: int, searched: bool, iterations: int, reach: int) -> list[int]:
    """The engine's search half-size along one axis in each iteration."""
    if extent <= 1 or not searched:
        return [0] * iterations
    if axis in "XY":
        grow = [min(2**k, extent) for k in range(iterations)]
        return grow if reach < 0 else [min(w, reach) for w in grow]
    if reach >= 0:
        return [reach] * iterations
    return list(range(iterations)) if axis == "Z" else [max(0, k - 2) for k in range(iterations)]


def _mean_span(extent: int, half: int) -> float:
    """Mean count of positions within `half` of a position, over an axis of `extent`."""
    if half >= extent - 1:
        return float(extent)
    # Positions near the ends see fewer: sum over p of min(p, h) + min(n-1-p, h) + 1.
    h, n = half, extent
    edge = h * (h + 1)  # the two ends together lose sum_{p<h} (h - p) each
    return (n * (2 * h + 1) - edge) / n


def work(settings: CoreSettings, shape: tuple[int, ...]) -> float:
    """Patch elements compared by a run of `settings` on a core-layout `shape`, per element.

    References sit every ``radius + 1`` elements along X, Y and Z (every
    ``radius`` along T); each compares its patch with every candidate of its
    search window, clipped to the image.
    """
    nt, _, nz, ny, nx = shape
    extents = {"X": nx, "Y": ny, "Z": nz, "T": nt}
    index = {"X": 0, "Y": 1, "Z": 2, "T": 4}
    reach = settings.reach or (-1,) * 5
    total = 0.0
    per_reference = 1.0
    for axis, n in extents.items():
        r = settings.patch_radius[index[axis]] if n > 1 else 0
        per_reference *= 2 * r + 1
        step = (r if axis == "T" else r + 1) if r > 0 else 1
        per_reference /= step
    windows = {
        axis: _windows(axis, n, bool(settings.search[index[axis]]), settings.iterations,
                       reach[index[axis]])
        for axis, n in extents.items()
    }
    for k in range(settings.iterations):
        total += math.prod(_mean_span(n, windows[a][k]) for a, n in extents.items())
    return per_reference * total


# --------------------------------------------------------------------------
# Measures

#: Largest extent of the measured region: frames or planes, and Y and X.
_SAMPLE_DEPTH, _SAMPLE_SIDE = 16, 384
#: Side of the blocks in which structure is told from noise.
_BLOCK = 8


def sample_region(shape: tuple[int, ...]) -> tuple[slice, ...]:
    """The part of a core-layout image the measures are taken on: its middle.

    Up to `_SAMPLE_DEPTH` frames and planes and `_SAMPLE_SIDE` rows and
    columns, all channels; it depends on the shape only, so that the same
    image in memory or in chunks (dask) gives the same measures.
    """

    def middle(n: int, most: int) -> slice:
        m = min(n, most)
        return slice((n - m) // 2, (n - m) // 2 + m)

    nt, _, nz, ny, nx = shape
    return (
        middle(nt, _SAMPLE_DEPTH), slice(None), middle(nz, _SAMPLE_DEPTH),
        middle(ny, _SAMPLE_SIDE), middle(nx, _SAMPLE_SIDE),
    )


@dataclass(frozen=True)
class Measures:
    """What the rule reads off one channel, in units of its noise.

    Attributes
    ----------
    noise : float
        Noise variance of the stabilised channel, measured (1 where the
        stabilisation is exact; above 1 at a few photons).
    flat : float
        Share of the 8 x 8 blocks of each plane whose variance is within a
        quarter of the noise variance of the noise alone: background and
        smooth regions.
    signal : float
        Variance of the structure over the noise variance (the variance of
        the channel less its noise).
    alike : tuple of float
        Along the stacked axis (T, else Z): the mean squared difference of
        elements ``d`` frames or planes apart, less the noise's, over twice
        the noise variance, for ``d = 1, 2, ...`` (0: alike up to the noise).
    """

    noise: float
    flat: float
    signal: float
    alike: tuple[float, ...] = ()

    def as_dict(self) -> dict[str, Any]:
        return {
            "noise": round(self.noise, 4), "flat": round(self.flat, 4),
            "signal": round(self.signal, 4), "alike": [round(a, 4) for a in self.alike],
        }


def _noise_variance(y: npt.NDArray[np.float32]) -> float:
    """Noise variance of `y` (..., Y, X) from the median of its pseudo-residuals' squares.

    The residual of each pixel against its four neighbours has the noise
    variance where the structure is smooth; the median of the squares
    (over 0.4549, the median of a chi-square of 1 degree) ignores edges.
    """
    c = y[..., 1:-1, 1:-1]
    e = (4 * c - y[..., :-2, 1:-1] - y[..., 2:, 1:-1] - y[..., 1:-1, :-2] - y[..., 1:-1, 2:])
    if e.size == 0:
        return 1.0
    return float(np.median(np.square(e, dtype=np.float64)) / 0.45494 / 20.0)


def _blocks(y: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Variance of every 8 x 8 block of every plane of `y` (..., Y, X)."""
    ny, nx = (y.shape[-2] // _BLOCK) * _BLOCK, (y.shape[-1] // _BLOCK) * _BLOCK
    if ny == 0 or nx == 0:
        return np.asarray([float(np.var(y))])
    b = y[..., :ny, :nx].reshape(*y.shape[:-2], ny // _BLOCK, _BLOCK, nx // _BLOCK, _BLOCK)
    return np.asarray(b.var(axis=(-3, -1), dtype=np.float64)).ravel()


def measure_channel(y: npt.NDArray[np.float32], axis: int | None) -> Measures:
    """The `Measures` of one stabilised channel `y` (T, Z, Y, X); `axis` 0 (T), 1 (Z) or None."""
    noise = max(_noise_variance(y), 1e-6)
    blocks = _blocks(y) / noise - 1.0
    flat = float(np.mean(blocks < 0.25))
    signal = max(float(np.var(y, dtype=np.float64)) / noise - 1.0, 0.0)
    alike: list[float] = []
    if axis is not None:
        n = y.shape[axis]
        for d in range(1, n):
            a = np.take(y, range(d, n), axis=axis) - np.take(y, range(0, n - d), axis=axis)
            alike.append(float(np.mean(np.square(a, dtype=np.float64))) / (2 * noise) - 1.0)
    return Measures(noise, flat, signal, tuple(alike))


def measure(core5: Any, plan: NoisePlan) -> list[Measures]:
    """The `Measures` of every channel of a core-layout image, on `sample_region`."""
    from quorvel._tune import _read, _stabilise

    sample = _read(core5[sample_region(tuple(core5.shape))])
    nt, _, nz, _, _ = sample.shape
    axis = 0 if nt > 1 else 1 if nz > 1 else None
    return [
        measure_channel(group.stabilised[:, 0], axis)
        for group in _stabilise(sample, plan, joint=False)
    ]


# --------------------------------------------------------------------------
# Choice


@dataclass(frozen=True)
class Choice:
    """The settings of a run and where each came from.

    Attributes
    ----------
    settings : dict
        The settings as keyword arguments of `quorvel.denoise`:
        ``patch_radius`` (by axis letter), ``search`` (by axis letter: a
        reach, or None for the growing window), ``iterations``, ``pvalue``,
        ``channels``.
    chosen : tuple of str
        The parameters chosen for the image (`PARAMETERS`); the others were
        given.
    measures : dict
        What was measured on the image, per channel.
    """

    settings: dict[str, Any]
    chosen: tuple[str, ...] = ()
    measures: dict[str, Any] = field(default_factory=dict)
    by_tuning: bool = False

    def tuned(self, settings: CoreSettings, shape: tuple[int, ...]) -> Choice:
        """This choice with the settings the tuner then chose."""
        return replace(self, settings=public(settings, shape), by_tuning=True)

    def as_dict(self) -> dict[str, Any]:
        """Plain data for logs and provenance."""
        return {"settings": self.settings, "chosen": list(self.chosen), "measures": self.measures}

    @property
    def summary(self) -> str:
        """The settings in words."""
        return describe(self.settings)

    def __str__(self) -> str:
        return self.summary + (" (chosen for this image)" if self.chosen else "")


def describe(settings: Mapping[str, Any]) -> str:
    """Settings (keyword arguments of `quorvel.denoise`) in words."""
    r = settings["patch_radius"]
    radius = f"{r['X']}" + "".join(f", {axis} {r[axis]}" for axis in "ZT" if r.get(axis))
    search = settings.get("search") or {}
    reach = "".join(
        f", {axis} window growing" if n is None else f", reach {axis} {n}"
        for axis, n in search.items()
    )
    return (
        f"patch radius {radius}, {settings['iterations']} iterations, "
        f"p-value {settings['pvalue']:g}{reach}, channels {settings['channels']}"
    )


def public(settings: CoreSettings, shape: tuple[int, ...]) -> dict[str, Any]:
    """`settings` as keyword arguments of `quorvel.denoise`, for an image of core `shape`."""
    nt, _, nz, _, _ = shape
    rx, _, rz, _, rt = settings.patch_radius
    radius = {"X": rx, "Y": rx}
    search: dict[str, int | None] = {}
    for axis, n, r, index in (("Z", nz, rz, 2), ("T", nt, rt, 4)):
        if n > 1:
            radius[axis] = r
            if settings.search[index]:
                reach = settings.reach[index] if settings.reach else -1
                search[axis] = None if reach < 0 else reach
    return {
        "patch_radius": radius,
        "search": search,
        "iterations": settings.iterations,
        "pvalue": settings.pvalue,
        "channels": "joint" if settings.joint else "independent",
    }


def choose(
    core5: Any,
    plan: NoisePlan,
    settings: CoreSettings,
    free: frozenset[str],
    allowed: Callable[[CoreSettings], bool] | None = None,
) -> tuple[CoreSettings, Choice]:
    """The settings for a core-layout image: `settings` with its `free` parameters chosen."""
    shape = tuple(core5.shape)
    if not free:
        return settings, Choice(public(settings, shape))
    chosen = settings
    return chosen, Choice(public(chosen, shape), tuple(p for p in PARAMETERS if p in free))


__all__ = ["BUDGET", "PARAMETERS", "TODAY", "Choice", "choose", "free_parameters", "work"]
_ = (replace, np, npt)
