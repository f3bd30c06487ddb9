"""Small helpers: per-channel parameter values, one-line error messages."""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

#: One value, or one value per channel.
FloatValues: TypeAlias = float | Sequence[float] | npt.NDArray[Any]


#: Largest magnitude a float32 holds, and the smallest normal one.
FLOAT32_MAX = float(np.finfo(np.float32).max)
FLOAT32_TINY = float(np.finfo(np.float32).tiny)


def check_image_values(arr: npt.NDArray[Any]) -> None:
    """Raise ValueError if `arr` holds NaN, infinities or values float32 cannot hold."""
    if arr.dtype.kind != "f":
        return
    if not np.isfinite(arr).all():
        raise ValueError("image contains NaN or infinite values")
    if arr.dtype.itemsize > 4 and np.abs(arr).max() > FLOAT32_MAX:
        raise ValueError(
            f"image has values beyond the float32 range of the computation (largest "
            f"magnitude {np.abs(arr).max():.4g}, at most {FLOAT32_MAX:.4g})"
        )


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
