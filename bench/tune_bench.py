"""How well ``tune=True`` chooses, and what it costs, on the benchmark set.

Run by hand (not part of the test suite), with the package installed and
scikit-image and scipy importable (``requirements-bench.txt``)::

    nice python bench/tune_bench.py [--only 2d|spots|3d|kinds] [--match TEXT] [--threads N]
        [--seed S] [--image-size N] [--scores FILE] [--estimator] [--probe-seed K]
        [--scenes KINDS] [--chosen]

For every workload of ``bench/workloads.py`` it denoises with every point of
the tuning grid (the full product, not only the points the tuner visits) and
rates each by its true PSNR; then it runs the tuner and reports the chosen
point, its PSNR, the gap to the grid's best, and the tuner's time as a ratio
to the final denoising with the chosen settings and to the default
denoising (each timed once, one after the other, in this process; the
tuning and the final run twice on 2-D images, keeping the shorter time).
With ``--scores FILE`` the grid's PSNRs are read from FILE when it holds the
workload (same seed and shapes) and written there otherwise, so that a change
of the tuner can be measured without denoising the whole grid again; with
``--cached-grid`` as well, only the points in FILE (and the tuned one) are
rated, for a grid whose full product would take hours (say so with the
numbers).

With ``--scenes KINDS`` the scenes of those kinds of ``bench/scenes.py``
(noise from ``--seed``, 29 for the set's own draw) take the workloads' place;
with ``--chosen`` the tuner starts, as ``tune=True`` does, from the settings
chosen for the image instead of fixed ones.

With ``--estimator`` it also scores every point of the grid by the risk
estimate itself (on the tuner's crops) and reports the gap of the estimate's
own least-risk point: what any walk of the grid could reach with this
estimate.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import time

import numpy as np
from workloads import in_part, psnr, volume_kinds, workloads

from quorvel import _tune, denoise
from quorvel._auto import choose, free_parameters
from quorvel._axes import core_shape, normalize_axes, to_core_layout
from quorvel._core import _denoise_core
from quorvel._params import DEFAULT_SEARCH, _check_noise, _check_settings
from quorvel._tune import _apply, _check_grid, _pieces, _public, _reaches, _risks, _tune_core
from quorvel.noise import _plan_noise


def _timed(func, *args, **kwargs):  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    out = func(*args, **kwargs)
    return out, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--only",
        choices=("2d", "spots", "3d", "kinds"),
        default="all",
        help="a part of the set, or (kinds) the volumes of workloads.volume_kinds instead",
    )
    parser.add_argument("--match", default="", help="only workloads whose name holds this text")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument(
        "--volume-shape",
        default="32,128,128",
        help="Z,Y,X of the 3-D workloads (default: %(default)s)",
    )
    parser.add_argument("--seed", type=int, default=2026, help="noise seed (default: %(default)s)")
    parser.add_argument(
        "--image-size",
        type=int,
        default=256,
        help="side of the 2-D images, up to 512 (default: %(default)s)",
    )
    parser.add_argument("--scores", help="JSON file of the grid's PSNRs, read and written")
    parser.add_argument(
        "--cached-grid",
        action="store_true",
        help="rate only the grid points held in --scores FILE (and the tuned one) "
        "instead of the whole grid",
    )
    parser.add_argument(
        "--probe-seed",
        type=int,
        default=None,
        help="seed of the tuner's probe instead of its own (to see the estimate's spread)",
    )
    parser.add_argument(
        "--estimator",
        action="store_true",
        help="also report the gap of the risk estimate's least-risk grid point",
    )
    parser.add_argument("--scenes", help="kinds of scenes.py instead of the workloads")
    parser.add_argument(
        "--chosen", action="store_true", help="start from the settings chosen for the image"
    )
    args = parser.parse_args()
    if args.probe_seed is not None:
        _tune.crops._SEED = args.probe_seed
    cache = {}
    if args.scores and os.path.exists(args.scores):
        with open(args.scores) as f:
            cache = json.load(f)
    rows, estimator_rows = [], []
    extra = " least estimated risk (gap dB) |" if args.estimator else ""
    print(
        "| workload | default dB | grid best dB (setting) | tuned dB (setting) | gap dB "
        "| tune / final | tune / default |" + extra
    )
    print("|---|---|---|---|---|---|---|" + ("---|" if args.estimator else ""))
    shape = tuple(int(n) for n in args.volume_shape.split(","))
    # The whole set is drawn and then filtered: the noise is drawn in order.
    kinds = args.only == "kinds" or bool(args.scenes)
    if args.scenes:
        from scenes import scenes

        drawn = scenes(tuple(args.scenes.split(",")), args.seed)
    elif kinds:
        drawn = volume_kinds(args.seed)
    else:
        drawn = workloads("all", shape, args.seed, args.image_size)
    for w in drawn:
        if not (kinds or in_part(w, args.only)) or args.match not in w.name:
            continue
        names = normalize_axes(w.axes, w.noisy.ndim)
        sizes = core_shape(w.noisy.shape, names)
        grid = _check_grid(None, sizes)
        stacked = "Z" * (sizes["Z"] > 1) + "T" * (sizes["T"] > 1)
        settings = _check_settings(sizes, names, None, DEFAULT_SEARCH, 4, 0.01, 0.0)
        work = np.ascontiguousarray(to_core_layout(w.noisy, names), dtype=np.float32)
        plan = _plan_noise(
            work, _check_noise(w.noise["noise"], w.gaussian_sigma, w.model, sizes["C"])
        )
        if args.chosen:  # as tune=True: from the settings chosen for the image
            base = _check_settings(sizes, names, None, None, None, None, 0.0)
            settings, _ = choose(work, plan, base, free_parameters(None, None, None, None))
            grid = _check_grid(None, sizes, settings)

        tag = f"{w.name} seed {args.seed} shape {w.noisy.shape}"
        scores = {tuple(json.loads(k)): v for k, v in cache.get(tag, {}).items()}
        for values in itertools.product(*grid.values()):
            p = dict(zip(grid, values, strict=True))
            point = _key(p)
            if point in scores or args.cached_grid:
                continue
            searched = [k for k in ("reach_t", "reach_z") if len(grid[k]) > 1]
            out = denoise(
                w.noisy, w.axes, **w.noise, **_public(p, stacked, searched), threads=args.threads
            )
            scores[point] = psnr(w.clean, out)
        if args.scores and not args.cached_grid:
            cache[tag] = {json.dumps(k): v for k, v in scores.items()}
            with open(args.scores, "w") as f:
                json.dump(cache, f)

        default_out, t_default = _timed(_denoise_core, work, plan, settings, args.threads)
        t_tune = t_final = float("inf")
        for _ in range(2 if sizes["T"] * sizes["Z"] == 1 else 1):
            (chosen, result), t = _timed(_tune_core, work, plan, settings, grid, args.threads)
            t_tune = min(t_tune, t)
            final, t = _timed(_denoise_core, work, plan, chosen, args.threads)
            t_final = min(t_final, t)
        s = result.settings
        reach = s.get("search", {})
        key = _key(
            {
                "patch_radius": s["patch_radius"]["X"],
                "iterations": s["iterations"],
                "pvalue": s["pvalue"],
                "patch_radius_z": s["patch_radius"].get("Z", 0),
                "patch_radius_t": s["patch_radius"].get("T", 0),
                "reach_t": reach.get("T"),
                "reach_z": reach.get("Z"),
            }
        )
        tuned_db = psnr(w.clean, final[0].reshape(w.noisy.shape))
        assert abs(tuned_db - scores.setdefault(key, tuned_db)) < 1e-6, (tuned_db, scores[key])
        best = max(scores, key=scores.get)  # with --cached-grid the tuned point may be new
        gap = scores[best] - tuned_db
        rows.append(gap)
        z = sizes["Z"] > 1

        def fmt(k, z=z):  # type: ignore[no-untyped-def]
            return (
                f"r{k[0]} it{k[1]} p{k[2]:g}"
                + (f" z{k[3]}" if z else "")
                + "".join(f" reach {v}" if isinstance(v, int) else f" {v}" for v in k[4:])
            )

        if args.estimator:
            least = _least_estimated_risk(work, plan, settings, grid, args.threads)
            estimator_rows.append(scores[best] - scores[least])
            extra = f" {fmt(least)} ({scores[best] - scores[least]:.2f}) |"
        print(
            f"| {w.name} | {psnr(w.clean, default_out[0].reshape(w.noisy.shape)):.2f} "
            f"| {scores[best]:.2f} ({fmt(best)}) | {tuned_db:.2f} ({fmt(key)}) | {gap:.2f} "
            f"| {t_tune / t_final:.2f} | {t_tune / t_default:.2f} |{extra}",
            flush=True,
        )
    within = sum(g <= 0.15 for g in rows)
    print(
        f"\nwithin 0.15 dB of the grid's best: {within} of {len(rows)} "
        f"({100.0 * within / len(rows):.0f} %)"
    )
    if estimator_rows:
        within = sum(g <= 0.15 for g in estimator_rows)
        print(
            f"least estimated risk over the whole grid within 0.15 dB of the grid's best: "
            f"{within} of {len(estimator_rows)}"
        )


def _key(p):  # type: ignore[no-untyped-def]
    """A grid point as a key of the scores.

    The key is (radius, iterations, p-value, Z radius[, reach][, "T1"]).

    A reach (along T or Z; images have at most one) is left out when it is None,
    and the patch radius along T when it is 0, so that the earlier keys stay.
    """
    key = (p["patch_radius"], p["iterations"], p["pvalue"], p["patch_radius_z"])
    reach = p.get("reach_t") if p.get("reach_t") is not None else p.get("reach_z")
    key = key if reach is None else (*key, reach)
    rt = p.get("patch_radius_t", 0)
    return key if rt == 0 else (*key, f"T{rt}")


def _least_estimated_risk(work, plan, settings, grid, threads):  # type: ignore[no-untyped-def]
    """The grid point of least estimated risk, every point scored on the tuner's crops."""
    pieces = _pieces(work, plan, _reaches(grid, settings))
    risks = {}
    walked = [k for k in grid if k != "iterations"]
    for values in itertools.product(*(grid[k] for k in walked)):
        point = {**dict(zip(walked, values, strict=True)), "iterations": max(grid["iterations"])}
        for k, value in _risks(
            pieces, _apply(settings, point), grid["iterations"], threads
        ).items():
            risks[_key({**point, "iterations": k})] = value
    return min(risks, key=risks.get)


if __name__ == "__main__":
    main()
