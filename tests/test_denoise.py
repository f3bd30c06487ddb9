"""Gaussian denoising through ``_qv._denoise_gaussian``."""

from __future__ import annotations

import ctypes
import re
from collections.abc import Iterator, Sequence

import numpy as np
import numpy.typing as npt
import pytest

import _qv

Image = npt.NDArray[np.float32]


def scene(shape: tuple[int, ...], seed: int = 0) -> Image:
    """A smooth scene on 0..255 whose last two axes are rows and columns.

    Parameters
    ----------
    shape : tuple of int
        NumPy shape; every axis gets a slow wave, the last two a few soft spots.
    seed : int
        Seed of the wave phases and spot positions.

    Returns
    -------
    ndarray of float32
        The clean scene.
    """
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    image = np.full(shape, 100.0)
    for axis, g in enumerate(grids):
        image += 30.0 * np.sin(g / (4.0 + 2.0 * axis) + rng.uniform(0.0, np.pi))
    yy, xx = grids[-2], grids[-1]
    for _ in range(3):
        cy, cx = rng.uniform(0.2, 0.8, 2) * np.array(shape[-2:])
        image += 80.0 * np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / 20.0)
    return image.astype(np.float32)


def add_noise(clean: Image, sigma: float, seed: int = 1) -> Image:
    """`clean` plus white Gaussian noise of standard deviation `sigma`, as float32."""
    rng = np.random.default_rng(seed)
    return (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)


def rms(a: npt.ArrayLike, b: npt.ArrayLike) -> float:
    """Root mean square difference of two arrays."""
    d = np.asarray(a, dtype=np.float64) - np.asarray(b, dtype=np.float64)
    return float(np.sqrt(np.mean(d * d)))


def denoise(
    image: npt.ArrayLike,
    sigma: float,
    radius: Sequence[int] = (3, 3, 0, 0, 0),
    search: Sequence[int] = (1, 1, 0, 0, 0),
    max_iter: int = 4,
    pvalue: float = 0.01,
    nthreads: int = 0,
    renoise: float = 0.0,
) -> Image:
    """Call ``_qv._denoise_gaussian`` with defaults for a 2-D image.

    Returns
    -------
    ndarray of float32
        What the module function returns.
    """
    return _qv._denoise_gaussian(
        image, sigma, list(radius), list(search), max_iter, pvalue, nthreads, renoise
    )


@pytest.mark.parametrize(
    ("shape", "radius", "search"),
    [
        pytest.param((64, 64), (3, 3, 0, 0, 0), (1, 1, 0, 0, 0), id="image"),
        pytest.param((24, 32, 32), (2, 2, 1, 0, 0), (1, 1, 1, 0, 0), id="volume"),
        pytest.param((8, 1, 1, 32, 32), (2, 2, 0, 0, 1), (1, 1, 0, 0, 1), id="sequence"),
    ],
)
def test_denoising_lowers_the_error(
    shape: tuple[int, ...], radius: tuple[int, ...], search: tuple[int, ...]
) -> None:
    clean = scene(shape)
    sigma = 20.0
    noisy = add_noise(clean, sigma)
    result = denoise(noisy.copy(), sigma, radius, search)
    before, after = rms(noisy, clean), rms(result, clean)
    assert before == pytest.approx(sigma, rel=0.05)
    assert after < 0.4 * before
    assert np.all(np.isfinite(result))


def test_one_dimensional_signal_denoises() -> None:
    x = np.arange(256, dtype=np.float64)
    clean = (100.0 + 40.0 * np.sin(x / 12.0)).astype(np.float32)
    noisy = add_noise(clean, 10.0)
    # The y radius is ignored for a row of pixels.
    result = denoise(noisy.copy(), 10.0, radius=(3, 3, 0, 0, 0))
    assert rms(result, clean) < 0.5 * rms(noisy, clean)


def test_result_is_the_argument_changed_in_place() -> None:
    noisy = add_noise(scene((32, 32)), 10.0)
    image = noisy.copy()
    result = denoise(image, 10.0)
    assert result is image
    assert not np.array_equal(image, noisy)


@pytest.mark.parametrize(
    "make_input",
    [
        pytest.param(lambda a: a.astype(np.float64), id="float64"),
        pytest.param(lambda a: np.asfortranarray(a), id="fortran_order"),
        pytest.param(lambda a: np.repeat(a, 2, axis=1)[:, ::2], id="strided_view"),
    ],
)
def test_converted_input_gives_a_new_array_and_stays_unchanged(make_input: object) -> None:
    noisy = add_noise(scene((32, 40)), 10.0)
    given = make_input(noisy)  # type: ignore[operator]
    before = given.copy()
    result = denoise(given, 10.0, nthreads=1)
    assert result is not given
    assert result.dtype == np.float32 and result.flags.c_contiguous
    np.testing.assert_array_equal(given, before)
    np.testing.assert_array_equal(result, denoise(noisy.copy(), 10.0, nthreads=1))


def test_read_only_array_is_denoised_then_refused_unchanged() -> None:
    image = add_noise(scene((32, 32)), 10.0)
    before = image.copy()
    image.setflags(write=False)
    with pytest.raises(ValueError, match=r"^array is not writeable$"):
        denoise(image, 10.0)
    np.testing.assert_array_equal(image, before)
    # The argument checks come before the run and so before the writeable test.
    with pytest.raises(ValueError, match=r"^max_iter must be > 0$"):
        denoise(image, 10.0, max_iter=0)


@pytest.mark.parametrize(
    ("shape", "changes", "message"),
    [
        # Every check is covered in the core's tests; these show the messages
        # reaching Python, in order, with the array untouched.
        ((16, 16), {"radius": (3, 3, 0, 0), "max_iter": 0}, "patch_radius must have 5 entries"),
        ((16, 16), {"max_iter": 0, "radius": (-1, 3, 0, 0, 0)}, "max_iter must be > 0"),
        ((16, 6), {"radius": (3, 3, 0, 0, 0), "pvalue": 2.0}, "patch radius too large for image"),
        ((16, 16), {"renoise": float("nan"), "sigma": float("inf")}, "renoise factor must be >= 0"),
        ((16, 16), {"sigma": float("nan")}, "sigma must be finite"),
    ],
)
def test_invalid_arguments_raise_and_leave_the_array(
    shape: tuple[int, ...], changes: dict[str, object], message: str
) -> None:
    image = add_noise(scene(shape), 5.0)
    before = image.copy()
    arguments: dict[str, object] = {"sigma": 5.0, **changes}
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        denoise(image, **arguments)  # type: ignore[arg-type]
    np.testing.assert_array_equal(image, before)


def test_one_thread_gives_identical_runs() -> None:
    noisy = add_noise(scene((6, 1, 1, 24, 24)), 15.0)
    runs = [
        denoise(noisy.copy(), 15.0, (2, 2, 0, 0, 1), (1, 1, 0, 0, 1), nthreads=1) for _ in range(2)
    ]
    np.testing.assert_array_equal(runs[0], runs[1])
    threaded = denoise(noisy.copy(), 15.0, (2, 2, 0, 0, 1), (1, 1, 0, 0, 1), nthreads=2)
    np.testing.assert_allclose(threaded, runs[0], rtol=1e-4, atol=1e-3)


def test_empty_array_is_returned_as_it_is() -> None:
    image = np.zeros((0, 5), dtype=np.float32)
    assert denoise(image, 1.0) is image


@pytest.fixture
def openmp() -> Iterator[ctypes.CDLL]:
    """The OpenMP runtime the module uses; the calling thread's count is restored after."""
    try:
        runtime = ctypes.CDLL("libgomp.so.1")
    except OSError:
        pytest.skip("the module's OpenMP runtime is not libgomp")
    saved = runtime.omp_get_max_threads()
    yield runtime
    runtime.omp_set_num_threads(saved)


def test_thread_count_persists_and_counts_down(openmp: ctypes.CDLL) -> None:
    image = add_noise(scene((8, 8)), 1.0)
    radius = (1, 1, 0, 0, 0)
    denoise(image, 1.0, radius, nthreads=3)
    assert openmp.omp_get_max_threads() == 3
    denoise(image, 1.0, radius, nthreads=0)
    assert openmp.omp_get_max_threads() == 3
    denoise(image, 1.0, radius, nthreads=-1)
    assert openmp.omp_get_max_threads() == 2
    denoise(image, 1.0, radius, nthreads=-100)
    assert openmp.omp_get_max_threads() == 1
    # The count stays in force even when the call fails on its arguments.
    with pytest.raises(ValueError, match=r"^max_iter must be > 0$"):
        denoise(image, 1.0, radius, max_iter=0, nthreads=5)
    assert openmp.omp_get_max_threads() == 5
