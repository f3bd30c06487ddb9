"""The plugin's reader: image files as napari layers, one per channel, over `quorvel.io`.

Every file quorvel reads opens in napari with what the file says: the axis
names in the layer's metadata (``metadata["axes"]``, which the widget takes
first), the physical pixel size, frame interval and plane spacing as the
layer's scale and units, the axis letters as its axis labels, and each
channel as its own layer named after the channel, in the channel's colour
(from ImageJ lookup tables, OME channel colours or OME-Zarr ``omero``
metadata).  OME-Zarr pyramids become
multiscale layers; zarr stores, and other files larger than `LAZY_BYTES`,
are read lazily (dask), chunk by chunk as napari shows them.
"""

from __future__ import annotations

import importlib.util
import itertools
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from quorvel.io import ImageData, LazyImage, read_image, read_lazy, supported_kind
from quorvel.io._display import channel_colours, default_colours
from quorvel.io._tiff import series_count
from quorvel.io._units import unit_symbol

#: Files larger than this (in bytes) are opened lazily.
LAZY_BYTES = 2**30

#: napari's names of the colours it has colormaps of.
NAMED_COLOURS = {
    "FFFFFF": "gray",
    "FF0000": "red",
    "00FF00": "green",
    "0000FF": "blue",
    "00FFFF": "cyan",
    "FF00FF": "magenta",
    "FFFF00": "yellow",
}

LayerData = tuple[Any, dict[str, Any], str]


def _readable(path: str) -> bool:
    try:
        kind = supported_kind(path)
    except ValueError:
        return False
    return kind != "bioio" or importlib.util.find_spec("bioio") is not None


def get_reader(path: str | list[str]) -> Callable[[str | list[str]], list[LayerData]] | None:
    """The reader of `path` when quorvel reads every file named, else None.

    Parameters
    ----------
    path : str or list of str
        A file or folder (zarr store), or several.

    Returns
    -------
    callable or None
        `read_layers`; None for names quorvel does not read (and for CZI,
        ND2 and LIF files without ``quorvel[formats]``), so that napari asks
        another reader.
    """
    paths = [path] if isinstance(path, str) else list(path)
    return read_layers if paths and all(_readable(p) for p in paths) else None


def read_layers(path: str | list[str]) -> list[LayerData]:
    """Read image files into napari image layers, one per channel.

    Parameters
    ----------
    path : str or list of str
        A TIFF (ImageJ, OME-TIFF), ``.npy``, zarr or OME-Zarr file, or CZI,
        ND2, LIF with ``quorvel[formats]``; or several.

    Returns
    -------
    list of LayerData
        ``(data, kwargs, "image")`` per channel (of every image series of
        a TIFF file): the channel's pixels (a list of levels for an OME-Zarr
        image or a pyramidal TIFF file), and ``name`` (the channel's name),
        ``scale``, ``units``, ``axis_labels``, ``colormap``, ``blending`` and
        ``metadata`` with ``axes`` (the layer's axis letters, when the file
        names them), ``source`` (the file), ``series`` (its image series, in
        a file of several), ``physical`` (``(size, unit)`` by axis letter),
        ``channels`` (its name) and, for a quorvel output, ``provenance``.
    """
    paths = [Path(p) for p in ([path] if isinstance(path, str) else path)]
    layers = []
    for p in paths:
        count = _series_count(p)
        with warnings.catch_warnings():  # every series is opened: none is left unread
            warnings.filterwarnings("ignore", message=r".* image series; only the first")
            for n in range(count):
                layers += _layers(p, _open(p, n), n if count > 1 else None)
    return layers


def _series_count(path: Path) -> int:
    """The number of image series of a TIFF file (the positions of a multi-position file)."""
    return series_count(path) if supported_kind(path) == "tiff" else 1


def _open(path: Path, series: int = 0) -> list[ImageData | LazyImage]:
    """The image at `path`: every level of a zarr or TIFF pyramid, or one image (lazy if large)."""
    if supported_kind(path) == "zarr":
        levels: list[ImageData | LazyImage] = [read_lazy(path)]
        for level in itertools.count(1):
            try:
                levels.append(read_lazy(path, level=level))
            except ValueError:  # no such level, or a single array
                break
        return levels
    if path.is_file() and path.stat().st_size > LAZY_BYTES:
        levels = [read_lazy(path, series=series)]
    else:
        levels = [read_image(path, series=series)]
    count = levels[0].metadata.get("levels")  # a pyramidal TIFF's coarser levels
    if isinstance(count, int) and count > 1:
        levels += [read_lazy(path, series=series, level=n) for n in range(1, count)]
    return levels


def _stem(path: Path) -> str:
    name = path.name
    for suffix in (".ome.tiff", ".ome.tif", ".ome.zarr"):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return path.stem


def _colours(metadata: dict[str, Any], n: int) -> list[str]:
    """The napari colormaps of `n` channels: the file's colours, else those of napari's own choice.

    Colours napari names are given by name (``"magenta"``), others as
    ``"#rrggbb"`` (a colormap from black to that colour).
    """
    colours = channel_colours(metadata, n) or default_colours(n)
    return [NAMED_COLOURS.get(c, f"#{c.lower()}") for c in colours]


def _layers(
    path: Path, images: list[ImageData | LazyImage], series: int | None = None
) -> list[LayerData]:
    """One layer per channel of `images` (the levels of one image, of `series` of a file)."""
    first = images[0]
    levels = [image.data for image in images]
    shape, dtype = levels[0].shape, np.dtype(levels[0].dtype)
    if len(shape) < 2 or dtype.kind not in "biuf":
        raise ValueError(
            f"{path}: napari shows images of 2 or more dimensions of real values, "
            f"not a {len(shape)}-D array of {dtype}"
        )
    if dtype.kind == "b":  # napari draws no boolean image: shown as 0 and 1
        levels = [level.astype(np.uint8) for level in levels]
    axes = first.axes
    metadata = first.metadata
    kept: dict[str, Any] = {"source": str(path)}
    suffix = ""
    if series is not None:  # one of several series of the file: named and recorded
        kept["series"], suffix = series, f" series {series}"
    if "provenance" in metadata:
        kept["provenance"] = metadata["provenance"]
    if axes is None:  # the widget guesses, and says so
        return [(_pixels(levels), {"name": _stem(path) + suffix, "metadata": kept}, "image")]

    rgb = axes.endswith("S") and shape[-1] in (3, 4) and "C" not in axes
    split = "C" if "C" in axes else "S" if "S" in axes and not rgb else ""
    n_channels = shape[axes.index(split)] if split else 1
    names = metadata.get("channels")
    if not (isinstance(names, list) and len(names) == n_channels):
        names = None
    layer_axes = axes.replace(split, "") if split else axes
    spatial = layer_axes[:-1] if rgb else layer_axes
    physical = {a: tuple(v) for a, v in metadata.get("physical", {}).items() if a in spatial}
    common: dict[str, Any] = {
        "scale": [float(physical.get(a, (1.0, None))[0]) for a in spatial],
        "units": [physical[a][1] if _known(physical.get(a)) else "pixel" for a in spatial],
        "axis_labels": [a.lower() for a in spatial],
        "rgb": rgb,
        "multiscale": len(levels) > 1,
    }
    origin = metadata.get("origin")
    if isinstance(origin, dict) and any(a in origin for a in spatial):
        common["translate"] = [float(origin.get(a, 0.0)) for a in spatial]
    colours = _colours(metadata, n_channels)
    layers = []
    for c in range(n_channels):
        index = (slice(None),) * axes.index(split) + (c,) if split else ()
        own = {**kept, "axes": layer_axes, "physical": physical}
        name = names[c] if names else _stem(path) + (f" channel {c}" if n_channels > 1 else "")
        name += suffix
        if names:
            own["channels"] = [names[c]]
        kwargs = {**common, "name": name, "metadata": own}
        if not rgb:
            kwargs["colormap"] = colours[c]
        if n_channels > 1:
            kwargs["blending"] = "additive" if c else "translucent_no_depth"
        layers.append((_pixels([level[index] for level in levels]), kwargs, "image"))
    return layers


def _known(size_unit: Any) -> bool:
    """Whether a ``(size, unit)`` pair names a unit napari knows (OME-Zarr's names)."""
    return size_unit is not None and unit_symbol(size_unit[1]) is not None


def _pixels(levels: list[Any]) -> Any:
    """Layer data: the array, or the list of levels of a pyramid."""
    return levels if len(levels) > 1 else levels[0]
