"""What the choice of settings reads off an image: structure against noise, and stillness.

Each channel is brought to unit Gaussian noise as the denoiser sees it
(divided by sigma, or the generalized Anscombe transform of its
Poisson-Gaussian model, `quorvel._tune._stabilise`), on the middle of the
image (`sample_region`), and measured in units of that noise:

- how much of each plane is background or smooth (`Measures.flat`: the
  share of 8 x 8 blocks whose variance exceeds the noise's by less than a
  quarter of it) and how strong its brightest structure is
  (`Measures.bright`: the 99th percentile of the blocks' variance less the
  noise's);
- along T (else Z), how alike the frames are (`Measures.still`): in 16 x 16
  blocks, the mean squared difference of elements half the axis or more
  apart, against that of neighbours (which cancels the noise's share and
  any error in it).  A block with structure (variance beyond half the
  noise's) is still when the difference grows by less than a tenth of its
  structure's variance; `still` is the share of still blocks among those
  with structure, or, where fewer than 5 % have any (dim images), 1 when
  the mean growth is below 0.02 of the noise variance, else 0;
- on z-stacks, how far apart the planes are against the pixels
  (`Measures.apart`): the mean squared difference of neighbouring planes
  less that of neighbouring pixels in the plane (which cancels the noise's
  share and any error in it), over the variance of the structure.  Near 0
  where structures are sampled along Z as finely as in the plane, up to 1
  where planes are unrelated (sampled coarsely along Z), below 0 where
  structures extend further along Z than in the plane.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._axes import middle
from quorvel._core import NoisePlan

#: Largest extent of the measured region: frames or planes, and Y and X.
_SAMPLE_DEPTH, _SAMPLE_SIDE = 16, 384
#: Side of the blocks in which structure is told from noise, and of those in
#: which stillness is judged.
_BLOCK, _STILL_BLOCK = 8, 16
#: Structure variance, in units of the noise variance, below which a block is flat.
_FLAT = 0.25
#: Structure variance beyond which a block's stillness is judged, the share of
#: it by which the difference may grow in a still block, the least share of
#: such blocks for that judgement, and the mean growth of a still dim image.
_STRUCTURED, _GROWTH, _FEWEST, _DIM_GROWTH = 0.5, 0.1, 0.05, 0.02

F32 = npt.NDArray[np.float32]


def sample_region(shape: tuple[int, ...]) -> tuple[slice, ...]:
    """The part of a core-layout image the measures are taken on: its middle.

    Up to 16 frames and planes and 384 rows and columns, all channels; it
    depends on the shape only, so that the same image in memory or in
    chunks (dask) gives the same measures.
    """
    nt, _, nz, ny, nx = shape
    return (
        middle(nt, _SAMPLE_DEPTH),
        slice(None),
        middle(nz, _SAMPLE_DEPTH),
        middle(ny, _SAMPLE_SIDE),
        middle(nx, _SAMPLE_SIDE),
    )


@dataclass(frozen=True)
class Measures:
    """What the choice of settings reads off one channel, in units of its noise.

    Attributes
    ----------
    flat : float
        Share of the 8 x 8 blocks of the planes that are background or
        smooth (structure variance under a quarter of the noise variance).
    bright : float
        The 99th percentile of the blocks' structure variance.
    still : float or None
        Along the stacked axis (T, else Z): the share of the blocks with
        structure that stay alike from one end of the axis to the other
        (module docstring); None for a single plane.
    apart : float or None
        On z-stacks of one time point: how much more neighbouring planes
        differ than neighbouring pixels, over the structure's variance
        (module docstring); 0 on sections with a row or column of one
        pixel; None otherwise.
    """

    flat: float
    bright: float
    still: float | None = None
    apart: float | None = None

    def as_dict(self) -> dict[str, Any]:
        """Plain data for logs and provenance."""
        return {k: None if v is None else round(v, 4) for k, v in vars(self).items()}


def _tiles(a: npt.NDArray[Any], side: int) -> npt.NDArray[Any]:
    """`a` (..., Y, X) cut into side x side tiles: (..., Y // side, side, X // side, side)."""
    ny, nx = (a.shape[-2] // side) * side, (a.shape[-1] // side) * side
    return a[..., :ny, :nx].reshape(*a.shape[:-2], ny // side, side, nx // side, side)


def _structure(y: F32, side: int) -> npt.NDArray[np.float64]:
    """Variance of every side x side block of every plane of `y` (..., Y, X), less the noise's.

    Plane by plane, so that the float64 work stays the size of one plane.
    """
    tiles = _tiles(y, side)
    if tiles.size == 0:
        return np.asarray([float(np.var(y)) - 1.0])
    planes = tiles.reshape(-1, *tiles.shape[-4:])
    out = np.empty((planes.shape[0], tiles.shape[-4], tiles.shape[-2]), dtype=np.float64)
    for i, plane in enumerate(planes):
        out[i] = plane.var(axis=(-3, -1), dtype=np.float64)
    return out.reshape(*tiles.shape[:-4], *out.shape[1:]) - 1.0


def _mean_square_difference(a: F32, b: F32) -> npt.NDArray[np.float64]:
    """Mean over the first axis of (a - b)**2 in float64, one plane at a time."""
    total = np.zeros(a.shape[1:], dtype=np.float64)
    for p, q in zip(a, b, strict=True):
        total += np.square(p - q, dtype=np.float64)
    out: npt.NDArray[np.float64] = total / a.shape[0]
    return out


def _still(y: F32) -> float:
    """`Measures.still` of `y` (N, Y, X), N frames or planes."""
    n = y.shape[0]
    if _tiles(y, _STILL_BLOCK).size == 0:
        return 1.0

    def difference(d: int) -> npt.NDArray[np.float64]:
        """Mean squared difference of elements `d` apart per block, less the noise's."""
        squares = _mean_square_difference(y[d:], y[:-d])
        return np.asarray(_tiles(squares, _STILL_BLOCK).mean(axis=(-3, -1))) / 2.0 - 1.0

    far = np.mean([difference(d) for d in range(max(n // 2, 1), n)], axis=0)
    growth = far - difference(1)
    structure = _structure(y, _STILL_BLOCK).mean(axis=0)
    structured = structure > _STRUCTURED
    if structured.mean() < _FEWEST:
        return float(np.mean(growth) < _DIM_GROWTH)
    return float(np.mean(growth[structured] < _GROWTH * structure[structured]))


def _variance(y: F32) -> float:
    """The variance of all of `y` (N, Y, X) in float64, summed one plane at a time."""
    mean = sum(float(np.sum(p, dtype=np.float64)) for p in y) / y.size
    return sum(float(np.sum(np.square(p - mean, dtype=np.float64))) for p in y) / y.size


def _apart(y: F32) -> float:
    """`Measures.apart` of a z-stack `y` (Z, Y, X)."""

    def difference(a: F32, b: F32) -> float:
        return float(np.mean(_mean_square_difference(a, b))) / 2.0 - 1.0

    if min(y.shape[1:]) < 2:
        # A section (X-Z, Y-Z) or a line along Z: no pixels in the plane to
        # compare with along both axes; taken as sampled as finely as the
        # plane (the growing window; along X alone the measure chose a reach
        # on X-Z sections of planes sampled twice, 1.3 dB worse in one of six).
        return 0.0
    planes = difference(y[1:], y[:-1])
    pixels = (difference(y[:, 1:], y[:, :-1]) + difference(y[:, :, 1:], y[:, :, :-1])) / 2.0
    # The structure's variance, less what the noise model misses: that adds
    # alike to the variance and to both differences, and the smaller
    # difference of smooth structure is mostly that.
    structure = _variance(y) - 1.0 - max(min(planes, pixels), 0.0)
    return (planes - pixels) / max(structure, 1e-3)


def measure_channel(y: F32) -> Measures:
    """The `Measures` of one channel at unit noise, `y` of shape (T, Z, Y, X)."""
    blocks = _structure(y, _BLOCK).ravel()
    flat = float(np.mean(blocks < _FLAT))
    bright = float(np.percentile(blocks, 99))
    nt, nz = y.shape[:2]
    still: float | None = None
    apart: float | None = None
    if nt > 1:
        still = float(np.mean([_still(y[:, z]) for z in range(nz)]))
    elif nz > 1:
        still, apart = _still(y[0]), _apart(y[0])
    return Measures(flat, bright, still, apart)


def _stabilised_channel(sample: npt.NDArray[Any], plan: NoisePlan, c: int) -> F32:
    """Channel `c` of a core-layout `sample` at unit noise, (T, Z, Y, X).

    Plane by plane, so that beside the result only one plane's work is held.
    """
    from quorvel._tune.crops import _channel_plan, _stabilise

    one = _channel_plan(plan, c)
    nt, _, nz = sample.shape[:3]
    out = np.empty((nt, nz, *sample.shape[3:]), dtype=np.float32)
    for t in range(nt):
        for z in range(nz):
            plane = sample[t : t + 1, c : c + 1, z : z + 1]
            out[t, z] = _stabilise(plane, one, variance=False)[0].stabilised[0, 0, 0]
    return out


def measure(core5: Any, plan: NoisePlan) -> dict[int, Measures]:
    """The `Measures` of every channel denoised of a core-layout image, on `sample_region`.

    By channel (constant channels have none).  Only that region is read (a
    dask array's part is computed); the work holds one float32 copy of it
    and float64 sums of one plane.
    """
    from quorvel._tune.crops import _read

    sample = _read(core5[sample_region(tuple(core5.shape))])
    return {c: measure_channel(_stabilised_channel(sample, plan, c)) for c in plan.varying_channels}
