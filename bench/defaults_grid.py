"""The default settings against the best of a grid, scene by scene, with PSNR and time.

Run by hand, with the package installed and scipy and scikit-image
importable (``requirements-bench.txt``)::

    nice .venv/bin/python bench/defaults_grid.py [--kind 2d,time,volume,channels]
        [--match TEXT] [--cache PATH] [--seed 29] [--threads 1] [--time [--uncapped]] [--repeat 3]
        [--rule] [--out table.md]

For every scene of `scenes.scenes` (the true noise given to every method):

- the grid (cached in ``--cache``, JSON, one entry per scene and channel,
  rebuilt when the scene's data change): patch radius 2, 3, 4 in the plane,
  p-value 0.001, 0.01, 0.1, iterations 3 to 6; on time-lapses and z-stacks
  also the patch radius along T or Z (0, 1) and the search reach along it
  (the growing window, 1, 2, 4 and, along T, the whole sequence).  Each
  channel is denoised on its own, so the grid is searched per channel.
  ``--seed`` draws the scenes' noise from another seed (give another
  ``--cache``: entries are kept by scene name);
  2-D scenes: the full grid (each run to 6 iterations gives 3 to 6).
  Stacks: the full grid to 5 iterations, then spot checks: the three best
  points run to 6 iterations and, along Z, reaches of 8 planes and the
  whole stack at the best point;
- today's default (``patch_radius=3, iterations=4, pvalue=0.01,
  search="ZT", channels="joint"``) and the new default (no setting given),
  both on the fast kernel, and the settings the new default chose;
- with ``--time``: the seconds of the new default and of today's default on
  the exact kernel, both with ``--time-threads`` threads (default 2),
  alternating, best of ``--repeat``, and their ratio; the load average is
  printed before and after.  With ``--uncapped`` also the time of the new
  default's settings without a cap on the window along X and Y (the full
  window of a sixth iteration) over the exact kernel's.

A scene's PSNR is the mean of its channels' PSNRs (each channel's peak its
clean range); the grid's best is its best point (one setting for every
channel).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import time
from pathlib import Path
from typing import Any

import numpy as np
from grid_runs import ChannelRuns, Setting, core_view, stacked_axis
from scenes import KINDS, scenes, score
from workloads import Workload, psnr

import quorvel

RADII = (2, 3, 4)
PVALUES = (0.001, 0.01, 0.1)
OLD_DEFAULT: dict[str, Any] = {
    "patch_radius": 3,
    "iterations": 4,
    "pvalue": 0.01,
    "search": "ZT",
    "channels": "joint",
}
_DEFAULT_CACHE = Path(__file__).resolve().parent / ".cache" / "defaults_grid.json"


def _identity(w: Workload) -> str:
    return hashlib.sha1(np.ascontiguousarray(w.noisy).tobytes()).hexdigest()[:12]


def _channel_grid(w: Workload, c: int | None, threads: int) -> tuple[list[dict[str, float]], str]:
    """PSNR of every grid point for channel `c`, and how the grid was walked.

    `c` None: all channels together; the PSNRs are then per channel.
    """
    runs = ChannelRuns(w, c, threads)
    stacked = stacked_axis(w)
    clean = core_view(Workload(w.name, w.axes, w.clean, w.clean))
    channels = range(clean.shape[1]) if c is None else [c]
    grids: list[dict[str, float]] = [{} for _ in channels]
    out = grids[0]  # the walk follows the first channel

    def score_run(setting: Setting, iterations: int, first: int = 3) -> None:
        results = runs.results(setting, stacked, iterations)
        for i in range(first, iterations + 1):
            for j, k in enumerate(channels):
                part = results[i - 1][:, j : j + 1] if c is None else results[i - 1]
                grids[j][setting.key(i)] = psnr(clean[:, k : k + 1], part)

    if not stacked:
        for r in RADII:
            for p in PVALUES:
                score_run(Setting(r, p), 6)
        return grids, "full grid, iterations 3-6"
    n = runs.shape[0] if stacked == "T" else runs.shape[2]
    reaches: list[int | None] = [None, 1, 2, 4] + ([n - 1] if stacked == "T" else [])
    for r in RADII:
        for p in PVALUES:
            for deep in (0, 1):
                for reach in reaches:
                    score_run(Setting(r, p, deep, reach), 5)
    best = sorted(out, key=out.__getitem__, reverse=True)
    spots = []
    for key in best:
        setting = _setting(key)
        if setting not in spots:
            spots.append(setting)
        if len(spots) == 3:
            break
    for setting in spots:
        score_run(setting, 6, first=6)
    if stacked == "Z":
        top = _setting(best[0])
        for reach in (8, n - 1):
            score_run(Setting(top.radius, top.pvalue, top.deep, reach), 5)
    return grids, (
        "full grid, iterations 3-5; spot checks: the 3 best points to 6 iterations"
        + (", reach 8 and whole stack at the best point" if stacked == "Z" else "")
    )


def _setting(key: str) -> Setting:
    from grid_runs import parse_key

    return parse_key(key)[0]


def load_cache(path: Path) -> dict[str, Any]:
    return json.loads(path.read_text()) if path.exists() else {}


def grid_of(w: Workload, cache: dict[str, Any], path: Path, threads: int) -> dict[str, Any]:
    """The cached grid of `w`, computed (and saved) when missing or stale."""
    entry = cache.get(w.name)
    if entry is not None and entry["id"] == _identity(w):
        return entry
    start = time.perf_counter()
    channels, walk = [], ""
    # Samples (RGB) are denoised together by default, channels each on its own.
    groups = [None] if "S" in w.axes.upper() else list(range(core_view(w).shape[1]))
    for c in groups:
        grids, walk = _channel_grid(w, c, threads)
        channels += grids
    if groups == [None]:
        walk += "; channels together"
    entry = {
        "id": _identity(w),
        "channels": channels,
        "walk": walk,
        "seconds": round(time.perf_counter() - start, 1),
    }
    cache[w.name] = entry
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(cache, indent=1))
    os.replace(tmp, path)
    return entry


def grid_best(entry: dict[str, Any]) -> tuple[float, str]:
    """The best grid point for all channels (one setting): mean PSNR over channels, its key."""
    grids = entry["channels"]
    common = set.intersection(*(set(g) for g in grids))
    key = max(common, key=lambda k: float(np.mean([g[k] for g in grids])))
    return float(np.mean([g[key] for g in grids])), key


def new_default(w: Workload, threads: int) -> tuple[Any, Any]:
    """The zero-parameter result on `w` (the true noise given) and the settings it chose."""
    from quorvel._run import _run_denoise

    choices: list[Any] = []
    out, _, _ = _run_denoise(
        w.noisy,
        w.axes,
        **_noise_args(w),
        patch_radius=None,
        search=None,
        iterations=None,
        pvalue=None,
        renoise=0.0,
        threads=threads,
        on_settings=choices.append,
    )
    return out, choices[0]


def _noise_args(w: Workload) -> dict[str, Any]:
    return {"noise": w.noise["noise"], "sigma": w.noise.get("sigma"), "model": w.noise.get("model")}


def _plan(w: Workload) -> Any:
    """The true noise of every channel of `w` as the core receives it."""
    from grid_runs import channel_plan

    from quorvel._core import NoisePlan

    plans = [channel_plan(w, c) for c in range(core_view(w).shape[1])]
    return NoisePlan(
        tuple(p.gain[0] for p in plans),
        tuple(p.offset[0] for p in plans),
        tuple(p.sigma[0] for p in plans),
    )


def rule_key(w: Workload) -> tuple[str, Any, float]:
    """The grid key of the settings the new default chooses on `w`, and the choice.

    Also the work of those settings over today's (`quorvel._work.work`).
    """
    from quorvel._auto import TODAY, choose, free_parameters, work
    from quorvel._axes import core_shape
    from quorvel._params import _check_channels, _check_settings
    from quorvel._run import _prepare

    arr, roles, view5 = _prepare(w.noisy, w.axes)
    names = roles.denoised
    sizes = core_shape(arr.shape, names)
    joint = _check_channels(None, w.axes)  # as `denoise` by default: samples S together
    base = _check_settings(sizes, names, None, None, None, None, 0.0, joint=joint)
    core = np.ascontiguousarray(view5, dtype=np.float32)
    settings, choice = choose(core, _plan(w), base, free_parameters(None, None, None, None))
    stacked = stacked_axis(w)
    deep = reach = None
    if stacked:
        i = 2 if stacked == "Z" else 4
        deep = settings.patch_radius[i]
        reach = settings.reach[i] if settings.reach and settings.reach[i] >= 0 else None
    key = Setting(settings.patch_radius[0], settings.pvalue, deep or 0, reach).key(
        settings.iterations
    )
    if settings.reach and settings.reach[0] >= 0:  # a window capped in the plane: off the grid
        key += f" xy{settings.reach[0]}"
    return key, choice, work(settings, core.shape) / work(TODAY, core.shape)


def rule_rows(
    kinds: tuple[str, ...], match: str, cache: dict[str, Any], seed: int = 29
) -> list[str]:
    """The rule's choice on every cached scene, scored from the grid.

    A choice off the grid (a window capped along X and Y) is run and scored.
    """
    rows = [
        "| scene | grid best dB | rule dB | rule - best | today - best | rule setting "
        "| work / today |",
        "|---|---|---|---|---|---|---|",
    ]
    for w in scenes(kinds, seed):
        entry = cache.get(w.name)
        if match not in w.name or entry is None or entry["id"] != _identity(w):
            continue
        key, _, cost = rule_key(w)
        grids = entry["channels"]
        common = set.intersection(*(set(g) for g in grids))
        best = max(np.mean([g[k] for g in grids]) for k in common)
        today = "r3 p0.01 d0 reachgrow i4"
        if all(key in g for g in grids):
            mine = float(np.mean([g[key] for g in grids]))
        else:  # off the grid: run it
            mine = score(w, new_default(w, 1)[0])
        old = float(np.mean([g[today] for g in grids]))
        rows.append(
            f"| {w.name} | {best:.2f} | {mine:.2f} | {mine - best:+.2f} | "
            f"{old - best:+.2f} | {key} | {cost:.2f} |"
        )
    return rows


def _timed(func: Any, repeat: int) -> tuple[Any, float]:
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = func()
        best = min(best, time.perf_counter() - start)
    return out, best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", default=",".join(KINDS))
    parser.add_argument("--match", default="")
    parser.add_argument("--cache", type=Path, default=_DEFAULT_CACHE)
    parser.add_argument("--seed", type=int, default=29, help="seed of the scenes' noise")
    parser.add_argument("--threads", type=int, default=1, help="threads of the grid's runs")
    parser.add_argument("--time", action="store_true", help="time the defaults")
    parser.add_argument("--time-threads", type=int, default=2)
    parser.add_argument(
        "--uncapped",
        action="store_true",
        help="with --time, also time the default's settings with the window in the plane growing",
    )
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--grid-only", action="store_true")
    parser.add_argument(
        "--rule", action="store_true", help="only score the rule's choice from the cached grid"
    )
    parser.add_argument("--out", type=Path)
    args = parser.parse_args()
    kinds = tuple(k.strip() for k in args.kind.split(","))
    cache = load_cache(args.cache)
    if args.rule:
        print("\n".join(rule_rows(kinds, args.match, cache, args.seed)))
        return
    print(f"load average: {os.getloadavg()}", flush=True)
    header = (
        "| scene | grid best dB | best setting | today's default dB | new default dB | "
        "new - best | new - today | new default settings |"
        + (" new s | exact today s | ratio |" if args.time else "")
        + (" uncapped / exact |" if args.time and args.uncapped else "")
    )
    lines = [header, "|" + "---|" * (header.count("|") - 1)]
    print("\n".join(lines), flush=True)
    for w in scenes(kinds, args.seed):
        if args.match not in w.name:
            continue
        entry = grid_of(w, cache, args.cache, args.threads)
        best, key = grid_best(entry)
        if args.grid_only:
            print(f"{w.name}: grid best {best:.2f} ({key}), {entry['seconds']} s", flush=True)
            continue
        old = quorvel.denoise(w.noisy, w.axes, **w.noise, **OLD_DEFAULT, threads=args.threads)
        new, choice = new_default(w, args.threads)
        old_db, new_db = score(w, old), score(w, new)
        row = (
            f"| {w.name} | {best:.2f} | {key} | {old_db:.2f} | {new_db:.2f} | "
            f"{new_db - best:+.2f} | {new_db - old_db:+.2f} | {choice.summary} |"
        )
        if args.time:
            t = args.time_threads
            timings = {"new": float("inf"), "exact": float("inf"), "uncapped": float("inf")}
            # The same settings without the window's cap along X and Y.
            settings = {k: v for k, v in choice.settings.items() if k != "channels"}
            settings["search"] = {a: n for a, n in settings["search"].items() if a not in "XY"}
            for _ in range(args.repeat):
                if args.uncapped:
                    _, s = _timed(
                        lambda: quorvel.denoise(w.noisy, w.axes, **w.noise, **settings, threads=t),
                        1,
                    )
                    timings["uncapped"] = min(timings["uncapped"], s)
                _, s = _timed(lambda: quorvel.denoise(w.noisy, w.axes, **w.noise, threads=t), 1)
                timings["new"] = min(timings["new"], s)
                _, s = _timed(
                    lambda: quorvel.denoise(
                        w.noisy, w.axes, **w.noise, **OLD_DEFAULT, threads=t, kernel="exact"
                    ),
                    1,
                )
                timings["exact"] = min(timings["exact"], s)
            row += (
                f" {timings['new']:.2f} | {timings['exact']:.2f} | "
                f"{timings['new'] / timings['exact']:.2f} |"
            )
            if args.uncapped:
                row += f" {timings['uncapped'] / timings['exact']:.2f} |"
        lines.append(row)
        print(row, flush=True)
    print(f"load average: {os.getloadavg()}", flush=True)
    if args.out:
        args.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
