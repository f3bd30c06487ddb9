"""The command's files: checks of inputs and outputs, reading, and atomic writing."""

from __future__ import annotations

import contextlib
import errno
import functools
import glob
import os
import re
import secrets
import shutil
import signal
import socket
import threading
from collections.abc import Callable, Iterator, Sequence
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


def _expand_inputs(items: Sequence[Path], output: Path | None = None) -> list[Path]:
    """The files named by `items`: files and stores as given, folders' images, glob patterns.

    A file named more than once (also under another name) is taken once.
    The folder `output` (where a batch writes), and what a pattern finds in
    it, are left out: those are the batch's own results.
    """
    into = None if output is None else output.resolve()

    def ours(path: Path) -> bool:
        return into is not None and into in (path.resolve(), *path.resolve().parents)

    found: list[Path] = []
    for item in items:
        text = str(item)
        if any(c in text for c in "*?[") and not item.exists():
            matches = sorted(Path(p) for p in glob.glob(text))
            found.extend([p for p in matches if not ours(p)] if matches else [item])
        elif item.is_dir() and not _is_zarr_path(item):
            if ours(item):
                continue
            found.extend(
                p
                for p in sorted(item.iterdir())
                if not p.name.startswith(".") and (_readable(p) or _dangling(p))
            )
        else:
            found.append(item)
    seen: set[Path] = set()
    unique = []
    for path in found:
        key = path.resolve() if path.exists() else path  # a missing file is reported once
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique


def _dangling(path: Path) -> bool:
    """A link to nothing, named as an image: reported as missing rather than skipped."""
    try:
        supported_kind(path)
    except ValueError:
        return False
    return path.is_symlink() and not path.exists()


def _readable(path: Path) -> bool:
    try:
        supported_kind(path)
    except ValueError:
        return False
    return path.is_file() or _is_zarr_path(path)


def _check_input(path: Path) -> None:
    if path.is_symlink() and not path.exists():
        raise CommandError(f"{path}: a link to {os.readlink(path)}, which does not exist")
    if not path.exists():
        raise CommandError(f"{path}: no such file")
    if _is_zarr_path(path):
        if not path.is_dir():
            raise CommandError(f"{path}: not a zarr store")
        return
    if not path.is_file():
        raise CommandError(f"{path}: not a file")
    supported_kind(path)


def _check_not_an_input(dst: Path, inputs: Sequence[Path]) -> None:
    """Refuse an output that is one of the inputs (also under another name or a link)."""
    if dst.exists() and any(dst.resolve() == p.resolve() for p in inputs):
        raise CommandError(f"{dst}: the output would replace its input")


def _check_output(src: Path, dst: Path, overwrite: bool = False) -> None:
    if supported_kind(dst) == "bioio":  # before the denoising, named as given
        raise CommandError(f"{dst}: {dst.suffix} files are read, not written; write .ome.tif")
    if _is_zarr_path(dst):
        if dst.exists() and not _is_zarr_store(dst):
            raise CommandError(f"{dst}: exists and is not a zarr store; not replacing it")
    elif dst.is_dir():
        raise CommandError(f"{dst}: is a directory")
    if not dst.parent.is_dir():
        raise CommandError(f"{dst}: directory {dst.parent} does not exist")
    _check_not_an_input(dst, [src])
    if dst.exists() and not overwrite:
        raise CommandError(f"{dst}: exists; give --overwrite to replace it")
    if supported_kind(dst) == "npy" and sidecar(dst).exists() and not overwrite:
        raise CommandError(
            f"{sidecar(dst)}: exists and would be replaced by the metadata of {dst.name}; "
            "give --overwrite to replace it"
        )


def _read_error(path: Path, err: Exception, doing: str) -> CommandError:
    if isinstance(err, MemoryError):
        hint = "; --chunks denoises it chunk by chunk" if doing == "read" else ""
        return CommandError(f"{path}: not enough memory to {doing} the image{hint}")
    message = _one_line(err)
    if message.startswith(f"{path}:"):  # the reader's own account
        return CommandError(message)
    # A damaged file can fail anywhere inside the readers, with any error.
    return CommandError(f"{path}: cannot {doing} the image ({message})")


def _read(path: Path, level: int = 0, series: int = 0) -> ImageData:
    try:
        return read_image(path, level=level, series=series)
    except Exception as err:
        raise _read_error(path, err, "read") from err


def _open_lazy(path: Path, level: int = 0, series: int = 0) -> LazyImage:
    try:
        return read_lazy(path, level=level, series=series)
    except Exception as err:
        raise _read_error(path, err, "open") from err


@functools.cache
def _machine() -> str:
    """Name the machine and its boot as the names of partial outputs hold them: ``HOST-BOOT``.

    A process ID means something only on the machine that gave it, and only
    until that machine restarts; a shared folder holds the partial outputs
    of other machines too.
    """
    host = re.sub(r"[^A-Za-z0-9-]", "-", socket.gethostname())[:48] or "host"
    try:
        boot = Path("/proc/sys/kernel/random/boot_id").read_text(encoding="ascii")
    except OSError:
        boot = ""
    return f"{host}-{(boot.strip().replace('-', '') + '0' * 8)[:8]}"


def _partial_pattern() -> re.Pattern[str]:
    """Hidden files and stores this machine writes: ``.STEM.MACHINE.PID-RANDOM.KIND[TAIL]``.

    KIND is ``partial`` for an output being written and ``replaced`` for an
    output moved aside while its successor takes its place.
    """
    return re.compile(
        rf"^\.(?P<stem>.+)\.{re.escape(_machine())}\.(?P<pid>\d+)-[0-9a-f]{{8}}"
        r"\.(?P<kind>partial|replaced)(?P<tail>\..+)?$"
    )


def _partial_path(dst: Path, tail: str, kind: str = "partial") -> Path:
    stem = dst.name[: len(dst.name) - len(tail)] if tail else dst.name
    token = f"{_machine()}.{os.getpid()}-{secrets.token_hex(4)}"
    return dst.with_name(f".{stem}.{token}.{kind}{tail}")


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True  # another user's process, or not a PID: leave it alone
    return True


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def _remove_stale_partials(folder: Path) -> None:
    """Clear what runs of this machine killed before cleaning up left in `folder`.

    Partial outputs of dead runs are removed.  An output a dead run had moved
    aside is put back where its successor never arrived, else removed.  The
    files of other machines, and of runs still going, are left alone.
    """
    pattern = _partial_pattern()
    with contextlib.suppress(OSError):
        for path in sorted(folder.iterdir()):
            match = pattern.match(path.name)
            if match is None or _pid_alive(int(match["pid"])):
                continue
            original = folder / (match["stem"] + (match["tail"] or ""))
            if match["kind"] == "replaced" and not original.exists():
                os.replace(path, original)
            else:
                _remove(path)


class _Publication:
    """Puts a finished output in place, unless the run was interrupted first.

    The writing may run on a worker thread while the main thread receives
    Ctrl-C: the rename and the cancellation take one lock, so that
    afterwards `done` tells whether the output is in place.  Files written
    beside the output (`add`) are put in place just before it, and only
    with it: a run that fails or is interrupted leaves none of them.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._cancelled = False
        self._companions: list[tuple[Path, Path]] = []
        self.done = False

    def add(self, tmp: Path, dst: Path) -> None:
        """Put the written hidden file `tmp` in place of `dst` together with the output."""
        self._companions.append((tmp, dst))

    def rename(self, tmp: Path, dst: Path) -> None:
        """Put `tmp` and the added files in place, all of them or (on an error) none."""
        with self._lock, _interrupts_deferred():
            if self._cancelled:
                raise KeyboardInterrupt
            moves = []
            for source, target in [*self._companions, (tmp, dst)]:
                if sidecar(source).exists():  # a .npy file's metadata, renamed first
                    moves.append((sidecar(source), sidecar(target)))
                moves.append((source, target))
            _replace_all(moves)
            self._companions = []
            self.done = True

    def cancel(self) -> None:
        with self._lock:
            self._cancelled = True

    def discard(self) -> None:
        """Remove the added files that were not put in place."""
        with self._lock:
            for tmp, _ in self._companions:
                _remove(tmp)
                sidecar(tmp).unlink(missing_ok=True)
            self._companions = []


def _set_aside(target: Path) -> Path | None:
    """Keep what `target` holds under a hidden name beside it, to put back; None if nothing.

    A file stays in place (a hard link, or a copy where the file system has
    none); a directory (a zarr store) is moved aside, since another cannot
    replace it in one step.  After a kill, the next run in the folder puts
    a store that was moved aside back (`_remove_stale_partials`).
    """
    if not (target.exists() or target.is_symlink()):
        return None
    aside = _partial_path(target, target.suffix, kind="replaced")
    if target.is_dir() and not target.is_symlink():
        os.replace(target, aside)
        return aside
    try:
        os.link(target, aside, follow_symlinks=False)
    except OSError:
        shutil.copy2(target, aside, follow_symlinks=False)
    return aside


def _replace_all(moves: Sequence[tuple[Path, Path]]) -> None:
    """Rename every ``(source, target)`` of `moves` in order, or, when one fails, none.

    What the targets held is kept aside until all are in place; on a failure
    the sources get back what was renamed and the targets what they held.
    """
    steps: list[tuple[Path, Path, Path | None, list[bool]]] = []
    try:
        for source, target in moves:
            renamed = [False]
            steps.append((source, target, _set_aside(target), renamed))
            os.replace(source, target)
            renamed[0] = True
    except BaseException:
        for source, target, aside, renamed in reversed(steps):
            if renamed[0]:
                os.replace(target, source)
            if aside is not None and not (target.exists() or target.is_symlink()):
                os.replace(aside, target)
        raise
    finally:
        for _, target, aside, _ in steps:
            if aside is not None and target.exists():  # else the next run puts it back
                _remove(aside)


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Hold back Ctrl-C and SIGTERM on the main thread until the block is over.

    A signal that came meanwhile is then handled as it would have been.
    """
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread runs Python's signal handlers
        return
    held = (signal.SIGINT, signal.SIGTERM)
    previous = {s: signal.getsignal(s) for s in held}
    caught: list[int] = []
    for s in held:
        if previous[s] is not None:
            signal.signal(s, lambda number, _: caught.append(number))
    try:
        yield
    finally:
        for s in held:
            if previous[s] is not None:
                signal.signal(s, previous[s])
        for number in dict.fromkeys(caught):
            handler = previous[signal.Signals(number)]
            if callable(handler):
                handler(number, None)
            elif handler == signal.SIG_DFL:
                signal.raise_signal(number)


def _write_error(dst: Path, err: OSError, tmp: Path | None = None) -> CommandError:
    if err.errno == errno.ENOSPC:
        return CommandError(f"{dst}: cannot write the output: no space left on device")
    # The error names the hidden file being written; the user knows the output.
    text = err.strerror or _one_line(err)
    if tmp is not None:
        text = text.replace(str(tmp), str(dst))
    return CommandError(f"{dst}: cannot write the output ({text})")


def _write_text_atomically(dst: Path, text: str) -> None:
    """Write `text` to a hidden file beside `dst` and rename it: `dst` is never partial."""
    _write_file_atomically(dst, lambda tmp: tmp.write_text(text, encoding="utf-8"))


def _write_file_atomically(dst: Path, write: Callable[[Path], object]) -> None:
    """Let `write` fill a hidden file beside `dst` (of its suffix) and rename it to `dst`."""
    _remove_stale_partials(dst.parent)
    tmp = _partial_path(dst, dst.suffix)
    try:
        write(tmp)
        with _interrupts_deferred():
            os.replace(tmp, dst)
    except OSError as err:
        tmp.unlink(missing_ok=True)
        raise _write_error(dst, err, tmp) from err
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def _write_atomically(
    dst: Path,
    data: npt.NDArray[Any],
    axes: str,
    metadata: dict[str, Any],
    publication: _Publication | None = None,
    *,
    with_output: bool = False,
) -> None:
    """Write to a hidden file beside `dst` and rename it: `dst` is never partial.

    With `with_output`, `publication` renames it later, together with its output.
    """
    publication = publication or _Publication()
    _remove_stale_partials(dst.parent)
    # An OME name stays one, so that the file is written as OME-TIFF.
    ome = dst.name.lower().endswith((".ome.tif", ".ome.tiff"))
    tail = dst.name[dst.name.lower().rindex(".ome.") :] if ome else dst.suffix
    tmp = _partial_path(dst, tail)
    try:
        write_image(tmp, data, axes, metadata)
        if with_output:
            publication.add(tmp, dst)
        else:
            publication.rename(tmp, dst)
    except OSError as err:
        _remove(tmp)
        sidecar(tmp).unlink(missing_ok=True)
        raise _write_error(dst, err, tmp) from err
    except BaseException:
        _remove(tmp)
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
    tmp = _partial_path(dst, dst.suffix)
    try:
        store = write_zarr(tmp, data, axes, metadata, ome=ome, levels=levels)
        values: list[Any] = compute(store)
        annotate_zarr(tmp, finish(values))
        aside = _replace_store(tmp, dst)
    except OSError as err:
        shutil.rmtree(tmp, ignore_errors=True)
        raise _write_error(dst, err, tmp) from err
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    if aside is not None:
        shutil.rmtree(aside, ignore_errors=True)  # if stopped, the next run in the folder does
    return values


def _replace_store(tmp: Path, dst: Path) -> Path | None:
    """Put the store `tmp` in place of `dst`; the previous store, moved aside, or None.

    A directory cannot replace another in one step: the previous store is
    moved aside under a hidden name first, and put back if the new one
    cannot take its place.  Signals wait until both are in place; after a
    kill in between, the next run in the folder puts the previous one back.
    """
    with _interrupts_deferred():
        if not dst.exists():
            os.replace(tmp, dst)
            return None
        aside = _partial_path(dst, dst.suffix, kind="replaced")
        os.replace(dst, aside)
        try:
            os.replace(tmp, dst)
        except BaseException:
            os.replace(aside, dst)
            raise
        return aside
