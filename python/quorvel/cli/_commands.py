"""The ``estimate``, ``info`` and ``demo`` commands."""

from __future__ import annotations

import argparse
import json
import math
from pathlib import Path
from typing import Any

from quorvel._api import estimate_noise
from quorvel.cli._console import _core_output_silenced, _describe
from quorvel.cli._denoise import _axes_of
from quorvel.cli._files import _check_input, _is_zarr_path, _open_lazy, _read
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
    with _core_output_silenced():
        model = estimate_noise(image.data, axes)
        if isinstance(image, LazyImage):
            model = model.compute(scheduler="threads")
    sigma = model.sigma or (math.nan,) * model.n_channels
    if args.json:
        record = {
            "file": str(src),
            "axes": axes,
            "shape": list(image.data.shape),
            "dtype": str(image.data.dtype),
            "gain": [_json_number(v) for v in model.gain],
            "offset": [_json_number(v) for v in model.offset],
            "sigma": [_json_number(v) for v in sigma],
        }
        print(json.dumps(record, indent=2))
        return 0
    print(f"{src}: {_describe(image.data, axes)}")
    print(f"{'channel':>7}  {'gain':>10}  {'offset':>12}  {'sigma':>10}")
    for c in range(model.n_channels):
        values = (model.gain[c], model.offset[c], sigma[c])
        gain, offset, sig = ("no fit" if math.isnan(v) else f"{v:.4g}" for v in values)
        print(f"{c:>7}  {gain:>10}  {offset:>12}  {sig:>10}")
    print("noise variance = gain * intensity + offset; sigma: as Gaussian noise")
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
        f"{src}: {record['format']}, axes {record['axes'] or '(not recorded)'}, {shape} "
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
