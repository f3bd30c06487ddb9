"""Estimation of the noise model from the image, and the per-channel path choice.

`_estimate_core` gives the `NoiseModel` of a core-layout image by one of the
calibration methods; `_plan_noise` decides for each channel which path the
denoiser takes and with which parameters.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from quorvel._core import NoisePlan, _calibrate, _estimate_sigma
from quorvel._util import _per_channel
from quorvel.noise._fit import fit_channel
from quorvel.noise._line import GROUND_MISFIT
from quorvel.noise._model import NoiseModel

if TYPE_CHECKING:
    from quorvel._params import _NoiseArgs

EstimateMethod = Literal["auto", "temporal", "spatial", "core"]
METHODS: tuple[str, ...] = ("auto", "temporal", "spatial", "core")

# Warnings are attributed to the caller's code, not to this package.
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _check_method(method: str) -> EstimateMethod:
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    return method  # type: ignore[return-value]


Fits = tuple[
    tuple[float, ...], tuple[float, ...], tuple[float, ...], tuple[float, ...], tuple[float, ...]
]

#: Relative standard error of the gain above which it counts as ill-determined.
ILL_DETERMINED = 0.10
#: A gain not above 0 counts as ill-determined where one standard error of it
#: changes the line's noise variance by more than this share of the variance
#: at the channel's mean, across the middle 80 % of its intensities (noisy
#: images of pure Gaussian noise: 0.01 to 0.06; a frame of dense spots whose
#: gain came out -0.03 +- 9.7: 116).
UNSURE_SIGN = 0.25
#: An estimated noise level below this share of a channel's first value (plus
#: one) is checked for a constant channel.
_TINY_LEVEL = 1e-6


def _fit_package(core5: npt.NDArray[Any], method: str) -> Fits:
    """Gain, offset, standard errors and ground misfit per channel by the package's calibration.

    NaN where there is no fit (or no standard error); see `LineFit` for the misfit.
    """
    fits = [fit_channel(core5[:, c], method) for c in range(core5.shape[1])]  # type: ignore[arg-type]
    return (
        tuple(f.gain for f in fits),
        tuple(f.offset for f in fits),
        tuple(f.gain_se for f in fits),
        tuple(f.offset_se for f in fits),
        tuple(f.ground for f in fits),
    )


def _fit_poisson(core5: npt.NDArray[Any], method: str, threads: int = 0) -> Fits:
    """Gain, offset, standard errors and ground misfit (NaN: none) per channel by `method`."""
    if method == "core":
        gain, offset = _calibrate(core5, threads)
        nan = (math.nan,) * len(gain)
        return gain, offset, nan, nan, nan
    return _fit_package(core5, method)


#: How the warning of `ill_determined` begins.
POORLY_DETERMINED = "the image determines the Poisson-Gaussian gain poorly"


def ill_determined(
    gain: Sequence[float],
    gain_se: Sequence[float],
    measured: bool = False,
    reach: Sequence[float] = (),
) -> str:
    """What to say of channels whose gain's relative standard error exceeds `ILL_DETERMINED`.

    Empty when there are none.  A NaN gain counts as none, and so does a NaN
    standard error unless `measured` (the method measures one: NaN then
    means that the blocks left could not, as when one group of them holds
    all of the line's reach).  A gain not above 0 is judged only with
    `reach` (per channel, the spread of its intensities over the noise
    variance at its mean, `_sign_reach`): where one standard error of the
    gain would change that variance by more than `UNSURE_SIGN` of itself,
    the image does not tell whether the noise grows with the intensity.
    """

    def loose_gain(c: int, g: float, se: float) -> bool:
        if g > 0:
            return se > ILL_DETERMINED * g or (measured and se != se)
        return g <= 0 and c < len(reach) and se * reach[c] > UNSURE_SIGN

    loose = [
        f"channel {c} (gain {g:.4g} +- {se:.2g})"
        if se == se
        else f"channel {c} (gain {g:.4g}, its standard error not measurable)"
        for c, (g, se) in enumerate(zip(gain, gain_se, strict=True))
        if loose_gain(c, g, se)
    ]
    if not loose:
        return ""
    return (
        f"{POORLY_DETERMINED} in {', '.join(loose)}: "
        f"its standard error is above {ILL_DETERMINED:.0%} of it; calibrate the camera "
        "(`quorvel calibrate`) and use its model instead"
    )


#: How the warning of `missed_ground` begins.
MISSED_GROUND = "the fitted noise line misses the image's dark ground"


def missed_ground(gain: Sequence[float], ground: Sequence[float]) -> str:
    """What to say of channels whose line overestimates the noise of their dark ground.

    Empty when there are none: where the ground's energy is below
    `GROUND_MISFIT` of the line's prediction, a few parts far above the
    noise pulled the line up, and its standard error does not show it.
    """
    missed = [
        f"channel {c} (gain {g:.4g}; it predicts {1 / r:.2g} times the noise variance there)"
        for c, (g, r) in enumerate(zip(gain, ground, strict=True))
        if g > 0 and r < GROUND_MISFIT
    ]
    if not missed:
        return ""
    return (
        f"{MISSED_GROUND} in {', '.join(missed)}: "
        "hot pixels beside bright spots, or structure left in the residuals, pulled it; "
        "calibrate the camera (`quorvel calibrate`) and use its model instead"
    )


def _sign_reach(
    core5: npt.NDArray[Any], gain: Sequence[float], offset: Sequence[float]
) -> tuple[float, ...]:
    """Per channel, the spread of its intensities over the line's noise variance at its mean.

    The spread is between the 10th and 90th percentiles, on at most about
    2**16 elements taken at even steps in the plane; 0 where the variance
    is not positive.  Only for channels whose gain is not above 0 (`ill_determined`).
    """
    step = max(1, math.isqrt(core5[:, 0].size // 2**16))
    out = []
    for c in range(core5.shape[1]):
        variance = gain[c] * float(np.mean(core5[:, c], dtype=np.float64)) + offset[c]
        if not (gain[c] <= 0 and variance > 0):
            out.append(0.0)
            continue
        sample = np.asarray(core5[:, c, :, ::step, ::step], dtype=np.float64)
        low, high = np.percentile(sample, (10, 90))
        out.append(float(high - low) / variance)
    return tuple(out)


def _warn_ill_determined(
    gain: Sequence[float],
    gain_se: Sequence[float],
    measured: bool = False,
    ground: Sequence[float] = (),
    reach: Sequence[float] = (),
) -> None:
    """Warn about channels whose gain is ill-determined or whose line misses its ground."""
    missed = missed_ground(gain, ground) if ground else ""
    for message in (ill_determined(gain, gain_se, measured, reach), missed):
        if message:
            warnings.warn(message, RuntimeWarning, skip_file_prefixes=(_PACKAGE_DIR,))


def _estimate_core(core5: npt.NDArray[Any], method: str = "auto") -> NoiseModel:
    """The noise model of a core-layout ``(T, C, Z, Y, X)`` image.

    Parameters
    ----------
    core5 : ndarray
        Five-dimensional image in core layout; C-contiguous float32 avoids a
        conversion.
    method : {'auto', 'temporal', 'spatial', 'core'}
        Calibration of gain and offset (see `quorvel.estimate_noise`).

    Returns
    -------
    NoiseModel
        Gain and offset per channel (NaN where the fit failed) with their
        standard errors (NaN for ``'core'``), and sigma: the fitted line's
        noise at the channel's mean intensity (`_line_levels`).

    Warns
    -----
    RuntimeWarning
        When the relative standard error of a channel's gain exceeds
        `ILL_DETERMINED` (a gain not above 0: `UNSURE_SIGN`), or when its
        line overestimates the noise of its dark ground (`missed_ground`).
    """
    gain, offset, gain_se, offset_se, ground = _fit_poisson(core5, _check_method(method))
    reach = _sign_reach(core5, gain, offset) if any(g <= 0 for g in gain) else ()
    _warn_ill_determined(gain, gain_se, measured=method != "core", ground=ground, reach=reach)
    sigma = _line_levels(core5, range(core5.shape[1]), gain, offset)
    return NoiseModel(
        gain,
        offset,
        [sigma[c] for c in range(core5.shape[1])],
        gain_se=gain_se,
        offset_se=offset_se,
    )


# --------------------------------------------------------------------------
# The noise of each channel


@dataclass(frozen=True)
class FittedNoisePlan(NoisePlan):
    """A `NoisePlan` with the standard errors of its Poisson-Gaussian gains and offsets.

    Per channel, as `gain`: None on the Gaussian path, NaN where the model
    gives no standard error (a camera file, the core's calibration).
    """

    gain_se: tuple[float | None, ...] = ()
    offset_se: tuple[float | None, ...] = ()


def _line_levels(
    core5: npt.NDArray[Any],
    channels: Sequence[int],
    gain: Sequence[float],
    offset: Sequence[float],
) -> dict[int, float]:
    """Sigma of `channels` from their fitted lines, at each channel's mean intensity.

    The line (``gain * intensity + offset``) is fitted where the image is
    flat or its frames alike, and holds within 5 % of the noise's standard
    deviation on the calibration benchmark; the core's Gaussian estimate
    takes strong structure for noise (up to 29 % high on structured 2-D
    scenes, several times on a bright smooth sequence).  The core's estimate
    stands in where the line gives no positive variance (no fit).
    """
    levels: dict[int, float] = {}
    for c in channels:
        mean = float(np.mean(core5[:, c], dtype=np.float64))
        variance = gain[c] * mean + offset[c]
        if math.isfinite(variance) and variance > 0:
            levels[c] = math.sqrt(variance)
    missing = [c for c in channels if c not in levels]
    if missing:
        levels.update(_estimate_sigma(core5, missing))
    return levels


def _constant_value(core5: npt.NDArray[Any], c: int) -> float | None:
    """The one value channel `c` of `core5` holds throughout, else None (or when empty)."""
    channel = core5[:, c]
    if channel.size == 0:
        return None
    low = channel.min()
    return float(low) if low == channel.max() else None


def _tiny_level(core5: npt.NDArray[Any], c: int) -> float:
    """An estimated noise level of channel `c` at or below which it may be constant."""
    first = abs(float(core5[:, c].flat[0])) if core5[:, c].size else 0.0
    return _TINY_LEVEL * (first + 1.0)


def _gaussian_levels(
    core5: npt.NDArray[Any],
    channels: Sequence[int],
    known: tuple[float, ...] | None,
    line: tuple[Sequence[float], Sequence[float]] | None = None,
) -> tuple[dict[int, float], dict[int, float]]:
    """Sigma of `channels`: given, from the fitted line, or the core's estimate.

    From `known` (one value per channel), else from the fitted `line` (gain
    and offset per channel, `_line_levels`), else the core's estimate.  A
    channel whose level is 0 because it holds one value throughout has
    nothing to denoise: it is returned in the second dictionary, with its
    value, instead of the first.
    """
    if known is not None:
        levels = {c: known[c] for c in channels}
    elif line is not None:
        levels = _line_levels(core5, channels, *line)
    else:
        levels = _estimate_sigma(core5, channels)
    # A constant channel's estimated level may come out a rounding error
    # above 0 instead of 0: such levels are checked too (a given one is not).
    low = [c for c in channels if not levels[c] > (0 if known else _tiny_level(core5, c))]
    constant = {c: v for c in low if (v := _constant_value(core5, c)) is not None}
    unknown = [c for c in low if not levels[c] > 0 and c not in constant]
    if unknown:
        raise ValueError(
            f"sigma: the noise level of channel {unknown[0]} is 0 (a noise-free channel); "
            "give sigma with noise='gaussian'"
        )
    return {c: levels[c] for c in channels if c not in constant}, constant


def _constants(constant: dict[int, float], n: int) -> tuple[float | None, ...]:
    """`NoisePlan.constant` of `n` channels: empty where no channel is constant."""
    return tuple(constant.get(c) for c in range(n)) if constant else ()


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
        Threads of a calibration in the core, as `denoise` takes them.

    Returns
    -------
    NoisePlan
        Gaussian sigma or Poisson-Gaussian gain and offset, per channel; a
        `FittedNoisePlan` (with the standard errors of gain and offset)
        unless `args` asks for Gaussian noise.

    Raises
    ------
    ValueError
        When a required gain is not positive, or a noise level is 0 in a
        channel that does not hold one value throughout (such a channel is
        passed through: `NoisePlan.constant`).
    """
    n = core5.shape[1]
    none: tuple[None, ...] = (None,) * n
    model = args.model
    if args.kind == "gaussian":
        known = args.sigma if args.sigma is not None else (model.sigma if model else None)
        given, flat = _gaussian_levels(
            core5, range(n), None if known is None else _per_channel(known, n)
        )
        return NoisePlan(none, none, tuple(given.get(c) for c in range(n)), _constants(flat, n))

    if model is None:
        # No warning of an ill-determined gain here (`estimate_noise` gives
        # one): the provenance keeps the standard errors.
        gain, offset, gain_se, offset_se, _ = _fit_poisson(core5, "auto", threads)
        known_sigma = None
    else:
        gain, offset = _per_channel(model.gain, n), _per_channel(model.offset, n)
        gain_se, offset_se = _per_channel(model.gain_se, n), _per_channel(model.offset_se, n)
        known_sigma = None if model.sigma is None else _per_channel(model.sigma, n)
    bad = [c for c in range(n) if not gain[c] > 0]
    constant: dict[int, float] = {}
    if args.kind == "poisson-gaussian" and bad:
        constant = {c: v for c in bad if (v := _constant_value(core5, c)) is not None}
        bad = [c for c in bad if c not in constant]
    if args.kind == "poisson-gaussian" and bad:
        c = bad[0]
        what = "could not be fitted" if math.isnan(gain[c]) else f"is {gain[c]:.4g}, not positive"
        raise ValueError(
            f"noise: the Poisson-Gaussian gain of channel {c} {what}; use noise='auto' to "
            "denoise such channels as Gaussian noise, or noise='gaussian'"
        )
    levels: dict[int, float] = {}
    if bad:
        levels, constant = _gaussian_levels(core5, bad, known_sigma, (gain, offset))
        bad = [c for c in bad if c in levels]
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
    direct = [c for c in range(n) if c not in levels and c not in constant]
    return FittedNoisePlan(
        tuple(gain[c] if c in direct else None for c in range(n)),
        tuple(offset[c] if c in direct else None for c in range(n)),
        tuple(levels.get(c) for c in range(n)),
        _constants(constant, n),
        tuple(gain_se[c] if c in direct else None for c in range(n)),
        tuple(offset_se[c] if c in direct else None for c in range(n)),
    )
