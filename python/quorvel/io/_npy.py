"""NumPy ``.npy`` files, with the metadata in a sidecar ``.json`` file beside them."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel.io._display import checked_colours, checked_mode
from quorvel.io._image import ImageData, ImageHeader, valid_axes
from quorvel.io._units import checked_physical


def sidecar(path: Path) -> Path:
    """The metadata file of a ``.npy`` file: ``name.npy`` has ``name.json``."""
    return path.with_suffix(".json")


def read_sidecar(path: Path, ndim: int) -> tuple[str | None, dict[str, Any]]:
    """Axes and metadata from the sidecar of `path` written by `write_npy` (none if absent)."""
    try:
        record = json.loads(sidecar(path).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None, {}
    if not isinstance(record, dict):
        return None, {}
    metadata: dict[str, Any] = {}
    physical = record.get("physical")
    if isinstance(physical, dict):
        metadata["physical"] = checked_physical(physical, sidecar(path))
    for key in ("channels", "provenance"):
        if key in record:
            metadata[key] = record[key]
    colours, mode = checked_colours(record.get("colours")), checked_mode(record.get("mode"))
    metadata.update({k: v for k, v in (("colours", colours), ("mode", mode)) if v is not None})
    return valid_axes(record.get("axes"), ndim), metadata


def sidecar_axes_problem(path: Path, shape: tuple[int, ...]) -> str | None:
    """Why the axes the sidecar of `path` records do not fit its data of `shape`, or None.

    None too when there is no sidecar or it records no axes.
    """
    try:
        record = json.loads(sidecar(path).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    axes = record.get("axes") if isinstance(record, dict) else None
    if axes is None or valid_axes(axes, len(shape)) is not None:
        return None
    dims = " x ".join(map(str, shape))
    return (
        f"{sidecar(path)}: its axes {axes!r} do not fit the {len(shape)}-D data ({dims}) of {path}"
    )


def read_npy_header(path: Path) -> ImageHeader:
    """Shape, sample type, axes and metadata of a ``.npy`` file, reading no pixels."""
    header = np.load(path, mmap_mode="r", allow_pickle=False)
    shape, dtype = tuple(header.shape), header.dtype
    del header
    axes, metadata = read_sidecar(path, len(shape))
    return ImageHeader(shape, dtype, axes, metadata)


def read_npy(path: Path) -> ImageData:
    """A ``.npy`` file and the axes and metadata of its sidecar, if any."""
    data = np.load(path, allow_pickle=False)
    axes, metadata = read_sidecar(path, data.ndim)
    return ImageData(data, axes, metadata)


def sidecar_text(axes: str, metadata: dict[str, Any]) -> str:
    """The sidecar's JSON for an image written with `axes` and `metadata`.

    The axes are always recorded: a ``.npy`` file has no other place for
    them, and a reader without them would take a 3-D time-lapse for a z-stack.
    """
    kept: dict[str, Any] = {
        k: metadata[k] for k in ("physical", "channels", "provenance") if k in metadata
    }
    colours, mode = checked_colours(metadata.get("colours")), checked_mode(metadata.get("mode"))
    kept.update({k: v for k, v in (("colours", colours), ("mode", mode)) if v is not None})
    record: dict[str, Any] = {"axes": axes, **kept}
    return json.dumps(record, indent=2) + "\n"


class _Stream:
    """A file seen only through its `write` method.

    NumPy writes the data of a real file with ``ndarray.tofile``, whose
    errors tell byte counts ("N requested and M written") and lose the
    reason; through `write` a full disk is an OSError with ENOSPC.
    """

    def __init__(self, file: Any) -> None:
        self.write = file.write


def write_npy(path: Path, data: npt.NDArray[Any]) -> None:
    """Write the pixels of a ``.npy`` file (the caller writes the sidecar)."""
    with open(path, "wb") as file:
        np.lib.format.write_array(_Stream(file), np.asanyarray(data), allow_pickle=False)
        file.flush()
