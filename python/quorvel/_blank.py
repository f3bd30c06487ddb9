"""Blank frames of a time-lapse: dropped or dark frames that a camera hands on as a constant.

Such a frame (zeros, or the camera's dark level) shows nothing: it neither
moves nor holds noise.  The alignment (`quorvel._drift`) measures no shift
on it, and the noise fit (`quorvel.noise._fit`) leaves it out.  The
denoiser still searches it, and the choice of settings measures it as the
search will see it: left out of the search too (one more in-memory copy of
the frames), in-memory runs differed from chunked ones, which must give the
same bits.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def blank_frames(frames: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Whether each frame of `frames` (T, C, ...) is blank: every channel holds one value in it.

    A dropped or dark frame a camera hands on as a constant (zeros, or its
    dark level) shows nothing: it neither moves nor holds noise.  A frame
    with a NaN is not blank.
    """
    a = np.asarray(frames)
    if a.size == 0:
        return np.zeros(a.shape[0], dtype=bool)
    flat = a.reshape(a.shape[0], a.shape[1], -1)
    out: npt.NDArray[np.bool_] = np.all(flat.min(axis=-1) == flat.max(axis=-1), axis=1)
    return out
