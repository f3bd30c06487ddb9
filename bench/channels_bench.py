"""Channels denoised each on its own against together, on the scenes of two and three channels.

Run by hand, with the package installed and scikit-image importable::

    nice .venv/bin/python bench/channels_bench.py [--threads 1]

For every scene of kind "channels" of `scenes.py` (the true noise given):
the PSNR of each channel with ``channels="independent"`` and with
``channels="joint"``, at today's settings (patch radius 3, 4 iterations,
p-value 0.01, growing window) and at the settings the new default chooses
for the image, and the seconds of each run.  A fluorescence hyperstack
(bright nuclei and dim filaments) and RGB images (a sample axis ``S``) are
among them: the default for each kind of channel axis follows from them.
"""

from __future__ import annotations

import argparse
import os
import time
from typing import Any

from defaults_grid import OLD_DEFAULT, new_default
from scenes import channel_psnrs, scenes

import quorvel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    print(f"load average: {os.getloadavg()}")
    print("| scene | settings | channels | PSNR per channel dB | mean dB | seconds |")
    print("|---|---|---|---|---|---|")
    for w in scenes(("channels",)):
        _, choice = new_default(w, args.threads)
        chosen = {k: v for k, v in choice.settings.items() if k != "channels"}
        today = {k: v for k, v in OLD_DEFAULT.items() if k != "channels"}
        for label, settings in (("today's", today), ("chosen", chosen)):
            for channels in ("independent", "joint"):
                kwargs: dict[str, Any] = {**w.noise, **settings, "channels": channels}
                start = time.perf_counter()
                out = quorvel.denoise(w.noisy, w.axes, threads=args.threads, **kwargs)
                seconds = time.perf_counter() - start
                values = channel_psnrs(w, out)
                print(
                    f"| {w.name} | {label} | {channels} | "
                    f"{' / '.join(f'{v:.2f}' for v in values)} | "
                    f"{sum(values) / len(values):.2f} | {seconds:.2f} |",
                    flush=True,
                )
    print(f"load average: {os.getloadavg()}")


if __name__ == "__main__":
    main()
