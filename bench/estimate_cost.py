"""Cost of noise estimation as a share of the denoising time.

Times ``estimate_noise`` (each method) and ``denoise`` with a given model (no
estimation inside) on a 1024 x 1024 frame and a 10 x 512 x 512 sequence of
the demo's camera, interleaved, and reports the ratio of the best times::

    nice .venv/bin/python bench/estimate_cost.py --repeat 3 --threads 2
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import quorvel


def _image(shape: tuple[int, ...]) -> Any:
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0 : shape[-2], 0 : shape[-1]]
    photons = 5.0 + 80.0 * (1 + np.sin(x / 23.0) * np.cos(y / 31.0))
    photons = np.broadcast_to(photons, shape)
    return (100.0 + 2.0 * rng.poisson(photons) + rng.normal(0, 3, shape)).astype(np.float32)


def _best(fn: Callable[[], Any], best: float) -> float:
    start = time.perf_counter()
    fn()
    return min(best, time.perf_counter() - start)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0)
    args = parser.parse_args(argv)
    print("| image | method | estimate / denoise |")
    print("|---|---|---|")
    for shape, axes in (((1024, 1024), "YX"), ((10, 512, 512), "TYX")):
        img = _image(shape)
        model = quorvel.NoiseModel(2.0, 9.0 - 200.0)
        times = {"denoise": np.inf, "auto": np.inf, "core": np.inf}
        for _ in range(args.repeat):
            times["denoise"] = _best(
                lambda: quorvel.denoise(img, axes, model=model, threads=args.threads),
                times["denoise"],
            )
            for method in ("auto", "core"):
                times[method] = _best(
                    lambda m=method: quorvel.estimate_noise(img, axes, method=m), times[method]
                )
        label = "x".join(map(str, shape))
        for method in ("auto", "core"):
            print(f"| {label} | {method} | {100 * times[method] / times['denoise']:.1f} % |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
