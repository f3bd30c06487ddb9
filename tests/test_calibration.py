"""The package's noise calibration: accuracy on known cameras, camera files, the plot."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import quorvel
from quorvel.cli import main
from quorvel.noise.camera import calibrate_camera

DARK, GAIN, READ = 100.0, 2.0, 3.0


def _record(photons: Any, seed: int, gain: float = GAIN) -> Any:
    rng = np.random.default_rng(seed)
    noisy = DARK + gain * rng.poisson(photons) + rng.normal(0, READ, np.shape(photons))
    return noisy.astype(np.float32)


def _spots(n: int) -> Any:
    """Sparse blurred spots (peak 200 photons) on a background of 5."""
    rng = np.random.default_rng(4)
    y, x = np.mgrid[0:n, 0:n]
    img = np.full((n, n), 5.0)
    for cy, cx in rng.uniform(0, n, (n * n // 300, 2)):
        img += 200.0 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * 1.5**2))
    return img


def _filaments(n: int) -> Any:
    """Straight blurred filaments 2000 photons high on a background of 20."""
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:n, 0:n]
    img = np.full((n, n), 20.0)
    for _ in range(n // 24):
        (y0, x0), angle = rng.uniform(0, n, 2), rng.uniform(0, np.pi)
        across = (y - y0) * np.cos(angle) - (x - x0) * np.sin(angle)
        img += 2000.0 * np.exp(-(across**2) / (2 * 1.2**2))
    return img


def _smooth(n: int) -> Any:
    y, x = np.mgrid[0:n, 0:n] / n
    return 80.0 + 300.0 * x + 60.0 * np.sin(6 * y)


def _std_errors(model: quorvel.NoiseModel, photons: Any) -> list[float]:
    out = []
    for level in np.percentile(DARK + GAIN * photons, [10, 90]):
        true = np.sqrt(GAIN * (level - DARK) + READ**2)
        out.append(abs(np.sqrt(model.variance(level)[()]) / true - 1))
    return out


@pytest.mark.parametrize(
    ("photons", "axes", "limit"),
    [
        # Static spots over 8 frames: the frame differences cancel them.
        (np.repeat(_spots(96)[None], 8, axis=0), "TYX", 0.05),
        # The same spots as planes of a stack: so do plane differences.
        (np.repeat(_spots(96)[None], 8, axis=0), "ZYX", 0.05),
        # One frame of a smooth scene: flat everywhere.
        (_smooth(160), "YX", 0.05),
        # One frame of bright filaments: little is flat at the 90th
        # percentile; a residual that structure leaks into, or blocks chosen
        # for a high energy, miss it there by up to 80 %.
        (_filaments(128), "YX", 0.10),
    ],
    ids=["spots-sequence", "spots-stack", "smooth-frame", "bright-filaments-frame"],
)
def test_auto_predicts_the_noise_std(photons: Any, axes: str, limit: float) -> None:
    model = quorvel.estimate_noise(_record(photons, 1), axes)
    assert max(_std_errors(model, photons)) < limit, model


def test_single_sparse_frame_keeps_variance_positive_and_auto_prints_nothing(
    capfd: pytest.CaptureFixture[str],
) -> None:
    photons = _spots(128)
    model = quorvel.estimate_noise(_record(photons, 2), "YX")
    # Positive over the noise-free range, and right at the background.
    assert model.variance(DARK + GAIN * photons.min())[()] > 0
    assert _std_errors(model, photons)[0] < 0.05
    constant = quorvel.estimate_noise(np.full((32, 32), 7.0), "YX")
    assert np.isnan(constant.gain[0])
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    ("image", "axes", "method", "message"),
    [
        (np.zeros((16, 16)), "YX", "temporal", "at least two frames"),
        (np.zeros((16, 16)), "YX", "median", "method must be one of"),
    ],
)
def test_method_errors(image: Any, axes: str, method: str, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        quorvel.estimate_noise(image, axes, method=method)  # type: ignore[arg-type]


def _flat_pairs(levels: tuple[float, ...]) -> list[Any]:
    return [_record(np.full((2, 64, 64), p), 10 + i) for i, p in enumerate(levels)]


def test_camera_calibration_round_trip(tmp_path: Path) -> None:
    dark = _record(np.zeros((4, 64, 64)), 3)
    result = calibrate_camera(dark, _flat_pairs((50.0, 400.0)))
    assert result.gain_source == "flat"
    assert abs(result.model.gain[0] / GAIN - 1) < 0.03
    assert abs(result.read_noise / READ - 1) < 0.03
    path = tmp_path / "camera.json"
    result.to_json(path)
    assert quorvel.NoiseModel.from_json(path) == result.model
    # Without flats the gain comes from an image, the dark's line held fixed.
    from_image = calibrate_camera(dark, image=_record(_smooth(128), 5))
    assert abs(from_image.model.gain[0] / GAIN - 1) < 0.05


@pytest.mark.parametrize(
    ("dark", "flats", "message"),
    [
        (np.zeros((1, 8, 8)), [], "at least 2 frames"),
        (np.zeros((3, 8, 8)), [np.ones((2, 8, 9))], "frame shape"),
        (np.zeros((3, 8, 8)), [np.ones((8, 8))], "needs a partner"),
        (np.zeros((3, 8, 8)), [], "flat frames or an image"),
    ],
    ids=["one-dark-frame", "shape", "unpaired-flat", "no-gain-source"],
)
def test_camera_calibration_errors(dark: Any, flats: list[Any], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        calibrate_camera(dark, flats)


def test_cli_calibrate_camera_denoise_and_plot(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    np.save(tmp_path / "dark.npy", _record(np.zeros((3, 64, 64)), 6))
    for i, flat in enumerate(_flat_pairs((100.0, 300.0))):
        np.save(tmp_path / f"flat{i}.npy", flat)
    camera = tmp_path / "camera.json"
    flats = [str(tmp_path / f"flat{i}.npy") for i in range(2)]
    assert main(["calibrate", "--dark", str(tmp_path / "dark.npy"), "--flat", *flats,
                 "-o", str(camera)]) == 0
    assert json.loads(camera.read_text())["gain_source"] == "flat"
    image = tmp_path / "img.npy"
    np.save(image, _record(_smooth(64), 7))
    out = tmp_path / "out.npy"
    assert main(["denoise", str(image), "-o", str(out), "--camera", str(camera), "-q",
                 "--iterations", "1"]) == 0
    assert np.load(out).shape == (64, 64)
    png = tmp_path / "mv.png"
    assert main(["estimate", str(image), "--plot", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
