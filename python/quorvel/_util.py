"""Small helpers: per-channel parameter values, one-line error messages."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

#: One value, or one value per channel.
FloatValues: TypeAlias = float | Sequence[float] | npt.NDArray[Any]


def _as_float_tuple(
    values: FloatValues, name: str, *, allow_nan: bool = False
) -> tuple[float, ...]:
    try:
        arr = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as err:
        raise ValueError(f"{name} must be a number or a sequence of numbers") from err
    if arr.ndim > 1:
        raise ValueError(
            f"{name} must be a number or a sequence of numbers, got shape {arr.shape}"
        )
    out = tuple(float(v) for v in arr.reshape(-1))
    if not out:
        raise ValueError(f"{name} needs at least one value")
    if any(math.isinf(v) or (math.isnan(v) and not allow_nan) for v in out):
        raise ValueError(f"{name} must be finite, got {_format_values(out)}")
    return out


def _format_values(values: Sequence[float | None]) -> str:
    text = ", ".join("-" if v is None else f"{v:.4g}" for v in values)
    return text if len(values) == 1 else f"[{text}]"


def _per_channel(values: tuple[Any, ...], n_channels: int) -> tuple[Any, ...]:
    """`values` for every channel: as given, or one value repeated."""
    return values if len(values) == n_channels else values * n_channels



def one_line(err: BaseException) -> str:
    """The message of `err` on one line (its type name when it has none)."""
    return " ".join(str(err).split()) or type(err).__name__
