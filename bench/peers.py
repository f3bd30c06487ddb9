"""quorvel beside other denoisers on the benchmark set, side by side in one process.

Run by hand (not part of the test suite), with the benchmark-only packages
of ``requirements-bench.txt`` (scikit-image, bm3d, bm4d,
opencv-python-headless)::

    nice python bench/peers.py [--only 2d|spots|3d] [--skip bm4d,...] [--image-size N]
        [--tune-iterations N] [--match TEXT] [--scenes KINDS] [--wiener-pilot] [--out table.md]

For every workload of ``bench/workloads.py`` (with ``--scenes KINDS``: the
scenes of those kinds of ``bench/scenes.py`` with one channel, e.g.
``--scenes time,2d``): PSNR, SSIM and seconds of

- quorvel with its defaults (settings chosen for the image), with the
  settings it had before it chose them (``quorvel today``: patch radius 3,
  4 iterations, p-value 0.01, growing window), and with ``tune=True`` (time
  of both steps; with ``--tune-iterations N`` it starts from N iterations,
  which join the grid);
- BM3D (``bm3d.bm3d`` with the noise sigma, default profile), frame by
  frame or plane by plane beyond 2-D; BM4D (``bm4d.bm4d``) on stacks;
  with ``--wiener-pilot`` also BM4D's second stage alone (its collaborative
  Wiener filter) with quorvel's default result as the pilot, on stacks:
  what such a stage after quorvel would give;
- scikit-image's ``denoise_nl_means`` as its gallery shows it (fast mode,
  5 x 5 patches, 13 x 13 window, ``h = 0.8 sigma``, ``sigma`` given);
- OpenCV's ``fastNlMeansDenoising`` (7 x 7 template, 21 x 21 window,
  ``h`` = sigma) on the image scaled to 8 bits, plane by plane.

Every method is told the true noise.  On Poisson-Gaussian data the peers
get the generalized Anscombe transform of the true model (photon units,
unit noise), denoise with sigma 1 and are mapped back by the transform's
algebraic inverse with the same 1/4 bias correction quorvel applies.
quorvel and OpenCV run on one thread; BM3D/BM4D and scikit-image as they
come.  Times are single runs under whatever load the machine has: compare
them within a row only.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
from workloads import Workload, in_part, psnr, workloads

import quorvel

Array = npt.NDArray[np.float64]


def _forward(v: Array, gain: float, offset: float) -> Array:
    """Generalized Anscombe transform into unit noise, in photon units."""
    return 2.0 * np.sqrt(np.maximum(v / gain + 0.375 + offset / gain**2, 0.0))


def _inverse(z: Array, gain: float, offset: float) -> Array:
    return gain * (0.25 * z * z - 0.375 - offset / gain**2 + 0.25)


def _planes(func: Callable[[Array, float], Array], image: Array, sigma: float) -> Array:
    if image.ndim == 2:
        return func(image, sigma)
    return np.stack([func(p, sigma) for p in image])


def _bm3d(image: Array, sigma: float) -> Array:
    import bm3d

    return np.asarray(bm3d.bm3d(image, sigma), dtype=np.float64)


def _bm4d(image: Array, sigma: float) -> Array:
    import bm4d

    return np.asarray(bm4d.bm4d(image, sigma), dtype=np.float64)


def _bm4d_wiener(image: Array, sigma: float, pilot: Array) -> Array:
    import bm4d

    return np.asarray(bm4d.bm4d(image, sigma, stage_arg=pilot), dtype=np.float64)


def _wiener_on(w: Workload, pilot: Callable[[], Any]) -> Callable[[], Array]:
    """BM4D's Wiener stage on `w` with `pilot()` (quorvel's result) as its pilot."""
    noisy = w.noisy.astype(np.float64)
    if w.model is None:
        sigma = float(w.gaussian_sigma or 0.0)
        return lambda: _bm4d_wiener(noisy, sigma, np.asarray(pilot(), dtype=np.float64))
    gain, offset = w.model.gain[0], w.model.offset[0]

    def run() -> Array:
        guide = _forward(np.asarray(pilot(), dtype=np.float64), gain, offset)
        return _inverse(_bm4d_wiener(_forward(noisy, gain, offset), 1.0, guide), gain, offset)

    return run


def _nl_means(image: Array, sigma: float) -> Array:
    from skimage.restoration import denoise_nl_means

    return np.asarray(
        denoise_nl_means(
            image, patch_size=5, patch_distance=6, h=0.8 * sigma, sigma=sigma, fast_mode=True
        ),
        dtype=np.float64,
    )


def _opencv(image: Array, sigma: float) -> Array:
    import cv2

    cv2.setNumThreads(1)
    lo, hi = float(image.min()), float(image.max())
    scale = 255.0 / max(hi - lo, 1e-12)

    def one(p: Array, s: float) -> Array:
        u8 = np.clip(np.round((p - lo) * scale), 0, 255).astype(np.uint8)
        out = cv2.fastNlMeansDenoising(
            u8, None, h=s * scale, templateWindowSize=7, searchWindowSize=21
        )
        return out.astype(np.float64) / scale + lo

    return _planes(one, image, sigma)


def _peer(w: Workload, name: str) -> Callable[[], Array]:
    """The peer `name` on `w`, with the transform around it for Poisson-Gaussian noise."""
    funcs: dict[str, Callable[[Array, float], Array]] = {
        "BM3D": lambda a, s: _planes(_bm3d, a, s),
        "BM4D": _bm4d,
        "skimage NLM": _nl_means,
        "OpenCV NLM": _opencv,
    }
    func = funcs[name]
    noisy = w.noisy.astype(np.float64)
    if w.model is None:
        return lambda: func(noisy, float(w.gaussian_sigma or 0.0))
    gain, offset = w.model.gain[0], w.model.offset[0]
    return lambda: _inverse(func(_forward(noisy, gain, offset), 1.0), gain, offset)


def _ssim(clean: npt.NDArray[Any], test: npt.NDArray[Any]) -> float:
    from skimage.metrics import structural_similarity

    ref = clean.astype(np.float64)
    return float(
        structural_similarity(ref, test.astype(np.float64), data_range=float(ref.max() - ref.min()))
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=("2d", "spots", "3d"), default="all")
    parser.add_argument("--skip", default="", help="peers to leave out, comma-separated")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument(
        "--volume-shape",
        default="32,128,128",
        help="Z,Y,X of the 3-D workloads (default: %(default)s)",
    )
    parser.add_argument(
        "--image-size",
        type=int,
        default=256,
        help="side of the 2-D images, at most 512 (default: %(default)s)",
    )
    parser.add_argument(
        "--tune-iterations",
        type=int,
        default=4,
        help="iterations the tuned run starts from (default: %(default)s)",
    )
    parser.add_argument("--match", default="", help="only workloads whose name holds this text")
    parser.add_argument("--scenes", help="kinds of scenes.py instead of the workloads")
    parser.add_argument("--no-tune", action="store_true", help="leave the tuned run out")
    parser.add_argument(
        "--wiener-pilot",
        action="store_true",
        help="on stacks, also BM4D's Wiener stage with quorvel's default as the pilot",
    )
    args = parser.parse_args()
    skip = {s.strip() for s in args.skip.split(",") if s.strip()}
    lines = ["| workload | method | PSNR dB | SSIM | seconds |", "|---|---|---|---|---|"]
    print("\n".join(lines), flush=True)
    shape = tuple(int(n) for n in args.volume_shape.split(","))
    if args.scenes:
        from scenes import scenes

        chosen = [
            w
            for w in scenes(tuple(args.scenes.split(",")))
            if "C" not in w.axes and "S" not in w.axes
        ]
    else:
        chosen = [
            w for w in workloads("all", shape, image_size=args.image_size) if in_part(w, args.only)
        ]
    today = {"patch_radius": 3, "iterations": 4, "pvalue": 0.01, "search": "ZT"}
    for w in chosen:
        if args.match not in w.name:
            continue
        runs: dict[str, Callable[[], Any]] = {
            "quorvel default": lambda w=w: quorvel.denoise(w.noisy, w.axes, **w.noise, threads=1),
            "quorvel today": lambda w=w: quorvel.denoise(
                w.noisy, w.axes, **w.noise, **today, threads=1
            ),
        }
        if not args.no_tune:
            runs["quorvel tuned"] = lambda w=w: quorvel.denoise(
                w.noisy, w.axes, **w.noise, threads=1, iterations=args.tune_iterations, tune=True
            )
        peers = ["BM3D", "skimage NLM", "OpenCV NLM"] + (["BM4D"] if w.noisy.ndim == 3 else [])
        for name in peers:
            if name not in skip:
                runs[name] = _peer(w, name)
        if args.wiener_pilot and w.noisy.ndim == 3:
            runs["BM4D Wiener, quorvel pilot"] = _wiener_on(w, runs["quorvel default"])
        for method, run in runs.items():
            start = time.perf_counter()
            out = np.asarray(run())
            seconds = time.perf_counter() - start
            line = (
                f"| {w.name} | {method} | {psnr(w.clean, out):.2f} | "
                f"{_ssim(w.clean, out):.3f} | {seconds:.2f} |"
            )
            lines.append(line)
            print(line, flush=True)
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
