"""The calls into the compute core ``_qv`` on core-layout ``(T, C, Z, Y, X)`` arrays.

`_denoise_core` denoises one core-layout array with a fixed `NoisePlan` and
`CoreSettings`; the calibration helpers wrap the core's two estimators.  A
chunked computation calls these per block.

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
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import _qv
import numpy as np
import numpy.typing as npt

from quorvel._util import _format_values

# The compute core, looked up through this name on every call.
qv = _qv

# The compute core addresses elements with 32-bit offsets.
_MAX_ELEMENTS = 2**31 - 1

# The stabilised noise has unit standard deviation.
_STABILISED_SIGMA = 1.0


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

