"""Speed and quality of the Gaussian denoiser beside scikit-image's non-local means.

Run by hand (not part of the test suite), with the extension built and
scikit-image installed from ``requirements-bench.txt``::

    PYTHONPATH=/path/to/build python bench/denoise_bench.py [--threads N] [--repeat R]

Two workloads, both on a 0..255 scale with white Gaussian noise of standard
deviation 20: the 512 x 512 camera image that scikit-image ships, and a
2-D + t sequence of 10 frames of 256 x 256 cut from it with a drifting
window. For each, the script prints the wall time (best of ``--repeat``
runs), the throughput in megapixels per second and the PSNR before and
after denoising, for ``_qv._denoise_gaussian`` (7 x 7 patches, 4
iterations, so a largest search window of 17 x 17, searching along t for the
sequence) and for ``skimage.restoration.denoise_nl_means`` (fast mode, 7 x 7
patches, 17 x 17 search window, sigma from its own ``estimate_sigma``,
h = 0.8 sigma, frame by frame for the sequence), both in this process.
"""

from __future__ import annotations

import argparse
import os
import platform
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import _qv

Image = npt.NDArray[np.float32]

NOISE_SIGMA = 20.0
PEAK = 255.0
SEED = 20


@dataclass(frozen=True)
class Measurement:
    """One denoiser on one workload."""

    method: str
    seconds: float
    megapixels_per_second: float
    psnr_before: float
    psnr_after: float


def psnr(clean: npt.ArrayLike, test: npt.ArrayLike) -> float:
    """Peak signal-to-noise ratio in dB for a peak of 255.

    Parameters
    ----------
    clean, test : array_like
        The reference and the image to rate, of one shape.

    Returns
    -------
    float
        10 log10(255^2 / mean squared error).
    """
    err = np.asarray(test, dtype=np.float64) - np.asarray(clean, dtype=np.float64)
    return float(10.0 * np.log10(PEAK * PEAK / np.mean(err * err)))


def camera() -> Image:
    """The 512 x 512 camera image shipped with scikit-image, as float32 on 0..255."""
    from skimage import data

    return data.camera().astype(np.float32)


def drifting_sequence(image: Image, frames: int, size: int) -> Image:
    """Frames of `size` x `size` cut from `image` by a window that moves each frame.

    Parameters
    ----------
    image : ndarray
        A 2-D image at least ``size + 3 * frames`` pixels on each side.
    frames : int
        Number of time points.
    size : int
        Side of each frame.

    Returns
    -------
    ndarray of float32
        Shape (frames, size, size).
    """
    top, left = 100, 60
    return np.stack(
        [
            image[top + 2 * t : top + 2 * t + size, left + 3 * t : left + 3 * t + size]
            for t in range(frames)
        ]
    ).astype(np.float32)


def add_noise(clean: Image, sigma: float, seed: int) -> Image:
    """`clean` plus white Gaussian noise of standard deviation `sigma`, as float32."""
    rng = np.random.default_rng(seed)
    return (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)


def best_time(run: Callable[[], Image], repeat: int) -> tuple[float, Image]:
    """Best wall time of `repeat` calls of `run`, and the last result."""
    best = float("inf")
    result: Image | None = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    assert result is not None
    return best, result


def measure(
    method: str, run: Callable[[], Image], clean: Image, noisy: Image, repeat: int
) -> Measurement:
    """Time `run` and rate its result against `clean`."""
    seconds, result = best_time(run, repeat)
    return Measurement(
        method=method,
        seconds=seconds,
        megapixels_per_second=clean.size / seconds / 1e6,
        psnr_before=psnr(clean, noisy),
        psnr_after=psnr(clean, result),
    )


def qv_denoiser(
    noisy: Image, radius: list[int], search: list[int], threads: int
) -> Callable[[], Image]:
    """A call of ``_qv._denoise_gaussian`` on a fresh copy of `noisy` with the true sigma."""

    def run() -> Image:
        return _qv._denoise_gaussian(
            noisy.copy(), NOISE_SIGMA, radius, search, 4, 0.01, threads, 0.0
        )

    return run


def skimage_denoiser(noisy: Image) -> Callable[[], Image]:
    """Fast-mode non-local means on each 2-D frame of `noisy`, sigma estimated per frame.

    It runs on one thread whatever ``--threads`` says.
    """
    from skimage.restoration import denoise_nl_means, estimate_sigma

    frames = noisy.reshape((-1, *noisy.shape[-2:]))

    def run() -> Image:
        out = np.empty_like(frames)
        for i, frame in enumerate(frames):
            sigma = float(estimate_sigma(frame))
            out[i] = denoise_nl_means(
                frame,
                patch_size=7,
                patch_distance=8,
                h=0.8 * sigma,
                sigma=sigma,
                fast_mode=True,
                preserve_range=True,
            )
        return out.reshape(noisy.shape)

    return run


def report(title: str, rows: list[Measurement]) -> None:
    """Print one workload's table."""
    print(f"\n{title}")
    print(f"{'method':<34} {'time [s]':>9} {'MP/s':>7} {'PSNR in':>8} {'PSNR out':>9}")
    for m in rows:
        print(
            f"{m.method:<34} {m.seconds:9.3f} {m.megapixels_per_second:7.3f} "
            f"{m.psnr_before:8.2f} {m.psnr_after:9.2f}"
        )


def main() -> None:
    """Run both workloads and print their tables."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--threads", type=int, default=0, help="thread count passed to the denoiser (0: all)"
    )
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement")
    args = parser.parse_args()

    import skimage

    print(
        f"machine: {platform.machine()}, {os.cpu_count()} logical cores; "
        f"numpy {np.__version__}, scikit-image {skimage.__version__}"
    )
    print(f"noise: Gaussian, sigma {NOISE_SIGMA} on 0..255; best of {args.repeat} runs")

    clean = camera()
    noisy = add_noise(clean, NOISE_SIGMA, SEED)
    report(
        "512 x 512 image (camera)",
        [
            measure(
                "quorvel 7x7, 4 iterations",
                qv_denoiser(noisy, [3, 3, 0, 0, 0], [1, 1, 0, 0, 0], args.threads),
                clean,
                noisy,
                args.repeat,
            ),
            measure(
                "skimage nl_means fast 7x7, 17x17",
                skimage_denoiser(noisy),
                clean,
                noisy,
                args.repeat,
            ),
        ],
    )

    seq_clean = drifting_sequence(clean, frames=10, size=256)
    seq_noisy = add_noise(seq_clean, NOISE_SIGMA, SEED + 1)
    # Rank 5 (t, c, z, y, x): the first axis is time.
    seq5 = seq_noisy.reshape(10, 1, 1, 256, 256)
    seq5_clean = seq_clean.reshape(seq5.shape)
    report(
        "2-D + t sequence, 10 x 256 x 256",
        [
            measure(
                "quorvel 7x7, 4 iterations, t search",
                qv_denoiser(seq5, [3, 3, 0, 0, 0], [1, 1, 0, 0, 1], args.threads),
                seq5_clean,
                seq5,
                args.repeat,
            ),
            measure(
                "quorvel 7x7, 4 iterations, per frame",
                qv_denoiser(seq5, [3, 3, 0, 0, 0], [1, 1, 0, 0, 0], args.threads),
                seq5_clean,
                seq5,
                args.repeat,
            ),
            measure(
                "skimage nl_means fast, per frame",
                skimage_denoiser(seq5),
                seq5_clean,
                seq5,
                args.repeat,
            ),
        ],
    )


if __name__ == "__main__":
    main()
