"""The grid `tune=True` searches: its defaults, its checks, and its points as settings."""

from __future__ import annotations

import numbers
from collections.abc import Mapping, Sequence
from dataclasses import replace
from typing import Any

import numpy as np

from quorvel._core import CoreSettings
from quorvel._params import widest_radius

#: The grid searched with ``tune=True``: patch radius along X and Y, iterations,
#: p-value of the tests, the patch radius along Z (stacks) and T (time-lapses),
#: and the search reach along T (time-lapses of single planes) and Z (z-stacks
#: of one time point): None keeps the growing window of ``search``, a number
#: searches that many frames or planes to each side from the first iteration.
#: Radius 1 along Z or T joins where the axis has 3 elements or more.  Reaches
#: along Z are searched only when asked for (on volumes the growing window
#: won); the reaches along T span the whole sequence, up to 16 frames
#: (`_reach_values`): a still sequence gains from every frame.  The
#: measurements behind the grid: the documentation's tuning notes.
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
    for key, given in (grid or {}).items():
        raw: object = given
        values: Any = raw.tolist() if isinstance(raw, np.ndarray) and raw.ndim == 1 else raw
        if key not in DEFAULT_GRID:
            raise ValueError(
                f"tune: no grid dimension {key!r}; choose from {', '.join(DEFAULT_GRID)}"
            )
        if isinstance(values, (str, bytes)) or not isinstance(values, Sequence) or not values:
            raise ValueError(f"tune[{key!r}] must be a non-empty sequence, got {values!r}")
        out[key] = tuple(_check_value(key, v) for v in values)
    # The sides of the plane the image extends along (an axis of one pixel has no patch).
    plane = [a for a in "XY" if sizes[a] > 1]
    if "patch_radius" not in (grid or {}):  # the default's radii that fit the image
        fit = [v for v in out["patch_radius"] if all(2 * v + 1 <= sizes[a] for a in plane)]
        # On a strip narrower than every default patch: the widest that fits.
        out["patch_radius"] = tuple(fit) or (widest_radius(sizes["Y"], sizes["X"]) or 0,)
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
    for key, axes in (("patch_radius", plane), ("patch_radius_z", "Z"), ("patch_radius_t", "T")):
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


def _apply(
    settings: CoreSettings, point: dict[str, Any], flat: tuple[bool, bool] = (False, False)
) -> CoreSettings:
    """`settings` with the values of grid `point`; `flat`: whether X, Y are one pixel long.

    Along an axis of one pixel the radius stays 0.
    """
    r, rz, rt = point["patch_radius"], point["patch_radius_z"], point["patch_radius_t"]
    rc = settings.patch_radius[3]
    reach = list(settings.reach or (-1,) * 5)
    for key, (_, index) in _REACH.items():
        if key in point:  # None: the growing window
            reach[index] = -1 if point[key] is None else point[key]
    return replace(
        settings,
        patch_radius=(0 if flat[0] else r, 0 if flat[1] else r, rz, rc, rt),
        iterations=point["iterations"],
        pvalue=point["pvalue"],
        reach=tuple(reach) if any(v >= 0 for v in reach) else (),
    )


def _start(settings: CoreSettings, key: str) -> Any:
    """The value of grid dimension `key` that `settings` hold."""
    rx, ry, rz, _, rt = settings.patch_radius
    r = max(rx, ry)  # that of an axis of one pixel is 0
    if key in _REACH:
        index = _REACH[key][1]
        return settings.reach[index] if settings.reach and settings.reach[index] >= 0 else None
    return {
        "patch_radius": r,
        "iterations": settings.iterations,
        "pvalue": settings.pvalue,
        "patch_radius_z": rz,
        "patch_radius_t": rt,
    }[key]


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


def _reaches(grid: Mapping[str, Sequence[Any]], settings: CoreSettings) -> dict[str, int]:
    """The largest search reach along T and Z of the grid and the settings."""
    out = {}
    for key, (axis, index) in _REACH.items():
        own = settings.reach[index] if settings.reach else -1
        out[axis] = max([own, *(v for v in grid.get(key, ()) if v is not None)])
    return out
