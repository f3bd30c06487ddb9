"""A TIFF or ``.npy`` file's pixels as an array-like that dask reads region by region."""

from __future__ import annotations

import contextlib
import threading
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt


class FileArray:
    """A file's pixels as an array-like that dask reads region by region.

    Each process opens its own reader on first use (an open TIFF or memory
    map does not travel to other processes), so a graph built on it runs on
    a distributed cluster whose workers see the same file.
    """

    def __init__(self, path: Path, kind: str, series: int = 0, level: int = 0) -> None:
        self.path = str(path)
        self.kind = kind
        self.series = series
        self.level = level
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

                    self._store = tifffile.imread(
                        self.path, aszarr=True, series=self.series, level=self.level
                    )
                    node = zarr.open(self._store, mode="r")
                    # A pyramid may open as a group: its level 0 is the full image.
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
