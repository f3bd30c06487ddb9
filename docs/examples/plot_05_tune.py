"""
Settings chosen per image: ``tune=True``
========================================

The tuner scores candidate settings on a few crops of the image with an
unbiased estimate of their mean squared error (Monte-Carlo SURE), without
the clean image, and denoises with the best.
"""

import logging
import sys

import numpy as np

import quorvel
from quorvel.demo import psnr

# %%
# A texture of stripes with Gaussian noise of sigma 25.
yy, xx = np.mgrid[0:128, 0:128]
truth = 128 + 80 * np.sin(xx / 3.0) * np.cos(yy / 11.0)
noisy = truth + np.random.default_rng(0).normal(0, 25, truth.shape)

logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout, force=True)
default = quorvel.denoise(noisy, noise="gaussian", sigma=25)
tuned = quorvel.denoise(noisy, noise="gaussian", sigma=25, tune=True)  # logs its choice
print(
    f"PSNR noisy {psnr(truth, noisy):.2f} dB, default {psnr(truth, default):.2f} dB, "
    f"tuned {psnr(truth, tuned):.2f} dB"
)
