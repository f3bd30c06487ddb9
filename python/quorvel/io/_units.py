"""Units of physical sizes: OME-Zarr names them, OME-XML and ImageJ write symbols."""

from __future__ import annotations

import math
import re
import warnings
from collections.abc import Mapping
from typing import Any

# Symbol (as OME-XML and ImageJ write it) and name (as OME-Zarr does) of the
# units met in microscopy files.
_SYMBOLS = {
    "angstrom": "Å",
    "nanometer": "nm",
    "micrometer": "µm",
    "millimeter": "mm",
    "centimeter": "cm",
    "meter": "m",
    "millisecond": "ms",
    "second": "s",
    "minute": "min",
    "hour": "h",
}
_NAMES = {symbol: name for name, symbol in _SYMBOLS.items()}
_NAMES.update(
    {"um": "micrometer", "micron": "micrometer", "microns": "micrometer", "sec": "second"}
)
# Length units in meters and time units in seconds, to convert the TIFF
# resolution tags and OME-TIFF plane positions.
_METERS = {
    "angstrom": 1e-10,
    "nanometer": 1e-9,
    "micrometer": 1e-6,
    "millimeter": 1e-3,
    "centimeter": 1e-2,
    "meter": 1.0,
}
_SECONDS = {"millisecond": 1e-3, "second": 1.0, "minute": 60.0, "hour": 3600.0}


def unit_name(unit: Any) -> str | None:
    r"""The OME-Zarr name of a unit written as a symbol or name, or None if unknown.

    The ASCII of an ImageJ description writes other characters as escapes
    (``\u00B5m``), and the micro sign is also typed as the Greek mu
    (U+03BC): both are read as the symbol they stand for.
    """
    if not isinstance(unit, str):
        return None
    text = re.sub(r"\\u([0-9A-Fa-f]{4})", lambda m: chr(int(m[1], 16)), unit.strip())
    text = text.replace("\u03bc", "\u00b5")
    if text in _SYMBOLS:
        return text
    return _NAMES.get(text, _NAMES.get(text.lower()))


def unit_symbol(name: str | None) -> str | None:
    """The symbol of a unit named as in OME-Zarr (None for unknown units)."""
    return None if name is None else _SYMBOLS.get(name)


def convert(value: float, unit: str, to: str) -> float:
    """`value` in `unit` expressed in `to` (both length or both time units, by name)."""
    table = _METERS if unit in _METERS else _SECONDS
    return value * table[unit] / table[to]


def convertible(unit: str | None, to: str | None) -> bool:
    """Whether `convert` converts `unit` to `to`: both lengths or both times it names."""
    return any(unit in table and to in table for table in (_METERS, _SECONDS))


def checked_physical(
    physical: Mapping[Any, Any], source: object
) -> dict[str, tuple[float, str | None]]:
    """The physical sizes that are positive finite numbers, by axis letter.

    A file may hold any text or number as a pixel size or time increment;
    the others (0, negative, NaN, beyond the float range, not a number) are
    taken as unknown, with a warning naming `source` (the file).

    Parameters
    ----------
    physical : mapping
        Axis letter to ``(size, unit)``; the size may be text.
    source : object
        What the sizes come from, named in the warning.

    Returns
    -------
    dict
        Axis letter to ``(size, unit)``: a positive finite float and a unit
        name or None.
    """
    kept: dict[str, tuple[float, str | None]] = {}
    refused: list[str] = []
    for axis, entry in physical.items():
        try:
            value, unit = entry
            size = float(value)
        except (TypeError, ValueError, OverflowError):
            shown = entry[0] if isinstance(entry, (tuple, list)) and len(entry) == 2 else entry
            refused.append(f"{axis} {shown!r}")
            continue
        if math.isfinite(size) and size > 0:
            kept[str(axis)] = (size, unit if isinstance(unit, str) else None)
        else:
            refused.append(f"{axis} {value!r}")
    if refused:
        warnings.warn(
            f"{source}: invalid physical size ({', '.join(refused)}): taken as unknown",
            UserWarning,
            stacklevel=2,
        )
    return kept
