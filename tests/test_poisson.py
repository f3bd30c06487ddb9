"""Poisson-Gaussian denoising through the variance-stabilising transform."""

from __future__ import annotations

import numpy as np
import pytest

import _qv

RADIUS = [2, 2, 0, 0, 1]
SEARCH = [1, 1, 1, 0, 1]


def smooth_scene(shape: tuple[int, ...], low: float, high: float, seed: int = 0) -> np.ndarray:
    """Blobs and ramps spanning low..high intensity."""
    rng = np.random.default_rng(seed)
    ny, nx = shape[-2:]
    yy, xx = np.mgrid[0:ny, 0:nx].astype(np.float64)
    centres = rng.uniform(0, 1, (6, 2)) * (ny, nx)
    frames = []
    for k in range(int(np.prod(shape[:-2], dtype=int))):
        # Frames change slowly, as in a time-lapse: the blobs drift.
        img = 0.5 + 0.5 * np.sin(xx / 7.0 + k * 0.1) * np.cos(yy / 9.0)
        for cy, cx in centres + 0.15 * k:
            img += 1.5 * np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / 18.0)
        frames.append(img)
    scene = np.stack(frames).reshape(shape)
    scene = (scene - scene.min()) / (scene.max() - scene.min())
    return low + (high - low) * scene


def poisson_gaussian(clean: np.ndarray, gain: float, offset: float, seed: int) -> np.ndarray:
    """Noise of variance gain * intensity + offset."""
    rng = np.random.default_rng(seed)
    counts = rng.poisson(clean / gain)
    return (gain * counts + rng.normal(0.0, np.sqrt(offset), clean.shape)).astype(np.float32)


def denoise_pg(img: np.ndarray, gain: list[float], offset: list[float], **kw: object) -> np.ndarray:
    args = {
        "radius": RADIUS,
        "search": SEARCH,
        "max_iter": 4,
        "pvalue": 0.01,
        "nthreads": 1,
        "renoise": 0.0,
    }
    args.update(kw)
    return _qv._denoise_poisson_gaussian(
        img,
        1.0,
        gain,
        offset,
        args["radius"],
        args["search"],
        args["max_iter"],
        args["pvalue"],
        args["nthreads"],
        args["renoise"],
    )


def rms(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.sqrt(np.mean((a.astype(np.float64) - b) ** 2)))


@pytest.mark.parametrize(
    ("gain", "offset", "kw", "error", "message"),
    [
        ([2.0], [25.0], {"max_iter": 0}, ValueError, "max_iter must be > 0"),
        ([2.0], [25.0], {"pvalue": 1.5}, ValueError, r"pvalue must be in range \[0, 1\]"),
        ([2.0], [], {}, ValueError, "gain and offset must have one entry per channel"),
        ([], [25.0], {}, ValueError, "gain and offset must have one entry per channel"),
        ([0.0], [25.0], {}, ValueError, "gain must be > 0 and offset finite"),
        ([-1.0], [25.0], {}, ValueError, "gain must be > 0 and offset finite"),
        ([float("nan")], [25.0], {}, ValueError, "gain must be > 0 and offset finite"),
        ([float("inf")], [25.0], {}, ValueError, "gain must be > 0 and offset finite"),
        ([2.0], [float("nan")], {}, ValueError, "gain must be > 0 and offset finite"),
        # The model is checked before the denoiser's own arguments.
        ([0.0], [25.0], {"max_iter": 0}, ValueError, "gain must be > 0 and offset finite"),
    ],
)
def test_invalid_parameters_leave_the_array_unchanged(
    gain: list[float], offset: list[float], kw: dict, error: type, message: str
) -> None:
    img = poisson_gaussian(smooth_scene((24, 24), 50, 500), 2.0, 25.0, 0)
    before = img.copy()
    with pytest.raises(error, match=message):
        denoise_pg(img, gain, offset, **kw)
    np.testing.assert_array_equal(img, before)


def test_too_few_entries_for_the_channels_is_refused_but_extra_entries_ignored() -> None:
    img = poisson_gaussian(smooth_scene((2, 1, 16, 16), 50, 500), 2.0, 25.0, 1)
    with pytest.raises(ValueError, match="one entry per channel"):
        denoise_pg(img.copy(), [2.0], [25.0, 25.0])
    a = denoise_pg(img.copy(), [2.0, 2.0], [25.0, 25.0])
    b = denoise_pg(img.copy(), [2.0, 2.0, 7.0], [25.0, 25.0, -3.0])
    np.testing.assert_array_equal(a, b)


def test_read_only_array_is_denoised_then_refused() -> None:
    img = poisson_gaussian(smooth_scene((20, 20), 50, 500), 2.0, 25.0, 2)
    img.flags.writeable = False
    before = img.copy()
    with pytest.raises(ValueError, match="array is not writeable"):
        denoise_pg(img, [2.0], [25.0])
    np.testing.assert_array_equal(img, before)


def test_result_is_the_argument_for_float32_and_a_new_array_otherwise() -> None:
    img = poisson_gaussian(smooth_scene((20, 20), 50, 500), 2.0, 25.0, 3)
    same = img.copy()
    assert denoise_pg(same, [2.0], [25.0]) is same
    as64 = img.astype(np.float64)
    out = denoise_pg(as64, [2.0], [25.0])
    assert out is not as64 and out.dtype == np.float32
    np.testing.assert_array_equal(as64, img.astype(np.float64))
    np.testing.assert_allclose(out, same, rtol=1e-6, atol=1e-3)


def test_per_channel_parameters_reach_their_channel() -> None:
    # Channel 1 is channel 0 scaled by s with gain s*g and offset s^2*o: both
    # transform to the same image, so the result of channel 1 is s times that
    # of channel 0. Swapped parameters would break this.
    s, g, o = 5.0, 2.0, 25.0
    base = poisson_gaussian(smooth_scene((24, 24), 50, 800), g, o, 4)
    img = np.stack([base, base * np.float32(s)])[:, None].astype(np.float32)
    out = denoise_pg(img, [g, s * g], [o, s * s * o])
    # The transform pair returns v + 1/4 whatever the model, so the offset of
    # 1/4 does not scale.
    np.testing.assert_allclose(out[1, 0] - 0.25, s * (out[0, 0] - 0.25), rtol=2e-4, atol=1e-2)
    swapped = denoise_pg(img.copy(), [s * g, g], [s * s * o, o])
    assert rms(swapped[1, 0] - 0.25, s * (swapped[0, 0] - 0.25)) > 1.0


@pytest.mark.parametrize("shape", [(64, 64), (6, 1, 1, 40, 40)], ids=["2d", "2d+t"])
def test_calibrate_then_denoise_lowers_the_error(shape: tuple[int, ...]) -> None:
    clean = smooth_scene(shape, 50.0, 1500.0, seed=5)
    noisy = poisson_gaussian(clean, 2.0, 25.0, seed=6)
    gain, offset = _qv._calibrate_poisson_gaussian(noisy)
    assert 1.5 < gain[0] < 3.5  # small images: a rough fit is enough here
    out = denoise_pg(noisy.copy(), gain, offset)
    assert rms(out, clean) < 0.65 * rms(noisy, clean)


def test_beats_a_single_gaussian_sigma_on_a_wide_intensity_range() -> None:
    clean = smooth_scene((64, 64), 5.0, 4000.0, seed=7)
    noisy = poisson_gaussian(clean, 3.0, 4.0, seed=8)
    gain, offset = _qv._calibrate_poisson_gaussian(noisy)
    pg = denoise_pg(noisy.copy(), gain, offset)
    sigma = _qv._calibrate_gaussian(noisy)
    gauss = _qv._denoise_gaussian(noisy.copy(), sigma, RADIUS, SEARCH, 4, 0.01, 1, 0.0)
    assert rms(pg, clean) < rms(gauss, clean)
