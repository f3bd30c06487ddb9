"""The engine as a block kernel of `quorvel._chunked.denoise_lazy`, for tests and benchmarks.

The package's own lazy path wraps its kernel around the settings it checked;
this one takes the engine's parameters as they are, so that a test can run
any geometry (radius, search, iterations) block by block.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import _engine


def core_kernel(
    work: npt.NDArray[np.float32],
    noise: float | tuple[Sequence[float], Sequence[float]],
    n_threads: int,
    *,
    radius5: Sequence[int],
    search5: Sequence[int],
    max_iter: int,
    pvalue: float,
    renoise: float,
    kernel: str = "fast",
) -> npt.NDArray[np.float32]:
    """Denoise a block with the engine: Gaussian for a sigma, else ``(gain, offset)``.

    Parameters
    ----------
    work : ndarray of float32
        A fresh C-contiguous core-layout block; it is overwritten.
    noise : float or (sequence of float, sequence of float)
        The Gaussian sigma, or the per-channel gain and offset of a
        Poisson-Gaussian model.
    n_threads : int
        OpenMP threads.
    radius5, search5, max_iter, pvalue, renoise, kernel
        The engine's parameters.

    Returns
    -------
    ndarray of float32
        The denoised block (`work` itself).
    """
    options: dict[str, Any] = {
        "patch_radius": list(radius5),
        "search": list(search5),
        "max_iter": max_iter,
        "pvalue": pvalue,
        "threads": n_threads,
        "renoise": renoise,
        "kernel": kernel,
    }
    if isinstance(noise, tuple):
        gain, offset = noise
        out: npt.NDArray[np.float32] = _engine.denoise_poisson_gaussian(
            work, sigma=1.0, gain=list(gain), offset=list(offset), **options
        )
        return out
    gaussian: npt.NDArray[np.float32] = _engine.denoise_gaussian(
        work, sigma=float(noise), **options
    )
    return gaussian
