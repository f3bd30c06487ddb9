"""A Poisson-Gaussian noise model checked against the image it is applied to.

A model that does not describe an image makes the variance-stabilising
transform ruin it, silently: a camera's model (dark level included) given
for an image whose dark level was subtracted predicts a negative variance
over the image, and every pixel comes back at one value; a line fitted to a
few isolated outliers (hot pixels, cosmic-ray hits, taken for noise at a
high level) predicts many times the noise of the rest, and the image is
smoothed flat.

The check compares, per Poisson-Gaussian channel, the noise the model
predicts at the channel's median intensity with the compute core's Gaussian
estimate of the channel's noise (a robust measure of the whole channel that
isolated outliers barely move).  Where the model holds the two agree
closely, both reading the typical pixel.  A model is reported when its
variance there is negative by more than the measured variance (a line's
error just below 0 is not: photon counts whose median is 0 have no noise
there), or its noise more than `MISFIT_RATIO` times the measured one.  The
check reads the image it is given once (a chunked run gives it the region
its noise is estimated on); the median is taken over at most about
`MEDIAN_ELEMENTS` of its elements, evenly spaced.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._core import _estimate_sigma

__all__ = ["MEDIAN_ELEMENTS", "MISFIT_RATIO", "misfits", "warn_misfits"]

#: How many times the measured noise the model's noise may be before it is reported.
MISFIT_RATIO = 3.0
#: Elements of a channel its median intensity is taken over, at most about.
MEDIAN_ELEMENTS = 2**20

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def misfits(
    core5: npt.NDArray[Any],
    gain: Sequence[float | None],
    offset: Sequence[float | None],
    threads: int = 0,
) -> list[str]:
    """What is wrong with the Poisson-Gaussian model of each channel it does not describe.

    Parameters
    ----------
    core5 : ndarray
        The image in core layout ``(T, C, Z, Y, X)``.
    gain, offset : sequence of float or None
        The model per channel; channels whose gain is None, NaN or not
        positive (not on the Poisson-Gaussian path) are not checked.
    threads : int
        Threads of the core's estimate, as `denoise` takes them.

    Returns
    -------
    list of str
        One sentence per channel the model does not describe; empty when
        it describes them all.
    """
    checked = [
        c
        for c, (g, o) in enumerate(zip(gain, offset, strict=True))
        if g is not None and o is not None and g > 0 and math.isfinite(o)
    ]
    if not checked or core5.size == 0:
        return []
    measured = _estimate_sigma(core5, checked, threads)
    out = []
    for c in checked:
        g, o, level = float(gain[c]), float(offset[c]), measured[c]  # type: ignore[arg-type]
        if not level > 0:
            continue  # nothing measured to compare with
        values = core5[:, c].reshape(-1)
        median = float(np.median(values[:: max(1, values.size // MEDIAN_ELEMENTS)]))
        variance = g * median + o
        model = f"the noise model of channel {c} (gain {g:.4g}, offset {o:.4g})"
        # A variance just below 0 at the median is a line's error where little
        # noise is (photon counts: a median of 0 photons has none).
        if variance < -(level**2):
            out.append(
                f"{model} predicts a negative noise variance at the channel's median "
                f"intensity {median:.4g}: it does not describe the image, and the result comes "
                "out flat (a camera's model for an image whose dark level was subtracted? give "
                "the offset as read_noise**2 then)"
            )
        elif variance > 0 and math.sqrt(variance) > MISFIT_RATIO * level:
            out.append(
                f"{model} predicts a noise of {math.sqrt(variance):.4g} at the channel's median "
                f"intensity {median:.4g}, {math.sqrt(variance) / level:.1f} times the "
                f"{level:.4g} measured on the image: the result comes out over-smoothed "
                "(outlier pixels such as hot pixels or cosmic-ray hits, in the image or in a "
                "camera's dark frames, taken for noise? replace them by their neighbours' "
                "median, or calibrate the camera on frames free of them)"
            )
    return out


def warn_misfits(
    core5: npt.NDArray[Any],
    gain: Sequence[float | None],
    offset: Sequence[float | None],
    threads: int = 0,
) -> None:
    """Warn (`RuntimeWarning`) of each channel whose model `misfits` reports."""
    for message in misfits(core5, gain, offset, threads):
        warnings.warn(message, RuntimeWarning, skip_file_prefixes=(_PACKAGE_DIR,))
