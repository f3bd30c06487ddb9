"""Draw docs/noise_plot.png: `quorvel estimate --plot` on one frame of the demo.

Run from the repository: ``.venv/bin/python docs/noise_plot.py``.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

from quorvel.cli import main
from quorvel.demo import DEMO_SHAPE, Camera, record, synthetic_sequence

if __name__ == "__main__":
    frame = record(synthetic_sequence(DEMO_SHAPE), Camera()).astype(np.float32)[0]
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "demo_frame.npy"
        np.save(path, frame)
        out = Path(__file__).with_name("noise_plot.png")
        sys.exit(main(["estimate", str(path), "--plot", str(out), "--overwrite"]))
