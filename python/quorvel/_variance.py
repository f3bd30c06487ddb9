"""A per-pixel variance that predicts the squared error of a denoised image.

The denoiser carries a variance through its iterations (the weighted means'
variance, merged as if the estimates of successive iterations were
independent).  It misses three things: the bias of the estimate (structure
blurred or averaged away), the correlation between the merged estimates,
and that the averaging weights depend on the noisy data itself, so that
where the weights come out concentrated in one realisation of the noise
(higher variance) the error is larger too.  `error_variance` turns that
variance into a prediction of the squared error ``(estimate - truth)**2``
with two or three more runs of the denoiser on the same settings:

1. **A reference.**  The denoised image ``f`` less the part of its
   difference from a smoother version ``t`` that is no larger than its own
   error (the engine's variance ``V``), which is residual noise:
   ``r = t + w (f - t)`` with the Wiener weight
   ``w = (f - t)**2 / ((f - t)**2 + 4 V)``.  On the Gaussian path ``t`` is
   ``D(f)``, ``f`` denoised once more; on the Poisson-Gaussian path it is
   the mean of ``f`` over the 3 x 3 (x 3 ...) neighbourhood of each element
   along every axis of more than one element, which costs no run.  Without
   that step the residual noise of ``f`` passes into the simulation, whose
   errors then exceed the real ones where ``f`` is smooth.  On a stack of
   planes (Z) the reference is smoother still, with none of ``f``'s own
   detail put back: on the Gaussian path the mean of ``D(f)`` over the
   3 x 3 x 3 neighbourhood, on the Poisson-Gaussian path the mean of ``f``
   over the 5 x 5 x 5 one.  The residual error of a stack's result spans
   neighbouring planes (its patches do), and the Wiener weight takes much
   of it for detail (`bench/variance_calibration.py`, volumes over six
   seeds: every tenth in range in 37 of 72 cases, 23 with the reference of
   single planes).
2. **A simulation.**  New noise of the image's noise model is added to the
   reference (Gaussian of the channel's sigma, or on the Poisson-Gaussian
   path Poisson counts of variance ``gain * r + offset``) and denoised.  The
   truth of that image is known, and so is, for every range of the engine's
   variance, the ratio of the mean squared error to the mean variance: the
   calibration ``k(V)`` (20 bins by quantile of the simulated variance,
   interpolated in ``log V``).  It holds the realisation effect above (it is
   measured on single realisations), the correlations and the bias of
   structure as blurred as the reference.  The first prediction is
   ``p = k(V) V``.
3. **A probed run.**  The image plus a small random probe
   (``0.15 sqrt(v) b``, ``v`` the noise variance, ``b`` standard normal)
   gives the Monte-Carlo divergence of the denoiser and with it Stein's
   unbiased estimate of the squared error of every pixel (Monte-Carlo SURE,
   as in `quorvel._tune`)::

       s = (f - y)**2 - v + 2 v div f       (+ gain (f - y) on the
                                             Poisson-Gaussian path, for v
                                             taken at f rather than at the truth)

   Per pixel it is as noisy as the noise itself, but its mean over many
   pixels is not.  The pixels are grouped in 10 bins by quantile of the
   local level of ``p`` (the geometric mean over the 5 x 5 (x 5 ...)
   neighbourhood): binned by ``p`` itself, which follows each pixel's own
   noise through ``f`` and its weights, the bins would select pixels by
   their noise, and the mean SURE of a bin would be biased.  The mean of
   ``s - p`` in each bin is smoothed across neighbouring bins (Gaussian
   weights, 1.5 bins, each bin weighed by the inverse square of its
   standard error), and where it exceeds 1.5 times its standard error the
   excess less that margin is added to the bin's pixels: the bias that the
   reference, itself blurred, could not show.

The result is the prediction ``p + excess``, in squared intensity units.
Where the excess is not significant (the bins whose squared error is far
below the noise variance, on images of few pixels) the prediction rests on
the simulation alone.  Everything is per channel; every run uses the plan
and settings of the first, and the probe and the simulated noise come from
fixed seeds (one each, so that the probe does not depend on the number of
draws the simulated counts took), so that an image always gets the same
variance.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._core import (
    CoreSettings,
    Denoised,
    NoisePlan,
    ProgressCallback,
    _denoise_core,
    new_work_image,
)
from quorvel._util import FLOAT32_MAX, pieces

F32 = npt.NDArray[np.float32]
F64 = npt.NDArray[np.float64]

# Smallest positive float32: the least variance returned, and a guard of divisions.
_TINY = float(np.finfo(np.float32).tiny)
# Probe step in units of the local noise standard deviation (as the tuner's).
_PROBE_STEP = 0.15
# Seeds of the simulated noise and of the probe.
_SEED, _PROBE_SEED = 20260530, 20260531
# The Wiener weight keeps f - D(f) where its square exceeds this many times
# the engine's variance.
_WIENER = 4.0
# Least noise variance, in photons squared, on the Poisson-Gaussian path.
_MIN_PHOTON_VARIANCE = 0.25
# Mean counts above which the simulation draws normal values instead of Poisson counts.
_LARGEST_COUNT = 1e12
# Bins of the calibration by the engine's variance, and of the risk excess;
# every bin holds at least the given number of pixels.
_SCALE_BINS, _SCALE_PIXELS = 20, 256
_RISK_BINS, _RISK_PIXELS = 10, 512
# Width (in bins) of the smoothing of the risk excess, and the number of its
# standard errors below which it is not added.
_RISK_SMOOTHING = 1.5
_RISK_SIGNIFICANCE = 1.5
# Half-widths of the neighbourhood of the Poisson-Gaussian reference's smooth
# image and of the local level that bins the risk excess.
_REFERENCE_RADIUS, _LEVEL_RADIUS = 1, 2
# Half-widths of the local means that make a stack's reference, on the
# Gaussian path (of the result denoised again) and on the Poisson-Gaussian one.
_STACK_GAUSSIAN_RADIUS, _STACK_POISSON_RADIUS = 1, 2


def denoise_with_error_variance(
    core5: npt.NDArray[Any],
    plan: NoisePlan,
    settings: CoreSettings,
    threads: int,
    *,
    overwrite: bool = False,
    progress: ProgressCallback | None = None,
    return_variance: bool = True,
    denoise: Callable[..., Denoised] | None = None,
) -> Denoised:
    """`quorvel._core._denoise_core` with the variance of `error_variance`.

    The same arguments and result; the result's image is that of
    `_denoise_core` (or of `denoise`, called as it and with its engine's
    variance, for every run), the variance predicts its squared error.  Raises
    ValueError when the engine's variance overflows float32.  Costs four
    runs of the denoiser (three when every channel is on the
    Poisson-Gaussian path), and about three times the memory of one.
    """
    denoise = denoise or _denoise_core
    noisy = np.array(core5, dtype=np.float32)  # the first run may overwrite core5
    runs = _runs(plan)
    out, variance = denoise(
        core5, plan, settings, threads, overwrite=overwrite,
        progress=_share(progress, 0, runs), return_variance=True,
    )  # fmt: skip
    assert variance is not None
    if not return_variance:
        return out, None
    if not np.isfinite(variance).all():
        # The result fits float32 but its variance does not (values beyond
        # about 1e19 at unit noise).
        raise ValueError(
            f"the variance of the result exceeds the float32 range of the computation with "
            f"noise {plan}; rescale the image or the noise parameters"
        )
    return out, error_variance(noisy, out, variance, plan, settings, threads, progress, denoise)


def error_variance(
    noisy: F32,
    out: F32,
    variance: F32,
    plan: NoisePlan,
    settings: CoreSettings,
    threads: int,
    progress: ProgressCallback | None = None,
    denoise: Callable[..., Denoised] | None = None,
) -> F32:
    """The predicted squared error of `out`, the denoised `noisy` (see the module).

    Parameters
    ----------
    noisy, out, variance : ndarray of float32
        Core-layout ``(T, C, Z, Y, X)`` arrays: the image, its denoised
        estimate and the engine's variance of it (`_denoise_core`).
    plan, settings, threads
        Those the estimate was made with.
    progress : callable, optional
        Told the share of all runs done (the first, the image's, counted as
        done).
    denoise : callable, optional
        The denoiser of every run, called as `_denoise_core` (the default).

    Returns
    -------
    ndarray of float32
        Positive, of the shape of `out`, in squared intensity units.
    """
    rng = np.random.default_rng(_SEED)
    runs = _runs(plan)
    done = [1]
    denoise = denoise or _denoise_core

    def run(image: F32, with_variance: bool = False) -> Denoised:
        k = done[0]
        done[0] += 1
        return denoise(
            image, plan, settings, threads, overwrite=True,
            progress=_share(progress, k, runs), return_variance=with_variance,
        )  # fmt: skip

    varying = plan.varying_channels
    stack = out.shape[2] > 1
    reference = np.empty_like(out)
    for c in plan.constant_channels:
        reference[:, c] = out[:, c]
    if plan.gaussian_channels:
        smooth, _ = run(new_work_image(out))
        for c in plan.gaussian_channels:
            if stack:
                reference[:, c] = _box_mean(smooth[:, c], _STACK_GAUSSIAN_RADIUS)
            else:
                reference[:, c] = _reference(out[:, c], smooth[:, c], variance[:, c])
        del smooth
    for c in plan.poisson_channels:
        if stack:
            reference[:, c] = _box_mean(out[:, c], _STACK_POISSON_RADIUS)
        else:
            local = _box_mean(out[:, c], _REFERENCE_RADIUS)
            reference[:, c] = _reference(out[:, c], local, variance[:, c])
    simulated = new_work_image(reference)
    for c in varying:
        simulated[:, c] += _simulated_noise(_noise_sd(reference, plan, c), plan.gain[c], rng)
    sim_out, sim_variance = run(simulated, with_variance=True)
    assert sim_variance is not None
    del simulated
    scales = [_variance_scale(sim_variance[:, c], sim_out[:, c], reference[:, c]) for c in varying]
    del sim_out, sim_variance, reference

    noise_sd = np.zeros_like(out)
    for c in varying:
        noise_sd[:, c] = _noise_sd(out, plan, c)
    probe = np.random.default_rng(_PROBE_SEED).standard_normal(noisy.shape, dtype=np.float32)
    probed = new_work_image(noisy)
    probed += (np.float32(_PROBE_STEP) * noise_sd) * probe
    probed_out, _ = run(probed)
    del probed

    result = np.zeros_like(out)  # constant channels keep their values: no error
    for c, scale in zip(varying, scales, strict=True):
        # Element by element in bounded pieces: the float64 temporaries of a
        # whole channel would be several times the image.
        first = _elementwise(scale, variance[:, c])
        level = _local_level(first)  # before the risk: its neighbourhood means' work
        diff = _elementwise(
            functools.partial(_risk_less, gain=plan.gain[c]),
            noisy[:, c], out[:, c], probed_out[:, c], probe[:, c], noise_sd[:, c], first,
        )  # fmt: skip
        _add_risk_excess(first, diff, level)
        del diff, level
        # Positive, as a variance, and within float32.
        np.clip(first, _TINY, FLOAT32_MAX, out=first)
        result[:, c] = first
    return result


#: Elements per piece of `_elementwise`.
_PIECE = 1 << 18


def _elementwise(function: Callable[..., F64], *arrays: npt.NDArray[np.floating[Any]]) -> F64:
    """`function` of `arrays` (one channel, ``(T, Z, Y, X)``), in float64, piece by piece.

    Each frame of each array is contiguous (a channel of a core-layout
    image); the function must work element by element, so that the result
    is the same as on the whole arrays at once.
    """
    shape = arrays[0].shape
    result = np.empty(shape, dtype=np.float64)
    for t in range(shape[0]):
        flat = [np.ascontiguousarray(a[t]).reshape(-1) for a in arrays]
        into = result[t].reshape(-1)
        for part in pieces(into.size, _PIECE):
            into[part] = function(*(f[part] for f in flat))
    return result


def _runs(plan: NoisePlan) -> int:
    """Runs of the denoiser: the image, the reference (Gaussian path), the simulation, the probe."""
    return 4 if plan.gaussian_channels else 3


def _share(progress: ProgressCallback | None, k: int, runs: int) -> Callable[[float], None] | None:
    """A progress callable for run `k` of `runs`, reporting into `progress`."""
    if progress is None:
        return None
    report = progress

    def part(fraction: float) -> None:
        report((k + fraction) / runs)

    return part


def _reference(out: F32, smooth: F32, variance: F32) -> F32:
    """`smooth` plus the part of ``out - smooth`` that exceeds `out`'s own error."""
    diff = out - smooth
    # The Wiener weight d**2 / (d**2 + 4 V) as 1 / (1 + 4 V / d**2): 1 where
    # d**2 overflows, 0 where 4 V does.
    with np.errstate(over="ignore"):
        ratio = np.float32(_WIENER) * variance
        ratio /= np.maximum(np.square(diff), np.float32(_TINY))
    ratio += np.float32(1.0)
    diff /= ratio
    diff += smooth
    return diff


def _box_mean(image: npt.NDArray[np.floating[Any]], radius: int) -> F32:
    """The mean of `image` over the ``2 radius + 1`` elements around each one, per axis.

    Fewer elements on short axes; the edges mirrored.
    """
    out = np.asarray(image, dtype=np.float32)
    for axis, size in enumerate(out.shape):
        r = min(radius, size - 1)
        if r == 0:
            continue
        pad = [(0, 0)] * out.ndim
        pad[axis] = (r, r)
        padded = np.pad(out, pad, mode="symmetric")
        window: list[slice] = [slice(None)] * out.ndim
        window[axis] = slice(0, size)
        total = padded[tuple(window)].copy()
        for k in range(1, 2 * r + 1):
            window[axis] = slice(k, k + size)
            total += padded[tuple(window)]
        total *= np.float32(1.0 / (2 * r + 1))
        out = total
    return out


def _local_level(first: F64) -> F32:
    """The geometric mean of `first` over the neighbourhood of every element."""
    level = np.empty(first.shape, dtype=np.float32)
    into, values = level.reshape(-1), first.reshape(-1)
    for part in pieces(values.size, _PIECE):
        into[part] = np.log(np.maximum(values[part], _TINY), dtype=np.float32)
    return np.exp(_box_mean(level, _LEVEL_RADIUS))


def _noise_sd(image: F32, plan: NoisePlan, c: int) -> F32:
    """The noise standard deviation of channel `c`'s elements, whose clean values `image` holds."""
    gain, offset, sigma = plan.gain[c], plan.offset[c], plan.sigma[c]
    if gain is None:
        assert sigma is not None
        return np.full(image[:, c].shape, sigma, dtype=np.float32)
    assert offset is not None
    variance = gain * image[:, c].astype(np.float64) + offset
    return np.sqrt(np.maximum(variance, _MIN_PHOTON_VARIANCE * gain * gain)).astype(np.float32)


def _simulated_noise(sd: F32, gain: float | None, rng: np.random.Generator) -> F32:
    """Noise of standard deviations `sd`, Gaussian or Poisson.

    Without a `gain` the noise is Gaussian; with one, it is `gain` intensity
    units per count of Poisson counts of mean ``(sd / gain)**2``, less that mean.
    """
    if gain is None:
        noise: F32 = rng.standard_normal(sd.shape, dtype=np.float32)
        return noise * sd
    counts = np.square(sd.astype(np.float64) / gain)
    # NumPy draws no Poisson counts beyond about 1e19; far below that the
    # normal law is as good.
    large = counts > _LARGEST_COUNT
    draws = rng.poisson(np.where(large, 0.0, counts)) - counts
    draws[large] = rng.normal(0.0, np.sqrt(counts[large]))
    return (gain * draws).astype(np.float32)


def _quantile_bins(
    values: npt.NDArray[np.floating[Any]], bins: int
) -> tuple[npt.NDArray[np.uint8], int]:
    """The bin of every value among `bins` bins of about equal count, and the count of bins.

    Equal values share a bin, so that a bin may be empty (dropped by the
    callers, which weigh bins by their counts).  At most 256 bins: the bins
    are bytes.
    """
    assert bins <= 256
    edges = np.quantile(values, np.linspace(0.0, 1.0, bins + 1)[1:-1])
    label = np.empty(values.size, dtype=np.uint8)
    flat = values.reshape(-1)
    for part in pieces(flat.size, _PIECE):
        label[part] = np.searchsorted(edges, flat[part], side="right")
    return label, bins


def _variance_scale(sim_variance: F32, sim_out: F32, truth: F32) -> Callable[[F32], F64]:
    """Return ``V -> k(V) V``, the variance scaled to predict the squared error.

    ``k`` is the ratio of squared error to variance on the simulation (estimate
    `sim_out` of `truth`), by bins of its variance, interpolated in ``log V``
    (constant beyond the ends).
    """
    v = sim_variance.ravel().astype(np.float64)
    e = np.square(sim_out.ravel().astype(np.float64) - truth.ravel())
    label, bins = _quantile_bins(v, int(np.clip(v.size // _SCALE_PIXELS, 1, _SCALE_BINS)))
    count = np.bincount(label, minlength=bins)
    v_sum = np.bincount(label, v, minlength=bins)[count > 0]
    e_sum = np.bincount(label, e, minlength=bins)[count > 0]
    centre = np.log(np.maximum(v_sum / count[count > 0], _TINY))
    ratio = e_sum / np.maximum(v_sum, _TINY)

    def scale(variance: F32) -> F64:
        v64 = variance.astype(np.float64)
        return np.interp(np.log(np.maximum(v64, _TINY)), centre, ratio) * v64

    return scale


def _pixel_risk(
    noisy: F32, out: F32, probed_out: F32, probe: F32, noise_sd: F32, gain: float | None
) -> F64:
    """Monte-Carlo SURE of every element: unbiased for its squared error, one by one noisy."""
    # (f - y)**2 - sd**2 + 2 sd b slope, in float64, with few temporaries.
    f = out.astype(np.float64)
    cross = probed_out.astype(np.float64)
    cross -= f
    cross /= _PROBE_STEP
    sd = noise_sd.astype(np.float64)
    cross *= probe
    cross *= sd
    cross *= 2.0
    f -= noisy
    risk = np.square(f)
    sd *= sd
    risk -= sd
    del sd
    risk += cross
    del cross
    if gain is not None:
        # v is taken at the estimate: v(f) - v(truth) = gain (f - truth), whose
        # mean gain (f - y) estimates without bias.
        f *= gain
        risk += f
    return risk


def _risk_less(
    noisy: F32,
    out: F32,
    probed_out: F32,
    probe: F32,
    noise_sd: F32,
    first: F64,
    *,
    gain: float | None,
) -> F64:
    """Stein's estimate of every element (`_pixel_risk`) less the prediction `first`."""
    risk = _pixel_risk(noisy, out, probed_out, probe, noise_sd, gain)
    risk -= first
    return risk


def _add_risk_excess(first: F64, diff: F64, level: npt.NDArray[np.floating[Any]]) -> None:
    """Add to `first` what the risk adds to it, per bin of `level`, where it is significant.

    `diff` is the risk less `first`, element by element; it is used up (squared in place).
    """
    bins = int(np.clip(diff.size // _RISK_PIXELS, 1, _RISK_BINS))
    label, bins = _quantile_bins(level.ravel(), bins)
    diff = diff.reshape(-1)
    count = np.bincount(label, minlength=bins).astype(np.float64)
    used = count > 0
    n = count[used]
    excess = np.bincount(label, diff, minlength=bins)[used] / n
    spread = np.bincount(label, np.square(diff, out=diff), minlength=bins)[used] / n - excess**2
    error = np.maximum(np.sqrt(np.maximum(spread, 0.0) / n), _TINY)
    k = np.arange(n.size, dtype=np.float64)
    weights = np.exp(-0.5 * np.square((k[:, None] - k[None, :]) / _RISK_SMOOTHING))
    weights /= np.square(error)[None, :]
    total = weights.sum(axis=1)
    smoothed = weights @ excess / total
    smoothed_error = np.sqrt(np.square(weights) @ np.square(error)) / total
    added = np.zeros(bins)
    added[used] = np.maximum(smoothed - _RISK_SIGNIFICANCE * smoothed_error, 0.0)
    into = first.reshape(-1)
    for part in pieces(into.size, _PIECE):
        into[part] += added[label[part]]
