"""Chunked, lazy denoising of images larger than memory, on dask.

An image in the core layout ``(T, C, Z, Y, X)`` is cut into chunks; each chunk
is denoised together with a halo of its neighbours (`dask.array.map_overlap`)
and the halo is trimmed off again.  The halo and the chunk boundaries are
chosen so that the result equals that of denoising the whole image at once,
bit for bit.

Why the halo is exact
---------------------
Let ``p`` be the patch radius along an axis and ``w_k`` the search-window
half-size of iteration ``k`` (``2**k`` along X and Y, ``k`` along Z,
``max(0, k - 2)`` along T when those are searched, 0 otherwise).  In one
iteration a pixel's new value is made from the reference patches that cover
it (within ``p``), their candidates (within ``w_k`` of those) and the
candidates' patches (within ``p`` of those): it depends on the previous
iteration within ``2 p + w_k``.

A block differs from the whole image only near its cut edges, where it sees
three things the whole image does not: candidate windows clipped at the cut
(pixels within ``2 p + w_k`` of it), reference positions missing beyond the
cut (within ``2 p``), and the dense "far plane" of reference positions that
the denoiser adds on the last patch position of every axis with ``p > 1``
(within ``2 p + 1`` of the far cut).  Every iteration the differences spread
inward by ``2 p + w_k``.  A core that lies further than

    D = sum over k of (2 p + w_k), plus 1 if p > 1 and w_0 = 0

from every cut is therefore computed from exactly the same values, in the
same order, as in the whole image, provided that

* the reference grid of a block coincides with that of the image: the grid
  starts at ``p`` in every block with a step of ``p + 1`` (X, Y, and Z when
  the stack is longer than ``4 p + 1``) or ``p`` (T), so every block must
  start at a multiple of that step.  The halo is rounded up to a multiple of
  the step and chunk boundaries must lie on multiples of it;
* every block has the step the image has (a block along Z must also be longer
  than ``4 p + 1`` when the image is) and holds at least ``2 p + 1`` pixels;
* blocks at the image's edges get no padding (``boundary='none'``), so the
  image's own far planes are theirs;
* the sums per pixel are added in the same order, which the compute core
  guarantees for any thread count.

Channels are never cut: a patch spans all channels of its pixels, so the
weights depend on every channel at once.

With patch radius 3 along X and Y, 4 iterations and the growing window
along Z and T the halo is 40 pixels along X and Y (39 rounded up to the
grid step 4), 6 planes along Z and 1 time point along T.  A reach ``r``
along T takes ``n (r + 2 p)`` frames in ``n`` iterations: 36 for a still
sequence searched 9 frames to each side in 4 iterations.  Frames asked for
in chunks shorter than that (``T=1``) are denoised in blocks of the halo's
length, each read with a halo on both sides, and handed out in the chunks
asked for: a block then holds up to three times the halo in frames, and the
frames are denoised about three times over (less with longer chunks).

Threads
-------
Each task calls the core with ``max(1, cpus // slots)`` OpenMP threads, where
``cpus`` is the number of CPUs available to the process running the task
(`dask.system.CPU_COUNT`) and ``slots`` the number of dask tasks that may run
on those CPUs at the same time: on a `distributed` worker, the threads of all
workers on its host (asked once per process from the scheduler); with the
local threaded scheduler, its pool size (``num_workers`` of the dask
configuration, else ``cpus``) but at most the number of blocks; with the
synchronous scheduler (tasks on the main thread), 1.  A positive `n_threads`
overrides the rule; a negative one takes that many threads off its result.

Noise sample
------------
The noise model is estimated once, on one contiguous region of the image
(`noise_sample_region`): the whole image when it holds at most
`SAMPLE_ELEMENTS` elements; otherwise the middle time points, as many as fit,
then if one time point is still too large the middle planes, then a central
Y-X crop.  A contiguous region keeps every pixel's neighbours, in time as in
space, exactly as the estimators see them in the whole image.
"""

from __future__ import annotations

import functools
import math
import re
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt

from quorvel import _engine
from quorvel._core import new_work_image

__all__ = [
    "CORE_AXES",
    "SAMPLE_ELEMENTS",
    "AxisPlan",
    "BlockKernel",
    "ChunkPlan",
    "aligned_chunks",
    "chunks_from_sizes",
    "core_kernel",
    "denoise_lazy",
    "estimate_lazy",
    "from_core_dask",
    "grid_step",
    "halo",
    "noise_sample_region",
    "parse_chunk_spec",
    "plan_chunks",
    "search_half_sizes",
    "task_threads",
    "to_core_dask",
]

#: Axis order of the compute core, slowest to fastest.
CORE_AXES = "TCZYX"

#: Fewest frames (or planes) the region the noise is estimated on keeps, when
#: the image has them: the calibration from neighbouring frames needs them.
SAMPLE_FRAMES = 4
#: Largest number of elements of the region the noise is estimated on
#: (16 MiB of float32).
SAMPLE_ELEMENTS = 2**22

# Index of each core axis in the radius and search lists of the core.
_LIST_INDEX = {"X": 0, "Y": 1, "Z": 2, "C": 3, "T": 4}

Chunks: TypeAlias = tuple[tuple[int, ...], ...]
#: ``kernel(work, noise, n_threads)``: denoise a fresh C-contiguous float32
#: core-layout block in place (or return a new array) with the given noise
#: parameters and OpenMP thread count.
BlockKernel: TypeAlias = Callable[[npt.NDArray[np.float32], Any, int], npt.NDArray[np.float32]]


# --------------------------------------------------------------------------
# What the denoiser reads along each axis


def _radius(axis: str, extent: int, radius5: Sequence[int]) -> int:
    """Patch radius the core uses along `axis` (0 along C and axes of length 1)."""
    if axis == "C" or extent == 1:
        return 0
    return int(radius5[_LIST_INDEX[axis]])


def _searched(axis: str, extent: int, search5: Sequence[int]) -> bool:
    """Whether the core grows its search window along `axis`."""
    if extent <= 1 or axis == "C":
        return False
    return axis in "XY" or bool(search5[_LIST_INDEX[axis]])


def search_half_sizes(
    axis: str, extent: int, searched: bool, max_iter: int, reach: int = -1
) -> list[int]:
    """Search-window half-size along one axis in each iteration.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image along `axis`.
    searched : bool
        Whether the window grows along `axis` (X and Y always do).
    max_iter : int
        Number of iterations.
    reach : int, default -1
        Largest half-size along `axis`; -1 for none.

    Returns
    -------
    list of int
        ``2**k`` along X and Y, ``k`` along Z, ``max(0, k - 2)`` along T, for
        ``k = 0 .. max_iter - 1``; zeros for C, axes of length 1 and axes not
        searched.  With a reach: at most the reach along X and Y, the reach
        in every iteration along Z and T.
    """
    if extent <= 1 or not searched or axis == "C":
        return [0] * max_iter
    return list(_engine.search_half_sizes(_LIST_INDEX[axis], extent, True, max_iter, reach))


def grid_step(axis: str, extent: int, radius: int) -> int:
    """Step of the reference grid along one axis.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image (or block) along `axis`.
    radius : int
        Patch radius along `axis`.

    Returns
    -------
    int
        ``radius + 1`` along X and Y, along Z only when `extent` exceeds
        ``4 * radius + 1``; `radius` along T; 1 for a radius of 0 and for C.
    """
    return int(_engine.grid_step(_LIST_INDEX[axis], extent, radius))


def halo(
    axis: str, extent: int, radius: int, searched: bool, max_iter: int, reach: int = -1
) -> int:
    """Distance over which a pixel's result depends on its neighbours.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image along `axis`.
    radius : int
        Patch radius along `axis`.
    searched : bool
        Whether the search window grows along `axis`.
    max_iter : int
        Number of iterations.
    reach : int, default -1
        Largest search half-size along `axis` (`search_half_sizes`).

    Returns
    -------
    int
        ``sum_k (2 * radius + w_k)``, plus 1 when ``radius > 1`` and the first
        window is 0 (the far plane of reference positions then reaches one
        pixel further than the first window); 0 along C.  Not yet rounded to
        the grid step.
    """
    if axis == "C" or extent <= 1:
        return 0
    reach = reach if searched else -1  # an axis not searched has no window
    return int(_engine.halo(_LIST_INDEX[axis], extent, radius, searched, max_iter, reach))


@dataclass(frozen=True)
class AxisPlan:
    """How one core axis is cut.

    Attributes
    ----------
    axis : str
        Core axis letter.
    extent : int
        Length of the image along the axis.
    radius : int
        Patch radius the core uses along it.
    step : int
        Reference-grid step of the whole image along it.
    depth : int
        Halo: the dependence distance rounded up to a multiple of `step`.
    """

    axis: str
    extent: int
    radius: int
    step: int
    depth: int

    def block_lengths(self, chunks: Sequence[int]) -> list[int]:
        """Length of every block, halo included, for the given chunks."""
        out = []
        start = 0
        for c in chunks:
            end = start + c
            out.append(c + min(self.depth, start) + min(self.depth, self.extent - end))
            start = end
        return out

    def problem(self, chunks: Sequence[int]) -> str | None:
        """Why `chunks` cannot give exact results along this axis, or None."""
        if len(chunks) <= 1:
            return None
        if self.axis == "C":
            return "channels cannot be cut: a patch spans all channels of its pixels"
        boundaries = np.cumsum(chunks)[:-1]
        off = [int(b) for b in boundaries if b % self.step]
        if off:
            return (
                f"a chunk boundary at {off[0]} is not a multiple of {self.step}, the step of "
                f"the reference grid along {self.axis} (patch radius {self.radius})"
            )
        small = [c for c in chunks if c < self.depth]
        if small:
            return (
                f"a chunk of {small[0]} is shorter than the halo of {self.depth} that "
                f"denoising needs along {self.axis}"
            )
        for length in self.block_lengths(chunks):
            if length < 2 * self.radius + 1:
                return (
                    f"a block of {length} is shorter than a patch ({2 * self.radius + 1}) "
                    f"along {self.axis}"
                )
            if grid_step(self.axis, length, self.radius) != self.step:
                return (
                    f"a block of {length} along {self.axis} would get a reference grid step "
                    f"other than the image's {self.step} (blocks must be longer than "
                    f"{4 * self.radius + 1})"
                )
        return None


@dataclass(frozen=True)
class ChunkPlan:
    """Chunks of a core-layout image and the halo of each axis.

    Attributes
    ----------
    chunks : tuple of tuple of int
        Dask chunks of the ``(T, C, Z, Y, X)`` image.
    depth : tuple of int
        Halo per axis; 0 along axes held in one chunk.
    axes : tuple of AxisPlan
        Per-axis step and halo.
    output : tuple of tuple of int or None
        Chunks of the result where they differ from `chunks`: frames asked
        for in chunks shorter than the halo along T are denoised in blocks
        of the halo's length and handed out in the chunks asked for.
    """

    chunks: Chunks
    depth: tuple[int, ...]
    axes: tuple[AxisPlan, ...]
    output: Chunks | None = None

    @property
    def n_blocks(self) -> int:
        """Number of blocks."""
        return math.prod(len(c) for c in self.chunks)

    def processed_elements(self) -> int:
        """Elements the denoiser processes over all blocks, halos included."""
        return math.prod(
            sum(a.block_lengths(c)) if len(c) > 1 else a.extent
            for a, c in zip(self.axes, self.chunks, strict=True)
        )


def axis_plans(
    shape: Sequence[int],
    radius5: Sequence[int],
    search5: Sequence[int],
    max_iter: int,
    reach5: Sequence[int] = (),
) -> tuple[AxisPlan, ...]:
    """Step and halo of every axis of a core-layout image.

    Parameters
    ----------
    shape : sequence of int
        ``(T, C, Z, Y, X)`` shape of the image.
    radius5, search5 : sequence of int
        Patch radii and search flags as handed to the core (indexed x, y, z,
        c, t).
    max_iter : int
        Number of iterations.
    reach5 : sequence of int, optional
        Search reach per axis (x, y, z, c, t; -1 for none); empty for none.

    Returns
    -------
    tuple of AxisPlan
        One per core axis, in core order.
    """
    plans = []
    for axis, extent in zip(CORE_AXES, shape, strict=True):
        radius = _radius(axis, extent, radius5)
        step = grid_step(axis, extent, radius)
        reach = int(reach5[_LIST_INDEX[axis]]) if reach5 else -1
        raw = halo(axis, extent, radius, _searched(axis, extent, search5), max_iter, reach)
        plans.append(AxisPlan(axis, extent, radius, step, -(-raw // step) * step))
    return tuple(plans)


# --------------------------------------------------------------------------
# Chunks


def parse_chunk_spec(text: str) -> dict[str, int]:
    """Parse chunk sizes written as ``'T=1,Y=512,X=512'``.

    Parameters
    ----------
    text : str
        Comma-separated ``AXIS=SIZE`` items; axes are ``T``, ``C`` (or
        ``S``), ``Z``, ``Y`` and ``X``, in any case, each at most once.

    Returns
    -------
    dict
        Maps upper-case core axis letters to positive chunk sizes.

    Raises
    ------
    ValueError
        For empty text, an item without ``=``, an unknown or
        repeated axis, or a size that is not a positive integer.
    """
    items = [item.strip() for item in text.split(",")]
    if not text.strip() or any(not item for item in items):
        raise ValueError(f"chunks {text!r}: expected AXIS=SIZE items separated by commas")
    out: dict[str, int] = {}
    for item in items:
        match = re.fullmatch(r"([A-Za-z])\s*=\s*([+-]?\d+)", item)
        if match is None:
            raise ValueError(f"chunks {text!r}: {item!r} is not of the form AXIS=SIZE, e.g. Y=512")
        letter, size = match.group(1).upper(), int(match.group(2))
        axis = "C" if letter == "S" else letter
        if axis not in CORE_AXES:
            raise ValueError(f"chunks {text!r}: unknown axis {letter!r}; use T, C, Z, Y or X")
        if axis in out:
            raise ValueError(f"chunks {text!r}: axis {axis} is given twice")
        if size < 1:
            raise ValueError(f"chunks {text!r}: the size along {axis} must be >= 1, got {size}")
        out[axis] = size
    return out


def _uniform(extent: int, size: int, depth: int) -> tuple[int, ...]:
    """Chunks of `size` along `extent`, a last chunk shorter than `depth` merged back."""
    if size >= extent:
        return (extent,)
    chunks = [size] * (extent // size)
    rest = extent % size
    if rest:
        if rest < depth:
            chunks[-1] += rest
        else:
            chunks.append(rest)
    return tuple(chunks)


def chunks_from_sizes(
    sizes: Mapping[str, int], plan_axes: Sequence[AxisPlan], default: Chunks | None = None
) -> Chunks:
    """Chunks for requested chunk sizes, checked for exact results.

    Parameters
    ----------
    sizes : mapping
        Chunk size per core axis letter, as from `parse_chunk_spec`.
    plan_axes : sequence of AxisPlan
        The axes of the image (`axis_plans`).
    default : tuple of tuple of int, optional
        Chunks for the axes not in `sizes` (aligned with `aligned_chunks`);
        by default those axes stay in one chunk.

    Returns
    -------
    tuple of tuple of int
        Chunks of size `sizes[axis]` along each given axis; a last chunk
        shorter than the halo is merged into the one before.  Along T a size
        smaller than the halo gives chunks of the halo's length (the result
        is cut into the size asked for afterwards, `plan_chunks`).

    Raises
    ------
    ValueError
        When a size along C is smaller than the channel count, a size is not
        a multiple of the grid step, is smaller than the halo (along X, Y or
        Z), or would give a block whose reference grid differs from the
        image's.  The message names the axis and the sizes that would work.
    """
    out: list[tuple[int, ...]] = []
    for i, a in enumerate(plan_axes):
        if a.axis not in sizes:
            if default is None:
                out.append((a.extent,))
            else:
                out.append(_aligned_axis(default[i], a))
            continue
        size = sizes[a.axis]
        if size >= a.extent:
            out.append((a.extent,))
            continue
        if a.axis == "C":
            raise ValueError(
                f"chunks: C={size} would cut the {a.extent} channels; channels are denoised "
                "together (a patch spans all of them), so C cannot be chunked"
            )
        if size % a.step:
            lower, upper = size // a.step * a.step, -(-size // a.step) * a.step
            choices = f"{a.axis}={lower} or {a.axis}={upper}" if lower else f"{a.axis}={upper}"
            raise ValueError(
                f"chunks: {a.axis}={size} is not a multiple of {a.step}, the step of the "
                f"reference grid along {a.axis} for patch radius {a.radius}; use {choices}"
            )
        if size < a.depth and a.axis == "T":
            # Frames in chunks shorter than the halo (a long reach along T):
            # denoised in blocks of the halo's length, which hold it exactly.
            out.append(_uniform(a.extent, a.depth, a.depth))
            continue
        if size < a.depth:
            raise ValueError(
                f"chunks: {a.axis}={size} is smaller than the halo of {a.depth} that denoising "
                f"needs along {a.axis} with these parameters; use {a.axis}={a.depth} or more "
                f"(larger chunks waste less on halos), or leave {a.axis} out to keep it whole"
            )
        chunks = _uniform(a.extent, size, a.depth)
        problem = a.problem(chunks)
        if problem is not None:
            raise ValueError(f"chunks: {a.axis}={size}: {problem}")
        out.append(chunks)
    return tuple(out)


def _aligned_axis(chunks: Sequence[int], a: AxisPlan) -> tuple[int, ...]:
    if len(chunks) <= 1 or a.axis == "C":
        return (a.extent,)
    # Boundaries moved to the nearest multiple of the step, then chunks merged
    # with their successors until each reaches the halo.
    bounds = sorted(
        {round(int(b) / a.step) * a.step for b in np.cumsum(chunks)[:-1]} - {0} | {a.extent}
    )
    bounds = [b for b in bounds if b <= a.extent]
    merged: list[int] = []
    start = 0
    for b in bounds:
        if b - start >= max(a.depth, 1) or b == a.extent:
            merged.append(b - start)
            start = b
    if len(merged) > 1 and merged[-1] < a.depth:
        last = merged.pop()
        merged[-1] += last
    out = tuple(merged)
    return out if a.problem(out) is None else (a.extent,)


def aligned_chunks(chunks: Chunks, plan_axes: Sequence[AxisPlan]) -> Chunks:
    """Adjust existing chunks so that chunked denoising is exact.

    Parameters
    ----------
    chunks : tuple of tuple of int
        Dask chunks of a core-layout image.
    plan_axes : sequence of AxisPlan
        The axes of the image (`axis_plans`).

    Returns
    -------
    tuple of tuple of int
        Chunk boundaries moved to the nearest multiple of the grid step,
        chunks shorter than the halo merged with the next one (the last with
        the one before), channels in one chunk; an axis that still cannot be
        cut exactly is kept whole.
    """
    return tuple(_aligned_axis(c, a) for c, a in zip(chunks, plan_axes, strict=True))


def plan_chunks(
    shape: Sequence[int],
    radius5: Sequence[int],
    search5: Sequence[int],
    max_iter: int,
    chunks: Chunks | Mapping[str, int] | None = None,
    *,
    default: Chunks | None = None,
    reach5: Sequence[int] = (),
) -> ChunkPlan:
    """Chunks and halos for exact chunked denoising of a core-layout image.

    Parameters
    ----------
    shape : sequence of int
        ``(T, C, Z, Y, X)`` shape.
    radius5, search5 : sequence of int
        Patch radii and search flags as handed to the core.
    max_iter : int
        Number of iterations.
    chunks : tuple of tuple of int or mapping, optional
        Existing dask chunks, adjusted by `aligned_chunks`; or requested
        sizes per axis letter, checked by `chunks_from_sizes` (which raises
        for sizes that cannot be exact).  None keeps the image in one block.
    default : tuple of tuple of int, optional
        With a mapping: the chunks of the axes it leaves out.
    reach5 : sequence of int, optional
        Search reach per axis, as `axis_plans` takes it.

    Returns
    -------
    ChunkPlan
        The chunks, and the halo per axis (0 along axes in one chunk).
    """
    plans = axis_plans(shape, radius5, search5, max_iter, reach5)
    output: Chunks | None = None
    if chunks is None:
        final: Chunks = tuple((n,) for n in shape)
    elif isinstance(chunks, Mapping):
        final = chunks_from_sizes(chunks, plans, default)
        asked = chunks.get("T", shape[0])
        if asked < min(plans[0].depth, shape[0]):
            # Frames denoised in blocks of the halo, handed out as asked.
            output = (_uniform(shape[0], asked, 0), *final[1:])
    else:
        final = aligned_chunks(chunks, plans)
    depth = tuple(a.depth if len(c) > 1 else 0 for a, c in zip(plans, final, strict=True))
    return ChunkPlan(final, depth, plans, output)


# --------------------------------------------------------------------------
# Threads per task


@functools.cache
def _host_slots(scheduler_address: str, host: str) -> int:
    """Worker threads on `host` in the cluster of `scheduler_address` (0 if unknown)."""
    try:
        from distributed import get_client

        info = get_client().scheduler_info(n_workers=-1)
        return sum(
            int(w.get("nthreads", 0)) for w in info["workers"].values() if w.get("host") == host
        )
    except Exception:  # noqa: BLE001 - no scheduler answer: fall back to this worker
        return 0


def _distributed_slots() -> int | None:
    """Task slots sharing this host's CPUs when running on a distributed worker."""
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    own = int(worker.state.nthreads)
    host = str(worker.address).rsplit(":", 1)[0].split("://")[-1]
    return max(own, _host_slots(str(worker.scheduler.address), host))


def task_threads(requested: int, n_blocks: int) -> int:
    """OpenMP threads for one task.

    Parameters
    ----------
    requested : int
        A positive count is used as it is; 0 picks ``max(1, cpus // slots)``
        (see the module notes); a negative count takes that many off it.
    n_blocks : int
        Number of blocks of the computation; the local threaded scheduler
        runs at most that many tasks at once.

    Returns
    -------
    int
        At least 1.
    """
    if requested > 0:
        return requested
    cpus = int(dask.system.CPU_COUNT)
    slots = _distributed_slots()
    if slots is None:
        if threading.current_thread() is threading.main_thread():
            slots = 1  # the synchronous scheduler runs one task at a time
        else:
            pool = dask.config.get("num_workers", None) or cpus
            slots = min(int(pool), max(1, n_blocks))
    return max(1, cpus // max(1, slots) + requested)


# --------------------------------------------------------------------------
# Blocks


def core_kernel(
    work: npt.NDArray[np.float32],
    noise: float | tuple[Sequence[float], Sequence[float]],
    n_threads: int,
    *,
    radius5: Sequence[int],
    search5: Sequence[int],
    max_iter: int,
    pvalue: float,
    renoise: float,
    kernel: str = "fast",
) -> npt.NDArray[np.float32]:
    """Denoise a block with the engine: Gaussian for a sigma, else ``(gain, offset)``.

    Parameters
    ----------
    work : ndarray of float32
        A fresh C-contiguous core-layout block; it is overwritten.
    noise : float or (sequence of float, sequence of float)
        The Gaussian sigma, or the per-channel gain and offset of a
        Poisson-Gaussian model.
    n_threads : int
        OpenMP threads.
    radius5, search5, max_iter, pvalue, renoise, kernel
        The engine's parameters.

    Returns
    -------
    ndarray of float32
        The denoised block (`work` itself).
    """
    from quorvel import _engine

    options: dict[str, Any] = {
        "patch_radius": list(radius5),
        "search": list(search5),
        "max_iter": max_iter,
        "pvalue": pvalue,
        "threads": n_threads,
        "renoise": renoise,
        "kernel": kernel,
    }
    if isinstance(noise, tuple):
        gain, offset = noise
        out: npt.NDArray[np.float32] = _engine.denoise_poisson_gaussian(
            work, sigma=1.0, gain=list(gain), offset=list(offset), **options
        )
        return out
    out = _engine.denoise_gaussian(work, sigma=float(noise), **options)
    return out


def _denoise_block(
    block: npt.NDArray[Any],
    noise: Any,
    *,
    kernel: BlockKernel,
    n_threads: int,
    n_blocks: int,
) -> npt.NDArray[np.float32]:
    work = new_work_image(block)
    if not np.isfinite(work).all():
        raise ValueError("image contains NaN or infinite values")
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


# --------------------------------------------------------------------------
# Noise estimation


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

    def middle(n: int, m: int) -> slice:
        start = (n - m) // 2
        return slice(start, start + m)

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
    return dask.delayed(estimator, pure=True)(sample, *args, dask_key_name=key)

