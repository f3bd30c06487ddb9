"""The part of a plane's spectrum that holds only noise, measured and cut from the result.

A microscope passes spatial frequencies up to its optical cutoff; on images
sampled at or above the Nyquist rate the frequencies beyond half a cycle per
pixel in radius (the corners of the plane's spectrum, about a fifth of it)
hold noise alone.  The denoiser averages little where it finds few similar
patches (bright spots, the tips of filaments): some of the noise stays there,
white, a fifth of it in those corners.  Where the corners of the noisy
image hold noise only, they are cut from the result (by default on stacks:
on single planes, whose last iterations average more, it gained 0.00 to
0.03 dB on the benchmark's scenes for up to 0.7 times the denoising's time).
z-stacks of up to `_MOST_VOLUME` elements are measured and cut volume by
volume, in their 3-D spectrum, whose corners beyond half a cycle per pixel
are about half of it (`whole_volumes`): on the benchmark's volumes +0.01 to
+0.12 dB where their planes' corners gave +0.00 to +0.02; a stack sampled
coarsely along Z holds structure there and is left as it is.

`corner_power` measures it (`measure_corners` on the middle of the image):
the mean power of a plane's spectrum beyond half a cycle per pixel over the
plane's mean noise variance (from the noise model), so near 1 where the
corners hold noise alone (the noise of every pixel is white, whatever its
level) and above it where the image is sampled coarser than its optics
resolve (photographs, binned cameras).  Hot pixels, which hold every
frequency, are replaced first (`_held`).  The rows and columns of
frequencies next to the axes are left out: the jump where the plane's
periodic copies meet puts its power there.  `CORNERS` is the most a
channel's corners may hold to be cut: the measure's spread on pure noise
is about 1 % on a 384 x 384 sample, and the noise model's error adds to it
(the benchmark's fluorescence-like stacks: 0.99 to 1.02; its photographs
at sigma 10: 1.24 and 1.27).

Cut further in, where the spots and filaments of the benchmark hold no
power either, the demo's moving spots would gain up to 0.9 dB, but no
cutoff read off the noisy image held there: the power a denoised image
keeps near it is below what a noisy spectrum can resolve
(docs/benchmarks.md).

`cut_corners` cuts them from each plane of the result: mirrored out by
`_PAD` pixels (its periodic copies then meet without a jump), frequencies
below half a cycle per pixel kept, those beyond `_TAPER` more cut, a cosine
between; hot pixels, which hold every frequency, are held out of the cut
(as out of the frames' moves) and keep their values.  Planes are
independent: side by side on several threads (the same bits for every
count), and in chunks of whole planes for images in chunks.
"""

from __future__ import annotations

import functools
import itertools
import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._core import NoisePlan
from quorvel._moves import _spikes
from quorvel._threads import for_each, resolve_threads

#: The most mean power, in units of the noise variance, that a channel's
#: corners may hold to be cut.
CORNERS = 1.03
#: Radius, in cycles per pixel, below which every frequency is kept.
_CUTOFF = 0.5
#: Width of the cosine from kept to cut, in cycles per pixel.
_TAPER = 0.1
#: Share of a run's progress given to the cut (it took 5.6 to 6.7 % of the
#: time of default runs on 10 x 512 x 512 and 48 x 256 x 256).
SHARE = 0.05
#: Pixels added to each side of a plane (mirrored) before it is filtered.
_PAD = 8
#: Most planes measured.
_PLANES = 16
#: Smallest side of a plane that is measured and cut.
_LEAST_SIDE = 16
#: Least planes of a z-stack whose volume is cut whole (its 3-D spectrum),
#: and the most elements of such a volume (above, plane by plane: the cut
#: of a volume holds about 60 bytes an element at its peak, 2 GB here).
_LEAST_DEPTH, _MOST_VOLUME = 4, 2**25
#: Rows of the strips in which spikes are found (the work of `_spikes` is
#: some twenty times its input's).
_STRIP = 32


def _held(plane: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.bool_], npt.NDArray[Any]]:
    """The spikes of `plane` (`quorvel._moves._spikes`) and the plane with them replaced.

    Found in strips of `_STRIP` rows, each with the two rows beyond it on
    either side that the test reads (and with its own noise level).  A
    spike takes the value its neighbours along Y and X interpolate
    (`_interpolated`): held at the edge of their range, as for the frames'
    moves, it would keep a step of the local gradient, whose power in the
    spectrum's corners is what is measured here (three hot pixels on a
    steep drifting scene took it from 1.00 to 1.03 to 1.10 held so, or at
    the median of the four; interpolated it stays at 1.00).
    """
    ny = plane.shape[0]
    mask = np.zeros(plane.shape, dtype=bool)
    for top in range(0, ny, _STRIP):
        low, high = max(top - 2, 0), min(top + _STRIP + 2, ny)
        rows = slice(top - low, top - low + min(_STRIP, ny - top))
        mask[top : top + _STRIP] = _spikes(plane[low:high])[0][rows]
    smooth = plane.copy()
    if mask.any():
        smooth[mask] = _interpolated(plane, mask)
    return mask, smooth


def _interpolated(plane: npt.NDArray[np.float64], mask: npt.NDArray[np.bool_]) -> Any:
    """Values at the `mask` of `plane` from the two elements on either side along Y and X.

    Along each axis (4 (a + b) - (c + d)) / 6 from the elements 1 (a, b) and
    2 (c, d) away, exact on cubics; the mean of both axes, or the one whose
    nearest elements are no spikes (a pair of hot pixels).
    """
    padded = np.pad(plane, 2, mode="reflect")
    spiky = np.pad(mask, 2, mode="reflect")
    y, x = np.nonzero(mask)
    y, x = y + 2, x + 2
    estimates, usable = [], []
    for dy, dx in ((1, 0), (0, 1)):
        near = padded[y - dy, x - dx] + padded[y + dy, x + dx]
        far = padded[y - 2 * dy, x - 2 * dx] + padded[y + 2 * dy, x + 2 * dx]
        estimates.append((4.0 * near - far) / 6.0)
        usable.append(~(spiky[y - dy, x - dx] | spiky[y + dy, x + dx]))
    weight = np.stack(usable).astype(np.float64)
    weight[:, weight.sum(axis=0) == 0] = 1.0
    return (weight * np.stack(estimates)).sum(axis=0) / weight.sum(axis=0)


def _radius(shape: tuple[int, ...], real: bool = False) -> npt.NDArray[np.float64]:
    """Radius in cycles per pixel of every frequency of the spectrum of an array of `shape`.

    The last axis halved where `real` (`numpy.fft.rfftn`).
    """
    axes = [np.fft.fftfreq(n) for n in shape[:-1]]
    axes.append(np.fft.rfftfreq(shape[-1]) if real else np.fft.fftfreq(shape[-1]))
    grids = np.meshgrid(*axes, indexing="ij", sparse=True)
    return np.sqrt(sum(g * g for g in grids))


def whole_volumes(shape: tuple[int, ...]) -> bool:
    """Whether a core-layout `shape` (T, C, Z, Y, X) is cut volume by volume (3-D).

    z-stacks of `_LEAST_DEPTH` planes or more whose volume holds at most
    `_MOST_VOLUME` elements; others plane by plane.
    """
    nz, ny, nx = shape[2:]
    return nz >= _LEAST_DEPTH and nz * ny * nx <= _MOST_VOLUME


def corner_power(blocks: Sequence[npt.NDArray[Any]], noise: Sequence[float]) -> float | None:
    """Mean power beyond half a cycle per pixel of `blocks` over their `noise`.

    `blocks` are planes (Y, X) or volumes (Z, Y, X); `noise` is each one's
    mean noise variance.  None where a plane is smaller than `_LEAST_SIDE`
    along Y or X.  Spikes (hot pixels), which hold every frequency, are
    replaced first, plane by plane (`_held`: a few hot pixels would
    otherwise hold more power there than the noise).  The frequencies next
    to each axis are left out.  One block's spectrum is held at a time.
    """
    shape = blocks[0].shape
    if min(shape[-2:]) < _LEAST_SIDE:
        return None
    corners = _radius(shape, real=True) >= _CUTOFF
    for axis, n in enumerate(shape):
        f = np.abs(np.fft.rfftfreq(n) if axis == len(shape) - 1 else np.fft.fftfreq(n))
        corners &= (f >= 2.0 / n).reshape([-1 if a == axis else 1 for a in range(len(shape))])
    total: float = 0.0
    for block, variance in zip(blocks, noise, strict=True):
        held = np.asarray(block, dtype=np.float64).reshape(-1, *shape[-2:])
        p = np.stack([_held(plane)[1] for plane in held]).reshape(shape)
        spectrum = np.fft.rfftn(p - p.mean())
        total += float(np.mean(np.abs(spectrum[corners]) ** 2)) / float(variance)
    return float(total / (len(blocks) * math.prod(shape)))


def measure_corners(core5: Any, plan: NoisePlan) -> dict[int, float | None]:
    """`corner_power` of every channel denoised of a core-layout image, on its middle.

    On `quorvel._measure.sample_region` (the same in memory and in chunks):
    z-stacks cut volume by volume (`whole_volumes`) on the volume of its
    middle time point (up to 16 planes), other images on up to 16 of its
    planes; each over the noise variance the model gives it at its mean
    (exact where the variance is linear in the intensity).  Read as
    recorded: a time-lapse's frames rolled for the alignment would hold the
    seams where they wrap.
    """
    from quorvel._measure import sample_region
    from quorvel._tune.crops import _read

    sample = _read(core5[sample_region(tuple(core5.shape))])
    nt, _, nz = sample.shape[:3]
    out: dict[int, float | None] = {}
    for c in plan.varying_channels:
        blocks: list[npt.NDArray[Any]]
        if whole_volumes(tuple(int(n) for n in core5.shape)):
            blocks = [sample[nt // 2, c]]
        else:
            chosen = np.linspace(0, nt * nz - 1, min(nt * nz, _PLANES)).astype(int)
            blocks = [sample[i // nz, c, i % nz] for i in chosen]
        gain, offset, sigma = plan.gain[c], plan.offset[c], plan.sigma[c]
        if gain is not None and offset is not None:
            means = [float(np.mean(b, dtype=np.float64)) for b in blocks]
            noise = [max(gain * m + offset, 1e-12) for m in means]
        else:
            noise = [max(float(sigma or 0.0) ** 2, 1e-12)] * len(blocks)
        out[c] = corner_power(blocks, noise)
    return out


def noise_only(corners: dict[int, float | None]) -> tuple[int, ...]:
    """The channels to cut: all of them where each holds noise alone in its corners, else none.

    One decision for the image, so that its recorded settings reproduce it.
    """
    values = list(corners.values())
    return tuple(corners) if all(v is not None and v <= CORNERS for v in values) else ()


def _mask(shape: tuple[int, ...]) -> npt.NDArray[np.float64]:
    """The weights of the real spectrum of a padded block of `shape`: 1 kept, 0 cut."""
    t = np.clip((_radius(shape, real=True) - _CUTOFF) / _TAPER, 0.0, 1.0)
    return np.asarray(0.5 + 0.5 * np.cos(np.pi * t))


@functools.lru_cache(maxsize=8)
def _cached_mask(shape: tuple[int, ...]) -> npt.NDArray[np.float64]:
    return _mask(shape)


def _cut_block(block: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """`block` (Y, X, or Z, Y, X) without the frequencies beyond half a cycle per pixel.

    Spikes (hot pixels, `_held`, plane by plane) are replaced for the cut
    and keep their own values; the result stays within the block's range
    (a cut ends in a ripple beside a jump, as at the edge of a saturated
    region).
    """
    low, high = block.min(), block.max()
    if low == high:  # blank or constant: nothing to cut
        return np.asarray(block, dtype=np.float32)
    smooth = np.array(block, dtype=np.float64)
    mask = np.zeros(block.shape, dtype=bool)
    planes, spikes = smooth.reshape(-1, *block.shape[-2:]), mask.reshape(-1, *block.shape[-2:])
    for i, plane in enumerate(planes):
        spikes[i], planes[i] = _held(plane)
    padded = np.pad(smooth, _PAD, mode="symmetric")
    del smooth
    spectrum = np.fft.rfftn(padded)
    spectrum *= _cached_mask(padded.shape)
    inner = tuple(slice(_PAD, _PAD + n) for n in block.shape)
    out = np.fft.irfftn(spectrum, s=padded.shape, axes=tuple(range(padded.ndim)))[inner]
    out[mask] = block[mask]
    cut: npt.NDArray[np.float32] = np.clip(out, low, high).astype(np.float32)
    return cut


def can_cut(shape: tuple[int, ...]) -> bool:
    """Whether planes of a core-layout `shape` (T, C, Z, Y, X) are large enough to be cut."""
    return min(shape[3], shape[4]) >= _LEAST_SIDE


def cut_corners(
    core: npt.NDArray[np.float32],
    channels: tuple[int, ...],
    threads: int = 0,
    progress: Callable[[float], object] | None = None,
) -> npt.NDArray[np.float32]:
    """Cut the corners of the spectrum of `channels` of `core`, in place.

    `core` is in core layout (T, C, Z, Y, X): volume by volume where
    `whole_volumes`, else plane by plane, on `threads` threads.
    `progress` is told the share of them done after each; what it raises
    stops the cut (the volumes and planes not begun are left as they were).
    Returns `core`.
    """
    if not channels or not can_cut(core.shape):
        return core
    nt, _, nz = core.shape[:3]
    depths: list[Any] = [slice(None)] if whole_volumes(core.shape) else list(range(nz))
    blocks = list(itertools.product(range(nt), channels, depths))

    def one(index: tuple[int, int, Any]) -> None:
        t, c, z = index
        core[t, c, z] = _cut_block(core[t, c, z])

    for_each(one, blocks, resolve_threads(threads), progress)
    return core


def cut_corners_lazy(core: Any, channels: tuple[int, ...]) -> Any:
    """`cut_corners` on a dask array in core layout, one whole volume or plane per task.

    The result keeps the chunks of `core`.
    """
    shape = tuple(int(n) for n in core.shape)
    if not channels or not can_cut(shape):
        return core
    whole = core.rechunk({0: 1, 1: 1, 2: -1 if whole_volumes(shape) else 1, 3: -1, 4: -1})

    def block(b: npt.NDArray[np.float32], block_info: Any = None) -> npt.NDArray[np.float32]:
        first = block_info[0]["array-location"][1][0]
        here = tuple(c - first for c in channels if 0 <= c - first < b.shape[1])
        # Whole along Z where the image is cut volume by volume: the same blocks.
        return cut_corners(np.array(b, dtype=np.float32, copy=True), here, threads=1)

    return whole.map_blocks(block, dtype=np.float32).rechunk(core.chunks)
