"""The plugin's writer: an image layer as OME-TIFF, with its axes, physical sizes and provenance.

File > Save Selected Layers with a name ending in ``.ome.tif`` or
``.ome.tiff`` writes through `quorvel.io.write_image`: the axis order of the
layer's metadata (``metadata["axes"]``, else its axis labels, else the
widget's guess from the number of dimensions; the colours of an RGB layer
last), the pixel size, plane spacing and frame interval from the layer's
scale and units, where the layer lies (its translate, as the position of
each plane; in pixels on axes without a physical unit), the channel name,
its colour (of a colormap from black to one colour), and the record of how
a denoised layer was made (``metadata["provenance"]``), which
``quorvel info`` and quorvel's reader show again.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvel.io import write_image
from quorvel.io._display import checked_colours
from quorvel.io._image import valid_axes
from quorvel.io._units import unit_name
from quorvel.napari._layers import GUESS_BY_NDIM
from quorvel.napari._reader import NAMED_COLOURS


def _axes(metadata: dict[str, Any], attributes: dict[str, Any], ndim: int) -> str | None:
    """The layer's axis letters: its metadata's, its axis labels', else those the widget guesses.

    The colours of an RGB(A) layer are its last axis, ``S``.  None when
    nothing fits (more than five dimensions).
    """
    named = valid_axes(metadata.get("axes"), ndim)
    if named is not None:
        return named
    colour = "S" if attributes.get("rgb") else ""
    labels = "".join(str(label).strip() for label in attributes.get("axis_labels") or ())
    guess = GUESS_BY_NDIM.get(ndim - len(colour), "")
    return valid_axes(labels + colour, ndim) or valid_axes(guess + colour, ndim)


def _physical(axes: str, attributes: dict[str, Any]) -> dict[str, tuple[float, str]]:
    """``(size, unit)`` by axis letter from the layer's scale and units, where the unit is known."""
    scale = attributes.get("scale") or ()
    units = attributes.get("units") or ()
    physical = {}
    for letter, size, unit in zip(axes, scale, units, strict=False):
        name = unit_name(str(unit))
        if letter in "TZYX" and name is not None:
            physical[letter] = (float(size), name)
    return physical


def _origin(axes: str, attributes: dict[str, Any]) -> dict[str, float]:
    """Where the layer lies (its ``translate``) by axis letter, on the axes that have one.

    An RGB(A) layer's translate has no entry for its colours (the last axis).
    """
    translate = attributes.get("translate") or ()
    letters = axes[:-1] if attributes.get("rgb") else axes
    return {
        letter: float(shift)
        for letter, shift in zip(letters, translate, strict=False)
        if letter in "TZYX" and np.isfinite(shift) and shift != 0
    }


def _colour(colormap: Any) -> str | None:
    """The ``"RRGGBB"`` colour of a colormap named by napari's colour name or ``"#rrggbb"``.

    The colormap is its name, or napari's state of it (a dict with its
    ``name``), as a layer being saved gives it.
    """
    name = colormap.get("name") if isinstance(colormap, dict) else colormap
    if not isinstance(name, str):
        return None
    named = {name: colour for colour, name in NAMED_COLOURS.items()}
    colours = checked_colours([named.get(name, name)])
    return colours[0] if colours else None


def _storable(pixels: np.ndarray, path: str) -> np.ndarray:
    """`pixels` in a sample type OME-TIFF holds, converted only where no value changes.

    NumPy makes 64-bit integers by default (a layer made with ``np.arange``
    or ``integers``) and napari also shows float16: such values are written
    as 32-bit integers when they fit, and float16 as float32.

    Raises
    ------
    ValueError
        For integers beyond the 32-bit range, and types OME-TIFF has no
        lossless home for.
    """
    dtype = pixels.dtype
    if dtype == np.float16:
        return pixels.astype(np.float32)
    if dtype.kind in "iu" and dtype.itemsize == 8:
        narrow = np.dtype(np.int32 if dtype.kind == "i" else np.uint32)
        info = np.iinfo(narrow)
        low, high = (int(pixels.min()), int(pixels.max())) if pixels.size else (0, 0)
        if info.min <= low and high <= info.max:
            return pixels.astype(narrow)
        raise ValueError(
            f"{path}: OME-TIFF holds integers of at most 32 bits; this layer's values run "
            f"from {low} to {high}: convert it to float64 before saving"
        )
    return pixels


def write_ome_tiff(path: str, data: Any, attributes: dict[str, Any]) -> list[str]:
    """Write one image layer to `path` as OME-TIFF.

    Parameters
    ----------
    path : str
        The file, named ``.ome.tif`` or ``.ome.tiff``.
    data : array-like
        The layer's data (NumPy or dask; level 0 of a multiscale layer).
    attributes : dict
        The layer's attributes (napari's layer state): ``metadata``
        (``axes``, ``channels``, ``provenance``), ``scale``, ``units``,
        ``translate``, ``axis_labels``, ``colormap``, ``rgb`` and
        ``multiscale``.

    Returns
    -------
    list of str
        The file written.
    """
    metadata = attributes.get("metadata") or {}
    pixels = _storable(np.asarray(data[0] if attributes.get("multiscale") else data), path)
    axes = _axes(metadata, attributes, pixels.ndim)
    record: dict[str, Any] = {"ome": True}
    if axes is not None:
        record["physical"] = _physical(axes, attributes)
        origin = _origin(axes, attributes)
        if origin:
            record["origin"] = origin
    channels = metadata.get("channels")
    if isinstance(channels, list) and all(isinstance(n, str) for n in channels):
        record["channels"] = channels
    colour = _colour(attributes.get("colormap"))
    if colour is not None and not attributes.get("rgb"):
        record["colours"] = [colour]
    if isinstance(metadata.get("provenance"), dict):
        record["provenance"] = metadata["provenance"]
    write_image(path, pixels, axes, record)
    return [path]
