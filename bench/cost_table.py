"""Seconds of the fast kernel per setting, against the work model of `quorvel._work.work`.

Run by hand::

    nice .venv/bin/python bench/cost_table.py [--out costs.json]

On three scenes of `scenes.py` (a 256 x 256 image, a 10 x 128 x 128
time-lapse, a 24 x 96 x 96 stack), one thread, the true noise: every patch
radius 2 to 4 (and 0 or 1 along T or Z), reach (growing, 1, 2, 4 and the
whole axis) run as a `GaussianRun` to 6 iterations, the process CPU time
of each iteration added up, as a ratio to today's default (radius 3, 4
iterations, growing window) on the same scene, beside the ratio the work
model predicts.
"""

from __future__ import annotations

import argparse
import json
import time

from grid_runs import ChannelRuns, Setting, stacked_axis
from scenes import scenes

from quorvel._auto import TODAY, work
from quorvel._core import CoreSettings

NAMES = ("2d nuclei 20ph", "time nuclei drift 1 20ph", "volume blobs s12")


def _core_settings(s: Setting, stacked: str, iterations: int) -> CoreSettings:
    radius = [s.radius, s.radius, 0, 0, 0]
    reach = [-1] * 5
    if stacked:
        i = 2 if stacked == "Z" else 4
        radius[i] = s.deep
        if s.reach is not None:
            reach[i] = s.reach
    return CoreSettings(
        tuple(radius),
        (1, 1, 1, 0, 1),
        iterations,
        s.pvalue,
        0.0,
        tuple(reach) if max(reach) >= 0 else (),
    )


def _seconds(runs: ChannelRuns, s: Setting, stacked: str, iterations: int) -> list[float]:
    """Cumulative process CPU seconds after each iteration."""
    from quorvel import _engine

    group, radius5 = runs._prepared(s, stacked)
    reach = [-1] * 5
    if stacked and s.reach is not None:
        reach[2 if stacked == "Z" else 4] = s.reach
    run = _engine.GaussianRun(
        group.stabilised,
        sigma=1.0,
        patch_radius=radius5,
        search=[1, 1, int(stacked == "Z"), 0, int(stacked == "T")],
        reach=reach if max(reach) >= 0 else [],
        pvalue=s.pvalue,
        threads=1,
    )
    out, total = [], 0.0
    for k in range(1, iterations + 1):
        start = time.process_time()
        run.advance(k)
        total += time.process_time() - start
        out.append(total)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out")
    args = parser.parse_args()
    rows = []
    for w in scenes():
        if w.name not in NAMES:
            continue
        stacked = stacked_axis(w)
        runs = ChannelRuns(w, 0)
        shape = runs.shape
        base = min(_seconds(runs, Setting(3, 0.01), stacked, 4)[-1] for _ in range(2))
        n = shape[0] if stacked == "T" else shape[2]
        reaches = [None, 1, 2, 4, n - 1] if stacked else [None]
        for r in (2, 3, 4):
            for deep in (0, 1) if stacked else (0,):
                for reach in reaches:
                    s = Setting(r, 0.01, deep, reach)
                    seconds = _seconds(runs, s, stacked, 6)
                    for i in (3, 4, 5, 6):
                        model = work(_core_settings(s, stacked, i), shape) / work(TODAY, shape)
                        rows.append(
                            {
                                "scene": w.name,
                                "key": s.key(i),
                                "time": seconds[i - 1] / base,
                                "model": model,
                            }
                        )
                        print(
                            f"{w.name[:24]:24s} {s.key(i):32s} time x{seconds[i - 1] / base:6.2f}"
                            f" model x{model:6.2f}",
                            flush=True,
                        )
    if args.out:
        with open(args.out, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
