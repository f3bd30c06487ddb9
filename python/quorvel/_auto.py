"""Settings of the denoiser chosen for each image from what can be measured on it.

When `quorvel.denoise` is called without a patch radius, search, iterations
or p-value, `choose` sets them from the image's `quorvel._measure.Measures`
(each channel at unit noise: how much of it is flat, how bright its
structure is, how alike its frames or planes are), by a rule made on the
scenes of ``bench/scenes.py`` against the best point of a grid (patch radius
2 to 4, p-value 0.001 to 0.1, 3 to 6 iterations, reach along T or Z up to
the whole axis; ``bench/defaults_grid.py``):

- dense structure (under 40 % of the 8 x 8 blocks flat): 7 x 7 patches,
  p-value 0.001, 3 iterations: larger windows only blur it;
- sparse or smooth structure: 5 iterations (the windows reach 16 pixels,
  the background is averaged over more of itself); small patches (radius 2)
  where the brightest structure stands well out of the noise, with p-value
  0.01 (0.001 where three quarters of the image or more is flat: the ground
  then holds most of the error), otherwise radius 3 (or 4 where it is
  dimmer still) and 0.001, and on a single plane a sixth iteration whose
  window is capped at 20 pixels to each side (41 x 41 rather than 65 x 65:
  most of the full window's gain at less than half of its cost; on bright
  sparse images and on stacks it gains nothing);
- time-lapses: at least 4 iterations and patches no larger than 7 x 7 (the
  other frames average the noise down).  Where at least half of the blocks
  with structure stay alike from one end of the sequence to the other
  (still structures), the search reaches every frame; otherwise 4 frames to
  each side, patches 3 frames deep (radius 1 along T), smaller in the plane
  (radius 2 on sparse images) and p-value 0.01; dim sparse objects that
  move on their own take p-value 0.001 and a fifth iteration whose window
  is capped at 7 pixels to each side and 3 frames (the ground holds most of
  the error there);
- z-stacks: 5 iterations and the growing window along Z; patches 3 planes
  deep with radius 2 in the plane unless the planes are sampled coarsely
  (neighbouring planes differ more than neighbouring pixels by over a
  quarter of the structure's variance: one plane deep); a reach of 2 planes
  from the start where structures extend further along Z than in the plane;
- channels denoised with one setting get the most iterations, the largest
  and deepest patches, the smallest p-value and the shortest reach of the
  settings each would take alone;
- time-lapses and z-stacks lose, after the denoising, the frequencies
  beyond half a cycle per pixel where every channel holds noise alone
  there (`quorvel._band`; ``band_limit`` in the settings, `Choice.cut`).

The choice keeps to a time budget (`quorvel._work`: `budget`): its `work`
at most `PLANE_BUDGET` (single planes), `BUDGET` (z-stacks) or
`SEQUENCE_BUDGET` (time-lapses) times that of today's settings (`TODAY`),
about twice the time of the exact kernel with them.
Over budget it is made cheaper by the fewest steps that suffice
(`_cheaper`: a sixth iteration first, then a fifth, a moving sequence's
reach frame by frame, on still sequences the fourth iteration's window in
the plane and then the fourth iteration, a long reach, the patch's depth, a
fourth iteration), and, for a chunked image, until the chunks hold its
halo.
Settings given by the caller are kept as given.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from typing import Any

from quorvel._core import CoreSettings, NoisePlan
from quorvel._measure import Measures, measure
from quorvel._params import widest_radius
from quorvel._work import TODAY, budget, work

#: The parameters that can be chosen (`free_parameters`).
PARAMETERS = ("radius_xy", "radius_z", "radius_t", "search", "iterations", "pvalue")


def free_parameters(
    patch_radius: Any,
    search: Any,
    iterations: Any,
    pvalue: Any,
    sizes: Mapping[str, int] | None = None,
) -> frozenset[str]:
    """The parameters of `PARAMETERS` the caller left to the choice (given as None).

    A patch radius given as a number is given whole (X and Y, and 0 along Z
    and T); given by axis, the axes it names are (X and Y go together).
    With the image's core `sizes` (by axis letter), a radius by axis that
    names every axis the image has leaves nothing to choose: a Z or T axis
    of one element needs no radius.
    """
    free = set()
    if patch_radius is None:
        free |= {"radius_xy", "radius_z", "radius_t"}
    elif isinstance(patch_radius, Mapping):
        named = {str(k).upper() for k in patch_radius}
        absent = {a for a in "ZT" if sizes is not None and sizes.get(a, 1) <= 1}
        free |= {f"radius_{a.lower()}" for a in "ZT" if a not in named | absent}
        if not named & {"X", "Y"}:
            free.add("radius_xy")
    for name, value in (("search", search), ("iterations", iterations), ("pvalue", pvalue)):
        if value is None:
            free.add(name)
    return frozenset(free)


# --------------------------------------------------------------------------
# Rule

#: Share of flat blocks (`Measures.flat`) from which an image counts as
#: sparse or smooth: more iterations (larger windows) pay there.
_SPARSE = 0.4
#: Bright structure (`Measures.bright`) above which sparse images take
#: small patches, and below which they take large ones.
_BRIGHT, _DIM = 3.0, 1.5
#: Share of flat blocks from which bright sparse images keep p-value 0.001.
_MOSTLY_FLAT = 0.75
#: Share of still blocks (`Measures.still`) from which the whole sequence is searched.
_STILL = 0.5
#: `Measures.apart` of z-stacks sampled coarsely along Z (patches one plane
#: deep), and of structures that extend along Z (a reach from the start).
_COARSE, _ELONGATED = 0.25, -0.02
#: The reach along Z of stacks whose structures extend along Z.
_Z_REACH = 2
#: The reach along T or Z of a sequence that moves.
_MOVING_REACH = 4
#: Dim sparse objects that move on their own: 5 iterations, the window
#: capped at this many frames along T and pixels along X and Y.
_DIM_MOVING_REACH, _DIM_MOVING_PLANE = 3, 7
#: Still sequences over budget with four iterations: the fourth's window
#: capped at this many pixels to each side along X and Y (all frames),
#: where that takes at most `_STILL_CAPPED` times the work of `TODAY`.
_STILL_PLANE, _STILL_CAPPED = 4, 6.5
#: Still sequences with patches smaller than 7 x 7 hold to the budget over
#: this (`_within`).
_SMALL_STILL_PATCH = 1.25
#: Still sequences searched over many frames in three iterations take
#: patches of this radius in the plane (`_cheaper`).
_STILL_THREE_RADIUS = 3
#: The last search window of dim sparse single planes: 6 iterations, the
#: window along X and Y capped at this many pixels to each side.
_PLANE_ITERATIONS, _PLANE_REACH = 6, 20


@dataclass(frozen=True)
class _Point:
    """A point of the rule: patch radius in the plane and along the stack, reaches, counts."""

    radius: int
    pvalue: float
    iterations: int
    deep: int = 0
    reach: int | None = None  # along the stack; None: the growing window
    plane_reach: int | None = None  # along X and Y; None: the growing window


def _preferred(m: Measures, depth: int) -> _Point:
    """The rule's setting for one channel of `m` in a stack of `depth` frames or planes."""
    if m.flat < _SPARSE:  # dense structure: few, short iterations keep it
        point = _Point(3, 0.001, 3)
    elif m.bright >= _BRIGHT:  # bright objects on a dark or smooth ground
        point = _Point(2, 0.001 if m.flat >= _MOSTLY_FLAT else 0.01, 5)
    else:
        point = _Point(3 if m.bright >= _DIM else 4, 0.001, 5)
        if m.still is None or depth < 2:  # a single plane: a sixth iteration, window capped
            return replace(point, iterations=_PLANE_ITERATIONS, plane_reach=_PLANE_REACH)
    if m.still is None or depth < 2:
        return point
    if m.apart is not None:  # a z-stack: the growing window
        if m.apart > _COARSE:  # planes unrelated: patches one plane deep
            return replace(point, radius=min(point.radius, 3), iterations=5)
        reach = min(_Z_REACH, depth - 1) if m.apart < _ELONGATED else None
        return replace(point, radius=2, deep=1, iterations=5, reach=reach)
    # Other frames average the noise down: patches no larger than 7 x 7, and
    # four iterations at least.
    iterations = max(point.iterations, 4)
    if m.still >= _STILL:
        return replace(point, radius=min(point.radius, 3), iterations=iterations, reach=depth - 1)
    # Moving: patches three frames deep, smaller in the plane, a middle p-value.
    moving = replace(
        point,
        radius=min(point.radius, 3 if m.flat < _SPARSE else 2),
        deep=1,
        pvalue=0.01,
        iterations=iterations,
        reach=min(_MOVING_REACH, depth - 1),
    )
    if m.flat < _SPARSE or m.bright >= _BRIGHT:
        return moving
    # Dim objects moving on their own: the ground holds the error, and a fifth
    # iteration over a window capped in the plane averages more of it.
    return replace(
        moving,
        pvalue=0.001,
        iterations=5,
        reach=min(_DIM_MOVING_REACH, depth - 1),
        plane_reach=_DIM_MOVING_PLANE,
    )


def _cheaper(point: _Point) -> list[_Point]:
    """The settings one step cheaper than `point`, the most wanted first.

    A sixth iteration (with its capped window) goes first, then a fifth (a
    capped fifth with its cap), a moving sequence's reach frame by frame
    down to 2, on still sequences the fourth iteration's window (capped at
    `_STILL_PLANE` pixels in the plane) and then the fourth iteration, a
    reach beyond that of moving sequences (halved), the patch's depth, a
    fourth iteration and the rest of the reach (halved).  On 40 frames of
    bright spots moving on their own a reach of 3 frames instead of 4 lost
    0.21 dB, of 2 0.69, patches one frame deep 1.23 dB; on 20 still frames
    4 iterations over half of them 0.49 to 0.82 dB against 3 over all, and
    on 20 to 28 still frames the capped fourth iteration (5 pixels) gained
    0.24 to 0.66 dB over 3 iterations (stars, nuclei, fibres).

    A still sequence left with three iterations over many frames takes 7 x 7
    patches (`_STILL_THREE_RADIUS`) where its rule gave 5 x 5: on 28 to 40
    still frames of bright spots and fibres (Gaussian and photon noise) they
    gained 0.00 to 0.63 dB in 0.73 to 1.00 times the time (`work` prices
    both alike; the kernel takes 1.15 to 1.35 times longer on 5 x 5).
    """
    return [_still_three(p) for p in _steps(point)]


def _still_search(point: _Point) -> bool:
    """Whether `point` searches a still sequence: patches one frame deep, a reach beyond moving."""
    return point.reach is not None and point.reach > _MOVING_REACH and not point.deep


def _still_three(point: _Point) -> _Point:
    """`point`, with `_STILL_THREE_RADIUS` if it is a still sequence's three iterations."""
    if _still_search(point) and point.iterations == 3 and point.plane_reach is None:
        return replace(point, radius=max(point.radius, _STILL_THREE_RADIUS))
    return point


def _steps(point: _Point) -> list[_Point]:
    """`_cheaper` before a still sequence's three iterations take their radius."""
    out = []
    if point.plane_reach is not None:
        return [replace(point, iterations=point.iterations - 1, plane_reach=None)]
    long = point.reach if point.reach is not None and point.reach > _MOVING_REACH else None
    if long and point.iterations == 4:  # a still sequence's fourth iteration, capped first
        out.append(replace(point, plane_reach=_STILL_PLANE))
    if point.reach is not None and point.deep and _Z_REACH < point.reach <= _MOVING_REACH:
        if point.iterations > 4:  # a fifth iteration, then frames of reach, before the depth
            return [replace(point, iterations=point.iterations - 1)]
        return [replace(point, reach=point.reach - 1)]
    if point.iterations > 4 or (long and point.iterations > 3):
        out.append(replace(point, iterations=point.iterations - 1))
    if long:
        out.append(replace(point, reach=max(long // 2, _MOVING_REACH)))
    if point.deep:
        out.append(replace(point, deep=0))
    if point.iterations > 3:
        out.append(replace(point, iterations=point.iterations - 1))
    if point.reach is not None and 1 < point.reach <= _MOVING_REACH:
        out.append(replace(point, reach=point.reach // 2))
    return out


def _within(point: _Point, settings: CoreSettings, shape: tuple[int, ...], most: float) -> bool:
    """Whether `settings` (of `point`) on `shape` take at most `most` work.

    A still sequence's capped fourth iteration takes at most
    `_STILL_CAPPED` times the work of `TODAY`: on small frames the rest of
    a run weighs more (Gaussian nuclei on 31 still frames of 128 x 128 at
    6.9 units: 1.85 and 1.91 times the exact kernel's time with `TODAY`; on
    29 frames at 6.45 units 1.56 and 1.59).  With patches smaller than 7 x
    7 a still sequence holds to `most` over `_SMALL_STILL_PATCH`: `work`
    prices 5 x 5 patches as 7 x 7, where the kernel takes 1.15 to 1.35
    times longer on them (Gaussian fibres on 17 still frames of 512 x 512,
    4 iterations over every frame at 7.2 units: 1.92 and 2.22 times; capped
    on 33 frames at 7.2 units: 2.02 and 2.06, on 27 at 5.9: 1.52 and 1.70).
    """
    still = _still_search(point)
    if still and min(settings.patch_radius[:2]) < _STILL_THREE_RADIUS:
        most /= _SMALL_STILL_PATCH
    if still and point.plane_reach == _STILL_PLANE:
        most = min(most, _STILL_CAPPED * work(TODAY, shape))
    return work(settings, shape) <= most


def _fitting(point: _Point, fits: Callable[[_Point], bool]) -> _Point | None:
    """The setting nearest `point` (fewest `_cheaper` steps, then their order) that `fits`."""
    level, seen = [point], {point}
    while level:
        for p in level:
            if fits(p):
                return p
        following = [q for p in level for q in _cheaper(p)]
        level = [q for q in dict.fromkeys(following) if q not in seen]
        seen.update(level)
    return None


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
        ``channels``, ``band_limit`` and, on time-lapses, ``align``.
    chosen : tuple of str
        The parameters chosen for the image (`PARAMETERS`); the others were
        given.
    measures : dict
        What was measured on the image, per channel.
    shifts : tuple of (float, float)
        Where the frames were aligned (`quorvel._drift`): each frame's shift
        (y, x) in pixels, to a hundredth; empty otherwise.
    cut : tuple of int
        The channels whose result loses the frequencies beyond half a cycle
        per pixel (`quorvel._band`; ``settings["band_limit"]``): every
        channel denoised where each holds noise alone there, else none.
    """

    settings: dict[str, Any]
    chosen: tuple[str, ...] = ()
    measures: dict[str, Any] = field(default_factory=dict)
    by_tuning: bool = False
    shifts: tuple[tuple[float, float], ...] = ()
    cut: tuple[int, ...] = ()

    def tuned(self, settings: CoreSettings, shape: tuple[int, ...]) -> Choice:
        """Give this choice with the settings the tuner then chose (the spectrum's cut kept)."""
        kept = {k: self.settings[k] for k in ("band_limit",) if k in self.settings}
        return replace(self, settings={**public(settings, shape), **kept}, by_tuning=True)

    def aligned(self, shifts: tuple[tuple[float, float], ...], shape: tuple[int, ...]) -> Choice:
        """Give this choice with the frames' alignment (`quorvel._drift`), on time-lapses."""
        if shape[0] < 2:
            return self
        return replace(self, settings={**self.settings, "align": bool(shifts)}, shifts=shifts)

    def as_dict(self) -> dict[str, Any]:
        """Plain data for logs and provenance."""
        out: dict[str, Any] = {
            "settings": self.settings,
            "chosen": list(self.chosen),
            "measures": self.measures,
        }
        if self.shifts:
            out["shifts"] = [list(s) for s in self.shifts]
        out["band_limited"] = list(self.cut)
        return out

    def band_limited(
        self, cut: tuple[int, ...], corners: Mapping[int, float | None] | None = None
    ) -> Choice:
        """Give this choice with the channels whose spectrum's corners are cut.

        `corners`: their measure per channel (`quorvel._band.measure_corners`),
        added to `measures`.
        """
        measures = {k: dict(v) for k, v in self.measures.items()}
        for c, value in (corners or {}).items():
            measures.setdefault(f"channel {c}", {})["corners"] = (
                None if value is None else round(value, 4)
            )
        settings = {**self.settings, "band_limit": bool(cut)}
        return replace(self, settings=settings, measures=measures, cut=cut)

    @property
    def summary(self) -> str:
        """The settings in words."""
        return describe(self.settings)

    def __str__(self) -> str:
        return self.summary + (" (chosen for this image)" if self.chosen else "")


def describe(settings: Mapping[str, Any]) -> str:
    """Settings (keyword arguments of `quorvel.denoise`) in words."""
    r = settings["patch_radius"]
    plane = f"{r['X']}" if r.get("Y", r["X"]) == r["X"] else f"X {r['X']}, Y {r['Y']}"
    radius = plane + "".join(f", {axis} {r[axis]}" for axis in "ZT" if r.get(axis))
    search = dict(settings.get("search") or {})
    if "X" in search and search.get("Y") == search["X"]:  # one window in the plane
        search = {"X and Y": search.pop("X"), **{a: n for a, n in search.items() if a != "Y"}}
    reach = "".join(
        f", {axis} window growing" if n is None else f", reach {axis} {n}"
        for axis, n in search.items()
    )
    return (
        f"patch radius {radius}, {settings['iterations']} iterations, "
        f"p-value {settings['pvalue']:g}{reach}, channels {settings['channels']}"
        + (", frames aligned" if settings.get("align") else "")
        + (", spectrum beyond half a cycle per pixel cut" if settings.get("band_limit") else "")
    )


def public(settings: CoreSettings, shape: tuple[int, ...]) -> dict[str, Any]:
    """`settings` as keyword arguments of `quorvel.denoise`, for an image of core `shape`."""
    nt, _, nz, ny, nx = shape
    rx, ry, rz, _, rt = settings.patch_radius
    # Along an axis of one pixel the radius is 0 whatever is asked: stated as the other's.
    radius = {"X": rx if nx > 1 else ry, "Y": ry if ny > 1 else rx}
    search: dict[str, int | None] = {}
    for axis, index in (("X", 0), ("Y", 1)):
        if settings.reach and settings.reach[index] >= 0:
            search[axis] = settings.reach[index]
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


def _apply(
    settings: CoreSettings, point: _Point, free: frozenset[str], shape: tuple[int, ...]
) -> CoreSettings:
    """`settings` with the `free` parameters taken from `point`, fitted to `shape`."""
    nt, _, nz, ny, nx = shape
    axis = 4 if nt > 1 else 2 if nz > 1 else None
    radius = list(settings.patch_radius)
    if "radius_xy" in free:
        # A patch needs 2 r + 1 pixels along each side the image extends along.
        widest = widest_radius(ny, nx)
        r = 0 if widest is None else max(0, min(point.radius, widest))
        radius[0], radius[1] = (r if nx > 1 else 0), (r if ny > 1 else 0)
    search, reach = list(settings.search), list(settings.reach or (-1,) * 5)
    for name, index, n in (("radius_z", 2, nz), ("radius_t", 4, nt)):
        if name in free:
            radius[index] = min(point.deep, (n - 1) // 2) if index == axis else 0
    if "search" in free:
        search = [1, 1, 1, 0, 1]
        reach[0] = reach[1] = -1 if point.plane_reach is None else point.plane_reach
        reach[2] = reach[4] = -1
        if axis is not None and point.reach is not None:
            reach[axis] = point.reach
    return replace(
        settings,
        patch_radius=(radius[0], radius[1], radius[2], radius[3], radius[4]),
        search=(search[0], search[1], search[2], search[3], search[4]),
        reach=tuple(reach) if max(reach) >= 0 else (),
        iterations=point.iterations if "iterations" in free else settings.iterations,
        pvalue=point.pvalue if "pvalue" in free else settings.pvalue,
    )


def _combined(points: list[_Point]) -> _Point:
    """One setting for channels denoised with one setting each would take `points`.

    The most iterations, the largest patches and the deepest ones, the
    smallest p-value and the shortest reach (a moving channel limits it);
    the capped window in the plane of the channels that take the most
    iterations.
    """
    reaches = [p.reach for p in points if p.reach is not None]
    iterations = max(p.iterations for p in points)
    plane = [p.plane_reach for p in points if p.iterations == iterations]
    caps = [r for r in plane if r is not None]
    return _Point(
        radius=max(p.radius for p in points),
        pvalue=min(p.pvalue for p in points),
        iterations=iterations,
        deep=max(p.deep for p in points),
        reach=min(reaches) if reaches else None,
        plane_reach=max(caps) if len(caps) == len(plane) else None,
    )


def choose(
    core5: Any,
    plan: NoisePlan,
    settings: CoreSettings,
    free: frozenset[str],
    allowed: Callable[[CoreSettings], bool] | None = None,
) -> tuple[CoreSettings, Choice]:
    """The settings for a core-layout image: `settings` with its `free` parameters chosen.

    Parameters
    ----------
    core5 : array_like
        The image in core layout ``(T, C, Z, Y, X)`` (NumPy or dask); only
        `quorvel._measure.sample_region` of it is read.
    plan : NoisePlan
        Its noise, per channel.
    settings : CoreSettings
        The checked settings; the parameters in `free` are replaced.
    free : frozenset of str
        The parameters to choose (`free_parameters`).
    allowed : callable, optional
        Whether settings can be used (chunked images: whether their halo
        fits the chunks); the choice is made cheaper until they can, and
        falls back on `settings` where none can.

    Returns
    -------
    CoreSettings
        The settings to run.
    Choice
        Them as keyword arguments of `quorvel.denoise`, which were chosen,
        and the measures.
    """
    shape = tuple(int(n) for n in core5.shape)
    if not free or not plan.varying_channels:
        return settings, Choice(public(settings, shape))
    measures = measure(core5, plan)
    depth = shape[0] if shape[0] > 1 else shape[2]
    point = _combined([_preferred(m, depth) for m in measures.values()])
    # Priced on the channels denoised: a constant channel costs nothing.
    denoised = (shape[0], len(measures), *shape[2:])
    most = budget(denoised)

    def fits(p: _Point) -> bool:
        trial = _apply(settings, p, free, shape)
        return _within(p, trial, denoised, most) and (allowed is None or allowed(trial))

    found = _fitting(point, fits)
    record = {f"channel {c}": m.as_dict() for c, m in measures.items()}
    if found is None:  # nothing the rule offers fits: the settings as checked, none chosen
        return settings, Choice(public(settings, shape), (), record)
    chosen = _apply(settings, found, free, shape)
    made = tuple(p for p in PARAMETERS if p in free)
    return chosen, Choice(public(chosen, shape), made, record)
