"""Small helpers: per-channel parameter values, one-line error messages."""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterator, Sequence
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

#: One value, or one value per channel.
FloatValues: TypeAlias = float | Sequence[float] | npt.NDArray[Any]


#: Largest magnitude a float32 holds, and the smallest normal one.
FLOAT32_MAX = float(np.finfo(np.float32).max)
FLOAT32_TINY = float(np.finfo(np.float32).tiny)


def non_finite_message(count: int, size: int, part: str = "") -> str:
    """The error for `count` NaN or infinite values of `size` (of a `part`), and what to do."""
    return (
        f"image contains NaN or infinite values ({count} of the {size} pixels{part}); "
        "replace them first, e.g. with the background level (numpy.nan_to_num(image, "
        "nan=level, posinf=level, neginf=level) in Python)"
    )


def check_image_values(arr: npt.NDArray[Any]) -> None:
    """Raise ValueError if `arr` holds NaN, infinities or values float32 cannot hold."""
    if arr.dtype.kind != "f":
        return
    finite = np.isfinite(arr)
    if not finite.all():
        raise ValueError(non_finite_message(int(finite.size - np.count_nonzero(finite)), arr.size))
    if arr.dtype.itemsize > 4 and np.abs(arr).max() > FLOAT32_MAX:
        raise ValueError(
            f"image has values beyond the float32 range of the computation (largest "
            f"magnitude {np.abs(arr).max():.4g}, at most {FLOAT32_MAX:.4g})"
        )


#: Share of the noise (the spread of differences of neighbouring values)
#: beyond which an image's rounding to float32 is warned of, and the most
#: elements sampled for it.
_ROUNDING_SHARE, _ROUNDING_SAMPLE = 0.1, 1 << 20


def warn_if_float32_rounds(arr: npt.NDArray[Any]) -> None:
    """Warn where float32, the computation's type, rounds `arr`'s values by a share of their noise.

    Values far from 0 that vary little (a large offset, in float64 or wide
    integers) lose what varies: at 1e6 float32 holds steps of 0.06, and
    noise of 0.1 there was measured 19 % high and denoised worse than it came.
    The noise is taken as the robust spread of differences of neighbours
    along the last axis that has them, on a sample of rows.
    """
    if arr.dtype.itemsize <= (4 if arr.dtype.kind == "f" else 2) or arr.size == 0:
        return
    # Rows along the last axis that has neighbours.
    axis = next((a for a in range(arr.ndim - 1, -1, -1) if arr.shape[a] > 1), arr.ndim - 1)
    rows = np.moveaxis(arr, axis, -1).reshape(-1, arr.shape[axis])
    sample = rows[:: max(1, rows.size // _ROUNDING_SAMPLE)].astype(np.float64)
    rounding = sample - sample.astype(np.float32).astype(np.float64)
    error = float(np.sqrt(np.mean(np.square(rounding))))
    steps = np.abs(np.diff(sample, axis=-1))
    noise = 1.4826 * float(np.median(steps)) / np.sqrt(2.0) if steps.size else 0.0
    # Without differences between neighbours (one value, or one element
    # along every axis) nothing varies that rounding could lose.
    if noise > 0 and error > _ROUNDING_SHARE * noise:
        import warnings

        warnings.warn(
            f"image: float32, in which quorvel computes, rounds values of about "
            f"{float(np.median(np.abs(sample))):.3g} by {error:.2g} (root mean square) where "
            f"neighbouring values differ by about {noise:.2g}; subtract their offset first",
            RuntimeWarning,
            stacklevel=3,
        )


def pieces(size: int, step: int = 1 << 18) -> Iterator[slice]:
    """Consecutive slices of at most `step` elements over `size` (bounded temporaries)."""
    for start in range(0, size, step):
        yield slice(start, start + step)


def _is_number(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _as_float_tuple(
    values: FloatValues, name: str, *, allow_nan: bool = False
) -> tuple[float, ...]:
    """`values` as a tuple of floats, each finite (or NaN if allowed) in float32.

    The core computes in float32: a value that is finite as a Python float
    but not as float32 would turn into inf or 0 there, so it is refused here.
    Strings, booleans and None are refused too, alone or in a sequence.
    """
    if isinstance(values, np.ndarray):
        numeric = values.dtype.kind in "iuf"
    else:
        numeric = all(_is_number(v) for v in np.asarray(values, dtype=object).reshape(-1))
    try:
        if not numeric:
            raise TypeError(values)
        arr = np.asarray(values, dtype=np.float64)
    except OverflowError as err:  # an integer beyond any float
        raise ValueError(
            f"{name} must fit float32 (magnitude at most {FLOAT32_MAX:.3g}), got an integer "
            "beyond the float range"
        ) from err
    except (TypeError, ValueError) as err:
        raise ValueError(
            f"{name} must be a number or a sequence of numbers, got {values!r}"
        ) from err
    if arr.ndim > 1:
        raise ValueError(f"{name} must be a number or a sequence of numbers, got shape {arr.shape}")
    out = tuple(float(v) for v in arr.reshape(-1))
    if not out:
        raise ValueError(f"{name} needs at least one value")
    if any(math.isinf(v) or (math.isnan(v) and not allow_nan) for v in out):
        raise ValueError(f"{name} must be finite, got {_format_values(out)}")
    if any(abs(v) > FLOAT32_MAX for v in out):
        raise ValueError(
            f"{name} must fit float32 (magnitude at most {FLOAT32_MAX:.3g}), "
            f"got {_format_values(out)}"
        )
    return out


def _check_not_tiny(values: tuple[float, ...], name: str) -> None:
    """Refuse nonzero values too close to 0 for float32 arithmetic (dividing by them overflows)."""
    if any(v != 0 and abs(v) < FLOAT32_TINY for v in values):
        raise ValueError(
            f"{name} is too close to 0 for float32 arithmetic (nonzero magnitudes must be "
            f"at least {FLOAT32_TINY:.3g}), got {_format_values(values)}"
        )


def _format_values(values: Sequence[float | None]) -> str:
    text = ", ".join("-" if v is None else f"{v:.4g}" for v in values)
    return text if len(values) == 1 else f"[{text}]"


def _per_channel(values: tuple[Any, ...], n_channels: int) -> tuple[Any, ...]:
    """`values` for every channel: as given, or one value repeated."""
    return values if len(values) == n_channels else values * n_channels


def one_line(err: BaseException) -> str:
    """The message of `err` on one line (its type name when it has none)."""
    return " ".join(str(err).split()) or type(err).__name__
