"""Noise estimation and denoising of NumPy arrays.

Everything here prepares arguments for the compute core ``_qv`` and interprets
its results: axis names, parameter validation, the per-channel choice of noise
model and the per-channel scaling.  The numerical work happens in the core.

Layers
------
The public functions `denoise` and `estimate_noise` take arrays in the
caller's axis order.  Under them sit three private steps that work on one
core-layout array ``(T, C, Z, Y, X)`` and can be called block by block with
fixed noise parameters:

- `_estimate_core`: the noise model of a core-layout array;
- `_plan_noise`: which path each channel takes and with which parameters;
- `_denoise_core`: one core-layout array in, the denoised array out.

Channels
--------
Noise estimation treats every channel on its own, and so do the
variance-stabilising transforms of the Poisson-Gaussian path.  The denoiser
does not: a patch spans all channels of its pixels, so the similarity of two
patches, and with it the averaging weights, is judged on all channels
together.  Channels on the same path are therefore denoised in one call,
after each has been scaled to unit noise (Gaussian path) or to photon units
(Poisson-Gaussian path) so that they weigh alike in that joint comparison.
When some channels take the Gaussian path and others the Poisson-Gaussian
one, each group is denoised in its own call.

Dask arrays
-----------
Given a dask array, `denoise` and `estimate_noise` return lazy results (a
dask array, a delayed `NoiseModel`) and read nothing until those are
computed.  The image is then denoised chunk by chunk with halos that make the
result equal to that of the whole image (`quorvel._chunked`), and the noise is
estimated once, on a central region of at most
`quorvel._chunked.SAMPLE_ELEMENTS` elements, for all chunks.
"""

from __future__ import annotations

import functools
import math
import numbers
import os
import sys
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import _qv
import numpy as np
import numpy.typing as npt

from quorvel._axes import core_shape, from_core_layout, normalize_axes, to_core_layout
from quorvel._progress import Stages

__all__ = ["NoiseModel", "denoise", "estimate_noise"]

# The compute core, looked up through this name on every call.
qv = _qv

#: Patch radius per axis when none is given: 7 x 7 pixel patches in each plane.
DEFAULT_PATCH_RADIUS = {"X": 3, "Y": 3, "Z": 0, "T": 0}

#: Axes besides X and Y along which the search window grows by default.
DEFAULT_SEARCH = "ZT"

#: Largest iteration count: the search window doubles along X and Y with every
#: iteration, and 2**30 pixels is beyond any image.
MAX_ITERATIONS = 30

NoiseKind: TypeAlias = Literal["auto", "gaussian", "poisson-gaussian"]
_NOISE_KINDS = ("auto", "gaussian", "poisson-gaussian")

#: One value, or one value per channel.
FloatValues: TypeAlias = float | Sequence[float] | npt.NDArray[Any]

#: A radius for X and Y, or radii by axis letter.
PatchRadius: TypeAlias = int | Mapping[str, int]

# The compute core addresses elements with 32-bit offsets.
_MAX_ELEMENTS = 2**31 - 1

# The stabilised noise has unit standard deviation.
_STABILISED_SIGMA = 1.0

# Warnings are attributed to the caller's code, not to this package.
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


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


@dataclass(frozen=True)
class NoiseModel:
    """The noise of an image, per channel: a Poisson-Gaussian and a Gaussian model.

    Poisson-Gaussian noise has the variance ``gain * intensity + offset``: the
    noise of a camera that counts photons (Poisson noise scaled by the camera
    gain) and adds read-out noise.  With a dark level ``b`` and a read-out
    noise ``s``, ``offset = s**2 - gain * b``, which is negative for most
    cameras.  `sigma` describes the same noise as additive Gaussian noise of
    one standard deviation per channel, which is what the Gaussian path of
    `denoise` uses.

    Parameters
    ----------
    gain : float or sequence of float
        Slope of the noise variance, in intensity units per detected photon,
        one value per channel.  `estimate_noise` gives NaN for a channel it
        could not fit (a constant or nearly empty channel).
    offset : float or sequence of float
        Noise variance at intensity 0, one value per channel (as many as
        `gain`; NaN where the fit failed).
    sigma : float or sequence of float, optional
        Standard deviation of the noise taken as Gaussian, one value per
        channel; a single value applies to every channel.  None when unknown:
        `denoise` then estimates it where it needs it.

    Attributes
    ----------
    gain, offset : tuple of float
        One value per channel.
    sigma : tuple of float or None
        One value per channel, or None.

    Examples
    --------
    A camera of gain 2 per photon, dark level 100 and read-out noise 3:

    >>> NoiseModel(gain=2.0, offset=3.0**2 - 2.0 * 100.0)
    NoiseModel(gain=(2.0,), offset=(-191.0,), sigma=None)
    """

    gain: tuple[float, ...]
    offset: tuple[float, ...]
    sigma: tuple[float, ...] | None = None

    def __init__(
        self, gain: FloatValues, offset: FloatValues, sigma: FloatValues | None = None
    ) -> None:
        g = _as_float_tuple(gain, "gain", allow_nan=True)
        o = _as_float_tuple(offset, "offset", allow_nan=True)
        if len(g) != len(o):
            raise ValueError(f"gain has {len(g)} values but offset has {len(o)}")
        s: tuple[float, ...] | None = None
        if sigma is not None:
            s = _as_float_tuple(sigma, "sigma")
            if len(s) not in (1, len(g)):
                raise ValueError(f"sigma has {len(s)} values but gain has {len(g)}")
            if not all(v >= 0 for v in s):
                raise ValueError(f"sigma must be >= 0, got {_format_values(s)}")
            s = _per_channel(s, len(g))
        object.__setattr__(self, "gain", g)
        object.__setattr__(self, "offset", o)
        object.__setattr__(self, "sigma", s)

    @property
    def n_channels(self) -> int:
        """Number of channels described (a single channel applies to any number)."""
        return len(self.gain)

    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]:
        """Poisson-Gaussian noise variance at `intensity` in `channel`.

        Parameters
        ----------
        intensity : array_like
            Noise-free intensities.
        channel : int
            Channel index.

        Returns
        -------
        ndarray of float64
            ``gain[channel] * intensity + offset[channel]``.
        """
        return self.gain[channel] * np.asarray(intensity, dtype=np.float64) + self.offset[channel]

    def __str__(self) -> str:
        text = f"gain {_format_values(self.gain)}, offset {_format_values(self.offset)}"
        if self.sigma is not None:
            text += f", sigma {_format_values(self.sigma)}"
        return text


@dataclass(frozen=True)
class NoisePlan:
    """The noise parameters of every channel, as the core receives them.

    Channel ``c`` takes the Poisson-Gaussian path with ``gain[c]`` and
    ``offset[c]`` when ``gain[c]`` is not None, and the Gaussian path with
    ``sigma[c]`` otherwise.  A plan is fixed for a whole image: a chunked
    computation makes it once and denoises every block with it.
    """

    gain: tuple[float | None, ...]
    offset: tuple[float | None, ...]
    sigma: tuple[float | None, ...]

    @property
    def poisson_channels(self) -> list[int]:
        """Channels on the Poisson-Gaussian path."""
        return [c for c, g in enumerate(self.gain) if g is not None]

    @property
    def gaussian_channels(self) -> list[int]:
        """Channels on the Gaussian path."""
        return [c for c, g in enumerate(self.gain) if g is None]

    def __str__(self) -> str:
        parts = []
        if self.poisson_channels:
            parts.append(
                f"Poisson-Gaussian, gain {_format_values(self.gain)}, "
                f"offset {_format_values(self.offset)}"
            )
        if self.gaussian_channels:
            parts.append(f"Gaussian, sigma {_format_values(self.sigma)}")
        return "; ".join(parts)


@dataclass(frozen=True)
class CoreSettings:
    """Validated denoiser parameters in the core's x, y, z, c, t order."""

    patch_radius: tuple[int, int, int, int, int]
    search: tuple[int, int, int, int, int]
    iterations: int
    pvalue: float
    renoise: float


# --------------------------------------------------------------------------
# Images


def _prepare(
    image: npt.ArrayLike, axes: str | None
) -> tuple[npt.NDArray[Any], str, npt.NDArray[Any]]:
    """The image as an array, its normalised axis names, and its core-layout view."""
    arr = np.asarray(image)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"image must hold real numbers, got dtype {arr.dtype}")
    names = normalize_axes(axes, arr.ndim)
    if arr.size == 0:
        raise ValueError(f"image is empty (shape {arr.shape})")
    if arr.size > _MAX_ELEMENTS:
        raise ValueError(
            f"image has {arr.size} elements; at most {_MAX_ELEMENTS} fit in one computation"
        )
    if arr.dtype.kind == "f" and not np.isfinite(arr).all():
        raise ValueError("image contains NaN or infinite values")
    return arr, names, to_core_layout(arr, names)


def _channel(core5: npt.NDArray[Any], c: int) -> npt.NDArray[np.float32]:
    return np.ascontiguousarray(core5[:, c : c + 1], dtype=np.float32)


# --------------------------------------------------------------------------
# Noise estimation


def _estimate_sigma(core5: npt.NDArray[Any], channels: Sequence[int]) -> dict[int, float]:
    """Gaussian noise level of the given channels of a core-layout image, each on its own."""
    return {c: float(qv._calibrate_gaussian(_channel(core5, c))) for c in channels}


def _failed_fit(gain: float, offset: float) -> bool:
    # The core's answer when a channel gives no usable line (a constant or
    # nearly empty channel).
    return gain == 1.0 and offset == 0.0


def _calibrate(core5: npt.NDArray[Any]) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """Fitted gain and offset of every channel; NaN where the fit failed."""
    gain, offset = qv._calibrate_poisson_gaussian(np.ascontiguousarray(core5, dtype=np.float32))
    pairs = [
        (math.nan, math.nan) if _failed_fit(g, o) else (float(g), float(o))
        for g, o in zip(gain, offset, strict=True)
    ]
    return tuple(g for g, _ in pairs), tuple(o for _, o in pairs)


def _estimate_core(core5: npt.NDArray[Any]) -> NoiseModel:
    """The noise model of a core-layout ``(T, C, Z, Y, X)`` image.

    Parameters
    ----------
    core5 : ndarray
        Five-dimensional image in core layout; C-contiguous float32 avoids a
        conversion.

    Returns
    -------
    NoiseModel
        Gain and offset from the core's Poisson-Gaussian calibration (NaN
        where it failed) and sigma from its Gaussian estimate, per channel.
    """
    gain, offset = _calibrate(core5)
    sigma = _estimate_sigma(core5, range(core5.shape[1]))
    return NoiseModel(gain, offset, [sigma[c] for c in range(core5.shape[1])])


def estimate_noise(image: npt.ArrayLike, axes: str | None = None) -> NoiseModel:
    """Estimate the noise of an image from the image itself.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Image of 1 to 5 dimensions, any real dtype (integers are read as
        float32).  NumPy arrays and anything that converts to one are
        accepted; the input is not modified.  A dask array gives a lazy
        result (see Returns).
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel), ``Z``, ``Y`` and ``X``.  Without it a 2-D
        array is ``"YX"`` and a 3-D one ``"ZYX"``; other dimensions must be
        named.  Time and space are neighbourhoods of a pixel; each channel is
        estimated on its own.

    Returns
    -------
    NoiseModel or dask.delayed.Delayed
        Per channel: the Poisson-Gaussian ``gain`` and ``offset`` fitted to
        local means and noise variances (NaN where no line could be fitted),
        and the Gaussian noise level ``sigma``.  For a dask array, a delayed
        `NoiseModel` that reads and estimates on a central region of the
        image (the whole image when it holds at most 2**22 elements; else the
        middle time points, planes and a central crop, as many as fit) when
        computed; it can be passed on as `model` to `denoise`.

    Raises
    ------
    ValueError
        For invalid `axes`, an empty image or non-finite values.
    TypeError
        If `image` does not hold real numbers.

    See Also
    --------
    denoise : Uses the model, or estimates it itself.

    Examples
    --------
    >>> model = estimate_noise(stack, axes="TYX")                # doctest: +SKIP
    >>> model.gain, model.offset                                 # doctest: +SKIP
    ((2.01,), (-190.3,))
    """
    if _is_dask(image):
        return _estimate_lazy(image, axes)
    _, _, view5 = _prepare(image, axes)
    return _estimate_core(np.ascontiguousarray(view5, dtype=np.float32))


# --------------------------------------------------------------------------
# Parameters


def _check_int(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    return int(value)


def _check_real(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    out = float(value)
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {out}")
    return out


def _patch_radius5(
    patch_radius: PatchRadius | None, sizes: dict[str, int], axes: str
) -> tuple[int, int, int, int, int]:
    radius = dict(DEFAULT_PATCH_RADIUS)
    if isinstance(patch_radius, Mapping):
        for key, value in patch_radius.items():
            axis = str(key).upper()
            if axis not in radius:
                raise ValueError(
                    f"patch_radius: no radius along axis {key!r}; patches extend along "
                    "X, Y, Z and T and always span all channels"
                )
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


def _search5(search: str) -> tuple[int, int, int, int, int]:
    if not isinstance(search, str):
        raise ValueError(f"search must be a string of axis letters such as 'ZT', got {search!r}")
    letters = set(search.upper())
    unknown = letters - set("XYZT")
    if unknown:
        raise ValueError(
            f"search {search!r}: cannot search along {', '.join(sorted(unknown))}; "
            "use Z and T (X and Y are always searched)"
        )
    return (1, 1, int("Z" in letters), 0, int("T" in letters))


def _check_settings(
    sizes: dict[str, int],
    axes: str,
    patch_radius: PatchRadius | None,
    search: str,
    iterations: int,
    pvalue: float,
    renoise: float,
) -> CoreSettings:
    """Validate the denoiser's parameters against an image of `sizes` (per core axis)."""
    radius5 = _patch_radius5(patch_radius, sizes, axes)
    search5 = _search5(search)
    iterations = _check_int(iterations, "iterations")
    if not 1 <= iterations <= MAX_ITERATIONS:
        raise ValueError(f"iterations must be between 1 and {MAX_ITERATIONS}, got {iterations}")
    pvalue = _check_real(pvalue, "pvalue")
    if not 0.0 <= pvalue < 1.0:
        raise ValueError(f"pvalue must be in the range [0, 1), got {pvalue}")
    renoise = _check_real(renoise, "renoise")
    if renoise < 0:
        raise ValueError(f"renoise must be >= 0, got {renoise}")
    return CoreSettings(radius5, search5, iterations, pvalue, renoise)


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
            bad = [c for c, g in enumerate(model.gain) if not g > 0]
            if bad:
                raise ValueError(
                    f"model: the gain of channel {bad[0]} is {model.gain[bad[0]]:.4g}, not "
                    "positive; use noise='auto' to denoise such channels as Gaussian noise"
                )
        model_sigma = model.sigma if noise == "gaussian" and sigmas is None else None
        if model_sigma is not None and not all(v > 0 for v in model_sigma):
            raise ValueError(f"model: sigma must be > 0, got {_format_values(model_sigma)}")
    return _NoiseArgs(noise, sigmas, model)


# --------------------------------------------------------------------------
# The noise of each channel


def _gaussian_levels(
    core5: npt.NDArray[Any], channels: Sequence[int], known: tuple[float, ...] | None
) -> dict[int, float]:
    """Sigma of `channels`: from `known` (one value per channel) or estimated."""
    if known is None:
        levels = _estimate_sigma(core5, channels)
    else:
        levels = {c: known[c] for c in channels}
    zero = [c for c in channels if not levels[c] > 0]
    if zero:
        raise ValueError(
            f"sigma: the noise level of channel {zero[0]} is 0 (a constant or noise-free "
            "channel); give sigma with noise='gaussian'"
        )
    return levels


def _plan_noise(core5: npt.NDArray[Any], args: _NoiseArgs) -> NoisePlan:
    """Decide the path and noise parameters of every channel of a core-layout image.

    Parameters
    ----------
    core5 : ndarray
        The image in core layout, read only for what has to be estimated
        (a representative block may stand in for a larger image).
    args : _NoiseArgs
        Checked `noise`, `sigma` and `model` arguments of `denoise`.

    Returns
    -------
    NoisePlan
        Gaussian sigma or Poisson-Gaussian gain and offset, per channel.

    Raises
    ------
    ValueError
        When a required gain is not positive or a noise level is 0.
    """
    n = core5.shape[1]
    none: tuple[None, ...] = (None,) * n
    model = args.model
    if args.kind == "gaussian":
        known = args.sigma if args.sigma is not None else (model.sigma if model else None)
        levels = _gaussian_levels(
            core5, range(n), None if known is None else _per_channel(known, n)
        )
        return NoisePlan(none, none, tuple(levels[c] for c in range(n)))

    if model is None:
        gain, offset = _calibrate(core5)
        known_sigma = None
    else:
        gain, offset = _per_channel(model.gain, n), _per_channel(model.offset, n)
        known_sigma = None if model.sigma is None else _per_channel(model.sigma, n)
    bad = [c for c in range(n) if not gain[c] > 0]
    if args.kind == "poisson-gaussian" and bad:
        c = bad[0]
        what = "could not be fitted" if math.isnan(gain[c]) else f"is {gain[c]:.4g}, not positive"
        raise ValueError(
            f"noise: the Poisson-Gaussian gain of channel {c} {what}; use noise='auto' to "
            "denoise such channels as Gaussian noise, or noise='gaussian'"
        )
    levels = _gaussian_levels(core5, bad, known_sigma) if bad else {}
    if bad:
        details = ", ".join(
            f"channel {c} ({'no fit' if math.isnan(gain[c]) else f'gain {gain[c]:.3g}'}, "
            f"sigma {levels[c]:.4g})"
            for c in bad
        )
        warnings.warn(
            "noise='auto': the Poisson-Gaussian gain is not positive in "
            f"{details}; denoising {'it' if len(bad) == 1 else 'them'} as Gaussian noise",
            RuntimeWarning,
            skip_file_prefixes=(_PACKAGE_DIR,),
        )
    return NoisePlan(
        tuple(None if c in levels else gain[c] for c in range(n)),
        tuple(None if c in levels else offset[c] for c in range(n)),
        tuple(levels.get(c) for c in range(n)),
    )


# --------------------------------------------------------------------------
# Denoising


def _denoise_gaussian(
    work: npt.NDArray[np.float32],
    sigma: list[float],
    settings: CoreSettings,
    threads: int,
) -> npt.NDArray[np.float32]:
    """Gaussian path on a core-layout float32 array that the core may overwrite."""
    args = (
        list(settings.patch_radius),
        list(settings.search),
        settings.iterations,
        settings.pvalue,
        threads,
        settings.renoise,
    )
    if len(set(sigma)) == 1:
        same: npt.NDArray[np.float32] = qv._denoise_gaussian(work, sigma[0], *args)
        return same
    # Unit noise in every channel, so that each weighs alike in the joint
    # patch comparison.
    scale = np.asarray(sigma, dtype=np.float32).reshape(1, -1, 1, 1, 1)
    work /= scale
    out: npt.NDArray[np.float32] = qv._denoise_gaussian(work, _STABILISED_SIGMA, *args)
    out *= scale
    return out


def _denoise_poisson_gaussian(
    work: npt.NDArray[np.float32],
    gain: list[float],
    offset: list[float],
    settings: CoreSettings,
    threads: int,
) -> npt.NDArray[np.float32]:
    """Poisson-Gaussian path on a core-layout float32 array that the core may overwrite.

    The core runs in photon units (gain 1): the forward transform into
    unit-variance noise is the same as with the original gain, and the
    inverse transform's fixed bias correction of 1/4 is then applied at the
    scale where it is right.  With gain g it would shift every intensity by
    ``(1 - g) / 4``.
    """
    n = work.shape[1]
    scale = np.asarray(gain, dtype=np.float32).reshape(1, -1, 1, 1, 1)
    work /= scale
    out: npt.NDArray[np.float32] = qv._denoise_poisson_gaussian(
        work,
        _STABILISED_SIGMA,
        [1.0] * n,
        [o / (g * g) for g, o in zip(gain, offset, strict=True)],
        list(settings.patch_radius),
        list(settings.search),
        settings.iterations,
        settings.pvalue,
        threads,
        settings.renoise,
    )
    out *= scale
    return out


def _denoise_core(
    core5: npt.NDArray[Any],
    plan: NoisePlan,
    settings: CoreSettings,
    threads: int,
    *,
    overwrite: bool = False,
) -> npt.NDArray[np.float32]:
    """Denoise one core-layout ``(T, C, Z, Y, X)`` array with fixed noise parameters.

    Parameters
    ----------
    core5 : ndarray
        The image in core layout, any real dtype.
    plan : NoisePlan
        Path and noise parameters of every channel of `core5`.
    settings : CoreSettings
        Validated denoiser parameters.
    threads : int
        Thread count for the core (0 all, negative all but that many).
    overwrite : bool
        Let the computation use `core5` as its work array when it is a
        writeable C-contiguous float32 array; otherwise `core5` is not
        modified.

    Returns
    -------
    ndarray of float32
        The denoised image, C-contiguous, in core layout.
    """
    n = core5.shape[1]
    if len(plan.gain) != n:
        raise ValueError(f"the noise plan has {len(plan.gain)} channels, the image {n}")
    reusable = (
        overwrite
        and core5.dtype == np.float32
        and core5.flags.c_contiguous
        and core5.flags.writeable
    )
    work = core5 if reusable else np.array(core5, dtype=np.float32, order="C", copy=True)
    poisson, gaussian = plan.poisson_channels, plan.gaussian_channels

    def gaussian_path(a: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        return _denoise_gaussian(a, _values(plan.sigma, gaussian), settings, threads)

    def poisson_path(a: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        gain, offset = _values(plan.gain, poisson), _values(plan.offset, poisson)
        return _denoise_poisson_gaussian(a, gain, offset, settings, threads)

    if not gaussian:
        return poisson_path(work)
    if not poisson:
        return gaussian_path(work)
    # Mixed paths: each group of channels in its own call.
    out = np.empty_like(work)
    out[:, poisson] = poisson_path(np.ascontiguousarray(work[:, poisson]))
    out[:, gaussian] = gaussian_path(np.ascontiguousarray(work[:, gaussian]))
    return out


def _values(values: tuple[float | None, ...], channels: list[int]) -> list[float]:
    out = [values[c] for c in channels]
    if any(v is None for v in out):
        raise ValueError("the noise plan lacks a parameter of a channel on this path")
    return [float(v) for v in out if v is not None]


def denoise(
    image: npt.ArrayLike,
    axes: str | None = None,
    *,
    noise: NoiseKind = "auto",
    sigma: FloatValues | None = None,
    model: NoiseModel | None = None,
    patch_radius: PatchRadius | None = None,
    search: str = DEFAULT_SEARCH,
    iterations: int = 4,
    pvalue: float = 0.01,
    renoise: float = 0.0,
    threads: int = 0,
) -> npt.NDArray[np.float32]:
    """Denoise an image, a z-stack or a time-lapse sequence.

    Each pixel is replaced by a weighted mean of pixels whose surrounding
    patches look alike, found in a search window that grows with every
    iteration; statistical tests reject patches that differ by more than the
    noise explains and keep the previous estimate where a new one disagrees
    with it.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Image of 1 to 5 dimensions, any real dtype (integers are read as
        float32).  NumPy arrays and anything that converts to one are
        accepted.  The input is never modified.  A dask array is denoised
        lazily, chunk by chunk (see Notes).
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel, e.g. RGB), ``Z``, ``Y`` and ``X``: e.g.
        ``"TYX"`` for a 2-D time-lapse, ``"YXC"`` for a colour image,
        ``"TZCYX"`` for an ImageJ hyperstack.  Without it a 2-D array is
        ``"YX"`` and a 3-D one ``"ZYX"`` (a z-stack, not a time-lapse); any
        other dimension raises ValueError.
    noise : {'auto', 'gaussian', 'poisson-gaussian'}, default 'auto'
        Noise model.  ``'gaussian'``: additive noise of one standard
        deviation per channel, `sigma`.  ``'poisson-gaussian'``: variance
        ``gain * intensity + offset`` per channel, from `model`, denoised
        through a variance-stabilising transform.  ``'auto'``: the
        Poisson-Gaussian path with `model`, except for channels whose gain is
        not positive (noise that does not grow with intensity, or no fit),
        which take the Gaussian path with a RuntimeWarning.
    sigma : float or sequence of float, optional
        Gaussian noise standard deviation, one value or one per channel;
        only with ``noise='gaussian'``.  When None it is ``model.sigma`` if
        a model with one is given, else estimated from the image.
    model : NoiseModel, optional
        Noise model, e.g. from `estimate_noise` or a calibrated camera; one
        channel or one per channel.  With a dask `image` it may also be the
        delayed model that `estimate_noise` returns for it.  When None, ``'poisson-gaussian'`` and
        ``'auto'`` calibrate it from the image.
    patch_radius : int or mapping of str to int, optional
        Half-size of the compared patches: an int sets X and Y, a mapping by
        axis letter sets any of X, Y, Z and T, e.g. ``{"X": 3, "Y": 3}`` or
        ``{"Z": 1}``.  Unset axes keep X = Y = 3 (7 x 7 patches) and
        Z = T = 0.  Larger patches tell structure from noise more reliably
        in strong noise but find fewer matches, blur small details and cost
        more time (proportional to the patch size); smaller ones keep fine
        detail but leave more noise.  Axes of length 1 are ignored; along the
        others the image needs ``2 * radius + 1`` pixels.
    search : str, default 'ZT'
        Axes besides X and Y along which the search window grows: letters
        from ``"ZT"`` (``"XY"`` may be included; X and Y always grow).  At
        iteration k the window reaches ``2**k`` pixels along X and Y, k
        planes along Z and ``max(0, k - 2)`` frames along T.  Searching
        along T and Z finds matches in neighbouring frames and planes,
        which denoises static and slowly moving structures more, at some
        cost in time; ``""`` treats every frame and plane on its own.
    iterations : int, default 4
        Number of iterations, 1 to 30.  Each doubles the search window
        along X and Y (to 8 pixels to each side after 4): more averaging in
        flat regions, about four times the work of the previous iteration
        in a 2-D image.
    pvalue : float, default 0.01
        Significance level of the tests that reject dissimilar patches and
        estimates, in [0, 1).  Smaller values accept more patches and
        average more (smoother, risk of blurring faint structures); larger
        values keep more detail and more noise.
    renoise : float, default 0
        Mixes the noisy image back into every estimate, as a measurement of
        variance ``(sigma / renoise)**2``: larger values keep more of the
        original texture and noise.  0 switches mixing off.
    threads : int, default 0
        Threads of the compute core; 0 uses all, a negative number all but
        that many.  Every shape uses all the threads it is given, and the
        result is the same for every thread count.  With a dask `image`:
        threads per chunk; 0 divides the CPUs among the chunks that dask
        runs at once (see Notes).

    Returns
    -------
    ndarray of float32 or dask.array.Array
        The denoised image: a new C-contiguous array with the shape and
        axis order of `image`; for a dask `image`, a lazy float32 dask array
        of that shape.

    Raises
    ------
    ValueError
        For an invalid parameter, naming it; for missing or ambiguous
        `axes`, an empty image or non-finite values; for
        ``noise='poisson-gaussian'`` when a gain is not positive.  Every
        parameter is checked before any computation.
    TypeError
        If `image` does not hold real numbers.

    Warns
    -----
    RuntimeWarning
        With ``noise='auto'``, for channels denoised on the Gaussian path.

    See Also
    --------
    estimate_noise : The noise model that ``'auto'`` calibrates.

    Notes
    -----
    Channels on the same path are denoised together: the similarity of two
    patches is judged on all their channels, each scaled to unit noise.
    Memory: about seven float32 copies of the image.

    A dask array is denoised chunk by chunk, each chunk with a halo of its
    neighbours as wide as a pixel's result depends on them (40 pixels along
    X and Y, 1 frame along T and 6 planes along Z with the defaults), so
    the result equals that of the whole image bit for bit.  Chunk
    boundaries are moved onto multiples of the patch grid step (patch
    radius + 1 along X, Y, Z; the radius along T), chunks shorter than the
    halo are merged with a neighbour, and channels are kept in one chunk.
    The noise is estimated once, on a central region (see
    `estimate_noise`), for all chunks.  Each chunk runs with ``threads``
    threads, or with 0 with ``max(1, cpus // slots)``: slots are the tasks
    that dask runs at once on those CPUs (the threads of all workers on a
    host of a distributed cluster; the local pool, at most one per chunk).
    Memory: about seven float32 copies of each chunk with its halo, per
    chunk running.

    Examples
    --------
    >>> clean = denoise(movie, "TYX")                            # doctest: +SKIP
    >>> clean = denoise(rgb, "YXC", noise="gaussian", sigma=4)   # doctest: +SKIP
    >>> clean = denoise(stack, "ZYX", patch_radius={"Z": 1}, search="Z")  # doctest: +SKIP
    """
    options: dict[str, Any] = {
        "noise": noise,
        "sigma": sigma,
        "model": model,
        "patch_radius": patch_radius,
        "search": search,
        "iterations": iterations,
        "pvalue": pvalue,
        "renoise": renoise,
        "threads": threads,
    }
    if _is_dask(image):
        lazy, _ = _denoise_lazy(image, axes, **options)
        return lazy  # type: ignore[no-any-return]
    out, _ = _run_denoise(image, axes, **options)
    return out


def _run_denoise(
    image: npt.ArrayLike,
    axes: str | None,
    *,
    noise: NoiseKind,
    sigma: FloatValues | None,
    model: NoiseModel | None,
    patch_radius: PatchRadius | None,
    search: str,
    iterations: int,
    pvalue: float,
    renoise: float,
    threads: int,
    stages: Stages | None = None,
) -> tuple[npt.NDArray[np.float32], NoisePlan]:
    """`denoise`, run as two stages of a progress display; also returns the noise plan.

    Every parameter is checked before any computation, noise estimation
    included.  `stages` counts two stages: noise, denoising.
    """
    arr, names, view5 = _prepare(image, axes)
    sizes = core_shape(arr.shape, names)
    settings = _check_settings(sizes, names, patch_radius, search, iterations, pvalue, renoise)
    threads = _check_threads(threads)
    args = _check_noise(noise, sigma, model, sizes["C"])

    # The one float32 copy in core layout: estimation reads it, the core then
    # denoises it in place.
    work = np.array(view5, dtype=np.float32, order="C", copy=True)
    stages = stages or Stages(2, enabled=False)
    plan = stages.run("noise", _plan_noise, work, args)
    out = stages.run("denoising", _denoise_core, work, plan, settings, threads, overwrite=True)
    return np.ascontiguousarray(from_core_layout(out, names)), plan


# --------------------------------------------------------------------------
# Dask arrays: lazy, chunked


def _is_dask(image: object) -> bool:
    """Whether `image` is a dask array (without importing dask when it is not loaded)."""
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(image, module.Array)


def _is_delayed(value: object) -> bool:
    module = sys.modules.get("dask.delayed")
    return module is not None and isinstance(value, module.Delayed)


def _prepare_lazy(image: Any, axes: str | None) -> tuple[str, Any]:
    """Normalised axis names and the core-layout view of a dask array; nothing is read."""
    from quorvel import _chunked

    if np.dtype(image.dtype).kind not in "biuf":
        raise TypeError(f"image must hold real numbers, got dtype {image.dtype}")
    names = normalize_axes(axes, image.ndim)
    if any(math.isnan(n) for n in image.shape):
        raise ValueError(
            "image has chunks of unknown size; call its compute_chunk_sizes() method first"
        )
    if any(n == 0 for n in image.shape):
        raise ValueError(f"image is empty (shape {image.shape})")
    return names, _chunked.to_core_dask(image, names)


def _estimate_lazy(image: Any, axes: str | None) -> Any:
    from quorvel import _chunked

    _, core = _prepare_lazy(image, axes)
    return _chunked.estimate_lazy(core, _estimate_core)


def _needs_estimate(args: _NoiseArgs) -> bool:
    """Whether planning the noise of `args` reads the image."""
    model = args.model
    if args.kind == "gaussian":
        return args.sigma is None and (model is None or model.sigma is None)
    if model is None:
        return True
    return model.sigma is None and any(not g > 0 for g in model.gain)


def _plan_noise_checked(
    core5: npt.NDArray[Any], model: NoiseModel, *, noise: str, sigma: FloatValues | None
) -> NoisePlan:
    """`_plan_noise` for a model known only when the computation runs."""
    return _plan_noise(core5, _check_noise(noise, sigma, model, core5.shape[1]))


def _denoise_block(
    work: npt.NDArray[np.float32], plan: NoisePlan, threads: int, *, settings: CoreSettings
) -> npt.NDArray[np.float32]:
    """Denoise one block (a fresh core-layout float32 array) of a chunked computation."""
    return _denoise_core(work, plan, settings, threads, overwrite=True)


def _denoise_lazy(
    image: Any,
    axes: str | None,
    *,
    noise: NoiseKind,
    sigma: FloatValues | None,
    model: Any,
    patch_radius: PatchRadius | None,
    search: str,
    iterations: int,
    pvalue: float,
    renoise: float,
    threads: int,
    chunks: Mapping[str, int] | None = None,
) -> tuple[Any, Any]:
    """`denoise` of a dask array: the lazy result and its noise plan (maybe delayed).

    Every parameter, and `chunks` (chunk sizes by core axis letter, checked
    strictly; None keeps the image's chunks, aligned), is checked before
    anything is read.
    """
    from quorvel import _chunked

    names, core = _prepare_lazy(image, axes)
    sizes = dict(zip(_chunked.CORE_AXES, core.shape, strict=True))
    absent = [a for a in chunks or {} if a not in names]
    if absent:
        raise ValueError(f"chunks: the image has no {absent[0]} axis (axes {names})")
    settings = _check_settings(sizes, names, patch_radius, search, iterations, pvalue, renoise)
    threads = _check_threads(threads)
    delayed_model = _is_delayed(model)
    args = _check_noise(noise, sigma, None if delayed_model else model, sizes["C"])

    plan = _chunked.plan_chunks(
        core.shape,
        settings.patch_radius,
        settings.search,
        settings.iterations,
        chunks if chunks is not None else core.chunks,
        default=core.chunks,
    )
    largest = math.prod(
        max(a.block_lengths(c)) if len(c) > 1 else a.extent
        for a, c in zip(plan.axes, plan.chunks, strict=True)
    )
    if largest > _MAX_ELEMENTS:
        raise ValueError(
            f"a chunk with its halo holds {largest} elements; at most {_MAX_ELEMENTS} fit in "
            "one computation: use smaller chunks"
        )

    noise_plan: Any
    if delayed_model:
        noise_plan = _chunked.estimate_lazy(
            core, functools.partial(_plan_noise_checked, noise=noise, sigma=sigma), model
        )
    elif _needs_estimate(args):
        noise_plan = _chunked.estimate_lazy(core, functools.partial(_plan_noise, args=args))
    else:
        # Nothing to estimate: the plan needs only the channel count.
        noise_plan = _plan_noise(np.empty((0, sizes["C"], 0, 0, 0), dtype=np.float32), args)

    kernel = functools.partial(_denoise_block, settings=settings)
    out = _chunked.denoise_lazy(core, kernel, noise_plan, plan, n_threads=threads)
    return _chunked.from_core_dask(out, names), noise_plan
