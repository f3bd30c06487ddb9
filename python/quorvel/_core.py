"""The calls into the engine ``quorvel._engine`` on core-layout ``(T, C, Z, Y, X)`` arrays.

`_denoise_core` denoises one core-layout array with a fixed `NoisePlan` and
`CoreSettings`; the calibration helpers wrap the core's two estimators (through the
engine, which reports their diagnostics instead of printing them).  A
chunked computation calls these per block.

Channels
--------
Noise estimation treats every channel on its own, and so do the
variance-stabilising transforms of the Poisson-Gaussian path.  By default
the denoiser does too (`CoreSettings.joint` false): each channel is
denoised in its own call, with its own patch similarity, so that a bright
channel's structure does not steer the averaging of a dim one.  Joint
channels are denoised in one call per noise path: a patch then spans all
channels of its pixels and the similarity of two patches is judged on all
of them, each scaled to unit noise (Gaussian path) or to photon units
(Poisson-Gaussian path) so that they weigh alike.
"""

from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import _engine
from quorvel._inverse import unbiased_photons
from quorvel._threads import resolve_threads
from quorvel._util import FLOAT32_MAX, _format_values

# The package's engine, built from the compute core, looked up through this
# name on every call (tests put a recording stand-in there).
engine = _engine

#: ``progress(fraction)``: told the share of the denoising work done.
ProgressCallback = Callable[[float], object]

# Shortest interval between two progress reports.
_REPORT_SECONDS = 0.1

# The compute core addresses elements with 32-bit offsets.
_MAX_ELEMENTS = 2**31 - 1

# The stabilised noise has unit standard deviation.
_STABILISED_SIGMA = 1.0


@dataclass(frozen=True)
class NoisePlan:
    """The noise parameters of every channel, as the core receives them.

    Channel ``c`` takes the Poisson-Gaussian path with ``gain[c]`` and
    ``offset[c]`` when ``gain[c]`` is not None, and the Gaussian path with
    ``sigma[c]`` otherwise, unless ``constant[c]`` is not None: such a
    channel holds that one value throughout, has nothing to denoise (its
    noise level is 0) and is passed through unchanged.  A plan is fixed for
    a whole image: a chunked computation makes it once and denoises every
    block with it.
    """

    gain: tuple[float | None, ...]
    offset: tuple[float | None, ...]
    sigma: tuple[float | None, ...]
    constant: tuple[float | None, ...] = ()

    @property
    def poisson_channels(self) -> list[int]:
        """Channels on the Poisson-Gaussian path."""
        return [c for c, g in enumerate(self.gain) if g is not None]

    @property
    def gaussian_channels(self) -> list[int]:
        """Channels on the Gaussian path (constant channels take neither path)."""
        return [c for c, g in enumerate(self.gain) if g is None and self.value(c) is None]

    @property
    def constant_channels(self) -> list[int]:
        """Channels passed through unchanged: one value throughout."""
        return [c for c in range(len(self.gain)) if self.value(c) is not None]

    @property
    def varying_channels(self) -> list[int]:
        """Channels that are denoised, in order."""
        return [c for c in range(len(self.gain)) if self.value(c) is None]

    def value(self, c: int) -> float | None:
        """The value of channel `c` when it is constant, else None."""
        return self.constant[c] if c < len(self.constant) else None

    def __str__(self) -> str:
        parts = []
        if self.poisson_channels:
            parts.append(
                f"Poisson-Gaussian, gain {_format_values(self.gain)}, "
                f"offset {_format_values(self.offset)}"
            )
        if self.gaussian_channels:
            parts.append(f"Gaussian, sigma {_format_values(self.sigma)}")
        if self.constant_channels:
            channels = ", ".join(str(c) for c in self.constant_channels)
            plural = "s" if len(self.constant_channels) > 1 else ""
            parts.append(f"constant channel{plural} {channels}, passed through")
        return "; ".join(parts)


@dataclass(frozen=True)
class CoreSettings:
    """Validated denoiser parameters in the core's x, y, z, c, t order."""

    patch_radius: tuple[int, int, int, int, int]
    search: tuple[int, int, int, int, int]
    iterations: int
    pvalue: float
    renoise: float
    #: Largest search half-size per axis (x, y, z, c, t); -1 keeps the
    #: default schedule; empty when no axis has a reach.
    reach: tuple[int, ...] = ()
    #: The engine's estimation kernel: ``"fast"`` or ``"exact"``.
    kernel: str = "fast"
    #: Channels denoised together, a patch spanning all of them (on each
    #: noise path), rather than each on its own.
    joint: bool = False


class _Progress:
    """Relays a run's progress to a callable: monotone, at most every 0.1 s.

    A run may call the engine several times (one call per noise path); call
    `part` with the share of the work of each call before running it.
    """

    def __init__(self, callback: ProgressCallback | None) -> None:
        self._callback = callback
        self._start = 0.0
        self._share = 1.0
        self._last = -1.0
        self._last_time = -math.inf

    def part(self, share: float) -> Callable[[float], None] | None:
        """A callable for the next engine call, which does `share` of the work."""
        if self._callback is None:
            return None
        self._start = max(self._last, 0.0)
        self._share = share
        return self._report

    def _report(self, fraction: float) -> None:
        value = min(1.0, self._start + self._share * min(max(fraction, 0.0), 1.0))
        now = time.monotonic()
        if value <= self._last or now - self._last_time < _REPORT_SECONDS:
            return
        self._last, self._last_time = value, now
        assert self._callback is not None
        self._callback(value)

    def finish(self) -> None:
        """Report the end: 1.0, once (not again when the last poll already reported it)."""
        if self._callback is not None and self._last < 1.0:
            self._last = 1.0
            self._callback(1.0)


def new_work_image(source: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """A float32 copy of `source` that the engine denoises in place, without a copy of its own."""
    work: npt.NDArray[np.float32] = engine.new_image(source.shape)
    np.copyto(work, source, casting="unsafe")
    return work


def _channel(core5: npt.NDArray[Any], c: int) -> npt.NDArray[np.float32]:
    return np.ascontiguousarray(core5[:, c : c + 1], dtype=np.float32)


# --------------------------------------------------------------------------
# Noise estimation


#: Magnitude beyond which a channel is scaled down by a power of two for the
#: core's Gaussian estimate, and the magnitude it is brought under.  The
#: estimate's sums overflow float32 from about 3e37 on (a level 60 % high at
#: 5e37, NaN at 3e38); a power of two scales every value and the estimate
#: exactly.
_LARGEST_ESTIMATED, _SCALED_TO = 2.0**100, 2.0**64


def _estimate_sigma(
    core5: npt.NDArray[Any], channels: Sequence[int], threads: int = 0
) -> dict[int, float]:
    """Gaussian noise level of the given channels of a core-layout image, each on its own."""
    n = resolve_threads(threads)
    levels: dict[int, float] = {}
    for c in channels:
        channel = _channel(core5, c)
        largest = float(np.max(np.abs(channel))) if channel.size else 0.0
        if not largest > _LARGEST_ESTIMATED:  # NaN too: the core's own answer
            levels[c] = float(engine.calibrate_gaussian(channel, threads=n))
            continue
        exponent = math.ceil(math.log2(largest / _SCALED_TO))
        scaled = channel * np.float32(2.0**-exponent)  # `channel` may be a view of `core5`
        levels[c] = math.ldexp(float(engine.calibrate_gaussian(scaled, threads=n)), exponent)
    return levels


class CoreOutputWarning(RuntimeWarning):
    """A diagnostic of the compute core's calibration (a channel it could not fit)."""


def _calibrate(
    core5: npt.NDArray[Any], threads: int = 0
) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """Fitted gain and offset of every channel; NaN where the fit failed.

    `threads` as for `_denoise_core`.  The core's diagnostic of each channel
    it could not fit (the text `_qv` prints) becomes a `CoreOutputWarning`.
    """
    image = np.ascontiguousarray(core5, dtype=np.float32)
    gain, offset, failures = engine.calibrate_poisson_gaussian(
        image, threads=resolve_threads(threads)
    )
    for _, text in failures:
        warnings.warn(
            f"the compute core reported: {' '.join(text.split())}",
            CoreOutputWarning,
            stacklevel=2,
        )
    failed = {c for c, _ in failures}
    pairs = [
        (math.nan, math.nan) if c in failed else (float(g), float(o))
        for c, (g, o) in enumerate(zip(gain, offset, strict=True))
    ]
    return tuple(g for g, _ in pairs), tuple(o for _, o in pairs)


# --------------------------------------------------------------------------
# Denoising


def _engine_settings(settings: CoreSettings, threads: int) -> dict[str, Any]:
    return {
        "patch_radius": list(settings.patch_radius),
        "search": list(settings.search),
        "reach": list(settings.reach),
        "max_iter": settings.iterations,
        "pvalue": settings.pvalue,
        "threads": threads,
        "renoise": settings.renoise,
        "kernel": settings.kernel,
    }


Denoised = tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None]


def _split(result: Any, return_variance: bool) -> Denoised:
    if return_variance:
        image, variance = result
        return image, variance
    return result, None


def _denoise_gaussian(
    work: npt.NDArray[np.float32],
    sigma: list[float],
    settings: CoreSettings,
    threads: int,
    progress: Callable[[float], None] | None = None,
    return_variance: bool = False,
) -> Denoised:
    """Gaussian path on a core-layout float32 array that the engine may overwrite."""
    kwargs = _engine_settings(settings, threads)
    kwargs.update(progress=progress, return_variance=return_variance)
    # The engine runs at unit noise whatever sigma is.
    _check_renoise(settings.renoise, _STABILISED_SIGMA)
    if len(set(sigma)) == 1:
        return _split(engine.denoise_gaussian(work, sigma=sigma[0], **kwargs), return_variance)
    # Unit noise in every channel, so that each weighs alike in the joint
    # patch comparison.
    scale = np.asarray(sigma, dtype=np.float32).reshape(1, -1, 1, 1, 1)
    work /= scale
    out, variance = _split(
        engine.denoise_gaussian(work, sigma=_STABILISED_SIGMA, **kwargs), return_variance
    )
    out *= scale
    if variance is not None:
        variance *= scale * scale
    return out, variance


def _denoise_poisson_gaussian(
    work: npt.NDArray[np.float32],
    gain: list[float],
    offset: list[float],
    settings: CoreSettings,
    threads: int,
    progress: Callable[[float], None] | None = None,
    return_variance: bool = False,
) -> Denoised:
    """Poisson-Gaussian path on a core-layout float32 array that the engine may overwrite.

    The engine runs in photon units (gain 1): the forward transform into
    unit-variance noise is the same as with the original gain, and the
    inverse transform's fixed bias correction of 1/4 is then applied at the
    scale where it is right.  With gain g it would shift every intensity by
    ``(1 - g) / 4``.  Its algebraic result is then replaced by the exact
    unbiased inverse's (`quorvel._inverse`), which keeps dark backgrounds
    dark.
    """
    n = work.shape[1]
    _check_renoise(settings.renoise, _STABILISED_SIGMA)
    photon_offset = [_photon_offset(g, o) for g, o in zip(gain, offset, strict=True)]
    scale = np.asarray(gain, dtype=np.float32).reshape(1, -1, 1, 1, 1)
    work /= scale
    kwargs = _engine_settings(settings, threads)
    out, variance = _split(
        engine.denoise_poisson_gaussian(
            work,
            sigma=_STABILISED_SIGMA,
            gain=[1.0] * n,
            offset=photon_offset,
            progress=progress,
            return_variance=return_variance,
            **kwargs,
        ),
        return_variance,
    )
    unbiased_photons(out, photon_offset, variance)
    out *= scale
    if variance is not None:
        variance *= scale * scale
    return out, variance


def _denoise_core(
    core5: npt.NDArray[Any],
    plan: NoisePlan,
    settings: CoreSettings,
    threads: int,
    *,
    overwrite: bool = False,
    progress: ProgressCallback | None = None,
    return_variance: bool = False,
) -> Denoised:
    """Denoise one core-layout ``(T, C, Z, Y, X)`` array with fixed noise parameters.

    Parameters
    ----------
    core5 : ndarray
        The image in core layout, any real dtype.
    plan : NoisePlan
        Path and noise parameters of every channel of `core5`.
    settings : CoreSettings
        Validated denoiser parameters.
    threads : int
        Thread count (`quorvel._threads.resolve_threads`: 0 all available
        CPUs, negative all but that many, at most ``max(64, 4 * CPUs)``).
    overwrite : bool
        Let the computation use `core5` as its work array when it is a
        writeable C-contiguous float32 array (denoised in place, without a
        copy, when it comes from `new_work_image`); otherwise `core5` is not
        modified.
    progress : callable, optional
        Called as ``progress(fraction)`` while the engine runs (see
        `quorvel.denoise`); an exception it raises stops the run.
    return_variance : bool
        Also return the variance of the result.

    Returns
    -------
    ndarray of float32
        The denoised image, C-contiguous, in core layout.
    ndarray of float32 or None
        Its variance per pixel in intensity units, or None.
    """
    n = core5.shape[1]
    threads = resolve_threads(threads)
    if len(plan.gain) != n:
        raise ValueError(f"the noise plan has {len(plan.gain)} channels, the image {n}")
    grown = _covered_shape(core5.shape, settings.patch_radius)
    if grown != core5.shape:
        out, variance = _denoise_core(
            _mirror_end(core5, grown),
            plan,
            settings,
            threads,
            overwrite=True,
            progress=progress,
            return_variance=return_variance,
        )
        crop = tuple(slice(0, size) for size in core5.shape)
        return (
            np.ascontiguousarray(out[crop]),
            None if variance is None else np.ascontiguousarray(variance[crop]),
        )
    reusable = (
        overwrite
        and core5.dtype == np.float32
        and core5.flags.c_contiguous
        and core5.flags.writeable
    )
    work = core5 if reusable else new_work_image(core5)
    relay = _Progress(progress)

    def run(a: npt.NDArray[np.float32], channels: list[int]) -> Denoised:
        """The channels `channels` of one noise path, in `a`, in one call of the engine."""
        report = relay.part(len(channels) / len(plan.varying_channels))
        if plan.gain[channels[0]] is None:
            sigma = _values(plan.sigma, channels)
            return _denoise_gaussian(a, sigma, settings, threads, report, return_variance)
        gain, offset = _values(plan.gain, channels), _values(plan.offset, channels)
        return _denoise_poisson_gaussian(
            a, gain, offset, settings, threads, report, return_variance
        )

    _check_constant(work, plan)
    groups = _channel_groups(plan, settings.joint)
    if groups == [list(range(n))]:
        result = run(work, groups[0])
    else:
        # Each group of channels in its own call, its result written back in
        # place of its input (already copied out); constant channels keep
        # their values, with no variance.
        variance = np.zeros_like(work) if return_variance else None
        for channels in groups:
            part, part_variance = run(new_work_image(work[:, channels]), channels)
            work[:, channels] = part
            if variance is not None:
                variance[:, channels] = part_variance
        result = work, variance
    if not np.isfinite(result[0]).all():
        # Finite parameters and pixels can still overflow float32 once
        # divided by a small noise level or gain.
        raise ValueError(
            f"the result is not finite: the image's values with noise {plan} exceed the "
            "float32 range of the computation; rescale the image or the noise parameters"
        )
    relay.finish()
    return result


def _channel_groups(plan: NoisePlan, joint: bool) -> list[list[int]]:
    """The channels denoised together, group by group.

    Independent channels (`joint` false) go one by one, each with its own
    patch similarity; joint ones go together by noise path, a patch then
    spanning all channels of its pixels.
    """
    if not joint:
        return [[c] for c in plan.varying_channels]
    return [g for g in (plan.poisson_channels, plan.gaussian_channels) if g]


def _check_constant(core5: npt.NDArray[Any], plan: NoisePlan) -> None:
    """Raise unless every channel the plan passes through holds its one value in `core5`.

    A chunked computation plans its noise on a part of the image: a channel
    constant there but not in a block must not be passed through.
    """
    for c in plan.constant_channels:
        channel = core5[:, c]
        if channel.size and not (channel.min() == channel.max() == np.float32(plan.value(c))):
            raise ValueError(
                f"channel {c} holds one value ({plan.value(c):.6g}) where the noise was "
                "estimated but not throughout, so its noise level is unknown; give sigma "
                "with noise='gaussian' or a noise model"
            )


def _covered_shape(
    shape: tuple[int, ...], patch_radius: tuple[int, int, int, int, int]
) -> tuple[int, ...]:
    """The core-layout shape the engine covers whole: `shape` grown by one where it is not.

    With a patch radius of 1 along X, Y or Z the reference patches sit every
    other pixel (along Z from 6 planes on) and no extra pass covers the far
    end, so an even length leaves its last row, column or plane as noisy as
    the input (`quorvel._engine.far_end_uncovered`).  One more element along
    such an axis makes the grid reach it.
    """
    grown = list(shape)
    # (core-layout index, engine axis) of X, Y and Z
    for index, axis in ((4, 0), (3, 1), (2, 2)):
        if engine.far_end_uncovered(axis, shape[index], patch_radius[axis]):
            grown[index] += 1
    return tuple(grown)


def _mirror_end(core5: npt.NDArray[Any], shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
    """Return a work image of `shape` holding `core5`, mirrored at the far ends.

    Each added last element mirrors the one before the original last (as
    ``numpy.pad`` with mode ``'reflect'``).
    """
    work: npt.NDArray[np.float32] = engine.new_image(shape)
    np.copyto(work[tuple(slice(0, size) for size in core5.shape)], core5, casting="unsafe")
    for axis, size in enumerate(core5.shape):
        if shape[axis] > size:
            index: list[Any] = [slice(None)] * work.ndim
            source = list(index)
            index[axis], source[axis] = size, size - 2
            work[tuple(index)] = work[tuple(source)]
    return work


def _check_renoise(renoise: float, sigma: float) -> None:
    """Refuse a renoise factor whose variance ``(sigma / renoise)**2`` float32 cannot hold."""
    if renoise == 0:
        return
    s, r = np.float32(sigma), np.float32(renoise)
    with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
        variance = (s * s) / (r * r)
    if not (np.isfinite(variance) and variance > 0):
        raise ValueError(
            f"renoise {renoise:.4g} gives the noise variance (sigma / renoise)**2 = "
            f"({sigma:.4g} / {renoise:.4g})**2, beyond the float32 range; use 0 or a "
            "value nearer 1"
        )


def _photon_offset(gain: float, offset: float) -> float:
    """The offset in photon units, ``offset / gain**2``, checked to fit float32."""
    square = gain * gain
    value = offset / square if square > 0 else math.inf
    if not abs(value) <= FLOAT32_MAX:
        raise ValueError(
            f"model: offset {offset:.4g} with gain {gain:.4g} gives offset / gain**2 = "
            f"{value:.4g}, beyond the float32 range"
        )
    return value


def _values(values: tuple[float | None, ...], channels: list[int]) -> list[float]:
    out = [values[c] for c in channels]
    if any(v is None for v in out):
        raise ValueError("the noise plan lacks a parameter of a channel on this path")
    return [float(v) for v in out if v is not None]
