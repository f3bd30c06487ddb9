"""One in-memory run of `quorvel.denoise`: the image prepared, checked, estimated and denoised.

`_prepare` turns the caller's array into its core layout; `_run_denoise`
checks every parameter before any work, then aligns a drifting time-lapse,
plans the noise, chooses the settings left unset (`quorvel._auto`), tunes
them where asked (`quorvel._tune`) and denoises, reporting its stages.  The
command line and the napari widget call it directly for its stages and
callbacks; `quorvel.denoise` is its public face (`quorvel._api`).
"""

from __future__ import annotations

import functools
import logging
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import _band, _drift, _moves
from quorvel._auto import Choice, choose, free_parameters
from quorvel._axes import core_shape, from_core_layout, normalize_axes, to_core_layout
from quorvel._core import (
    _MAX_ELEMENTS,
    CoreSettings,
    Denoised,
    NoisePlan,
    ProgressCallback,
    _denoise_core,
    _Progress,
    new_work_image,
)
from quorvel._lines import Roles
from quorvel._misfit import warn_misfits
from quorvel._params import (
    NoiseKind,
    PatchRadius,
    Search,
    _check_channels,
    _check_flag,
    _check_noise,
    _check_settings,
    _check_threads,
    _check_tune,
)
from quorvel._progress import Stages
from quorvel._tune import TuneResult, _check_grid, _tune_core
from quorvel._util import FloatValues, check_image_values, warn_if_float32_rounds
from quorvel._variance import denoise_with_error_variance
from quorvel.noise import NoiseModel, _plan_noise

_log = logging.getLogger("quorvel")

#: ``tune``: off, on with the default grid, or a grid of one's own.
Tune = bool | Mapping[str, Sequence[Any]]


def _prepare(
    image: npt.ArrayLike, axes: str | None
) -> tuple[npt.NDArray[Any], Roles, npt.NDArray[Any]]:
    """The image as an array, the roles of its axes, and its core-layout view.

    The view lays the image out by the names it is denoised under
    (`quorvel._lines`: a kymograph's T is its Y).
    """
    if isinstance(image, np.ma.MaskedArray) and np.ma.getmaskarray(image).any():
        # The masked pixels' values would be taken as they are, and mixed into
        # their neighbours: no result can honour the mask.
        raise ValueError(
            f"image is a masked array with {int(np.ma.count_masked(image))} masked pixels, "
            "which quorvel would take at their stored values; fill them first "
            "(image.filled(value), e.g. with the background level) and mask the result again"
        )
    arr = np.asarray(image)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"image must hold real numbers, got dtype {arr.dtype}")
    names = normalize_axes(axes, arr.ndim)
    if arr.size == 0:
        raise ValueError(f"image is empty (shape {arr.shape})")
    if arr.size > _MAX_ELEMENTS:
        raise ValueError(
            f"image has {arr.size} elements; at most {_MAX_ELEMENTS} fit in one computation"
        )
    check_image_values(arr)
    warn_if_float32_rounds(arr)
    roles = Roles.of(names, arr.shape)
    return arr, roles, to_core_layout(arr, roles.denoised)


def checked_settings(
    roles: Roles,
    sizes: dict[str, int],
    axes: str | None,
    patch_radius: PatchRadius | None,
    search: Search | None,
    iterations: int | None,
    pvalue: float | None,
    renoise: float,
    kernel: str,
    channels: str | None,
) -> tuple[frozenset[str], CoreSettings]:
    """The settings left to the choice and the checked settings of an image of `sizes`.

    Settings given by axis letter are renamed as the image is denoised
    (`quorvel._lines`); `axes` are the caller's.
    """
    patch_radius = roles.keys(patch_radius, "patch_radius")
    search = roles.search(search)
    free = free_parameters(patch_radius, search, iterations, pvalue, sizes)
    settings = _check_settings(
        sizes,
        roles.shown,
        patch_radius,
        search,
        iterations,
        pvalue,
        renoise,
        kernel,
        _check_channels(channels, axes),
    )
    return free, settings


def check_band_limit(band_limit: bool | None) -> bool | None:
    """`band_limit` checked: None, True or False."""
    if band_limit is not None and not isinstance(band_limit, bool | np.bool_):
        raise ValueError(f"band_limit must be None, True or False, got {band_limit!r}")
    return None if band_limit is None else bool(band_limit)


def band_channels(
    band_limit: bool | None, measured: bool, core5: Any, plan: NoisePlan
) -> tuple[tuple[int, ...], dict[int, float | None]]:
    """The channels of a core-layout image whose result loses the corners of its spectrum.

    None: on stacks (time-lapses, z-stacks) where `measured` (settings
    chosen for the image), every channel where each holds noise alone there
    (`quorvel._band`), with the measure per channel; True: every channel;
    False: none.  `core5` as recorded (not rolled for the alignment).
    """
    shape = tuple(int(n) for n in core5.shape)
    if not _band.can_cut(shape) or band_limit is False:
        return (), {}
    if band_limit:
        return tuple(range(shape[1])), {}
    if not measured or not plan.varying_channels or shape[0] * shape[2] == 1:
        return (), {}
    corners = _band.measure_corners(core5, plan)
    return _band.noise_only(corners), corners


def _cut_after(run: Callable[..., Denoised], cut: tuple[int, ...]) -> Callable[..., Denoised]:
    """`run` (called as `_denoise_core`), then the spectrum of `cut` cut from its result.

    The cut (`quorvel._band`) takes the last `_band.SHARE` of the progress
    reports, so that 1.0 comes once, at the end, and what the progress
    callable raises (Cancel) stops the cut too.
    """
    if not cut:
        return run

    def denoise_then_cut(
        core5: Any, plan: NoisePlan, settings: CoreSettings, threads: int, **kwargs: Any
    ) -> Denoised:
        relay = _Progress(kwargs.pop("progress", None))
        out, variance = run(
            core5, plan, settings, threads, progress=relay.part(1.0 - _band.SHARE), **kwargs
        )
        _band.cut_corners(out, cut, threads, progress=relay.part(_band.SHARE))
        relay.finish()
        return out, variance

    return denoise_then_cut


def _run_denoise(
    image: npt.ArrayLike,
    axes: str | None,
    *,
    noise: NoiseKind,
    sigma: FloatValues | None,
    model: NoiseModel | None,
    patch_radius: PatchRadius | None,
    search: Search | None,
    iterations: int | None,
    pvalue: float | None,
    renoise: float,
    threads: int,
    channels: str | None = None,
    align: bool | None = None,
    kernel: str = "fast",
    tune: Tune = False,
    stages: Stages | None = None,
    on_tune: Callable[[TuneResult], None] | None = None,
    on_settings: Callable[[Choice], None] | None = None,
    stop: Callable[[], None] | None = None,
    progress: ProgressCallback | None = None,
    return_variance: bool = False,
    band_limit: bool | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None, NoisePlan]:
    """`denoise`, run as two stages of a progress display.

    Returns the denoised image, its variance (None unless `return_variance`)
    and the noise plan.  Every parameter is checked before any computation,
    noise estimation included.  `stages` counts two stages: noise,
    denoising (three with `tune`: tuning before denoising; `on_tune`
    receives the choice, and `stop` is called before each run of the
    engine on the tuning's crops: it raises to stop the tuning); the
    denoising reports its progress to the display and to `progress`.
    `on_settings` receives the settings of the run and which of them were
    chosen for the image (`quorvel._auto.Choice`), before the denoising.
    """
    arr, roles, view5 = _prepare(image, axes)
    names = roles.denoised
    sizes = core_shape(arr.shape, names)
    free, settings = checked_settings(
        roles, sizes, axes, patch_radius, search, iterations, pvalue, renoise, kernel, channels
    )
    threads = _check_threads(threads)
    args = _check_noise(noise, sigma, model, sizes["C"])
    _drift.check_align(align)
    tune = _check_tune(tune)
    return_variance = _check_flag(return_variance, "return_variance")
    band_limit = check_band_limit(band_limit)
    if tune is not False:
        _check_grid(None if tune is True else tune, sizes, settings)  # before any work

    if progress is not None and not callable(progress):
        raise ValueError(f"progress must be callable, got {progress!r}")
    # The one float32 copy in core layout: estimation reads it, the engine
    # then denoises it in place.
    work = new_work_image(view5)
    stages = stages or Stages(2, enabled=False)
    # A drifting time-lapse is aligned first: differences of frames then
    # cancel its structure for the noise estimate too.
    shifts = _drift.frame_shifts(work, tested=align is None) if align is not False else ()
    whole = _drift.whole_pixels(shifts)
    _drift.roll_frames(work, whole)
    plan = stages.run("noise", _plan_noise, work, args, threads)
    warn_misfits(work, plan.gain, plan.offset, threads)
    settings, choice = choose(work, plan, settings, free)
    # Measured on the frames as recorded (`work` holds them rolled).
    choice = choice.band_limited(*band_channels(band_limit, bool(free), view5, plan))
    if tune is not False and plan.varying_channels:  # constant channels: nothing to tune
        # The choice joins the grid as the walk's start.
        grid = _check_grid(None if tune is True else tune, sizes, settings)
        settings, tuned = stages.run_stoppable(
            "tuning", _tune_core, work, plan, settings, grid, threads, check=stop
        )
        tuned = roles.tuning(tuned.band_limited(bool(choice.cut)))
        _log.info("tuned: %s", tuned)
        if on_tune is not None:
            on_tune(tuned)
        choice = choice.tuned(settings, work.shape)
    choice = roles.choice(choice.aligned(shifts, work.shape))
    _log.info("settings: %s", choice)
    if on_settings is not None:
        on_settings(choice)
    core_run: Any = _denoise_core
    if shifts:
        # Denoised moved by the fractions of a pixel too, on padded frames;
        # the variance's runs see the sequence as it was (its noise in place).
        _drift.roll_frames(work, whole, back=True)
        core_run = functools.partial(_moves.denoise_moved, shifts=shifts, denoise=_denoise_core)
    denoise_run = (
        functools.partial(denoise_with_error_variance, denoise=core_run)
        if return_variance
        else core_run
    )
    out, variance = stages.run_reporting(
        "denoising",
        progress,
        _cut_after(denoise_run, choice.cut),
        work,
        plan,
        settings,
        threads,
        overwrite=True,
        return_variance=return_variance,
    )
    del work

    def caller_layout(a: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        return np.ascontiguousarray(from_core_layout(a, names))

    return (
        caller_layout(out),
        None if variance is None else caller_layout(variance),
        plan,
    )
