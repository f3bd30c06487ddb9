"""A camera's noise model from dark frames, flat frames or one image.

The read noise and the dark level come from dark frames (no light): the
level is their mean, the read noise the standard deviation of differences of
consecutive frames over sqrt(2), which cancels fixed patterns (differences
beyond 6 robust standard deviations, events of one frame such as cosmic-ray
hits, left out).  The gain comes from pairs of flat frames (even light, one
level per pair): half the variance of a pair's difference, so taken, minus
the read noise squared, over the pair's mean above the dark level.  Without
flats it comes from an image of the sample, fitted with the dark level and
read noise held fixed.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel.noise._fit import fit_channel
from quorvel.noise._model import NoiseModel

__all__ = ["CameraCalibration", "calibrate_camera"]


@dataclass(frozen=True)
class CameraCalibration:
    """What a camera calibration measured, and the noise model it gives.

    Attributes
    ----------
    model : NoiseModel
        ``gain`` and ``offset = read_noise**2 - gain * dark_level``.
    dark_level, read_noise : float
        Mean and temporal standard deviation of the dark frames.
    gain_source : str
        ``'flat'`` or ``'image'``.
    """

    model: NoiseModel
    dark_level: float
    read_noise: float
    gain_source: str

    def to_json(self, path: Any = None) -> str:
        """The model as JSON (`NoiseModel.to_json`) with the measured values beside it."""
        return self.model.to_json(
            path,
            dark_level=self.dark_level,
            read_noise=self.read_noise,
            gain_source=self.gain_source,
        )


def _frames(stack: npt.ArrayLike, what: str) -> npt.NDArray[np.float64]:
    """A stack as (frames, pixels); a 2-D image is one frame."""
    given = np.asarray(stack)
    if given.dtype.kind not in "biuf":
        raise TypeError(f"{what}: frames must hold real numbers, got dtype {given.dtype}")
    a = given.astype(np.float64)
    if not 2 <= a.ndim <= 3:
        raise ValueError(f"{what}: need 2-D frames or a stack (frames, Y, X), got shape {a.shape}")
    if not np.isfinite(a).all():
        raise ValueError(f"{what}: the frames hold NaN or infinite values")
    return a.reshape(1, -1) if a.ndim == 2 else a.reshape(a.shape[0], -1)


# Share of a flat's pixels at its largest value above which it is taken for saturated.
_SATURATED_SHARE = 0.01


def _warn_if_saturated(frames: npt.NDArray[np.float64], what: str) -> None:
    """Warn when many pixels of flat frames sit at their largest value (clipped).

    Frames of one value throughout are left to the checks of the gain.
    """
    top = frames.max()
    share = float(np.mean(frames == top))
    if _SATURATED_SHARE < share < 1.0:
        warnings.warn(
            f"{what}: {share:.0%} of the pixels sit at the largest value {top:g} (saturated?): "
            "clipped pixels make the gain come out low; take flats below saturation",
            RuntimeWarning,
            stacklevel=3,
        )


#: Differences of two frames farther than this many robust standard
#: deviations from their median are events of one frame (cosmic-ray hits),
#: not noise: left out of the temporal variance.
OUTLIER_SDS = 6.0


def _temporal_variance(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    """Half the variance of the difference of two frames, without one frame's events.

    A cosmic-ray hit adds hundreds or thousands of counts to a few pixels of
    one frame: one such pixel in a 256 x 256 dark frame triples the read
    noise of the plain variance.  The differences beyond `OUTLIER_SDS`
    standard deviations (the median absolute deviation's) are left out,
    which changes the variance of normal noise by less than 1e-7 of itself.
    """
    d = (a - b).ravel()
    centre = float(np.median(d))
    scale = 1.4826 * float(np.median(np.abs(d - centre)))
    if scale > 0:
        d = d[np.abs(d - centre) <= OUTLIER_SDS * scale]
    return float(0.5 * np.var(d, ddof=1))


def _pair_statistics(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> tuple[float, float]:
    """Mean level and temporal variance (`_temporal_variance`) of two frames."""
    return float(0.5 * (a.mean() + b.mean())), _temporal_variance(a, b)


def calibrate_camera(
    dark: npt.ArrayLike | Sequence[npt.ArrayLike],
    flats: Sequence[npt.ArrayLike] | None = (),
    image: npt.ArrayLike | None = None,
) -> CameraCalibration:
    """Calibrate a camera's Poisson-Gaussian noise.

    Parameters
    ----------
    dark : array_like or sequence of array_like
        Dark frames: a stack ``(frames, Y, X)`` or a sequence of stacks or
        2-D frames of one shape; at least two frames in all.
    flats : sequence of array_like
        Flat frames: each item a stack of at least two frames at one light
        level, or a 2-D frame paired with the next item.  At least one pair
        in all; none (or None) to take the gain from `image`.
    image : array_like, optional
        An image of a sample (2-D, or a stack with frames first); needed
        when there are no flats.

    Returns
    -------
    CameraCalibration

    Raises
    ------
    ValueError
        For fewer than two dark frames, identical dark frames, frames of
        different shapes or of more than three dimensions, values that are
        not finite, a flat without a partner, flats no brighter than the dark
        level, a gain that comes out not positive (saturated flats), or
        neither or both of flats and an image.
    TypeError
        For frames or an image that do not hold real numbers (complex,
        text).
    """
    flats = () if flats is None else flats
    if image is not None and len(flats):
        raise ValueError("give flat frames or an image to measure the gain from, not both")
    stacks: list[Any] = list(dark) if isinstance(dark, (list, tuple)) else [dark]
    if not stacks:
        raise ValueError("dark: need at least 2 frames for the read noise, got none")
    dark_frames = [_frames(s, "dark") for s in stacks]
    shape = np.shape(np.asarray(stacks[0]))[-2:]
    for s in stacks:
        if np.shape(np.asarray(s))[-2:] != shape:
            raise ValueError(f"dark: frames of shapes {shape} and {np.shape(s)[-2:]}")
    d = np.concatenate(dark_frames)
    if d.shape[0] < 2:
        raise ValueError(f"dark: need at least 2 frames for the read noise, got {d.shape[0]}")
    level = float(d.mean())
    read_var = float(np.mean([_temporal_variance(d[k + 1], d[k]) for k in range(len(d) - 1)]))

    pairs: list[tuple[float, float]] = []
    pending: npt.NDArray[np.float64] | None = None
    for i, flat in enumerate(flats):
        if np.shape(flat)[-2:] != shape:
            raise ValueError(f"flat {i}: frame shape {np.shape(flat)[-2:]}, dark frames {shape}")
        f = _frames(flat, f"flat {i}")
        _warn_if_saturated(f, f"flat {i}")
        if f.shape[0] >= 2:
            if pending is not None:
                raise ValueError(f"flat {i - 1}: a single frame needs a single-frame partner")
            pairs += [_pair_statistics(f[k], f[k + 1]) for k in range(0, f.shape[0] - 1, 2)]
        elif pending is None:
            pending = f[0]
        else:
            pairs.append(_pair_statistics(pending, f[0]))
            pending = None
    if pending is not None:
        raise ValueError(f"flat {len(flats) - 1}: a single frame needs a partner frame")

    if pairs:
        signal = np.array([m - level for m, _ in pairs])
        excess = np.array([v - read_var for _, v in pairs])
        if not (signal > 0).all():
            raise ValueError("flat: a flat frame is no brighter than the dark frames")
        # Least squares through (0, 0): variance above read noise against signal.
        gain = float((signal * excess).sum() / (signal * signal).sum())
        source = "flat"
    elif image is not None:
        given = np.asarray(image)
        if given.dtype.kind not in "biuf":
            raise TypeError(f"image: must hold real numbers, got dtype {given.dtype}")
        sample = given.astype(np.float64)
        if not np.isfinite(sample).all():
            raise ValueError("image: holds NaN or infinite values")
        gain = _gain_from_image(sample, level, read_var)
        source = "image"
    else:
        raise ValueError("give flat frames or an image to measure the gain from")
    if not read_var > 0:
        raise ValueError("dark: the frames are identical (read noise 0): not camera frames")
    if not gain > 0:
        # Saturated flats (every pixel at the top of the range) or one frame
        # given twice vary less than the dark frames.
        why = "saturated, or one frame given twice?" if source == "flat" else "saturated?"
        raise ValueError(
            f"{source}: the gain comes out at {gain:.4g}, not positive: it varies no more "
            f"than the dark frames ({why})"
        )
    model = NoiseModel(gain, read_var - gain * level)
    return CameraCalibration(model, level, float(np.sqrt(read_var)), source)


def _gain_from_image(image: npt.NDArray[np.float64], level: float, read_var: float) -> float:
    """Gain fitted to an image's noise with the line held through (level, read_var)."""
    if image.ndim < 2:
        raise ValueError(f"image: need 2-D frames, got shape {image.shape}")
    channel = image.reshape(-1, 1, *image.shape[-2:])
    fit = fit_channel(channel, "auto")
    p = fit.points
    x, y = p.mean[fit.used] - level, p.energy[fit.used] - read_var
    w = p.count[fit.used] / np.maximum(fit.gain * p.mean[fit.used] + fit.offset, 1e-12) ** 2
    if x.size == 0 or not ((w * x * x).sum() > 0):
        raise ValueError("image: no flat region to measure the gain from")
    return float((w * x * y).sum() / (w * x * x).sum())
