"""The package's defaults against one changed parameter, on volumes of several kinds.

Run by hand (not part of the test suite), with scipy importable::

    nice python bench/defaults_bench.py [--seeds 1,2] [--set pvalue=0.001] [--threads 1]

For every volume of `workloads.volume_kinds` and seed it denoises with the
defaults and with the change (the true noise given to both), and prints
PSNR and seconds of each, their difference and the ratio of the times.  A
default for a class of images should win on every kind of it at no more
cost.
"""

from __future__ import annotations

import argparse
import ast
import time

from workloads import psnr, volume_kinds

from quorvel import denoise


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", default="1,2")
    parser.add_argument("--set", default="pvalue=0.001", help="NAME=VALUE of `denoise`")
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    name, value = args.set.split("=", 1)
    change = {name: ast.literal_eval(value)}
    print(f"| seed | volume | default dB (s) | {args.set} dB (s) | difference dB | time ratio |")
    print("|---|---|---|---|---|---|")
    for seed in (int(s) for s in args.seeds.split(",")):
        for w in volume_kinds(seed):
            row = []
            for extra in ({}, change):
                start = time.perf_counter()
                out = denoise(w.noisy, w.axes, **w.noise, **extra, threads=args.threads)
                row.append((psnr(w.clean, out), time.perf_counter() - start))
            (a, ta), (b, tb) = row
            print(
                f"| {seed} | {w.name} | {a:.2f} ({ta:.1f}) | {b:.2f} ({tb:.1f}) | {b - a:+.2f} "
                f"| {tb / ta:.2f} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
