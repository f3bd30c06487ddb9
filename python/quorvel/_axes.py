"""Axis names of images and their mapping onto the layout of the compute core.

The compute core sees every image as a five-dimensional array ordered
``(T, C, Z, Y, X)``: time points, channels, planes, rows and columns.  Users
hand in arrays in whatever order their microscope or file format produced
(``"ZCYX"``, ``"TZCYX"`` from ImageJ hyperstacks, ``"YXS"`` for RGB, ...); the
functions here name those axes, move them into the core's order without
copying, and move a result back.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

#: Axis order of the compute core, slowest to fastest.
CORE_AXES = "TCZYX"

#: Accepted letters and the core axis each one stands for.  ``S`` (samples per
#: pixel, e.g. RGB) is a channel axis.
_ALIASES = {"T": "T", "C": "C", "S": "C", "Z": "Z", "Y": "Y", "X": "X"}

#: Axis names assumed for an array given without names, by dimension: a 1-D
#: array is a line profile, a 2-D array an image and a 3-D one a z-stack.
#: Any other dimension is ambiguous (a 4-D array may be TZYX, CZYX, TCYX, ...)
#: and must be named; so must a time-lapse, which would otherwise be searched
#: as a z-stack.
DEFAULT_AXES = {1: "X", 2: "YX", 3: "ZYX"}


def middle(n: int, most: int) -> slice:
    """The middle `most` positions of an axis of `n` (all of them where there are fewer)."""
    m = min(n, most)
    return slice((n - m) // 2, (n - m) // 2 + m)


def normalize_axes(axes: str | None, ndim: int) -> str:
    """Validate axis names and return them in core letters.

    Parameters
    ----------
    axes : str or None
        One letter per array dimension, in array order, from ``T``, ``C``
        (or ``S``), ``Z``, ``Y`` and ``X``; case is ignored.  None names a
        1-D array ``"X"``, a 2-D array ``"YX"`` and a 3-D array ``"ZYX"``.
    ndim : int
        Number of dimensions of the image.

    Returns
    -------
    str
        The axis names with ``S`` replaced by ``C``, upper case.

    Raises
    ------
    ValueError
        If `ndim` is not 1 to 5, if `axes` is None and `ndim` is 4 or 5, or
        if the names do not match `ndim`, repeat an axis, use an unknown
        letter, or lack the ``X`` axis.
    """
    if not 1 <= ndim <= len(CORE_AXES):
        raise ValueError(f"image must have 1 to 5 dimensions, got {ndim}")
    if axes is None:
        if ndim not in DEFAULT_AXES:
            raise ValueError(
                f"axes: the axes of a {ndim}-D array are ambiguous; name them, e.g. "
                f"axes={_example(ndim)!r} (letters T, C or S, Z, Y, X); only 1-D (X), "
                "2-D (YX) and 3-D (ZYX) arrays are named by default"
            )
        return DEFAULT_AXES[ndim]
    if not isinstance(axes, str):
        raise ValueError(f"axes must be a string such as 'TZYX', got {axes!r}")
    upper = axes.upper()
    unknown = sorted({a for a in upper if a not in _ALIASES})
    if unknown:
        raise ValueError(
            f"axes {axes!r}: unknown axis {', '.join(map(repr, unknown))}; "
            "use T (time), C or S (channel), Z, Y and X"
        )
    if len(upper) != ndim:
        raise ValueError(f"axes {axes!r} names {len(upper)} axes but the image has {ndim}")
    core = "".join(_ALIASES[a] for a in upper)
    if len(set(core)) != len(core):
        repeated = sorted({a for a in upper if upper.count(a) > 1})
        note = (
            f"names {repeated[0]} twice"
            if repeated
            else "names two channel axes (C and S are both channels)"
        )
        raise ValueError(f"axes {axes!r} {note}")
    if "X" not in core:
        raise ValueError(f"axes {axes!r} has no X axis")
    return core


def _example(ndim: int) -> str:
    return {1: "X", 4: "TZYX", 5: "TZCYX"}[ndim]


def to_core_layout(image: npt.NDArray[Any], axes: str) -> npt.NDArray[Any]:
    """Return a ``(T, C, Z, Y, X)`` view of `image`.

    Parameters
    ----------
    image : ndarray
        The image, with axes named by `axes`.
    axes : str
        Axis names as returned by `normalize_axes`.

    Returns
    -------
    ndarray
        A five-dimensional view (no copy); missing axes have length 1.
    """
    order = [axes.index(a) for a in CORE_AXES if a in axes]
    shape = tuple(image.shape[axes.index(a)] if a in axes else 1 for a in CORE_AXES)
    return np.transpose(image, order).reshape(shape)


def from_core_layout(core: npt.NDArray[Any], axes: str) -> npt.NDArray[Any]:
    """Undo `to_core_layout`: return a view of `core` in the order of `axes`.

    Parameters
    ----------
    core : ndarray
        A five-dimensional ``(T, C, Z, Y, X)`` array.
    axes : str
        Axis names as returned by `normalize_axes`.

    Returns
    -------
    ndarray
        A view with one dimension per letter of `axes`.
    """
    present = [a for a in CORE_AXES if a in axes]
    squeezed = core.reshape([core.shape[CORE_AXES.index(a)] for a in present])
    return np.transpose(squeezed, [present.index(a) for a in axes])


def core_shape(shape: tuple[int, ...], axes: str) -> dict[str, int]:
    """Length of every core axis for an image of `shape` named by `axes`.

    Parameters
    ----------
    shape : tuple of int
        Shape of the image.
    axes : str
        Axis names as returned by `normalize_axes`.

    Returns
    -------
    dict
        Maps each of ``T``, ``C``, ``Z``, ``Y`` and ``X`` to its length (1
        when the image has no such axis).
    """
    return {a: shape[axes.index(a)] if a in axes else 1 for a in CORE_AXES}
