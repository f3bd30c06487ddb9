"""
The noise model of a camera
===========================

How the noise of a fluorescence image grows with intensity, what
`quorvel.estimate_noise` fits to it, and a camera's model measured from
dark and flat frames with `quorvel.noise.camera.calibrate_camera`.
"""

import matplotlib.pyplot as plt
import numpy as np

import quorvel
from quorvel.demo import Camera, record, synthetic_sequence
from quorvel.noise.camera import calibrate_camera

camera = Camera(gain=2.0, dark_level=100.0, read_noise=3.0)

# %%
# Twenty frames of one static scene: each pixel's mean and variance over
# time draw the line ``variance = gain * intensity + offset``.
scene = synthetic_sequence((1, 96, 96), seed=3)
frames = record(np.repeat(scene, 20, axis=0), camera, seed=4)
mean, variance = frames.mean(axis=0).ravel(), frames.var(axis=0, ddof=1).ravel()

model = quorvel.estimate_noise(frames, "TYX")
print(model)

fig, ax = plt.subplots(figsize=(5, 3.5))
ax.scatter(mean, variance, s=2, alpha=0.3, label="pixels over 20 frames")
xs = np.linspace(mean.min(), mean.max(), 2)
ax.plot(xs, model.gain[0] * xs + model.offset[0], c="C3", label="estimated line")
ax.set_xlabel("mean intensity")
ax.set_ylabel("variance")
ax.legend()
fig.tight_layout()

# %%
# A camera's own model: dark frames (no light) give the dark level and the
# read noise, pairs of flat frames at a few light levels the gain.
dark = record(np.zeros((10, 64, 64)), camera, seed=5)
flats = [
    record(np.full((2, 64, 64), level), camera, seed=6 + i) for i, level in enumerate((20.0, 80.0))
]
calibration = calibrate_camera(dark, flats)
print(
    calibration.model,
    f"dark level {calibration.dark_level:.1f}, read noise {calibration.read_noise:.2f}",
)
