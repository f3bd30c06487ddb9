"""How a core-layout image is cut into chunks whose results equal the whole image's."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TypeAlias

import numpy as np

from quorvel._axes import CORE_AXES
from quorvel._chunked.halo import LIST_INDEX, core_radius, grid_step, halo, searched

__all__ = [
    "CORE_AXES",
    "AxisPlan",
    "ChunkPlan",
    "Chunks",
    "aligned_chunks",
    "axis_plans",
    "chunks_from_sizes",
    "plan_chunks",
]

Chunks: TypeAlias = tuple[tuple[int, ...], ...]


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
        radius = core_radius(axis, extent, radius5)
        step = grid_step(axis, extent, radius)
        reach = int(reach5[LIST_INDEX[axis]]) if reach5 else -1
        raw = halo(axis, extent, radius, searched(axis, extent, search5), max_iter, reach)
        plans.append(AxisPlan(axis, extent, radius, step, -(-raw // step) * step))
    return tuple(plans)


# --------------------------------------------------------------------------
# Chunks


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
