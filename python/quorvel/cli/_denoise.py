"""The ``denoise`` command: one image in memory, or chunk by chunk with dask."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
import time
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._api import NoiseModel
from quorvel._axes import DEFAULT_AXES, core_shape, normalize_axes
from quorvel._lazy import _denoise_lazy
from quorvel._progress import Stages
from quorvel._provenance import provenance_record
from quorvel._run import _run_denoise
from quorvel._util import one_line as _one_line
from quorvel.cli._compute import _computer, _dask_client
from quorvel.cli._console import (
    CommandError,
    _core_output_silenced,
    _describe,
    _naming,
    _shown,
)
from quorvel.cli._files import (
    _check_input,
    _check_output,
    _expand_inputs,
    _is_zarr_path,
    _open_lazy,
    _Publication,
    _read,
    _write_atomically,
    _write_zarr_atomically,
)
from quorvel.cli._rechunk import chunks_for_run
from quorvel.io import ImageData, LazyImage, supported_kind, wants_ome, write_problem
from quorvel.io._npy import sidecar_axes_problem


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
    if args.camera is not None:
        if args.gain is not None or kind == "gaussian":
            raise CommandError("--camera cannot be combined with --gain/--offset or --sigma")
        model = NoiseModel.from_json(args.camera)
        # A camera file is the user's statement of the noise: no fallback to a guess.
        for c, (gain, offset) in enumerate(zip(model.gain, model.offset, strict=True)):
            if not (gain > 0 and math.isfinite(offset)):
                raise CommandError(
                    f"{args.camera}: channel {c} has gain {gain:.4g} and offset {offset:.4g}; "
                    "a camera's gain must be positive and its offset finite"
                )
    return {"noise": kind, "sigma": args.sigma, "model": model}


def _axes_of(image: ImageData | LazyImage, given: str | None, path: Path, quiet: bool) -> str:
    """The axis names to use: given, from the file, or the default for 2-D and 3-D."""
    ndim = image.data.ndim
    if given is not None:
        try:
            normalize_axes(given, ndim)
        except ValueError as err:
            dims = " x ".join(map(str, image.data.shape))
            example = DEFAULT_AXES.get(ndim) or {4: "TZYX", 5: "TZCYX"}.get(ndim)
            hint = f"; --axes names each dimension in order, e.g. --axes {example}"
            raise CommandError(f"{path}: {err} ({dims}){hint if example else ''}") from err
        return given
    if image.axes is not None:
        return image.axes
    # A sidecar left from another image: said, rather than "not recorded".
    misfit = sidecar_axes_problem(path, image.data.shape) if supported_kind(path) == "npy" else None
    if ndim not in DEFAULT_AXES:
        example = {1: "X", 4: "TZYX", 5: "TZCYX"}.get(ndim, "TZYX")
        unknown = misfit or f"{path}: the file does not record the axes of its {ndim}-D image"
        raise CommandError(f"{unknown}; give them with --axes, e.g. --axes {example}")
    if (ndim == 3 or misfit) and not quiet:
        unknown = misfit or f"{_shown(path)}: axes not recorded in the file"
        hint = " (a z-stack); use --axes TYX for a time-lapse" if ndim == 3 else "; or --axes"
        print(
            f"quorvel: note: {unknown}, taking {DEFAULT_AXES[ndim]}{hint}",
            file=sys.stderr,
        )
    return DEFAULT_AXES[ndim]


def _cast(data: npt.NDArray[np.float32], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """`data` in `dtype`: rounded for integers, and clipped to the type's range."""
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        # float32 rounds the largest value of 32- and 64-bit integers up, out
        # of their range (where the conversion wraps): clip below it, and give
        # what lies above the type's largest value.
        high = np.float32(info.max)
        if int(high) > info.max:
            high = np.nextafter(high, np.float32(0))
        rounded = np.rint(data)
        out = np.clip(rounded, np.float32(info.min), high).astype(dtype)
        out[rounded > high] = info.max
        return out
    if dtype.kind == "f":
        largest = np.finfo(dtype).max
        if largest < np.finfo(np.float32).max:  # float16: larger values would be infinite
            data = np.clip(data, -np.float32(largest), np.float32(largest))
        return data.astype(dtype, copy=False)
    return data  # boolean input: keep float32


def _multi_frame(shape: tuple[int, ...], axes: str) -> bool:
    sizes = core_shape(shape, normalize_axes(axes, len(shape)))
    return sizes["T"] * sizes["Z"] > 1


def _chunked_mode(args: argparse.Namespace, src: Path, dst: Path) -> bool:
    return (
        args.chunks is not None
        or args.scheduler is not None
        or _is_zarr_path(src)
        or _is_zarr_path(dst)
    )


def _denoiser_options(args: argparse.Namespace) -> dict[str, Any]:
    """The denoiser's parameters from the command line, as keyword arguments."""
    return {
        "patch_radius": args.patch_radius,
        "search": args.search,
        "iterations": args.iterations,
        "pvalue": args.pvalue,
        "renoise": args.renoise,
        "channels": args.channels,
        "align": {"auto": None, "on": True, "off": False}[args.align],
        "band_limit": {"auto": None, "on": True, "off": False}[args.band_limit],
        "threads": args.threads,
        "kernel": args.kernel,
    }


def _run_parameters(
    args: argparse.Namespace, axes: str, tuned: Any = None, choice: Any = None
) -> dict[str, Any]:
    """Every parameter of a run, as recorded in the output's provenance.

    The options as given (None: chosen for the image), and under
    ``settings`` the settings the run used (`quorvel._auto.Choice`).
    """
    record = {
        "axes": axes,
        "noise": args.noise or ("gaussian" if args.sigma is not None else "auto"),
        "sigma": args.sigma,
        "gain": args.gain,
        "offset": args.offset,
        "camera": None if args.camera is None else str(args.camera),
        **_denoiser_options(args),
        "tune": args.tune,
        "keep_dtype": args.keep_dtype,
        "chunks": args.chunks,
        "level": args.level,
        "series": args.series,
    }
    if tuned is not None:
        record["tuned"] = tuned.as_dict()
    if choice is not None:
        record["settings"] = choice.as_dict()
    return record


def _output_metadata(
    metadata: dict[str, Any],
    plan: Any,
    args: argparse.Namespace,
    axes: str,
    src: Path,
    tuned: Any = None,
    choice: Any = None,
) -> dict[str, Any]:
    """The input's metadata with the provenance of this run."""
    record = provenance_record(plan, _run_parameters(args, axes, tuned, choice), source=str(src))
    return {**metadata, "provenance": record}


def _first(items: list[Any]) -> Any:
    return items[0] if items else None


def _report(
    src: Path,
    dst: Path,
    image: Any,
    axes: str,
    plan: Any,
    tuned: list[Any],
    chosen: list[Any],
    tail: str,
) -> str:
    """The line that reports a denoised file: sizes, noise, settings and what else."""
    return (
        f"{_shown(src)} -> {_shown(dst)}: {_describe(image.data, axes)}; noise {plan}; "
        + "".join(f"tuned {t}; " for t in tuned)
        + "".join(f"settings {c}; " for c in chosen if not tuned)
        + tail
    )


def _chunks_of_file(
    args: argparse.Namespace, axes: str, ndim: int, src: Path
) -> argparse.Namespace:
    """`args` with the ``--chunks`` of a batch kept to the axes of one of its files.

    A batch mixes files: ``--chunks T=1`` asks for one frame per chunk of
    the time-lapses among them and says nothing of a z-stack's chunks.  The
    axes a file lacks are left out for it, with a note that names them.
    """
    if not args.chunks:
        return args
    names = normalize_axes(axes, ndim)
    absent = [a for a in args.chunks if a not in names]
    if not absent:
        return args
    kept = {a: s for a, s in args.chunks.items() if a in names}
    if not args.quiet:
        left = ",".join(f"{a}={args.chunks[a]}" for a in absent)
        print(
            f"quorvel: note: {_shown(src)}: no {' or '.join(absent)} axis (axes {axes}); "
            f"--chunks {left} left out for this file",
            file=sys.stderr,
        )
    return argparse.Namespace(**{**vars(args), "chunks": kept or None})


def _denoise_chunked_file(
    args: argparse.Namespace,
    src: Path,
    dst: Path,
    options: dict[str, Any],
    show_bar: bool,
    batch: bool = False,
) -> str:
    if not _is_zarr_path(dst):
        raise CommandError(f"{dst}: chunked denoising writes a zarr store; name the output *.zarr")
    start = time.perf_counter()
    image = _open_lazy(src, args.level, args.series)
    axes = _axes_of(image, args.axes, src, args.quiet)
    if batch:
        args = _chunks_of_file(args, axes, image.data.ndim, src)
    data, note = chunks_for_run(image.data, axes, args)
    tuned: list[Any] = []
    chosen: list[Any] = []
    with _naming(src):
        out, plan = _denoise_lazy(
            data,
            axes,
            **options,
            **_denoiser_options(args),
            chunks=args.chunks,
            tune=args.tune,
            on_tune=tuned.append,
            on_settings=chosen.append,
        )
    if note is not None and not args.quiet:  # once the options are found good
        print(f"quorvel: note: {_shown(src)}: {note}", file=sys.stderr)
    if args.keep_dtype:
        dtype = np.dtype(image.data.dtype)
        out = out.map_blocks(_cast, dtype, dtype=dtype if dtype.kind in "iuf" else np.float32)
    ome = wants_ome(dst, image.metadata) or (args.pyramid or 1) > 1
    with _dask_client(args.scheduler) as client, _core_output_silenced(), _naming(src):
        compute = _computer(client, show_bar, [plan])
        _, plan = _write_zarr_atomically(
            dst,
            out,
            axes,
            compute,
            image.metadata,
            lambda values: _output_metadata(
                image.metadata, values[1], args, axes, src, _first(tuned), _first(chosen)
            ),
            ome=ome,
            levels=args.pyramid,
        )
    chunks = "x".join(str(c[0]) for c in out.chunks)
    return _report(
        src,
        dst,
        image,
        axes,
        plan,
        tuned,
        chosen,
        f"chunks {chunks}; {time.perf_counter() - start:.1f} s",
    )


def _denoise_file(
    args: argparse.Namespace,
    src: Path,
    dst: Path,
    options: dict[str, Any],
    show_bar: bool,
    batch: bool = False,
) -> str:
    """Denoise `src` into `dst`; the line that reports it (`batch`: a file of a batch)."""
    _check_input(src)
    _check_output(src, dst, args.overwrite)
    if args.variance is not None:
        _check_output(src, args.variance, args.overwrite)
        if args.variance.resolve() == dst.resolve():
            raise CommandError(f"{args.variance}: the variance would replace the output")
    if _chunked_mode(args, src, dst):
        if args.variance is not None:
            raise CommandError("--variance is not available for chunked denoising")
        return _denoise_chunked_file(args, src, dst, options, show_bar, batch)
    if (args.pyramid or 1) > 1:
        raise CommandError(
            f"{dst}: a pyramid is written into an OME-Zarr store; name it *.ome.zarr"
        )
    start = time.perf_counter()
    image = _read(src, args.level, args.series)
    axes = _axes_of(image, args.axes, src, args.quiet)
    normalize_axes(axes, image.data.ndim)  # bad axes fail here, before the bar
    # What the outputs' file kinds cannot hold is refused before the denoising.
    outputs = {dst: image.data.dtype if args.keep_dtype else np.dtype(np.float32)}
    if args.variance is not None:
        outputs[args.variance] = np.dtype(np.float32)
    for path, dtype in outputs.items():
        problem = write_problem(path, dtype, image.data.ndim, image.metadata)
        if problem is not None:
            raise CommandError(f"{path}: {problem}")
    show_bar = show_bar and _multi_frame(image.data.shape, axes)
    publication = _Publication()
    tuned: list[Any] = []
    chosen: list[Any] = []
    try:
        with Stages(3 + args.tune, enabled=show_bar) as stages, _core_output_silenced():
            try:
                with _naming(src, (ValueError, TypeError)):  # the image's values, named
                    out, variance, plan = _run_denoise(
                        image.data,
                        axes,
                        **options,
                        **_denoiser_options(args),
                        tune=args.tune,
                        stages=stages,
                        on_tune=tuned.append,
                        on_settings=chosen.append,
                        return_variance=args.variance is not None,
                    )
                if args.keep_dtype:
                    out = _cast(out, image.data.dtype)
                metadata = _output_metadata(
                    image.metadata, plan, args, axes, src, _first(tuned), _first(chosen)
                )
                if variance is not None:  # put in place with the output only
                    _write_atomically(
                        args.variance, variance, axes, metadata, publication, with_output=True
                    )
                stages.run("writing", _write_atomically, dst, out, axes, metadata, publication)
            except KeyboardInterrupt:
                publication.cancel()  # before the stages wait for the writing to end
                raise
            finally:
                publication.discard()
    except KeyboardInterrupt:
        if not publication.done:
            raise
        # Too late to stop: the output is complete and in place.
        print(f"quorvel: interrupted after {_shown(dst)} was written", file=sys.stderr)
    return _report(
        src, dst, image, axes, plan, tuned, chosen, f"{time.perf_counter() - start:.1f} s"
    )


def _batch_output(src: Path, out_dir: Path, chunked: bool) -> Path:
    """The output of `src` in `out_dir`: the same name (a zarr store when chunked).

    Vendor files (CZI, ND2, LIF), which are read only, give OME-TIFF files.
    """
    if not chunked and supported_kind(src) == "bioio":
        return out_dir / (src.stem + ".ome.tif")
    if not chunked or _is_zarr_path(src):
        return out_dir / src.name
    ome = src.name.lower().endswith((".ome.tif", ".ome.tiff"))
    stem = src.name[: src.name.lower().rindex(".ome.")] if ome else src.stem
    return out_dir / (stem + (".ome.zarr" if ome else ".zarr"))


def _names_image(path: Path) -> bool:
    """Whether `path` is named as an image file or store (``out.tif``, ``out.zarr``)."""
    try:
        supported_kind(path)
    except ValueError:
        return False
    return True


def _is_batch(args: argparse.Namespace) -> bool:
    out = args.output
    many = len(args.input) > 1 or any(
        (p.is_dir() and not _is_zarr_path(p)) or any(c in str(p) for c in "*?[") for p in args.input
    )
    # Named ``out/``: a folder, unless a zarr store (a directory, completed with ``/``).
    folder = getattr(args, "output_is_folder", False)
    return many or ((out.is_dir() or folder) and not _is_zarr_path(out))


def _cmd_denoise(args: argparse.Namespace) -> int:
    options = _noise_options(args)
    if args.level < 0 or (args.pyramid is not None and args.pyramid < 1):
        raise CommandError("--level must be 0 or more and --pyramid 1 or more")
    if not _is_batch(args):
        line = _denoise_file(args, args.input[0], args.output, options, not args.quiet)
        if not args.quiet:
            print(line, flush=True)
        return 0
    if args.variance is not None:
        raise CommandError("--variance names one file: it is not available for a batch")
    return _denoise_batch(args, options)


@contextlib.contextmanager
def _warnings_of(src: Path, write: Any) -> Iterator[None]:
    """Show the warnings about one file of a batch as lines that name it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UserWarning)
        warnings.simplefilter("always", RuntimeWarning)
        try:
            yield
        finally:
            for item in caught:
                if issubclass(item.category, (UserWarning, RuntimeWarning)):
                    text = _one_line(Warning(str(item.message)))
                    write(f"quorvel: warning: {_shown(src)}: {text}", file=sys.stderr)


def _denoise_batch(args: argparse.Namespace, options: dict[str, Any]) -> int:
    """Denoise every input into the output folder; a failed file is reported and skipped."""
    from tqdm import tqdm

    out_dir = args.output
    sources = _expand_inputs(args.input, out_dir)
    if not sources:
        raise CommandError("no image files among the inputs")
    if not out_dir.is_dir():
        if out_dir.exists() or out_dir.is_symlink():
            raise CommandError(f"{out_dir}: not a folder; the outputs of a batch go into one")
        if not getattr(args, "output_is_folder", False) and _names_image(out_dir):
            folder = out_dir.with_name(out_dir.name.split(".")[0] or "denoised")
            raise CommandError(
                f"{out_dir}: the name of an image file, but the outputs of {len(sources)} "
                f"inputs go into a folder; name one, e.g. -o {folder}{os.sep}"
            )
        try:
            out_dir.mkdir(parents=True)
        except OSError as err:
            raise CommandError(f"{out_dir}: cannot create the folder ({_one_line(err)})") from err
        if not args.quiet:
            print(f"quorvel: created the folder {_shown(out_dir)}", file=sys.stderr)
    failed: list[Path] = []
    taken: dict[Path, Path] = {}
    with tqdm(
        total=len(sources), unit="file", file=sys.stderr, disable=args.quiet, leave=False
    ) as bar:
        for src in sources:
            dst = _batch_output(src, out_dir, args.chunks is not None or args.scheduler is not None)
            try:
                if dst in taken:
                    raise CommandError(f"{dst}: also the output of {taken[dst]}; skipped")
                taken[dst] = src
                with _warnings_of(src, bar.write):
                    line = _denoise_file(args, src, dst, options, show_bar=False, batch=True)
                if not args.quiet:
                    bar.write(line, file=sys.stdout)
            except (
                CommandError,
                ValueError,
                TypeError,
                OSError,
                RuntimeError,
                MemoryError,
            ) as err:
                failed.append(src)
                message = _one_line(err)
                prefix = "" if message.startswith(str(src)) else f"{_shown(src)}: "
                bar.write(f"quorvel: error: {prefix}{message}", file=sys.stderr)
            bar.update(1)
    done = len(sources) - len(failed)
    if failed or not args.quiet:
        summary = f"quorvel: {done} of {len(sources)} files denoised into {_shown(out_dir)}"
        if failed:
            summary += f"; {len(failed)} failed: {', '.join(_shown(p) for p in failed)}"
        print(summary, file=sys.stderr)
    return 1 if failed else 0
