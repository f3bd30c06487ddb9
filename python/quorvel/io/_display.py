"""How the channels are shown: colours, ImageJ lookup tables and display mode, per format.

The metadata of an image (`quorvel.io.ImageData.metadata`) holds them as

- ``colours``: one ``"RRGGBB"`` colour per channel, the colour of its
  brightest value;
- ``luts``: ImageJ lookup tables, one ``(3, 256)`` ``uint8`` array per
  channel, written back as they are into ImageJ files;
- ``mode``: ImageJ's display mode, ``"composite"`` (channels overlaid),
  ``"color"`` (one channel at a time in its colour) or ``"grayscale"``.

ImageJ hyperstacks hold lookup tables and the mode; OME-TIFF the channel
colour as a signed RGBA integer (and here the mode as a map annotation);
OME-Zarr the ``omero`` metadata read by napari and ome-zarr: channel label,
colour, display window and ``rdefs.model`` (``"color"`` for channels shown
in colour, ``"greyscale"``).
"""

from __future__ import annotations

import itertools
import math
import re
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

#: ImageJ's display modes.
MODES = ("composite", "color", "grayscale")
#: Namespace of the OME map annotation that holds the display mode.
DISPLAY_NAMESPACE = "quorvel.display"

# Colours by channel count when a file has none: one channel white (gray),
# two magenta and green, more in turn from the cycle (napari's choice).
_ONE, _TWO = ("FFFFFF",), ("FF00FF", "00FF00")
_MANY = ("00FFFF", "FF00FF", "FFFF00", "0000FF", "00FF00", "FF0000")
_HEX = re.compile(r"^#?([0-9A-Fa-f]{6})$")


def default_colours(n: int) -> list[str]:
    """The colours of `n` channels whose file records none."""
    chosen = _ONE if n == 1 else _TWO if n == 2 else _MANY
    return list(itertools.islice(itertools.cycle(chosen), n))


def _colour(value: Any) -> str | None:
    match = _HEX.match(value) if isinstance(value, str) else None
    return match.group(1).upper() if match else None


def checked_colours(value: Any, n: int | None = None) -> list[str] | None:
    """`value` as ``"RRGGBB"`` colours (upper case), or None unless it is one per channel."""
    if not isinstance(value, (list, tuple)) or not value:
        return None
    colours = [_colour(v) for v in value]
    if any(c is None for c in colours) or (n is not None and len(colours) != n):
        return None
    return [str(c) for c in colours]


def channel_colours(metadata: dict[str, Any], n: int) -> list[str] | None:
    """The colours `metadata` gives `n` channels (from ``colours``, else ``luts``), or None."""
    colours = checked_colours(metadata.get("colours"), n)
    if colours is None:
        luts = checked_luts(metadata.get("luts"), n)
        colours = None if luts is None else [colour_of_lut(lut) for lut in luts]
    return colours


def checked_luts(value: Any, n: int | None = None) -> list[npt.NDArray[np.uint8]] | None:
    """`value` as ImageJ lookup tables (``(3, 256)`` ``uint8``), or None unless one per channel."""
    if not isinstance(value, (list, tuple)) or not value or (n is not None and len(value) != n):
        return None
    luts = [np.asarray(v) for v in value]
    if any(lut.shape != (3, 256) or lut.dtype != np.uint8 for lut in luts):
        return None
    return luts


def colour_of_lut(lut: npt.NDArray[np.uint8]) -> str:
    """The colour of a lookup table's brightest entry."""
    return "".join(f"{int(v):02X}" for v in lut[:, -1])


def lut_of_colour(colour: str) -> npt.NDArray[np.uint8]:
    """A lookup table from black to `colour` (``"RRGGBB"``)."""
    rgb = np.array([int(colour[i : i + 2], 16) for i in (0, 2, 4)], dtype=np.float64)
    ramp = np.arange(256, dtype=np.float64) / 255.0
    return np.rint(np.outer(rgb, ramp)).astype(np.uint8)


def checked_mode(value: Any) -> str | None:
    """An ImageJ display mode in lower case, or None."""
    mode = value.strip().lower() if isinstance(value, str) else None
    return mode if mode in MODES else None


# --------------------------------------------------------------------------
# ImageJ


def read_imagej(ij: dict[str, Any], n: int) -> dict[str, Any]:
    """``luts``, ``colours`` and ``mode`` from ImageJ metadata of an image of `n` channels."""
    found: dict[str, Any] = {}
    luts = checked_luts(ij.get("LUTs"), n)
    if luts is None:
        # A mode without lookup tables is a writer's default (tifffile writes
        # "grayscale"): ImageJ saves the tables of the images it shows so.
        return found
    found["luts"] = luts
    found["colours"] = [colour_of_lut(lut) for lut in luts]
    mode = checked_mode(ij.get("mode"))
    if mode is not None and n > 1:
        found["mode"] = mode
    return found


def imagej_options(metadata: dict[str, Any], n: int) -> dict[str, Any]:
    """The ImageJ metadata (``LUTs``, ``mode``) that shows `n` channels as `metadata` says."""
    options: dict[str, Any] = {}
    luts = checked_luts(metadata.get("luts"), n)
    colours = channel_colours(metadata, n)
    if luts is None and colours is not None:
        luts = [lut_of_colour(c) for c in colours]
    if luts is not None:
        options["LUTs"] = luts
    mode = checked_mode(metadata.get("mode"))
    if mode is None and n > 1 and colours is not None:
        mode = "composite"  # channels in colour, as the file they come from shows them
    if mode is not None and n > 1:
        options["mode"] = mode
    return options


# --------------------------------------------------------------------------
# OME-XML


def ome_color(colour: str) -> int:
    """An ``"RRGGBB"`` colour as OME-XML's Color: RGBA, opaque, as a signed 32-bit integer."""
    value = (int(colour, 16) << 8) | 0xFF
    return value - 2**32 if value >= 2**31 else value


def colour_of_ome(text: Any) -> str | None:
    """The ``"RRGGBB"`` colour of an OME-XML Color attribute, or None."""
    try:
        value = int(str(text)) & 0xFFFFFFFF
    except ValueError:
        return None
    return f"{value >> 8:06X}"


# --------------------------------------------------------------------------
# OME-Zarr


def omero_attributes(
    metadata: dict[str, Any], n: int, windows: Sequence[tuple[float, float]]
) -> dict[str, Any]:
    """The ``omero`` metadata of an OME-Zarr image of `n` channels, validated.

    Parameters
    ----------
    metadata : dict
        ``channels`` (labels), ``colours`` or ``luts``, and ``mode``.
    n : int
        Number of channels.
    windows : sequence of (float, float)
        Per channel, the smallest and largest value written: the display
        window.

    Returns
    -------
    dict
        ``channels`` with ``label`` (when named), ``color``, ``window`` and
        ``active``, and ``rdefs`` with the ``model``.
    """
    from ome_zarr_models.common.omero import Omero

    names = metadata.get("channels")
    if not (isinstance(names, list) and len(names) == n and all(isinstance(s, str) for s in names)):
        names = None
    colours = channel_colours(metadata, n) or default_colours(n)
    mode = checked_mode(metadata.get("mode"))
    channels = []
    for c in range(n):
        low, high = _window(windows[c])
        channel: dict[str, Any] = {
            "color": colours[c],
            "window": {"min": low, "max": high, "start": low, "end": high},
            "active": True,
        }
        if names is not None:
            channel["label"] = names[c]
        channels.append(channel)
    model = "greyscale" if mode == "grayscale" else "color"
    attributes = {"channels": channels, "rdefs": {"model": model}}
    Omero.model_validate(attributes)
    return attributes


def _window(window: tuple[float, float]) -> tuple[float, float]:
    low, high = (float(v) for v in window)
    if not (math.isfinite(low) and math.isfinite(high)):
        return 0.0, 1.0  # no finite value written
    return low, high


def read_omero(omero: Any, n: int) -> dict[str, Any]:
    """``channels``, ``colours`` and ``mode`` of OME-Zarr ``omero`` metadata for `n` channels."""
    found: dict[str, Any] = {}
    if not isinstance(omero, dict):
        return found
    entries = [c for c in omero.get("channels", []) if isinstance(c, dict)]
    if len(entries) != n:
        return found
    labels = [c.get("label") for c in entries]
    if all(isinstance(s, str) for s in labels):
        found["channels"] = labels
    colours = checked_colours([c.get("color") for c in entries], n)
    if colours is not None:
        found["colours"] = colours
    rdefs = omero.get("rdefs")
    model = rdefs.get("model") if isinstance(rdefs, dict) else None
    if model in ("color", "greyscale"):
        found["mode"] = "composite" if model == "color" else "grayscale"
    return found
