"""The noise model of an image and its estimation from the image itself.

`NoiseModel` holds per channel a Poisson-Gaussian model (variance
``gain * intensity + offset``) and a Gaussian one (``sigma``).  `_plan_noise`
decides for each channel which path the denoiser takes and with which
parameters.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from quorvel._core import NoisePlan, _calibrate, _estimate_sigma
from quorvel._util import (
    FloatValues,
    _as_float_tuple,
    _check_not_tiny,
    _format_values,
    _per_channel,
)

if TYPE_CHECKING:
    from quorvel._params import _NoiseArgs

__all__ = ["NoiseModel"]

# Warnings are attributed to the caller's code, not to this package.
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


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
        _check_not_tiny(g, "gain")
        if len(g) != len(o):
            raise ValueError(f"gain has {len(g)} values but offset has {len(o)}")
        s: tuple[float, ...] | None = None
        if sigma is not None:
            s = _as_float_tuple(sigma, "sigma")
            if len(s) not in (1, len(g)):
                raise ValueError(f"sigma has {len(s)} values but gain has {len(g)}")
            if not all(v >= 0 for v in s):
                raise ValueError(f"sigma must be >= 0, got {_format_values(s)}")
            _check_not_tiny(s, "sigma")
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


def _plan_noise(core5: npt.NDArray[Any], args: _NoiseArgs, threads: int = 0) -> NoisePlan:
    """Decide the path and noise parameters of every channel of a core-layout image.

    Parameters
    ----------
    core5 : ndarray
        The image in core layout, read only for what has to be estimated
        (a representative block may stand in for a larger image).
    args : _NoiseArgs
        Checked `noise`, `sigma` and `model` arguments of `denoise`.
    threads : int
        Threads of the calibration, as `denoise` takes them.

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
        gain, offset = _calibrate(core5, threads)
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


