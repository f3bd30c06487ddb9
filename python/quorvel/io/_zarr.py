"""Zarr stores: single arrays with named dimensions, and OME-Zarr (NGFF) images.

An OME-Zarr image is read from its group at one resolution level, with the
axis names, units and scale of its multiscale metadata, its number of levels
and its ``omero`` channel labels, colours and colour model.  Images are
written as OME-Zarr 0.5 on zarr v3 (with a pyramid of levels halved in X and
Y, as many as the input had unless told) or as a single array; the metadata,
``omero`` included (labels, colours, the written values' range as display
window), is built and validated by ome-zarr-models.  quorvel's own record
(channel names and provenance; for single arrays colours and display mode
too) is the group's or array's ``quorvel`` attribute.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import warnings
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from quorvel.io import _display
from quorvel.io._image import LazyImage, valid_axes
from quorvel.io._units import checked_physical

if TYPE_CHECKING:
    from zarr.core.array_spec import ArrayConfigParams

# OME-Zarr axis order: time, channel, then space.
_NGFF_ORDER = "TCZYX"
_AXIS_TYPES = {"T": "time", "C": "channel", "Z": "space", "Y": "space", "X": "space"}
# Metadata kept under the store's ``quorvel`` attribute: of a single array
# (physical sizes too, as ``{axis: [size, unit]}``), and of an OME-Zarr group
# (whose ``omero`` metadata holds colours and mode, its scale the sizes).
_OWN_KEYS = ("physical", "channels", "colours", "mode", "provenance")
_OWN_GROUP_KEYS = ("channels", "provenance")


#: Most chunks of an array read: dask holds the chunk sizes of every axis in
#: memory (10**7 chunks: 6 s, 0.6 GB to open).
_MAX_READ_CHUNKS = 10**7
#: Chunks of only zeros are written too: a reader then tells a chunk that is
#: missing (a store copied or written in part) from one left out.
_EVERY_CHUNK: ArrayConfigParams = {"write_empty_chunks": True}


def _from_zarr(path: Path, array: Any) -> Any:
    """`array` as a dask array, refused when its metadata claims more chunks than can be held."""
    import dask.array as da

    count = math.prod(-(-n // max(c, 1)) for n, c in zip(array.shape, array.chunks, strict=True))
    if count > _MAX_READ_CHUNKS:
        raise ValueError(
            f"{path}: the array's metadata claims shape {tuple(array.shape)} in {count} chunks of "
            f"{tuple(array.chunks)}; at most {_MAX_READ_CHUNKS} chunks are read"
        )
    return da.from_zarr(array)


# How zarr fails on metadata files cut short or edited (JSON that does not
# parse, a required key missing): ValueError subclasses, KeyError, TypeError.
_DAMAGED = (json.JSONDecodeError, KeyError, TypeError)


def _damaged(path: Path, err: Exception) -> ValueError:
    reason = f"{type(err).__name__} {err}" if isinstance(err, KeyError) else str(err)
    return ValueError(
        f"{path}: the store's metadata are damaged ({' '.join(reason.split())[:160]}); "
        "nothing was read"
    )


def _check_chunks_stored(path: Path, array: Any, name: str = "the array") -> None:
    """Warn when chunks of `array` are not in its store: zarr reads them as the fill value.

    A store written in part (a copy or a write cut short) reads without an
    error, its missing chunks as zeros.  Writers may also leave out chunks
    that hold only the fill value (quorvel's own write every chunk), so
    this is a warning with the count, not a refusal; none at all stored is
    an array never written.  The files of a store in a folder are counted
    (each holds one chunk, or one shard of several).
    """
    folder = Path(path, *str(array.path or "").split("/"))
    shards = getattr(array, "shards", None) or array.chunks
    expected = math.prod(-(-n // max(c, 1)) for n, c in zip(array.shape, shards, strict=True))
    if not folder.is_dir() or not 0 < expected <= _MAX_READ_CHUNKS:
        return
    stored, folders = 0, [str(folder)]
    while folders and stored < expected:
        with os.scandir(folders.pop()) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    folders.append(entry.path)
                elif not (entry.name.startswith(".") or entry.name == "zarr.json"):
                    stored += 1
    if stored >= expected or stored == 0:
        return  # an array created and never written, or of the fill value only
    kind = "shards" if getattr(array, "shards", None) else "chunks"
    warnings.warn(
        f"{path}: {expected - stored} of the {expected} {kind} of {name} are missing from the "
        f"store and read as {_plain(array.fill_value)!r} (a store copied or written in part, "
        "unless its writer left out chunks of only that value)",
        UserWarning,
        stacklevel=3,
    )


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number it holds."""
    return value.item() if hasattr(value, "item") else value


def _zarr_axes(array: Any) -> str | None:
    """Axis names of a zarr array: its dimension names, else an ``axes`` attribute."""
    names = getattr(array.metadata, "dimension_names", None)
    candidates: list[Any] = []
    if names is not None and all(isinstance(n, str) for n in names):
        candidates.append("".join(names))
    attrs = array.attrs.asdict()
    candidates.append(attrs.get("axes"))
    dims = attrs.get("_ARRAY_DIMENSIONS")  # the xarray convention
    if isinstance(dims, list) and all(isinstance(n, str) for n in dims):
        candidates.append("".join(dims))
    for text in candidates:
        axes = valid_axes(text, array.ndim)
        if axes is not None:
            return axes
    return None


def _own_metadata(attrs: dict[str, Any], keys: tuple[str, ...] = _OWN_KEYS) -> dict[str, Any]:
    own = attrs.get("quorvel")
    return {k: own[k] for k in keys if k in own} if isinstance(own, dict) else {}


def read_zarr(path: Path, level: int = 0) -> LazyImage:
    """A zarr array, or one level of an OME-Zarr image, as a dask array."""
    array, axes, metadata = open_zarr(path, level)
    data = _from_zarr(path, array)
    # Before any pixel is read (not for the header: listing a large store takes a while).
    _check_chunks_stored(path, array, f"level {level}" if metadata.get("ome") else "the array")
    return LazyImage(data, axes, metadata)


def open_zarr(path: Path, level: int = 0) -> tuple[Any, str | None, dict[str, Any]]:
    """The zarr array of a store (or of one level of an OME-Zarr image), its axes and metadata."""
    import zarr

    try:
        node = zarr.open(store=str(path), mode="r")
    except FileNotFoundError as err:
        raise OSError(f"{path}: no zarr store") from err
    except _DAMAGED as err:
        raise _damaged(path, err) from err
    if isinstance(node, zarr.Array):
        if level:
            raise ValueError(f"{path}: a single array has no level {level}")
        metadata = _own_metadata(node.attrs.asdict())
        if "physical" in metadata:
            physical = metadata["physical"]
            metadata["physical"] = checked_physical(
                physical if isinstance(physical, dict) else {}, path
            )
        return node, _zarr_axes(node), metadata
    return _open_ome_image(path, node, level)


def _open_ome_image(path: Path, group: Any, level: int) -> tuple[Any, str | None, dict[str, Any]]:
    attrs = group.attrs.asdict()
    ome = attrs.get("ome") if isinstance(attrs.get("ome"), dict) else attrs
    if "multiscales" not in ome:
        names = sorted(group.array_keys())
        hint = (
            f"; it holds the arrays {', '.join(names)}: name one, e.g. {path}/{names[0]}"
            if names
            else "; it holds no array"
        )
        raise ValueError(f"{path}: a zarr group, not an array or OME-Zarr image{hint}")
    try:
        multiscale, datasets = _multiscale(ome)
    except ValueError as err:
        raise ValueError(f"{path}: invalid OME-Zarr metadata ({err})") from err
    if not 0 <= level < len(datasets):
        raise ValueError(f"{path}: no level {level}; the image has levels 0 to {len(datasets) - 1}")
    try:
        array = group[datasets[level]["path"]]
    except KeyError as err:
        raise ValueError(
            f"{path}: invalid OME-Zarr metadata (level {level} names the array "
            f"{datasets[level]['path']!r}, which the store does not hold)"
        ) from err
    except _DAMAGED as err:
        raise _damaged(path, err) from err
    _check_ome_metadata(path, group)
    axis_entries = [a if isinstance(a, dict) else {"name": a} for a in multiscale.get("axes", [])]
    names = [a.get("name") for a in axis_entries]
    text = "".join(names) if all(isinstance(n, str) for n in names) else None
    axes = valid_axes(text, array.ndim)
    transforms = datasets[level].get("coordinateTransformations") or []
    scale = next(
        (
            t["scale"]
            for t in transforms
            if isinstance(t, dict) and t.get("type") == "scale" and isinstance(t.get("scale"), list)
        ),
        None,
    )
    translation = next(
        (
            t["translation"]
            for t in transforms
            if isinstance(t, dict)
            and t.get("type") == "translation"
            and isinstance(t.get("translation"), list)
        ),
        None,
    )
    metadata: dict[str, Any] = {
        "ome": True,
        "levels": len(datasets) - level,
        **_own_metadata(attrs, _OWN_GROUP_KEYS),
    }
    if axes is not None and translation is not None and len(translation) == len(axes):
        # Where the level's first pixel lies (a coarser level's is offset by
        # half its pixel less half the finest one's): kept for its outputs.
        origin = {
            a: float(v)
            for a, v in zip(axes, translation, strict=True)
            if a in "TZYX" and isinstance(v, (int, float)) and math.isfinite(v) and v != 0
        }
        if origin:
            metadata["origin"] = origin
    if axes is not None and scale is not None and len(scale) == len(axes):
        physical = {
            a: (s, axis.get("unit") if isinstance(axis.get("unit"), str) else None)
            for a, s, axis in zip(axes, scale, axis_entries, strict=True)
            if a in "TZYX"
        }
        metadata["physical"] = {
            a: v
            for a, v in checked_physical(physical, path).items()
            if v[1] is not None or v[0] != 1.0
        }
    omero = ome.get("omero") or attrs.get("omero")
    n_channels = array.shape[axes.index("C")] if axes is not None and "C" in axes else 1
    for key, value in _display.read_omero(omero, n_channels).items():
        metadata.setdefault(key, value)  # names of the quorvel attribute first
    return array, axes, metadata


def _multiscale(ome: dict[str, Any]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The first multiscale of OME-Zarr metadata and its datasets, as far as reading needs them."""
    multiscales = ome.get("multiscales")
    if not (isinstance(multiscales, list) and multiscales and isinstance(multiscales[0], dict)):
        raise ValueError("'multiscales' is not a list of multiscale images")
    datasets = multiscales[0].get("datasets")
    if not (
        isinstance(datasets, list)
        and datasets
        and all(isinstance(d, dict) and isinstance(d.get("path"), str) for d in datasets)
    ):
        raise ValueError("the multiscale image has no list of datasets with paths")
    return multiscales[0], datasets


def _check_ome_metadata(path: Path, group: Any) -> None:
    """Validate OME-Zarr image metadata; what is off is a warning, read as far as it goes.

    Readers in use (ome-zarr-py, napari) read stores that the standard's
    models refuse, such as arrays of version 0.5 without dimension names.
    Other kinds of OME-Zarr groups (plates, wells, labels) are refused.
    """
    from ome_zarr_models import open_ome_zarr
    from ome_zarr_models.v04.image import Image as ImageV04
    from ome_zarr_models.v05.image import Image as ImageV05

    try:
        node = open_ome_zarr(group)
    except Exception:  # noqa: BLE001 - the image model below tells why
        pass
    else:
        if not isinstance(node, (ImageV04, ImageV05)):
            raise ValueError(f"{path}: an OME-Zarr {type(node).__name__}, not an image")
        return
    model = ImageV05 if isinstance(group.attrs.asdict().get("ome"), dict) else ImageV04
    try:
        model.from_zarr(group)
        return
    except Exception as err:  # noqa: BLE001 - reported as a warning
        reason = _validation_reason(err)
    warnings.warn(
        f"{path}: the OME-Zarr metadata is not valid ({reason}); read as far as it describes "
        "the image",
        UserWarning,
        stacklevel=4,
    )


def _validation_reason(err: Exception) -> str:
    """The first two problems a validation found, on one line."""
    errors = getattr(err, "errors", None)
    if callable(errors):
        with contextlib.suppress(Exception):
            items = []
            for e in errors()[:2]:
                where = ".".join(str(p) for p in e.get("loc", ()))
                text = str(e.get("msg", "")).removeprefix("Value error, ")
                items.append(f"{where}: {text}" if where else text)
            if items:
                return " ".join("; ".join(items).split())[:300]
    return " ".join(str(err).split())[:300]


def _regular(data: Any) -> Any:
    """`data` with equal chunks along each axis (the last one shorter), as zarr stores them."""
    chunks = tuple(max(1, c[0]) for c in data.chunks)
    regular = tuple(
        tuple([size] * (n // size) + ([n % size] if n % size else [])) if n else (0,)
        for size, n in zip(chunks, data.shape, strict=True)
    )
    return data if data.chunks == regular else data.rechunk(regular)


def _halved(data: Any, axes: str) -> Any:
    """`data` at half the resolution in X and Y: the mean of 2 x 2 pixels, in its dtype."""
    import dask.array as da
    import numpy as np

    factors = {axes.index(a): 2 for a in "YX" if data.shape[axes.index(a)] >= 2}
    trimmed = data[tuple(slice(0, n - n % factors.get(i, 1)) for i, n in enumerate(data.shape))]
    mean = da.coarsen(np.mean, trimmed.astype(np.float32), factors, trim_excess=True)
    if data.dtype.kind in "iu":
        info = np.iinfo(data.dtype)
        mean = da.clip(da.rint(mean), info.min, info.max)
    return mean.astype(data.dtype)


def pyramid_levels(plane: tuple[int, int]) -> int:
    """Levels of a pyramid over a ``(Y, X)`` plane: each halves both, down to more than 1 x 1.

    An axis of one pixel stays one pixel; the full resolution is always a level.
    """
    y, x = plane
    count = 1
    while (y // 2 if y >= 2 else y) * (x // 2 if x >= 2 else x) > 1:
        y, x = (y // 2 if y >= 2 else y), (x // 2 if x >= 2 else x)
        count += 1
    return count


def _ome_order(data: Any, axes: str) -> tuple[Any, str]:
    """`data` transposed to OME-Zarr's axis order (a colour axis S counts as channels)."""
    names = axes.replace("S", "C") if "C" not in axes else axes
    if "S" in names:
        raise ValueError(f"OME-Zarr holds one channel axis; the image has C and S ({axes})")
    order = "".join(a for a in _NGFF_ORDER if a in names)
    return data.transpose([names.index(a) for a in order]), order


def _multiscale_attributes(
    order: str, shapes: list[tuple[int, ...]], metadata: dict[str, Any]
) -> dict[str, Any]:
    """The ``ome`` attribute of an OME-Zarr 0.5 image, built and validated by ome-zarr-models."""
    from ome_zarr_models.v05.axes import Axis
    from ome_zarr_models.v05.image import ImageAttrs
    from ome_zarr_models.v05.multiscales import Dataset, Multiscale

    physical = metadata.get("physical", {})
    axes = [
        Axis(name=a.lower(), type=_AXIS_TYPES[a], unit=physical.get(a, (1.0, None))[1])
        for a in order
    ]
    base = [float(physical.get(a, (1.0, None))[0]) if a != "C" else 1.0 for a in order]
    given = metadata.get("origin")
    origin: dict[str, Any] = given if isinstance(given, dict) else {}
    first = [float(origin.get(a, 0.0)) if a != "C" else 0.0 for a in order]
    datasets = []
    factor = [1.0] * len(order)
    for level in range(len(shapes)):
        if level:  # `_halved` halves Y and X where they hold two pixels or more
            previous = shapes[level - 1]
            factor = [
                f * 2.0 if a in "YX" and previous[i] >= 2 else f
                for i, (a, f) in enumerate(zip(order, factor, strict=True))
            ]
        scale = [b * f for b, f in zip(base, factor, strict=True)]
        translation = [o + b * (f - 1.0) / 2.0 for o, b, f in zip(first, base, factor, strict=True)]
        moved = any(translation)
        datasets.append(
            Dataset.build(path=str(level), scale=scale, translation=translation if moved else None)
        )
    multiscale = Multiscale(axes=tuple(axes), datasets=tuple(datasets), name="quorvel")
    attrs = ImageAttrs(multiscales=[multiscale], version="0.5")
    return attrs.model_dump(mode="json", exclude_none=True)


def write_zarr(
    path: str | Path,
    data: Any,
    axes: str,
    metadata: dict[str, Any] | None = None,
    *,
    ome: bool = False,
    levels: int | None = None,
) -> Any:
    """Prepare writing a dask array into a new zarr store, chunk by chunk.

    Parameters
    ----------
    path : str or path-like
        The ``.zarr`` store to create; an existing store there is replaced.
    data : dask.array.Array
        The pixels.  Zarr chunks take the size of its first chunk along each
        axis; the array is re-cut to match where its chunks differ.
    axes : str
        One letter per dimension of `data`.
    metadata : dict, optional
        As in `quorvel.io.ImageData.metadata`: physical sizes become the
        OME-Zarr scale and units; channel names, colours and display mode
        the ``omero`` metadata of an OME-Zarr image; channel names and
        provenance are kept in the ``quorvel`` attribute too (and, for a
        single array, physical sizes, colours and display mode).
    ome : bool, optional
        Write an OME-Zarr 0.5 image (a group with the levels ``0``, ``1``,
        ...) instead of a single array with its axes as dimension names.
    levels : int, optional
        Resolution levels of an OME-Zarr image: each after the first halves
        X and Y; by default the ``levels`` of `metadata` (an OME-Zarr
        input's), else 1 (full resolution only).  At most the levels larger
        than 1 x 1 pixel (`pyramid_levels`), with a warning when fewer than
        asked.

    Returns
    -------
    dask.delayed.Delayed
        Computing it computes `data` and writes each chunk as soon as it is
        ready (then, for OME-Zarr, the ``omero`` metadata with the range of
        the values written).
    """
    import dask.array as da
    import zarr
    from dask import delayed

    if len(axes) != data.ndim:
        raise ValueError(f"axes {axes!r} do not fit an image of shape {data.shape}")
    metadata = metadata or {}
    if "physical" in metadata:
        metadata = {**metadata, "physical": checked_physical(metadata["physical"], path)}
    if not ome:
        if levels not in (None, 1):
            raise ValueError("a pyramid is written as OME-Zarr: name the output *.ome.zarr")
        data = _regular(data)
        attributes: dict[str, Any] = {"axes": axes}
        own = _own_record(metadata, _OWN_KEYS)
        if own:
            attributes["quorvel"] = own
        target = zarr.create_array(
            store=str(path),
            shape=data.shape,
            chunks=tuple(c[0] for c in data.chunks),
            dtype=data.dtype,
            dimension_names=list(axes),
            attributes=attributes,
            overwrite=True,
            config=_EVERY_CHUNK,
        )
        # Every dask chunk is one zarr chunk, so the chunks are written without
        # locks as soon as each is done.  (`dask.array.to_zarr` into an existing
        # array would first merge chunks up to dask's default chunk size.)
        return da.store(data, target, lock=False, compute=False)

    data, order = _ome_order(data, axes)
    y, x = (data.shape[order.index(a)] if a in order else 1 for a in "YX")
    plane = (y, x)
    fitting = pyramid_levels(plane)
    if levels is None:  # the input's, as far as they fit
        given = metadata.get("levels")
        levels = min(given, fitting) if isinstance(given, int) and given > 0 else 1
    if levels > fitting:
        warnings.warn(
            f"pyramid: a {plane[0]} x {plane[1]} image has {fitting} levels larger than "
            f"1 x 1 pixel; writing {fitting}, not {levels}",
            UserWarning,
            stacklevel=2,
        )
        levels = fitting
    pyramid = [_regular(data)]
    for _ in range(1, levels):
        pyramid.append(_regular(_halved(pyramid[-1], order)))
    n_channels = pyramid[0].shape[order.index("C")] if "C" in order else 1
    _display.omero_attributes(metadata, n_channels, [(0.0, 1.0)] * n_channels)  # checked now
    group = zarr.open_group(store=str(path), mode="w", zarr_format=3)
    group.attrs.update({"ome": _multiscale_attributes(order, [p.shape for p in pyramid], metadata)})
    own = _own_record(metadata, _OWN_GROUP_KEYS)
    if own:
        group.attrs["quorvel"] = own
    targets = [
        group.create_array(
            str(level),
            shape=level_data.shape,
            chunks=tuple(c[0] for c in level_data.chunks),
            dtype=level_data.dtype,
            dimension_names=[a.lower() for a in order],
            config=_EVERY_CHUNK,
        )
        for level, level_data in enumerate(pyramid)
    ]
    stored = da.store(pyramid, targets, lock=False, compute=False)
    display = {k: metadata[k] for k in ("channels", "colours", "luts", "mode") if k in metadata}
    coarsest = str(len(pyramid) - 1)
    return delayed(_write_omero, pure=False)(
        stored, str(path), display, n_channels, order, coarsest
    )


def _own_record(metadata: dict[str, Any], keys: tuple[str, ...]) -> dict[str, Any]:
    own = {k: metadata[k] for k in keys if k in metadata}
    if "colours" in own:
        own["colours"] = _display.checked_colours(own["colours"])
    if "mode" in own:
        own["mode"] = _display.checked_mode(own["mode"])
    return {k: v for k, v in own.items() if v is not None}


def _channel_range(data: Any, order: str) -> tuple[Any, Any]:
    """The smallest and largest finite value of each channel, as lazy arrays of one per channel."""
    import dask.array as da
    import numpy as np

    if "C" not in order:
        data = data[None]
        order = "C" + order
    others = tuple(i for i, a in enumerate(order) if a != "C")
    if data.dtype.kind == "f":
        finite = da.isfinite(data)
        low = da.where(finite, data, np.inf).min(axis=others)
        high = da.where(finite, data, -np.inf).max(axis=others)
        return low, high
    return data.min(axis=others), data.max(axis=others)


def _write_omero(
    _: Any, path: str, metadata: dict[str, Any], n_channels: int, order: str, level: str
) -> None:
    """Add the ``omero`` metadata to a written OME-Zarr image, its window the values' range.

    The range is read back from the coarsest level written, chunk by chunk
    (computing it with the levels themselves would compute them again).
    """
    import dask.array as da
    import zarr

    group = zarr.open_group(store=path, mode="r+")
    low, high = da.compute(
        *_channel_range(da.from_zarr(group[level]), order), scheduler="synchronous"
    )
    windows = list(zip(low.tolist(), high.tolist(), strict=True))
    ome = dict(cast("Mapping[str, Any]", group.attrs["ome"]))  # an object: this module wrote it
    ome["omero"] = _display.omero_attributes(metadata, n_channels, windows)
    group.attrs["ome"] = ome


def annotate_zarr(path: str | Path, metadata: dict[str, Any]) -> None:
    """Record channel names and provenance in the ``quorvel`` attribute of a written store.

    The chunked path learns its noise model while the chunks are written, so
    its record is added once they are.
    """
    import zarr

    node = zarr.open(store=str(path), mode="r+")
    keys = _OWN_KEYS if isinstance(node, zarr.Array) else _OWN_GROUP_KEYS
    node.attrs["quorvel"] = {
        **_own_metadata(node.attrs.asdict(), keys),
        **_own_record(metadata, keys),
    }
