"""`denoise` and `estimate_noise` of dask arrays: lazy results, chunked computation."""

from __future__ import annotations

import contextlib
import functools
import itertools
import logging
import math
import sys
import threading
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

from quorvel import _band, _drift, _moves
from quorvel._auto import Choice, choose
from quorvel._axes import normalize_axes
from quorvel._core import _MAX_ELEMENTS, CoreSettings, NoisePlan, _denoise_core
from quorvel._lines import Roles
from quorvel._misfit import warn_misfits
from quorvel._params import (
    NoiseKind,
    PatchRadius,
    Search,
    _check_noise,
    _check_threads,
    _check_tune,
    _NoiseArgs,
)
from quorvel._progress import Interrupted
from quorvel._run import band_channels, check_band_limit, checked_settings
from quorvel._tune import TuneResult, _check_grid, _tune_core
from quorvel._util import FloatValues
from quorvel.noise import NoiseModel, _estimate_core, _plan_noise
from quorvel.noise._plan import _check_method

#: Most chunks of a chunked run: its graph holds about 12 tasks and 11 kB per
#: chunk (1.3 GB and 50 s to build for 100,000 chunks), all in memory.
MAX_CHUNKS = 100_000


def _check_chunk_count(numblocks: tuple[int, ...], what: str, hint: str) -> None:
    """Refuse a run of more than `MAX_CHUNKS` chunks before its graph is built."""
    count = math.prod(numblocks)
    if count > MAX_CHUNKS:
        grid = " x ".join(str(n) for n in numblocks)
        raise ValueError(
            f"{what} {count} chunks ({grid}); a run holds at most {MAX_CHUNKS}: {hint}"
        )


def _is_dask(image: object) -> bool:
    """Whether `image` is a dask array (without importing dask when it is not loaded)."""
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(image, module.Array)


def _is_delayed(value: object) -> bool:
    module = sys.modules.get("dask.delayed")
    return module is not None and isinstance(value, module.Delayed)


def _prepare_lazy(image: Any, axes: str | None) -> tuple[Roles, Any]:
    """The roles of a dask array's axes and its core-layout view; nothing is read.

    The view lays the image out by the names it is denoised under
    (`quorvel._lines`), as `denoise` does in memory.
    """
    from quorvel import _chunked

    if np.dtype(image.dtype).kind not in "biuf":
        raise TypeError(f"image must hold real numbers, got dtype {image.dtype}")
    names = normalize_axes(axes, image.ndim)
    if any(math.isnan(n) for n in image.shape):
        raise ValueError(
            "image has chunks of unknown size; call its compute_chunk_sizes() method first"
        )
    if any(n == 0 for n in image.shape):
        raise ValueError(f"image is empty (shape {image.shape})")
    roles = Roles.of(names, image.shape)
    return roles, _chunked.to_core_dask(image, roles.denoised)


def _estimate_lazy(image: Any, axes: str | None, method: str = "auto") -> Any:
    from quorvel import _chunked

    roles, core = _prepare_lazy(image, axes)
    _check_method(method)
    roles.check_method(method, image.shape)
    return _chunked.estimate_lazy(core, _estimate_and_check, method)


def _needs_estimate(args: _NoiseArgs) -> bool:
    """Whether planning the noise of `args` reads the image.

    It does where a level must be estimated, and where a channel has no
    usable noise parameter (a model's NaN gain or sigma of 0, as
    `estimate_noise` gives them for a channel of one value): the plan tells
    on the noise sample whether the channel holds one value, and every
    block checks that it does (`quorvel._core._check_constant`).
    """
    model = args.model
    if args.kind == "gaussian":
        if args.sigma is not None:
            return False
        return model is None or model.sigma is None or not all(v > 0 for v in model.sigma)
    if model is None:
        return True
    if args.kind == "poisson-gaussian":
        return not all(g > 0 for g in model.gain)
    sigma = model.sigma or (None,) * len(model.gain)
    return any(
        not g > 0 and not (s is not None and s > 0) for g, s in zip(model.gain, sigma, strict=True)
    )


def _plan_noise_checked(
    core5: npt.NDArray[Any], model: NoiseModel, *, noise: str, sigma: FloatValues | None
) -> NoisePlan:
    """`_plan_noise` for a model known only when the computation runs."""
    return _plan_and_check(core5, _check_noise(noise, sigma, model, core5.shape[1]))


def _plan_and_check(core5: npt.NDArray[Any], args: _NoiseArgs) -> NoisePlan:
    """`_plan_noise` on the noise sample, its Poisson-Gaussian models checked on it too."""
    plan = _plan_noise(core5, args)
    warn_misfits(core5, plan.gain, plan.offset)
    return plan


def _estimate_and_check(core5: npt.NDArray[Any], method: str) -> NoiseModel:
    """`_estimate_core` on the noise sample, the fitted lines checked on it too."""
    model = _estimate_core(core5, method)
    warn_misfits(core5, model.gain, model.offset)
    return model


class StoppablePool(ThreadPoolExecutor):
    """A thread pool for dask's threaded scheduler whose running chunks can be stopped.

    The engine call of every block polls its pool's `stopped` through its
    progress callable (the engine checks signals on the main thread only;
    dask runs the blocks on worker threads), so that stopping one pool
    stops only its own chunks, not those of another run in the process.
    """

    _count: ClassVar[Iterator[int]] = itertools.count()
    _by_prefix: ClassVar[dict[str, threading.Event]] = {}

    def __init__(self, workers: int) -> None:
        prefix = f"quorvel-chunk-{next(self._count)}"
        super().__init__(workers, thread_name_prefix=prefix)
        self._prefix = prefix
        self.stopped = threading.Event()
        StoppablePool._by_prefix[prefix] = self.stopped

    def stop(self) -> None:
        """Stop the running chunks at their next progress report (from any thread)."""
        self.stopped.set()

    def release(self) -> None:
        """Wait for the running chunks, drop the waiting ones, and forget the pool."""
        try:
            self.shutdown(wait=True, cancel_futures=True)
        finally:
            StoppablePool._by_prefix.pop(self._prefix, None)

    @staticmethod
    def of_this_thread() -> threading.Event | None:
        """The `stopped` of the pool the calling thread belongs to, if any."""
        prefix = threading.current_thread().name.rpartition("_")[0]
        return StoppablePool._by_prefix.get(prefix)


def _poll_stop(_: float) -> None:
    stopped = StoppablePool.of_this_thread()
    if stopped is not None and stopped.is_set():
        raise Interrupted


@contextlib.contextmanager
def stoppable_pool() -> Iterator[StoppablePool]:
    """A `StoppablePool` for the block; on an exception (Ctrl-C) its chunks are stopped.

    Its size is dask's (``num_workers``, else the CPUs).  The running blocks
    stop within about 0.1 s, the waiting ones are dropped, and the exception
    propagates once no chunk runs any more.
    """
    import dask

    workers = dask.config.get("num_workers", None) or dask.system.CPU_COUNT
    pool = StoppablePool(int(workers))
    try:
        yield pool
    except BaseException:
        pool.stop()
        raise
    finally:
        pool.release()


def _denoise_block(
    work: npt.NDArray[np.float32], plan: NoisePlan, threads: int, *, settings: CoreSettings
) -> npt.NDArray[np.float32]:
    """Denoise one block (a fresh core-layout float32 array) of a chunked computation."""
    return _denoise_core(work, plan, settings, threads, overwrite=True, progress=_poll_stop)[0]


def _plan_chunks(core: Any, settings: CoreSettings, chunks: Mapping[str, int] | None) -> Any:
    """The chunks and halos of `core` for `settings` (`_chunked.plan_chunks`), checked."""
    from quorvel import _chunked

    plan = _chunked.plan_chunks(
        core.shape,
        settings.patch_radius,
        settings.search,
        settings.iterations,
        chunks if chunks is not None else core.chunks,
        default=core.chunks,
        reach5=settings.reach,
    )
    _check_chunk_count(
        tuple(len(c) for c in plan.chunks),
        "chunks: the image would be cut into",
        "give larger chunk sizes",
    )
    largest = math.prod(
        max(a.block_lengths(c)) if len(c) > 1 else a.extent
        for a, c in zip(plan.axes, plan.chunks, strict=True)
    )
    if largest > _MAX_ELEMENTS:
        raise ValueError(
            f"a chunk with its halo holds {largest} elements; at most {_MAX_ELEMENTS} fit in "
            "one computation: use smaller chunks"
        )
    return plan


def _denoise_lazy(
    image: Any,
    axes: str | None,
    *,
    noise: NoiseKind,
    sigma: FloatValues | None,
    model: Any,
    patch_radius: PatchRadius | None,
    search: Search | None,
    iterations: int | None,
    pvalue: float | None,
    renoise: float,
    threads: int,
    channels: str | None = None,
    align: bool | None = None,
    kernel: str = "fast",
    chunks: Mapping[str, int] | None = None,
    tune: Any = False,
    on_tune: Callable[[TuneResult], None] | None = None,
    on_settings: Callable[[Choice], None] | None = None,
    stop: Callable[[], None] | None = None,
    tune_progress: Callable[[float], object] | None = None,
    band_limit: bool | None = None,
) -> tuple[Any, Any]:
    """`denoise` of a dask array: the lazy result and its noise plan (maybe delayed).

    Every parameter, and `chunks` (chunk sizes by core axis letter, checked
    strictly; None keeps the image's chunks, aligned), is checked before
    anything is read.  With settings left to the choice (`quorvel._auto`)
    or `tune`, the noise plan is computed here, and the measures of the
    choice read the middle of the image (`quorvel._auto.sample_region`);
    the tuning reads only its crops and the central frame and plane
    (`on_tune` receives its choice, `stop`, called before each of its runs,
    raises to stop it, and `tune_progress` receives its share of work
    done).  Both choose among the settings whose halo the chunks can hold,
    and the chunks are planned for the chosen ones; `on_settings` receives
    the settings of the run.
    """
    from quorvel import _chunked

    _check_chunk_count(image.numblocks, "the image is stored in", "store it in larger chunks")
    roles, core = _prepare_lazy(image, axes)
    names = roles.denoised
    sizes = dict(zip(_chunked.CORE_AXES, core.shape, strict=True))
    absent = [a for a in chunks or {} if a not in roles.names]
    if absent:
        raise ValueError(f"chunks: the image has no {absent[0]} axis (axes {roles.names})")
    chunks = roles.keys(chunks, "chunks")
    free, settings = checked_settings(
        roles, sizes, axes, patch_radius, search, iterations, pvalue, renoise, kernel, channels
    )
    threads = _check_threads(threads)
    delayed_model = _is_delayed(model)
    args = _check_noise(noise, sigma, None if delayed_model else model, sizes["C"])
    _drift.check_align(align)
    tune = _check_tune(tune)
    band_limit = check_band_limit(band_limit)
    if tune is not False:
        _check_grid(None if tune is True else tune, sizes, settings)  # before any work
    if not free:
        _plan_chunks(core, settings, chunks)  # before anything is read
    # A drifting time-lapse is aligned first, as in memory (the noise too is
    # estimated on it aligned).
    shifts = _drift.frame_shifts(core, tested=align is None) if align is not False else ()
    unmoved = core
    if shifts:
        core = _drift.roll_frames_lazy(core, _drift.whole_pixels(shifts))

    noise_plan: Any
    if delayed_model:
        noise_plan = _chunked.estimate_lazy(
            core, functools.partial(_plan_noise_checked, noise=noise, sigma=sigma), model
        )
    elif _needs_estimate(args):
        noise_plan = _chunked.estimate_lazy(core, functools.partial(_plan_and_check, args=args))
    else:
        # Nothing to estimate: the plan needs only the channel count.
        noise_plan = _plan_noise(np.empty((0, sizes["C"], 0, 0, 0), dtype=np.float32), args)

    def fits(candidate: CoreSettings) -> bool:
        try:
            _plan_chunks(core, candidate, chunks)
        except ValueError:
            return False
        return True

    if (free or tune is not False) and not isinstance(noise_plan, NoisePlan):
        noise_plan = noise_plan.compute()
    settings, choice = choose(core, noise_plan, settings, free, allowed=fits)
    # Measured on the frames as recorded (`core` holds them rolled).
    choice = choice.band_limited(*band_channels(band_limit, bool(free), unmoved, noise_plan))
    if tune is not False and noise_plan.varying_channels:  # constant channels: nothing to tune
        grid = _check_grid(None if tune is True else tune, sizes, settings)
        settings, tuned = _tune_core(
            core,
            noise_plan,
            settings,
            grid,
            threads,
            check=stop,
            allowed=fits,
            progress=tune_progress,
        )
        tuned = roles.tuning(tuned.band_limited(bool(choice.cut)))
        logging.getLogger("quorvel").info("tuned: %s", tuned)
        if on_tune is not None:
            on_tune(tuned)
        choice = choice.tuned(settings, tuple(core.shape))
    choice = roles.choice(choice.aligned(shifts, tuple(core.shape)))
    logging.getLogger("quorvel").info("settings: %s", choice)
    if on_settings is not None:
        on_settings(choice)
    plan = _plan_chunks(core, settings, chunks)

    block_kernel = functools.partial(_denoise_block, settings=settings)
    if shifts:
        # Denoised moved by the fractions of a pixel too, on padded frames
        # (in chunks of the same sizes), as in memory.
        padded = _moves.pad_frames_lazy(unmoved, shifts)
        padded = padded.rechunk(tuple(max(c) for c in core.chunks))
        padded_plan = _plan_chunks(padded, settings, chunks)
        out = _chunked.denoise_lazy(
            padded, block_kernel, noise_plan, padded_plan, n_threads=threads
        )
        out = _moves.unpad_frames_lazy(out, shifts, unmoved)
        out = out.rechunk(plan.chunks if plan.output is None else plan.output)
    else:
        out = _chunked.denoise_lazy(core, block_kernel, noise_plan, plan, n_threads=threads)
    out = _band.cut_corners_lazy(out, choice.cut)
    return _chunked.from_core_dask(out, names), noise_plan
