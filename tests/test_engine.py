"""The package's engine, against _qv and against itself.

Its exact kernel gives the bits of _qv, its fast one is close to them and the
same for every thread count; reach, progress, cancel, variance.
"""

from __future__ import annotations

import itertools
from typing import Any

import numpy as np
import pytest

import _qv
import quorvel
from quorvel import _engine

SEARCH = [1, 1, 1, 0, 1]


def _noisy(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (rng.poisson(30.0, shape) + rng.normal(0.0, 2.0, shape)).astype(np.float32)


LAYOUTS = [
    ((48, 52), [3, 3, 0, 0, 0]),  # YX
    ((5, 30, 34), [2, 2, 1, 0, 0]),  # ZYX
    ((2, 4, 26, 30), [3, 3, 0, 0, 0]),  # CZYX
    ((5, 2, 3, 22, 24), [2, 2, 1, 0, 1]),  # TCZYX
]


@pytest.mark.parametrize(("shape", "radius"), LAYOUTS)
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("owned", [False, True])
def test_engine_matches_qv_bit_for_bit(
    shape: tuple[int, ...], radius: list[int], threads: int, owned: bool
) -> None:
    image = _noisy(shape)
    nc = shape[-4] if len(shape) >= 4 else 1
    gain, offset = [1.0] * nc, [0.5 + c for c in range(nc)]

    def work() -> np.ndarray:
        if not owned:
            return image.copy()
        w = _engine.new_image(image.shape)
        w[...] = image
        return w

    common: dict[str, Any] = {
        "patch_radius": radius,
        "search": SEARCH,
        "threads": threads,
        "kernel": "exact",
    }
    w = work()
    got = _engine.denoise_gaussian(w, sigma=2.0, **common)
    # The engine runs at unit noise: _qv on the image divided by sigma.
    sigma = np.float32(2.0)
    want = _qv._denoise_gaussian(image / sigma, 1.0, radius, SEARCH, 4, 0.01, threads, 0.0)
    np.testing.assert_array_equal(got, want * sigma)
    assert got is w  # denoised in place, also for a plain C-contiguous float32 array
    got = _engine.denoise_poisson_gaussian(work(), sigma=1.0, gain=gain, offset=offset, **common)
    want = _qv._denoise_poisson_gaussian(
        image.copy(), 1.0, gain, offset, radius, SEARCH, 4, 0.01, threads, 0.0
    )
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(("shape", "radius"), LAYOUTS)
def test_fast_kernel_is_close_to_exact_and_the_same_for_every_thread_count(
    shape: tuple[int, ...], radius: list[int]
) -> None:
    image = _noisy(shape)
    nc = shape[-4] if len(shape) >= 4 else 1
    sigma = 5.5  # about the noise of _noisy

    def run(kernel: str, threads: int) -> tuple[np.ndarray, np.ndarray]:
        common: dict[str, Any] = {
            "patch_radius": radius,
            "search": SEARCH,
            "threads": threads,
            "kernel": kernel,
        }
        gaussian = _engine.denoise_gaussian(image.copy(), sigma=sigma, **common)
        poisson = _engine.denoise_poisson_gaussian(
            image.copy(), sigma=1.0, gain=[1.0] * nc, offset=[0.5] * nc, **common
        )
        return gaussian, poisson

    exact = run("exact", 1)
    fast = run("fast", 1)
    for threads in (2, 3):
        for a, b in zip(fast, run("fast", threads), strict=True):
            np.testing.assert_array_equal(a, b)
    # Measured: at most 8e-6 of the noise's standard deviation on either path.
    for a, b in zip(fast, exact, strict=True):
        assert np.abs(a - b).max() < 1e-4 * sigma
        assert not np.array_equal(a, b)  # the fast kernel ran


def _gaussian(movie: np.ndarray, search: Any) -> np.ndarray:
    out: np.ndarray = quorvel.denoise(
        movie, "TYX", noise="gaussian", sigma=2.0, search=search, threads=1
    )
    return out


def test_reach_changes_results_only_where_asked() -> None:
    movie = _noisy((6, 32, 36), seed=1)
    alone = _gaussian(movie, "")
    # No reach, or a reach along an axis the image lacks, is no temporal search.
    np.testing.assert_array_equal(_gaussian(movie, {"T": 0}), alone)
    np.testing.assert_array_equal(_gaussian(movie, {"Z": 2}), alone)
    # A reach along T is used from the first iteration: unlike the default
    # schedule, which reaches 1 frame only in the last of 4 iterations.
    reach = _gaussian(movie, {"T": 1})
    assert not np.array_equal(reach, _gaussian(movie, "T"))
    assert not np.array_equal(reach, alone)


def test_progress_is_monotone_and_ends_at_one() -> None:
    seen: list[float] = []
    image = _noisy((4, 64, 64), seed=2)
    options: dict[str, Any] = {"noise": "gaussian", "sigma": 5.0, "threads": 2}
    out = quorvel.denoise(image, "TYX", progress=seen.append, **options)
    assert seen[-1] == 1.0 and seen.count(1.0) == 1
    assert all(0.0 <= a < b for a, b in itertools.pairwise(seen))
    np.testing.assert_array_equal(out, quorvel.denoise(image, "TYX", **options))


def test_the_end_is_reported_once_when_the_last_poll_saw_it() -> None:
    # Under load the engine's last poll can already report all the work done.
    from quorvel._core import _Progress

    seen: list[float] = []
    relay = _Progress(seen.append)
    report = relay.part(1.0)
    assert report is not None
    report(1.0)
    relay.finish()
    assert seen == [1.0]


class _Stop(Exception):
    pass


@pytest.mark.parametrize("owned", [False, True])
def test_raising_progress_stops_the_run(owned: bool) -> None:
    calls: list[float] = []

    def stop(fraction: float) -> None:
        calls.append(fraction)
        raise _Stop

    # Reports come about every 0.1 s: a run long enough to give one (3 x 96 x
    # 96 took 0.1 s on an idle machine, and sometimes none came), which the
    # raising report cuts short.
    image = _noisy((3, 256, 256), seed=3)
    work = _engine.new_image(image.shape) if owned else image.copy()
    work[...] = image
    with pytest.raises(_Stop):
        _engine.denoise_poisson_gaussian(
            work, sigma=1.0, gain=[1.0], offset=[0.0], patch_radius=[3, 3, 0, 0, 0],
            search=SEARCH, max_iter=6, progress=stop,
        )  # fmt: skip
    assert len(calls) == 1 and calls[0] < 1.0
    if not owned:  # a buffer the engine does not own is only written at the end
        np.testing.assert_array_equal(work, image)


@pytest.mark.parametrize("noise", ["gaussian", "poisson-gaussian"])
def test_variance_is_finite_and_positive(noise: str, smooth: Any) -> None:
    image = np.random.default_rng(4).poisson(smooth((2, 3, 40, 40))).astype(np.float32)
    kwargs: dict[str, Any] = {"sigma": 5.0} if noise == "gaussian" else {}
    out, variance = quorvel.denoise(image, "CZYX", noise=noise, return_variance=True, **kwargs)
    np.testing.assert_array_equal(out, quorvel.denoise(image, "CZYX", noise=noise, **kwargs))
    assert variance.shape == image.shape and variance.dtype == np.float32
    assert np.isfinite(variance).all() and (variance > 0).all()
