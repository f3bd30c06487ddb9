"""Peak memory of the command line: chunked (zarr, dask) against in-memory denoising.

Run by hand (not part of the test suite), with quorvel importable (the
package installed, or ``PYTHONPATH=/path/to/build:python``) and GNU time at
``/usr/bin/time``::

    python bench/chunked_memory.py [--frames 8 32] [--size 1024] [--workdir DIR] [--no-memory]

For each frame count it writes a synthetic uint16 camera sequence (``T x
size x size``, Poisson-Gaussian noise) as a zarr store chunked (1, 512, 512)
and as an ImageJ TIFF, then runs::

    python -m quorvel denoise in.zarr -o out.zarr --chunks T=1,Y=512,X=512 -q
    python -m quorvel denoise in.tif -o out.tif -q          (unless --no-memory)

with default parameters (noise estimated, patch radius 3, 4 iterations,
searching along T), and prints the wall time and the peak resident memory
(``Maximum resident set size`` of GNU time) of each, beside the sizes of the
input and of one chunk's block (the chunk with its halo, float32).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import tifffile

from quorvel.io import write_zarr

CHUNKS = "T=1,Y=512,X=512"


def _sequence(frames: int, size: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    out = np.empty((frames, size, size), dtype=np.uint16)
    y, x = np.meshgrid(np.arange(size), np.arange(size), indexing="ij", sparse=True)
    for t in range(frames):
        photons = 30.0 + 25.0 * np.sin(x / 17.0 + t / 5.0) * np.cos(y / 23.0)
        frame = 100 + 2 * rng.poisson(np.broadcast_to(photons, (size, size)))
        out[t] = np.clip(frame + rng.normal(0, 3, (size, size)), 0, 65535)
    return out


def _run(args: list[str]) -> tuple[float, float]:
    """Wall time in seconds and peak resident memory in MiB of a command."""
    start = time.perf_counter()
    done = subprocess.run(
        ["/usr/bin/time", "-v", *args], capture_output=True, text=True, check=False
    )
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed: {' '.join(args)}\n{done.stderr}")
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
    if match is None:
        sys.exit(f"no memory figure from GNU time:\n{done.stderr}")
    return seconds, int(match.group(1)) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, nargs="+", default=[8, 32])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--workdir", type=Path, default=None)
    parser.add_argument("--no-memory", action="store_true", help="skip the in-memory runs")
    args = parser.parse_args()
    work = args.workdir or Path(tempfile.mkdtemp(prefix="quorvel-mem-"))
    work.mkdir(parents=True, exist_ok=True)
    python = sys.executable
    block = 3 * (512 + 2 * 40) ** 2 * 4 / 2**20
    print(
        f"{os.cpu_count()} CPUs; chunks {CHUNKS}; block (chunk + halo) float32 "
        f"{block:.1f} MiB; work in {work}"
    )
    print(
        f"{'frames':>6} {'input MiB':>10} {'float32 MiB':>11} | {'chunked s':>9} "
        f"{'peak MiB':>8} | {'in-memory s':>11} {'peak MiB':>8}"
    )
    for frames in args.frames:
        movie = _sequence(frames, args.size)
        src_zarr, src_tif = work / f"in{frames}.zarr", work / f"in{frames}.tif"
        dask.compute(write_zarr(src_zarr, da.from_array(movie, chunks=(1, 512, 512)), "TYX"))
        tifffile.imwrite(src_tif, movie, imagej=True, metadata={"axes": "TYX"})
        del movie
        chunked = _run(
            [
                python,
                "-m",
                "quorvel",
                "denoise",
                str(src_zarr),
                "-o",
                str(work / "out.zarr"),
                "--chunks",
                CHUNKS,
                "-q",
            ]
        )
        whole = (float("nan"), float("nan"))
        if not args.no_memory:
            whole = _run(
                [
                    python,
                    "-m",
                    "quorvel",
                    "denoise",
                    str(src_tif),
                    "-o",
                    str(work / "out.tif"),
                    "-q",
                ]
            )
        mib = frames * args.size**2 * 2 / 2**20
        print(
            f"{frames:>6} {mib:>10.0f} {2 * mib:>11.0f} | {chunked[0]:>9.1f} "
            f"{chunked[1]:>8.0f} | {whole[0]:>11.1f} {whole[1]:>8.0f}",
            flush=True,
        )
        shutil.rmtree(src_zarr)
        src_tif.unlink()
    if args.workdir is None:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
