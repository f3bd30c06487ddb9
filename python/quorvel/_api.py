"""Noise estimation and denoising of NumPy arrays.

Everything here prepares arguments for the compute core ``_qv`` and interprets
its results: axis names, parameter validation, per-channel scaling and the
choice of noise model.  The numerical work happens in the core.

Channels
--------
Noise estimation treats every channel on its own, and so do the
variance-stabilising transforms of the Poisson-Gaussian path.  The denoiser
does not: a patch spans all channels of its pixels, so the similarity of two
patches, and with it the averaging weights, is judged on all channels
together.  Channels are therefore denoised in one call, after each has been
scaled to unit noise (Gaussian noise) or to photon units (Poisson-Gaussian
noise) so that they weigh alike in that joint comparison.
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import _qv
import numpy as np
import numpy.typing as npt

from quorvel._axes import core_shape, from_core_layout, normalize_axes, to_core_layout
from quorvel._progress import Stages

__all__ = [
    "GaussianNoise",
    "NoiseModel",
    "NoiseSpec",
    "PoissonGaussianNoise",
    "denoise",
    "estimate_noise",
    "run_denoise",
]

# The compute core, looked up through this name on every call.
qv = _qv

#: Patch radius per axis when none is given: 7 x 7 pixel patches in each plane.
DEFAULT_PATCH_RADIUS = {"X": 3, "Y": 3, "Z": 0, "T": 0}

#: Largest iteration count: the search window doubles along X and Y with every
#: iteration, and 2**30 pixels is beyond any image.
MAX_ITER_LIMIT = 30

#: In ``"auto"`` mode the noise counts as signal-dependent when the variance
#: that the fitted model predicts at the bright end of a channel (99th
#: percentile of its local means) is at least this factor times the variance
#: at its dark end (1st percentile).  Below it the noise is essentially constant and the
#: Gaussian path is used.
SIGNAL_DEPENDENCE_RATIO = 1.25

#: Local means sampled per channel to find the percentiles of that rule, and
#: the side of the blocks they average.
_PERCENTILE_SAMPLES = 1_000_000
_BLOCK = 4

#: One value, or one value per channel.
FloatValues: TypeAlias = float | Sequence[float] | npt.NDArray[Any]

# The compute core addresses elements with 32-bit offsets.
_MAX_ELEMENTS = 2**31 - 1

# The stabilised noise has unit standard deviation.
_STABILISED_SIGMA = 1.0


def _as_float_tuple(values: FloatValues, name: str) -> tuple[float, ...]:
    try:
        arr = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as err:
        raise ValueError(f"{name} must be a number or a sequence of numbers") from err
    if arr.ndim > 1:
        raise ValueError(f"{name} must be a number or a sequence of numbers, got shape {arr.shape}")
    out = tuple(float(v) for v in arr.reshape(-1))
    if not out:
        raise ValueError(f"{name} needs at least one value")
    if not all(math.isfinite(v) for v in out):
        raise ValueError(f"{name} must be finite, got {out}")
    return out


def _format_values(values: tuple[float, ...]) -> str:
    text = ", ".join(f"{v:.4g}" for v in values)
    return text if len(values) == 1 else f"[{text}]"


@dataclass(frozen=True)
class GaussianNoise:
    """Additive Gaussian noise of constant standard deviation.

    Parameters
    ----------
    sigma : float or sequence of float
        Noise standard deviation in intensity units, one value per channel
        (a single value applies to every channel).  Must be positive.
    """

    sigma: tuple[float, ...]

    def __init__(self, sigma: FloatValues) -> None:
        values = _as_float_tuple(sigma, "sigma")
        if not all(v > 0 for v in values):
            raise ValueError(f"sigma must be > 0, got {_format_values(values)}")
        object.__setattr__(self, "sigma", values)

    @property
    def n_channels(self) -> int:
        """Number of channels described (1 also stands for any number)."""
        return len(self.sigma)

    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]:
        """Noise variance at `intensity` in `channel`: ``sigma**2``."""
        return np.full(np.shape(intensity), self.sigma[channel] ** 2)

    def __str__(self) -> str:
        return f"Gaussian, sigma {_format_values(self.sigma)}"


@dataclass(frozen=True)
class PoissonGaussianNoise:
    """Poisson-Gaussian noise: variance ``gain * intensity + offset``.

    This is the noise of a camera that counts photons (Poisson noise scaled by
    the camera gain) and adds read-out noise.  With a dark level ``b`` and a
    read-out noise ``s``, ``offset = s**2 - gain * b``, which is negative for
    most cameras.

    Parameters
    ----------
    gain : float or sequence of float
        Slope of the variance, in intensity units per detected photon; one
        value per channel.  Must be positive.
    offset : float or sequence of float
        Noise variance at intensity 0, one value per channel.
    """

    gain: tuple[float, ...]
    offset: tuple[float, ...]

    def __init__(self, gain: FloatValues, offset: FloatValues) -> None:
        g = _as_float_tuple(gain, "gain")
        o = _as_float_tuple(offset, "offset")
        if len(g) != len(o):
            raise ValueError(f"gain has {len(g)} values but offset has {len(o)}")
        if not all(v > 0 for v in g):
            raise ValueError(f"gain must be > 0, got {_format_values(g)}")
        object.__setattr__(self, "gain", g)
        object.__setattr__(self, "offset", o)

    @property
    def n_channels(self) -> int:
        """Number of channels described (1 also stands for any number)."""
        return len(self.gain)

    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]:
        """Noise variance at `intensity` in `channel`."""
        return self.gain[channel] * np.asarray(intensity, dtype=np.float64) + self.offset[channel]

    def __str__(self) -> str:
        return (
            f"Poisson-Gaussian, gain {_format_values(self.gain)}, "
            f"offset {_format_values(self.offset)}"
        )


NoiseModel: TypeAlias = GaussianNoise | PoissonGaussianNoise
NoiseSpec: TypeAlias = Literal["auto", "gaussian", "poisson-gaussian"] | FloatValues | NoiseModel
_ESTIMATORS = ("auto", "gaussian", "poisson-gaussian")


# --------------------------------------------------------------------------
# Images


def _prepare(
    image: npt.ArrayLike, axes: str | None
) -> tuple[npt.NDArray[Any], str, npt.NDArray[Any]]:
    """The image as an array, its normalised axis names, and its core view."""
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


def _float32_contiguous(core: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """A C-contiguous float32 array for the read-only core functions."""
    return np.ascontiguousarray(core, dtype=np.float32)


def _fresh_copy(core: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """A new C-contiguous float32 array that the core may overwrite."""
    return np.array(core, dtype=np.float32, order="C", copy=True)


# --------------------------------------------------------------------------
# Noise estimation


def _estimate_sigma(core: npt.NDArray[Any]) -> tuple[float, ...]:
    """Gaussian noise level of every channel of a core-layout image."""
    return tuple(
        float(qv._calibrate_gaussian(_float32_contiguous(core[:, c : c + 1])))
        for c in range(core.shape[1])
    )


def _estimate_poisson_gaussian(core: npt.NDArray[Any]) -> tuple[list[float], list[float]]:
    """Fitted gain and offset of every channel of a core-layout image."""
    gain, offset = qv._calibrate_poisson_gaussian(_float32_contiguous(core))
    return [float(v) for v in gain], [float(v) for v in offset]


def _intensity_range(channel: npt.NDArray[Any]) -> tuple[float, float]:
    """1st and 99th percentiles of the local means of a ``(T, Z, Y, X)`` channel.

    Means over blocks of 4 x 4 pixels keep the range of the signal and drop
    most of the range of the noise, which would otherwise make pure noise look
    like a range of intensities.
    """
    planes = channel.reshape(-1, *channel.shape[-2:])
    n_y, n_x = planes.shape[-2:]
    b = _BLOCK if min(n_y, n_x) >= 2 * _BLOCK else 1
    step = max(1, planes.shape[0] * (n_y // b) * (n_x // b) // _PERCENTILE_SAMPLES)
    planes = planes[::step, : n_y - n_y % b, : n_x - n_x % b]
    blocks = np.mean(
        planes.reshape(planes.shape[0], n_y // b, b, n_x // b, b), axis=(2, 4), dtype=np.float64
    )
    lo, hi = np.percentile(blocks, [1.0, 99.0])
    return float(lo), float(hi)


def _is_signal_dependent(gain: float, offset: float, lo: float, hi: float) -> bool:
    if not gain > 0 or not hi > lo:
        return False
    var_lo = gain * lo + offset
    var_hi = gain * hi + offset
    return var_lo <= 0 or var_hi >= SIGNAL_DEPENDENCE_RATIO * var_lo


def _failed_fit(gain: float, offset: float) -> bool:
    # The core's answer when a channel gives no usable line (a constant or
    # nearly empty channel).
    return gain == 1.0 and offset == 0.0


def _estimate_noise_core(core: npt.NDArray[Any], model: str) -> NoiseModel:
    if model == "gaussian":
        return _gaussian_from_estimate(_estimate_sigma(core))
    gain, offset = _estimate_poisson_gaussian(core)
    failed = [c for c in range(len(gain)) if _failed_fit(gain[c], offset[c])]
    if model == "poisson-gaussian":
        if failed:
            raise ValueError(
                f"noise: the Poisson-Gaussian fit failed for channel {failed[0]} (too few "
                "distinct intensities); use noise='gaussian' or give the model"
            )
        bad = [c for c in range(len(gain)) if not gain[c] > 0]
        if bad:
            raise ValueError(
                f"noise: the estimated gain of channel {bad[0]} is {gain[bad[0]]:.3g}, not "
                "positive: the noise does not grow with intensity; use noise='gaussian'"
            )
        return PoissonGaussianNoise(gain, offset)
    # auto
    if failed:
        warnings.warn(
            f"the Poisson-Gaussian fit failed for channel {failed[0]}; assuming Gaussian noise",
            RuntimeWarning,
            stacklevel=3,
        )
    elif all(
        _is_signal_dependent(gain[c], offset[c], *_intensity_range(core[:, c]))
        for c in range(len(gain))
    ):
        return PoissonGaussianNoise(gain, offset)
    return _gaussian_from_estimate(_estimate_sigma(core))


def _gaussian_from_estimate(sigma: tuple[float, ...]) -> GaussianNoise:
    zero = [c for c, s in enumerate(sigma) if not s > 0]
    if zero:
        raise ValueError(
            f"noise: the estimated noise level of channel {zero[0]} is 0 (a constant or "
            "noise-free channel); give sigma explicitly"
        )
    return GaussianNoise(sigma)


def estimate_noise(
    image: npt.ArrayLike,
    model: Literal["auto", "gaussian", "poisson-gaussian"] = "auto",
    *,
    axes: str | None = None,
) -> NoiseModel:
    """Estimate the noise of an image from the image itself.

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions; NumPy arrays, and anything that converts to
        one (dask or zarr arrays, nested lists), are accepted.
    model : {'auto', 'gaussian', 'poisson-gaussian'}
        Which model to fit.  ``'gaussian'`` estimates one standard deviation
        per channel from the differences between each pixel and its
        neighbours.  ``'poisson-gaussian'`` fits variance = gain * intensity +
        offset per channel from local intensity and noise measurements.
        ``'auto'`` fits the Poisson-Gaussian model and keeps it when, in every
        channel, the predicted variance at the bright end (99th percentile of
        the means of 4 x 4 pixel blocks) is at least 1.25 times that at the
        dark end (1st percentile); otherwise it returns the Gaussian
        estimate.
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel), ``Z``, ``Y`` and ``X``.  By default ``YX``,
        ``ZYX``, ``CZYX`` or ``TCZYX`` by dimension.  Time and space are
        neighbourhoods of a pixel; channels are estimated separately.

    Returns
    -------
    GaussianNoise or PoissonGaussianNoise
        The noise model, with one value per channel.

    Raises
    ------
    ValueError
        For an invalid `model` or `axes`, an empty image or non-finite values;
        for ``'poisson-gaussian'`` when the fit fails or gives a gain that is
        not positive; when the estimated Gaussian noise level is 0.
    """
    if model not in _ESTIMATORS:
        raise ValueError(f"model must be one of {', '.join(_ESTIMATORS)}; got {model!r}")
    _, _, core = _prepare(image, axes)
    return _estimate_noise_core(core, model)


# --------------------------------------------------------------------------
# Denoising parameters


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
    patch_radius: int | Mapping[str, int] | None, sizes: dict[str, int]
) -> list[int]:
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
                f"{2 * r + 1} pixels along {axis}, the image has {n}"
            )
    return [radius["X"], radius["Y"], radius["Z"], 0, radius["T"]]


def _search5(search_axes: str) -> list[int]:
    if not isinstance(search_axes, str):
        raise ValueError(f"search_axes must be a string such as 'ZT', got {search_axes!r}")
    letters = set(search_axes.upper())
    unknown = letters - set("XYZT")
    if unknown:
        raise ValueError(
            f"search_axes {search_axes!r}: cannot search along {', '.join(sorted(unknown))}; "
            "use Z and T (X and Y are always searched)"
        )
    return [1, 1, int("Z" in letters), 0, int("T" in letters)]


def _noise_for_channels(noise: NoiseSpec, n_channels: int) -> NoiseModel | str:
    """Validate a given noise model against the channel count, or pass an estimator name."""
    if isinstance(noise, str):
        if noise not in _ESTIMATORS:
            raise ValueError(
                f"noise must be one of {', '.join(_ESTIMATORS)}, a sigma or a noise model; "
                f"got {noise!r}"
            )
        return noise
    model: NoiseModel
    if isinstance(noise, GaussianNoise | PoissonGaussianNoise):
        model = noise
    else:
        model = GaussianNoise(noise)  # a sigma or one sigma per channel
    if model.n_channels not in (1, n_channels):
        raise ValueError(
            f"noise describes {model.n_channels} channels but the image has {n_channels}"
        )
    return model


def _per_channel(values: tuple[float, ...], n_channels: int) -> list[float]:
    return list(values) if len(values) == n_channels else [values[0]] * n_channels


# --------------------------------------------------------------------------
# Denoising


def _denoise_core(
    work: npt.NDArray[np.float32],
    model: NoiseModel,
    radius5: list[int],
    search5: list[int],
    max_iter: int,
    pvalue: float,
    n_threads: int,
    renoise: float,
) -> npt.NDArray[np.float32]:
    """Denoise a fresh core-layout float32 array; `work` is overwritten."""
    n_channels = work.shape[1]
    if isinstance(model, GaussianNoise):
        sigma = _per_channel(model.sigma, n_channels)
        if len(set(sigma)) == 1:
            same: npt.NDArray[np.float32] = qv._denoise_gaussian(
                work, sigma[0], radius5, search5, max_iter, pvalue, n_threads, renoise
            )
            return same
        # Unit noise in every channel, so that each weighs alike in the joint
        # patch comparison.
        scale = np.asarray(sigma, dtype=np.float32).reshape(1, -1, 1, 1, 1)
        work /= scale
        out: npt.NDArray[np.float32] = qv._denoise_gaussian(
            work, _STABILISED_SIGMA, radius5, search5, max_iter, pvalue, n_threads, renoise
        )
        out *= scale
        return out
    # Poisson-Gaussian: work in photon units (gain 1).  The transform into
    # unit-variance noise is the same as with the original gain, and the
    # inverse transform then applies its bias correction at the right scale.
    gain = _per_channel(model.gain, n_channels)
    offset = _per_channel(model.offset, n_channels)
    scale = np.asarray(gain, dtype=np.float32).reshape(1, -1, 1, 1, 1)
    work /= scale
    stabilised: npt.NDArray[np.float32] = qv._denoise_poisson_gaussian(
        work,
        _STABILISED_SIGMA,
        [1.0] * n_channels,
        [o / (g * g) for g, o in zip(gain, offset, strict=True)],
        radius5,
        search5,
        max_iter,
        pvalue,
        n_threads,
        renoise,
    )
    stabilised *= scale
    return stabilised


def denoise(
    image: npt.ArrayLike,
    noise: NoiseSpec = "auto",
    *,
    axes: str | None = None,
    patch_radius: int | Mapping[str, int] | None = None,
    search_axes: str = "ZT",
    max_iter: int = 4,
    pvalue: float = 0.01,
    renoise: float = 0.0,
    n_threads: int = 0,
    progress: bool = False,
) -> npt.NDArray[np.float32]:
    """Denoise an image, a z-stack or a time-lapse sequence.

    Each pixel is replaced by a weighted mean of pixels whose surrounding
    patches look alike, found in a search window that doubles in size with
    every iteration; a statistical test keeps the previous estimate where the
    new one disagrees with it.  The input is never modified.

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions, any real dtype.  NumPy arrays and anything
        that converts to one (dask or zarr arrays are read into memory) are
        accepted.
    noise : {'auto', 'gaussian', 'poisson-gaussian'}, float, sequence of float, \
GaussianNoise or PoissonGaussianNoise
        The noise of `image`.  A string estimates it from the image (see
        `estimate_noise`); a number, or one number per channel, is the
        standard deviation of Gaussian noise; a model object is used as it is.
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel), ``Z``, ``Y`` and ``X``, e.g. ``'TYX'`` for a
        2-D time-lapse or ``'TZCYX'`` for an ImageJ hyperstack.  By default
        ``YX``, ``ZYX``, ``CZYX`` or ``TCZYX`` by dimension: a 3-D array is a
        z-stack unless named otherwise.
    patch_radius : int or mapping, optional
        Half-size of the patches compared.  An int sets X and Y; a mapping such
        as ``{'X': 2, 'Y': 2, 'Z': 1}`` sets any of X, Y, Z and T.  Unset axes
        use X = Y = 3 and Z = T = 0.  Axes of length 1 are ignored; along the
        others the image needs at least ``2 * radius + 1`` pixels.
    search_axes : str, default 'ZT'
        Axes besides X and Y along which the search window grows: ``'Z'``,
        ``'T'``, both or ``''``.  Axes the image lacks are ignored.
    max_iter : int, default 4
        Number of iterations, 1 to 30; the last one searches ``2**(max_iter-1)``
        pixels to each side along X and Y.
    pvalue : float, default 0.01
        Significance level of the tests that reject dissimilar patches and
        estimates; in [0, 1).  Smaller values average more.
    renoise : float, default 0
        Mixes a fraction of the noisy image back into each estimate; larger
        values mix in less.  0 switches mixing off.
    n_threads : int, default 0
        Threads to use; 0 uses all, a negative number all but that many.
    progress : bool, default False
        Show a progress bar on standard error, by stage (noise estimation,
        denoising).  It does not change the result.

    Returns
    -------
    ndarray of float32
        The denoised image, with the shape and axis order of `image`.

    Raises
    ------
    ValueError
        For invalid parameters, naming the parameter; for an empty image or
        one with non-finite values.  No computation runs before the checks.
    TypeError
        If `image` does not hold real numbers.

    Notes
    -----
    Channels are denoised together: the similarity of two patches is judged
    on all channels, each scaled to unit noise first.  The computation needs
    about seven times the image's size in float32 memory.
    """
    with Stages(2 if isinstance(noise, str) else 1, enabled=progress) as stages:
        out, _ = run_denoise(
            image,
            noise,
            stages,
            axes=axes,
            patch_radius=patch_radius,
            search_axes=search_axes,
            max_iter=max_iter,
            pvalue=pvalue,
            renoise=renoise,
            n_threads=n_threads,
        )
    return out


def run_denoise(
    image: npt.ArrayLike,
    noise: NoiseSpec,
    stages: Stages,
    *,
    axes: str | None,
    patch_radius: int | Mapping[str, int] | None,
    search_axes: str,
    max_iter: int,
    pvalue: float,
    renoise: float,
    n_threads: int,
) -> tuple[npt.NDArray[np.float32], NoiseModel]:
    """`denoise` with a given progress display; also returns the noise model used.

    Every parameter is checked before any computation, noise estimation
    included.  When `noise` is a string, `stages` counts two stages
    (estimation, denoising), otherwise one.
    """
    arr, names, core = _prepare(image, axes)
    sizes = core_shape(arr.shape, names)
    radius5 = _patch_radius5(patch_radius, sizes)
    search5 = _search5(search_axes)
    max_iter = _check_int(max_iter, "max_iter")
    if not 1 <= max_iter <= MAX_ITER_LIMIT:
        raise ValueError(f"max_iter must be between 1 and {MAX_ITER_LIMIT}, got {max_iter}")
    pvalue = _check_real(pvalue, "pvalue")
    if not 0.0 <= pvalue < 1.0:
        raise ValueError(f"pvalue must be in the range [0, 1), got {pvalue}")
    renoise = _check_real(renoise, "renoise")
    if renoise < 0:
        raise ValueError(f"renoise must be >= 0, got {renoise}")
    n_threads = _check_int(n_threads, "n_threads")
    spec = _noise_for_channels(noise, sizes["C"])

    if isinstance(spec, str):
        model = stages.run("estimating noise", _estimate_noise_core, core, spec)
    else:
        model = spec
    out = stages.run(
        "denoising",
        lambda: _denoise_core(
            _fresh_copy(core), model, radius5, search5, max_iter, pvalue, n_threads, renoise
        ),
    )
    return np.ascontiguousarray(from_core_layout(out, names)), model
