"""What the command prints: one-line errors and warnings, and quiet core output."""

from __future__ import annotations

import contextlib
import sys
import warnings
from collections.abc import Iterator
from typing import Any

from quorvel._core import CoreOutputWarning
from quorvel._util import one_line as _one_line


class CommandError(Exception):
    """A problem with the command's files or options, reported without a traceback."""


@contextlib.contextmanager
def _naming(path: Any, kinds: tuple[type[Exception], ...] = (Exception,)) -> Iterator[None]:
    """Errors of a computation that reads `path` (a chunk it cannot decode) name the file.

    Errors of `kinds` only (any by default).
    """
    try:
        yield
    except (CommandError, OSError):
        raise
    except kinds as err:
        message = _one_line(err)
        if message.startswith(str(path)):
            raise
        raise CommandError(f"{path}: {message}") from err


def _shown(path: Any) -> str:
    """`path` for a one-line report: line breaks and other control characters escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(path))


def _describe(data: Any, axes: str) -> str:
    return f"{axes} {' x '.join(str(n) for n in data.shape)} {data.dtype}"


@contextlib.contextmanager
def _core_output_silenced() -> Iterator[None]:
    """Hide the compute core's diagnostics (`CoreOutputWarning`).

    The core reports a failed noise fit with a text of its own, which the
    package catches; the command reports such fits itself.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CoreOutputWarning)
        yield


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
