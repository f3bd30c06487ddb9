"""What the plugin reads from a napari image layer and how its results are placed.

Functions here take napari layers but import neither napari nor Qt, so that
the rules (which axes a layer has, which part of it a preview covers, where a
result goes) read in one place.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvel._axes import normalize_axes
from quorvel._provenance import provenance_record
from quorvel.napari._settings import run_parameters

if TYPE_CHECKING:
    from quorvel.napari import _jobs

#: Axis names assumed by the number of non-RGB dimensions of a layer.  2-D
#: and 3-D follow `quorvel.denoise`; 4-D and 5-D are the usual order of
#: microscopy files (a guess the user can correct in the widget).
GUESS_BY_NDIM = {1: "X", 2: "YX", 3: "ZYX", 4: "TZYX", 5: "TCZYX"}

#: Largest preview along Y and X, so that a preview stays quick on a large
#: frame seen whole; a larger visible region is cut around its centre.
PREVIEW_MAX = 1024


def layer_data(layer: Any) -> Any:
    """The array of an image layer: level 0 of a multiscale layer.

    Parameters
    ----------
    layer : napari.layers.Image
        The layer.

    Returns
    -------
    array-like
        NumPy, dask or any other array the layer holds, not converted.
    """
    return layer.data[0] if layer.multiscale else layer.data


def _valid_axes(axes: str, ndim: int) -> bool:
    try:
        normalize_axes(axes, ndim)
    except ValueError:
        return False
    return True


def layer_axes(layer: Any, viewer_labels: Sequence[str] = ()) -> tuple[str, str]:
    """Axis names of an image layer, one letter per dimension of its data, and where from.

    Parameters
    ----------
    layer : napari.layers.Image
        The layer.  Its metadata ``"axes"`` (written by quorvel's reader)
        wins when it names every dimension; then its axis labels, then
        `viewer_labels`, when they are axis letters (T, C or S, Z, Y, X);
        else the names follow the number of dimensions.  An RGB(A) layer's
        last axis is ``C``.
    viewer_labels : sequence of str
        The viewer's axis labels (``viewer.dims.axis_labels``); the last
        ones belong to the layer.

    Returns
    -------
    axes : str
        Axis letters, valid for `quorvel.denoise`, except for data of more
        than five dimensions, for which no guess is made (``""``).
    source : {'metadata', 'labels', 'dimensions', ''}
        Where they come from: the layer's metadata, axis labels (the
        layer's or the viewer's), a guess from the number of dimensions,
        or nowhere (no axes).
    """
    ndim = layer_data(layer).ndim
    named = layer.metadata.get("axes") if isinstance(layer.metadata, dict) else None
    if isinstance(named, str) and _valid_axes(named, ndim):
        return named.upper(), "metadata"
    colour = "S" if layer.rgb else ""  # samples (RGB): denoised together by default
    n_dims = ndim - len(colour)
    layer_labels = tuple(layer.axis_labels)
    for labels in (layer_labels, tuple(viewer_labels)[-n_dims:] if n_dims else ()):
        letters = "".join(str(label).strip().upper() for label in labels)
        if len(labels) == n_dims == len(letters) and _valid_axes(letters + colour, ndim):
            return letters + colour, "labels"
    guess = GUESS_BY_NDIM.get(n_dims, "")
    if guess and _valid_axes(guess + colour, ndim):
        return guess + colour, "dimensions"
    return "", ""


def guess_axes(layer: Any, viewer_labels: Sequence[str] = ()) -> str:
    """The axis names of `layer_axes`, without their source."""
    return layer_axes(layer, viewer_labels)[0]


def _visible_range(corners: Any, axis: int, factor: float, size: int) -> tuple[int, int]:
    start = int(np.floor(corners[0][axis] * factor))
    stop = int(np.ceil((corners[1][axis] + 1) * factor))
    start, stop = max(0, start), min(size, stop)
    return (start, stop) if stop - start > 1 else (0, size)


def _cap(start: int, stop: int, cap: int) -> tuple[int, int]:
    if stop - start <= cap:
        return start, stop
    middle = (start + stop) // 2
    return middle - cap // 2, middle - cap // 2 + cap


def preview_region(
    layer: Any,
    axes: str,
    world_point: Sequence[float],
    displayed: Sequence[int],
    cap: int = PREVIEW_MAX,
) -> tuple[slice, ...]:
    """The part of a layer a preview denoises: the visible part of the current plane.

    Parameters
    ----------
    layer : napari.layers.Image
        The layer; its ``corner_pixels`` tell what the canvas shows.
    axes : str
        Axis names of the layer's data (`guess_axes` or the user's).
    world_point : sequence of float
        The viewer's current position (``viewer.dims.point``).
    displayed : sequence of int
        The viewer's displayed dimensions (``viewer.dims.displayed``).
    cap : int
        Largest extent along a displayed axis, or along Y and X.

    Returns
    -------
    tuple of slice
        One slice per data axis (level 0 of a multiscale layer): channels
        whole; displayed axes cut to what the canvas shows (the whole axis
        before the canvas has drawn the layer) and to at most `cap` around
        the centre; Y and X whole (up to `cap`) when not displayed; other
        axes (T, Z) the one index the viewer is at.
    """
    shape = layer_data(layer).shape
    axes = normalize_axes(axes, len(shape))
    n_dims = layer.ndim
    offset = len(world_point) - n_dims
    shown = {d - offset for d in displayed if d >= offset}
    position = np.asarray(layer.world_to_data(world_point), dtype=np.float64)
    # Corners are in pixels of the level on screen; level 0 is what is denoised.
    factors = layer.downsample_factors[layer.data_level] if layer.multiscale else None
    slices = []
    for axis, (letter, size) in enumerate(zip(axes, shape, strict=True)):
        if letter == "C" or axis >= n_dims:  # channels, or the colour axis of RGB
            start, stop = 0, size
        elif axis in shown:
            factor = 1.0 if factors is None else float(factors[axis])
            start, stop = _cap(*_visible_range(layer.corner_pixels, axis, factor, size), cap)
        elif letter in "YX":
            start, stop = _cap(0, size, cap)
        else:
            index = int(np.clip(np.rint(position[axis]), 0, size - 1))
            start, stop = index, index + 1
        slices.append(slice(start, stop))
    return tuple(slices)


def placement(layer: Any, start: Sequence[int] | None = None) -> dict[str, Any]:
    """Keyword arguments that put a new image layer where `layer` is.

    Parameters
    ----------
    layer : napari.layers.Image
        The source layer.
    start : sequence of int, optional
        Data index of the new layer's first pixel within `layer` (one per
        layer dimension or per data axis), for a result of a region.

    Returns
    -------
    dict
        ``scale``, ``translate``, ``rotate``, ``shear``, ``affine``,
        ``axis_labels`` and ``units`` for `napari.Viewer.add_image`, with the
        translation moved by `start` pixels.
    """
    scale = np.asarray(layer.scale, dtype=np.float64)
    translate = np.asarray(layer.translate, dtype=np.float64)
    if start is not None:
        translate = translate + scale * np.asarray(start[: layer.ndim], dtype=np.float64)
    return {
        "scale": scale,
        "translate": translate,
        "rotate": layer.rotate,
        "shear": layer.shear,
        "affine": layer.affine,
        "axis_labels": layer.axis_labels,
        "units": layer.units,
    }


def result_look(layer: Any) -> dict[str, Any]:
    """How a result of `layer` is shown: as the layer is (RGB, contrast, colormap)."""
    look: dict[str, Any] = {"rgb": layer.rgb, "contrast_limits": layer.contrast_limits}
    if not layer.rgb:
        look["colormap"] = layer.colormap
    return look


def result_metadata(
    layer: Any, axes: str, options: dict[str, Any], outcome: _jobs.Outcome, variance: bool
) -> dict[str, Any]:
    """The metadata of a result of `layer`: its own, the axes and the run's provenance."""
    metadata = dict(layer.metadata)
    source = metadata.get("source")
    axes = normalize_axes(axes or None, outcome.denoised.ndim)
    parameters = run_parameters(axes, options, outcome.tuned, variance, outcome.choice)
    if isinstance(metadata.get("series"), int):  # the image series of the source file
        parameters["series"] = metadata["series"]
    metadata["axes"] = axes
    metadata["provenance"] = provenance_record(
        outcome.plan, parameters, source=source if isinstance(source, str) else None
    )
    return metadata
