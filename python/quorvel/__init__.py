"""quorvel: denoising of fluorescence microscopy images and time-lapse sequences.

>>> import quorvel
>>> clean = quorvel.denoise(stack, axes="TZYX")            # doctest: +SKIP
>>> quorvel.estimate_noise(stack, axes="TZYX")             # doctest: +SKIP
PoissonGaussianNoise(gain=(2.01,), offset=(-190.3,))

`denoise` estimates the noise itself unless told (a Gaussian sigma, or a
`PoissonGaussianNoise` model of a camera); `quorvel.io` reads and writes TIFF
files with their axis names.  The command line is ``quorvel`` (``python -m
quorvel``).
"""

from __future__ import annotations

from quorvel._api import (
    GaussianNoise,
    NoiseModel,
    NoiseSpec,
    PoissonGaussianNoise,
    denoise,
    estimate_noise,
)

__all__ = [
    "GaussianNoise",
    "NoiseModel",
    "NoiseSpec",
    "PoissonGaussianNoise",
    "__version__",
    "denoise",
    "estimate_noise",
]

__version__ = "0.1.0"
