"""The denoiser's settings written as text: command-line options and napari fields.

Each function reads one text form and raises ValueError, with the text in
the message, for anything else; `format_search` writes a search back.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

from quorvel._axes import CORE_AXES

if TYPE_CHECKING:
    from quorvel._params import Search

__all__ = [
    "format_search",
    "parse_by_axis",
    "parse_chunk_spec",
    "parse_numbers",
    "parse_patch_radius",
    "parse_search",
]


def parse_numbers(text: str) -> tuple[float, ...]:
    """Comma-separated numbers, e.g. one per channel: ``"2.1,1.8"``."""
    try:
        return tuple(float(v) for v in text.split(","))
    except ValueError as err:
        raise ValueError(f"expected a number or comma-separated numbers, got {text!r}") from err


def parse_by_axis(text: str) -> dict[str, int]:
    """Integers by axis letter: ``"X=3,Y=3,Z=1"`` gives ``{"X": 3, "Y": 3, "Z": 1}``.

    Raises ValueError for anything else, an axis given twice included.
    """
    out: dict[str, int] = {}
    for key, value in (item.split("=") for item in text.split(",")):
        axis = key.strip().upper()
        if axis in out:
            raise ValueError(f"axis {axis} is given twice in {text!r}")
        out[axis] = int(value)
    return out


def parse_search(text: str) -> str | dict[str, int | None]:
    """A search as text: letters such as ``"ZT"``, or by axis such as ``"Z,T=1"``.

    In the second form a bare letter searches that axis with the growing
    window and ``T=n`` with a reach of n; raises ValueError for anything else (an
    axis given twice too).
    """
    if "=" not in text:
        return text.strip().upper()
    out: dict[str, int | None] = {}
    for item in text.split(","):
        key, sep, value = item.partition("=")
        axis = key.strip().upper()
        if len(axis) != 1:
            raise ValueError(f"expected an axis letter, got {key!r}")
        if axis in out:
            raise ValueError(f"axis {axis} is given twice in {text!r}")
        out[axis] = int(value) if sep else None
    return out


def format_search(search: Search) -> str:
    """The text form of a search, as `parse_search` reads it."""
    if isinstance(search, str):
        return search
    return ",".join(axis if n is None else f"{axis}={n}" for axis, n in search.items())


def parse_patch_radius(text: str) -> int | dict[str, int]:
    """A patch radius such as ``"3"``, or radii by axis such as ``"X=3,Y=3,Z=1"``."""
    try:
        return parse_by_axis(text) if "=" in text else int(text)
    except ValueError as err:
        raise ValueError(
            f"expected a radius such as 3, or radii by axis such as X=3,Y=3,Z=1; got {text!r}"
        ) from err


def parse_chunk_spec(text: str) -> dict[str, int]:
    """Parse chunk sizes written as ``'T=1,Y=512,X=512'``.

    Parameters
    ----------
    text : str
        Comma-separated ``AXIS=SIZE`` items; axes are ``T``, ``C`` (or
        ``S``), ``Z``, ``Y`` and ``X``, in any case, each at most once.

    Returns
    -------
    dict
        Maps upper-case core axis letters to positive chunk sizes.

    Raises
    ------
    ValueError
        For empty text, an item without ``=``, an unknown or
        repeated axis, or a size that is not a positive integer.
    """
    items = [item.strip() for item in text.split(",")]
    if not text.strip() or any(not item for item in items):
        raise ValueError(f"chunks {text!r}: expected AXIS=SIZE items separated by commas")
    out: dict[str, int] = {}
    for item in items:
        match = re.fullmatch(r"([A-Za-z])\s*=\s*([+-]?\d+)", item)
        if match is None:
            raise ValueError(f"chunks {text!r}: {item!r} is not of the form AXIS=SIZE, e.g. Y=512")
        letter, size = match.group(1).upper(), int(match.group(2))
        axis = "C" if letter == "S" else letter
        if axis not in CORE_AXES:
            raise ValueError(f"chunks {text!r}: unknown axis {letter!r}; use T, C, Z, Y or X")
        if axis in out:
            raise ValueError(f"chunks {text!r}: axis {axis} is given twice")
        if size < 1:
            raise ValueError(f"chunks {text!r}: the size along {axis} must be >= 1, got {size}")
        out[axis] = size
    return out
