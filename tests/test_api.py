"""The Python API: axis names, arguments handed to the core, noise models, denoising."""

from __future__ import annotations

import pickle
import re
import warnings
from typing import Any

import dask.array as da
import numpy as np
import pytest

import quorvel
from quorvel import NoiseModel
from quorvel._axes import from_core_layout, normalize_axes, to_core_layout
from quorvel._core import _estimate_sigma
from quorvel._progress import Stages
from quorvel._run import _run_denoise
from quorvel._threads import available_cpus

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
        ("YXY", 3, "names Y twice"),
        ("CYXS", 4, "names two channel axes (C and S"),
        ("QYX", 3, "unknown axis"),
        ("YX", 3, "names 2 axes"),
        ("TZY", 3, "no X axis"),
        (None, 6, "1 to 5 dimensions"),
        # Only 1-D, 2-D and 3-D arrays have default names.
        (None, 4, "only 1-D"),
        (None, 4, "axes: the axes of a 4-D array are ambiguous; name them, e.g. axes='TZYX'"),
        (None, 5, "axes: the axes of a 5-D array are ambiguous"),
    ],
)
def test_invalid_axes(axes: str | None, ndim: int, message: str) -> None:
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        normalize_axes(axes, ndim)


# --------------------------------------------------------------------------
# What the core receives (recording stand-in)


@pytest.mark.parametrize(
    ("shape", "axes", "options", "radius5", "search5", "core_shape"),
    [
        ((48, 40), None, {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (1, 1, 1, 48, 40)),
        ((64,), None, {}, [3, 0, 0, 0, 0], [1, 1, 1, 0, 1], (1, 1, 1, 1, 64)),
        ((5, 48, 40), None, {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (1, 1, 5, 48, 40)),
        ((4, 48, 40), "TYX", {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (4, 1, 1, 48, 40)),
        (
            (5, 48, 40),
            "ZYX",
            {"patch_radius": {"X": 3, "Y": 3, "z": 1}, "search": "T"},
            [3, 3, 1, 0, 0],
            [1, 1, 0, 0, 1],
            (1, 1, 5, 48, 40),
        ),
        (
            (3, 5, 2, 21, 24),
            "TZCYX",
            {"patch_radius": {"X": 2, "Y": 1, "Z": 0, "T": 1}, "search": "xyz"},
            [2, 1, 0, 0, 1],
            [1, 1, 1, 0, 0],
            (3, 2, 5, 21, 24),
        ),
        (
            (20, 24, 3),
            "YXC",
            {"patch_radius": 2, "search": ""},
            [2, 2, 0, 0, 0],
            [1, 1, 0, 0, 0],
            (1, 3, 1, 20, 24),
        ),
        ((20, 24, 4), "YXS", {}, [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], (1, 4, 1, 20, 24)),
        # Radii along axes the image lacks (length 1) are dropped.
        (
            (1, 20, 24),
            "ZYX",
            {"patch_radius": {"X": 3, "Y": 3, "Z": 4, "T": 0}},
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
    # Every setting given (the defaults of earlier versions where a row gives none).
    options = {"patch_radius": 3, "search": "ZT", **options}
    out = quorvel.denoise(
        image,
        axes,
        noise="gaussian",
        sigma=4.0,
        iterations=3,
        pvalue=0.05,
        renoise=0.5,
        threads=-1,
        channels="joint",
        **options,
    )
    work, sigma, r5, s5, iterations, pvalue, threads, renoise = fake_core.only_call(
        "_denoise_gaussian"
    )
    assert work.shape == core_shape and work.dtype == np.float32
    names = normalize_axes(axes, image.ndim)
    np.testing.assert_array_equal(work, to_core_layout(image, names))
    assert (sigma, r5, s5, iterations, pvalue, threads, renoise) == (
        4.0,
        radius5,
        search5,
        3,
        0.05,
        max(1, available_cpus() - 1),  # an explicit count: all CPUs but one
        0.5,
    )
    # Every element back in its place (the stand-in doubles them), input untouched.
    assert out.shape == shape and out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, 2.0 * before)
    np.testing.assert_array_equal(image, before)


def test_gaussian_channels_scaled_to_unit_noise(fake_core: Any) -> None:
    image = np.random.default_rng(1).normal(100, 5, (2, 24, 24)).astype(np.float32)
    out = quorvel.denoise(image, "CYX", noise="gaussian", sigma=[2.0, 8.0], channels="joint")
    work, sigma, *_ = fake_core.only_call("_denoise_gaussian")
    assert sigma == 1.0
    np.testing.assert_allclose(work[0, 0, 0], image[0] / 2.0, rtol=1e-6)
    np.testing.assert_allclose(work[0, 1, 0], image[1] / 8.0, rtol=1e-6)
    np.testing.assert_allclose(out, 2.0 * image, rtol=1e-6)


def test_poisson_gaussian_in_photon_units(fake_core: Any) -> None:
    image = np.random.default_rng(2).normal(300, 5, (2, 24, 24)).astype(np.float32)
    model = NoiseModel([2.0, 4.0], [-10.0, 32.0])
    out = quorvel.denoise(
        image, "CYX", noise="poisson-gaussian", model=model, channels="joint", band_limit=False
    )
    work, sigma, gain, offset, *_ = fake_core.only_call("_denoise_poisson_gaussian")
    assert (sigma, gain) == (1.0, [1.0, 1.0])
    np.testing.assert_allclose(offset, [-10.0 / 4.0, 32.0 / 16.0])
    np.testing.assert_allclose(work[0, 0, 0], image[0] / 2.0, rtol=1e-6)
    np.testing.assert_allclose(work[0, 1, 0], image[1] / 4.0, rtol=1e-6)
    np.testing.assert_allclose(out, 2.0 * image, rtol=1e-6)
    assert not {"_calibrate_poisson_gaussian", "fit_package"} & set(fake_core.names())


@pytest.mark.parametrize(
    ("options", "calls", "core_noise"),
    [
        # Gaussian: sigma estimated per channel when not given ...
        ({"noise": "gaussian"}, ["_calibrate_gaussian"] * 2 + ["_denoise_gaussian"], 3.0),
        # ... or taken from a model.
        (
            {"noise": "gaussian", "model": NoiseModel(2.0, -100.0, sigma=5.0)},
            ["_denoise_gaussian"],
            5.0,
        ),
        (
            {"noise": "poisson-gaussian"},
            ["fit_package", "_denoise_poisson_gaussian"],
            [1.0, 1.0],
        ),
        ({"noise": "auto"}, ["fit_package", "_denoise_poisson_gaussian"], None),
        # A given model is not calibrated again.
        ({"model": NoiseModel(4.0, 0.0)}, ["_denoise_poisson_gaussian"], None),
    ],
)
def test_noise_choice_decides_the_core_calls(
    fake_core: Any, options: dict[str, Any], calls: list[str], core_noise: Any
) -> None:
    image = np.full((2, 24, 24), 200.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # positive gains: no fallback warning
        quorvel.denoise(image, "CYX", channels="joint", **options)
    assert fake_core.names() == calls
    if isinstance(core_noise, float):
        assert fake_core.only_call("_denoise_gaussian")[1] == core_noise
    elif core_noise is not None:
        assert fake_core.only_call("_denoise_poisson_gaussian")[2] == core_noise


def test_auto_falls_back_per_channel_with_a_warning(fake_core: Any) -> None:
    # Channel 1's noise does not grow with intensity: negative fitted gain.
    fake_core.poisson_estimate = [[2.0, -0.5], [-100.0, 50.0]]
    image = np.random.default_rng(3).normal(200, 5, (24, 20, 2))
    with pytest.warns(RuntimeWarning, match=r"channel 1 \(gain -0.5, sigma 3\)") as caught:
        out = quorvel.denoise(image, "YXC")
    assert len(caught) == 1
    assert caught[0].filename == __file__  # attributed to the caller
    # Each path sees only its own channel, and the channels come back in place.
    pg_work, _, gain, offset, *_ = fake_core.only_call("_denoise_poisson_gaussian")
    np.testing.assert_allclose(pg_work[0, 0, 0], image[..., 0] / 2.0, rtol=1e-6)
    assert (gain, offset) == ([1.0], [-100.0 / 4.0])
    g_work, sigma, *_ = fake_core.only_call("_denoise_gaussian")
    np.testing.assert_allclose(g_work[0, 0, 0], image[..., 1], rtol=1e-6)
    assert sigma == 3.0
    sigma_input = fake_core.only_call("_calibrate_gaussian")[0]
    np.testing.assert_allclose(sigma_input[0, 0, 0], image[..., 1], rtol=1e-6)
    np.testing.assert_allclose(out, 2.0 * image, rtol=1e-6)


def test_failed_fit_counts_as_no_gain(fake_core: Any) -> None:
    # (1, 0) is the core's answer when a channel gives no usable line.
    fake_core.poisson_estimate = [[1.0], [0.0]]
    image = np.random.default_rng(2).normal(7.0, 1.0, (16, 16))
    model = quorvel.estimate_noise(image)
    assert np.isnan(model.gain).all() and np.isnan(model.offset).all()
    assert model.sigma == (3.0,)
    with pytest.raises(ValueError, match="gain of channel 0 could not be fitted"):
        quorvel.denoise(image, noise="poisson-gaussian")
    with pytest.warns(RuntimeWarning, match=r"channel 0 \(no fit"):
        quorvel.denoise(image)
    assert fake_core.names()[-1] == "_denoise_gaussian"


@pytest.mark.parametrize(
    "options",
    [{}, {"channels": "joint"}, {"noise": "poisson-gaussian"}, {"noise": "gaussian", "tune": True}],
)
def test_constant_channels_are_passed_through(options: dict[str, Any]) -> None:
    # An empty channel (noise level 0) stopped the run of every channel; one
    # of 1000 (its level estimated a rounding error above 0) came out changed.
    rng = np.random.default_rng(5)
    image = (100 + 2 * rng.poisson(20.0, (3, 4, 40, 40))).astype(np.uint16)
    image[1] = 1000
    out, variance = quorvel.denoise(image, "CTYX", threads=1, return_variance=True, **options)
    assert (out[1] == 1000).all() and (variance[1] == 0).all()
    alone = quorvel.denoise(image[[0, 2]], "CTYX", threads=1, **options)
    np.testing.assert_array_equal(out[[0, 2]], alone)
    flat = np.full((2, 9, 9), 7, dtype=np.uint16)
    np.testing.assert_array_equal(quorvel.denoise(flat, "CYX", **options), flat)


_NO_SIGMA: dict[str, Any] = {"sigma": None}


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"iterations": 0}, "iterations"),
        ({"iterations": 31}, "iterations"),
        ({"iterations": 2.5}, "iterations"),
        ({"pvalue": -0.1}, "pvalue"),
        ({"pvalue": 1.0}, "pvalue"),
        ({"pvalue": float("nan")}, "pvalue"),
        ({"renoise": -1.0}, "renoise"),
        ({"threads": 1.5}, "threads"),
        ({"patch_radius": -1}, "patch_radius"),
        ({"patch_radius": 12}, "patch_radius 12 along X is too large"),
        ({"patch_radius": {"T": 1}, "axes": "TYX"}, "patch_radius 1 along T is too large"),
        ({"patch_radius": {"C": 1}}, "patch_radius"),
        ({"search": "C"}, "search"),
        ({"search": ["Z"]}, "search"),
        # An axis given twice: one of the values would be lost.
        ({"search": "T=5,T=3", "axes": "TYX"}, "search 'T=5,T=3'"),
        ({"search": {"t": 2, "T": 3}, "axes": "TYX"}, "search: axis T is given twice"),
        ({"patch_radius": {"x": 2, "X": 3}}, "patch_radius: axis X is given twice"),
        # None does not switch the tuning on; a flag is a bool.
        ({"tune": None}, "tune must be True, False or a mapping"),
        ({"return_variance": "no"}, "return_variance must be True or False"),
        ({"sigma": 0.0}, "sigma must be > 0"),
        # Finite as Python floats, but 0 or inf in the core's float32.
        ({"sigma": [10.0, 1e-300]}, "sigma is too close to 0"),
        ({"sigma": [10.0, 1e300]}, "sigma must fit float32"),
        # Integers beyond any float.
        ({"sigma": [10, 10**400]}, "sigma must fit float32"),
        ({"pvalue": 10**400}, "pvalue must be finite"),
        ({"renoise": -(10**400)}, "renoise must be finite"),
        ({"search": {"T": 2**31}, "axes": "TYX"}, "search reach along T must be between 0 and"),
        ({"renoise": 1e-45}, "renoise"),
        ({"renoise": 1e-30}, "renoise"),
        ({"pvalue": 1 - 1e-9}, "pvalue"),
        ({"sigma": "3"}, "sigma must be a number"),
        ({"sigma": True}, "sigma must be a number"),
        ({"sigma": [1.0, 2.0, 3.0]}, "sigma has 3 values"),
        ({"noise": "auto"}, "sigma is used with noise='gaussian' only"),
        ({"noise": "poisson-gaussian"}, "sigma is used with"),
        ({"noise": "poisson"}, "noise must be one of"),
        ({"align": "yes"}, "align must be None, True or False"),
        ({"noise": "auto", **_NO_SIGMA, "model": {"gain": 2.0}}, "model must be a NoiseModel"),
        (
            {"noise": "auto", **_NO_SIGMA, "model": NoiseModel([1.0] * 3, [0.0] * 3)},
            "model describes 3 channels",
        ),
        (
            {
                "noise": "poisson-gaussian",
                **_NO_SIGMA,
                "model": NoiseModel([2.0, -1.0], [0.0, 0.0]),
            },
            "model: the gain of channel 1 is -1",
        ),
        # Fine alone, but offset / gain**2 (photon units) is beyond float32.
        ({"noise": "auto", **_NO_SIGMA, "model": NoiseModel(1e-30, 1e30)}, "offset / gain"),
        ({"axes": "YXQ"}, "axes"),
        # Unnamed, the 2 x 4 x 20 array is ZYX: 4 rows are too few for a 7-pixel patch.
        (
            {"axes": None, "patch_radius": 3},
            r"patch_radius 3 along Y is too large .* \(axes ZYX\)",
        ),
    ],
)
def test_invalid_parameters_rejected_before_any_work(
    fake_core: Any, options: dict[str, Any], message: str
) -> None:
    options = {"axes": "CYX", "noise": "gaussian", "sigma": 5.0, **options}
    image = np.ones((2, 4, 20)) if options["axes"] is None else np.ones((2, 20, 20))
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
        (np.ones((2, 3, 8, 8)), ValueError, "4-D array are ambiguous"),
        (np.broadcast_to(np.float32(1), (2**16, 2**15 + 1)), ValueError, "at most 2147483647"),
        (np.full((4, 4), 1e300), ValueError, "beyond the float32 range"),
        # Masked pixels would be denoised at their stored values, the mask dropped.
        (np.ma.masked_array(np.ones((4, 4)), mask=np.eye(4)), ValueError, "4 masked pixels"),
    ],
)
def test_invalid_images(fake_core: Any, image: Any, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        quorvel.denoise(image, noise="gaussian", sigma=1.0)
    with pytest.raises(error, match=message):
        quorvel.estimate_noise(image)
    assert fake_core.calls == []


@pytest.mark.parametrize(
    ("offset", "dtype", "warns"),
    [(1e6, np.float64, True), (1e5, np.float64, False), (0.0, np.float64, False),
     (2**26, np.int64, True), (2**20, np.int64, False)],
)  # fmt: skip
def test_values_float32_rounds_away_are_warned_of(
    fake_core: Any, offset: float, dtype: Any, warns: bool
) -> None:
    # Noise of 0.1 on 1e6 (float32 steps of 0.06 there), of 2 on 2**26 (steps of 8).
    scale = 0.1 if dtype == np.float64 else 2.0
    image = (offset + scale * np.random.default_rng(0).standard_normal((32, 32))).astype(dtype)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quorvel.estimate_noise(image, "YX")
    said = [w for w in caught if "float32, in which quorvel computes" in str(w.message)]
    assert bool(said) == warns


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: NoiseModel([], []), "at least one"),
        (lambda: NoiseModel([1.0, 2.0], [0.0]), "offset has 1"),
        (lambda: NoiseModel(1.0, float("inf")), "offset must be finite"),
        (lambda: NoiseModel(1.0, 0.0, sigma=-1.0), "sigma must be >= 0"),
        (lambda: NoiseModel([1.0, 2.0], [0.0, 0.0], sigma=[1.0, 2.0, 3.0]), "sigma has 3"),
        (lambda: NoiseModel("two", 0.0), "gain must be a number"),  # type: ignore[arg-type]
        (lambda: NoiseModel(None, None), "gain must be a number"),  # type: ignore[arg-type]
        (lambda: NoiseModel(1e-300, 0.0), "gain is too close to 0"),
        (lambda: NoiseModel(1e-40, 0.0), "gain is too close to 0"),
        (lambda: NoiseModel(1e39, 0.0), "gain must fit float32"),
        (lambda: NoiseModel(1.0, 1e39), "offset must fit float32"),
        (lambda: NoiseModel(10**400, 0), "gain must fit float32"),
        (
            lambda: NoiseModel.from_json(
                f'{{"format": "quorvel-noise-model", "gain": [1], "offset": [{10**400}]}}'
            ),
            "offset must fit float32",
        ),
        (lambda: NoiseModel(1.0, 0.0, gain_se=-0.1), "gain_se must be >= 0"),
        (lambda: NoiseModel([1.0, 2.0], [0.0, 0.0], offset_se=[1.0] * 3), "offset_se has 3"),
    ],
)
def test_invalid_noise_models(make: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        make()


def test_noise_model_is_a_frozen_record() -> None:
    model = NoiseModel([2, 3], [-10, 5], sigma=4)
    assert (model.gain, model.offset, model.sigma) == ((2.0, 3.0), (-10.0, 5.0), (4.0, 4.0))
    assert model == NoiseModel((2.0, 3.0), (-10.0, 5.0), (4.0, 4.0))
    with pytest.raises(AttributeError):
        model.gain = (1.0, 1.0)  # type: ignore[misc]


@pytest.mark.parametrize(
    "copy",
    [
        lambda m: NoiseModel.from_json(m.to_json()),
        lambda m: pickle.loads(pickle.dumps(m)),  # as sent to a process or cluster worker
    ],
    ids=["json", "pickle"],
)
def test_a_model_with_a_channel_not_fitted_equals_its_copy(copy: Any) -> None:
    """NaN != NaN made such a model differ from its own copy, and hash apart."""
    nan = float("nan")
    model = NoiseModel([2.0, nan], [-10.0, nan], sigma=[3.0, 0.0], gain_se=[0.1, nan])
    back = copy(model)
    assert back == model and len({model, back}) == 1
    assert back != NoiseModel([2.0, nan], [-10.0, 0.0], sigma=[3.0, 0.0])


def test_noise_model_standard_errors_in_json(tmp_path: Any) -> None:
    model = NoiseModel([2.0, 3.0], [-10.0, 5.0], gain_se=[0.1, float("nan")], offset_se=4.0)
    assert np.isnan(NoiseModel(2.0, 1.0).gain_se).all()
    # Unset standard errors do not make equal models differ (NaN != NaN).
    assert NoiseModel(2.0, 1.0) == NoiseModel(2.0, 1.0)
    model.to_json(tmp_path / "m.json")
    back = NoiseModel.from_json(tmp_path / "m.json")
    assert back.gain_se[0] == 0.1 and np.isnan(back.gain_se[1])
    assert back.offset_se == (4.0, 4.0)
    # A file of a version that wrote no standard errors still loads.
    old = '{"format": "quorvel-noise-model", "gain": [2.0], "offset": [-10.0]}'
    assert np.isnan(NoiseModel.from_json(old).offset_se).all()
    assert "gain_se" not in NoiseModel(2.0, 1.0).to_json()


# --------------------------------------------------------------------------
# The real core


def camera(photons: Any, gain: Any, dark: float, read_noise: float, seed: int) -> Any:
    rng = np.random.default_rng(seed)
    return dark + gain * rng.poisson(photons) + rng.normal(0.0, read_noise, np.shape(photons))


def test_estimate_recovers_a_camera_per_channel() -> None:
    # Intensity steps in every channel; cameras of gain 2 and 5.
    photons = np.repeat(np.linspace(2.0, 100.0, 16), 8)[:, None] * np.ones(128)
    gains = np.array([2.0, 5.0])
    image = np.stack([camera(photons, g, 100.0, 3.0, seed=4 + i) for i, g in enumerate(gains)])
    model = quorvel.estimate_noise(image, "CYX")
    np.testing.assert_allclose(model.gain, gains, rtol=0.1)
    # Variance predicted at 100 photons: gain * (100 + gain * 100) + 9 - gain * 100.
    for c, g in enumerate(gains):
        expected = g * (100.0 + g * 100.0) + 9.0 - g * 100.0
        assert float(model.variance(100.0 + g * 100.0, c)) == pytest.approx(expected, rel=0.15)
    assert model.sigma is not None and len(model.sigma) == 2
    assert model.sigma[1] > model.sigma[0]


def test_estimate_gaussian_level_per_channel() -> None:
    rng = np.random.default_rng(3)
    image = 50.0 + rng.normal(0.0, 1.0, (2, 96, 96)) * np.array([2.0, 6.0])[:, None, None]
    # No Poisson part to fit: "auto" says that the gain is poorly determined.
    with pytest.warns(RuntimeWarning, match="gain poorly in channel 0 .*, channel 1 "):
        model = quorvel.estimate_noise(image, "CYX")
    assert model.sigma is not None
    np.testing.assert_allclose(model.sigma, [2.0, 6.0], rtol=0.1)
    # Without a channel axis the two planes are a z-stack: one pooled value.
    with pytest.warns(RuntimeWarning, match="gain poorly in channel 0 "):
        assert quorvel.estimate_noise(image).n_channels == 1


def test_auto_falls_back_where_noise_does_not_grow(smooth: Any) -> None:
    """Channel 0 is camera noise; channel 1's noise shrinks as intensity grows."""
    rng = np.random.default_rng(12)
    scene = smooth((48, 48))
    photons = scene / 4.0
    shrinking = scene + rng.normal(0.0, 1.0, scene.shape) * np.sqrt(np.clip(300 - scene, 20, None))
    image = np.stack([camera(photons, 2.0, 100.0, 3.0, seed=13), shrinking])
    with pytest.warns(RuntimeWarning, match="gain poorly in channel 0 "):  # a 48 x 48 image
        model = quorvel.estimate_noise(image, "CYX")
    assert model.gain[0] > 0 and not model.gain[1] > 0 and model.sigma is not None
    with pytest.warns(RuntimeWarning, match="channel 1"):
        auto = quorvel.denoise(image, "CYX", threads=1)
    # Each channel as if denoised on its own path.
    model0 = NoiseModel(model.gain[0], model.offset[0])
    pg = quorvel.denoise(image[:1], "CYX", noise="poisson-gaussian", model=model0, threads=1)
    gauss = quorvel.denoise(image[1], noise="gaussian", sigma=model.sigma[1], threads=1)
    np.testing.assert_array_equal(auto[0], pg[0])
    np.testing.assert_array_equal(auto[1], gauss)


@pytest.mark.parametrize(("shape", "axes"), [((48, 48), "YX"), ((4, 48, 48), "TYX")])
def test_gaussian_denoising_improves_psnr(smooth: Any, psnr: Any, shape: Any, axes: str) -> None:
    clean = smooth(shape)
    noisy = clean + np.random.default_rng(6).normal(0.0, 10.0, shape)
    out = quorvel.denoise(noisy, axes, noise="gaussian", sigma=10.0)
    assert psnr(clean, out) > psnr(clean, noisy) + 5.0


def test_poisson_gaussian_denoising_improves_psnr(smooth: Any, psnr: Any) -> None:
    photons = smooth((4, 48, 48)) / 4.0
    gain, dark, read_noise = 4.0, 100.0, 2.0
    clean = dark + gain * photons
    noisy = camera(photons, gain, dark, read_noise, seed=7)
    model = NoiseModel(gain, read_noise**2 - gain * dark)
    out = quorvel.denoise(noisy, "TYX", model=model)
    assert psnr(clean, out) > psnr(clean, noisy) + 5.0
    # Calibrated from the image, the result is about as good.
    assert psnr(clean, quorvel.denoise(noisy, "TYX")) > psnr(clean, out) - 1.0


def test_poisson_gaussian_denoising_keeps_brightness() -> None:
    # Two channels of flat dim signal, 5 and 20 photons, cameras of gain 2 and 8.
    gain, dark, read_noise = np.array([2.0, 8.0]), 100.0, 2.0
    photons = np.array([5.0, 20.0])[:, None, None] * np.ones((2, 48, 48))
    noisy = camera(photons, gain[:, None, None], dark, read_noise, seed=11)
    model = NoiseModel(gain, read_noise**2 - gain * dark)
    out = quorvel.denoise(noisy, "CYX", noise="poisson-gaussian", model=model)
    assert (out.std(axis=(1, 2)) < 0.25 * noisy.std(axis=(1, 2))).all()
    # The mean of the noisy image is an unbiased estimate; the denoised one
    # keeps it to a small fraction of a photon.
    shift = np.abs(out.mean(axis=(1, 2)) - noisy.mean(axis=(1, 2))) / gain
    assert shift.max() < 0.05


@pytest.mark.parametrize(
    ("photons", "read_noise"),
    [(0.01, 0.0), (0.3, 0.0), (1.0, 0.0), (0.3, 1.0)],
)
def test_dark_photon_counts_keep_their_mean(photons: float, read_noise: float) -> None:
    # Photon counts at gain 5 (read noise in photons, dark level subtracted):
    # the algebraic inverse of the transform lifted a background of no
    # photons to 0.25, of 0.3 to 0.47.
    rng = np.random.default_rng(4)
    counts = rng.poisson(photons, (4, 64, 64)) + rng.normal(0.0, read_noise, (4, 64, 64))
    model = NoiseModel(5.0, 25.0 * read_noise**2)
    image = da.from_array((5.0 * counts).astype(np.float32), chunks=(2, 64, 32))
    out = quorvel.denoise(image, "TYX", model=model).compute()
    assert abs(out.mean() / 5.0 - counts.mean()) < 0.02
    # Element by element: chunked runs keep the bits of in-memory ones.
    np.testing.assert_array_equal(out, quorvel.denoise(image.compute(), "TYX", model=model))


def test_time_is_not_depth() -> None:
    # Frames that are independent noise fields: what matches across frames
    # depends on whether the first axis is searched as T or as Z.
    noisy = 100.0 + np.random.default_rng(8).normal(0.0, 8.0, (4, 40, 36))
    options: dict[str, Any] = {"noise": "gaussian", "sigma": 8.0, "threads": 1}
    as_time = quorvel.denoise(noisy, "TYX", **options)
    assert not np.array_equal(quorvel.denoise(noisy, "ZYX", **options), as_time)
    # Only the axis role matters: moved axes give the same result, and
    # without a search along T or Z the two readings agree.
    moved = quorvel.denoise(np.moveaxis(noisy, 0, -1), "YXT", **options)
    np.testing.assert_array_equal(np.moveaxis(moved, -1, 0), as_time)
    given = {"search": "", "patch_radius": 3, "iterations": 4, "pvalue": 0.01}
    np.testing.assert_array_equal(
        quorvel.denoise(noisy, "TYX", **given, **options),
        quorvel.denoise(noisy, "ZYX", **given, **options),
    )


@pytest.mark.parametrize(
    ("shape", "axes", "radius"),
    [((32, 32), "YX", 1), ((8, 24, 24), "ZYX", {"X": 1, "Y": 1, "Z": 1})],
)
def test_patches_of_radius_one_reach_the_far_ends(
    shape: tuple[int, ...], axes: str, radius: Any
) -> None:
    # Reference patches every other pixel stop one short of an even length.
    clean = np.full(shape, 100.0, np.float32)
    noisy = clean + np.random.default_rng(3).normal(0.0, 10.0, shape).astype(np.float32)
    out = quorvel.denoise(noisy, axes, noise="gaussian", sigma=10.0, patch_radius=radius)
    assert out.shape == shape
    for axis in range(len(shape)):
        far_end = np.take(out - clean, -1, axis=axis)
        assert np.sqrt(np.mean(far_end**2)) < 4.0  # the input's is 10


def test_colour_channels_stay_apart(smooth: Any) -> None:
    rng = np.random.default_rng(14)
    clean = np.stack([smooth((40, 44), seed=1), 0.2 * smooth((40, 44), seed=2)], axis=-1)
    noisy = clean + rng.normal(0.0, 4.0, clean.shape)
    options: dict[str, Any] = {"noise": "gaussian", "sigma": 4.0, "threads": 1}
    out = quorvel.denoise(noisy, "YXC", **options)
    assert out.shape == noisy.shape
    planar = quorvel.denoise(np.moveaxis(noisy, -1, 0), "CYX", **options)
    np.testing.assert_array_equal(np.moveaxis(planar, 0, -1), out)
    for c in range(2):
        error = np.abs(out[..., c] - clean[..., c]).mean()
        assert error < 0.5 * np.abs(noisy[..., c] - clean[..., c]).mean()


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
    options: dict[str, Any] = {"noise": "gaussian", "sigma": 6.0, "threads": 1}
    reference = quorvel.denoise(as_uint16.astype(np.float32), **options)
    for image in (as_uint16, LazyArray(as_uint16), as_uint16.tolist(), as_uint16.T.copy().T):
        out = quorvel.denoise(image, **options)
        assert out.dtype == np.float32 and out.shape == (48, 48)
        np.testing.assert_array_equal(out, reference)
    np.testing.assert_array_equal(as_uint16, np.rint(noisy).astype(np.uint16))


@pytest.mark.parametrize("noise", ["auto", "gaussian", "poisson-gaussian"])
def test_core_layout_float32_input_is_not_overwritten(smooth: Any, noise: str) -> None:
    # Already what the core works on: the one case where no conversion copies it.
    photons = smooth((2, 1, 1, 32, 32)) / 4.0
    image = camera(photons, 2.0, 100.0, 3.0, seed=15).astype(np.float32)
    before = image.copy()
    with pytest.warns(RuntimeWarning, match="gain poorly"):  # 2 frames of 32 x 32
        model = quorvel.estimate_noise(image, "TCZYX")
    out = quorvel.denoise(image, "TCZYX", noise=noise, threads=1)  # type: ignore[arg-type]
    np.testing.assert_array_equal(image, before)
    assert not np.shares_memory(out, image)
    with pytest.warns(RuntimeWarning, match="gain poorly"):
        assert quorvel.estimate_noise(image, "TCZYX") == model


def test_progress_display_does_not_change_the_result(
    smooth: Any, capsys: pytest.CaptureFixture[str]
) -> None:
    noisy = camera(smooth((4, 48, 48)) / 4.0, 2.0, 100.0, 3.0, seed=10)
    options: dict[str, Any] = {
        "noise": "auto",
        "sigma": None,
        "model": None,
        "patch_radius": None,
        "search": "ZT",
        "iterations": 4,
        "pvalue": 0.01,
        "renoise": 0.0,
        "threads": 1,
    }
    quiet = quorvel.denoise(noisy, "TYX", threads=1, search="ZT", iterations=4, pvalue=0.01)
    with Stages(2, enabled=True) as stages:
        shown, _, plan = _run_denoise(noisy, "TYX", stages=stages, **options)
    np.testing.assert_array_equal(shown, quiet)
    assert plan.poisson_channels == [0]
    assert "2/2" in capsys.readouterr().err
    # Tuning is a stage of its own, with its share of the work done on show.
    with Stages(3, enabled=True) as stages:
        _run_denoise(noisy, "TYX", stages=stages, **{**options, "tune": True})
    assert re.search(r"2/3: tuning \d+% \(left", capsys.readouterr().err)


@pytest.mark.parametrize(
    "call",
    [
        # Two frames of 12 x 12: refits of the noise line that find no line.
        lambda: quorvel.estimate_noise(
            camera(np.full((2, 12, 12), 20.0), 2.0, 100.0, 3.0, 0), "TYX"
        ),
        # An X-Z section: no rows to compare the planes' differences with.
        lambda: quorvel.denoise(
            np.random.default_rng(0).normal(0.0, 1.0, (7, 24)), "ZX", noise="gaussian"
        ),
    ],
)
def test_no_floating_point_warnings_of_numpy(call: Any) -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    leaked = [
        str(w.message) for w in caught if "numpy" in w.filename or "encountered" in str(w.message)
    ]
    assert not leaked


@pytest.mark.parametrize("noise", ["auto", "gaussian", "poisson-gaussian"])
def test_model_of_an_image_with_a_constant_channel_denoises_it(noise: str) -> None:
    # estimate_noise gives the empty channel no gain and a sigma of 0.
    photons = np.random.default_rng(2).uniform(5.0, 60.0, (3, 24, 24))
    image = camera(photons, 2.0, 100.0, 3.0, seed=3)
    image[1] = 0.0
    options: dict[str, Any] = {"noise": noise, "iterations": 2, "patch_radius": 2, "threads": 1}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a poorly determined gain
        model = quorvel.estimate_noise(image, "CYX")
        assert np.isnan(model.gain[1]) and model.sigma is not None and model.sigma[1] == 0
        fitted = quorvel.denoise(image, "CYX", **options)
        given = quorvel.denoise(image, "CYX", model=model, **options)
        chunked = quorvel.denoise(
            da.from_array(image, chunks=(1, 12, 24)), "CYX", model=model, **options
        ).compute()
    np.testing.assert_array_equal(given[1], 0.0)
    np.testing.assert_array_equal(chunked, given)
    if noise != "gaussian":  # the model's sigma is that of its line, not the core's estimate
        np.testing.assert_array_equal(given, fitted)


def test_noise_level_of_values_near_the_float32_limit() -> None:
    # Values up to 3e38, within float32: the core's Gaussian level (that of
    # noise="gaussian" without sigma) scales with them.
    largest = 3e38
    image = np.random.default_rng(5).normal(0.0, 1.0, (1, 1, 1, 48, 48))
    image /= np.abs(image).max()
    expected = _estimate_sigma(image.astype(np.float32), [0])[0] * largest
    scaled = _estimate_sigma((image * largest).astype(np.float32), [0])[0]
    assert scaled == pytest.approx(expected, rel=1e-5)
