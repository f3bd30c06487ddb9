"""The ``estimate``, ``calibrate``, ``info`` and ``demo`` commands."""

from __future__ import annotations

import argparse
import json
import math
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
    _is_zarr_path,
    _open_lazy,
    _read,
    _write_text_atomically,
)
from quorvel.io import ImageData, LazyImage, supported_kind


def _json_number(value: float | None) -> float | None:
    return None if value is None or math.isnan(value) else value


def _cmd_estimate(args: argparse.Namespace) -> int:
    src = args.input
    _check_input(src)
    image: ImageData | LazyImage = (
        _open_lazy(src, args.level) if _is_zarr_path(src) else _read(src, args.level)
    )
    axes = _axes_of(image, args.axes, src, quiet=False)
    with _core_output_silenced(), _naming(src):
        model = estimate_noise(image.data, axes, method=args.method)
        if isinstance(image, LazyImage):
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
        "noise variance = gain * intensity + offset; se: standard errors; "
        "sigma: as Gaussian noise"
    )
    return 0


def _plot(image: ImageData | LazyImage, axes: str, args: argparse.Namespace) -> None:
    from quorvel import _chunked
    from quorvel._axes import to_core_layout
    from quorvel.noise.plot import plot_mean_variance

    if isinstance(image, LazyImage):  # the region the estimate used
        core = _chunked.to_core_dask(image.data, axes)
        data = np.asarray(core[_chunked.noise_sample_region(core.shape)])
    else:
        data = to_core_layout(np.asarray(image.data), axes)
    method = "auto" if args.method == "core" else args.method
    plot_mean_variance(data, args.plot, method, title=f"{args.input.name} ({method})")


def _cmd_calibrate(args: argparse.Namespace) -> int:
    from quorvel.noise.camera import calibrate_camera

    if args.image is not None and args.flat:
        raise CommandError("give --flat or --image to measure the gain from, not both")
    for path in [*args.dark, *args.flat, *([args.image] if args.image else [])]:
        _check_input(path)
    if args.output.exists() and not args.overwrite:
        raise CommandError(f"{args.output}: exists; give --overwrite to replace it")
    if not args.output.parent.is_dir():
        raise CommandError(f"{args.output}: directory {args.output.parent} does not exist")
    image = None if args.image is None else _read(args.image).data
    result = calibrate_camera(
        [_read(p).data for p in args.dark], [_read(p).data for p in args.flat], image
    )
    _write_text_atomically(args.output, result.to_json())
    m = result.model
    print(
        f"{_shown(args.output)}: gain {m.gain[0]:.4g} ({result.gain_source}), "
        f"offset {m.offset[0]:.4g}; dark level {result.dark_level:.4g}, "
        f"read noise {result.read_noise:.4g}"
    )
    return 0


def _info_record(path: Path, image: LazyImage) -> dict[str, Any]:
    metadata = image.metadata
    return {
        "file": str(path),
        "format": supported_kind(path),
        "axes": image.axes,
        "shape": list(image.data.shape),
        "dtype": str(image.data.dtype),
        "physical_sizes": {a: list(v) for a, v in metadata.get("physical", {}).items()},
        "channels": metadata.get("channels"),
        "provenance": metadata.get("provenance"),
    }


def _cmd_info(args: argparse.Namespace) -> int:
    src = args.input
    _check_input(src)
    image = _open_lazy(src, args.level)
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
        print(
            f"  {axis}: {size:g} {unit or '(no unit)'} per {'frame' if axis == 'T' else 'pixel'}"
        )
    if record["channels"]:
        print(f"  channels: {', '.join(record['channels'])}")
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
        print(f"  {name}: {json.dumps(value)}")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    from quorvel.demo import run_demo

    run_demo(args.output_dir, threads=args.threads)
    return 0
