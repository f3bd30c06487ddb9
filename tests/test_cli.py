"""The command line, TIFF and .npy files, and the demonstration."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import quorvel
import tifffile
from quorvel.cli import main
from quorvel.demo import run_demo
from quorvel.io import read_image, write_image


def run(capsys: pytest.CaptureFixture[str], *args: str | Path) -> tuple[int, str, str]:
    try:
        status = main([str(a) for a in args])
    except SystemExit as exc:  # argparse and usage errors
        status = int(exc.code or 0)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def noisy_stack(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    """uint16 camera-like data: a smooth scene with Poisson-Gaussian noise."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    photons = 20.0 + 15.0 * np.sin(grids[-1] / 4.0) * np.cos(grids[-2] / 5.0)
    return (100 + 2 * rng.poisson(photons) + rng.normal(0, 3, shape)).astype(np.uint16)


# --------------------------------------------------------------------------
# denoise


@pytest.mark.parametrize(("dtype_option", "dtype"), [("float32", np.float32), ("input", np.uint16)])
def test_imagej_hyperstack_keeps_axes_and_geometry(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], dtype_option: str, dtype: type
) -> None:
    data = noisy_stack((2, 3, 2, 24, 28))
    src = tmp_path / "cells.tif"
    tifffile.imwrite(
        src,
        data,
        imagej=True,
        resolution=(5.0, 5.0),
        metadata={"axes": "TZCYX", "spacing": 0.5, "unit": "um", "finterval": 2.0},
    )
    status, out, err = run(
        capsys, "denoise", src, "--sigma", "12", "--threads", "1", "--dtype", dtype_option
    )
    assert status == 0, err
    dst = tmp_path / "cells_denoised.tif"
    assert f"{src} -> {dst}" in out and "TZCYX 2 x 3 x 2 x 24 x 28 uint16" in out
    with tifffile.TiffFile(dst) as tif:
        assert tif.series[0].axes == "TZCYX"
        result = tif.series[0].asarray()
        assert tif.pages[0].resolution == (5.0, 5.0)
        meta = tif.imagej_metadata
        assert meta is not None
        assert (meta["spacing"], meta["unit"], meta["finterval"]) == (0.5, "um", 2.0)
    expected = quorvel.denoise(data, 12.0, axes="TZCYX", n_threads=1)
    if dtype is np.uint16:
        expected = np.clip(np.rint(expected), 0, 65535).astype(np.uint16)
    assert result.dtype == dtype
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize(
    ("axes_option", "axes", "note"), [(None, "ZYX", True), ("tyx", "TYX", False)]
)
def test_unnamed_pages_are_a_zstack_unless_named(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    axes_option: str | None,
    axes: str,
    note: bool,
) -> None:
    data = noisy_stack((4, 24, 24)).astype(np.float32)
    src = tmp_path / "pages.tif"
    tifffile.imwrite(src, data, photometric="minisblack")  # plain pages: no axis names
    extra = ["--axes", axes_option] if axes_option else []
    status, _, err = run(
        capsys,
        "denoise",
        src,
        "-o",
        tmp_path / "out.tif",
        "--sigma",
        "12",
        "--threads",
        "1",
        *extra,
    )
    assert status == 0, err
    assert ("assuming ZYX" in err) == note
    expected = quorvel.denoise(data, 12.0, axes=axes, n_threads=1)
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "out.tif"), expected)


def test_several_npy_files_into_a_directory(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    sources = []
    for seed in (1, 2):
        sources.append(tmp_path / f"frame{seed}.npy")
        np.save(sources[-1], noisy_stack((32, 32), seed))
    status, out, err = run(
        capsys,
        "denoise",
        *sources,
        "--output-dir",
        tmp_path / "out",
        "--threads",
        "1",
        "--gain",
        "2",
        "--offset=-191",
    )
    assert status == 0, err
    assert out.count("Poisson-Gaussian, gain 2, offset -191") == 2
    model = quorvel.PoissonGaussianNoise(2.0, -191.0)
    for src in sources:
        result = np.load(tmp_path / "out" / f"{src.stem}_denoised.npy")
        np.testing.assert_array_equal(result, quorvel.denoise(np.load(src), model, n_threads=1))


@pytest.mark.parametrize(
    ("arguments", "status", "message"),
    [
        (["missing.tif"], 2, "no such file"),
        (["in.tif", "--sigma", "5"], 2, "exists; use --overwrite"),
        (["in.tif", "in.tif", "-o", "x.tif"], 2, "--output takes one input"),
        (["in.tif", "-o", "in.tif", "--overwrite"], 2, "replace its input"),
        (["in.tif", "--gain", "2", "-o", "x.tif"], 2, "--gain and --offset"),
        (["in.tif", "--sigma", "5", "--gain", "2", "--offset", "1", "-o", "x.tif"], 2, "--sigma"),
        (["in.tif", "--patch-radius", "X=a", "-o", "x.tif"], 2, "per axis"),
        (["in.tif", "--max-iter", "0", "--sigma", "5", "-o", "x.tif"], 1, "max_iter"),
        (["in.tif", "--patch-radius", "20", "--sigma", "5", "-o", "x.tif"], 1, "patch_radius"),
        (["in.tif", "--axes", "TYX", "--sigma", "5", "-o", "x.tif"], 1, "axes"),
        (["in.tif", "-o", "x.png", "--sigma", "5"], 1, "unsupported file type"),
    ],
)
def test_denoise_errors(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    arguments: list[str],
    status: int,
    message: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    tifffile.imwrite("in.tif", noisy_stack((24, 24)))
    tifffile.imwrite("in_denoised.tif", np.zeros((2, 2), np.uint8))
    code, _, err = run(capsys, "denoise", *arguments)
    assert code == status
    assert message in err
    assert not Path("x.tif").exists()


# --------------------------------------------------------------------------
# estimate


def test_estimate_prints_the_model(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    photons = np.repeat(np.linspace(2.0, 100.0, 16), 8)[:, None] * np.ones(128)
    rng = np.random.default_rng(3)
    image = (100 + 2 * rng.poisson(photons) + rng.normal(0, 3, photons.shape)).astype(np.float32)
    src = tmp_path / "steps.tif"
    tifffile.imwrite(src, image)
    status, out, err = run(capsys, "estimate", src, "--json")
    assert status == 0, err
    record = json.loads(out)
    assert (record["file"], record["axes"], record["model"]) == (str(src), "YX", "poisson-gaussian")
    assert record["gain"][0] == pytest.approx(2.0, rel=0.1)
    status, out, _ = run(capsys, "estimate", src, "--model", "gaussian")
    assert status == 0 and out.startswith(f"{src}: Gaussian, sigma ")


# --------------------------------------------------------------------------
# Files


@pytest.mark.parametrize(
    ("axes", "shape", "dtype"),
    [
        ("TZCYX", (2, 3, 2, 8, 9), np.uint16),  # ImageJ hyperstack
        ("CTYX", (2, 3, 8, 9), np.float32),  # order ImageJ cannot hold
        ("ZYX", (3, 8, 9), np.float64),  # sample type ImageJ cannot hold
        ("YXS", (8, 9, 3), np.uint8),  # RGB
    ],
)
def test_tiff_round_trip(tmp_path: Path, axes: str, shape: tuple[int, ...], dtype: type) -> None:
    data: np.ndarray = np.random.default_rng(0).integers(0, 200, shape).astype(dtype)
    meta = {"resolution": (4.0, 4.0), "resolutionunit": 3}
    write_image(tmp_path / "a.tif", data, axes, meta)
    image = read_image(tmp_path / "a.tif")
    assert image.axes == axes
    assert image.data.dtype == dtype
    np.testing.assert_array_equal(image.data, data)
    assert image.metadata["resolution"] == (4.0, 4.0)


# --------------------------------------------------------------------------
# Demonstration and entry point


def test_demo_recovers_the_camera_and_improves_psnr(tmp_path: Path) -> None:
    result = run_demo(tmp_path, shape=(4, 64, 64), say=False)
    estimated = result.estimated_noise
    assert isinstance(estimated, quorvel.PoissonGaussianNoise)
    assert estimated.gain[0] == pytest.approx(result.true_noise.gain[0], rel=0.2)
    assert result.psnr_denoised > result.psnr_noisy + 4.0
    assert result.psnr_denoised > result.psnr_without_time_search
    assert abs(result.mean_denoised - result.mean_clean) < 1.0
    for name in ("clean.tif", "noisy.tif", "denoised.tif"):
        assert read_image(tmp_path / name).axes == "TYX"
    from PIL import Image

    with Image.open(tmp_path / "comparison.png") as png:
        assert png.size == (3 * 64 + 2 * 6, 64)


def test_python_m_quorvel() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-m", "quorvel", "--version"],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert done.returncode == 0
    assert done.stdout.strip() == f"quorvel {quorvel.__version__}"
