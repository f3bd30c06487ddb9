"""The widget's text fields read as arguments of `quorvel.denoise`, and its tooltips."""

from __future__ import annotations

from collections.abc import Callable
from functools import cache
from typing import Any, TypeVar

import quorvel
from quorvel import _params
from quorvel.noise import NoiseModel

T = TypeVar("T")


@cache
def parameter_docs() -> dict[str, str]:
    """Descriptions of the parameters of `quorvel.denoise`, from its docstring.

    Returns
    -------
    dict
        Parameter name to its description, line breaks kept.
    """
    from docstring_parser import DocstringStyle, parse

    doc = parse(quorvel.denoise.__doc__ or "", style=DocstringStyle.NUMPYDOC)
    return {p.arg_name: p.description or "" for p in doc.params}


def _field(name: str, parse: Callable[[str], T], text: str) -> T | None:
    """`parse` of a field's text, None when empty; errors name the field."""
    if not text.strip():
        return None
    try:
        return parse(text)
    except ValueError as err:
        raise ValueError(f"{name}: {err}") from err


def parse_patch_radius(text: str) -> int | dict[str, int] | None:
    """``3`` or radii by axis such as ``X=3,Y=3,Z=1``; None for an empty field."""
    return _field("patch radius", _params.parse_patch_radius, text)


def parse_search(text: str) -> str | dict[str, int | None]:
    """Axis letters such as ``ZT``, or by axis such as ``Z,T=1`` or ``T=5,Z=2``."""
    try:
        return _params.parse_search(text)
    except ValueError as err:
        raise ValueError(
            f"search: expected axis letters such as ZT, or by axis such as Z,T=1 or T=5,Z=2; "
            f"got {text!r}"
        ) from err


def noise_options(kind: str, sigma: str, gain: str, offset: str) -> dict[str, Any]:
    """The `noise`, `sigma` and `model` arguments of `quorvel.denoise`.

    Parameters
    ----------
    kind : {'auto', 'gaussian', 'poisson-gaussian'}
        The noise model chosen.
    sigma : str
        Gaussian sigma per channel (used with ``'gaussian'``; empty: estimated).
    gain, offset : str
        Poisson-Gaussian gain and offset per channel (used with the other
        kinds; both empty: estimated).

    Returns
    -------
    dict
        Keyword arguments for `quorvel.denoise`.
    """
    if kind == "gaussian":
        return {"noise": kind, "sigma": _field("sigma", _params.parse_numbers, sigma), "model": None}
    gains = _field("gain", _params.parse_numbers, gain)
    offsets = _field("offset", _params.parse_numbers, offset)
    if (gains is None) != (offsets is None):
        raise ValueError("gain and offset must be given together")
    model = None if gains is None else NoiseModel(gains, offsets)  # type: ignore[arg-type]
    return {"noise": kind, "sigma": None, "model": model}
