"""Alignment of a time-lapse whose frames drift as a whole, to a fraction of a pixel.

Where a sequence drifts (the stage, the whole sample), each structure sits
elsewhere in every frame: the denoiser finds it in the other frames only
within its search window, and patches deep along T match nothing.  Moving
each frame back by its shift makes the sequence still; it is denoised so,
and the result moved back.

`frame_shifts` measures the shifts on the middle of every frame (at most
256 x 256 pixels; the channels each scaled to unit spread and added up; a
volume's planes averaged, its frames then moved in the plane alike),
blurred by a Gaussian of 1.5 pixels (cross-correlation through Fourier
transforms; Brown, ACM Comput. Surv. 24(4), 1992): first each frame against
the one before (the correlation's peak, to a fraction of a pixel by a
parabola through it, added up from the first frame; a blank frame keeps the
shift before it and the next is measured against the last one that is not
blank), then each frame so aligned against the sum of the others so
aligned (what is left is small, where the window biases the estimate
least), to a hundredth of a pixel.  They are used only where some frame
moves by `_LEAST` or more, both halves of the middle (left, right) give
shifts within `_AGREE` pixels of each other and each half's shifts make the other
half's frames more alike (the mean squared differences of frames that
drift `_APART` pixels from each other, or of the first and last, blurred,
away from the borders, added up over the halves: below `_GAIN` of what
they were): shifts fitted to noise would make the same frames alike, but
not the other half's.  Where structures move on their own over a still
ground, aligning on them moves the ground, which that test refuses too.

The noise is estimated and the settings chosen on the frames rolled by
whole pixels (`roll_frames`: what leaves one side comes back on the other,
no value changed).  The denoiser gets the frames moved by the whole shift
through their Fourier transforms, on mirrored padding, and the result is
moved back the same way (`quorvel._moves`).  Hot pixels are held within
their neighbours' range for the measure as for the move.
Whole pixels alone left each frame up to half a pixel off: on the
benchmark's sequences drifting 0.3 to 2 pixels per frame the fractions
gain 0.7 to 1.4 dB over them (the documentation's benchmarks).
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import middle
from quorvel._blank import blank_frames
from quorvel._moves import Shifts, _half_frequencies, _moved, _phase, _spikes

#: Side of the middle of each frame the shifts are measured on.
_SIDE = 256
#: Width (standard deviation, pixels) of the blur the frames are compared through.
_BLUR = 1.5
#: Share of the neighbouring frames' mean squared difference that the
#: alignment must stay under to be used.
_GAIN = 0.9

#: Least shift of some frame (pixels) for a sequence to be aligned.
_LEAST = 0.5
#: Most difference (pixels) between the shifts measured on the two halves of
#: the frames' middle for the alignment's test.
_AGREE = 1.5
#: Drift (pixels) between the frames that the alignment's test compares.
_APART = 2.0


def check_align(align: object) -> None:
    """Raise ValueError unless `align` is None, True or False."""
    if align is not None and not isinstance(align, (bool, np.bool_)):
        raise ValueError(f"align must be None, True or False, got {align!r}")


def _frames(core5: Any) -> npt.NDArray[np.float32]:
    """The middle of every frame of a core-layout time-lapse, channels scaled and added up.

    A frame of several planes (a volume over time) is their mean.
    """
    nt, nc, nz, ny, nx = core5.shape
    out = np.zeros((nt, min(ny, _SIDE), min(nx, _SIDE)), dtype=np.float32)
    middles = core5[:, :, :, middle(ny, _SIDE), middle(nx, _SIDE)]
    if hasattr(middles, "compute"):  # dask: only this part is read, once, plane by plane
        planes = middles.mean(axis=2, dtype=np.float32).compute()
    elif nz > 1:
        planes = sum(np.asarray(middles[:, :, z], dtype=np.float32) for z in range(nz)) / nz
    else:
        planes = middles[:, :, 0]
    for c in range(nc):
        part = _without_spikes(np.asarray(planes[:, c], dtype=np.float32))
        spread = float(part.std(dtype=np.float64))
        if spread > 0:
            out += (part - part.mean(axis=(1, 2), keepdims=True)) / np.float32(spread)
    return out


def _without_spikes(frames: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """`frames` (T, Y, X) with their spikes (`_spikes`) held within their neighbours' range.

    A hot or dead pixel sits still while the sample drifts: left in, it
    pulls the shifts towards 0 and makes the test take the sequence for
    still.
    """
    out = [_spikes(np.asarray(f, dtype=np.float64))[1] for f in frames]
    return np.asarray(out, dtype=np.float32).reshape(frames.shape)


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


def _measured_shifts(frames: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Shifts (to a hundredth of a pixel) that bring every frame onto the first (see the module).

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

    # Each frame, so aligned, against the sum of the others so aligned: what
    # is left is small, where the window biases the estimate least.

    def aligned(t: int) -> npt.NDArray[np.complex128]:
        return np.fft.fft2(_moved(frames[t], sums[t]) * window)

    shown = [t for t in range(nt) if not blank[t]]
    total = np.zeros((ny, nx), dtype=np.complex128)
    for t in shown:
        total += aligned(t)
    out = sums.copy()
    for t in range(nt):
        if blank[t]:  # the shift of the frame before
            out[t] = out[t - 1] if t else out[t]
            continue
        own = aligned(t)
        out[t] += _peak(np.fft.ifft2((total - own) * np.conj(own) * blur).real)
    return np.asarray(np.round(out - out[0], 2) + 0.0, dtype=np.float64)


def _frame_difference(
    frames: npt.NDArray[np.float32], shifts: npt.NDArray[np.float64], lag: int = 1
) -> float:
    """Mean squared difference of blurred frames `lag` apart moved by `shifts`, inside."""
    fy, fx = _half_frequencies(frames.shape[1:])
    blur = np.exp(-2.0 * np.pi**2 * _BLUR**2 * (fy**2 + fx**2))
    edge = int(np.ceil(np.abs(shifts).max())) + 2
    if 2 * edge >= min(frames.shape[1:]):  # shifts as large as the frames: nothing to compare
        return np.inf
    moved = [
        np.fft.irfft2(np.fft.rfft2(frame) * blur * _phase(frame.shape, shift), s=frame.shape)[
            edge:-edge, edge:-edge
        ]
        for frame, shift in zip(frames, shifts, strict=True)
    ]
    pairs = [(moved[t], moved[t + lag]) for t in range(len(moved) - lag)]
    if not pairs:
        return np.inf
    return float(np.mean([np.mean((b - a) ** 2) for a, b in pairs]))


def frame_shifts(core5: Any, tested: bool = True) -> Shifts:
    """Shifts (y, x) of every frame that align a drifting time-lapse; () for none.

    In pixels, to a hundredth; none where no frame moves by `_LEAST` or more.

    `core5` is a core-layout image ``(T, C, Z, Y, X)`` (NumPy or dask; only
    the middle of its frames is read; a frame of several planes by their
    mean).  Frames move in the plane only, every plane of a frame alike,
    and (`tested`) only where the two halves of the middle
    (left and right) give shifts within `_AGREE` pixels of each other, and each
    half's shifts make the other half's neighbouring frames more alike (the
    two halves' differences added up): the noise of one half cannot make
    the other's frames alike, and shifts measured on noise alone disagree.
    Untested (``align=True``), shifts that would fail the test are used with
    a RuntimeWarning.
    """
    nt, _, _, ny, nx = core5.shape
    if nt < 2 or min(ny, nx) < 32:
        return ()
    frames = _frames(core5)
    shifts = _measured_shifts(frames)
    if np.abs(shifts).max() < _LEAST:
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
    return tuple((float(dy), float(dx)) for dy, dx in shifts)


def _lag(shifts: npt.NDArray[np.float64]) -> int:
    """The fewest frames apart over which `shifts` (two halves' added up) move `_APART` pixels.

    The frames are compared that far apart: where a sequence drifts slowly,
    neighbouring frames differ by their noise more than by the drift.
    """
    nt = len(shifts)
    for lag in range(1, nt - 1):
        step = np.hypot(*(shifts[lag:] - shifts[:-lag]).T) / 2
        if np.mean(step) >= _APART:
            return lag
    return max(nt - 1, 1)


def _confirmed(frames: npt.NDArray[np.float32]) -> bool:
    """Whether the shifts of each half of `frames` agree and align the other half."""
    half = frames.shape[2] // 2
    parts = (frames[:, :, :half], frames[:, :, half : 2 * half])
    left, right = (_measured_shifts(p) for p in parts)
    if np.abs(left - right).max() > _AGREE:
        return False
    pairs = ((parts[1], left), (parts[0], right))
    lag = _lag(left + right)
    aligned = sum(_frame_difference(part, shifts, lag) for part, shifts in pairs)
    still = sum(_frame_difference(part, np.zeros_like(shifts), lag) for part, shifts in pairs)
    return aligned < _GAIN * still


def whole_pixels(shifts: Shifts) -> tuple[tuple[int, int], ...]:
    """`shifts` rounded to whole pixels."""
    return tuple((round(dy), round(dx)) for dy, dx in shifts)


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
    # Each frame back to the frames' chunks before they are stacked: frames
    # rolled by different moves are cut at different places, and stacking
    # them as they are would cut every frame wherever any frame is cut (the
    # graph growing with the square of the frames).
    frame_chunks = core.chunks[1:]
    frames = [
        da.roll(core[t], (sign * dy, sign * dx), axis=(-2, -1)).rechunk(frame_chunks)
        for t, (dy, dx) in enumerate(shifts)
    ]
    return da.stack(frames).rechunk(core.chunks)
