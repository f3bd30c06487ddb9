"""Reading and writing images: TIFF (plain, ImageJ hyperstacks) and NumPy ``.npy``.

The axis names of a TIFF file come from its metadata (ImageJ hyperstacks are
``TZCYX`` in that order, RGB images ``YXS``), so a time-lapse read from a file
is denoised as a time-lapse without being named.  Pixel size, z spacing and
frame interval are carried over to the written file.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import DEFAULT_AXES

__all__ = ["ImageData", "read_image", "supported_kind", "write_image"]

_TIFF_SUFFIXES = (".tif", ".tiff")
_NPY_SUFFIXES = (".npy",)
# Axis letters that quorvel understands; files may carry others (Q, I: pages
# of unknown meaning).
_KNOWN_AXES = set("TCZYXS")
# ImageJ stores hyperstacks in this axis order, and only these sample types.
_IMAGEJ_ORDER = "TZCYXS"
_IMAGEJ_DTYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32))
# ImageJ metadata that describes the geometry, kept when writing.
_IMAGEJ_KEYS = ("spacing", "unit", "finterval")


@dataclass
class ImageData:
    """An image read from a file, with what is needed to write it back alike.

    Attributes
    ----------
    data : ndarray
        The pixels, in the file's axis order and dtype.
    axes : str or None
        One letter per dimension of `data` (``T``, ``C``, ``S``, ``Z``, ``Y``,
        ``X``), or None when the file does not tell.
    metadata : dict
        Geometry to keep: ``resolution`` and ``resolutionunit`` of the TIFF
        tags, and the ImageJ ``spacing``, ``unit`` and ``finterval``.
    """

    data: npt.NDArray[Any]
    axes: str | None
    metadata: dict[str, Any] = field(default_factory=dict)


def supported_kind(path: str | os.PathLike[str]) -> str:
    """The file format of `path`, from its suffix.

    Parameters
    ----------
    path : str or path-like
        A file name.

    Returns
    -------
    str
        ``"tiff"`` for ``.tif`` and ``.tiff``, ``"npy"`` for ``.npy`` (any
        case).

    Raises
    ------
    ValueError
        For any other suffix.
    """
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix in _TIFF_SUFFIXES:
        return "tiff"
    if suffix in _NPY_SUFFIXES:
        return "npy"
    raise ValueError(
        f"{path}: unknown format {suffix or '(no suffix)'!r}; use .tif, .tiff or .npy"
    )


def read_image(path: str | os.PathLike[str]) -> ImageData:
    """Read an image file.

    Parameters
    ----------
    path : str or path-like
        A ``.tif``/``.tiff`` file (its first image series) or a ``.npy`` file.

    Returns
    -------
    ImageData
        The pixels, the axis names when the file has them, and its geometry.

    Raises
    ------
    ValueError
        For an unsupported file type.
    OSError
        When the file cannot be read.
    """
    path = Path(path)
    if supported_kind(path) == "npy":
        return ImageData(np.load(path, allow_pickle=False), None)

    import tifffile

    with tifffile.TiffFile(path) as tif:
        series = tif.series[0]
        data = series.asarray()
        axes: str | None = series.axes
        page = tif.pages[0]
        metadata: dict[str, Any] = {}
        resolution = getattr(page, "resolution", None)
        if resolution and all(np.isfinite(resolution)) and tuple(resolution) != (1.0, 1.0):
            metadata["resolution"] = tuple(float(r) for r in resolution)
            metadata["resolutionunit"] = int(page.resolutionunit)
        if tif.is_imagej and tif.imagej_metadata:
            metadata.update(
                {k: tif.imagej_metadata[k] for k in _IMAGEJ_KEYS if k in tif.imagej_metadata}
            )
    if axes is not None and (len(axes) != data.ndim or not set(axes) <= _KNOWN_AXES):
        axes = None
    return ImageData(data, axes, metadata)


def _imagej_compatible(data: npt.NDArray[Any], axes: str) -> bool:
    if data.dtype not in _IMAGEJ_DTYPES or "S" in axes:
        return False
    positions = [_IMAGEJ_ORDER.index(a) for a in axes]
    return positions == sorted(positions)


def write_image(
    path: str | os.PathLike[str],
    data: npt.NDArray[Any],
    axes: str | None = None,
    metadata: dict[str, Any] | None = None,
) -> None:
    """Write an image file.

    TIFF files are written as ImageJ hyperstacks when the axis order and dtype
    allow it (so that ImageJ/Fiji opens them with the right axes), otherwise as
    TIFF with the axis names in its description; BigTIFF is used when the data
    needs it.

    Parameters
    ----------
    path : str or path-like
        Target ``.tif``/``.tiff`` or ``.npy`` file; overwritten if it exists.
    data : ndarray
        The pixels.
    axes : str, optional
        One letter per dimension of `data`; by default the usual names for
        its dimension (``YX``, ``ZYX``, ``CZYX``, ``TCZYX``).
    metadata : dict, optional
        Geometry as in `ImageData.metadata`.

    Raises
    ------
    ValueError
        For an unsupported file type or axis names that do not fit `data`.
    """
    path = Path(path)
    kind = supported_kind(path)
    if axes is None:
        axes = DEFAULT_AXES.get(data.ndim)
    if axes is None or len(axes) != data.ndim:
        raise ValueError(f"axes {axes!r} do not fit an image of shape {data.shape}")
    if kind == "npy":
        np.save(path, data, allow_pickle=False)
        return

    import tifffile

    metadata = metadata or {}
    options: dict[str, Any] = {}
    if "resolution" in metadata:
        options["resolution"] = metadata["resolution"]
        options["resolutionunit"] = metadata.get("resolutionunit")
    if _imagej_compatible(data, axes):
        description: dict[str, Any] = {"axes": axes}
        description.update({k: metadata[k] for k in _IMAGEJ_KEYS if k in metadata})
        tifffile.imwrite(path, data, imagej=True, metadata=description, **options)
    else:
        # Without this, tifffile may take a short first axis for colour planes.
        photometric = "rgb" if axes.endswith("S") and data.shape[-1] in (3, 4) else "minisblack"
        tifffile.imwrite(path, data, metadata={"axes": axes}, photometric=photometric, **options)
