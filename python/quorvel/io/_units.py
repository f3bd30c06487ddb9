"""Units of physical sizes: OME-Zarr names them, OME-XML and ImageJ write symbols."""

from __future__ import annotations

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
# Length units in meters, to convert the TIFF resolution tags.
_METERS = {"micrometer": 1e-6, "centimeter": 1e-2}


def unit_name(unit: Any) -> str | None:
    """The OME-Zarr name of a unit written as a symbol or name, or None if unknown."""
    if not isinstance(unit, str):
        return None
    text = unit.strip()
    if text in _SYMBOLS:
        return text
    return _NAMES.get(text, _NAMES.get(text.lower()))


def unit_symbol(name: str | None) -> str | None:
    """The symbol of a unit named as in OME-Zarr (None for unknown units)."""
    return None if name is None else _SYMBOLS.get(name)


def convert(value: float, unit: str, to: str) -> float:
    """`value` in `unit` expressed in `to` (both length units named in `_METERS`)."""
    return value * _METERS[unit] / _METERS[to]
