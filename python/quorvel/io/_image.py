"""What a reader returns: the pixels, their axis names and the metadata worth keeping."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

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
        ``second``), ``channels`` (channel names), ``ome`` (True when read
        from OME metadata), ``provenance`` (the record of a quorvel output),
        and for TIFF files ``resolution`` and ``resolutionunit`` of the TIFF
        tags and the ImageJ ``spacing``, ``unit`` and ``finterval``.
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


def valid_axes(axes: str | None, ndim: int) -> str | None:
    """`axes` in upper case when they name every dimension with known letters, else None."""
    if not isinstance(axes, str) or len(axes) != ndim or not set(axes.upper()) <= KNOWN_AXES:
        return None
    return axes.upper()
