"""
A two-channel z-stack
=====================

Axes tell quorvel which dimension is depth and which holds channels:
planes are searched as neighbours, channels never mixed. Each channel has
its own noise model.
"""

import matplotlib.pyplot as plt
import numpy as np

import quorvel
from quorvel.demo import Camera, psnr, record

# %%
# A stack of 12 planes of 96 x 96 pixels, two channels: blobs in the first,
# a shell around them in the second, the second channel dimmer and on a
# camera with another gain. Axes ``"ZCYX"``.
zz, yy, xx = np.mgrid[0:12, 0:96, 0:96].astype(float)
rng = np.random.default_rng(0)
blobs = np.zeros((12, 96, 96))
shell = np.zeros((12, 96, 96))
for cz, cy, cx in rng.uniform((3, 15, 15), (9, 81, 81), (6, 3)):
    r2 = (zz - cz) ** 2 * 4 + (yy - cy) ** 2 + (xx - cx) ** 2
    blobs += 40 * np.exp(-r2 / 40)
    shell += 15 * np.exp(-((np.sqrt(r2) - 9) ** 2) / 4)
photons = np.stack([blobs + 3, shell + 2], axis=1)
cameras = (Camera(gain=2.0), Camera(gain=0.8))
stack = np.stack([record(photons[:, c], cameras[c], seed=c) for c in (0, 1)], axis=1)
truth = np.stack([cameras[c].expected(photons[:, c]) for c in (0, 1)], axis=1)

# %%
# One gain and offset per channel.
print(quorvel.estimate_noise(stack, "ZCYX"))

# %%
# Denoised with the settings chosen for the stack (here patches three planes
# deep), and with patches one plane deep.
clean = quorvel.denoise(stack, "ZCYX")
flat = quorvel.denoise(stack, "ZCYX", patch_radius={"X": 3, "Y": 3, "Z": 0})
for c in (0, 1):
    print(
        f"channel {c}: noisy {psnr(truth[:, c], stack[:, c]):.2f} dB, "
        f"default {psnr(truth[:, c], clean[:, c]):.2f} dB, "
        f"one plane deep {psnr(truth[:, c], flat[:, c]):.2f} dB"
    )

fig, axes = plt.subplots(2, 2, figsize=(6, 6))
for c in (0, 1):
    for ax, image, title in zip(axes[c], (stack, clean), ("noisy", "denoised"), strict=True):
        ax.imshow(image[6, c], cmap="gray")
        ax.set_title(f"channel {c}, {title}")
        ax.axis("off")
fig.tight_layout()
