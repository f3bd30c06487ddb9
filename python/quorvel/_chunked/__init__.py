"""Chunked, lazy denoising of images larger than memory, on dask.

An image in the core layout ``(T, C, Z, Y, X)`` is cut into chunks; each chunk
is denoised together with a halo of its neighbours (`dask.array.map_overlap`)
and the halo is trimmed off again.  The halo and the chunk boundaries are
chosen so that the result equals that of denoising the whole image at once,
bit for bit.

The halo and why it is exact: `quorvel._chunked.halo`; how an image is cut:
`quorvel._chunked.plan`; threads per task: `quorvel._chunked.threads`; the
noise sample: `quorvel._chunked.sample`.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeAlias

import dask.array as da
import numpy as np
import numpy.typing as npt

from quorvel._chunked.halo import grid_step, halo, search_half_sizes
from quorvel._chunked.plan import (
    CORE_AXES,
    AxisPlan,
    ChunkPlan,
    Chunks,
    aligned_chunks,
    axis_plans,
    chunks_from_sizes,
    plan_chunks,
)
from quorvel._chunked.sample import SAMPLE_ELEMENTS, estimate_lazy, noise_sample_region
from quorvel._chunked.threads import task_threads
from quorvel._core import new_work_image
from quorvel._util import non_finite_message

__all__ = [
    "CORE_AXES",
    "SAMPLE_ELEMENTS",
    "AxisPlan",
    "BlockKernel",
    "ChunkPlan",
    "Chunks",
    "aligned_chunks",
    "axis_plans",
    "chunks_from_sizes",
    "denoise_lazy",
    "estimate_lazy",
    "from_core_dask",
    "grid_step",
    "halo",
    "noise_sample_region",
    "plan_chunks",
    "search_half_sizes",
    "task_threads",
    "to_core_dask",
]

#: ``kernel(work, noise, n_threads)``: denoise a fresh C-contiguous float32
#: core-layout block in place (or return a new array) with the given noise
#: parameters and OpenMP thread count.
BlockKernel: TypeAlias = Callable[[npt.NDArray[np.float32], Any, int], npt.NDArray[np.float32]]


def _denoise_block(
    block: npt.NDArray[Any],
    noise: Any,
    *,
    kernel: BlockKernel,
    n_threads: int,
    n_blocks: int,
) -> npt.NDArray[np.float32]:
    work = new_work_image(block)
    finite = np.isfinite(work)
    if not finite.all():
        count = int(work.size - np.count_nonzero(finite))
        raise ValueError(non_finite_message(count, work.size, " of a chunk"))
    return kernel(work, noise, task_threads(n_threads, n_blocks))


def denoise_lazy(
    core: da.Array,
    kernel: BlockKernel,
    noise: Any,
    plan: ChunkPlan,
    *,
    n_threads: int = 0,
) -> da.Array:
    """Denoise a core-layout dask array block by block, lazily.

    Parameters
    ----------
    core : dask.array.Array
        ``(T, C, Z, Y, X)`` image, any real dtype.
    kernel : callable
        ``kernel(work, noise, n_threads)`` denoises one block (see
        `BlockKernel`); it must be picklable to run on a distributed cluster.
    noise : object or dask.delayed.Delayed
        Noise parameters passed to every call of `kernel`; a delayed value is
        computed once, before the first block, and shared by all blocks.
    plan : ChunkPlan
        Chunks and halos, from `plan_chunks` for the shape of `core`.
    n_threads : int, default 0
        OpenMP threads per task (`task_threads`).

    Returns
    -------
    dask.array.Array
        Float32 array of the shape of `core` with the chunks of `plan`;
        nothing is computed until it is.
    """
    if tuple(core.shape) != tuple(a.extent for a in plan.axes):
        raise ValueError(f"plan is for shape {[a.extent for a in plan.axes]}, got {core.shape}")
    x = core.rechunk(plan.chunks) if core.chunks != plan.chunks else core
    out = da.map_overlap(
        _denoise_block,
        x,
        depth=dict(enumerate(plan.depth)),
        boundary="none",
        trim=True,
        dtype=np.float32,
        meta=np.empty((0,) * 5, dtype=np.float32),
        noise=noise,
        kernel=kernel,
        n_threads=n_threads,
        n_blocks=plan.n_blocks,
        token="quorvel-denoise",
    )
    if out.chunks != plan.chunks:  # dask re-cut chunks shorter than the halo
        raise RuntimeError(f"chunks changed from {plan.chunks} to {out.chunks}")
    return out if plan.output is None else out.rechunk(plan.output)


# --------------------------------------------------------------------------
# Axis order


def to_core_dask(image: da.Array, axes: str) -> da.Array:
    """Return `image` in the core layout ``(T, C, Z, Y, X)``, lazily.

    Parameters
    ----------
    image : dask.array.Array
        The image, one dimension per letter of `axes`.
    axes : str
        Normalised axis names (core letters, each at most once).

    Returns
    -------
    dask.array.Array
        Five-dimensional; missing axes have length 1 (and one chunk).
    """
    order = [axes.index(a) for a in CORE_AXES if a in axes]
    moved = da.transpose(image, order)
    index = tuple(slice(None) if a in axes else None for a in CORE_AXES)
    return moved[index]


def from_core_dask(core: da.Array, axes: str) -> da.Array:
    """Undo `to_core_dask`: `core` with the axes and order of `axes`.

    Parameters
    ----------
    core : dask.array.Array
        A ``(T, C, Z, Y, X)`` array.
    axes : str
        Normalised axis names.

    Returns
    -------
    dask.array.Array
        One dimension per letter of `axes`.
    """
    index = tuple(slice(None) if a in axes else 0 for a in CORE_AXES)
    present = [a for a in CORE_AXES if a in axes]
    return da.transpose(core[index], [present.index(a) for a in axes])
