"""The command's files: checks of inputs and outputs, reading, and atomic writing."""

from __future__ import annotations

import contextlib
import errno
import glob
import os
import re
import secrets
import shutil
import signal
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy.typing as npt

from quorvel._util import one_line as _one_line
from quorvel.cli._console import CommandError
from quorvel.io import (
    ImageData,
    LazyImage,
    read_image,
    read_lazy,
    supported_kind,
    write_image,
    write_zarr,
)
from quorvel.io._npy import sidecar
from quorvel.io._zarr import annotate_zarr


def _is_zarr_store(path: Path) -> bool:
    return path.is_dir() and any((path / n).is_file() for n in ("zarr.json", ".zarray", ".zgroup"))


def _is_zarr_path(path: Path) -> bool:
    """A ``.zarr`` name, or a zarr store under another name (an array inside a group)."""
    return path.suffix.lower() == ".zarr" or _is_zarr_store(path)


def _expand_inputs(items: Sequence[Path]) -> list[Path]:
    """The files named by `items`: files and stores as given, folders' images, glob patterns."""
    found: list[Path] = []
    for item in items:
        text = str(item)
        if any(c in text for c in "*?[") and not item.exists():
            matches = sorted(Path(p) for p in glob.glob(text))
            found.extend(matches or [item])  # no match: reported as missing
        elif item.is_dir() and not _is_zarr_path(item):
            found.extend(
                p for p in sorted(item.iterdir()) if not p.name.startswith(".") and _readable(p)
            )
        else:
            found.append(item)
    return found


def _readable(path: Path) -> bool:
    try:
        supported_kind(path)
    except ValueError:
        return False
    return path.is_file() or _is_zarr_path(path)


def _check_input(path: Path) -> None:
    if not path.exists():
        raise CommandError(f"{path}: no such file")
    if _is_zarr_path(path):
        if not path.is_dir():
            raise CommandError(f"{path}: not a zarr store")
        return
    if not path.is_file():
        raise CommandError(f"{path}: not a file")
    supported_kind(path)


def _check_output(src: Path, dst: Path, overwrite: bool = False) -> None:
    supported_kind(dst)
    if _is_zarr_path(dst):
        if dst.exists() and not _is_zarr_store(dst):
            raise CommandError(f"{dst}: exists and is not a zarr store; not replacing it")
    elif dst.is_dir():
        raise CommandError(f"{dst}: is a directory")
    if not dst.parent.is_dir():
        raise CommandError(f"{dst}: directory {dst.parent} does not exist")
    if dst.exists() and dst.resolve() == src.resolve():
        raise CommandError(f"{dst}: the output would replace its input")
    if dst.exists() and not overwrite:
        raise CommandError(f"{dst}: exists; give --overwrite to replace it")


def _read(path: Path, level: int = 0) -> ImageData:
    try:
        return read_image(path, level=level)
    except MemoryError:
        raise
    except Exception as err:
        # A damaged file can fail anywhere inside the readers, with any error.
        raise CommandError(f"{path}: cannot read the image ({_one_line(err)})") from err


def _open_lazy(path: Path, level: int = 0) -> LazyImage:
    try:
        return read_lazy(path, level=level)
    except (ValueError, MemoryError):
        raise
    except Exception as err:
        raise CommandError(f"{path}: cannot open the image ({_one_line(err)})") from err


# Hidden files and stores being written: ``.NAME.PID-RANDOM.partial[.SUFFIX]``.
_PARTIAL = re.compile(r"^\.(?P<stem>.+)\.(?P<pid>\d+)-[0-9a-f]{8}\.partial(\..+)?$")


def _partial_path(dst: Path, tail: str) -> Path:
    stem = dst.name[: len(dst.name) - len(tail)] if tail else dst.name
    return dst.with_name(f".{stem}.{os.getpid()}-{secrets.token_hex(4)}.partial{tail}")


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True  # another user's process, or not a PID: leave it alone
    return True


def _remove_stale_partials(folder: Path) -> None:
    """Remove the partial outputs that runs killed before cleaning up left in `folder`."""
    with contextlib.suppress(OSError):
        for path in folder.iterdir():
            match = _PARTIAL.match(path.name)
            if match is None or _pid_alive(int(match["pid"])):
                continue
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path, ignore_errors=True)
            else:
                path.unlink(missing_ok=True)


class _Publication:
    """Puts a finished output in place, unless the run was interrupted first.

    The writing may run on a worker thread while the main thread receives
    Ctrl-C: the rename and the cancellation take one lock, so that
    afterwards `done` tells whether the output is in place.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._cancelled = False
        self.done = False

    def rename(self, tmp: Path, dst: Path) -> None:
        with self._lock, _interrupts_deferred():
            if self._cancelled:
                raise KeyboardInterrupt
            if sidecar(tmp).exists():  # a .npy file's metadata, renamed first
                os.replace(sidecar(tmp), sidecar(dst))
            os.replace(tmp, dst)
            self.done = True

    def cancel(self) -> None:
        with self._lock:
            self._cancelled = True


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Hold back Ctrl-C on the main thread until the block is over."""
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or previous is None:
        yield  # only the main thread receives KeyboardInterrupt from Python's handler
        return
    caught: list[Any] = []
    signal.signal(signal.SIGINT, lambda *frame: caught.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            raise KeyboardInterrupt


def _write_error(dst: Path, err: OSError) -> CommandError:
    if err.errno == errno.ENOSPC:
        return CommandError(f"{dst}: cannot write the output: no space left on device")
    return CommandError(f"{dst}: cannot write the output ({_one_line(err)})")


def _write_atomically(
    dst: Path,
    data: npt.NDArray[Any],
    axes: str,
    metadata: dict[str, Any],
    publication: _Publication | None = None,
) -> None:
    """Write to a hidden file beside `dst` and rename it: `dst` is never partial."""
    _remove_stale_partials(dst.parent)
    # An OME name stays one, so that the file is written as OME-TIFF.
    ome = dst.name.lower().endswith((".ome.tif", ".ome.tiff"))
    tail = dst.name[dst.name.lower().rindex(".ome.") :] if ome else dst.suffix
    tmp = _partial_path(dst, tail)
    try:
        write_image(tmp, data, axes, metadata)
        (publication or _Publication()).rename(tmp, dst)
    except OSError as err:
        tmp.unlink(missing_ok=True)
        sidecar(tmp).unlink(missing_ok=True)
        raise _write_error(dst, err) from err
    except BaseException:
        tmp.unlink(missing_ok=True)
        sidecar(tmp).unlink(missing_ok=True)
        raise


def _write_zarr_atomically(
    dst: Path,
    data: Any,
    axes: str,
    compute: Any,
    metadata: dict[str, Any],
    finish: Any,
    *,
    ome: bool,
    levels: int,
) -> list[Any]:
    """Write `data` into a hidden store beside `dst`, then put it in place of `dst`.

    `compute` runs the graph (the store first, then any further result it is
    handed by the caller) and returns the computed values; `finish` is then
    called with them and returns the metadata to record before the store is
    put in place.
    """
    _remove_stale_partials(dst.parent)
    tmp = dst.with_name(f".{dst.stem}.{os.getpid()}-{secrets.token_hex(4)}.partial.zarr")
    try:
        store = write_zarr(tmp, data, axes, metadata, ome=ome, levels=levels)
        values: list[Any] = compute(store)
        annotate_zarr(tmp, finish(values))
        if dst.exists():
            shutil.rmtree(dst)
        os.replace(tmp, dst)
    except OSError as err:
        shutil.rmtree(tmp, ignore_errors=True)
        raise _write_error(dst, err) from err
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return values
