"""Cost of noise estimation as a share of the denoising time.

Times ``estimate_noise`` (each method), ``denoise`` with a given model (no
estimation inside) and ``denoise`` with its defaults (which estimates the
model itself) on a 1024 x 1024 frame and a 10 x 512 x 512 sequence of the
demo's camera and a 32 x 256 x 256 bead stack, interleaved, and reports the
best times and the estimate's share of each denoising::

    nice .venv/bin/python bench/estimate_cost.py --repeat 3 --threads 2

With ``--core-sigma`` the Gaussian level is the core's own serial estimate
(``_qv._calibrate_gaussian``, the same value), for comparison.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

import quorvel

sys.path.insert(0, str(Path(__file__).parent))
from calibration_accuracy import beads, record


def _image(shape: tuple[int, ...]) -> Any:
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0 : shape[-2], 0 : shape[-1]]
    photons = 5.0 + 80.0 * (1 + np.sin(x / 23.0) * np.cos(y / 31.0))
    photons = np.broadcast_to(photons, shape)
    return (100.0 + 2.0 * rng.poisson(photons) + rng.normal(0, 3, shape)).astype(np.float32)


def _bead_stack() -> Any:
    """Beads 2 pixels wide in focus, peak 2000 photons on 10, gain 2, read noise 3."""
    rng = np.random.default_rng(0)
    return record(10.0 + 2000.0 * beads(256, 32, 2.0, 4.0, rng), 2.0, 3.0, rng)


def _best(fn: Callable[[], Any], best: float) -> float:
    start = time.perf_counter()
    fn()
    return min(best, time.perf_counter() - start)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--core-sigma", action="store_true")
    args = parser.parse_args(argv)
    if args.core_sigma:
        import _qv
        from quorvel import _core

        class _CoreSigma:
            def __getattr__(self, name: str) -> Any:
                return getattr(_core._engine, name)

            @staticmethod
            def calibrate_gaussian(image: Any, threads: int = 0) -> float:
                return float(_qv._calibrate_gaussian(image))

        _core.engine = _CoreSigma()  # type: ignore[assignment]
    warnings.simplefilter("ignore", RuntimeWarning)
    print(
        "| image | method | estimate (s) | denoise, model given (s) | estimate / that | "
        "default denoise (s) | estimate / that |"
    )
    print("|---|---|---|---|---|---|---|")
    images = (
        ("1024x1024", _image((1024, 1024)), "YX"),
        ("10x512x512", _image((10, 512, 512)), "TYX"),
        ("32x256x256 beads", _bead_stack(), "ZYX"),
    )
    for label, img, axes in images:
        model = quorvel.NoiseModel(2.0, 9.0 - 200.0)
        times = dict.fromkeys(("model", "default", "auto", "core"), np.inf)
        for _ in range(args.repeat):
            times["model"] = _best(
                lambda: quorvel.denoise(img, axes, model=model, threads=args.threads),
                times["model"],
            )
            times["default"] = _best(
                lambda: quorvel.denoise(img, axes, threads=args.threads), times["default"]
            )
            for method in ("auto", "core"):
                times[method] = _best(
                    lambda m=method: quorvel.estimate_noise(img, axes, method=m), times[method]
                )
        for method in ("auto", "core"):
            t = times[method]
            print(
                f"| {label} | {method} | {t:.3f} | {times['model']:.2f} | "
                f"{100 * t / times['model']:.1f} % | {times['default']:.2f} | "
                f"{100 * t / times['default']:.1f} % |"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
