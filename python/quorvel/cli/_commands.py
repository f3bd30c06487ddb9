"""The ``estimate``, ``calibrate``, ``info`` and ``demo`` commands."""

from __future__ import annotations

import argparse
import json
import math
import warnings
from pathlib import Path
from typing import Any

import numpy as np

from quorvel._api import estimate_noise
from quorvel.cli._console import (
    CommandError,
    _core_output_silenced,
    _describe,
    _naming,
    _shown,
)
from quorvel.cli._denoise import _axes_of
from quorvel.cli._files import (
    _check_input,
    _check_not_an_input,
    _is_zarr_path,
    _open_lazy,
    _read,
    _read_error,
    _write_file_atomically,
    _write_text_atomically,
)
from quorvel.io import ImageData, ImageHeader, LazyImage, read_header, supported_kind
from quorvel.io._tiff import series_count
from quorvel.io._units import unit_symbol
from quorvel.noise import NoiseModel


def _json_number(value: float | None) -> float | None:
    return None if value is None or math.isnan(value) else value


def _cmd_estimate(args: argparse.Namespace) -> int:
    src = args.input
    _check_input(src)
    if args.plot is not None:
        _check_plot(args.plot, src, args.overwrite)
    image: ImageData | LazyImage = (
        _open_lazy(src, args.level, args.series)
        if _is_zarr_path(src)
        else _read(src, args.level, args.series)
    )
    axes = _axes_of(image, args.axes, src, quiet=False)
    with _core_output_silenced(), _naming(src):
        model = estimate_noise(image.data, axes, method=args.method)
        if not isinstance(model, NoiseModel):  # a lazy image: the delayed model
            model = model.compute(scheduler="threads")
        if args.plot is not None:
            _plot(image, axes, args)
    sigma = model.sigma or (math.nan,) * model.n_channels
    if args.json:
        record = {
            "file": str(src),
            "axes": axes,
            "shape": list(image.data.shape),
            "dtype": str(image.data.dtype),
            "gain": [_json_number(v) for v in model.gain],
            "gain_se": [_json_number(v) for v in model.gain_se],
            "offset": [_json_number(v) for v in model.offset],
            "offset_se": [_json_number(v) for v in model.offset_se],
            "sigma": [_json_number(v) for v in sigma],
        }
        print(json.dumps(record, indent=2))
        return 0
    print(f"{_shown(src)}: {_describe(image.data, axes)}")
    print(f"{'channel':>7}  {'gain':>10}  {'se':>8}  {'offset':>12}  {'se':>8}  {'sigma':>10}")
    for c in range(model.n_channels):
        values = (model.gain[c], model.gain_se[c], model.offset[c], model.offset_se[c], sigma[c])
        gain, gain_se, offset, offset_se, sig = (
            "-" if math.isnan(v) else f"{v:.4g}" for v in values
        )
        if math.isnan(model.gain[c]):
            gain = "no fit"
        print(f"{c:>7}  {gain:>10}  {gain_se:>8}  {offset:>12}  {offset_se:>8}  {sig:>10}")
    print(
        "noise variance = gain * intensity + offset; se: standard errors; sigma: as Gaussian noise"
    )
    return 0


def _check_plot(path: Path, src: Path, overwrite: bool) -> None:
    """Refuse a plot file that could not be written, before anything is estimated."""
    from matplotlib.backend_bases import FigureCanvasBase

    _check_not_an_input(path, [src])
    if path.is_dir():
        raise CommandError(f"{path}: is a directory")
    if not path.parent.is_dir():
        raise CommandError(f"{path}: directory {path.parent} does not exist")
    if path.exists() and not overwrite:
        raise CommandError(f"{path}: exists; give --overwrite to replace it")
    kinds = FigureCanvasBase.get_supported_filetypes()
    suffix = path.suffix.lower().lstrip(".")
    if suffix and suffix not in kinds:
        raise CommandError(
            f"{path}: a plot cannot be written as .{suffix} (use {', '.join(sorted(kinds))})"
        )


def _plot(image: ImageData | LazyImage, axes: str, args: argparse.Namespace) -> None:
    from quorvel import _chunked
    from quorvel._axes import normalize_axes, to_core_layout
    from quorvel._lines import Roles
    from quorvel.noise.plot import plot_mean_variance

    # Laid out as the estimate reads it: colours (S) are channels, and a
    # kymograph's T is its Y.
    names = Roles.of(normalize_axes(axes, image.data.ndim), image.data.shape).denoised
    if isinstance(image, LazyImage):  # the region the estimate used
        core = _chunked.to_core_dask(image.data, names)
        data = np.asarray(core[_chunked.noise_sample_region(core.shape)])
    else:
        data = to_core_layout(np.asarray(image.data), names)
    method = "auto" if args.method == "core" else args.method
    title = f"{args.input.name} ({method})"
    _write_file_atomically(
        args.plot, lambda tmp: plot_mean_variance(data, tmp, method, title=title)
    )


def _cmd_calibrate(args: argparse.Namespace) -> int:
    from quorvel.noise.camera import calibrate_camera

    if args.image is not None and args.flat:
        raise CommandError("give --flat or --image to measure the gain from, not both")
    if args.series and args.image is None:
        raise CommandError("--series picks the image series of --image; give --image")
    inputs = [*args.dark, *args.flat, *([args.image] if args.image else [])]
    for path in inputs:
        _check_input(path)
    _check_not_an_input(args.output, inputs)
    if args.output.exists() and not args.overwrite:
        raise CommandError(f"{args.output}: exists; give --overwrite to replace it")
    if not args.output.parent.is_dir():
        raise CommandError(f"{args.output}: directory {args.output.parent} does not exist")
    # One series of the image (a gain fitted along T across positions would
    # take the change of position for noise): the first, with a warning
    # naming the others, or --series N.
    image = None if args.image is None else _camera_frames(args.image, series=args.series)[0]
    # Every image series of a file: darks and flats of several positions are
    # still darks and flats, and each series is a stack of its own.
    darks = [stack for path in args.dark for stack in _camera_frames(path, every_series=True)]
    flats = [stack for path in args.flat for stack in _camera_frames(path, every_series=True)]
    result = calibrate_camera(darks, flats, image)
    _write_text_atomically(args.output, result.to_json())
    m = result.model
    print(
        f"{_shown(args.output)}: gain {m.gain[0]:.4g} ({result.gain_source}), "
        f"offset {m.offset[0]:.4g}; dark level {result.dark_level:.4g}, "
        f"read noise {result.read_noise:.4g}"
    )
    return 0


def _camera_frames(path: Path, every_series: bool = False, series: int = 0) -> list[Any]:
    """The pixels of a file of one camera's frames; channels are said to be taken as frames.

    With `every_series`, one array per image series of a TIFF file that
    holds several (the positions of a multi-position file), else that of
    series `series`.
    """
    count = series_count(path) if every_series and supported_kind(path) == "tiff" else 1
    with warnings.catch_warnings():
        if count > 1:  # every series is read: none is left unread
            warnings.filterwarnings("ignore", message=r".* image series; only the first")
        numbers = range(count) if every_series else [series]
        images = [_read(path, series=n) for n in numbers]
    notes = {  # once per file, not per series
        f"{path}: its {image.data.shape[axes.index(axis)]} channels (axis {axis}) are taken "
        "as frames of one camera": None
        for image in images
        for axes in [image.axes or ""]
        for axis in "CS"
        if axis in axes and image.data.shape[axes.index(axis)] > 1
    }
    for note in notes:
        warnings.warn(note, RuntimeWarning, stacklevel=2)
    return [image.data for image in images]


def _info_record(path: Path, image: ImageHeader) -> dict[str, Any]:
    metadata = image.metadata
    return {
        "file": str(path),
        "format": supported_kind(path),
        "axes": image.axes,
        "shape": list(image.shape),
        "dtype": str(image.dtype),
        "physical_sizes": {a: list(v) for a, v in metadata.get("physical", {}).items()},
        "channels": metadata.get("channels"),
        "colours": metadata.get("colours"),
        "mode": metadata.get("mode"),
        "levels": metadata.get("levels"),
        "provenance": metadata.get("provenance"),
    }


def _quantity(size: float, unit: str | None) -> str:
    """``0.5 micrometers``: a size with its unit's name, plural unless it is 1."""
    shown = f"{size:g}"
    if unit is None:
        return f"{shown} (no unit)"
    named = unit_symbol(unit) is not None  # a unit name such as micrometer, not a symbol
    return f"{shown} {unit}{'s' if named and shown != '1' else ''}"


def _cmd_info(args: argparse.Namespace) -> int:
    src = args.input
    _check_input(src)
    try:
        image = read_header(src, level=args.level, series=args.series)  # no pixels, no dask
    except Exception as err:
        raise _read_error(src, err, "open") from err
    record = _info_record(src, image)
    if args.json:
        print(json.dumps(record, indent=2))
        return 0
    shape = " x ".join(str(n) for n in record["shape"])
    print(
        f"{_shown(src)}: {record['format']}, axes {record['axes'] or '(not recorded)'}, {shape} "
        f"{record['dtype']}"
    )
    for axis, (size, unit) in record["physical_sizes"].items():
        per = "frame" if axis == "T" else "pixel"
        print(f"  {axis}: {_quantity(size, unit)} per {per}")
    if record["levels"]:
        print(f"  resolution levels: {record['levels']}")
    if record["channels"]:
        print(f"  channels: {', '.join(record['channels'])}")
    if record["colours"]:
        print(f"  colours: {', '.join(record['colours'])}")
    if record["mode"]:
        print(f"  display mode: {record['mode']}")
    provenance = record["provenance"]
    if provenance is None:
        print("  no quorvel provenance")
        return 0
    print(
        f"  made by quorvel {provenance.get('version')} on {provenance.get('created')} "
        f"from {provenance.get('source')}"
    )
    for entry in provenance.get("noise", []):
        values = ", ".join(
            f"{k} {v:.6g}"
            for k, v in entry.items()
            if k not in ("channel", "model") and v is not None
        )
        print(f"  noise, channel {entry.get('channel')}: {entry.get('model')}, {values}")
    for name, value in provenance.get("parameters", {}).items():
        if name != "tuned":
            print(f"  {name}: {json.dumps(value)}")
    tuned = provenance.get("parameters", {}).get("tuned")
    if tuned is not None:
        for line in _tuned_lines(tuned):
            print(f"  {line}")
    return 0


def _setting_text(value: Any) -> str:
    """A parameter's value in a table: ``X 3, Y 3, T 0`` for values by axis."""
    if isinstance(value, dict):
        return ", ".join(f"{k} {'growing' if v is None else v}" for k, v in value.items())
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _tuned_lines(tuned: Any) -> list[str]:
    """The tuner's choice and its candidates as a table, one setting per line."""
    try:
        settings = tuned["settings"]
        candidates = [dict(c) for c in tuned["candidates"]]
        head = (
            f"tuned by {tuned.get('method', 'the tuner')} on {tuned.get('crops', '?')} crop(s): "
            + "; ".join(f"{k.replace('_', ' ')} {_setting_text(v)}" for k, v in settings.items())
            + f" (risk {float(tuned['risk']):.4g})"
        )
        keys = list(dict.fromkeys(k for c in candidates for k in c if k != "risk"))
        rows = [["", "risk", *(k.replace("_", " ") for k in keys)]]
        for c in candidates:
            chosen = all(c.get(k) == v for k, v in settings.items())
            cells = [_setting_text(c[k]) if k in c else "" for k in keys]
            rows.append(["*" if chosen else "", f"{float(c['risk']):.4f}", *cells])
    except (TypeError, KeyError, ValueError, AttributeError):
        return [f"tuned: {json.dumps(tuned)}"]  # not a record of this version's tuner
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    table = [
        "  ".join(
            cell.rjust(w) if i == 1 else cell.ljust(w)  # the risks aligned on the right
            for i, (cell, w) in enumerate(zip(r, widths, strict=True))
        ).rstrip()
        for r in rows
    ]
    return [head, f"{len(candidates)} settings scored (risk in units of the noise "
            "variance; * chosen):", *("  " + line for line in table)]  # fmt: skip


def _cmd_demo(args: argparse.Namespace) -> int:
    from quorvel.demo import run_demo

    run_demo(args.output_dir, threads=args.threads)
    return 0
