"""
Larger than memory: dask arrays
===============================

A dask array is denoised chunk by chunk, each chunk with a halo of its
neighbours as wide as a pixel's result depends on them: the result equals
that of the whole image in memory, bit for bit.
"""

import dask.array as da
import numpy as np

import quorvel
from quorvel.demo import Camera, record, synthetic_sequence

movie = record(synthetic_sequence((6, 160, 160), seed=0), Camera(), seed=1).astype(np.float32)

# %%
# Chunks of 2 frames and 80 x 80 pixels, as a zarr store would hold them.
lazy = da.from_array(movie, chunks=(2, 80, 80))
model = quorvel.estimate_noise(lazy, "TYX")  # delayed: nothing read yet
clean = quorvel.denoise(lazy, "TYX", model=model)  # lazy float32 dask array
print(clean)

# %%
# Computing it (or ``clean.to_zarr(path)``) runs the chunks; with the noise
# model of the in-memory image, the result is the same.
result = clean.compute()
in_memory = quorvel.denoise(movie, "TYX", model=model.compute())
print("equal to the in-memory result:", np.array_equal(result, in_memory))
