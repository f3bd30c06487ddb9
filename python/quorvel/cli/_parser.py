"""The options of the ``quorvel`` command and their parsing."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from quorvel import __version__
from quorvel._params import CHANNELS
from quorvel._text import parse_chunk_spec, parse_numbers, parse_patch_radius, parse_search
from quorvel.cli._commands import _cmd_calibrate, _cmd_demo, _cmd_estimate, _cmd_info
from quorvel.cli._denoise import _cmd_denoise
from quorvel.noise import METHODS

_NOISE_CHOICES = ("auto", "gaussian", "poisson-gaussian")


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line on standard error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"quorvel: error: {message} (see {self.prog} --help)\n")


class _OutputPath(argparse.Action):
    """Store the output as a path, and whether it was named as a folder (``out/``).

    A path drops the trailing separator that says so.
    """

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        text = str(values)
        setattr(namespace, self.dest, Path(text))
        namespace.output_is_folder = text.endswith(("/", os.sep))


def _float_list(text: str) -> tuple[float, ...]:
    try:
        return parse_numbers(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from err


def _patch_radius(text: str) -> int | dict[str, int]:
    try:
        return parse_patch_radius(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from err


def _letters(text: str) -> str:
    return text.strip().upper()


def _search(text: str) -> str | dict[str, int | None]:
    if "=" not in text:
        return _letters(text)
    try:
        return parse_search(text)
    except ValueError as err:
        if "given twice" in str(err):
            raise argparse.ArgumentTypeError(str(err)) from err
        raise argparse.ArgumentTypeError(
            f"expected axis letters such as ZT, or by axis such as Z,T=1 or T=5,Z=2; got {text!r}"
        ) from err


def _chunk_sizes(text: str) -> dict[str, int]:

    try:
        return parse_chunk_spec(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from err


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``quorvel`` command.

    Returns
    -------
    argparse.ArgumentParser
        Parser with the sub-commands ``denoise``, ``estimate``, ``info`` and ``demo``.
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

    level_help = (
        "resolution level of an OME-Zarr or pyramidal TIFF input (default: 0, full resolution)"
    )
    series_help = (
        "image series of a TIFF file that holds several, such as the positions of a "
        "multi-position OME-TIFF, numbered from 0 (default: 0, the first)"
    )

    den = sub.add_parser(
        "denoise",
        help="denoise image files",
        description="Denoise an image, z-stack or time-lapse. The noise is estimated "
        "from the image unless given.",
    )
    den.add_argument(
        "input",
        type=Path,
        nargs="+",
        metavar="IN",
        help=".tif, .tiff, .npy, .czi, .nd2 or .lif file, or .zarr store (OME-Zarr image too); "
        "several files, folders and glob patterns denoise each file into the folder OUT",
    )
    den.add_argument(
        "-o",
        "--output",
        action=_OutputPath,
        required=True,
        metavar="OUT",
        help=".tif, .tiff or .npy file, or .zarr store (the only output when chunked; "
        ".ome.tif and .ome.zarr for OME); a folder for several inputs, or one named with a "
        "trailing / (created if missing)",
    )
    den.add_argument(
        "--overwrite", action="store_true", help="replace outputs that exist (default: refuse)"
    )
    den.add_argument("--level", type=int, default=0, metavar="N", help=level_help)
    den.add_argument("--series", type=int, default=0, metavar="N", help=series_help)
    den.add_argument(
        "--pyramid",
        type=int,
        nargs="?",
        const=4,
        default=None,
        metavar="LEVELS",
        help="write an OME-Zarr pyramid of LEVELS resolutions, each halving X and Y "
        "(default without the option: as many as an OME-Zarr input has, else 1; with it "
        "alone: %(const)s)",
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
    noise.add_argument(
        "--camera",
        type=Path,
        metavar="JSON",
        help="noise model of the camera, from 'quorvel calibrate' (instead of --gain/--offset)",
    )
    algo = den.add_argument_group("denoiser")
    algo.add_argument(
        "--patch-radius",
        type=_patch_radius,
        metavar="R",
        help="patch half-size: 3, or by axis X=3,Y=3,Z=1 (default: chosen for the image; "
        "axes not given are chosen)",
    )
    algo.add_argument(
        "--search",
        type=_search,
        metavar="AXES",
        help="axes besides X and Y along which the search window grows ('' for none), or "
        "by axis with reaches, e.g. T=5,Z=2 (up to 5 frames and 2 planes to each side from "
        "the first iteration on) or Z,T=1 (a bare letter grows the window along that axis) "
        "(default: chosen for the image)",
    )
    algo.add_argument(
        "--iterations",
        type=int,
        metavar="N",
        help="each doubles the search window in X and Y (default: chosen for the image)",
    )
    algo.add_argument(
        "--pvalue",
        type=float,
        metavar="P",
        help="significance level of the tests; smaller averages more (default: chosen for "
        "the image)",
    )
    algo.add_argument(
        "--tune",
        action="store_true",
        help="choose patch radii (along Z and T too), iterations, p-value and, on "
        "time-lapses, the search reach along T for this image by the least estimated "
        "error, starting from the values given (which join the grid: --iterations 6 "
        "lets it go to 6); prints the choice",
    )
    algo.add_argument(
        "--renoise",
        type=float,
        metavar="R",
        default=0.0,
        help="mix the noisy image back in; larger keeps more (default: %(default)s)",
    )
    algo.add_argument(
        "--channels",
        choices=CHANNELS,
        help="independent: each channel denoised with its own patch similarity; joint: a "
        "patch spans all channels (default: independent for C, joint for S such as RGB)",
    )
    algo.add_argument(
        "--align",
        choices=("auto", "on", "off"),
        default="auto",
        help="time-lapses: move frames that drift as a whole back by their shifts before "
        "denoising, and the result back after (auto: where measured to help; default: "
        "%(default)s)",
    )
    algo.add_argument(
        "--band-limit",
        choices=("auto", "on", "off"),
        default="auto",
        help="cut from the result the spatial frequencies beyond half a cycle per pixel, which "
        "optics sampled at the Nyquist rate pass none of (auto: on time-lapses and z-stacks "
        "with settings chosen for the image, where the noisy image holds noise alone there; "
        "default: %(default)s)",
    )
    algo.add_argument(
        "--kernel",
        choices=("fast", "exact"),
        default="fast",
        help="fast: float32 with vector instructions; exact: the arithmetic of the compute "
        "core, about five times slower (default: %(default)s)",
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
        "patch radius) must be multiples of the patch grid step, and along X, Y and Z at "
        "least the halo of the settings given (40 with patch radius 3 and 4 iterations; "
        "settings chosen for the image are made cheaper until they fit); frames in chunks "
        "shorter than the halo along T are denoised in blocks of its length: larger chunks "
        "waste less; axes left out keep the input's chunks, merged (with a note) where they "
        "are small for the run; in a batch, the axes a file lacks are left out for it",
    )
    big.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a dask.distributed scheduler to run on, e.g. tcp://scheduler-host:8786 "
        "(default: threads of this process)",
    )
    den.add_argument(
        "--variance",
        type=Path,
        metavar="PATH",
        help="also write a per-pixel variance calibrated to predict the squared error of the "
        "result (float32, squared intensity units) to PATH; takes two to four and a half "
        "times as long",
    )
    den.add_argument(
        "--keep-dtype",
        action="store_true",
        help="write the input's sample type (rounded and clipped) instead of float32",
    )
    den.add_argument("-q", "--quiet", action="store_true", help="no progress bar, notes or summary")
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
    est.add_argument("--level", type=int, default=0, metavar="N", help=level_help)
    est.add_argument("--series", type=int, default=0, metavar="N", help=series_help)
    est.add_argument("--json", action="store_true", help="print JSON instead of a table")
    est.add_argument(
        "--method", choices=METHODS, default="auto", help="calibration (default: %(default)s)"
    )
    est.add_argument(
        "--plot",
        type=Path,
        metavar="PNG",
        help="draw the local mean-variance points and the fitted line per channel "
        "(needs matplotlib)",
    )
    est.add_argument(
        "--overwrite", action="store_true", help="replace the plot if it exists (default: refuse)"
    )
    est.set_defaults(func=_cmd_estimate)

    cal = sub.add_parser(
        "calibrate",
        help="measure a camera's noise model from dark and flat frames",
        description="Offset and read noise from dark frames; gain from pairs of flat "
        "frames (each file a stack of 2 or more frames, or single frames paired in order), "
        "or from --image when there are no flats.",
    )
    cal.add_argument("--dark", type=Path, nargs="+", required=True, metavar="DARK")
    cal.add_argument("--flat", type=Path, nargs="*", default=[], metavar="FLAT")
    cal.add_argument("--image", type=Path, metavar="IMG", help="image to take the gain from")
    cal.add_argument(
        "--series",
        type=int,
        default=0,
        metavar="N",
        help="image series of IMG, a TIFF file that holds several, numbered from 0 (default: "
        "0, the first); every series of the dark and flat files is read",
    )
    cal.add_argument("-o", "--output", type=Path, required=True, metavar="JSON")
    cal.add_argument(
        "--overwrite", action="store_true", help="replace JSON if it exists (default: refuse)"
    )
    cal.set_defaults(func=_cmd_calibrate)

    info = sub.add_parser(
        "info",
        help="describe an image file and how it was made",
        description="Print the axes, shape, sample type, physical sizes and channel names "
        "of an image, and the provenance that quorvel recorded in its outputs.",
    )
    info.add_argument("input", type=Path, metavar="IN", help="an image file or zarr store")
    info.add_argument("--level", type=int, default=0, metavar="N", help=level_help)
    info.add_argument("--series", type=int, default=0, metavar="N", help=series_help)
    info.add_argument("--json", action="store_true", help="print JSON instead of text")
    info.set_defaults(func=_cmd_info)

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
