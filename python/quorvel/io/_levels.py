"""The metadata of a coarser resolution level of a pyramidal TIFF file.

A pyramidal TIFF (an OME-TIFF with its sub-resolution images in SubIFDs, a
slide scanner's file) records its physical sizes, resolution and position
for the full resolution; a coarser level covers the same field with fewer,
larger pixels, as the levels of an OME-Zarr image do.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any


def level_factor(full: int, size: int) -> float:
    """How many full-resolution pixels one pixel of a level of `size` pixels spans.

    The whole number a pyramid is made with (its size rounded up or down)
    when one fits, else the ratio of the sizes.
    """
    step = max(round(full / size), 1)
    if size in (full // step, -(-full // step)):
        return float(step)
    return full / size


def at_level(
    path: Path,
    axes: str | None,
    metadata: dict[str, Any],
    shapes: list[tuple[int, ...]],
    level: int,
) -> dict[str, Any]:
    """`metadata` of the full-resolution image made that of level `level`.

    Parameters
    ----------
    path : Path
        The file, for messages.
    axes : str or None
        The axis names of the image.
    metadata : dict
        As read for the full resolution (see `quorvel.io.ImageData`).
    shapes : list of tuple of int
        The shape of every level, the full resolution first.
    level : int
        The level read.

    Returns
    -------
    dict
        A new dict: ``levels`` (those from `level` on) when the file holds
        several, and for a coarser level the physical sizes, the TIFF
        resolution and the origin (the first pixel's centre) of its pixels.

    Raises
    ------
    ValueError
        For a level the file does not hold.
    """
    count = len(shapes)
    if not 0 <= level < count:
        if count == 1:
            raise ValueError(
                f"{path}: the image has one resolution level (no pyramid); there is no "
                f"level {level}"
            )
        raise ValueError(f"{path}: no level {level}; the image has levels 0 to {count - 1}")
    if count == 1:
        return metadata
    metadata = {**metadata, "levels": count - level}
    if level == 0 or axes is None:
        return metadata
    full, shape = shapes[0], shapes[level]
    factors = {
        a: level_factor(full[i], shape[i])
        for i, a in enumerate(axes)
        if a in "ZYX" and full[i] != shape[i]
    }
    physical = metadata.get("physical", {})
    if physical:
        metadata["physical"] = {
            a: (float(v[0]) * factors[a], v[1]) if a in factors else v for a, v in physical.items()
        }
    if "resolution" in metadata:  # pixels per unit length, X then Y
        x, y = metadata["resolution"]
        metadata["resolution"] = (x / factors.get("X", 1.0), y / factors.get("Y", 1.0))
    given = metadata.get("origin")
    origin = dict(given) if isinstance(given, dict) else {}
    for axis, factor in factors.items():
        # The centre of the level's first pixel: half its pixel less half a
        # full-resolution one further on (in pixels for an axis without a size).
        size = float(physical.get(axis, (1.0, None))[0])
        origin[axis] = float(origin.get(axis, 0.0)) + size * (factor - 1.0) / 2.0
    origin = {a: v for a, v in origin.items() if v != 0}
    if origin:
        metadata["origin"] = origin
    return metadata
