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

divided by the channel's mean noise variance on the scored elements.  The
Stein identity holds for the Gaussian part of the noise; for the Poisson
part it holds to first order, which is close where the denoiser averages
many elements.

Cost
----
A candidate costs two runs (plain and probed) on a few crops that together
hold about 1/16 of the image, and at least 2**14 elements: on smaller images
the estimate would be too noisy to tell settings apart that differ by a few
percent of the error.  Each crop carries a margin around the part that is
scored, so that the risk is not dominated by the crop's own borders (a
margin is dropped where the crop meets the image's border).

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
the least is taken.  The tie is absolute: on the Poisson-Gaussian path the
risk is near zero or below it, where a share of itself means nothing.

The probe step is 0.15 of the noise level: the tests that accept or reject
patches make the denoiser jump where a distance crosses a threshold, and a
much smaller step catches few of those jumps.  The measurements behind these
choices are in the documentation's tuning notes (docs/tuning.md).

Modules: `quorvel._tune.grid` (the grid and its points as settings),
`quorvel._tune.crops` (the crops and their probes), `quorvel._tune.risk`
(the engine runs and their risk); this one walks the grid.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy.typing as npt

from quorvel._core import CoreSettings, NoisePlan
from quorvel._threads import resolve_threads
from quorvel._tune.crops import _SEED, _Piece, _piece, _pieces, _stabilise
from quorvel._tune.grid import (
    _DEEP,
    _REACH,
    DEFAULT_GRID,
    _apply,
    _check_grid,
    _public,
    _reaches,
    _start,
)
from quorvel._tune.risk import _Account, _most_work, _risks, _Runs, _work

__all__ = [
    "DEFAULT_GRID",
    "_SEED",
    "TuneResult",
    "_apply",
    "_check_grid",
    "_piece",
    "_pieces",
    "_public",
    "_reaches",
    "_risks",
    "_stabilise",
    "_tune_core",
    "_work",
]

# Rise of the risk, in units of the noise variance, from one iteration count
# to the next that still counts as a tie: the next count is then run too, and
# taken if no count has a risk lower by more than this.
_TIE = 0.0015


@dataclass(frozen=True)
class TuneResult:
    """The parameters chosen for one image and the risks that chose them.

    Attributes
    ----------
    settings : dict
        The chosen parameters as keyword arguments of `quorvel.denoise`:
        ``patch_radius`` (a mapping by axis letter), ``iterations``,
        ``pvalue``, ``band_limit`` (not tuned: as chosen for the image)
        and, where the reach was tuned, ``search`` (by axis
        letter, e.g. ``{"T": 2}``, None for the growing window; along X
        and Y where the settings started from cap the window there; without
        it the caller's search).
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

    def band_limited(self, cut: bool) -> TuneResult:
        """Give this result with ``band_limit`` in its settings (`quorvel._band`)."""
        return replace(self, settings={**self.settings, "band_limit": cut})

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


class _Walk:
    """One tuning's state: the risks scored so far and the runs worth continuing.

    Iteration counts up to `cap` come from one run of `cap`.  The last
    iteration costs about as much as all before it together, so the other
    parameters are walked with the fewest iterations of the grid, and larger
    counts are run only at the point they chose (its runs continued), while
    the risk still falls (or rises by no more than `_TIE`).
    """

    def __init__(
        self,
        pieces: list[_Piece],
        settings: CoreSettings,
        counts: tuple[int, ...],
        walked: Sequence[str],
        threads: int,
        check: Callable[[], None] | None,
        allowed: Callable[[CoreSettings], bool] | None,
        account: _Account,
        flat: tuple[bool, bool] = (False, False),
    ) -> None:
        self.pieces, self.settings, self.threads, self.flat = pieces, settings, threads, flat
        self.check, self.allowed, self.account = check, allowed, account
        self.counts, self.walked = counts, tuple(walked)
        self.cap = counts[0]
        self.risks: dict[tuple[Any, ...], float] = {}
        self.ran: dict[tuple[Any, ...], int] = {}
        # The runs of the point of least risk so far, the only one continued
        # later (the walk ends there); the others are dropped to save memory.
        self.kept: dict[tuple[Any, ...], _Runs] = {}

    def key(self, p: Mapping[str, Any]) -> tuple[Any, ...]:
        """The values of the walked dimensions at `p`."""
        return tuple(p[k] for k in self.walked)

    def least_risk(self, key: tuple[Any, ...]) -> float:
        """The least risk at `key` over the counts up to `cap`."""
        return min(self.risks[(*key, k)] for k in self.counts if k <= self.cap)

    def usable(self, p: Mapping[str, Any], iterations: int) -> bool:
        """Whether the settings of `p` with `iterations` may be used."""
        if self.allowed is None:
            return True
        return self.allowed(_apply(self.settings, {**p, "iterations": iterations}, self.flat))

    def risk_of(self, p: Mapping[str, Any]) -> float:
        """The least risk over the iteration counts up to `cap`, at `p` (inf: not allowed)."""
        if not self.usable(p, self.cap):
            return math.inf
        key = self.key(p)
        if self.ran.get(key, 0) < self.cap:
            runs = self.kept.get(key) or _Runs(
                self.pieces, _apply(self.settings, dict(p), self.flat), self.threads
            )
            below = tuple(k for k in self.counts if runs.done < k <= self.cap)
            for k, value in runs.risks(below, self.check, account=self.account).items():
                self.risks[(*key, k)] = value
            self.ran[key] = self.cap
            self._keep(key, runs)
        return self.least_risk(key)

    def _keep(self, key: tuple[Any, ...], runs: _Runs) -> None:
        """Keep the runs of `key` when it is the point of least risk so far."""
        best = next(iter(self.kept), None)
        if (
            best is None
            or best == key
            or self.ran[best] < self.cap
            or self.least_risk(key) < self.least_risk(best)
        ):
            self.kept.clear()
            self.kept[key] = runs

    def raise_cap(self, point: Mapping[str, Any]) -> None:
        """Run `point` one count further while the risk falls or ties."""
        key = self.key(point)
        while self.cap < self.counts[-1]:
            least = self.risk_of(point)  # runs the point up to `cap`
            if self.risks[(*key, self.cap)] - least > _TIE:
                break
            following = self.counts[self.counts.index(self.cap) + 1]
            if not self.usable(point, following):
                break
            self.cap = following

    def best_count(self, p: Mapping[str, Any]) -> int:
        """The largest count up to `cap` whose risk at `p` is within `_TIE` of the least."""
        least = self.risk_of(p)
        key = self.key(p)
        return max(
            k for k in self.counts if k <= self.cap and self.risks[(*key, k)] <= least + _TIE
        )


def _walk_order(grid: Mapping[str, Sequence[Any]]) -> tuple[list[str], list[str]]:
    """The dimensions in the order they are walked, and those searched together.

    The reaches first: on time-lapses they move the error most; then the
    patch radii along Z and T, so that the radius in the plane is chosen for
    the patches it will be used with.  Where a patch can be deeper than one
    plane, the radii are searched together, every combination: radius 2 in
    the plane wins only with the deeper patch, and at radius 3 the estimate
    often cannot tell the two depths apart.
    """
    walked = sorted(
        (k for k in grid if k != "iterations"),
        key=lambda k: (k not in _REACH, k not in _DEEP),
    )
    radii = [k for k in walked if k == "patch_radius" or k in _DEEP]
    together = radii if any(len(grid[k]) > 1 for k in radii if k in _DEEP) else []
    return walked, together


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
    walked, together = _walk_order(grid)
    account = _Account(_most_work(grid, walked, together), progress)
    account.add(0.0)
    threads = resolve_threads(threads)
    # Along X or Y of one pixel the patch has no extent.
    flat = (core5.shape[4] == 1, core5.shape[3] == 1)
    walk = _Walk(
        pieces, settings, grid["iterations"], walked, threads, check, allowed, account, flat
    )
    for key in walked:
        if key in together:
            if key == together[0]:
                best = _product_search(grid, together, lambda c: walk.risk_of({**point, **c}))
                point.update(best)
            continue
        point[key] = _line_search(
            grid[key], point[key], lambda v, key=key: walk.risk_of({**point, key: v})
        )
    if not walk.usable(point, walk.cap):
        raise ValueError("tune: none of the settings the walk reached can be used")
    walk.raise_cap(point)
    point["iterations"] = walk.best_count(point)
    order = [*walked, "iterations"]
    stacked = "Z" * (core5.shape[2] > 1) + "T" * (core5.shape[0] > 1)
    searched = [k for k in _REACH if k in grid]
    # The start's window capped in the plane holds for every point.
    plane = {"X": settings.reach[0], "Y": settings.reach[1]} if settings.reach else {}
    plane = {axis: r for axis, r in plane.items() if r >= 0}

    def public(p: dict[str, Any]) -> dict[str, Any]:
        out = _public(p, stacked, searched)
        if plane:
            out["search"] = {**plane, **out.get("search", {})}
        return out

    candidates = tuple(
        (public(dict(zip(order, key, strict=True))), value) for key, value in walk.risks.items()
    )
    chosen = walk.risks[tuple(point[n] for n in order)]
    result = TuneResult(public(point), chosen, candidates, len(pieces))
    if progress is not None:
        progress(1.0)
    return _apply(settings, point, flat), result
