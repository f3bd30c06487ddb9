"""Chunks of a chunked run: the input's stored chunks, merged where they are small for it.

Every chunk is denoised with a halo of its neighbours (`quorvel._chunked`),
so an input stored in chunks that are thin along an axis the halo crosses
(an OME-Zarr time-lapse stored one time point per chunk, a TIFF read page by
page) costs several times the work of the image: with the default settings a
chunk of one frame is denoised with one frame on either side, three frames
for one.  Such chunks are merged for the run (read as stored, denoised
together) up to `CHUNK_ELEMENTS` per chunk, along the axes the user did not
give chunk sizes for.
"""

from __future__ import annotations

import argparse
import math
from typing import Any

#: Most elements of a merged chunk, halo excluded (64 MiB as float32).
CHUNK_ELEMENTS = 2**24
#: Merging stops once the blocks, halos included, hold at most this many
#: times the image's elements.
TARGET_WORK = 1.1
#: Inputs whose blocks hold more than this many times the image are merged.
SMALL_WORK = 1.5


def _work(sizes: list[int], extents: tuple[int, ...], depths: tuple[int, ...]) -> float:
    """Elements processed per element of the image, halos included, for chunk `sizes`."""
    return math.prod(
        min(e, s + 2 * d) / s if s < e else 1.0
        for s, e, d in zip(sizes, extents, depths, strict=True)
    )


def _merged_sizes(
    sizes: list[int], extents: tuple[int, ...], depths: tuple[int, ...], fixed: set[int]
) -> list[int]:
    """`sizes` doubled along the costliest axes until the work or the chunk budget is reached."""
    sizes = list(sizes)
    budget = max(CHUNK_ELEMENTS, math.prod(sizes))

    def doubled(i: int) -> int:
        return min(extents[i], 2 * sizes[i])

    while _work(sizes, extents, depths) > TARGET_WORK:
        growable = [
            i
            for i in range(len(sizes))
            if i not in fixed
            and sizes[i] < extents[i]
            and depths[i] > 0
            and math.prod(sizes) // sizes[i] * doubled(i) <= budget
        ]
        if not growable:
            break
        axis = max(growable, key=lambda i: min(extents[i], sizes[i] + 2 * depths[i]) / sizes[i])
        sizes[axis] = doubled(axis)
    return sizes


def chunks_for_run(data: Any, axes: str, args: argparse.Namespace) -> tuple[Any, str | None]:
    """`data` re-cut for the run when its chunks are small for it, and a note that says so.

    Parameters
    ----------
    data : dask.array.Array
        The input, chunked as stored.
    axes : str
        Its axis names.
    args : argparse.Namespace
        The command's options: the denoiser's parameters set the halos, and
        the axes of ``--chunks`` keep the sizes given.

    Returns
    -------
    dask.array.Array
        `data`, or `data` re-cut into larger chunks.
    str or None
        The note to show when it was re-cut.
    """
    from quorvel import _chunked
    from quorvel._auto import free_parameters
    from quorvel._axes import normalize_axes
    from quorvel._lazy import MAX_CHUNKS
    from quorvel._lines import Roles
    from quorvel._params import _check_settings

    if math.prod(data.numblocks) > MAX_CHUNKS:
        return data, None  # refused by the run, with its own message
    roles = Roles.of(normalize_axes(axes, data.ndim), data.shape)
    names = roles.denoised  # as the run lays the image out
    core = _chunked.to_core_dask(data, names)
    sizes5 = dict(zip(_chunked.CORE_AXES, core.shape, strict=True))
    patch_radius = roles.keys(args.patch_radius, "patch_radius")
    search = roles.search(args.search)
    settings = _check_settings(
        sizes5,
        roles.shown,
        patch_radius,
        search,
        args.iterations,
        args.pvalue,
        args.renoise,
        args.kernel,
    )

    def plan(chunks: Any) -> Any:
        return _chunked.plan_chunks(
            core.shape,
            settings.patch_radius,
            settings.search,
            settings.iterations,
            chunks,
            reach5=settings.reach,
        )

    before = plan(core.chunks)
    size = math.prod(core.shape)
    work = before.processed_elements() / size
    if work <= SMALL_WORK:
        return data, None
    given = set(roles.keys(args.chunks or {}, "chunks"))
    fixed = {i for i, a in enumerate(_chunked.CORE_AXES) if a == "C" or a in given}
    sizes = _merged_sizes(
        [max(c) for c in before.chunks],
        tuple(core.shape),
        tuple(a.depth for a in before.axes),
        fixed,
    )
    new = {
        names.index(a): s
        for a, s, c in zip(_chunked.CORE_AXES, sizes, before.chunks, strict=True)
        if a in names and s != max(c)
    }
    if not new:
        return data, None
    merged = data.rechunk(new)
    after = plan(_chunked.to_core_dask(merged, names).chunks).processed_elements() / size
    if after >= work:
        return data, None

    def shown(array: Any) -> str:
        return " x ".join(str(max(c)) for c in array.chunks)

    stored = f"stored in chunks of {shown(data)} ({axes}), small for this run"
    if free_parameters(patch_radius, search, args.iterations, args.pvalue, sizes5):
        # The settings are chosen later, for the image: their halos are not known here.
        return merged, f"{stored}: read in chunks of {shown(merged)}"
    note = (
        f"{stored} (its halos would make {work:.1f} times the work of the image): denoised "
        f"in chunks of {shown(merged)} ({after:.2f} times)"
    )
    return merged, note
