"""Where the time of ``tune=True`` goes: the walk, the added iterations, the rest.

Run by hand (not part of the test suite), with the package installed and
scikit-image importable (``requirements-bench.txt``)::

    nice python bench/tune_phases.py [--seed S] [--image-size N] [--tile K] [--repeat K]
        [--scenes KINDS] [NAME ...]

For each named workload of ``bench/workloads.py`` (default: camera s10, where
3 iterations win; with ``--scenes KINDS`` the named scenes of those kinds of
``bench/scenes.py``) it runs the tuner as ``tune=True`` does, from the
settings chosen for the image, `--repeat` times on one thread and reports
the shortest time of each phase as a ratio to the final denoising with the
tuned settings (also the shortest of `--repeat` runs), and the final
denoising over the untuned one (the chosen settings):

- walk: the candidates' runs at the fewest iterations of the grid;
- more: the chosen point's runs continued to larger counts;
- other: everything else (reading and ranking the crops, the risks).

`--tile K` repeats a 2-D workload's noisy image K x K times, for the cost on
larger images of the same content and noise.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from workloads import workloads

from quorvel import _tune
from quorvel._auto import choose, free_parameters
from quorvel._axes import core_shape, normalize_axes, to_core_layout
from quorvel._core import _denoise_core
from quorvel._params import _check_noise, _check_settings
from quorvel.noise import _plan_noise


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", default=["camera s10"])
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--image-size", type=int, default=256)
    parser.add_argument("--tile", type=int, default=1, help="repeat 2-D images K x K times")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scenes", help="kinds of scenes.py instead of the workloads")
    args = parser.parse_args()

    calls: list[tuple[tuple[int, ...], float]] = []
    risks = _tune._Runs.risks

    def timed_risks(self, iterations, check=None, account=None):  # type: ignore[no-untyped-def]
        start = time.perf_counter()
        out = risks(self, iterations, check, account)
        calls.append((iterations, time.perf_counter() - start))
        return out

    _tune._Runs.risks = timed_risks  # type: ignore[method-assign]
    print("| workload | tuned | final s | walk | more | other | tune / final | final / untuned |")
    print("|---|---|---|---|---|---|---|---|")
    if args.scenes:
        from scenes import scenes

        chosen_set = scenes(tuple(args.scenes.split(",")))
    else:
        chosen_set = workloads("all", (32, 128, 128), args.seed, args.image_size)
    for w in chosen_set:
        if w.name not in args.names:
            continue
        noisy = np.tile(w.noisy, (args.tile, args.tile)) if w.noisy.ndim == 2 else w.noisy
        names = normalize_axes(w.axes, noisy.ndim)
        sizes = core_shape(noisy.shape, names)
        work = np.ascontiguousarray(to_core_layout(noisy, names), dtype=np.float32)
        plan = _plan_noise(work, _check_noise(w.noise["noise"], w.gaussian_sigma, w.model, 1))
        # As tune=True with nothing given: from the settings chosen for the image.
        base = _check_settings(sizes, names, None, None, None, None, 0.0)
        untuned, _ = choose(work, plan, base, free_parameters(None, None, None, None))
        grid = _tune._check_grid(None, sizes, untuned)
        settings = untuned
        fewest = min(grid["iterations"])
        best: dict[str, float] = {}
        for _ in range(args.repeat):
            calls.clear()
            start = time.perf_counter()
            chosen, result = _tune._tune_core(work, plan, settings, grid, 1)
            phases = {"total": time.perf_counter() - start}
            phases["walk"] = sum(t for its, t in calls if min(its) <= fewest)
            phases["more"] = sum(t for its, t in calls if min(its) > fewest)
            phases["other"] = phases["total"] - phases["walk"] - phases["more"]
            best = {k: min(best.get(k, np.inf), v) for k, v in phases.items()}
        final = first = np.inf
        for _ in range(args.repeat):
            start = time.perf_counter()
            _denoise_core(work, plan, chosen, 1)
            final = min(final, time.perf_counter() - start)
            start = time.perf_counter()
            _denoise_core(work, plan, untuned, 1)
            first = min(first, time.perf_counter() - start)
        ratios = " | ".join(f"{best[k] / final:.2f}" for k in ("walk", "more", "other", "total"))
        print(
            f"| {w.name} {noisy.shape} | {result.summary} | {final:.3f} | {ratios} | "
            f"{final / first:.2f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
