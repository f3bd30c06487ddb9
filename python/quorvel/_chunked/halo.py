"""The halo a block needs so that its core equals the whole image's, per axis.

Let ``p`` be the patch radius along an axis and ``w_k`` the search-window
half-size of iteration ``k`` (``2**k`` along X and Y, ``k`` along Z,
``max(0, k - 2)`` along T when those are searched, 0 otherwise).  In one
iteration a pixel's new value is made from the reference patches that cover
it (within ``p``), their candidates (within ``w_k`` of those) and the
candidates' patches (within ``p`` of those): it depends on the previous
iteration within ``2 p + w_k``.

A block differs from the whole image only near its cut edges, where it sees
three things the whole image does not: candidate windows clipped at the cut
(pixels within ``2 p + w_k`` of it), reference positions missing beyond the
cut (within ``2 p``), and the dense "far plane" of reference positions that
the denoiser adds on the last patch position of every axis with ``p > 1``
(within ``2 p + 1`` of the far cut).  Every iteration the differences spread
inward by ``2 p + w_k``.  A core that lies further than

    D = sum over k of (2 p + w_k), plus 1 if p > 1 and w_0 = 0

from every cut is therefore computed from exactly the same values, in the
same order, as in the whole image, provided that

* the reference grid of a block coincides with that of the image: the grid
  starts at ``p`` in every block with a step of ``p + 1`` (X, Y, and Z when
  the stack is longer than ``4 p + 1``) or ``p`` (T), so every block must
  start at a multiple of that step.  The halo is rounded up to a multiple of
  the step and chunk boundaries must lie on multiples of it;
* every block has the step the image has (a block along Z must also be longer
  than ``4 p + 1`` when the image is) and holds at least ``2 p + 1`` pixels;
* blocks at the image's edges get no padding (``boundary='none'``), so the
  image's own far planes are theirs;
* the sums per pixel are added in the same order, which the compute core
  guarantees for any thread count.

Channels are never cut: a patch spans all channels of its pixels, so the
weights depend on every channel at once.

With patch radius 3 along X and Y, 4 iterations and the growing window
along Z and T the halo is 40 pixels along X and Y (39 rounded up to the
grid step 4), 6 planes along Z and 1 time point along T.  A reach ``r``
along T takes ``n (r + 2 p)`` frames in ``n`` iterations: 36 for a still
sequence searched 9 frames to each side in 4 iterations.  Frames asked for
in chunks shorter than that (``T=1``) are denoised in blocks of the halo's
length, each read with a halo on both sides, and handed out in the chunks
asked for: a block then holds up to three times the halo in frames, and the
frames are denoised about three times over (less with longer chunks).
"""

from __future__ import annotations

from collections.abc import Sequence

from quorvel import _engine

__all__ = ["LIST_INDEX", "core_radius", "grid_step", "halo", "search_half_sizes", "searched"]

#: Index of each core axis in the radius and search lists of the core.
LIST_INDEX = {"X": 0, "Y": 1, "Z": 2, "C": 3, "T": 4}


def core_radius(axis: str, extent: int, radius5: Sequence[int]) -> int:
    """Patch radius the core uses along `axis` (0 along C and axes of length 1)."""
    if axis == "C" or extent == 1:
        return 0
    return int(radius5[LIST_INDEX[axis]])


def searched(axis: str, extent: int, search5: Sequence[int]) -> bool:
    """Whether the core grows its search window along `axis`."""
    if extent <= 1 or axis == "C":
        return False
    return axis in "XY" or bool(search5[LIST_INDEX[axis]])


def search_half_sizes(
    axis: str, extent: int, searched: bool, max_iter: int, reach: int = -1
) -> list[int]:
    """Search-window half-size along one axis in each iteration.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image along `axis`.
    searched : bool
        Whether the window grows along `axis` (X and Y always do).
    max_iter : int
        Number of iterations.
    reach : int, default -1
        Largest half-size along `axis`; -1 for none.

    Returns
    -------
    list of int
        ``2**k`` along X and Y, ``k`` along Z, ``max(0, k - 2)`` along T, for
        ``k = 0 .. max_iter - 1``; zeros for C, axes of length 1 and axes not
        searched.  With a reach: at most the reach along X and Y, the reach
        in every iteration along Z and T.
    """
    if extent <= 1 or not searched or axis == "C":
        return [0] * max_iter
    return list(_engine.search_half_sizes(LIST_INDEX[axis], extent, True, max_iter, reach))


def grid_step(axis: str, extent: int, radius: int) -> int:
    """Step of the reference grid along one axis.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image (or block) along `axis`.
    radius : int
        Patch radius along `axis`.

    Returns
    -------
    int
        ``radius + 1`` along X and Y, along Z only when `extent` exceeds
        ``4 * radius + 1``; `radius` along T; 1 for a radius of 0 and for C.
    """
    return int(_engine.grid_step(LIST_INDEX[axis], extent, radius))


def halo(
    axis: str, extent: int, radius: int, searched: bool, max_iter: int, reach: int = -1
) -> int:
    """Distance over which a pixel's result depends on its neighbours.

    Parameters
    ----------
    axis : {'T', 'C', 'Z', 'Y', 'X'}
        The core axis.
    extent : int
        Length of the image along `axis`.
    radius : int
        Patch radius along `axis`.
    searched : bool
        Whether the search window grows along `axis`.
    max_iter : int
        Number of iterations.
    reach : int, default -1
        Largest search half-size along `axis` (`search_half_sizes`).

    Returns
    -------
    int
        ``sum_k (2 * radius + w_k)``, plus 1 when ``radius > 1`` and the first
        window is 0 (the far plane of reference positions then reaches one
        pixel further than the first window); 0 along C.  Not yet rounded to
        the grid step.
    """
    if axis == "C" or extent <= 1:
        return 0
    reach = reach if searched else -1  # an axis not searched has no window
    return int(_engine.halo(LIST_INDEX[axis], extent, radius, searched, max_iter, reach))
