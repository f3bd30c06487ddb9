"""Command line of quorvel: denoise image files, estimate their noise, run the demo.

Examples
--------
::

    quorvel denoise cells.tif                       # writes cells_denoised.tif
    quorvel denoise movie.tif --axes TYX -o out.tif
    quorvel denoise *.tif --output-dir denoised/ --dtype input
    quorvel estimate cells.tif --json
    quorvel demo
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from quorvel import __version__
from quorvel._api import (
    GaussianNoise,
    NoiseModel,
    NoiseSpec,
    PoissonGaussianNoise,
    estimate_noise,
    run_denoise,
)
from quorvel._axes import DEFAULT_AXES
from quorvel._progress import Stages
from quorvel.io import ImageData, read_image, write_image

_NOISE_CHOICES = ("auto", "gaussian", "poisson-gaussian")


class CommandError(Exception):
    """A problem with the command's files or options, reported without a traceback."""


# --------------------------------------------------------------------------
# Option parsing


def _float_list(text: str) -> tuple[float, ...]:
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError as err:
        raise argparse.ArgumentTypeError(
            f"expected a number or comma-separated numbers, got {text!r}"
        ) from err
    return values


def _patch_radius(text: str) -> int | dict[str, int]:
    try:
        if "=" not in text:
            return int(text)
        radius: dict[str, int] = {}
        for item in text.split(","):
            axis, value = item.split("=")
            radius[axis.strip().upper()] = int(value)
        return radius
    except ValueError as err:
        raise argparse.ArgumentTypeError(
            f"expected a radius such as 3, or per axis such as X=3,Y=3,Z=1; got {text!r}"
        ) from err


def _axes(text: str) -> str:
    return text.strip().upper()


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``quorvel`` command.

    Returns
    -------
    argparse.ArgumentParser
        Parser with the sub-commands ``denoise``, ``estimate`` and ``demo``.
    """
    parser = argparse.ArgumentParser(
        prog="quorvel",
        description="Denoising of fluorescence microscopy images and time-lapse sequences.",
    )
    parser.add_argument("--version", action="version", version=f"quorvel {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    axes_help = (
        "axis names, one letter per dimension: T (time), C or S (channel), Z, Y, X, "
        "e.g. TYX for a 2-D time-lapse; default: from the TIFF metadata, else YX, ZYX, "
        "CZYX or TCZYX by dimension"
    )

    den = sub.add_parser(
        "denoise",
        help="denoise TIFF or .npy files",
        description="Denoise images, z-stacks and time-lapse sequences. The noise is "
        "estimated from each image unless given.",
    )
    den.add_argument("inputs", nargs="+", type=Path, metavar="INPUT", help=".tif, .tiff or .npy")
    where = den.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", type=Path, help="output file (one input only)")
    where.add_argument("--output-dir", type=Path, help="directory for the outputs")
    den.add_argument(
        "--suffix",
        default="_denoised",
        help="added to the input's name to name its output (default: %(default)s)",
    )
    den.add_argument("--axes", type=_axes, help=axes_help)
    noise = den.add_argument_group("noise (estimated from the image unless given)")
    noise.add_argument(
        "--noise",
        choices=_NOISE_CHOICES,
        default="auto",
        help="noise model to estimate (default: %(default)s: Poisson-Gaussian when the "
        "noise grows with intensity, else Gaussian)",
    )
    noise.add_argument(
        "--sigma", type=_float_list, help="Gaussian noise standard deviation (per channel: 5,8)"
    )
    noise.add_argument(
        "--gain", type=_float_list, help="Poisson-Gaussian gain (per channel: 2.1,1.9)"
    )
    noise.add_argument(
        "--offset",
        type=_float_list,
        help="Poisson-Gaussian offset, with --gain; write negative lists as --offset=-190,-185",
    )
    algo = den.add_argument_group("denoiser")
    algo.add_argument(
        "--patch-radius",
        type=_patch_radius,
        help="patch half-size: 3, or per axis X=3,Y=3,Z=1,T=0 (default: X=3,Y=3,Z=0,T=0)",
    )
    algo.add_argument(
        "--search-axes",
        default="ZT",
        type=_axes,
        help="axes besides X and Y to search along (default: %(default)s; '' for none)",
    )
    algo.add_argument("--max-iter", type=int, default=4, help="iterations (default: 4)")
    algo.add_argument(
        "--pvalue", type=float, default=0.01, help="test significance level (default: 0.01)"
    )
    algo.add_argument(
        "--renoise", type=float, default=0.0, help="mix the noisy image back in (default: 0)"
    )
    den.add_argument(
        "--threads", type=int, default=0, help="threads; 0 all, -1 all but one (default: 0)"
    )
    den.add_argument(
        "--dtype",
        choices=("float32", "input"),
        default="float32",
        help="output sample type: float32, or the input's (rounded and clipped) "
        "(default: %(default)s)",
    )
    den.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    _add_output_flags(den)
    den.set_defaults(func=_cmd_denoise)

    est = sub.add_parser(
        "estimate",
        help="estimate the noise of files",
        description="Estimate the noise model of each file and print it.",
    )
    est.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    est.add_argument("--axes", type=_axes, help=axes_help)
    est.add_argument(
        "--model", choices=_NOISE_CHOICES, default="auto", help="(default: %(default)s)"
    )
    est.add_argument("--json", action="store_true", help="print one JSON document")
    est.set_defaults(func=_cmd_estimate)

    demo = sub.add_parser(
        "demo",
        help="run the demonstration on synthetic data",
        description="Denoise a synthetic time-lapse with a known noise model and "
        "report the estimated model, PSNR and time.",
    )
    demo.add_argument(
        "--output-dir", type=Path, default=Path("demo_output"), help="(default: %(default)s)"
    )
    demo.add_argument("--threads", type=int, default=0, help="(default: 0, all)")
    demo.set_defaults(func=_cmd_demo)
    return parser


def _add_output_flags(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: when it is a terminal)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print no summary")


# --------------------------------------------------------------------------
# Helpers


def _noise_from_args(args: argparse.Namespace) -> NoiseSpec:
    if args.sigma is not None:
        if args.gain is not None or args.offset is not None:
            raise CommandError("--sigma cannot be combined with --gain/--offset")
        return GaussianNoise(args.sigma)
    if (args.gain is None) != (args.offset is None):
        raise CommandError("--gain and --offset must be given together")
    if args.gain is not None:
        return PoissonGaussianNoise(args.gain, args.offset)
    return cast(NoiseSpec, args.noise)


def _output_paths(args: argparse.Namespace) -> list[Path]:
    inputs: list[Path] = args.inputs
    if args.output is not None:
        if len(inputs) != 1:
            raise CommandError("--output takes one input; use --output-dir for several")
        outputs = [args.output]
    else:
        outputs = [
            (args.output_dir or p.parent) / f"{p.stem}{args.suffix}{p.suffix}" for p in inputs
        ]
    for src, dst in zip(inputs, outputs, strict=True):
        if not src.is_file():
            raise CommandError(f"{src}: no such file")
        if dst.resolve() == src.resolve():
            raise CommandError(f"{dst}: the output would replace its input")
        if dst.exists() and not args.overwrite:
            raise CommandError(f"{dst} exists; use --overwrite to replace it")
    if len(set(o.resolve() for o in outputs)) != len(outputs):
        raise CommandError("several inputs would be written to the same output")
    return outputs


def _axes_of(image: ImageData, given: str | None, path: Path) -> str | None:
    """The axis names to use: given, from the file, or the default (with a note)."""
    if given is not None:
        return given
    if image.axes is not None:
        return image.axes
    default = DEFAULT_AXES.get(image.data.ndim)
    if default is not None and image.data.ndim in (3, 4):
        print(
            f"quorvel: {path}: axes not recorded in the file, assuming {default} "
            "(name them with --axes, e.g. --axes TYX for a time-lapse)",
            file=sys.stderr,
        )
    return default


def _cast(data: npt.NDArray[np.float32], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """`data` in `dtype`: integers are rounded and clipped to the type's range."""
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return np.clip(np.rint(data), info.min, info.max).astype(dtype)
    if dtype.kind == "f":
        return data.astype(dtype, copy=False)
    return data  # boolean input: keep float32


def _describe(data: npt.NDArray[Any], axes: str | None) -> str:
    shape = " x ".join(str(n) for n in data.shape)
    return f"{axes or '?'} {shape} {data.dtype}"


def _show_progress(args: argparse.Namespace) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    return not args.quiet and sys.stderr.isatty()


def _model_record(model: NoiseModel) -> dict[str, Any]:
    if isinstance(model, GaussianNoise):
        return {"model": "gaussian", "sigma": list(model.sigma)}
    return {"model": "poisson-gaussian", "gain": list(model.gain), "offset": list(model.offset)}


# --------------------------------------------------------------------------
# Commands


def _cmd_denoise(args: argparse.Namespace) -> int:
    noise = _noise_from_args(args)
    outputs = _output_paths(args)
    per_file = 4 if isinstance(noise, str) else 3
    with Stages(per_file * len(outputs), enabled=_show_progress(args)) as stages:
        for src, dst in zip(args.inputs, outputs, strict=True):
            start = time.perf_counter()
            image = stages.run(f"reading {src.name}", read_image, src)
            axes = _axes_of(image, args.axes, src)
            out, model = run_denoise(
                image.data,
                noise,
                stages,
                axes=axes,
                patch_radius=args.patch_radius,
                search_axes=args.search_axes,
                max_iter=args.max_iter,
                pvalue=args.pvalue,
                renoise=args.renoise,
                n_threads=args.threads,
            )
            if args.dtype == "input":
                out = _cast(out, image.data.dtype)
            if args.output_dir is not None:
                args.output_dir.mkdir(parents=True, exist_ok=True)
            stages.run(f"writing {dst.name}", write_image, dst, out, axes, image.metadata)
            if not args.quiet:
                stages.write(
                    f"{src} -> {dst}: {_describe(image.data, axes)}; noise {model}; "
                    f"{time.perf_counter() - start:.1f} s"
                )
    return 0


def _cmd_estimate(args: argparse.Namespace) -> int:
    records = []
    for src in args.inputs:
        if not src.is_file():
            raise CommandError(f"{src}: no such file")
        image = read_image(src)
        axes = _axes_of(image, args.axes, src)
        model = estimate_noise(image.data, args.model, axes=axes)
        records.append({"file": str(src), "axes": axes, **_model_record(model)})
        if not args.json:
            print(f"{src}: {model}", flush=True)
    if args.json:
        print(json.dumps(records if len(records) > 1 else records[0], indent=2))
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    from quorvel.demo import run_demo

    start = time.perf_counter()
    run_demo(args.output_dir, n_threads=args.threads)
    print(f"demo finished in {time.perf_counter() - start:.1f} s")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the quorvel command line.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The process exit status: 0 on success, 1 when a command fails, 2 for
        unusable options, 130 when interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.func(args)
    except CommandError as err:
        parser.exit(2, f"quorvel: error: {err}\n")
    except (ValueError, TypeError, OSError, RuntimeError, MemoryError) as err:
        print(f"quorvel: error: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    return status


if __name__ == "__main__":
    sys.exit(main())
