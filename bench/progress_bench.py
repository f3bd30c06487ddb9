"""Progress reports and cancellation: overhead, and how fast a run stops.

Run by hand::

    nice .venv/bin/python bench/progress_bench.py [--repeat 5]

1. Overhead: `quorvel.denoise` with a progress callable against without
   one; and the engine called directly against `_qv` (no watcher thread,
   a count image) on the same array; a 6 x 256 x 256 time-lapse with a
   given noise model, calls interleaved, best of `--repeat` each, ratios of
   the best times to the package's run without a callable.
2. Stop latency: time from the moment a progress callable raises (at 20 %,
   50 % and 80 % of the work) until `denoise` has returned.
3. KeyboardInterrupt: SIGINT sent to the process 1.5 s into a run; time
   until KeyboardInterrupt reaches the caller.
4. Command line: ``quorvel denoise`` on a TIFF, SIGINT once the bar shows
   the denoising; time until the process has exited, its exit status, and
   whether an output file exists.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import tifffile

import _qv
import quorvel
from quorvel import _engine

MODEL = quorvel.NoiseModel(2.0, -190.0)


def movie(shape: tuple[int, ...]) -> np.ndarray:
    rng = np.random.default_rng(0)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    photons = 20.0 + 15.0 * np.sin(grids[-1] / 6.0) * np.cos(grids[-2] / 7.0)
    return (100 + 2 * rng.poisson(photons) + rng.normal(0, 3, shape)).astype(np.uint16)


def overhead(image: np.ndarray, repeat: int) -> None:
    calls = []

    def quiet() -> None:
        quorvel.denoise(image, "TYX", model=MODEL, threads=2)

    def reporting() -> None:
        quorvel.denoise(image, "TYX", model=MODEL, threads=2, progress=calls.append)

    work = (image.astype(np.float32) / 2.0).reshape(6, 1, 1, *image.shape[1:])

    def core() -> None:
        _qv._denoise_poisson_gaussian(
            work.copy(),
            1.0,
            [1.0],
            [-190.0 / 4.0],
            [3, 3, 0, 0, 0],
            [1, 1, 1, 0, 1],
            4,
            0.01,
            2,
            0.0,
        )

    def engine() -> None:
        _engine.denoise_poisson_gaussian(
            work.copy(), sigma=1.0, gain=[1.0], offset=[-190.0 / 4.0],
            patch_radius=[3, 3, 0, 0, 0], search=[1, 1, 1, 0, 1], threads=2,
        )  # fmt: skip

    runs = {"no callable": quiet, "callable": reporting, "_qv directly": core,
            "_engine directly": engine}  # fmt: skip
    best = dict.fromkeys(runs, np.inf)
    cpu = dict.fromkeys(runs, np.inf)
    for _ in range(repeat):
        for name, run in runs.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], time.process_time() - start_cpu)
    print(
        f"overhead, best of {repeat}, ratios to the run without a callable "
        "(wall time; CPU time of the process, less sensitive to other load):"
    )
    for name in runs:
        print(
            f"  {name:<17} wall {best[name] / best['no callable']:.4f}"
            f"  cpu {cpu[name] / cpu['no callable']:.4f}"
        )
    print(f"  reports per run with a callable: {len(calls) / repeat:.0f}")


class Stop(Exception):
    pass


def stop_latency(image: np.ndarray) -> None:
    print("stop latency after the callable raises:")
    for at in (0.2, 0.5, 0.8):
        raised = {}

        def stop(fraction: float) -> None:
            if fraction >= at:
                raised["t"] = time.perf_counter()
                raise Stop

        try:
            quorvel.denoise(image, "TYX", model=MODEL, threads=2, progress=stop)
        except Stop:
            print(f"  at {at:.0%}: {time.perf_counter() - raised['t']:.3f} s")


def interrupt_latency(image: np.ndarray) -> None:
    sent = {}

    def interrupt() -> None:
        time.sleep(1.5)
        sent["t"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    try:
        quorvel.denoise(image, "TYX", model=MODEL, threads=2)
        print("KeyboardInterrupt: the run ended before the signal")
    except KeyboardInterrupt:
        print(f"KeyboardInterrupt after SIGINT: {time.perf_counter() - sent['t']:.3f} s")


def cli_interrupt(image: np.ndarray) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp) / "in.tif", Path(tmp) / "out.tif"
        tifffile.imwrite(src, image, imagej=True, metadata={"axes": "TYX"})
        cmd = [
            sys.executable,
            "-m",
            "quorvel",
            "denoise",
            str(src),
            "-o",
            str(dst),
            "--gain",
            "2",
            "--offset=-190",
            "--threads",
            "2",
        ]
        proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, bufsize=1)
        seen = ""
        assert proc.stderr is not None
        while "denoising" not in seen or "%" not in seen:
            seen += proc.stderr.read(1)
        time.sleep(0.5)
        start = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        status = proc.wait()
        print(
            f"CLI Ctrl-C: exit {status} after {time.perf_counter() - start:.3f} s; "
            f"output exists: {dst.exists()}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--overhead-only", action="store_true")
    args = parser.parse_args()
    small = movie((6, 256, 256))
    overhead(small, args.repeat)
    if args.overhead_only:
        return
    large = movie((10, 512, 512))
    stop_latency(large)
    interrupt_latency(large)
    cli_interrupt(large)


if __name__ == "__main__":
    main()
