"""Chunked (dask) against in-memory denoising: throughput and halo overhead.

Run by hand (not part of the test suite), with the extension built::

    PYTHONPATH=/path/to/build:python python bench/chunked_bench.py \
        [--frames 8] [--size 512] [--chunks T=1,Y=512,X=512 --chunks T=8,Y=256,X=256 ...]

A synthetic 2-D + t sequence (float32, Gaussian noise of standard deviation
10, ``--frames`` frames of ``--size`` x ``--size``) is denoised with the
default parameters (patch radius 3 along X and Y, 4 iterations, searching
along T) once in memory with every core, then once per ``--chunks`` through
dask's threaded scheduler with one task per core and the thread rule of
`quorvel._chunked` (one OpenMP thread per task on 2 cores).  For each run the
script prints the wall time, the throughput in megapixels per second, the
halo overhead (elements processed over all blocks, halos included, divided by
the image's elements, minus 1) and whether the result equals the in-memory
one bit for bit.  ``--halo-table`` prints the overhead of the default
parameters for some common chunkings of a 64 x 2048 x 2048 sequence without
running anything.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt

from quorvel import _chunked as ch
from quorvel._text import parse_chunk_spec

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from block_kernel import core_kernel

RADIUS5 = [3, 3, 0, 0, 0]
SEARCH5 = [1, 1, 1, 0, 1]
MAX_ITER = 4
PVALUE = 0.01
SIGMA = 10.0


def _sequence(frames: int, size: int) -> npt.NDArray[np.float32]:
    rng = np.random.default_rng(7)
    t, y, x = np.meshgrid(
        np.arange(frames), np.arange(size), np.arange(size), indexing="ij", sparse=True
    )
    scene = 100.0 + 40.0 * np.sin(x / 9.0 + t / 5.0) * np.cos(y / 13.0)
    noisy = scene + rng.normal(0.0, SIGMA, (frames, size, size))
    return noisy.astype(np.float32).reshape(frames, 1, 1, size, size)


def _kernel() -> ch.BlockKernel:
    return functools.partial(
        core_kernel,
        radius5=RADIUS5,
        search5=SEARCH5,
        max_iter=MAX_ITER,
        pvalue=PVALUE,
        renoise=0.0,
    )


def _halo_table() -> None:
    shape = (64, 1, 1, 2048, 2048)
    print(f"halo overhead, default parameters, sequence {shape[0]} x {shape[3]} x {shape[4]}")
    for chunking in (
        "T=1,Y=512,X=512",
        "T=8,Y=512,X=512",
        "T=1,Y=1024,X=1024",
        "T=16,Y=1024,X=1024",
        "T=64,Y=256,X=256",
        "T=64,Y=512,X=512",
    ):
        plan = ch.plan_chunks(shape, RADIUS5, SEARCH5, MAX_ITER, parse_chunk_spec(chunking))
        overhead = plan.processed_elements() / np.prod(shape) - 1.0
        print(
            f"  {chunking:<20} halo T,Y,X = {plan.depth[0]},{plan.depth[3]},{plan.depth[4]}"
            f"  overhead {100 * overhead:6.1f} %"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=8)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--chunks", action="append", default=None)
    parser.add_argument("--halo-table", action="store_true")
    args = parser.parse_args()
    if args.halo_table:
        _halo_table()
        return
    chunkings = args.chunks or ["T=1,Y=512,X=512", "T=4,Y=512,X=512", "T=8,Y=256,X=256"]
    cpus = int(dask.system.CPU_COUNT)
    image = _sequence(args.frames, args.size)
    mpix = image.size / 1e6
    print(
        f"sequence {args.frames} x {args.size} x {args.size}, {cpus} CPUs, "
        f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS')}"
    )

    start = time.perf_counter()
    expected = _kernel()(image.copy(), SIGMA, cpus)
    seconds = time.perf_counter() - start
    print(f"  in memory, {cpus} threads: {seconds:7.1f} s  {mpix / seconds:6.3f} Mpx/s")

    for chunking in chunkings:
        plan = ch.plan_chunks(image.shape, RADIUS5, SEARCH5, MAX_ITER, parse_chunk_spec(chunking))
        lazy = ch.denoise_lazy(da.from_array(image, chunks=plan.chunks), _kernel(), SIGMA, plan)
        overhead = plan.processed_elements() / image.size - 1.0
        start = time.perf_counter()
        with dask.config.set(num_workers=cpus):
            got = lazy.compute(scheduler="threads")
        seconds = time.perf_counter() - start
        print(
            f"  chunked {chunking:<18} {plan.n_blocks:4d} blocks: {seconds:7.1f} s  "
            f"{mpix / seconds:6.3f} Mpx/s  halo overhead {100 * overhead:5.1f} %  "
            f"exact {np.array_equal(got, expected)}"
        )


if __name__ == "__main__":
    main()
