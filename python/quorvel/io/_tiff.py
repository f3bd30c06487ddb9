"""TIFF files: plain, ImageJ hyperstacks and OME-TIFF.

The axis names come from the file's metadata (ImageJ hyperstacks are
``TZCYX`` in that order, RGB images ``YXS``, OME-TIFF any order).  Physical
sizes (X, Y, Z), the time increment, channel names and how the channels are
shown (ImageJ lookup tables and display mode, OME channel colours; see
`quorvel.io._display`) are read from the OME-XML or the ImageJ metadata and
written into ImageJ and OME-TIFF files, where the image lies (its first
plane's position) into and from OME-TIFF files; other TIFF files hold the axes,
physical sizes, channel names, colours and provenance in a JSON description.
"""

from __future__ import annotations

import contextlib
import json
import math
import uuid
import warnings
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel.io import _display
from quorvel.io._image import ImageData, ImageHeader, valid_axes
from quorvel.io._levels import at_level
from quorvel.io._units import checked_physical, convert, convertible, unit_name, unit_symbol
from quorvel.io._whole import check_data_within_file, refusing_cut_files

# ImageJ stores hyperstacks in this axis order, and only these sample types.
_IMAGEJ_ORDER = "TZCYXS"
_IMAGEJ_DTYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32))
# The sample types OME-XML names.
_OME_DTYPES = (
    *("int8", "int16", "int32", "uint8", "uint16", "uint32"),
    *("float32", "float64", "complex64", "complex128", "bool"),
)
# ImageJ metadata that describes the geometry, kept when writing.
_IMAGEJ_KEYS = ("spacing", "unit", "finterval")
# The namespace of the map annotation that holds a quorvel output's record.
PROVENANCE_NAMESPACE = "quorvel.provenance"
# The map annotations quorvel writes into OME-XML.
_OWN_NAMESPACES = (PROVENANCE_NAMESPACE, _display.DISPLAY_NAMESPACE)
# TIFF resolution units: 2 inch, 3 centimeter.
_RESOLUTION_UNITS = {3: "centimeter"}


def read_header(path: Path, series: int = 0, level: int = 0) -> ImageHeader:
    """Shape, sample type, axis names and metadata of a TIFF series' level, reading no pixels."""
    import tifffile

    with refusing_cut_files(path), tifffile.TiffFile(path) as tif:
        axes, metadata = tiff_header(tif, path, series, level)
        chosen = tif.series[series].levels[level]
        return ImageHeader(tuple(chosen.shape), np.dtype(chosen.dtype), axes, metadata)


def series_count(path: Path) -> int:
    """The number of image series of a TIFF file (the positions of a multi-position file).

    1 for a file that cannot be opened: reading it says what is wrong.
    """
    import tifffile

    with contextlib.suppress(Exception), tifffile.TiffFile(path) as tif:
        return max(len(tif.series), 1)
    return 1


def read_tiff(path: Path, series: int = 0, level: int = 0) -> ImageData:
    """An image series of a TIFF file (the first by default) at a level, its axes and metadata."""
    import tifffile

    with refusing_cut_files(path), tifffile.TiffFile(path) as tif:
        axes, metadata = tiff_header(tif, path, series, level)
        data = tif.series[series].levels[level].asarray()
    return ImageData(data, axes, metadata)


def tiff_header(
    tif: Any, path: Path, index: int = 0, level: int = 0
) -> tuple[str | None, dict[str, Any]]:
    """Axis names (None when unusable) and the metadata worth keeping of an open TIFF.

    Of its image series `index` (a position of a multi-position file), the
    first by default: a file of several series then warns of those left;
    at its resolution `level` (see `quorvel.io._levels.at_level`).

    Raises
    ------
    ValueError
        When the file holds fewer images than its metadata announces (a
        truncated or damaged file), so that nothing is done with part of it.
    """
    pages = len(tif.pages)  # walks the chain of pages: a cut one is found here
    if tif.is_ome and tif.ome_metadata:
        _check_ome_sizes(path, tif.ome_metadata, pages)  # before tifffile lays out the planes
    count = len(tif.series) if pages else 0
    if index and not 0 <= index < count:
        held = f"{count} image series (numbered 0 to {count - 1})" if count > 1 else "one image"
        raise ValueError(f"{path}: the file holds {held}; there is no series {index}")
    series = tif.series[index] if count else None
    if series is None or not series.shape or math.prod(series.shape) == 0:
        raise ValueError(f"{path}: cannot read the image: the file holds none (damaged or empty)")
    check_data_within_file(path, tif)
    if count > 1 and index == 0:
        shapes = ", ".join(" x ".join(map(str, s.shape)) for s in tif.series[1:4])
        more = ", ..." if count > 4 else ""
        warnings.warn(
            f"{path}: the file holds {count} image series; only the first "
            f"({' x '.join(map(str, series.shape))}) is read, not {shapes}{more}; "
            f"--series N (series=N) reads series N, 0 to {count - 1}",
            UserWarning,
            stacklevel=2,
        )
    axes = valid_axes(series.axes, len(series.shape))
    page = series.keyframe if index else tif.pages[0]
    metadata: dict[str, Any] = {}
    physical: dict[str, tuple[float, str | None]] = {}
    resolution = getattr(page, "resolution", None) or ()
    usable = bool(resolution) and all(math.isfinite(r) and r > 0 for r in resolution)
    if usable and tuple(resolution) != (1.0, 1.0):
        metadata["resolution"] = tuple(float(r) for r in resolution)
        metadata["resolutionunit"] = int(page.resolutionunit)
        physical.update(_sizes_from_resolution(metadata["resolution"], page.resolutionunit))
    if tif.is_imagej and tif.imagej_metadata:
        ij = tif.imagej_metadata
        _check_plane_count(path, series, ij.get("images"), "ImageJ")
        if isinstance(ij.get("images"), int) and pages > ij["images"] > 0:
            raise ValueError(
                f"{path}: the file holds {pages} pages but its ImageJ metadata announces "
                f"{ij['images']} images (damaged or edited); nothing was read"
            )
        metadata.update({k: ij[k] for k in _IMAGEJ_KEYS if k in ij})
        n_channels = _channel_count(series.shape, series.axes)
        metadata.update(_display.read_imagej(ij, n_channels))
        names = _names_of_labels(ij.get("Labels"), n_channels) if "C" in series.axes else None
        if names is not None:
            metadata["channels"] = names
        physical.update(_sizes_from_imagej(ij, physical))
    elif tif.is_ome and tif.ome_metadata:
        ome = _read_ome_xml(tif.ome_metadata, index)
        _check_plane_count(path, series, ome.pop("planes"), "OME")
        physical.update(ome.pop("physical"))
        metadata.update(ome)
        metadata["ome"] = True
    if tif.is_shaped and not (tif.is_imagej or tif.is_ome):
        physical.update(_read_shaped(tif, metadata))
    physical = checked_physical(physical, path)
    if physical:
        metadata["physical"] = physical
    if tif.is_imagej and isinstance((tif.imagej_metadata or {}).get("Info"), str):
        record = _provenance_from_info(tif.imagej_metadata["Info"])
        if record is not None:
            metadata["provenance"] = record
    return axes, at_level(path, axes, metadata, [s.shape for s in series.levels], level)


def _read_shaped(tif: Any, metadata: dict[str, Any]) -> dict[str, Any]:
    """Channel names, colours and provenance of a TIFF with a JSON description, into `metadata`.

    Returns the physical sizes it records, by axis letter.
    """
    shaped = (tif.shaped_metadata or [{}])[0]
    names = shaped.get("channels")
    if isinstance(names, list) and all(isinstance(n, str) for n in names):
        metadata["channels"] = names
    colours = _display.checked_colours(shaped.get("colours"))
    if colours is not None:
        metadata["colours"] = colours
    if isinstance(shaped.get("provenance"), dict):
        metadata["provenance"] = shaped["provenance"]
    physical = shaped.get("physical")
    return {
        a: tuple(v)
        for a, v in (physical.items() if isinstance(physical, dict) else ())
        if a in "TZYX" and isinstance(v, list) and len(v) == 2
    }


def _channel_count(shape: tuple[int, ...], axes: str) -> int:
    return int(shape[axes.index("C")]) if "C" in axes else 1


def _check_ome_sizes(path: Path, text: str, pages: int) -> None:
    """Refuse OME metadata announcing more planes than the file's pages, before reading it.

    Planes held in other files (``TiffData`` naming a file) are not counted
    here; tifffile reports those it cannot find.
    """
    try:
        root = ET.fromstring(text)
        planes = _read_ome_xml(text)["planes"]
    except (ET.ParseError, ValueError):
        return  # tifffile's to judge
    if any(e.tag.endswith("UUID") and e.get("FileName") for e in root.iter()):
        return
    if isinstance(planes, int) and planes > pages:
        raise ValueError(
            f"{path}: the file holds {pages} of the {planes} planes its OME metadata "
            "announces (truncated or damaged); nothing was read"
        )


def _check_plane_count(path: Path, series: Any, announced: Any, source: str) -> None:
    planes = math.prod(n for n, a in zip(series.shape, series.axes, strict=True) if a not in "YXS")
    if isinstance(announced, int) and announced > 0 and planes != announced:
        raise ValueError(
            f"{path}: the file holds {planes} of the {announced} images its {source} metadata "
            "announces (truncated or damaged); nothing was read"
        )


def _sizes_from_resolution(
    resolution: tuple[float, float], unit_code: int
) -> dict[str, tuple[float, str | None]]:
    xres, yres = resolution
    if int(unit_code) == 1:  # no unit: ImageJ gives it in its own metadata
        return {"X": (1.0 / xres, None), "Y": (1.0 / yres, None)}
    unit = _RESOLUTION_UNITS.get(int(unit_code))
    if unit is None:  # inches: a printing resolution, not a pixel size
        return {}
    return {
        "X": (convert(1.0 / xres, unit, "micrometer"), "micrometer"),
        "Y": (convert(1.0 / yres, unit, "micrometer"), "micrometer"),
    }


def _sizes_from_imagej(
    ij: dict[str, Any], physical: dict[str, tuple[float, str | None]]
) -> dict[str, tuple[float, str | None]]:
    unit = unit_name(ij.get("unit"))
    sizes = {a: (v, unit) for a, (v, u) in physical.items() if u is None and a in "XY"}
    if isinstance(ij.get("spacing"), (int, float)):
        sizes["Z"] = (float(ij["spacing"]), unit)
    if isinstance(ij.get("finterval"), (int, float)) and ij["finterval"] > 0:
        sizes["T"] = (float(ij["finterval"]), "second")
    return sizes


def _read_ome_xml(text: str, index: int = 0) -> dict[str, Any]:
    """Physical sizes, time increment, channel names, plane count and quorvel record.

    Of the image `index`, the first by default (a series of the file).
    """
    root = ET.fromstring(text)
    ns = {"ome": root.tag[1 : root.tag.index("}")]} if root.tag.startswith("{") else {}
    prefix = "ome:" if ns else ""
    images = root.findall(f"{prefix}Image", ns)
    pixels = images[index].find(f"{prefix}Pixels", ns) if index < len(images) else None
    found: dict[str, Any] = {"physical": {}, "planes": None}
    if pixels is None:
        return found
    # Sizes as written (`checked_physical` reads them as numbers).
    for axis in "XYZ":
        value = pixels.get(f"PhysicalSize{axis}")
        if value is not None:
            unit = unit_name(pixels.get(f"PhysicalSize{axis}Unit", "µm"))
            found["physical"][axis] = (value, unit)
    if pixels.get("TimeIncrement") is not None:
        unit = unit_name(pixels.get("TimeIncrementUnit", "s"))
        found["physical"]["T"] = (pixels.get("TimeIncrement"), unit)
    origin = _read_origin(pixels, prefix, ns, found["physical"])
    if origin is not None:
        found["origin"] = origin
    channels = pixels.findall(f"{prefix}Channel", ns)
    names = [c.get("Name") for c in channels]
    if names and all(isinstance(n, str) for n in names):
        found["channels"] = names
    colours = [_display.colour_of_ome(c.get("Color")) for c in channels if c.get("Color")]
    if colours and len(colours) == len(channels) and all(colours):
        found["colours"] = colours
    with contextlib.suppress(ValueError):  # sizes that are no integers: tifffile's to judge
        samples = max(int(c.get("SamplesPerPixel", "1")) for c in channels) if names else 1
        sizes = [int(pixels.get(f"Size{a}", "1")) for a in "ZCT"]
        found["planes"] = math.prod(sizes) // max(samples, 1)
    for annotation in root.iter():
        namespace = annotation.get("Namespace")
        if not annotation.tag.endswith("MapAnnotation") or namespace not in _OWN_NAMESPACES:
            continue
        for item in annotation.iter():
            if not (item.tag.endswith("}M") or item.tag == "M"):
                continue
            if namespace == PROVENANCE_NAMESPACE:
                record = _json_dict(item.text)
                if record is not None:
                    found["provenance"] = record
            elif item.get("K") == "mode" and _display.checked_mode(item.text):
                found["mode"] = _display.checked_mode(item.text)
    return found


def _json_dict(text: str | None) -> dict[str, Any] | None:
    try:
        value = json.loads(text or "")
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def _provenance_from_info(info: str) -> dict[str, Any] | None:
    marker = "quorvel provenance: "
    for line in info.splitlines():
        if line.startswith(marker):
            return _json_dict(line[len(marker) :])
    return None


def _channel_labels(shape: tuple[int, ...], axes: str, names: Any) -> list[str] | None:
    """Channel names as the slice labels of an ImageJ hyperstack (its channels vary fastest).

    ImageJ shows a plane's label; a name for each plane is how a channel's
    name is kept in such a file.
    """
    if "C" not in axes or not isinstance(names, list):
        return None
    if len(names) != shape[axes.index("C")] or not all(isinstance(n, str) for n in names):
        return None
    planes = math.prod(n for n, a in zip(shape, axes, strict=True) if a not in "YXS")
    return [names[k % len(names)] for k in range(planes)]


def _names_of_labels(labels: Any, n_channels: int) -> list[str] | None:
    """The channel names that an ImageJ file's slice labels hold, or None.

    Only labels that repeat the same name for every plane of a channel are
    names (other labels name planes: file names, times).
    """
    if not isinstance(labels, list) or not labels or len(labels) % n_channels:
        return None
    names = labels[:n_channels]
    if not all(isinstance(n, str) and n for n in names):
        return None
    if any(label != names[k % n_channels] for k, label in enumerate(labels)):
        return None
    return list(names)


def _imagej_compatible(data: npt.NDArray[Any], axes: str) -> bool:
    if data.dtype not in _IMAGEJ_DTYPES or "S" in axes:
        return False
    positions = [_IMAGEJ_ORDER.index(a) for a in axes]
    return positions == sorted(positions)


def _imagej_hyperstack(data: npt.NDArray[Any], axes: str) -> npt.NDArray[Any]:
    """`data` (axes in ImageJ's order) as a TZCYXS array, the axes it lacks of length 1."""
    shape = [data.shape[axes.index(a)] if a in axes else 1 for a in _IMAGEJ_ORDER]
    return data.reshape(shape)


def _resolution_options(metadata: dict[str, Any]) -> dict[str, Any]:
    if "resolution" in metadata:
        return {
            "resolution": metadata["resolution"],
            "resolutionunit": metadata.get("resolutionunit"),
        }
    physical = metadata.get("physical", {})
    if "X" in physical and "Y" in physical:
        (x, unit_x), (y, _) = physical["X"], physical["Y"]
        if unit_x == "micrometer":
            return {"resolution": (1e4 / x, 1e4 / y), "resolutionunit": "CENTIMETER"}
        return {"resolution": (1.0 / x, 1.0 / y)}
    return {}


def _imagej_description(
    shape: tuple[int, ...], axes: str, metadata: dict[str, Any], n_channels: int
) -> dict[str, Any]:
    description: dict[str, Any] = {"axes": axes}
    description.update(_display.imagej_options(metadata, n_channels))
    labels = _channel_labels(shape, axes, metadata.get("channels"))
    if labels is not None:
        description["Labels"] = labels
    description.update({k: metadata[k] for k in _IMAGEJ_KEYS if k in metadata})
    physical = metadata.get("physical", {})
    if "unit" not in description and physical.get("X", (0, None))[1]:
        description["unit"] = "um" if physical["X"][1] == "micrometer" else physical["X"][1]
    if "spacing" not in description and "Z" in physical:
        description["spacing"] = physical["Z"][0]
    if "finterval" not in description and physical.get("T", (0, None))[1] == "second":
        description["finterval"] = physical["T"][0]
    if "provenance" in metadata:
        description["Info"] = "quorvel provenance: " + json.dumps(metadata["provenance"])
    return description


# The plane attributes that hold where an image lies, by axis (with their unit
# attribute's name: the key and "Unit").
_POSITIONS = {"X": "PositionX", "Y": "PositionY", "Z": "PositionZ", "T": "DeltaT"}
# OME's length unit of positions counted in pixels.
_PIXEL = "pixel"


def _plane_positions(shape: tuple[int, ...], axes: str, metadata: dict[str, Any]) -> dict[str, Any]:
    """OME-XML plane attributes placing each plane of an image at ``metadata["origin"]``.

    X and Y are the origin's; Z and T grow by the plane spacing and the time
    increment from it (DeltaT is then each frame's time).  The positions
    take the unit of the axis's physical size; X, Y and Z without a
    physical size are placed in pixels (OME's unit ``pixel``), and a time
    without a known unit not at all.  The planes follow in the order they
    are stored.
    """
    origin = metadata.get("origin")
    if not isinstance(origin, dict):
        return {}
    physical = metadata.get("physical", {})
    lead = "".join(a for a in axes if a not in "YXS")
    indices = list(np.ndindex(*shape[: len(lead)]))
    plane: dict[str, Any] = {}
    for axis, key in _POSITIONS.items():
        value = origin.get(axis)
        size, unit = physical.get(axis, (1.0, None))
        symbol = unit_symbol(unit) or (_PIXEL if axis in "XYZ" and axis not in physical else None)
        if axis not in axes or not isinstance(value, (int, float)) or symbol is None:
            continue
        if not math.isfinite(value) or value == 0:
            continue
        step = lead.index(axis) if axis in lead else None
        plane[key] = [
            float(value) + (float(size) * index[step] if step is not None else 0.0)
            for index in indices
        ]
        plane[f"{key}Unit"] = [symbol] * len(indices)
    return plane


def _read_origin(pixels: Any, prefix: str, ns: dict[str, str], physical: dict[str, Any]) -> Any:
    """Where the first plane of an OME image lies (axis letter to position), in its size units.

    From the first plane's positions and DeltaT, where their unit converts
    to the physical size's of the axis (or is ``pixel``, for an axis without
    a physical size); None when no plane tells.
    """
    planes = pixels.findall(f"{prefix}Plane", ns)
    first = next(
        (p for p in planes if all(p.get(f"The{a}", "0") == "0" for a in "CZT")),
        None,
    )
    if first is None:
        return None
    origin = {}
    for axis, key in _POSITIONS.items():
        text, default = first.get(key), "s" if axis == "T" else "reference frame"
        to = unit_name(physical.get(axis, (None, None))[1])
        given = first.get(f"{key}Unit", default)
        unit = unit_name(given)
        in_pixels = given == _PIXEL and axis not in physical
        if text is None or not (in_pixels or convertible(unit, to)):
            continue
        with contextlib.suppress(ValueError):
            value = float(text) if in_pixels else convert(float(text), str(unit), str(to))
            if math.isfinite(value) and value != 0:
                origin[axis] = value
    return origin or None


def _ome_description(
    shape: tuple[int, ...], axes: str, metadata: dict[str, Any], n_channels: int
) -> dict[str, Any]:
    # A random identifier: tifffile's default (version 1) holds this machine's
    # MAC address and the time.
    description: dict[str, Any] = {"axes": axes, "UUID": f"urn:uuid:{uuid.uuid4()}"}
    physical = metadata.get("physical", {})
    # OME-XML takes a size without a unit for micrometers: write known units only.
    for axis in "XYZ":
        value, unit = physical.get(axis, (0.0, None))
        if unit_symbol(unit):
            description[f"PhysicalSize{axis}"] = value
            description[f"PhysicalSize{axis}Unit"] = unit_symbol(unit)
    value, unit = physical.get("T", (0.0, None))
    if unit_symbol(unit):
        description["TimeIncrement"] = value
        description["TimeIncrementUnit"] = unit_symbol(unit)
    channel: dict[str, Any] = {}
    channels = metadata.get("channels")
    if channels and len(channels) == n_channels:
        channel["Name"] = list(channels)
    colours = _display.channel_colours(metadata, n_channels)
    if colours is not None:
        channel["Color"] = [_display.ome_color(c) for c in colours]
    if channel:
        description["Channel"] = channel
    plane = _plane_positions(shape, axes, metadata)
    if plane:
        description["Plane"] = plane
    annotations = []
    if "provenance" in metadata:
        annotations.append(
            {"Namespace": PROVENANCE_NAMESPACE, "provenance": json.dumps(metadata["provenance"])}
        )
    mode = _display.checked_mode(metadata.get("mode"))
    if mode is not None:
        annotations.append({"Namespace": _display.DISPLAY_NAMESPACE, "mode": mode})
    if annotations:
        description["MapAnnotation"] = annotations
    return description


def tiff_problem(dtype: npt.DTypeLike, ndim: int, ome: bool) -> str | None:
    """Why an image of `dtype` and `ndim` dimensions cannot be written as (OME-)TIFF, or None."""
    if ndim < 2:
        return f"a TIFF file holds images of 2 or more dimensions, not {ndim}"
    name = np.dtype(dtype).name
    if ome and name not in _OME_DTYPES:
        return f"OME-TIFF cannot hold {name} samples: write .tif, .npy or .zarr"
    return None


def write_tiff(
    path: Path, data: npt.NDArray[Any], axes: str, metadata: dict[str, Any], ome: bool
) -> None:
    """Write a TIFF file: OME-TIFF if `ome`, else ImageJ when the axes and dtype allow it.

    OME-TIFF stores Y and X (and samples) last: other axes are moved before
    them, keeping their order.

    Raises
    ------
    ValueError
        For fewer than two dimensions, or a sample type OME-TIFF cannot hold.
    """
    import tifffile

    problem = tiff_problem(data.dtype, data.ndim, ome)
    if problem is not None:
        raise ValueError(problem)
    if ome:
        order = "".join(a for a in axes if a not in "YXS") + "".join(a for a in "YXS" if a in axes)
        data, axes = np.transpose(data, [axes.index(a) for a in order]), order
    options = _resolution_options(metadata)
    n_channels = data.shape[axes.index("C")] if "C" in axes else 1
    # Without this, tifffile may take a short first axis for colour planes.
    photometric = "rgb" if axes.endswith("S") and data.shape[-1] in (3, 4) else "minisblack"
    if ome:
        description = _ome_description(data.shape, axes, metadata, n_channels)
        if axes.endswith("S") and photometric == "minisblack":
            # Samples that are not colours: stored interleaved in each plane.
            options["planarconfig"] = "contig"
        tifffile.imwrite(
            path, data, ome=True, metadata=description, photometric=photometric, **options
        )
    elif _imagej_compatible(data, axes):
        description = _imagej_description(data.shape, axes, metadata, n_channels)
        if data.shape[-1] == 1 and data.ndim > 2:
            # A last axis of one pixel would be taken for the samples of one
            # plane, and the file announce planes it does not hold: the
            # hyperstack's every axis stated, with one sample.
            data, description["axes"] = _imagej_hyperstack(data, axes), _IMAGEJ_ORDER
            options["photometric"] = "minisblack"
        tifffile.imwrite(path, data, imagej=True, metadata=description, **options)
    else:
        # A TIFF that ImageJ cannot read as a hyperstack: the geometry, the
        # channel names and colours in the JSON description, beside the axes.
        shaped: dict[str, Any] = {"axes": axes}
        physical = metadata.get("physical", {})
        if physical:
            shaped["physical"] = {a: list(v) for a, v in physical.items() if a in axes}
        channels = metadata.get("channels")
        if isinstance(channels, list) and len(channels) == n_channels:
            shaped["channels"] = list(channels)
        colours = _display.channel_colours(metadata, n_channels)
        if colours is not None:
            shaped["colours"] = colours
        if "provenance" in metadata:
            shaped["provenance"] = metadata["provenance"]
        tifffile.imwrite(path, data, metadata=shaped, photometric=photometric, **options)
