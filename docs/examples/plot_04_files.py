"""
Files: an ImageJ hyperstack in, provenance out
==============================================

`quorvel.io` reads the axes and physical sizes of microscopy files and
writes them back; the command line also records how each output was made.
"""

import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import tifffile

from quorvel.demo import Camera, record, synthetic_sequence
from quorvel.io import read_image

folder = Path(tempfile.mkdtemp())

# %%
# An ImageJ hyperstack of 6 frames and 2 channels (axes ``TCYX``), pixel size
# 0.1 micrometer, a frame every 2 seconds, as Fiji saves it.
photons = np.stack([synthetic_sequence((6, 64, 64), seed=s) for s in (0, 1)], axis=1)
movie = record(photons, Camera(), seed=2).astype(np.uint16)
tifffile.imwrite(
    folder / "movie.tif",
    movie,
    imagej=True,
    resolution=(10.0, 10.0),
    metadata={"axes": "TCYX", "unit": "micron", "finterval": 2.0},
)

image = read_image(folder / "movie.tif")
print(image.axes, image.data.shape, image.data.dtype)
print(image.metadata["physical"])

# %%
# Denoised by the command line, which keeps the metadata and adds a
# provenance record; ``quorvel info`` shows both.
quorvel = [sys.executable, "-m", "quorvel"]
subprocess.run(
    [*quorvel, "denoise", folder / "movie.tif", "-o", folder / "clean.tif", "-q"], check=True
)
info = subprocess.run(
    [*quorvel, "info", folder / "clean.tif", "--json"], check=True, capture_output=True, text=True
)
described = json.loads(info.stdout)
print(json.dumps(described, indent=1)[:1500])
