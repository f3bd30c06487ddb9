"""Speed, scaling, quality and memory of the Gaussian denoiser, as one Markdown table.

Run by hand (not part of the test suite); see bench/README.md for the build
of the extension and of ``kernel_bench``::

    PYTHONPATH=/path/to/build python bench/speed_table.py \
        --kernel-bench /tmp/kernel_bench --out /tmp/bench_table.md

Everything is measured in this one run, on the 512 x 512 camera image of
scikit-image plus white Gaussian noise of standard deviation 20 (0..255
scale), with quorvel's default parameters (7 x 7 patches, 4 iterations):

- the straightforward reference kernel against the current one, one thread,
  both inside ``kernel_bench`` (the same driver loop), in alternating separate
  processes, best time of each;
- one against two threads on a 1024 x 1024 image (the camera image doubled in
  each direction), through ``_qv._denoise_gaussian``;
- scikit-image's ``denoise_nl_means`` (fast mode, 7 x 7 patches, 17 x 17
  window, one thread) and, when the ``bm3d`` package can be imported (from
  ``--bm3d-path`` if given), BM3D, with their PSNR;
- the peak memory of one ``_denoise_gaussian`` call beyond its input, in a
  fresh process, as a multiple of the image's float32 size.
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt

import _qv

Image = npt.NDArray[np.float32]

SIGMA = 20.0
SEED = 20
RADIUS = [3, 3, 0, 0, 0]
SEARCH = [1, 1, 0, 0, 0]


def psnr(clean: npt.ArrayLike, test: npt.ArrayLike) -> float:
    """10 log10(255^2 / mean squared error), in dB."""
    err = np.asarray(test, dtype=np.float64) - np.asarray(clean, dtype=np.float64)
    return float(10.0 * np.log10(255.0**2 / np.mean(err * err)))


def noisy_camera(scale: int) -> tuple[Image, Image]:
    """The camera image, each pixel repeated `scale` x `scale` times, and a noisy copy."""
    from skimage import data

    clean = np.kron(data.camera().astype(np.float32), np.ones((scale, scale), np.float32))
    rng = np.random.default_rng(SEED)
    return clean, (clean + rng.normal(0.0, SIGMA, clean.shape)).astype(np.float32)


def best_time(run: Callable[[], Image], repeat: int) -> tuple[float, Image]:
    """Best wall time of `repeat` calls and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    assert result is not None
    return best, result


def qv_run(noisy: Image, threads: int) -> Callable[[], Image]:
    """One ``_denoise_gaussian`` call with the default parameters on a copy of `noisy`."""
    return lambda: _qv._denoise_gaussian(noisy.copy(), SIGMA, RADIUS, SEARCH, 4, 0.01, threads, 0.0)


def kernel_bench_times(binary: Path, noisy: Image, repeat: int) -> dict[str, float]:
    """Best one-thread times of the fast and the reference pass, in alternating processes."""
    best = {"fast": float("inf"), "reference": float("inf")}
    with tempfile.TemporaryDirectory() as tmp:
        raw = Path(tmp) / "noisy.f32"
        np.ascontiguousarray(noisy, np.float32).tofile(raw)
        ny, nx = noisy.shape
        check = subprocess.run(
            [binary, raw, str(nx), str(ny), str(SIGMA), "1", "1", "both"],
            capture_output=True,
            text=True,
            check=True,
        )
        if "identical yes" not in check.stdout:
            raise RuntimeError("the fast and the reference pass differ:\n" + check.stdout)
        for _ in range(repeat):
            for which in ("reference", "fast"):
                out = subprocess.run(
                    [binary, raw, str(nx), str(ny), str(SIGMA), "1", "1", which],
                    capture_output=True,
                    text=True,
                    check=True,
                ).stdout.split()
                best[which] = min(best[which], float(out[1]))
    return best


def skimage_run(noisy: Image) -> Callable[[], Image]:
    """Fast-mode non-local means, sigma from scikit-image's own estimate."""
    from skimage.restoration import denoise_nl_means, estimate_sigma

    def run() -> Image:
        sigma = float(estimate_sigma(noisy))
        return denoise_nl_means(
            noisy,
            patch_size=7,
            patch_distance=8,
            h=0.8 * sigma,
            sigma=sigma,
            fast_mode=True,
            preserve_range=True,
        )

    return run


BM3D_CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np
    import bm3d
    noisy = np.load(sys.argv[1])
    start = time.perf_counter()
    out = bm3d.bm3d(noisy.astype(np.float64), sigma_psd=float(sys.argv[2]))
    print(time.perf_counter() - start)
    np.save(sys.argv[3], out.astype(np.float32))
""")


def bm3d_measure(noisy: Image, clean: Image, path: str | None) -> tuple[float, float] | None:
    """BM3D's time and PSNR, run in a child process, `path` (if any) first on its import path.

    Returns None when the ``bm3d`` package cannot be imported there.
    """
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [path, env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp) / "noisy.npy", Path(tmp) / "out.npy"
        np.save(src, noisy)
        done = subprocess.run(
            [sys.executable, "-c", BM3D_CHILD, src, str(SIGMA), dst],
            capture_output=True,
            text=True,
            env=env,
        )
        if done.returncode != 0:
            print("bm3d not measured:", done.stderr.strip().splitlines()[-1:], file=sys.stderr)
            return None
        return float(done.stdout.split()[-1]), psnr(clean, np.load(dst))


MEMORY_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import _qv
    side, threads = int(sys.argv[1]), int(sys.argv[2])
    rng = np.random.default_rng(1)
    image = (100.0 + rng.normal(0.0, 20.0, (side, side))).astype(np.float32)
    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size restarts from the current one
    before = status("VmRSS:")
    _qv._denoise_gaussian(image, 20.0, [3, 3, 0, 0, 0], [1, 1, 0, 0, 0], 4, 0.01, threads, 0.0)
    print((status("VmHWM:") - before) / image.nbytes)
""")


def peak_memory_ratio(side: int, threads: int) -> float:
    """Peak resident growth of one call over the float32 size of a side x side image."""
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(side), str(threads)],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ),
    )
    return float(out.stdout.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--kernel-bench",
        type=Path,
        required=True,
        help="the kernel_bench executable (bench/README.md)",
    )
    parser.add_argument(
        "--bm3d-path", default=None, help="directory to import the bm3d package from (optional)"
    )
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement")
    parser.add_argument("--out", type=Path, default=Path("/tmp/bench_table.md"))
    args = parser.parse_args()

    import skimage

    load_before = os.getloadavg()[0]
    clean, noisy = noisy_camera(1)
    kernel = kernel_bench_times(args.kernel_bench, noisy, args.repeat)
    qv1_s, qv1_img = best_time(qv_run(noisy, 1), args.repeat)
    qv2_s, qv2_img = best_time(qv_run(noisy, 2), args.repeat)
    sk_s, sk_img = best_time(skimage_run(noisy), args.repeat)
    bm3d = bm3d_measure(noisy, clean, args.bm3d_path)
    big_clean, big_noisy = noisy_camera(2)
    big1_s, big1_img = best_time(qv_run(big_noisy, 1), args.repeat)
    big2_s, big2_img = best_time(qv_run(big_noisy, 2), args.repeat)
    if not np.array_equal(big1_img, big2_img) or not np.array_equal(qv1_img, qv2_img):
        raise RuntimeError("one and two threads gave different images")
    memory = peak_memory_ratio(1024, 2)
    load_after = os.getloadavg()[0]

    mp = noisy.size / 1e6
    mp_big = big_noisy.size / 1e6
    rows = [
        (
            "quorvel, straightforward kernel (reference)",
            "512²",
            1,
            kernel["reference"],
            mp,
            psnr(clean, qv1_img),
            "1.00",
        ),
        (
            "quorvel, current kernel",
            "512²",
            1,
            kernel["fast"],
            mp,
            psnr(clean, qv1_img),
            f"{kernel['reference'] / kernel['fast']:.2f} × reference",
        ),
        (
            "quorvel `_denoise_gaussian`",
            "512²",
            1,
            qv1_s,
            mp,
            psnr(clean, qv1_img),
            f"{sk_s / qv1_s:.2f} × scikit-image",
        ),
        (
            "quorvel `_denoise_gaussian`",
            "512²",
            2,
            qv2_s,
            mp,
            psnr(clean, qv2_img),
            f"{qv1_s / qv2_s:.2f} × 1 thread",
        ),
        (
            "scikit-image `denoise_nl_means`, fast mode",
            "512²",
            1,
            sk_s,
            mp,
            psnr(clean, sk_img),
            "1.00",
        ),
    ]
    if bm3d is not None:
        rows.append(
            (
                "BM3D (`bm3d` package)",
                "512²",
                1,
                bm3d[0],
                mp,
                bm3d[1],
                f"{sk_s / bm3d[0]:.2f} × scikit-image",
            )
        )
    rows += [
        (
            "quorvel `_denoise_gaussian`",
            "1024²",
            1,
            big1_s,
            mp_big,
            psnr(big_clean, big1_img),
            "1.00",
        ),
        (
            "quorvel `_denoise_gaussian`",
            "1024²",
            2,
            big2_s,
            mp_big,
            psnr(big_clean, big2_img),
            f"{big1_s / big2_s:.2f} × 1 thread",
        ),
    ]
    lines = [
        f"Gaussian noise, sigma {SIGMA:g} on 0..255 (input PSNR {psnr(clean, noisy):.2f} dB); "
        f"quorvel 7×7 patches, 4 iterations; best of {args.repeat}. "
        f"{platform.machine()}, {os.cpu_count()} logical cores, load average "
        f"{load_before:.2f} before and {load_after:.2f} after; numpy {np.__version__}, "
        f"scikit-image {skimage.__version__}.",
        "",
        "| method | image | threads | time [s] | MP/s | PSNR [dB] | speed-up |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for name, size, threads, seconds, megapixels, quality, ratio in rows:
        lines.append(
            f"| {name} | {size} | {threads} | {seconds:.3f} | "
            f"{megapixels / seconds:.3f} | {quality:.2f} | {ratio} |"
        )
    lines += [
        "",
        f"One and two threads gave bit-identical images. Peak memory of one call on a "
        f"1024 × 1024 image, 2 threads, beyond the input: {memory:.2f} × the image's "
        f"float32 size.",
    ]
    text = "\n".join(lines) + "\n"
    args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
