"""The region of an image its noise is estimated on, and the lazy estimate.

The noise model is estimated once, on one contiguous region of the image
(`noise_sample_region`): the whole image when it holds at most
`SAMPLE_ELEMENTS` elements; otherwise the middle time points, as many as fit,
then if one time point is still too large the middle planes, then a central
Y-X crop.  A contiguous region keeps every pixel's neighbours, in time as in
space, exactly as the estimators see them in the whole image.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt

from quorvel._axes import middle
from quorvel._util import check_image_values, warn_if_float32_rounds

__all__ = ["SAMPLE_ELEMENTS", "SAMPLE_FRAMES", "estimate_lazy", "noise_sample_region"]

#: Fewest frames (or planes) the region the noise is estimated on keeps, when
#: the image has them: the calibration from neighbouring frames needs them.
SAMPLE_FRAMES = 4
#: Largest number of elements of the region the noise is estimated on
#: (16 MiB of float32).
SAMPLE_ELEMENTS = 2**22


def noise_sample_region(shape: Sequence[int], budget: int = SAMPLE_ELEMENTS) -> tuple[slice, ...]:
    """Region of a core-layout image that the noise is estimated on.

    Parameters
    ----------
    shape : sequence of int
        ``(T, C, Z, Y, X)`` shape.
    budget : int, default `SAMPLE_ELEMENTS`
        Largest number of elements of the region.

    Returns
    -------
    tuple of slice
        The whole image if it fits `budget`; otherwise the middle time points
        (as many as fit, at least `SAMPLE_FRAMES` or all), then the middle
        planes (at least `SAMPLE_FRAMES` or all when fewer frames are kept),
        then a central crop of Y and X as square as the image allows.  All
        channels are kept.
    """
    t, c, z, y, x = (int(n) for n in shape)
    keep = {"T": t, "Z": z, "Y": y, "X": x}
    # Enough frames (or else planes) for the calibration from neighbouring ones.
    frames = min(t, SAMPLE_FRAMES)
    planes = min(z, SAMPLE_FRAMES) if frames < SAMPLE_FRAMES else 1
    if t * c * z * y * x > budget:
        keep["T"] = max(frames, min(t, budget // (c * z * y * x)))
    if keep["T"] * c * z * y * x > budget:
        keep["Z"] = max(planes, min(z, budget // (c * keep["T"] * y * x)))
    if keep["T"] * c * keep["Z"] * y * x > budget:
        plane = max(1, budget // (c * keep["T"] * keep["Z"]))
        side = math.isqrt(plane)
        keep["Y"] = min(y, max(1, side if x >= side else plane // x))
        keep["X"] = min(x, max(1, plane // keep["Y"]))

    return (
        middle(t, keep["T"]),
        slice(0, c),
        middle(z, keep["Z"]),
        middle(y, keep["Y"]),
        middle(x, keep["X"]),
    )


def estimate_lazy(
    core: da.Array,
    estimator: Callable[..., Any],
    *args: Any,
    budget: int = SAMPLE_ELEMENTS,
) -> Any:
    """Estimate noise parameters once, lazily, on the sample region.

    Parameters
    ----------
    core : dask.array.Array
        ``(T, C, Z, Y, X)`` image.
    estimator : callable
        ``estimator(sample, *args)`` takes the sample as a NumPy core-layout
        array and returns the noise parameters.
    *args
        Further arguments of `estimator`; delayed values among them are
        computed first.
    budget : int, default `SAMPLE_ELEMENTS`
        Largest number of elements of the sample (`noise_sample_region`).

    Returns
    -------
    dask.delayed.Delayed
        The parameters; reading the sample and estimating happen when it (or
        an array that depends on it) is computed.
    """
    sample = core[noise_sample_region(core.shape, budget)]
    key = "quorvel-noise-" + dask.base.tokenize(sample.name, estimator, *args)
    return dask.delayed(_estimate_checked, pure=True)(sample, estimator, *args, dask_key_name=key)


def _estimate_checked(sample: npt.NDArray[Any], estimator: Callable[..., Any], *args: Any) -> Any:
    """`estimator` on `sample`, whose values are checked first as an image in memory is.

    It then sees the sample in float32, as an image in memory is estimated:
    the same values give the same noise parameters.
    """
    check_image_values(sample)
    warn_if_float32_rounds(sample)
    return estimator(np.ascontiguousarray(sample, dtype=np.float32), *args)
