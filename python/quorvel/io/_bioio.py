"""Vendor formats (Zeiss CZI, Nikon ND2, Leica LIF) through the bioio readers.

bioio and its format plugins are the optional extra ``quorvel[formats]``.
Images come as ``TCZYX`` (``TCZYXS`` for colour) with their physical sizes
in micrometers and their channel names, marked as OME (bioio describes them
in OME terms), so that they are written as OME-TIFF or OME-Zarr.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from quorvel.io._image import ImageData, ImageHeader, LazyImage, valid_axes

SUFFIXES = (".czi", ".nd2", ".lif")


def _open(path: Path) -> Any:
    try:
        from bioio import BioImage
    except ImportError as err:
        raise ValueError(
            f"{path}: reading {path.suffix} files needs the optional readers: "
            "pip install 'quorvel[formats]'"
        ) from err
    try:
        return BioImage(path)
    except Exception as err:
        # bioio names the plugin to install when none reads the file.
        raise OSError(f"{path}: {' '.join(str(err).split())}") from err


def _metadata(image: Any) -> dict[str, Any]:
    metadata: dict[str, Any] = {"ome": True}
    sizes = image.physical_pixel_sizes
    physical = {
        axis: (float(value), "micrometer")
        for axis, value in zip("ZYX", (sizes.Z, sizes.Y, sizes.X), strict=True)
        if value is not None and value > 0  # 0: not recorded
    }
    if physical:
        metadata["physical"] = physical
    names = image.channel_names
    if names and all(isinstance(n, str) for n in names):
        metadata["channels"] = [str(n) for n in names]
    return metadata


def read_bioio(path: Path, *, lazy: bool) -> ImageData | LazyImage:
    """The first scene of a file bioio reads: lazily as dask when `lazy`."""
    image = _open(path)
    axes = valid_axes(image.dims.order, len(image.dims.shape))
    if lazy:
        return LazyImage(image.dask_data, axes, _metadata(image))
    return ImageData(image.data, axes, _metadata(image))


def read_bioio_header(path: Path) -> ImageHeader:
    """Shape, sample type, axes and metadata of the first scene, reading no pixels."""
    image = _open(path)
    shape = tuple(int(n) for n in image.dims.shape)
    axes = valid_axes(image.dims.order, len(shape))
    return ImageHeader(shape, np.dtype(image.dtype), axes, _metadata(image))
