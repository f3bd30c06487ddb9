"""What the command prints: one-line errors and warnings, and quiet core output."""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import warnings
from collections.abc import Iterator
from typing import Any

from quorvel._util import one_line as _one_line


class CommandError(Exception):
    """A problem with the command's files or options, reported without a traceback."""


def _describe(data: Any, axes: str) -> str:
    return f"{axes} {' x '.join(str(n) for n in data.shape)} {data.dtype}"


@contextlib.contextmanager
def _core_output_silenced() -> Iterator[None]:
    """Discard what the compute core prints on the process's standard output.

    The core reports a failed noise fit with a diagnostic printed by the C
    runtime, which would break JSON output and summaries; the package reports
    such fits itself.
    """
    try:
        libc: Any = ctypes.CDLL(None)
        libc.fflush(None)
        sys.stdout.flush()
        saved = os.dup(1)
    except (OSError, AttributeError, ValueError):
        yield  # no C runtime or no file descriptor 1 to redirect
        return
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def _warnings_as_lines() -> Iterator[None]:
    """Show warnings as one line each: ``quorvel: warning: ...``."""

    def show(message: Warning | str, *_: Any, **__: Any) -> None:
        print(f"quorvel: warning: {_one_line(Warning(str(message)))}", file=sys.stderr)

    with warnings.catch_warnings():
        # Every warning meant for users, each time; other categories (resource
        # and deprecation notes of libraries) keep Python's default filters.
        warnings.simplefilter("always", UserWarning)
        warnings.simplefilter("always", RuntimeWarning)
        warnings.showwarning = show
        yield
