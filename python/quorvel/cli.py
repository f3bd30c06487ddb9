"""Command line of quorvel: denoise an image file, estimate its noise, run the demo.

Examples
--------
::

    quorvel denoise movie.tif -o movie_denoised.tif
    quorvel denoise pages.tif -o out.tif --axes TYX --keep-dtype
    quorvel denoise cells.npy -o out.npy --noise gaussian --sigma 12
    quorvel denoise in.zarr -o out.zarr --chunks T=1,Y=512,X=512
    quorvel denoise big.tif -o out.zarr --chunks T=8 --scheduler tcp://scheduler-host:8786
    quorvel estimate movie.tif --json
    quorvel demo -o demo_output

Images larger than memory are denoised chunk by chunk with dask: a zarr
input or output, ``--chunks`` or ``--scheduler`` selects this mode.  The
input (zarr, or TIFF and .npy opened lazily) is read chunk by chunk and the
result is written into a zarr store as the chunks are done, with a progress
bar; the result equals that of denoising the whole image at once.

Exit status: 0 on success, 1 for bad input (a missing or unreadable file, an
unknown format, bad axes, an invalid parameter), 2 for options the command
does not understand, 130 when interrupted.  Every error is one line on
standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import json
import math
import os
import secrets
import shutil
import sys
import time
import warnings
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import numpy.typing as npt

from quorvel import __version__
from quorvel._api import NoiseModel, _denoise_lazy, _run_denoise, estimate_noise
from quorvel._axes import DEFAULT_AXES, core_shape, normalize_axes
from quorvel._progress import Stages
from quorvel.io import (
    ImageData,
    LazyImage,
    read_image,
    read_lazy,
    supported_kind,
    write_image,
    write_zarr,
)

__all__ = ["build_parser", "main"]

_NOISE_CHOICES = ("auto", "gaussian", "poisson-gaussian")


class CommandError(Exception):
    """A problem with the command's files or options, reported without a traceback."""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line on standard error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"quorvel: error: {message} (see {self.prog} --help)\n")


# --------------------------------------------------------------------------
# Option parsing


def _float_list(text: str) -> tuple[float, ...]:
    try:
        return tuple(float(v) for v in text.split(","))
    except ValueError as err:
        raise argparse.ArgumentTypeError(
            f"expected a number or comma-separated numbers, got {text!r}"
        ) from err


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
            f"expected a radius such as 3, or radii by axis such as X=3,Y=3,Z=1; got {text!r}"
        ) from err


def _letters(text: str) -> str:
    return text.strip().upper()


def _chunk_sizes(text: str) -> dict[str, int]:
    from quorvel._chunked import parse_chunk_spec

    try:
        return parse_chunk_spec(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from err


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``quorvel`` command.

    Returns
    -------
    argparse.ArgumentParser
        Parser with the sub-commands ``denoise``, ``estimate`` and ``demo``.
    """
    parser = _Parser(
        prog="quorvel",
        description="Denoising of fluorescence microscopy images and time-lapse sequences.",
    )
    parser.add_argument("--version", action="version", version=f"quorvel {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    axes_help = (
        "axis names, one letter per dimension: T (time), C or S (channel), Z, Y, X, "
        "e.g. TYX for a time-lapse; default: from the ImageJ or OME metadata, else "
        "YX for 2-D and ZYX for 3-D images"
    )

    den = sub.add_parser(
        "denoise",
        help="denoise a TIFF or .npy file",
        description="Denoise an image, z-stack or time-lapse. The noise is estimated "
        "from the image unless given.",
    )
    den.add_argument(
        "input", type=Path, metavar="IN", help=".tif, .tiff or .npy file, or .zarr store"
    )
    den.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="OUT",
        help=".tif, .tiff or .npy file, or .zarr store (the only output when chunked)",
    )
    den.add_argument("--axes", type=_letters, metavar="AXES", help=axes_help)
    noise = den.add_argument_group("noise (estimated from the image unless given)")
    noise.add_argument(
        "--noise",
        choices=_NOISE_CHOICES,
        help="noise model (default: gaussian with --sigma, else auto: Poisson-Gaussian, "
        "with Gaussian for channels whose fitted gain is not positive)",
    )
    noise.add_argument(
        "--sigma",
        type=_float_list,
        metavar="S",
        help="Gaussian noise standard deviation (per channel: 5,8)",
    )
    noise.add_argument(
        "--gain",
        type=_float_list,
        metavar="G",
        help="Poisson-Gaussian gain (per channel: 2.1,1.9)",
    )
    noise.add_argument(
        "--offset",
        type=_float_list,
        metavar="O",
        help="Poisson-Gaussian offset, with --gain; write negative values as --offset=-190",
    )
    algo = den.add_argument_group("denoiser")
    algo.add_argument(
        "--patch-radius",
        type=_patch_radius,
        metavar="R",
        help="patch half-size: 3, or by axis X=3,Y=3,Z=1 (default: 3 in X and Y)",
    )
    algo.add_argument(
        "--search",
        type=_letters,
        metavar="AXES",
        default="ZT",
        help="axes besides X and Y along which the search window grows "
        "(default: %(default)s; '' for none)",
    )
    algo.add_argument(
        "--iterations",
        type=int,
        default=4,
        metavar="N",
        help="each doubles the search window in X and Y (default: %(default)s)",
    )
    algo.add_argument(
        "--pvalue",
        type=float,
        metavar="P",
        default=0.01,
        help="significance level of the tests; smaller averages more (default: %(default)s)",
    )
    algo.add_argument(
        "--tune",
        action="store_true",
        help="choose patch radius, iterations and p-value for this image by the least "
        "estimated error, starting from the values given; prints the choice",
    )
    algo.add_argument(
        "--renoise",
        type=float,
        metavar="R",
        default=0.0,
        help="mix the noisy image back in; larger keeps more (default: %(default)s)",
    )
    den.add_argument(
        "--threads",
        type=int,
        default=0,
        metavar="N",
        help="0 all, -1 all but one; when chunked, per chunk, 0 dividing the CPUs among the "
        "chunks that run at once (default: %(default)s)",
    )
    big = den.add_argument_group(
        "chunked (larger than memory; selected by these options or a .zarr input or output)"
    )
    big.add_argument(
        "--chunks",
        type=_chunk_sizes,
        metavar="SIZES",
        help="chunk sizes by axis, e.g. T=1,Y=512,X=512; sizes along X, Y (and Z, T with a "
        "patch radius) must be multiples of the patch grid step and at least the halo "
        "(40 along X and Y, 1 along T with the defaults, so T=1 processes 3 frames per "
        "frame: larger chunks waste less); axes left out keep the input's chunks",
    )
    big.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a dask.distributed scheduler to run on, e.g. tcp://scheduler-host:8786 "
        "(default: threads of this process)",
    )
    den.add_argument(
        "--keep-dtype",
        action="store_true",
        help="write the input's sample type (rounded and clipped) instead of float32",
    )
    den.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar, notes or summary"
    )
    den.set_defaults(func=_cmd_denoise)

    est = sub.add_parser(
        "estimate",
        help="estimate the noise of a file",
        description="Estimate the noise model of an image (per channel: Poisson-Gaussian "
        "gain and offset, Gaussian sigma) and print it.",
    )
    est.add_argument(
        "input",
        type=Path,
        metavar="IN",
        help=".tif, .tiff or .npy file, or .zarr store (estimated on a central region)",
    )
    est.add_argument("--axes", type=_letters, metavar="AXES", help=axes_help)
    est.add_argument("--json", action="store_true", help="print JSON instead of a table")
    est.set_defaults(func=_cmd_estimate)

    demo = sub.add_parser(
        "demo",
        help="run the demonstration on synthetic data",
        description="Denoise a synthetic time-lapse with a known noise model and report "
        "the estimated model, PSNR and time.",
    )
    demo.add_argument(
        "-o",
        "--output-dir",
        type=Path,
        default=Path("demo_output"),
        metavar="DIR",
        help="where to write the images (default: %(default)s)",
    )
    demo.add_argument("--threads", type=int, default=0, metavar="N", help="(default: 0, all)")
    demo.set_defaults(func=_cmd_demo)
    return parser


# --------------------------------------------------------------------------
# Helpers


def _noise_options(args: argparse.Namespace) -> dict[str, Any]:
    """The `noise`, `sigma` and `model` arguments of `denoise` from the options."""
    if (args.gain is None) != (args.offset is None):
        raise CommandError("--gain and --offset must be given together")
    if args.sigma is not None and args.gain is not None:
        raise CommandError("--sigma cannot be combined with --gain/--offset")
    kind = args.noise or ("gaussian" if args.sigma is not None else "auto")
    if args.sigma is not None and kind != "gaussian":
        raise CommandError(f"--sigma goes with --noise gaussian, not {kind}")
    if args.gain is not None and kind == "gaussian":
        raise CommandError("--gain/--offset go with --noise auto or poisson-gaussian")
    model = None if args.gain is None else NoiseModel(args.gain, args.offset)
    return {"noise": kind, "sigma": args.sigma, "model": model}


def _is_zarr_path(path: Path) -> bool:
    return path.suffix.lower() == ".zarr"


def _is_zarr_store(path: Path) -> bool:
    return path.is_dir() and ((path / "zarr.json").is_file() or (path / ".zarray").is_file())


def _check_input(path: Path) -> None:
    if not path.exists():
        raise CommandError(f"{path}: no such file")
    if _is_zarr_path(path):
        if not path.is_dir():
            raise CommandError(f"{path}: not a zarr store")
        return
    if not path.is_file():
        raise CommandError(f"{path}: not a file")
    supported_kind(path)


def _check_output(src: Path, dst: Path) -> None:
    supported_kind(dst)
    if _is_zarr_path(dst):
        if dst.exists() and not _is_zarr_store(dst):
            raise CommandError(f"{dst}: exists and is not a zarr store; not replacing it")
    elif dst.is_dir():
        raise CommandError(f"{dst}: is a directory")
    if not dst.parent.is_dir():
        raise CommandError(f"{dst}: directory {dst.parent} does not exist")
    if dst.exists() and dst.resolve() == src.resolve():
        raise CommandError(f"{dst}: the output would replace its input")


def _read(path: Path) -> ImageData:
    try:
        return read_image(path)
    except MemoryError:
        raise
    except Exception as err:
        # A damaged file can fail anywhere inside the readers, with any error.
        raise CommandError(f"{path}: cannot read the image ({_one_line(err)})") from err


def _axes_of(image: ImageData | LazyImage, given: str | None, path: Path, quiet: bool) -> str:
    """The axis names to use: given, from the file, or the default for 2-D and 3-D."""
    if given is not None:
        return given
    if image.axes is not None:
        return image.axes
    ndim = image.data.ndim
    if ndim not in DEFAULT_AXES:
        example = {1: "X", 4: "TZYX", 5: "TZCYX"}.get(ndim, "TZYX")
        raise CommandError(
            f"{path}: the file does not record the axes of its {ndim}-D image; "
            f"give them with --axes, e.g. --axes {example}"
        )
    if ndim == 3 and not quiet:
        print(
            f"quorvel: note: {path}: axes not recorded in the file, taking ZYX "
            "(a z-stack); use --axes TYX for a time-lapse",
            file=sys.stderr,
        )
    return DEFAULT_AXES[ndim]


def _cast(data: npt.NDArray[np.float32], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """`data` in `dtype`: integers are rounded and clipped to the type's range."""
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return np.clip(np.rint(data), info.min, info.max).astype(dtype)
    if dtype.kind == "f":
        return data.astype(dtype, copy=False)
    return data  # boolean input: keep float32


def _describe(data: Any, axes: str) -> str:
    return f"{axes} {' x '.join(str(n) for n in data.shape)} {data.dtype}"


def _multi_frame(shape: tuple[int, ...], axes: str) -> bool:
    sizes = core_shape(shape, normalize_axes(axes, len(shape)))
    return sizes["T"] * sizes["Z"] > 1


def _one_line(err: BaseException) -> str:
    return " ".join(str(err).split()) or type(err).__name__


def _write_atomically(
    dst: Path, data: npt.NDArray[Any], axes: str, metadata: dict[str, Any]
) -> None:
    """Write to a hidden file beside `dst` and rename it: `dst` is never partial."""
    tmp = dst.with_name(f".{dst.stem}.{os.getpid()}-{secrets.token_hex(4)}.partial{dst.suffix}")
    try:
        write_image(tmp, data, axes, metadata)
        os.replace(tmp, dst)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def _write_zarr_atomically(dst: Path, data: Any, axes: str, compute: Any) -> list[Any]:
    """Write `data` into a hidden store beside `dst`, then put it in place of `dst`.

    `compute` runs the graph (the store first, then any further result it is
    handed by the caller) and returns the computed values.
    """
    tmp = dst.with_name(f".{dst.stem}.{os.getpid()}-{secrets.token_hex(4)}.partial.zarr")
    try:
        values: list[Any] = compute(write_zarr(tmp, data, axes))
        if dst.exists():
            shutil.rmtree(dst)
        os.replace(tmp, dst)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return values


@contextlib.contextmanager
def _dask_client(address: str | None) -> Iterator[Any]:
    """A client of the distributed scheduler at `address`, or None to run on local threads."""
    if address is None:
        yield None
        return
    try:
        from distributed import Client
    except ImportError as err:
        raise CommandError("--scheduler needs the distributed package") from err
    try:
        client = Client(address)
    except (OSError, TimeoutError, ValueError) as err:
        raise CommandError(
            f"cannot reach the dask scheduler at {address} ({_one_line(err)})"
        ) from err
    try:
        yield client
    finally:
        client.close()


def _computer(client: Any, show_bar: bool, extra: Sequence[Any]) -> Any:
    """A function computing a store task together with `extra`, with a progress bar."""

    def compute(store: Any) -> list[Any]:
        import dask

        lazy = [v for v in extra if dask.is_dask_collection(v)]
        if client is None:
            from dask.diagnostics import ProgressBar

            bar = ProgressBar(out=sys.stderr) if show_bar else contextlib.nullcontext()
            with bar:
                done = list(dask.compute(store, *lazy, scheduler="threads"))
        else:
            futures = client.compute([store, *lazy])
            if show_bar:
                from distributed import progress

                # The console bar of distributed writes to standard output.
                with contextlib.redirect_stdout(sys.stderr):
                    progress(futures, multi=False)
                print(file=sys.stderr)
            done = list(client.gather(futures))
        values = iter(done[1:])
        return [done[0], *(next(values) if dask.is_dask_collection(v) else v for v in extra)]

    return compute


@contextlib.contextmanager
def _core_output_silenced() -> Iterator[None]:
    """Discard what the compute core prints on the process's standard output.

    The core reports a failed noise fit with a diagnostic printed by the C
    runtime, which would break JSON output and summaries; the package reports
    such fits itself.
    """
    try:
        libc: Any = ctypes.CDLL(None)
        libc.fflush(None)
        sys.stdout.flush()
        saved = os.dup(1)
    except (OSError, AttributeError, ValueError):
        yield  # no C runtime or no file descriptor 1 to redirect
        return
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def _warnings_as_lines() -> Iterator[None]:
    """Show warnings as one line each: ``quorvel: warning: ...``."""

    def show(message: Warning | str, *_: Any, **__: Any) -> None:
        print(f"quorvel: warning: {_one_line(Warning(str(message)))}", file=sys.stderr)

    with warnings.catch_warnings():
        # Every warning meant for users, each time; other categories (resource
        # and deprecation notes of libraries) keep Python's default filters.
        warnings.simplefilter("always", UserWarning)
        warnings.simplefilter("always", RuntimeWarning)
        warnings.showwarning = show
        yield


# --------------------------------------------------------------------------
# Commands


def _chunked_mode(args: argparse.Namespace) -> bool:
    return (
        args.chunks is not None
        or args.scheduler is not None
        or _is_zarr_path(args.input)
        or _is_zarr_path(args.output)
    )


def _denoiser_options(args: argparse.Namespace) -> dict[str, Any]:
    """The denoiser's parameters from the command line, as keyword arguments."""
    return {
        "patch_radius": args.patch_radius,
        "search": args.search,
        "iterations": args.iterations,
        "pvalue": args.pvalue,
        "renoise": args.renoise,
        "threads": args.threads,
    }


def _cmd_denoise_chunked(args: argparse.Namespace, options: dict[str, Any]) -> int:
    src, dst = args.input, args.output
    if not _is_zarr_path(dst):
        raise CommandError(
            f"{dst}: chunked denoising writes a zarr store; name the output *.zarr"
        )
    start = time.perf_counter()
    try:
        image = read_lazy(src)
    except (ValueError, MemoryError):
        raise
    except Exception as err:
        raise CommandError(f"{src}: cannot open the image ({_one_line(err)})") from err
    axes = _axes_of(image, args.axes, src, args.quiet)
    out, plan = _denoise_lazy(
        image.data,
        axes,
        **options,
        **_denoiser_options(args),
        chunks=args.chunks,
    )
    if args.keep_dtype:
        dtype = np.dtype(image.data.dtype)
        out = out.map_blocks(_cast, dtype, dtype=dtype if dtype.kind in "iuf" else np.float32)
    with _dask_client(args.scheduler) as client, _core_output_silenced():
        compute = _computer(client, not args.quiet, [plan])
        _, plan = _write_zarr_atomically(dst, out, axes, compute)
    if not args.quiet:
        chunks = "x".join(str(c[0]) for c in out.chunks)
        print(
            f"{src} -> {dst}: {_describe(image.data, axes)}; noise {plan}; "
            f"chunks {chunks}; {time.perf_counter() - start:.1f} s",
            flush=True,
        )
    return 0


def _cmd_denoise(args: argparse.Namespace) -> int:
    src, dst = args.input, args.output
    options = _noise_options(args)
    _check_input(src)
    _check_output(src, dst)
    if _chunked_mode(args):
        if args.tune:
            raise CommandError("--tune works on images denoised in memory, not chunked")
        return _cmd_denoise_chunked(args, options)
    start = time.perf_counter()
    image = _read(src)
    axes = _axes_of(image, args.axes, src, args.quiet)
    normalize_axes(axes, image.data.ndim)  # bad axes fail here, before the bar
    show_bar = not args.quiet and _multi_frame(image.data.shape, axes)
    tuned: list[Any] = []  # printed after the core's output is let through again
    with Stages(3 + args.tune, enabled=show_bar) as stages, _core_output_silenced():
        out, plan = _run_denoise(
            image.data,
            axes,
            **options,
            **_denoiser_options(args),
            tune=args.tune,
            stages=stages,
            on_tune=tuned.append,
        )
        if args.keep_dtype:
            out = _cast(out, image.data.dtype)
        stages.run("writing", _write_atomically, dst, out, axes, image.metadata)
    if not args.quiet:
        print(
            f"{src} -> {dst}: {_describe(image.data, axes)}; noise {plan}; "
            + "".join(f"tuned {t}; " for t in tuned)
            + f"{time.perf_counter() - start:.1f} s",
            flush=True,
        )
    return 0


def _json_number(value: float | None) -> float | None:
    return None if value is None or math.isnan(value) else value


def _cmd_estimate(args: argparse.Namespace) -> int:
    src = args.input
    _check_input(src)
    image: ImageData | LazyImage = read_lazy(src) if _is_zarr_path(src) else _read(src)
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


def _cmd_demo(args: argparse.Namespace) -> int:
    from quorvel.demo import run_demo

    run_demo(args.output_dir, threads=args.threads)
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
        The exit status: 0 on success, 1 for bad input or a failed
        computation, 2 for unusable options, 130 when interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _warnings_as_lines():
            status: int = args.func(args)
    except (CommandError, ValueError, TypeError, OSError, RuntimeError, MemoryError) as err:
        print(f"quorvel: error: {_one_line(err)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    return status


if __name__ == "__main__":
    sys.exit(main())
