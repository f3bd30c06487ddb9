"""Shared fixtures of the package tests: synthetic images and a recording core."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest


def _smooth(shape: tuple[int, ...], seed: int) -> npt.NDArray[np.float64]:
    """A smooth positive test scene: low-frequency waves plus two soft blobs per plane."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    scene = np.full(shape, 50.0)
    for axis, g in enumerate(grids):
        scene += 15.0 * np.sin(g / (3.0 + 2.0 * axis) + rng.uniform(0, np.pi))
    yy, xx = grids[-2], grids[-1]
    for _ in range(2):
        cy, cx = rng.uniform(0.2, 0.8, 2) * np.array(shape[-2:])
        scene += 60.0 * np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / 30.0)
    return scene


@pytest.fixture
def smooth() -> Callable[..., npt.NDArray[np.float64]]:
    """Factory of smooth clean scenes: ``smooth(shape, seed=0)``."""

    def make(shape: tuple[int, ...], seed: int = 0) -> npt.NDArray[np.float64]:
        return _smooth(shape, seed)

    return make


@pytest.fixture
def psnr() -> Callable[[npt.ArrayLike, npt.ArrayLike], float]:
    """PSNR in dB of an image against a reference, peak = the reference's range."""
    from quorvel.demo import psnr as compute

    return compute


class RecordingCore:
    """Stands in for the compute core and records what it is handed.

    The denoisers double every element in place, so a caller that moves
    elements to the wrong place on the way back is caught; the calibrations
    (the core's and the package's own) return the values set on the instance.
    """

    def __init__(self) -> None:
        self.calls: list[tuple[str, tuple[Any, ...]]] = []
        self.sigma_estimate = 3.0
        self.poisson_estimate: list[list[float]] = [[2.0], [-100.0]]

    def _record(self, name: str, args: tuple[Any, ...]) -> None:
        image = args[0]
        self.calls.append((name, (np.array(image, copy=True), *args[1:])))

    def _denoise_gaussian(self, *args: Any) -> Any:
        self._record("_denoise_gaussian", args)
        args[0][...] *= 2
        return args[0]

    def _denoise_poisson_gaussian(self, *args: Any) -> Any:
        self._record("_denoise_poisson_gaussian", args)
        args[0][...] *= 2
        return args[0]

    # The engine's keyword interface, recorded in the positional order above.
    def new_image(self, shape: tuple[int, ...]) -> Any:
        return np.zeros(shape, dtype=np.float32)

    def denoise_gaussian(self, image: Any, **kw: Any) -> Any:
        return self._denoise_gaussian(image, kw["sigma"], *self._settings(kw))

    def denoise_poisson_gaussian(self, image: Any, **kw: Any) -> Any:
        return self._denoise_poisson_gaussian(
            image, kw["sigma"], kw["gain"], kw["offset"], *self._settings(kw)
        )

    @staticmethod
    def _settings(kw: dict[str, Any]) -> tuple[Any, ...]:
        keys = ("patch_radius", "search", "max_iter", "pvalue", "threads", "renoise")
        return tuple(kw[k] for k in keys)

    def _calibrate_gaussian(self, image: Any) -> float:
        self._record("_calibrate_gaussian", (image,))
        return self.sigma_estimate

    def _calibrate_poisson_gaussian(self, image: Any) -> list[list[float]]:
        """`poisson_estimate` per channel; a single pair applies to every channel."""
        self._record("_calibrate_poisson_gaussian", (image,))
        n_channels = image.shape[1]
        gain, offset = self.poisson_estimate
        if len(gain) != n_channels:
            gain, offset = gain * n_channels, offset * n_channels
        return [list(gain), list(offset)]

    # The engine's geometry and transforms: the real ones.
    def far_end_uncovered(self, *args: Any) -> bool:
        from quorvel import _engine

        return bool(_engine.far_end_uncovered(*args))

    def anscombe(self, *args: Any, **kw: Any) -> Any:
        from quorvel import _engine

        return _engine.anscombe(*args, **kw)

    # The engine's calibrations, recorded under the core's names above.
    def calibrate_gaussian(self, image: Any, *, threads: int) -> float:
        return self._calibrate_gaussian(image)

    def calibrate_poisson_gaussian(self, image: Any, *, threads: int) -> tuple[Any, ...]:
        # As the core answers: gain 1, offset 0 and a diagnostic where a fit fails.
        gain, offset = self._calibrate_poisson_gaussian(image)
        failures = [
            (c, "error\n d=0.000000")
            for c, (g, o) in enumerate(zip(gain, offset, strict=True))
            if g == 1.0 and o == 0.0
        ]
        return gain, offset, failures

    def fit_package(self, image: Any, method: str) -> tuple[tuple[float, ...], ...]:
        """The package's own calibration, answered like `_calibrate_poisson_gaussian`.

        Gain and offset, and no standard errors nor ground misfit (NaN).
        """
        self._record("fit_package", (image, method))
        gain, offset = self.poisson_estimate
        n_channels = image.shape[1]
        if len(gain) != n_channels:
            gain, offset = gain * n_channels, offset * n_channels
        nan = float("nan")
        failed = [g == 1.0 and o == 0.0 for g, o in zip(gain, offset, strict=True)]
        return (
            tuple(nan if f else g for g, f in zip(gain, failed, strict=True)),
            tuple(nan if f else o for o, f in zip(offset, failed, strict=True)),
            (nan,) * n_channels,
            (nan,) * n_channels,
            (nan,) * n_channels,
        )

    def names(self) -> list[str]:
        """Names of the calls made, in order."""
        return [name for name, _ in self.calls]

    def only_call(self, name: str) -> tuple[Any, ...]:
        """The arguments of the one call of `name`; fails if there was not exactly one."""
        matching = [args for called, args in self.calls if called == name]
        assert len(matching) == 1, f"{name} called {len(matching)} times"
        return matching[0]


@pytest.fixture
def fake_core(monkeypatch: pytest.MonkeyPatch) -> RecordingCore:
    """Replace the compute core seen by the package with a `RecordingCore`.

    The check of a model against the image (`quorvel._misfit`), which would
    compare the stand-in's made-up estimates, is off.
    """
    import quorvel._core
    import quorvel._misfit
    import quorvel.noise._plan

    core = RecordingCore()
    monkeypatch.setattr(quorvel.noise._plan, "_fit_package", core.fit_package)
    monkeypatch.setattr(quorvel._core, "engine", core)
    monkeypatch.setattr(quorvel._misfit, "misfits", lambda *_, **__: [])
    return core
