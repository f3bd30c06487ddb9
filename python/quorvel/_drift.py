"""Alignment of a time-lapse whose frames drift as a whole, by whole pixels.

Where a sequence drifts (the stage, the whole sample), each structure sits
elsewhere in every frame: the denoiser finds it in the other frames only
within its search window, and patches deep along T match nothing.  Moving
each frame back by a whole number of pixels makes the sequence still; it is
denoised so, and the result moved back.  Frames are rolled: what leaves one
side comes back on the other, and no value is changed or lost.

`frame_shifts` measures the shifts on the middle of every frame (at most
256 x 256 pixels; the channels each scaled to unit spread and added up),
blurred by a Gaussian of 1.5 pixels (cross-correlation through Fourier
transforms; Brown, ACM Comput. Surv. 24(4), 1992): first each frame against
the one before (the correlation's peak, to a fraction of a pixel by a
parabola through it, added up from the first frame; a blank frame keeps the
shift before it and the next is measured against the last one that is not
blank), then each frame so
aligned against the sum of the others so aligned (what is left is small,
where the window biases the estimate least), rounded to whole pixels.  They
are used only where both halves of the middle (left, right) give shifts
within a pixel of each other and each half's shifts make the other half's
neighbouring frames more alike (their mean squared differences, blurred,
away from the borders, added up over the halves: below `_GAIN` of what
they were): shifts fitted to noise would make the same frames alike, but
not the other half's.  Where structures move on their own over a still
ground, aligning on them moves the ground, which that test refuses too.

Whole pixels leave each frame up to half a pixel off where the drift is
not a whole number of pixels per frame; sharp edges drifting by less than
a pixel per frame can then come out a little worse than not aligned (the
documentation's benchmarks).
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import middle
from quorvel._blank import blank_frames

#: Side of the middle of each frame the shifts are measured on.
_SIDE = 256
#: Width (standard deviation, pixels) of the blur the frames are compared through.
_BLUR = 1.5
#: Share of the neighbouring frames' mean squared difference that the
#: alignment must stay under to be used.
_GAIN = 0.9

Shifts = tuple[tuple[int, int], ...]


def check_align(align: object) -> None:
    """Raise ValueError unless `align` is None, True or False."""
    if align is not None and not isinstance(align, (bool, np.bool_)):
        raise ValueError(f"align must be None, True or False, got {align!r}")


def _frames(core5: Any) -> npt.NDArray[np.float32]:
    """The middle of every frame of a core-layout time-lapse, channels scaled and added up."""
    nt, nc, _, ny, nx = core5.shape
    out = np.zeros((nt, min(ny, _SIDE), min(nx, _SIDE)), dtype=np.float32)
    for c in range(nc):
        part = core5[:, c, 0, middle(ny, _SIDE), middle(nx, _SIDE)]
        if hasattr(part, "compute"):  # dask: only this part is read
            part = part.compute()
        part = np.asarray(part, dtype=np.float32)
        spread = float(part.std(dtype=np.float64))
        if spread > 0:
            out += (part - part.mean(axis=(1, 2), keepdims=True)) / np.float32(spread)
    return out


def _frequencies(shape: tuple[int, ...]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    return np.fft.fftfreq(shape[0])[:, None], np.fft.fftfreq(shape[1])[None, :]


def _blur(shape: tuple[int, ...]) -> npt.NDArray[np.float64]:
    """The Gaussian blur's transfer function on a grid of `shape`."""
    fy, fx = _frequencies(shape)
    return np.asarray(np.exp(-2.0 * np.pi**2 * _BLUR**2 * (fy**2 + fx**2)))


def _peak(correlation: npt.NDArray[np.float64]) -> tuple[float, float]:
    """The shift at a circular correlation's peak, refined by a parabola along each axis."""
    ny, nx = correlation.shape
    iy, ix = np.unravel_index(int(np.argmax(correlation)), correlation.shape)

    def refine(before: float, at: float, after: float) -> float:
        curve = before - 2.0 * at + after
        return 0.0 if curve >= 0.0 else 0.5 * (before - after) / curve

    dy = refine(correlation[iy - 1, ix], correlation[iy, ix], correlation[(iy + 1) % ny, ix])
    dx = refine(correlation[iy, ix - 1], correlation[iy, ix], correlation[iy, (ix + 1) % nx])
    return (iy if iy <= ny // 2 else iy - ny) + dy, (ix if ix <= nx // 2 else ix - nx) + dx


def _measured_shifts(frames: npt.NDArray[np.float32]) -> npt.NDArray[np.int64]:
    """Whole-pixel shifts that bring every frame onto the first (see the module).

    Frame by frame: beside the frames, two spectra and their sum are held.
    """
    nt, ny, nx = frames.shape
    window = np.hanning(ny)[:, None] * np.hanning(nx)[None, :]
    blur = _blur((ny, nx)) ** 2

    def spectrum(t: int) -> npt.NDArray[np.complex128]:
        return np.fft.fft2(frames[t] * window)

    # Each frame against the one before, added up.  A blank frame (constant:
    # a dropped or dark one) shows no shift: it keeps the one before, and the
    # next frame is measured against the last frame that shows something.
    sums = np.zeros((nt, 2))
    last, before = 0, None
    blank = blank_frames(frames[:, None])
    for t in range(nt):
        if blank[t]:
            sums[t] = sums[last]
            continue
        now = spectrum(t)
        if before is not None:
            sums[t] = sums[last] + _peak(np.fft.ifft2(before * np.conj(now) * blur).real)
        last, before = t, now
    first = np.rint(sums).astype(np.int64)

    # Each frame, so aligned, against the sum of the others so aligned: what
    # is left is small, where the window biases the estimate least.

    def aligned(t: int) -> npt.NDArray[np.complex128]:
        return np.fft.fft2(np.roll(frames[t], tuple(first[t]), axis=(0, 1)) * window)

    total = np.zeros((ny, nx), dtype=np.complex128)
    for t in range(nt):
        total += aligned(t)
    out = first.copy()
    for t in range(nt):
        own = aligned(t)
        out[t] += np.rint(_peak(np.fft.ifft2((total - own) * np.conj(own) * blur).real)).astype(
            np.int64
        )
    return np.asarray(out - out[0], dtype=np.int64)


def _neighbour_difference(frames: npt.NDArray[np.float32], shifts: npt.NDArray[np.int64]) -> float:
    """Mean squared difference of neighbouring blurred frames rolled by `shifts`, inside."""
    blur = _blur(frames.shape[1:])
    edge = int(np.abs(shifts).max()) + 2
    total, count = 0.0, 0
    before = None
    for frame, shift in zip(frames, shifts, strict=True):
        smooth = np.fft.ifft2(np.fft.fft2(frame) * blur).real
        now = np.roll(smooth, tuple(shift), axis=(0, 1))[edge:-edge, edge:-edge]
        if before is not None:
            total += float(np.sum((now - before) ** 2))
            count += now.size
        before = now
    return total / count if count else np.inf


def frame_shifts(core5: Any, tested: bool = True) -> Shifts:
    """Whole-pixel shifts (y, x) of every frame that align a drifting time-lapse; () for none.

    `core5` is a core-layout image ``(T, C, Z, Y, X)`` (NumPy or dask; only
    the middle of its frames is read).  Only time-lapses of single planes
    are aligned, and (`tested`) only where the two halves of the middle
    (left and right) give shifts within a pixel of each other, and each
    half's shifts make the other half's neighbouring frames more alike (the
    two halves' differences added up): the noise of one half cannot make
    the other's frames alike, and shifts measured on noise alone disagree.
    Untested (``align=True``), shifts that would fail the test are used with
    a RuntimeWarning.
    """
    nt, _, nz, ny, nx = core5.shape
    if nt < 2 or nz > 1 or min(ny, nx) < 32:
        return ()
    frames = _frames(core5)
    shifts = _measured_shifts(frames)
    if not shifts.any():
        return ()
    if not _confirmed(frames):
        if tested:
            return ()
        warnings.warn(
            "align=True: the frames' shifts do not hold across the frame (its two halves "
            "disagree, or the shifts do not make the frames more alike); aligned as asked, "
            "which may blur structures that do not drift",
            RuntimeWarning,
            stacklevel=4,
        )
    return tuple((int(dy), int(dx)) for dy, dx in shifts)


def _confirmed(frames: npt.NDArray[np.float32]) -> bool:
    """Whether the shifts of each half of `frames` agree and align the other half."""
    half = frames.shape[2] // 2
    parts = (frames[:, :, :half], frames[:, :, half : 2 * half])
    left, right = (_measured_shifts(p) for p in parts)
    if np.abs(left - right).max() > 1:
        return False
    pairs = ((parts[1], left), (parts[0], right))
    aligned = sum(_neighbour_difference(part, shifts) for part, shifts in pairs)
    still = sum(_neighbour_difference(part, np.zeros_like(shifts)) for part, shifts in pairs)
    return aligned < _GAIN * still


def roll_frames(
    core5: npt.NDArray[Any], shifts: Sequence[tuple[int, int]], back: bool = False
) -> None:
    """Roll every frame of a core-layout array in place by its shift (`back`: the other way)."""
    sign = -1 if back else 1
    for t, (dy, dx) in enumerate(shifts):
        core5[t] = np.roll(core5[t], (sign * dy, sign * dx), axis=(-2, -1))


def _roll_block(
    block: npt.NDArray[Any],
    moves: npt.NDArray[np.int64],
    block_info: dict[Any, Any] | None = None,
) -> npt.NDArray[Any]:
    """A block of whole frames, each rolled by its move (rows of `moves` by frame)."""
    assert block_info is not None
    first = block_info[0]["array-location"][0][0]
    out = np.empty_like(block)
    for i in range(block.shape[0]):
        out[i] = np.roll(block[i], tuple(moves[first + i]), axis=(-2, -1))
    return out


def roll_frames_lazy(core: Any, shifts: Sequence[tuple[int, int]], back: bool = False) -> Any:
    """`roll_frames` of a core-layout dask array, lazily, in its chunks.

    Chunks of whole frames are rolled each by itself; frames cut along Y or
    X are put together from their rolled pieces.
    """
    import dask.array as da

    sign = -1 if back else 1
    if len(core.chunks[3]) == 1 and len(core.chunks[4]) == 1:
        moves = sign * np.asarray(shifts, dtype=np.int64).reshape(-1, 2)
        return core.map_blocks(_roll_block, moves=moves, dtype=core.dtype, meta=core._meta)
    frames = [
        da.roll(core[t], (sign * dy, sign * dx), axis=(-2, -1)) for t, (dy, dx) in enumerate(shifts)
    ]
    return da.stack(frames).rechunk(core.chunks)
