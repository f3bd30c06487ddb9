"""Demonstration on a synthetic fluorescence time-lapse with known ground truth.

A clean photon-count sequence of moving spots and filaments on a dim
background is turned into what a camera would record (Poisson photon noise,
camera gain, dark level and read-out noise).  The noise model is estimated
from the noisy frames alone, the sequence is denoised with it, and the result
is compared with the truth.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from quorvel._api import NoiseModel, denoise, estimate_noise
from quorvel.io import write_image

__all__ = [
    "DEMO_SHAPE",
    "Camera",
    "DemoResult",
    "psnr",
    "record",
    "run_demo",
    "synthetic_sequence",
]

#: Frames, rows and columns of the demonstration sequence.
DEMO_SHAPE = (10, 256, 256)

#: Width (standard deviation, pixels) of the microscope's point spread function.
_PSF_SIGMA = 1.3


@dataclass(frozen=True)
class Camera:
    """A camera that records photon counts.

    Attributes
    ----------
    gain : float
        Intensity units per detected photon.
    dark_level : float
        Intensity of a pixel that detects nothing.
    read_noise : float
        Standard deviation of the read-out noise, in intensity units.
    """

    gain: float = 2.0
    dark_level: float = 100.0
    read_noise: float = 3.0

    def expected(self, photons: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Intensity recorded for `photons` detected photons.

        Parameters
        ----------
        photons : array_like
            Photon counts, or mean counts for the noise-free intensity.

        Returns
        -------
        ndarray of float64
            ``dark_level + gain * photons``.
        """
        return self.dark_level + self.gain * np.asarray(photons, dtype=np.float64)

    @property
    def noise_model(self) -> NoiseModel:
        """Its noise: variance ``gain * I + read_noise**2 - gain * dark_level``."""
        return NoiseModel(self.gain, self.read_noise**2 - self.gain * self.dark_level)


def _gaussian_kernel(sigma: float) -> npt.NDArray[np.float64]:
    half = int(np.ceil(4.0 * sigma))
    x = np.arange(-half, half + 1, dtype=np.float64)
    kernel: npt.NDArray[np.float64] = np.exp(-0.5 * (x / sigma) ** 2)
    return kernel / kernel.sum()


def _convolve_same(
    line: npt.NDArray[np.float64], kernel: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """`line` convolved with the odd-length `kernel`, as long as `line` (also when shorter)."""
    half = kernel.size // 2
    return np.convolve(line, kernel, mode="full")[half : half + line.size]


def _blur(image: npt.NDArray[np.float64], sigma: float) -> npt.NDArray[np.float64]:
    """Separable Gaussian blur of a 2-D image, zero outside."""
    kernel = _gaussian_kernel(sigma)
    rows = np.apply_along_axis(_convolve_same, 1, image, kernel)
    return np.apply_along_axis(_convolve_same, 0, rows, kernel)


def _splat(
    frame: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    weight: npt.NDArray[np.float64],
) -> None:
    """Add point sources at sub-pixel positions, spread bilinearly over 4 pixels."""
    n_y, n_x = frame.shape
    y0, x0 = np.floor(y).astype(int), np.floor(x).astype(int)
    fy, fx = y - y0, x - x0
    for dy, wy in ((0, 1.0 - fy), (1, fy)):
        for dx, wx in ((0, 1.0 - fx), (1, fx)):
            yy, xx = y0 + dy, x0 + dx
            inside = (yy >= 0) & (yy < n_y) & (xx >= 0) & (xx < n_x)
            np.add.at(frame, (yy[inside], xx[inside]), (weight * wy * wx)[inside])


def synthetic_sequence(
    shape: tuple[int, int, int] = DEMO_SHAPE, seed: int = 0
) -> npt.NDArray[np.float64]:
    """Mean photon counts of moving spots and filaments on a dim background.

    Parameters
    ----------
    shape : tuple of int
        Frames, rows, columns.
    seed : int
        Seed of the random layout.

    Returns
    -------
    ndarray of float64
        Mean photon counts per pixel, shape `shape`: 2 to 10 in the
        background, up to about 15 on filaments and 30 to 90 at the centre
        of spots, all seen through a Gaussian point spread function.  Spots
        drift by 0.5 to 2 pixels per frame; filaments drift and bend slowly.
    """
    n_t, n_y, n_x = shape
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:n_y, 0:n_x].astype(np.float64)
    # Uneven illumination and out-of-focus haze: 2 to 10 photons.
    haze = 0.5 + 0.5 * np.sin(xx / (0.31 * n_x) + 0.7) * np.cos(yy / (0.23 * n_y))
    background = 2.0 + 8.0 * haze

    n_spots = max(4, n_y * n_x // 1800)
    spot_start = rng.uniform(0.0, 1.0, (n_spots, 2)) * (n_y, n_x)
    speed = rng.uniform(0.5, 2.0, n_spots)
    heading = rng.uniform(0.0, 2.0 * np.pi, n_spots)
    spot_velocity = np.stack([speed * np.sin(heading), speed * np.cos(heading)], axis=1)
    # Photons per spot, so that the peak is 30 to 90 after the PSF.
    spot_photons = rng.uniform(30.0, 90.0, n_spots) * 2.0 * np.pi * _PSF_SIGMA**2

    n_filaments = max(2, n_y * n_x // 8000)
    fil_start = rng.uniform(0.15, 0.85, (n_filaments, 2)) * (n_y, n_x)
    fil_angle = rng.uniform(0.0, np.pi, n_filaments)
    fil_length = rng.uniform(0.25, 0.6, n_filaments) * min(n_y, n_x)
    fil_bend = rng.uniform(-0.5, 0.5, n_filaments)
    fil_velocity = rng.normal(0.0, 0.4, (n_filaments, 2))
    # Photons per pixel of length; peak about 8 to 15 after the PSF.
    fil_density = rng.uniform(8.0, 15.0, n_filaments) * np.sqrt(2.0 * np.pi) * _PSF_SIGMA
    step = 0.25  # pixels between the points that make up a filament

    frames = np.empty(shape, dtype=np.float64)
    for t in range(n_t):
        points = np.zeros((n_y, n_x))
        # Spots move in straight lines and wrap around the edges.
        centre = (spot_start + t * spot_velocity) % (n_y, n_x)
        _splat(points, centre[:, 0], centre[:, 1], spot_photons)
        for k in range(n_filaments):
            # A parabolic arc whose curvature breathes over time.
            u = np.linspace(-0.5, 0.5, int(fil_length[k] / step))
            bend = fil_bend[k] * (1.0 + 0.3 * np.sin(0.4 * t + k))
            along = u * fil_length[k]
            across = bend * fil_length[k] * (u * u - 1.0 / 12.0)
            sin_a, cos_a = np.sin(fil_angle[k]), np.cos(fil_angle[k])
            cy, cx = fil_start[k] + t * fil_velocity[k]
            y = cy + along * sin_a + across * cos_a
            x = cx + along * cos_a - across * sin_a
            _splat(points, y, x, np.full(y.shape, fil_density[k] * step))
        frames[t] = background + _blur(points, _PSF_SIGMA)
    return frames


def record(
    photons: npt.NDArray[np.float64], camera: Camera, seed: int = 1
) -> npt.NDArray[np.float64]:
    """What `camera` records of mean photon counts `photons`, with noise.

    Parameters
    ----------
    photons : ndarray
        Mean photon counts per pixel.
    camera : Camera
        The camera.
    seed : int
        Seed of the noise.

    Returns
    -------
    ndarray of float64
        Poisson counts times the gain, plus the dark level and Gaussian
        read-out noise.
    """
    rng = np.random.default_rng(seed)
    counts = rng.poisson(photons)
    return camera.expected(counts) + rng.normal(0.0, camera.read_noise, photons.shape)


def psnr(reference: npt.ArrayLike, test: npt.ArrayLike) -> float:
    """Peak signal-to-noise ratio of `test` against `reference`, in dB.

    Parameters
    ----------
    reference, test : array_like
        Images of one shape.

    Returns
    -------
    float
        ``10 log10(peak**2 / MSE)``, the peak being the intensity range of
        `reference`.
    """
    ref = np.asarray(reference, dtype=np.float64)
    err = np.asarray(test, dtype=np.float64) - ref
    peak = float(ref.max() - ref.min())
    return float(10.0 * np.log10(peak * peak / float(np.mean(err * err))))


@dataclass(frozen=True)
class DemoResult:
    """Figures of one demonstration run (times in seconds)."""

    true_noise: NoiseModel
    estimated_noise: NoiseModel
    psnr_noisy: float
    psnr_denoised: float
    seconds_estimate: float
    seconds_denoise: float
    seconds_total: float
    files: tuple[Path, ...]


def _to_uint8(frame: npt.NDArray[np.float64], lo: float, hi: float) -> npt.NDArray[np.uint8]:
    # A gamma below 1 keeps dim filaments visible next to bright spots.
    scaled = np.clip((frame - lo) / (hi - lo), 0.0, 1.0) ** 0.6 * 255.0
    return np.rint(scaled).astype(np.uint8)


def _save_panel(path: Path, frames: list[npt.NDArray[np.float64]], lo: float, hi: float) -> None:
    from PIL import Image

    gap = 6
    height, width = frames[0].shape
    panel = np.full((height, len(frames) * (width + gap) - gap), 255, dtype=np.uint8)
    for i, frame in enumerate(frames):
        panel[:, i * (width + gap) : i * (width + gap) + width] = _to_uint8(frame, lo, hi)
    Image.fromarray(panel).save(path)


def run_demo(
    output_dir: str | Path = "demo_output",
    shape: tuple[int, int, int] | None = None,
    threads: int = 0,
    say: Callable[[str], None] | None = print,
) -> DemoResult:
    """Run the demonstration and write its images.

    Parameters
    ----------
    output_dir : str or Path
        Directory (created if needed) that receives ``noisy.tif``,
        ``denoised.tif`` and ``truth.tif`` (float32 ImageJ hyperstacks, axes
        TYX) and ``comparison.png`` (noisy | denoised | truth, middle frame).
    shape : tuple of int, optional
        Frames, rows, columns of the synthetic sequence; `DEMO_SHAPE` by
        default.
    threads : int
        Threads for the denoiser, as in `quorvel.denoise`.
    say : callable or None
        Receives each line of the report; None prints nothing.

    Returns
    -------
    DemoResult
        The figures reported.
    """
    started = time.perf_counter()
    shape = shape or DEMO_SHAPE
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    camera = Camera()
    photons = synthetic_sequence(shape)
    truth = camera.expected(photons).astype(np.float32)
    noisy = record(photons, camera).astype(np.float32)
    axes = "TYX"

    def show(text: str) -> None:
        if say is not None:
            say(text)

    show(
        f"synthetic time-lapse: {shape[0]} frames of {shape[1]} x {shape[2]} pixels (TYX), "
        "moving spots and filaments on a dim background"
    )
    show(
        f"camera: gain {camera.gain} per photon, dark level {camera.dark_level}, "
        f"read noise {camera.read_noise}"
    )
    start = time.perf_counter()
    estimated = estimate_noise(noisy, axes)
    seconds_estimate = time.perf_counter() - start
    true_model = camera.noise_model
    for label, m in (("true:     ", true_model), ("estimated:", estimated)):
        show(f"noise model, {label} gain {m.gain[0]:.3f}  offset {m.offset[0]:8.2f}")
    show(f"  (variance = gain * intensity + offset; estimated in {seconds_estimate:.2f} s)")

    start = time.perf_counter()
    denoised = denoise(noisy, axes, model=estimated, threads=threads)
    seconds_denoise = time.perf_counter() - start
    psnr_noisy, psnr_denoised = psnr(truth, noisy), psnr(truth, denoised)
    show(
        f"PSNR: noisy {psnr_noisy:.2f} dB -> denoised {psnr_denoised:.2f} dB "
        f"({psnr_denoised - psnr_noisy:+.2f} dB); denoised in {seconds_denoise:.2f} s"
    )

    files = (out / "noisy.tif", out / "denoised.tif", out / "truth.tif", out / "comparison.png")
    for path, data in zip(files, (noisy, denoised, truth), strict=False):
        write_image(path, data, axes)
    middle = shape[0] // 2
    lo, hi = np.percentile(truth, [0.5, 99.8])
    _save_panel(
        files[3],
        [frame[middle].astype(np.float64) for frame in (noisy, denoised, truth)],
        float(lo),
        float(hi),
    )
    seconds_total = time.perf_counter() - started
    show(f"wrote {', '.join(map(str, files))} (picture: noisy | denoised | truth, frame {middle})")
    show(f"total time {seconds_total:.2f} s")
    return DemoResult(
        true_noise=true_model,
        estimated_noise=estimated,
        psnr_noisy=psnr_noisy,
        psnr_denoised=psnr_denoised,
        seconds_estimate=seconds_estimate,
        seconds_denoise=seconds_denoise,
        seconds_total=seconds_total,
        files=files,
    )
