"""``ImageData -> ImageData``: quorvel as a plain function for napari-workflows.

The annotations stay real types (no ``from __future__ import annotations``):
magicgui and napari-workflows read them at run time.
"""

from typing import Literal

from napari.types import ImageData

import quorvel
from quorvel.napari._settings import (
    parse_iterations,
    parse_patch_radius,
    parse_pvalue,
    parse_search,
)


def denoise_image(
    image: ImageData,
    axes: str = "",
    noise: Literal["auto", "gaussian", "poisson-gaussian"] = "auto",
    patch_radius: str = "",
    search: str = "",
    iterations: str = "",
    pvalue: str = "",
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
    patch_radius : str
        Half-size of the compared patches along X and Y, e.g. ``3``, or by
        axis, e.g. ``X=2,Y=2,T=1``.
    search : str
        Axes besides X and Y along which the search window grows, e.g.
        ``ZT`` or ``T=9``; ``none``: each frame and plane alone; empty:
        chosen for the image.
    iterations : str
        Number of iterations; each doubles the search window along X and Y.
    pvalue : str
        Significance level of the tests that reject dissimilar patches.
    tune : bool
        Choose patch radius, iterations and p-value for this image by the
        least estimated error, starting from those given.

    Settings left empty are chosen for the image, as `quorvel.denoise`
    chooses them (text fields: magicgui has no empty number field).

    Returns
    -------
    ImageData
        The denoised image, float32, of the shape of `image`.
    """
    return quorvel.denoise(
        image,
        axes or None,
        noise=noise,
        patch_radius=parse_patch_radius(str(patch_radius)),
        search=parse_search(str(search)),
        iterations=parse_iterations(str(iterations)),
        pvalue=parse_pvalue(str(pvalue)),
        tune=tune,
    )
