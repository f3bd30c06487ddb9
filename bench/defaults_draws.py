"""The default settings against the earlier ones on other noise draws of every scene.

No grid: for each scene of `scenes.scenes` and each seed, the PSNR of the
default (settings chosen per image) and of the settings of earlier versions
(`defaults_grid.OLD_DEFAULT`), both on the fast kernel with the true noise,
and their difference; a line is marked where the default is more than
0.05 dB below.  Run by hand with the package installed and scipy and
scikit-image importable (``requirements-bench.txt``)::

    nice .venv/bin/python bench/defaults_draws.py --seeds 30-37 [--kind 2d,time,volume,channels]
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from defaults_grid import OLD_DEFAULT
from scenes import KINDS, scenes, score

import quorvel


def _seeds(text: str) -> list[int]:
    first, _, last = text.partition("-")
    return list(range(int(first), int(last or first) + 1))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=_seeds, default=_seeds("30-37"), help="e.g. 30-37")
    parser.add_argument("--kind", default=",".join(KINDS))
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args(argv)
    print("| seed | scene | default dB | earlier dB | default - earlier |")
    print("|---|---|---|---|---|")
    worst = []
    for seed in args.seeds:
        for w in scenes(tuple(args.kind.split(",")), seed=seed):
            new = score(w, quorvel.denoise(w.noisy, w.axes, **w.noise, threads=args.threads))
            old = score(
                w, quorvel.denoise(w.noisy, w.axes, **w.noise, **OLD_DEFAULT, threads=args.threads)
            )
            flag = " (more than 0.05 below)" if new - old < -0.05 else ""
            worst.append(new - old)
            print(
                f"| {seed} | {w.name} | {new:.2f} | {old:.2f} | {new - old:+.3f}{flag} |",
                flush=True,
            )
    below = sum(d < -0.05 for d in worst)
    print(f"\n{len(worst)} scenes; worst {min(worst):+.3f} dB; {below} more than 0.05 dB below")
    return 0


if __name__ == "__main__":
    sys.exit(main())
