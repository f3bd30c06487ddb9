"""What a reader returns: the pixels, their axis names and the metadata worth keeping."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

# Axis letters that quorvel understands; files may carry others (Q, I: pages
# of unknown meaning).
KNOWN_AXES = set("TCZYXS")


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
        What to keep when writing, by key: ``physical`` (axis letter to
        ``(size, unit)``, units named as in OME-Zarr: ``micrometer``,
        ``second``), ``channels`` (channel names), ``colours`` (one
        ``"RRGGBB"`` colour per channel), ``luts`` (ImageJ lookup tables),
        ``mode`` (ImageJ display mode: ``"composite"``, ``"color"``,
        ``"grayscale"``), ``ome`` (True when read from OME metadata or a
        vendor format, written as OME), ``levels`` (resolution levels of an
        OME-Zarr image or a pyramidal TIFF file from the level read on),
        ``origin`` (axis letter to where the first pixel lies, in the units
        of ``physical``: an
        OME-Zarr level's translation, an OME-TIFF's first plane position;
        written as both), ``provenance`` (the record
        of a quorvel output), and for TIFF files ``resolution`` and
        ``resolutionunit`` of the TIFF tags and the ImageJ ``spacing``,
        ``unit`` and ``finterval``.
    """

    data: npt.NDArray[Any]
    axes: str | None
    metadata: dict[str, Any] = field(default_factory=dict)


@dataclass
class LazyImage:
    """An image opened lazily: nothing is read until its chunks are computed.

    Attributes
    ----------
    data : dask.array.Array
        The pixels, in the file's axis order and dtype, chunked as stored
        (one TIFF page, one zarr chunk).
    axes : str or None
        One letter per dimension of `data`, or None when the file does not
        tell.
    metadata : dict
        As in `ImageData.metadata`.
    """

    data: Any
    axes: str | None
    metadata: dict[str, Any] = field(default_factory=dict)


@dataclass
class ImageHeader:
    """What a file says about its image, without its pixels.

    Attributes
    ----------
    shape : tuple of int
        The image's shape, in the file's axis order.
    dtype : numpy.dtype
        Its sample type.
    axes : str or None
        One letter per dimension, or None when the file does not tell.
    metadata : dict
        As in `ImageData.metadata`.
    """

    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    axes: str | None
    metadata: dict[str, Any] = field(default_factory=dict)


def valid_axes(axes: str | None, ndim: int) -> str | None:
    """`axes` in upper case when they name every dimension with known letters, else None."""
    if not isinstance(axes, str) or len(axes) != ndim or not set(axes.upper()) <= KNOWN_AXES:
        return None
    return axes.upper()
