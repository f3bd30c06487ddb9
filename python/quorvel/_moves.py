"""Frames moved by fractions of a pixel through their Fourier transforms, and back.

The denoiser gets each frame of an aligned time-lapse (`quorvel._drift`)
moved by its whole shift: mirrored out by `_PAD` pixels (one more where a
side would be even), its spectrum multiplied by the shift's phase.  On
sides of odd length the move is unitary: white noise stays white and at its
level, and moving back gives the frame again.  The mirrored padding spares
the frame the jump where its periodic copies meet (0.4 to 0.6 dB on the
benchmark's drifting sequences).  The result is moved back the same way and
cut to the frame; a variance map with the squares of the interpolation's
weights, which add up to 1.

A hot pixel stays where the camera has it while the sample drifts; moved
through the transform it would ring across its row and column, and moved
with the frame the denoiser would smear it along the drift.  Spikes
(`_spikes`) are held within their neighbours' range for the move and keep
their own values in the result.

Frames are independent: `pad_frames` and `unpad_frames` take them side by
side on several threads (the same bits for every count), and the lazy
versions in chunks of whole frames.
"""

from __future__ import annotations

import functools
import itertools
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._threads import for_each, resolve_threads

#: Pixels added to each side of a frame (mirrored) before it is moved.
_PAD = 4
#: Noise levels beyond the range of its neighbours at which an element is a
#: spike (`_spikes`).
_SPIKE = 8.0
#: Times the fall from an element's nearest neighbours to those 2 pixels away
#: by which a spike stands above its neighbours (`_spikes`).
_STEEP = 4.0

#: Shifts (y, x) in pixels, one per frame.
Shifts = tuple[tuple[float, float], ...]


def _neighbours(frames: npt.NDArray[Any]) -> list[npt.NDArray[Any]]:
    """The four neighbours (up, down, left, right) of every element of `frames` (..., Y, X)."""
    widths = ((0, 0),) * (frames.ndim - 2) + ((1, 1), (1, 1))
    padded = np.pad(frames, widths, mode="reflect")  # an edge's neighbour is not itself
    return [
        padded[..., :-2, 1:-1],
        padded[..., 2:, 1:-1],
        padded[..., 1:-1, :-2],
        padded[..., 1:-1, 2:],
    ]


def _middle_two(four: list[npt.NDArray[Any]]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """The second smallest and second largest of four arrays, element by element.

    A sorting network (exact: the values themselves), several times faster
    than sorting a stack of them.
    """
    a, b, c, d = four
    low = np.maximum(np.minimum(a, b), np.minimum(c, d))
    high = np.minimum(np.maximum(a, b), np.maximum(c, d))
    return np.minimum(low, high), np.maximum(low, high)


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
    # The second largest and smallest neighbours: a pair of hot pixels
    # stands out of its other neighbours alike; a line one pixel wide keeps
    # a neighbour on either side.
    low, high = _middle_two(near)
    mean = (((near[0] + near[1]) + near[2]) + near[3]) / 4.0
    level = 1.4826 * float(np.median(np.abs(frame - mean))) / 1.118
    level = max(level, 1e-12 * float(np.max(np.abs(frame), initial=1.0)))
    above, below = frame - high, low - frame
    mask = (above > _SPIKE * level) | (below > _SPIKE * level)
    if not mask.any():
        return mask, frame
    # Where an element is that far out: the steepest fall (or rise) from a
    # nearest neighbour to the next one out, but one (that towards a hot
    # pixel's partner).
    at = np.nonzero(mask)
    padded = np.pad(frame, 2, mode="symmetric")  # never the element itself
    far = [padded[:-4, 2:-2], padded[4:, 2:-2], padded[2:-2, :-4], padded[2:-2, 4:]]
    steps = [np.abs(n[at] - f[at]) for n, f in zip(near, far, strict=True)]
    fall = _STEEP * (_middle_two(steps)[1] + level)
    mask[at] = ((above[at] > _SPIKE * level) & (above[at] > fall)) | (
        (below[at] > _SPIKE * level) & (below[at] > fall)
    )
    if not mask.any():
        return mask, frame
    smooth = frame.copy()
    smooth[mask] = np.clip(frame[mask], low[mask], high[mask])
    return mask, smooth


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

    for_each(one, list(itertools.product(range(nt), range(nc), range(nz))), threads)
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
