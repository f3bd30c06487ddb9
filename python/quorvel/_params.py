"""Checks of the denoiser's parameters, before any computation."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np

from quorvel._core import CoreSettings, _photon_offset
from quorvel._text import parse_search
from quorvel._util import (
    FLOAT32_MAX,
    FloatValues,
    _as_float_tuple,
    _check_not_tiny,
    _format_values,
)
from quorvel.noise import NoiseModel

#: Patch radius per axis when none is given: 7 x 7 pixel patches in each plane
#: (narrower where a side of the image is shorter than 7 pixels).
DEFAULT_PATCH_RADIUS = {"X": 3, "Y": 3, "Z": 0, "T": 0}

#: Axes besides X and Y along which the search window grows, the iterations
#: and the p-value that stand for settings left to the choice until it is
#: made (`quorvel._auto`), as before settings were chosen per image.
DEFAULT_SEARCH = "ZT"
DEFAULT_ITERATIONS = 4
DEFAULT_PVALUE = 0.01

#: Largest iteration count: the search window doubles along X and Y with every
#: iteration, and 2**30 pixels is beyond any image.
MAX_ITERATIONS = 30

#: The engine's estimation kernels: ``"fast"`` (the default) computes in
#: float32 with fused multiply-adds, ``"exact"`` with the arithmetic of the
#: compute core ``_qv``, whose results it reproduces bit for bit.
KernelKind: TypeAlias = Literal["fast", "exact"]
KERNELS = ("fast", "exact")

#: How channels are denoised: each on its own, or together (a patch spanning
#: all channels of its pixels).
ChannelsKind: TypeAlias = Literal["independent", "joint"]
CHANNELS = ("independent", "joint")
#: Largest search reach: the core counts positions in 32-bit integers.
_MAX_REACH = 2**31 - 1

NoiseKind: TypeAlias = Literal["auto", "gaussian", "poisson-gaussian"]
_NOISE_KINDS = ("auto", "gaussian", "poisson-gaussian")


#: A radius for X and Y, or radii by axis letter.
PatchRadius: TypeAlias = int | Mapping[str, int]


# --------------------------------------------------------------------------
# Parameters


def _check_int(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    return int(value)


def _check_real(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    try:
        out = float(value)
    except OverflowError as err:
        raise ValueError(f"{name} must be finite, got an integer beyond the float range") from err
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {out}")
    return out


def _check_once(axis: str, given: set[str], name: str) -> None:
    """Refuse an axis named twice (keys such as ``"x"`` and ``"X"``): one value would be lost."""
    if axis in given:
        raise ValueError(f"{name}: axis {axis} is given twice")
    given.add(axis)


def widest_radius(ny: int, nx: int) -> int | None:
    """The largest patch radius that fits the sides of the plane the image extends along.

    None where it extends along neither (one pixel per plane).
    """
    sides = [n for n in (ny, nx) if n > 1]
    return (min(sides) - 1) // 2 if sides else None


def _patch_radius5(
    patch_radius: PatchRadius | None, sizes: dict[str, int], axes: str
) -> tuple[int, int, int, int, int]:
    radius = dict(DEFAULT_PATCH_RADIUS)
    # The default in the plane fits the image's shorter side (of those it
    # extends along): on a strip a few pixels wide the patch is narrower.
    widest = widest_radius(sizes["Y"], sizes["X"])
    if widest is not None:
        radius["X"] = radius["Y"] = min(radius["X"], widest)
    if isinstance(patch_radius, Mapping):
        given: set[str] = set()
        for key, value in patch_radius.items():
            axis = str(key).upper()
            if axis not in radius:
                raise ValueError(
                    f"patch_radius: no radius along axis {key!r}; patches extend along "
                    "X, Y, Z and T and always span all channels"
                )
            _check_once(axis, given, "patch_radius")
            radius[axis] = _check_int(value, f"patch_radius[{key!r}]")
    elif patch_radius is not None:
        radius["X"] = radius["Y"] = _check_int(patch_radius, "patch_radius")
    for axis, r in radius.items():
        if r < 0:
            raise ValueError(f"patch_radius along {axis} must be >= 0, got {r}")
        n = sizes[axis]
        if n == 1:
            radius[axis] = 0  # an axis the image does not extend along
        elif n < 2 * r + 1:
            raise ValueError(
                f"patch_radius {r} along {axis} is too large for the image: a patch needs "
                f"{2 * r + 1} pixels along {axis}, the image has {n} (axes {axes})"
            )
    return (radius["X"], radius["Y"], radius["Z"], 0, radius["T"])


#: Search along Z and T given as a string of axis letters, or as the reach
#: (largest search half-size) per axis letter.
Search: TypeAlias = str | Mapping[str, int | None]


def _search5(search: Search) -> tuple[tuple[int, int, int, int, int], tuple[int, ...]]:
    """Search flags (x, y, z, c, t) and reaches (empty, or 5 with -1 for "default")."""
    if isinstance(search, str) and "=" in search:
        try:
            search = parse_search(search)
        except ValueError as err:
            raise ValueError(
                f"search {search!r}: expected axis letters such as 'ZT', or by axis such as "
                "'Z,T=1' (a bare letter grows the window along that axis)"
            ) from err
    if isinstance(search, Mapping):
        reach = {"X": -1, "Y": -1, "Z": -1, "C": -1, "T": -1}
        searched = {"Z": False, "T": False}
        given: set[str] = set()
        for key, value in search.items():
            axis = str(key).upper()
            if axis not in "XYZT" or len(axis) != 1:
                raise ValueError(
                    f"search: no reach along axis {key!r}; the window extends along X, Y, Z and T"
                )
            _check_once(axis, given, "search")
            searched[axis] = True
            if value is None:  # the growing window
                continue
            r = _check_int(value, f"search[{key!r}]")
            if not 0 <= r <= _MAX_REACH:
                raise ValueError(
                    f"search reach along {axis} must be between 0 and {_MAX_REACH}, got {r}"
                )
            reach[axis] = r
        flags = (1, 1, int(searched["Z"]), 0, int(searched["T"]))
        if all(r < 0 for r in reach.values()):
            return flags, ()
        return flags, tuple(reach[a] for a in "XYZCT")
    if not isinstance(search, str):
        raise ValueError(
            "search must be a string of axis letters such as 'ZT' or a mapping of axis letter "
            f"to reach such as {{'T': 5}}, got {search!r}"
        )
    letters = set(search.upper())
    unknown = letters - set("XYZT")
    if unknown:
        raise ValueError(
            f"search {search!r}: cannot search along {', '.join(sorted(unknown))}; "
            "use Z and T (X and Y are always searched)"
        )
    return (1, 1, int("Z" in letters), 0, int("T" in letters)), ()


def _check_settings(
    sizes: dict[str, int],
    axes: str,
    patch_radius: PatchRadius | None,
    search: Search | None,
    iterations: int | None,
    pvalue: float | None,
    renoise: float,
    kernel: str = "fast",
    joint: bool = False,
) -> CoreSettings:
    """Validate the denoiser's parameters against an image of `sizes` (per core axis).

    None for `search`, `iterations` or `pvalue` stands for today's default
    (``"ZT"``, 4, 0.01): the values that `quorvel._auto.choose` replaces
    when the caller leaves them to the choice.
    """
    search = DEFAULT_SEARCH if search is None else search
    iterations = DEFAULT_ITERATIONS if iterations is None else iterations
    pvalue = DEFAULT_PVALUE if pvalue is None else pvalue
    radius5 = _patch_radius5(patch_radius, sizes, axes)
    search5, reach5 = _search5(search)
    iterations = _check_int(iterations, "iterations")
    if not 1 <= iterations <= MAX_ITERATIONS:
        raise ValueError(f"iterations must be between 1 and {MAX_ITERATIONS}, got {iterations}")
    pvalue = _check_real(pvalue, "pvalue")
    # The core compares in float32, where values just below 1 round to 1.
    if not 0.0 <= float(np.float32(pvalue)) < 1.0:
        raise ValueError(f"pvalue must be in the range [0, 1), got {pvalue}")
    renoise = _check_real(renoise, "renoise")
    if not 0 <= renoise <= FLOAT32_MAX:
        raise ValueError(f"renoise must be >= 0 and fit float32, got {renoise}")
    _check_not_tiny((renoise,), "renoise")
    if kernel not in KERNELS:
        raise ValueError(f"kernel must be one of {', '.join(map(repr, KERNELS))}, got {kernel!r}")
    return CoreSettings(radius5, search5, iterations, pvalue, renoise, reach5, kernel, joint)


def _check_channels(channels: str | None, axes: str | None) -> bool:
    """Whether channels are denoised jointly: `channels`, or the default for `axes`.

    By default channels ``C`` are independent (fluorescence channels show
    different structures, and a patch spanning them lets a dim channel take
    the bright one's structure) and samples ``S`` (RGB) are joint (their
    channels show the same structure).  The measurements: the documentation's
    benchmarks page.
    """
    if channels is None:
        return isinstance(axes, str) and "S" in axes.upper()
    if channels not in CHANNELS:
        raise ValueError(
            f"channels must be one of {', '.join(map(repr, CHANNELS))} or None, got {channels!r}"
        )
    return channels == "joint"


def _check_flag(value: object, name: str) -> bool:
    """`value` as a bool; anything but True or False (NumPy's too) is refused."""
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _check_tune(tune: object) -> bool | Mapping[str, Any]:
    """`tune` as False, True or a mapping of grid values (checked later against the image).

    None is refused rather than read as either: for other parameters it means
    "chosen for the image".
    """
    if isinstance(tune, Mapping):
        return tune
    if isinstance(tune, (bool, np.bool_)):
        return bool(tune)
    raise ValueError(f"tune must be True, False or a mapping of grid values, got {tune!r}")


def _check_threads(threads: int) -> int:
    threads = _check_int(threads, "threads")
    if not -(2**31) <= threads < 2**31:
        raise ValueError(f"threads is out of range: {threads}")
    return threads


@dataclass(frozen=True)
class _NoiseArgs:
    kind: str
    sigma: tuple[float, ...] | None
    model: NoiseModel | None


def _check_noise(
    noise: str, sigma: FloatValues | None, model: NoiseModel | None, n_channels: int
) -> _NoiseArgs:
    """Validate `noise`, `sigma` and `model` against the channel count, before any work."""
    if not isinstance(noise, str) or noise not in _NOISE_KINDS:
        raise ValueError(
            f"noise must be one of {', '.join(map(repr, _NOISE_KINDS))}; got {noise!r}"
        )
    sigmas: tuple[float, ...] | None = None
    if sigma is not None:
        if noise != "gaussian":
            raise ValueError(
                f"sigma is used with noise='gaussian' only (noise is {noise!r}); "
                "pass noise='gaussian' to denoise with a known sigma"
            )
        sigmas = _as_float_tuple(sigma, "sigma")
        if not all(v > 0 for v in sigmas):
            raise ValueError(f"sigma must be > 0, got {_format_values(sigmas)}")
        _check_not_tiny(sigmas, "sigma")
        if len(sigmas) not in (1, n_channels):
            raise ValueError(
                f"sigma has {len(sigmas)} values but the image has {n_channels} channels"
            )
    if model is not None:
        if not isinstance(model, NoiseModel):
            raise ValueError(f"model must be a NoiseModel, got {type(model).__name__}")
        if model.n_channels not in (1, n_channels):
            raise ValueError(
                f"model describes {model.n_channels} channels but the image has {n_channels}"
            )
        if noise == "poisson-gaussian":
            # NaN is a gain that could not be fitted, as `estimate_noise`
            # reports for a channel of one value: the plan passes such a
            # channel through and refuses any other.
            bad = [c for c, g in enumerate(model.gain) if g <= 0]
            if bad:
                raise ValueError(
                    f"model: the gain of channel {bad[0]} is {model.gain[bad[0]]:.4g}, not "
                    "positive; use noise='auto' to denoise such channels as Gaussian noise"
                )
        if noise != "gaussian":
            # The offset in photon units must fit the float32 of the computation.
            for g, o in zip(model.gain, model.offset, strict=True):
                if g > 0:
                    _photon_offset(g, o)
        # A sigma of 0 (a channel of one value, as `estimate_noise` gives it)
        # is left to the plan: it passes such a channel through and refuses
        # any other.
    return _NoiseArgs(noise, sigmas, model)
