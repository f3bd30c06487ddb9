"""The engine's fast kernel against its exact one: speed, thread scaling and quality.

Run by hand, with the package installed (``make install``) and the
benchmark packages of ``requirements-bench.txt``::

    .venv/bin/python bench/kernel_speed.py [--repeat R] [--quality] [--scaling]

Speed: ``quorvel.denoise(..., kernel=K, threads=1)`` with the true Gaussian
noise, the two kernels alternating in this process, best of ``--repeat``
runs each (process CPU time; one thread, so it is the run's own time even on
a loaded machine; wall time beside it), on

- the 512 x 512 camera image (0..255, sigma 20), default settings;
- a time-lapse of 10 frames of 256 x 256 cut from it by a drifting window
  (sigma 20), ``search={"T": 4}``;
- a 16 x 128 x 128 stack of blobs and filaments (0..100, sigma 12),
  default settings.

For each: the seconds of both kernels, their ratio, both PSNRs and the
largest difference between the two results in units of sigma.

The settings are the defaults (chosen per image); ``--earlier`` runs the
fixed settings of earlier versions instead (7 x 7 patches, 4 iterations,
p-value 0.01, the growing window along Z and T).

``--quality``: every workload of ``bench/workloads.py`` (both noise paths,
true noise), both kernels on two threads: PSNRs, their difference and the
largest difference of the results in units of the noise's standard
deviation (on the Poisson-Gaussian path, that of the clean value).

``--scaling``: the 1024 x 1024 image (the camera image tiled 2 x 2), fast
kernel, wall time with one and with two threads (best of ``--repeat``).

The load average is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvel

Image = npt.NDArray[np.float32]


def psnr(clean: npt.ArrayLike, test: npt.ArrayLike, peak: float) -> float:
    err = np.asarray(test, dtype=np.float64) - np.asarray(clean, dtype=np.float64)
    return float(10.0 * np.log10(peak * peak / np.mean(err * err)))


def camera() -> Image:
    from skimage import data

    return data.camera().astype(np.float32)


def drifting(image: Image, frames: int, size: int) -> Image:
    top, left = 100, 60
    return np.stack(
        [
            image[top + 2 * t : top + 2 * t + size, left + 3 * t : left + 3 * t + size]
            for t in range(frames)
        ]
    ).astype(np.float32)


def stack() -> Image:
    from workloads import _volume

    return (100.0 * _volume((16, 128, 128), 7)).astype(np.float32)


def noisy_copy(clean: Image, sigma: float, seed: int) -> Image:
    rng = np.random.default_rng(seed)
    return (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)


def timed(run: Callable[[], Image]) -> tuple[float, float, Image]:
    wall, cpu = time.perf_counter(), time.process_time()
    out = run()
    return time.process_time() - cpu, time.perf_counter() - wall, out


#: The settings of earlier versions, before they were chosen per image.
EARLIER: dict[str, Any] = {"patch_radius": 3, "iterations": 4, "pvalue": 0.01, "search": "ZT"}


def speed(repeat: int, earlier: bool = False) -> None:
    cam = camera()
    fixed = EARLIER if earlier else {}
    label = "earlier settings" if earlier else "default"
    cases: list[tuple[str, Image, str, float, float, dict[str, Any]]] = [
        (f"512 x 512, {label}", cam, "YX", 20.0, 255.0, fixed),
        (
            f"10 x 256 x 256, {label}, search T=4",
            drifting(cam, 10, 256),
            "TYX",
            20.0,
            255.0,
            {**fixed, "search": {"T": 4}},
        ),
        (f"16 x 128 x 128, {label}", stack(), "ZYX", 12.0, 100.0, fixed),
    ]
    print(
        "| workload | exact s | fast s | exact / fast | wall exact / fast | PSNR exact | "
        "PSNR fast | largest difference / sigma |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for name, clean, axes, sigma, peak, options in cases:
        noisy = noisy_copy(clean, sigma, 20)
        best: dict[str, tuple[float, float]] = {}
        out: dict[str, Image] = {}
        for _ in range(repeat):
            for kernel in ("exact", "fast"):
                cpu, wall, out[kernel] = timed(
                    lambda k=kernel: quorvel.denoise(  # type: ignore[misc]
                        noisy, axes, noise="gaussian", sigma=sigma, threads=1, kernel=k, **options
                    )
                )
                old = best.get(kernel, (np.inf, np.inf))
                best[kernel] = (min(old[0], cpu), min(old[1], wall))
        diff = float(np.abs(out["fast"] - out["exact"]).max()) / sigma
        print(
            f"| {name} | {best['exact'][0]:.3f} | {best['fast'][0]:.3f} | "
            f"{best['exact'][0] / best['fast'][0]:.2f} | "
            f"{best['exact'][1] / best['fast'][1]:.2f} | "
            f"{psnr(clean, out['exact'], peak):.3f} | {psnr(clean, out['fast'], peak):.3f} | "
            f"{diff:.2e} |",
            flush=True,
        )


def scaling(repeat: int) -> None:
    clean = np.tile(camera(), (2, 2))
    noisy = noisy_copy(clean, 20.0, 21)
    best = {}
    for _ in range(repeat):
        for threads in (1, 2):
            start = time.perf_counter()
            quorvel.denoise(noisy, "YX", noise="gaussian", sigma=20.0, threads=threads)
            best[threads] = min(best.get(threads, np.inf), time.perf_counter() - start)
    print(
        f"1024 x 1024, fast kernel: one thread {best[1]:.3f} s, two threads {best[2]:.3f} s, "
        f"ratio {best[1] / best[2]:.2f}"
    )


def quality() -> None:
    from workloads import workloads

    print(
        "| workload | PSNR exact | PSNR fast | fast - exact dB | largest difference / noise std |"
    )
    print("|---|---|---|---|---|")
    for w in workloads():
        out = {
            k: quorvel.denoise(w.noisy, w.axes, threads=2, kernel=k, **w.noise)
            for k in ("exact", "fast")
        }
        peak = float(w.clean.max() - w.clean.min())
        if w.gaussian_sigma is not None:
            std: Any = w.gaussian_sigma
        else:
            model = w.model
            assert model is not None
            std = np.sqrt(np.maximum(model.gain[0] * w.clean + model.offset[0], 1e-6))
        diff = float(np.max(np.abs(out["fast"] - out["exact"]) / std))
        a, b = psnr(w.clean, out["exact"], peak), psnr(w.clean, out["fast"], peak)
        print(f"| {w.name} | {a:.3f} | {b:.3f} | {b - a:+.4f} | {diff:.2e} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quality", action="store_true", help="the workloads' PSNRs")
    parser.add_argument("--scaling", action="store_true", help="one and two threads")
    parser.add_argument(
        "--earlier",
        action="store_true",
        help="speed with the earlier fixed settings (7 x 7, 4 iterations, p 0.01)",
    )
    args = parser.parse_args()
    print(f"load average before: {os.getloadavg()}")
    speed(args.repeat, args.earlier)
    if args.scaling:
        scaling(args.repeat)
    if args.quality:
        quality()
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
