"""quorvel: denoising of fluorescence microscopy images and time-lapse sequences.

>>> import quorvel
>>> from quorvel.demo import Camera, record, synthetic_sequence
>>> movie = record(synthetic_sequence((6, 64, 64)), Camera())    # a noisy time-lapse
>>> clean = quorvel.denoise(movie, "TYX")
>>> print(quorvel.estimate_noise(movie, "TYX"))
gain 2.012, offset -192.2 (standard errors 0.1437, 15.56), sigma 6.05

`denoise` estimates the noise itself unless told (``noise="gaussian"`` with a
`sigma`, or a `NoiseModel` of a camera); `estimate_noise` returns that model.
`quorvel.io` reads and writes TIFF (ImageJ, OME), ``.npy``, zarr and OME-Zarr
files with their axis names and physical sizes.
The command line is ``quorvel`` (``python -m quorvel``).
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from quorvel._api import NoiseModel, denoise, estimate_noise

__all__ = ["NoiseModel", "__version__", "denoise", "estimate_noise"]

try:
    __version__ = version("quorvel")  # pyproject.toml's, as installed
except PackageNotFoundError:  # the sources on sys.path without an installation
    __version__ = "0+unknown"
