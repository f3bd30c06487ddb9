"""Reading and writing images: TIFF (plain, ImageJ hyperstacks), NumPy ``.npy`` and zarr.

The axis names of a TIFF file come from its metadata (ImageJ hyperstacks are
``TZCYX`` in that order, RGB images ``YXS``), so a time-lapse read from a file
is denoised as a time-lapse without being named.  Pixel size, z spacing and
frame interval are carried over to the written file.

Images larger than memory are read lazily as dask arrays (`read_lazy`: a
zarr store, a TIFF file through tifffile's zarr interface, or a ``.npy``
file mapped into memory) and written chunk by chunk into a zarr store
(`write_zarr`).  A zarr store keeps its axis names as the array's dimension
names.
"""

from __future__ import annotations

import contextlib
import os
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import DEFAULT_AXES

__all__ = [
    "ImageData",
    "LazyImage",
    "read_image",
    "read_lazy",
    "supported_kind",
    "write_image",
    "write_zarr",
]

_TIFF_SUFFIXES = (".tif", ".tiff")
_NPY_SUFFIXES = (".npy",)
_ZARR_SUFFIXES = (".zarr",)
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
        ``"tiff"`` for ``.tif`` and ``.tiff``, ``"npy"`` for ``.npy``,
        ``"zarr"`` for ``.zarr`` (any case).

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
    if suffix in _ZARR_SUFFIXES:
        return "zarr"
    raise ValueError(
        f"{path}: unknown format {suffix or '(no suffix)'!r}; use .tif, .tiff, .npy or .zarr"
    )


def read_image(path: str | os.PathLike[str]) -> ImageData:
    """Read an image file.

    Parameters
    ----------
    path : str or path-like
        A ``.tif``/``.tiff`` file (its first image series), a ``.npy`` file or
        a ``.zarr`` array store (read whole; see `read_lazy` for large ones).

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
    kind = supported_kind(path)
    if kind == "npy":
        return ImageData(np.load(path, allow_pickle=False), None)
    if kind == "zarr":
        array = _open_zarr(path)
        return ImageData(np.asarray(array[...]), _zarr_axes(array))

    import tifffile

    with tifffile.TiffFile(path) as tif:
        data = tif.series[0].asarray()
        axes, metadata = _tiff_header(tif)
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
        Target ``.tif``/``.tiff`` or ``.npy`` file, or ``.zarr`` store (see
        `write_zarr`); overwritten if it exists.
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
    if kind == "zarr":
        import dask.array as da

        da.compute(write_zarr(path, da.from_array(data), axes))
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


# --------------------------------------------------------------------------
# Lazy reading and chunked writing (dask)


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
        Geometry as in `ImageData.metadata` (TIFF files only).
    """

    data: Any
    axes: str | None
    metadata: dict[str, Any] = field(default_factory=dict)


def _open_zarr(path: Path) -> Any:
    import zarr

    try:
        node = zarr.open(store=str(path), mode="r")
    except FileNotFoundError as err:
        raise OSError(f"{path}: no zarr store") from err
    if not isinstance(node, zarr.Array):
        names = sorted(node.array_keys()) if isinstance(node, zarr.Group) else []
        hint = (
            f"; it holds the arrays {', '.join(names)}: name one, e.g. {path}/{names[0]}"
            if names
            else ""
        )
        raise ValueError(f"{path}: a zarr group, not an array{hint}")
    return node


def _zarr_axes(array: Any) -> str | None:
    """Axis names of a zarr array: its dimension names, else an ``axes`` attribute."""
    names = getattr(array.metadata, "dimension_names", None)
    candidates: list[Any] = []
    if names is not None and all(isinstance(n, str) for n in names):
        candidates.append("".join(names))
    attrs = array.attrs.asdict()
    candidates.append(attrs.get("axes"))
    dims = attrs.get("_ARRAY_DIMENSIONS")  # the xarray convention
    if isinstance(dims, list) and all(isinstance(n, str) for n in dims):
        candidates.append("".join(dims))
    for text in candidates:
        if (
            isinstance(text, str)
            and len(text) == array.ndim
            and set(text.upper()) <= _KNOWN_AXES
        ):
            return text.upper()
    return None


class _FileArray:
    """A file's pixels as an array-like that dask reads region by region.

    Each process opens its own reader on first use (an open TIFF or memory
    map does not travel to other processes), so a graph built on it runs on
    a distributed cluster whose workers see the same file.
    """

    def __init__(self, path: Path, kind: str) -> None:
        self.path = str(path)
        self.kind = kind
        self._lock = threading.Lock()
        self._reader: Any = None
        self._store: Any = None
        reader = self._open()
        self.shape: tuple[int, ...] = tuple(int(n) for n in reader.shape)
        self.dtype = np.dtype(reader.dtype)
        self.ndim = len(self.shape)
        self.chunks: tuple[int, ...] | None = (
            tuple(int(c) for c in reader.chunks) if kind == "tiff" else None
        )

    def _open(self) -> Any:
        with self._lock:
            if self._reader is None:
                if self.kind == "npy":
                    self._reader = np.load(self.path, mmap_mode="r", allow_pickle=False)
                else:
                    import tifffile
                    import zarr

                    self._store = tifffile.imread(self.path, aszarr=True)
                    node = zarr.open(self._store, mode="r")
                    # A pyramid opens as a group: its level 0 is the full image.
                    self._reader = node if isinstance(node, zarr.Array) else node["0"]
            return self._reader

    def close(self) -> None:
        """Close this process's reader; the next read opens it again."""
        with self._lock:
            store, self._store, self._reader = self._store, None, None
        if store is not None:
            store.close()

    def __del__(self) -> None:
        # The TIFF store holds an open file: close it rather than leave it to
        # the garbage collector, which would warn about it.
        with contextlib.suppress(Exception):
            self.close()

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        return np.asarray(self._open()[index])

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_reader"] = None
        state["_store"] = None
        del state["_lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()


def _tiff_header(tif: Any) -> tuple[str | None, dict[str, Any]]:
    """Axis names (None when unusable) and the metadata worth keeping of an open TIFF."""
    series = tif.series[0]
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
    if axes is not None and (len(axes) != len(series.shape) or not set(axes) <= _KNOWN_AXES):
        axes = None
    return axes, metadata


def _tiff_axes_and_metadata(path: Path) -> tuple[str | None, dict[str, Any]]:
    import tifffile

    with tifffile.TiffFile(path) as tif:
        return _tiff_header(tif)


def read_lazy(path: str | os.PathLike[str]) -> LazyImage:
    """Open an image file as a dask array, reading nothing yet.

    Parameters
    ----------
    path : str or path-like
        A ``.zarr`` array store, a ``.tif``/``.tiff`` file (its first image
        series, read through tifffile's zarr interface page by page) or a
        ``.npy`` file (mapped into memory).

    Returns
    -------
    LazyImage
        The dask array, chunked as the file stores its pixels, and the axis
        names when the file records them.

    Raises
    ------
    ValueError
        For an unsupported file type or a zarr group.
    OSError
        When the file cannot be opened.
    """
    import dask.array as da
    from dask.base import tokenize

    path = Path(path)
    kind = supported_kind(path)
    if kind == "zarr":
        array = _open_zarr(path)
        return LazyImage(da.from_zarr(array), _zarr_axes(array))
    source = _FileArray(path, kind)
    stat = path.stat()
    name = f"read-{kind}-" + tokenize(str(path.resolve()), stat.st_size, stat.st_mtime_ns)
    data = da.from_array(source, chunks=source.chunks or "auto", name=name, lock=False)
    if kind == "npy":
        return LazyImage(data, None)
    axes, metadata = _tiff_axes_and_metadata(path)
    return LazyImage(data, axes, metadata)


def write_zarr(path: str | os.PathLike[str], data: Any, axes: str) -> Any:
    """Prepare writing a dask array into a new zarr store, chunk by chunk.

    Parameters
    ----------
    path : str or path-like
        The ``.zarr`` store to create; an existing store there is replaced.
    data : dask.array.Array
        The pixels.  Zarr chunks take the size of its first chunk along each
        axis; the array is re-cut to match where its chunks differ.
    axes : str
        One letter per dimension of `data`, stored as the array's dimension
        names and as its ``axes`` attribute.

    Returns
    -------
    dask.delayed.Delayed
        Computing it computes `data` and writes each chunk as soon as it is
        ready.
    """
    import dask.array as da
    import zarr

    if len(axes) != data.ndim:
        raise ValueError(f"axes {axes!r} do not fit an image of shape {data.shape}")
    chunks = tuple(max(1, c[0]) for c in data.chunks)
    regular = tuple(
        tuple([size] * (n // size) + ([n % size] if n % size else [])) if n else (0,)
        for size, n in zip(chunks, data.shape, strict=True)
    )
    if data.chunks != regular:
        data = data.rechunk(regular)
    target = zarr.create_array(
        store=str(path),
        shape=data.shape,
        chunks=chunks,
        dtype=data.dtype,
        dimension_names=list(axes),
        attributes={"axes": axes},
        overwrite=True,
    )
    # Every dask chunk is one zarr chunk, so the chunks are written without
    # locks as soon as each is done.  (`dask.array.to_zarr` into an existing
    # array would first merge chunks up to dask's default chunk size.)
    return da.store(data, target, lock=False, compute=False)
