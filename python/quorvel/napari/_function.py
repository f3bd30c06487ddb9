"""``ImageData -> ImageData``: quorvel as a plain function for napari-workflows.

The annotations stay real types (no ``from __future__ import annotations``):
magicgui and napari-workflows read them at run time.
"""

from typing import Literal

from napari.types import ImageData

import quorvel
from quorvel._params import DEFAULT_SEARCH


def denoise_image(
    image: ImageData,
    axes: str = "",
    noise: Literal["auto", "gaussian", "poisson-gaussian"] = "auto",
    patch_radius: int = 3,
    search: str = DEFAULT_SEARCH,
    iterations: int = 4,
    pvalue: float = 0.01,
    tune: bool = False,
) -> ImageData:
    """Denoise an image with `quorvel.denoise`, the noise estimated from the image.

    Parameters
    ----------
    image : ImageData
        NumPy or dask array of 1 to 5 dimensions; a dask array gives a lazy
        result, denoised chunk by chunk.
    axes : str
        Axis letters (T, C or S, Z, Y, X), one per dimension; empty: ``YX``
        for 2-D, ``ZYX`` for 3-D data.
    noise : {'auto', 'gaussian', 'poisson-gaussian'}
        Noise model, estimated from the image.
    patch_radius : int
        Half-size of the compared patches along X and Y.
    search : str
        Axes besides X and Y along which the search window grows.
    iterations : int
        Number of iterations; each doubles the search window along X and Y.
    pvalue : float
        Significance level of the tests that reject dissimilar patches.
    tune : bool
        Choose patch radius, iterations and p-value for this image by the
        least estimated error, starting from those given.

    Returns
    -------
    ImageData
        The denoised image, float32, of the shape of `image`.
    """
    return quorvel.denoise(
        image,
        axes or None,
        noise=noise,
        patch_radius=patch_radius,
        search=search,
        iterations=iterations,
        pvalue=pvalue,
        tune=tune,
    )
