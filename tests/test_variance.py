"""The variance returned with the denoised image predicts its squared error."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest

import quorvel
import quorvel._variance as variance_module
from quorvel._core import CoreSettings, NoisePlan
from quorvel._variance import _add_risk_excess, _local_level

F64 = npt.NDArray[np.float64]


def _thirds(predicted: npt.ArrayLike, squared_error: F64) -> list[float]:
    """Mean squared error over mean prediction in each third of the prediction's ranking."""
    p = np.asarray(predicted, dtype=np.float64).ravel()
    groups = np.array_split(np.argsort(p, kind="stable"), 3)
    return [float(squared_error.ravel()[g].mean() / p[g].mean()) for g in groups]


def _gaussian(clean: F64, rng: np.random.Generator) -> tuple[Any, dict[str, Any], F64]:
    noisy = clean + rng.normal(0.0, 10.0, clean.shape)
    return noisy, {"noise": "gaussian", "sigma": 10.0}, clean


def _poisson(clean: F64, rng: np.random.Generator) -> tuple[Any, dict[str, Any], F64]:
    photons = clean / 5.0  # 6 to 30 photons; gain 2, read noise 3, dark level 100
    noisy = 100.0 + 2.0 * rng.poisson(photons) + rng.normal(0.0, 3.0, clean.shape)
    return noisy, {"model": quorvel.NoiseModel(2.0, 9.0 - 200.0)}, 100.0 + 2.0 * photons


def _two_scales(clean: F64, rng: np.random.Generator) -> tuple[Any, dict[str, Any], F64]:
    # One channel a thousand times the other: each is calibrated on its own.
    truth = np.stack([clean, 1000.0 * clean], axis=-1)
    noisy = truth + rng.normal(0.0, 1.0, truth.shape) * np.array([10.0, 10000.0])
    return noisy, {"axes": "YXC", "noise": "gaussian", "sigma": [10.0, 10000.0]}, truth


@pytest.mark.parametrize("case", [_gaussian, _poisson, _two_scales])
def test_variance_predicts_the_squared_error(
    case: Callable[..., tuple[Any, dict[str, Any], F64]], smooth: Any
) -> None:
    # The engine's own variance is 2 to 2.5 times below the squared error in
    # every third of these images.
    noisy, kwargs, truth = case(smooth((96, 96), seed=0), np.random.default_rng(0))
    noisy = noisy.astype(np.float32)
    reports: list[float] = []
    out, variance = quorvel.denoise(
        noisy, return_variance=True, threads=1, progress=reports.append, **kwargs
    )
    np.testing.assert_array_equal(out, quorvel.denoise(noisy, threads=1, **kwargs))
    error = np.square(out.astype(np.float64) - truth)
    channels = [...] if error.ndim == 2 else [(..., c) for c in range(error.shape[-1])]
    for c in channels:
        assert all(0.67 <= r <= 1.5 for r in _thirds(variance[c], error[c])), c
    # The same variance for any thread count; progress over all runs, rising to 1.
    _, again = quorvel.denoise(noisy, return_variance=True, threads=2, **kwargs)
    np.testing.assert_array_equal(variance, again)
    assert reports == sorted(reports) and reports[-1] == 1.0


def _risk_excess(first: Any, risk: Any, level: Any) -> Any:
    """What `_add_risk_excess` adds to `first`."""
    result = np.array(first, dtype=np.float64)
    _add_risk_excess(result, risk - first, level)
    return result - first


@pytest.mark.parametrize("selected", [False, True])
@pytest.mark.parametrize(("offset", "added"), [(0.0, 0.0), (-3.0, 0.0), (3.0, 3.0)])
def test_risk_excess_adds_only_a_significant_excess(
    offset: float, added: float, selected: bool
) -> None:
    rng = np.random.default_rng(1)
    level = rng.uniform(1.0, 1.1, (128, 160))
    noise = rng.normal(0.0, 1.0, level.shape)
    risk = level + offset + noise
    first = level
    if selected:
        # A prediction that follows each pixel's own noise (as the engine's
        # variance follows it through the estimate), unbiased on the whole:
        # bins of `first` itself select pixels by their noise and add about
        # 0.25 where nothing is missing.
        first = level + 0.2 * (noise > 0) - 0.1
        assert offset != 0.0 or _risk_excess(first, risk, first).mean() > 0.2
    result = _risk_excess(first, risk, _local_level(first))
    # 1.5 standard errors of a bin (about 0.02 here) come off what is added.
    assert result.shape == first.shape and result.min() >= 0.0
    np.testing.assert_allclose(result.mean(), added, atol=0.1)


@pytest.mark.parametrize("shape", [(1, 1, 1, 64, 64), (4, 1, 6, 32, 32)])
def test_poisson_simulation_runs_without_the_residual_noise(
    shape: tuple[int, ...], monkeypatch: pytest.MonkeyPatch
) -> None:
    # The denoised image: a step of 20 with residual noise of variance 1 (its
    # variance), under a model of almost no noise: the simulated image is
    # then the reference itself, which keeps the step (sharp on single
    # planes, over 5 elements on a stack) and not the noise.
    rng = np.random.default_rng(3)
    out = (100.0 + rng.normal(0.0, 1.0, shape)).astype(np.float32)
    out[..., shape[-1] // 2 :] += 20.0
    images: list[npt.NDArray[np.float32]] = []

    def identity(image: Any, *args: Any, return_variance: bool = False, **kwargs: Any) -> Any:
        images.append(np.array(image))
        return np.array(image), (np.ones_like(image) if return_variance else None)

    monkeypatch.setattr(variance_module, "_denoise_core", identity)
    plan = NoisePlan(gain=(1e-4,), offset=(0.0,), sigma=(None,))
    settings = CoreSettings((1, 1, 0, 0, 0), (3, 3, 0, 0, 0), 4, 0.01, 0.0)
    variance_module.error_variance(out, out, np.ones_like(out), plan, settings, 1)
    simulated = images[0] - 100.0  # the simulation, then the probe
    half = shape[-1] // 2
    flat = np.concatenate([simulated[..., 2 : half - 2], simulated[..., half + 2 : -2] - 20.0])
    # A stack's reference keeps none of the residual noise (its own local
    # mean over 5 x 5 x 5: std 0.1), a plane's what stands out of it.
    assert flat.std() < (0.6 if shape[2] == 1 else 0.2) and abs(flat.mean()) < 0.1
    ramp = 1 if shape[2] == 1 else 3
    assert (simulated[..., half + ramp - 1] - simulated[..., half - ramp]).mean() > 17.0


def test_variance_at_extreme_scales() -> None:
    rng = np.random.default_rng(2)
    # The image and its noise fit float32, its squared error does not: refused.
    image = rng.normal(1e24, 1e23, (24, 24)).astype(np.float32)
    assert np.isfinite(quorvel.denoise(image, noise="gaussian", sigma=1e23)).all()
    with pytest.raises(ValueError, match="variance of the result exceeds the float32 range"):
        quorvel.denoise(image, noise="gaussian", sigma=1e23, return_variance=True)
    # 1e25 photons per pixel, beyond NumPy's Poisson draws: still a variance.
    image = rng.normal(1e25, 3e12, (24, 24)).astype(np.float32)
    _, variance = quorvel.denoise(image, model=quorvel.NoiseModel(1.0, 0.0), return_variance=True)
    assert np.isfinite(variance).all() and variance.min() > 0
