"""Blank frames of a time-lapse: dropped or dark frames that a camera hands on as a constant.

Such a frame (zeros, or the camera's dark level) shows nothing: it neither
moves nor holds noise.  The alignment (`quorvel._drift`) measures no shift
on it, the noise fit (`quorvel.noise._fit`) and the measures of the choice
of settings (`quorvel._measure`) leave it out, and `quorvel.denoise` denoises
the other frames without it and hands it back as it was.
"""

from __future__ import annotations

import logging
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._core import CoreSettings

_log = logging.getLogger("quorvel")


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


def shown_frames(
    work: npt.NDArray[np.float32], settings: CoreSettings
) -> npt.NDArray[np.bool_] | None:
    """The frames of a core-layout image that are not blank, or None to denoise them all.

    A blank frame (`quorvel._blank.blank_frames`: dropped or dark, one value
    throughout) holds no noise and none of the structure: searched, its
    patches pulled the other frames towards its value (0.9 to 1.3 dB lost on
    them), and it lowered the noise estimate and the frames' likeness.  None
    where there is none, or where the frames left could not hold the
    patches along T.
    """
    if work.shape[0] < 2:
        return None
    shown = ~blank_frames(work)
    least = max(2, 2 * settings.patch_radius[4] + 1)
    if shown.all() or np.count_nonzero(shown) < least:
        return None
    _log.info(
        "blank frames %s (one value throughout): denoised without them, kept as they are",
        ", ".join(str(t) for t in np.flatnonzero(~shown)),
    )
    return shown


def with_blank_frames(
    whole: npt.NDArray[np.float32],
    shown: npt.NDArray[np.bool_],
    out: npt.NDArray[np.float32],
    variance: npt.NDArray[np.float32] | None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None]:
    """`whole` with its `shown` frames replaced by the denoised `out`; blank ones kept as given.

    The blank frames, denoised by none, keep their values with no variance
    (as constant channels do).
    """
    whole[shown] = out
    if variance is None:
        return whole, None
    full = np.zeros_like(whole)
    full[shown] = variance
    return whole, full


def has_gaps(shown: npt.NDArray[np.bool_] | None) -> bool:
    """Whether a blank frame lies between frames `shown` (`shown_frames`; None: none blank).

    The frames on either side of it are then neighbours, a gap apart.
    """
    if shown is None:
        return False
    kept = np.flatnonzero(shown)
    return bool(kept.size and kept[-1] - kept[0] + 1 > kept.size)
