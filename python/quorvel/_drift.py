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
(`pad_frames`): each mirrored out by `_PAD` pixels (one more where a side
would be even) and moved through its Fourier transform, which keeps white
noise white and at its level (on sides of odd length the move is unitary),
and the result is moved back the same way and cut to the frame
(`unpad_frames`; a variance map with the squares of the interpolation's
weights).  Hot pixels (`_spikes`) are held within their neighbours' range
for the measure and the move, and keep their own values in the result.
Whole pixels alone left each frame up to half a pixel off: on the
benchmark's sequences drifting 0.3 to 2 pixels per frame the fractions
gain 0.7 to 1.4 dB over them (the documentation's benchmarks).
"""

from __future__ import annotations

import functools
import itertools
import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import middle
from quorvel._blank import blank_frames
from quorvel._threads import resolve_threads

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
#: Pixels added to each side of a frame (mirrored) before it is moved.
_PAD = 4
#: Noise levels beyond the range of its four neighbours at which an element
#: is moved by whole pixels (`_spikes`).
_SPIKE = 8.0
#: Times the fall from an element's nearest neighbours to those 2 pixels away
#: by which a spike stands above its neighbours (`_spikes`).
_STEEP = 4.0

Shifts = tuple[tuple[float, float], ...]


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
    for c in range(nc):
        part = core5[:, c, :, middle(ny, _SIDE), middle(nx, _SIDE)]
        if hasattr(part, "compute"):  # dask: only this part is read, plane by plane
            part = part.mean(axis=1, dtype=np.float32).compute()
        elif nz > 1:
            part = sum(np.asarray(part[:, z], dtype=np.float32) for z in range(nz)) / nz
        else:
            part = part[:, 0]
        part = _without_spikes(np.asarray(part, dtype=np.float32))
        spread = float(part.std(dtype=np.float64))
        if spread > 0:
            out += (part - part.mean(axis=(1, 2), keepdims=True)) / np.float32(spread)
    return out


def _neighbours(frames: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The four neighbours (up, down, left, right) of every element of `frames` (..., Y, X)."""
    widths = ((0, 0),) * (frames.ndim - 2) + ((1, 1), (1, 1))
    padded = np.pad(frames, widths, mode="reflect")  # an edge's neighbour is not itself
    return np.stack(
        [
            padded[..., :-2, 1:-1],
            padded[..., 2:, 1:-1],
            padded[..., 1:-1, :-2],
            padded[..., 1:-1, 2:],
        ]
    )


def _without_spikes(frames: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """`frames` (T, Y, X) with their spikes (`_spikes`) held within their neighbours' range.

    A hot or dead pixel sits still while the sample drifts: left in, it
    pulls the shifts towards 0 and makes the test take the sequence for
    still.
    """
    out = [_spikes(np.asarray(f, dtype=np.float64))[1] for f in frames]
    return np.asarray(out, dtype=np.float32).reshape(frames.shape)


def _spikes(frame: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.bool_], npt.NDArray[Any]]:
    """Elements of `frame` that stand out of their neighbours as no imaged structure does.

    Also the frame with those elements held within the range of their four
    neighbours less the largest and smallest.  An element is a spike where
    it lies beyond that range by
    `_SPIKE` noise levels and by `_STEEP` times the steepest fall from a
    nearest neighbour to the next one out on its side (plus the noise
    level): a hot pixel
    falls at once and then not at all, a spot the optics blurred falls
    gradually, and noise within bright structure stays within its
    neighbours' spread.  The noise level is the frame's own (the median
    absolute difference of each element from its neighbours' mean, scaled
    to a standard deviation).  A hot pixel moved by a fraction of a pixel
    through the Fourier transform would ring across its row and column (a
    spike of 8000 over a noise of 3 left errors of hundreds), and one
    moved with the frame, where the camera's stays, smears along the drift.
    """
    near = _neighbours(frame)
    padded = np.pad(frame, 2, mode="symmetric")  # never the element itself
    far = np.stack([padded[:-4, 2:-2], padded[4:, 2:-2], padded[2:-2, :-4], padded[2:-2, 4:]])
    # The second largest and smallest neighbours: a pair of hot pixels
    # stands out of its other neighbours alike; a line one pixel wide keeps
    # a neighbour on either side.
    ranked = np.sort(near, axis=0)
    low, high = ranked[1], ranked[2]
    level = 1.4826 * float(np.median(np.abs(frame - near.mean(axis=0)))) / 1.118
    level = max(level, 1e-12 * float(np.max(np.abs(frame), initial=1.0)))
    # The steepest fall (or rise) from a nearest neighbour to the next one
    # out, but one (that towards a hot pixel's partner).
    fall = _STEEP * (np.sort(np.abs(near - far), axis=0)[2] + level)
    up = (frame - high > _SPIKE * level) & (frame - high > fall)
    down = (low - frame > _SPIKE * level) & (low - frame > fall)
    mask = up | down
    if not mask.any():
        return mask, frame
    smooth = frame.copy()
    smooth[mask] = np.clip(frame[mask], low[mask], high[mask])
    return mask, smooth


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


def _half_frequencies(
    shape: tuple[int, ...],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The frequencies of a real frame's half spectrum (`numpy.fft.rfft2`)."""
    return np.fft.fftfreq(shape[0])[:, None], np.fft.rfftfreq(shape[1])[None, :]


def _phase(shape: tuple[int, ...], shift: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """The half-spectrum transfer function that moves a periodic real frame by `shift` (y, x).

    On an axis of even length the highest frequency has no direction of
    its own: its part is the real one (a move by a fraction of a pixel
    there is not exact; `pad_frames` makes both lengths odd).
    """
    fy, fx = _half_frequencies(shape)
    dy, dx = np.asarray(shift, dtype=np.float64)
    along_y, along_x = np.exp(-2j * np.pi * fy * dy), np.exp(-2j * np.pi * fx * dx)
    if shape[0] % 2 == 0:
        along_y[shape[0] // 2] = along_y[shape[0] // 2].real
    if shape[1] % 2 == 0:
        along_x[:, -1] = along_x[:, -1].real
    return np.asarray(along_y * along_x)


def _moved(frame: npt.NDArray[Any], shift: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """`frame` moved by `shift` (y, x), periodically, through its Fourier transform."""
    if not np.any(shift):
        return np.asarray(frame, dtype=np.float64)
    spectrum = np.fft.rfft2(np.asarray(frame, dtype=np.float64))
    return np.fft.irfft2(spectrum * _phase(frame.shape, shift), s=frame.shape)


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
    frames = [
        da.roll(core[t], (sign * dy, sign * dx), axis=(-2, -1)) for t, (dy, dx) in enumerate(shifts)
    ]
    return da.stack(frames).rechunk(core.chunks)


# --------------------------------------------------------------------------
# Frames moved by fractions of a pixel, for the denoiser


def _pad_widths(n: int) -> tuple[int, int]:
    """Pixels added before and after an axis of length `n`: `_PAD`, one more to make it odd."""
    return _PAD, _PAD + (n + 1) % 2


def padded_shape(shape: tuple[int, ...]) -> tuple[int, ...]:
    """The shape of a core-layout array whose frames `pad_frames` pads."""
    return (*shape[:3], *(n + sum(_pad_widths(n)) for n in shape[3:]))


def _padded_moved(frame: npt.NDArray[Any], shift: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """`frame` without its spikes, mirrored out by `_pad_widths` on each side, moved by `shift`.

    Its spikes (`_spikes`) are held within their neighbours' range: the
    denoiser never sees them, and `_moved_back` puts them back.
    """
    _, smooth = _spikes(np.asarray(frame, dtype=np.float64))
    widths = tuple(_pad_widths(n) for n in frame.shape)
    return _moved(np.pad(smooth, widths, mode="reflect"), shift).astype(np.float32)


def _moved_back(
    frame: npt.NDArray[Any],
    original: npt.NDArray[Any],
    shift: npt.ArrayLike,
    variance: bool = False,
) -> npt.NDArray[np.float32]:
    """A padded frame moved back by `shift`, cut to `original`'s size (`_padded_moved` undone).

    The spikes of `original` (`_spikes`) keep their values: a hot pixel
    stays as hot, its neighbours as the denoiser left them.  With `variance`, a
    variance map: moved with the squares of the interpolation's weights
    (they add up to 1), as the variance of the moved values is for errors
    independent from element to element.
    """
    back = -np.asarray(shift, dtype=np.float64)
    values = np.asarray(frame, dtype=np.float64)
    if not variance:
        moved = _moved(values, back)
    else:
        kernels = []
        for n, d in zip(frame.shape, back, strict=True):
            m = np.arange(n) - d
            m = m - n * np.rint(m / n)  # the nearest of the periodic copies
            with np.errstate(invalid="ignore", divide="ignore"):
                weight = np.sin(np.pi * m) / (n * np.sin(np.pi * m / n))
            weight[np.abs(m) < 1e-12] = 1.0
            kernels.append(weight**2)
        transfer = np.fft.fft(kernels[0])[:, None] * np.fft.rfft(kernels[1])[None, :]
        spectrum = np.fft.rfft2(values)
        moved = np.maximum(np.fft.irfft2(spectrum * transfer, s=frame.shape), 0.0)
    ny, nx = original.shape
    out = moved[_PAD : _PAD + ny, _PAD : _PAD + nx]
    if not variance:
        raw = np.asarray(original, dtype=np.float64)
        mask, _ = _spikes(raw)
        out[mask] = raw[mask]
    return out.astype(np.float32)


def _each_frame(
    block: npt.NDArray[Any],
    job: Any,
    shifts: npt.NDArray[np.float64],
    first: int,
    size: tuple[int, int],
    threads: int = 1,
    beside: npt.NDArray[Any] | None = None,
) -> npt.NDArray[np.float32]:
    """`job(frame, shift)` (a frame of `size`) of every frame of a core-layout block.

    With `beside` (a block of the same frames), ``job(frame, frame beside,
    shift)``.  `first` is the index of the block's first frame in `shifts`.
    The frames are independent: `threads` of them at a time, the same bits
    for every count.
    """
    nt, nc, nz = block.shape[:3]
    out = np.empty((nt, nc, nz, *size), dtype=np.float32)

    def one(index: tuple[int, int, int]) -> None:
        t, c, z = index
        also = () if beside is None else (beside[t, c, z],)
        out[t, c, z] = job(block[t, c, z], *also, shifts[first + t])

    frames = list(itertools.product(range(nt), range(nc), range(nz)))
    if threads > 1 and len(frames) > 1:
        with ThreadPoolExecutor(min(threads, len(frames))) as pool:
            list(pool.map(one, frames))
    else:
        for index in frames:
            one(index)
    return out


def pad_frames(
    core5: npt.NDArray[Any], shifts: Shifts, threads: int = 1
) -> npt.NDArray[np.float32]:
    """Every frame of a core-layout array mirrored out and moved by its shift (a new array).

    The frames are moved through their Fourier transforms, which keeps
    white noise white at its level (the move is unitary on frames of odd
    sides, which the padding gives them); the padding, mirrored, spares the
    frame the jump where its periodic copies meet.  `unpad_frames` undoes it.
    """
    shape = padded_shape(core5.shape)
    size = (shape[3], shape[4])
    return _each_frame(core5, _padded_moved, np.asarray(shifts, dtype=np.float64), 0, size, threads)


def unpad_frames(
    padded: npt.NDArray[Any],
    shifts: Shifts,
    original: npt.NDArray[Any],
    variance: bool = False,
    threads: int = 1,
) -> npt.NDArray[np.float32]:
    """`pad_frames` of `original` undone on a result of its padded frames (`variance`: a map)."""
    job = functools.partial(_moved_back, variance=variance)
    size = (original.shape[3], original.shape[4])
    moves = np.asarray(shifts, dtype=np.float64)
    return _each_frame(padded, job, moves, 0, size, threads, beside=original)


def denoise_moved(
    core5: npt.NDArray[Any],
    plan: Any,
    settings: Any,
    threads: int,
    *,
    shifts: Shifts,
    denoise: Any,
    overwrite: bool = False,
    progress: Any = None,
    return_variance: bool = False,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None]:
    """`denoise` (called as `quorvel._core._denoise_core`) of the frames moved by `shifts`.

    The frames are padded and moved (`pad_frames`), denoised, and the
    result (and its variance) moved back and cut to the frames; `core5` is
    never written (`overwrite` is taken for the padded copy).
    """
    threads = resolve_threads(threads)
    padded = pad_frames(core5, shifts, threads)
    out, variance = denoise(
        padded, plan, settings, threads, overwrite=True, progress=progress,
        return_variance=return_variance,
    )  # fmt: skip
    del padded
    return (
        unpad_frames(out, shifts, core5, threads=threads),
        None if variance is None else unpad_frames(variance, shifts, core5, True, threads),
    )


def _frames_block(
    block: npt.NDArray[Any],
    *beside: npt.NDArray[Any],
    job: Any,
    shifts: npt.NDArray[np.float64],
    size: tuple[int, int],
    block_info: dict[Any, Any] | None = None,
) -> npt.NDArray[np.float32]:
    assert block_info is not None
    first = block_info[0]["array-location"][0][0]
    return _each_frame(block, job, shifts, first, size, beside=beside[0] if beside else None)


def pad_frames_lazy(core: Any, shifts: Shifts) -> Any:
    """`pad_frames` of a core-layout dask array, lazily, in chunks of whole frames."""
    whole = core.rechunk({3: -1, 4: -1})
    shape = padded_shape(tuple(core.shape))
    return whole.map_blocks(
        _frames_block,
        job=_padded_moved,
        shifts=np.asarray(shifts, dtype=np.float64),
        size=(shape[3], shape[4]),
        chunks=(*whole.chunks[:3], (shape[3],), (shape[4],)),
        dtype=np.float32,
    )


def unpad_frames_lazy(padded: Any, shifts: Shifts, original: Any) -> Any:
    """`unpad_frames` of core-layout dask arrays, lazily, in chunks of whole frames."""
    import dask.array as da

    whole = padded.rechunk({3: -1, 4: -1})
    beside = original.rechunk((*whole.chunks[:3], -1, -1))
    shape = tuple(original.shape)
    return da.map_blocks(
        _frames_block,
        whole,
        beside,
        job=_moved_back,
        shifts=np.asarray(shifts, dtype=np.float64),
        size=(shape[3], shape[4]),
        chunks=(*whole.chunks[:3], (shape[3],), (shape[4],)),
        dtype=np.float32,
    )
