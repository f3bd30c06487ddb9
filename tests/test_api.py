"""The Python API: axis names, arguments handed to the core, noise models, denoising."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import quorvel
from quorvel import GaussianNoise, PoissonGaussianNoise
from quorvel._axes import from_core_layout, normalize_axes, to_core_layout

# --------------------------------------------------------------------------
# Axis names and the core layout


@pytest.mark.parametrize(
    ("axes", "shape"),
    [
        ("X", (7,)),
        ("YX", (5, 7)),
        ("TYX", (3, 5, 7)),
        ("YXT", (5, 7, 3)),
        ("ZCYX", (4, 2, 5, 7)),
        ("TZCYX", (3, 4, 2, 5, 7)),
        ("YXS", (5, 7, 3)),
        ("XYTC", (7, 5, 3, 2)),
    ],
)
def test_core_layout_places_every_element(axes: str, shape: tuple[int, ...]) -> None:
    names = normalize_axes(axes, len(shape))
    image = np.arange(np.prod(shape)).reshape(shape)
    core = to_core_layout(image, names)
    assert core.ndim == 5
    assert np.shares_memory(core, image)  # a view, no copy
    for index in [(0,) * len(shape), tuple(n - 1 for n in shape), tuple(n // 2 for n in shape)]:
        position = dict(zip(names, index, strict=True))
        core_index = tuple(position.get(a, 0) for a in "TCZYX")
        assert core[core_index] == image[index]
    np.testing.assert_array_equal(from_core_layout(core, names), image)


@pytest.mark.parametrize(
    ("axes", "ndim", "message"),
    [
        ("YXY", 3, "twice"),
        ("CYXS", 4, "twice"),
        ("QYX", 3, "unknown axis"),
        ("YX", 3, "names 2 axes"),
        ("TZY", 3, "no X axis"),
        (None, 6, "1 to 5 dimensions"),
    ],
)
def test_invalid_axes(axes: str | None, ndim: int, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        normalize_axes(axes, ndim)


# --------------------------------------------------------------------------
# What the core receives (recording stand-in)


@pytest.mark.parametrize(
    ("shape", "axes", "options", "radius5", "search5", "core_shape"),
    [
        ((48, 40), None, {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (1, 1, 1, 48, 40)),
        ((4, 48, 40), "TYX", {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (4, 1, 1, 48, 40)),
        (
            (5, 48, 40),
            None,
            {"patch_radius": {"z": 1}, "search_axes": "T"},
            [3, 3, 1, 0, 0],
            [1, 1, 0, 0, 1],
            (1, 1, 5, 48, 40),
        ),
        (
            (3, 5, 2, 20, 24),
            "TZCYX",
            {"patch_radius": {"X": 2, "Y": 1, "T": 1}, "search_axes": "z"},
            [2, 1, 0, 0, 1],
            [1, 1, 1, 0, 0],
            (3, 2, 5, 20, 24),
        ),
        (
            (20, 24, 3),
            "YXS",
            {"patch_radius": 2, "search_axes": ""},
            [2, 2, 0, 0, 0],
            [1, 1, 0, 0, 0],
            (1, 3, 1, 20, 24),
        ),
        # Radii along axes the image lacks (length 1) are dropped.
        (
            (1, 20, 24),
            "ZYX",
            {"patch_radius": {"Z": 4}},
            [3, 3, 0, 0, 0],
            [1, 1, 1, 0, 1],
            (1, 1, 1, 20, 24),
        ),
    ],
)
def test_core_receives_layout_and_parameters(
    fake_core: Any,
    shape: tuple[int, ...],
    axes: str | None,
    options: dict[str, Any],
    radius5: list[int],
    search5: list[int],
    core_shape: tuple[int, ...],
) -> None:
    image = np.random.default_rng(0).integers(0, 1000, shape).astype(np.uint16)
    before = image.copy()
    out = quorvel.denoise(
        image, 4.0, axes=axes, max_iter=3, pvalue=0.05, renoise=0.5, n_threads=-1, **options
    )
    work, sigma, r5, s5, max_iter, pvalue, n_threads, renoise = fake_core.only_call(
        "_denoise_gaussian"
    )
    assert work.shape == core_shape and work.dtype == np.float32
    names = normalize_axes(axes, image.ndim)
    np.testing.assert_array_equal(work, to_core_layout(image, names))
    assert (sigma, r5, s5, max_iter, pvalue, n_threads, renoise) == (
        4.0,
        radius5,
        search5,
        3,
        0.05,
        -1,
        0.5,
    )
    # Every element back in its place (the stand-in doubles them), input untouched.
    assert out.shape == shape and out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, 2.0 * before)
    np.testing.assert_array_equal(image, before)


def test_gaussian_channels_scaled_to_unit_noise(fake_core: Any) -> None:
    image = np.random.default_rng(1).normal(100, 5, (2, 24, 24)).astype(np.float32)
    out = quorvel.denoise(image, [2.0, 8.0], axes="CYX")
    work, sigma, *_ = fake_core.only_call("_denoise_gaussian")
    assert sigma == 1.0
    np.testing.assert_allclose(work[0, 0, 0], image[0] / 2.0, rtol=1e-6)
    np.testing.assert_allclose(work[0, 1, 0], image[1] / 8.0, rtol=1e-6)
    np.testing.assert_allclose(out, 2.0 * image, rtol=1e-6)


def test_poisson_gaussian_in_photon_units(fake_core: Any) -> None:
    image = np.random.default_rng(2).normal(300, 5, (2, 24, 24)).astype(np.float32)
    model = PoissonGaussianNoise([2.0, 4.0], [-10.0, 32.0])
    out = quorvel.denoise(image, model, axes="CYX")
    work, sigma, gain, offset, *_ = fake_core.only_call("_denoise_poisson_gaussian")
    assert (sigma, gain) == (1.0, [1.0, 1.0])
    np.testing.assert_allclose(offset, [-10.0 / 4.0, 32.0 / 16.0])
    np.testing.assert_allclose(work[0, 0, 0], image[0] / 2.0, rtol=1e-6)
    np.testing.assert_allclose(work[0, 1, 0], image[1] / 4.0, rtol=1e-6)
    np.testing.assert_allclose(out, 2.0 * image, rtol=1e-6)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"max_iter": 0}, "max_iter"),
        ({"max_iter": 31}, "max_iter"),
        ({"max_iter": 2.5}, "max_iter"),
        ({"pvalue": -0.1}, "pvalue"),
        ({"pvalue": 1.0}, "pvalue"),
        ({"pvalue": float("nan")}, "pvalue"),
        ({"renoise": -1.0}, "renoise"),
        ({"n_threads": 1.5}, "n_threads"),
        ({"patch_radius": -1}, "patch_radius"),
        ({"patch_radius": 12}, "patch_radius 12 along X is too large"),
        ({"patch_radius": {"T": 1}, "axes": "TYX"}, "patch_radius 1 along T is too large"),
        ({"patch_radius": {"C": 1}}, "patch_radius"),
        ({"search_axes": "C"}, "search_axes"),
        ({"noise": 0.0}, "sigma"),
        ({"noise": [1.0, 2.0, 3.0], "axes": "CYX"}, "3 channels"),
        ({"noise": "poisson"}, "noise"),
        ({"axes": "YXQ"}, "axes"),
    ],
)
def test_invalid_parameters_rejected_before_any_work(
    fake_core: Any, options: dict[str, Any], message: str
) -> None:
    options = {"noise": 5.0, "axes": "CYX", **options}
    image = np.ones((2, 20, 20))
    with pytest.raises(ValueError, match=message):
        quorvel.denoise(image, **options)
    assert fake_core.calls == []


@pytest.mark.parametrize(
    ("image", "error", "message"),
    [
        (np.zeros((0, 5)), ValueError, "empty"),
        (np.array([[1.0, np.nan], [0.0, 1.0]]), ValueError, "NaN"),
        (np.ones((4, 4), dtype=complex), TypeError, "real numbers"),
        (np.ones((1, 1, 1, 1, 1, 4)), ValueError, "1 to 5 dimensions"),
        (np.broadcast_to(np.float32(1), (2**16, 2**15 + 1)), ValueError, "at most 2147483647"),
    ],
)
def test_invalid_images(fake_core: Any, image: Any, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        quorvel.denoise(image, 1.0)
    with pytest.raises(error, match=message):
        quorvel.estimate_noise(image)
    assert fake_core.calls == []


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: GaussianNoise(-1.0), "sigma must be > 0"),
        (lambda: GaussianNoise([]), "at least one"),
        (lambda: PoissonGaussianNoise(0.0, 1.0), "gain must be > 0"),
        (lambda: PoissonGaussianNoise([1.0, 2.0], [0.0]), "offset has 1"),
        (lambda: PoissonGaussianNoise(1.0, float("inf")), "offset must be finite"),
    ],
)
def test_invalid_noise_models(make: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        make()


def test_failed_fit_is_not_used(fake_core: Any) -> None:
    # (1, 0) is the core's answer when a channel gives no usable line.
    fake_core.poisson_estimate = [[1.0], [0.0]]
    image = np.full((16, 16), 7.0)
    with pytest.raises(ValueError, match="fit failed"):
        quorvel.estimate_noise(image, "poisson-gaussian")
    with pytest.warns(RuntimeWarning, match="fit failed"):
        assert quorvel.estimate_noise(image, "auto") == GaussianNoise(3.0)


# --------------------------------------------------------------------------
# The real core


def camera(photons: Any, gain: Any, dark: float, read_noise: float, seed: int) -> Any:
    rng = np.random.default_rng(seed)
    return dark + gain * rng.poisson(photons) + rng.normal(0.0, read_noise, np.shape(photons))


def test_estimate_gaussian_per_channel() -> None:
    rng = np.random.default_rng(3)
    image = 50.0 + rng.normal(0.0, 1.0, (2, 96, 96)) * np.array([2.0, 6.0])[:, None, None]
    model = quorvel.estimate_noise(image, "gaussian", axes="CYX")
    assert isinstance(model, GaussianNoise)
    np.testing.assert_allclose(model.sigma, [2.0, 6.0], rtol=0.1)
    # Without a channel axis the two planes are a z-stack: one pooled value.
    assert quorvel.estimate_noise(image, "gaussian").n_channels == 1


def test_estimate_poisson_gaussian_recovers_camera() -> None:
    photons = np.repeat(np.linspace(2.0, 100.0, 16), 8)[:, None] * np.ones(128)
    image = camera(photons, gain=2.0, dark=100.0, read_noise=3.0, seed=4)
    model = quorvel.estimate_noise(image, "auto")
    assert isinstance(model, PoissonGaussianNoise)
    assert model.gain[0] == pytest.approx(2.0, rel=0.1)
    # Variance predicted at the bright end: 2 * 300 - 191 = 409.
    assert float(model.variance(300.0)) == pytest.approx(409.0, rel=0.1)


def test_auto_keeps_gaussian_for_constant_noise() -> None:
    image = 80.0 + np.random.default_rng(5).normal(0.0, 4.0, (96, 96))
    model = quorvel.estimate_noise(image, "auto")
    assert isinstance(model, GaussianNoise)
    assert model.sigma[0] == pytest.approx(4.0, rel=0.1)


@pytest.mark.parametrize(("shape", "axes"), [((48, 48), "YX"), ((4, 48, 48), "TYX")])
def test_gaussian_denoising_improves_psnr(smooth: Any, psnr: Any, shape: Any, axes: str) -> None:
    clean = smooth(shape)
    noisy = clean + np.random.default_rng(6).normal(0.0, 10.0, shape)
    out = quorvel.denoise(noisy, 10.0, axes=axes)
    assert psnr(clean, out) > psnr(clean, noisy) + 5.0


def test_poisson_gaussian_denoising_improves_psnr(smooth: Any, psnr: Any) -> None:
    photons = smooth((4, 48, 48)) / 4.0
    gain, dark, read_noise = 4.0, 100.0, 2.0
    clean = dark + gain * photons
    noisy = camera(photons, gain, dark, read_noise, seed=7)
    model = PoissonGaussianNoise(gain, read_noise**2 - gain * dark)
    out = quorvel.denoise(noisy, model, axes="TYX")
    assert psnr(clean, out) > psnr(clean, noisy) + 5.0


def test_poisson_gaussian_denoising_keeps_brightness() -> None:
    # Two channels of flat dim signal, 5 and 20 photons, cameras of gain 2 and 8.
    gain, dark, read_noise = np.array([2.0, 8.0]), 100.0, 2.0
    photons = np.array([5.0, 20.0])[:, None, None] * np.ones((2, 48, 48))
    noisy = camera(photons, gain[:, None, None], dark, read_noise, seed=11)
    model = PoissonGaussianNoise(gain, read_noise**2 - gain * dark)
    out = quorvel.denoise(noisy, model, axes="CYX")
    assert (out.std(axis=(1, 2)) < 0.25 * noisy.std(axis=(1, 2))).all()
    # The mean of the noisy image is an unbiased estimate; the denoised one
    # keeps it to a small fraction of a photon.
    shift = np.abs(out.mean(axis=(1, 2)) - noisy.mean(axis=(1, 2))) / gain
    assert shift.max() < 0.05


def test_axis_order_does_not_change_the_result(smooth: Any) -> None:
    noisy = smooth((4, 48, 40)) + np.random.default_rng(8).normal(0.0, 8.0, (4, 48, 40))
    reference = quorvel.denoise(noisy, 8.0, axes="TYX", n_threads=1)
    moved = quorvel.denoise(np.moveaxis(noisy, 0, -1), 8.0, axes="YXT", n_threads=1)
    np.testing.assert_array_equal(np.moveaxis(moved, -1, 0), reference)
    # The same array read as a z-stack is searched differently.
    assert not np.array_equal(quorvel.denoise(noisy, 8.0, axes="ZYX", n_threads=1), reference)


class LazyArray:
    """An array that only converts on request, as dask and zarr arrays do."""

    def __init__(self, data: Any) -> None:
        self._data = data
        self.shape, self.dtype, self.ndim = data.shape, data.dtype, data.ndim

    def __array__(self, dtype: Any = None, copy: Any = None) -> Any:
        return np.asarray(self._data, dtype=dtype)


def test_inputs_of_any_kind_are_left_unchanged(smooth: Any) -> None:
    clean = smooth((48, 48))
    noisy = np.clip(clean + np.random.default_rng(9).normal(0, 6, clean.shape), 0, None)
    as_uint16 = np.rint(noisy).astype(np.uint16)
    as_uint16.flags.writeable = False
    reference = quorvel.denoise(as_uint16.astype(np.float32), 6.0, n_threads=1)
    for image in (as_uint16, LazyArray(as_uint16), as_uint16.tolist(), as_uint16.T.copy().T):
        out = quorvel.denoise(image, 6.0, n_threads=1)
        assert out.dtype == np.float32 and out.shape == (48, 48)
        np.testing.assert_array_equal(out, reference)
    np.testing.assert_array_equal(as_uint16, np.rint(noisy).astype(np.uint16))


def test_progress_bar_does_not_change_the_result(
    smooth: Any, capsys: pytest.CaptureFixture[str]
) -> None:
    noisy = camera(smooth((4, 48, 48)) / 4.0, 2.0, 100.0, 3.0, seed=10)
    quiet = quorvel.denoise(noisy, axes="TYX", n_threads=1)
    shown = quorvel.denoise(noisy, axes="TYX", n_threads=1, progress=True)
    np.testing.assert_array_equal(shown, quiet)
    assert "2/2" in capsys.readouterr().err
