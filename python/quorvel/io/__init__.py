"""Reading and writing images: TIFF (plain, ImageJ, OME-TIFF), ``.npy``, zarr and OME-Zarr.

The axis names of a file come from its metadata (ImageJ hyperstacks are
``TZCYX`` in that order, RGB images ``YXS``, OME files any order), so a
time-lapse read from a file is denoised as a time-lapse without being named.
Physical sizes, the time increment, channel names, channel colours, the
ImageJ display mode and where the image lies (OME only) are carried over
to the written file, with the record of
how it was made (see `quorvel._provenance`); OME-Zarr outputs get the
input's number of resolution levels (of an OME-Zarr image or a pyramidal
TIFF file).  `read_header` tells what a file holds
without reading its pixels.

Images larger than memory are read lazily as dask arrays (`read_lazy`: a
zarr array, an OME-Zarr image, a TIFF file through tifffile's zarr interface,
or a ``.npy`` file mapped into memory) and written chunk by chunk into a zarr
store (`write_zarr`).  Vendor formats (CZI, ND2, LIF) are read through bioio,
the optional extra ``quorvel[formats]``.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy.typing as npt

from quorvel._axes import DEFAULT_AXES
from quorvel.io import _bioio, _npy, _tiff, _zarr
from quorvel.io._image import ImageData, ImageHeader, LazyImage
from quorvel.io._units import checked_physical
from quorvel.io._zarr import write_zarr

__all__ = [
    "ImageData",
    "ImageHeader",
    "LazyImage",
    "read_header",
    "read_image",
    "read_lazy",
    "supported_kind",
    "write_image",
    "write_zarr",
]

_SUFFIXES = {".tif": "tiff", ".tiff": "tiff", ".npy": "npy", ".zarr": "zarr"}
_SUFFIXES.update(dict.fromkeys(_bioio.SUFFIXES, "bioio"))


def supported_kind(path: str | os.PathLike[str]) -> str:
    """The file format of `path`, from its suffix.

    Parameters
    ----------
    path : str or path-like
        A file name.

    Returns
    -------
    str
        ``"tiff"`` for ``.tif`` and ``.tiff``, ``"npy"`` for ``.npy``,
        ``"zarr"`` for ``.zarr`` (any case; OME-Zarr images too) and
        ``"bioio"`` for ``.czi``, ``.nd2`` and ``.lif``.

    Raises
    ------
    ValueError
        For any other suffix.
    """
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in _SUFFIXES:
        if any((path / name).is_file() for name in ("zarr.json", ".zarray", ".zgroup")):
            return "zarr"  # an array inside a group, named without a suffix
        raise ValueError(
            f"{path}: unknown format {suffix or '(no suffix)'!r}; use .tif, .tiff, .npy or "
            ".zarr (or .czi, .nd2, .lif with quorvel[formats])"
        )
    return _SUFFIXES[suffix]


def _kind_at_level(path: Path, level: int, series: int = 0) -> str:
    kind = supported_kind(path)
    if level != 0 and kind not in ("zarr", "tiff"):
        raise ValueError(
            f"{path}: only OME-Zarr images and pyramidal TIFF files have resolution levels; "
            f"got level {level}"
        )
    if series < 0 or (series != 0 and kind != "tiff"):
        raise ValueError(
            f"{path}: image series are numbered 0 and up, in TIFF files only; got series {series}"
        )
    return kind


def read_image(path: str | os.PathLike[str], *, level: int = 0, series: int = 0) -> ImageData:
    """Read an image file.

    Parameters
    ----------
    path : str or path-like
        A ``.tif``/``.tiff`` file (an image series, the first by default),
        a ``.npy`` file, a ``.zarr`` array or OME-Zarr image (read whole;
        see `read_lazy` for large ones), or a ``.czi``, ``.nd2`` or ``.lif``
        file (first scene).
    level : int, optional
        The resolution level of an OME-Zarr image or a pyramidal TIFF file
        (sub-resolution images in SubIFDs, as OME-TIFF stores them); 0, the
        default, is full resolution.  A coarser level's physical sizes are
        those of its pixels.
    series : int, optional
        The image series of a TIFF file that holds several (the positions
        of a multi-position OME-TIFF), numbered from 0, the default.

    Returns
    -------
    ImageData
        The pixels, the axis names when the file has them, and its metadata.

    Raises
    ------
    ValueError
        For an unsupported file type, or a file that holds fewer images than
        its metadata announces (cut short or damaged).
    OSError
        When the file cannot be read.

    Warns
    -----
    UserWarning
        When chunks of a zarr store are missing (read as its fill value),
        with their count.
    """
    path = Path(path)
    kind = _kind_at_level(path, level, series)
    if kind == "npy":
        return _npy.read_npy(path)
    if kind == "tiff":
        return _tiff.read_tiff(path, series, level)
    if kind == "bioio":
        image = _bioio.read_bioio(path, lazy=False)
        assert isinstance(image, ImageData)
        return image
    lazy = _zarr.read_zarr(path, level)
    return ImageData(lazy.data.compute(scheduler="threads"), lazy.axes, lazy.metadata)


def read_lazy(path: str | os.PathLike[str], *, level: int = 0, series: int = 0) -> LazyImage:
    """Open an image file as a dask array, reading nothing yet.

    Parameters
    ----------
    path : str or path-like
        A ``.zarr`` array store or OME-Zarr image, a ``.tif``/``.tiff`` file
        (an image series, the first by default, read through tifffile's
        zarr interface page by page), a ``.npy`` file (mapped into memory)
        or a vendor file read by bioio.
    level : int, optional
        The resolution level of an OME-Zarr image or a pyramidal TIFF file
        (default 0, full resolution).
    series : int, optional
        The image series of a TIFF file (default 0, the first).

    Returns
    -------
    LazyImage
        The dask array, chunked as the file stores its pixels, the axis
        names when the file records them, and its metadata.

    Raises
    ------
    ValueError
        For an unsupported file type, a zarr group that is no image, or a
        file cut short or damaged.
    OSError
        When the file cannot be opened.

    Warns
    -----
    UserWarning
        When chunks of a zarr store are missing (read as its fill value),
        with their count.
    """
    import dask.array as da
    from dask.base import tokenize

    from quorvel.io._filearray import FileArray

    path = Path(path)
    kind = _kind_at_level(path, level, series)
    if kind == "zarr":
        return _zarr.read_zarr(path, level)
    if kind == "bioio":
        image = _bioio.read_bioio(path, lazy=True)
        assert isinstance(image, LazyImage)
        return image
    tiff = kind == "tiff"
    header = _tiff.read_header(path, series, level) if tiff else _npy.read_npy_header(path)
    axes, metadata = header.axes, header.metadata
    source = FileArray(path, kind, series, level)
    stat = path.stat()
    key = (str(path.resolve()), stat.st_size, stat.st_mtime_ns, series, level)
    name = f"read-{kind}-" + tokenize(*key)
    data = da.from_array(source, chunks=source.chunks or "auto", name=name, lock=False)
    return LazyImage(data, axes, metadata)


def read_header(path: str | os.PathLike[str], *, level: int = 0, series: int = 0) -> ImageHeader:
    """What an image file holds, reading none of its pixels.

    Parameters
    ----------
    path : str or path-like
        Any file `read_image` reads.
    level : int, optional
        The resolution level of an OME-Zarr image or a pyramidal TIFF file
        (default 0).
    series : int, optional
        The image series of a TIFF file (default 0, the first).

    Returns
    -------
    ImageHeader
        The shape, sample type, axis names and metadata.

    Raises
    ------
    ValueError
        For an unsupported file type, or a file that holds fewer images than
        its metadata announces.
    OSError
        When the file cannot be read.
    """
    import numpy as np

    path = Path(path)
    kind = _kind_at_level(path, level, series)
    if kind == "npy":
        return _npy.read_npy_header(path)
    if kind == "tiff":
        return _tiff.read_header(path, series, level)
    if kind == "bioio":
        return _bioio.read_bioio_header(path)
    array, axes, metadata = _zarr.open_zarr(path, level)
    return ImageHeader(tuple(array.shape), np.dtype(array.dtype), axes, metadata)


def wants_ome(path: str | os.PathLike[str], metadata: dict[str, Any]) -> bool:
    """Whether to write `path` as OME (TIFF or Zarr): named so, or read from an OME file."""
    name = Path(path).name.lower()
    return bool(metadata.get("ome")) or name.endswith((".ome.tif", ".ome.tiff", ".ome.zarr"))


def write_problem(
    path: str | os.PathLike[str], dtype: npt.DTypeLike, ndim: int, metadata: dict[str, Any]
) -> str | None:
    """Why `write_image` would refuse an image of `dtype` and `ndim` dimensions, or None.

    For a check before the image is computed; only what the file kind
    itself cannot hold (TIFF: fewer than 2 dimensions, sample types
    OME-TIFF has no name for).
    """
    if supported_kind(Path(path)) == "tiff":
        return _tiff.tiff_problem(dtype, ndim, wants_ome(path, metadata))
    return None


def write_image(
    path: str | os.PathLike[str],
    data: npt.NDArray[Any],
    axes: str | None = None,
    metadata: dict[str, Any] | None = None,
) -> None:
    """Write an image file.

    TIFF files are written as OME-TIFF when named ``.ome.tif`` or when
    `metadata` comes from an OME file (with Y and X last, other axes moved
    before them), else as ImageJ hyperstacks when the axis order and dtype
    allow it (so that ImageJ/Fiji opens them with the right axes), else as
    TIFF with the axis names, physical sizes and channel names in its
    description.  A ``.npy`` file gets its axes and metadata in a sidecar
    ``.json`` file.

    Parameters
    ----------
    path : str or path-like
        Target ``.tif``/``.tiff`` or ``.npy`` file, or ``.zarr`` store (see
        `write_zarr`); overwritten if it exists.
    data : ndarray
        The pixels.
    axes : str, optional
        One letter per dimension of `data`; by default the usual names for
        its dimension (``YX``, ``ZYX``, ``CZYX``, ``TCZYX``).
    metadata : dict, optional
        As in `ImageData.metadata`.

    Raises
    ------
    ValueError
        For an unsupported file type or axis names that do not fit `data`.
    """
    path = Path(path)
    kind = supported_kind(path)
    metadata = metadata or {}
    if "physical" in metadata:  # what a file cannot hold is left out, with a warning
        metadata = {**metadata, "physical": checked_physical(metadata["physical"], path)}
    if axes is None:
        axes = DEFAULT_AXES.get(data.ndim)
    if axes is None or len(axes) != data.ndim:
        raise ValueError(f"axes {axes!r} do not fit an image of shape {data.shape}")
    if kind == "npy":
        _npy.write_npy(path, data)
        # Written every time: a previous image's metadata would be read as this one's.
        _npy.sidecar(path).write_text(_npy.sidecar_text(axes, metadata), encoding="utf-8")
    elif kind == "zarr":
        import dask.array as da

        store = write_zarr(path, da.from_array(data), axes, metadata, ome=wants_ome(path, metadata))
        da.compute(store)
    elif kind == "tiff":
        _tiff.write_tiff(path, data, axes, metadata, ome=wants_ome(path, metadata))
    else:
        raise ValueError(f"{path}: {path.suffix} files are read, not written; write .ome.tif")
