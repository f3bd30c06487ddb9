"""
Denoise a time-lapse
====================

A fluorescence time-lapse recorded by a camera (Poisson photon noise scaled
by the gain, a dark level and read-out noise): quorvel estimates the noise
model from the frames alone and denoises with it.
"""

import matplotlib.pyplot as plt

import quorvel
from quorvel.demo import Camera, psnr, record, synthetic_sequence

# %%
# Eight frames of 128 x 128 pixels: moving spots and filaments on a dim
# background, as mean photon counts, then what a camera of gain 2, dark
# level 100 and read noise 3 records of them.
photons = synthetic_sequence((8, 128, 128), seed=0)
camera = Camera(gain=2.0, dark_level=100.0, read_noise=3.0)
movie = record(photons, camera, seed=1)
truth = camera.expected(photons)

# %%
# The noise model, estimated from the movie: the variance of a pixel of
# intensity I is ``gain * I + offset``; the camera's is gain 2 and offset
# ``3**2 - 2 * 100 = -191``.
model = quorvel.estimate_noise(movie, "TYX")
print(model)

# %%
# Denoise. The axes say that the first dimension is time: the search for
# similar patches reaches into neighbouring frames.
clean = quorvel.denoise(movie, "TYX", model=model)
print(f"PSNR noisy {psnr(truth, movie):.2f} dB, denoised {psnr(truth, clean):.2f} dB")

fig, axes = plt.subplots(1, 3, figsize=(9, 3.2))
for ax, frame, title in zip(
    axes, (movie, clean, truth), ("noisy", "denoised", "truth"), strict=True
):
    ax.imshow(frame[4], cmap="magma", vmin=truth.min(), vmax=truth.max())
    ax.set_title(title)
    ax.axis("off")
fig.tight_layout()
