"""Demonstration on a synthetic fluorescence time-lapse with known ground truth.

A clean photon-count sequence of moving cells is turned into what a camera
would record (Poisson photon noise, camera gain, dark level and read-out
noise), the noise model is estimated from the noisy frames alone, the sequence
is denoised with it, and the result is compared with the truth.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from quorvel._api import NoiseModel, PoissonGaussianNoise, denoise, estimate_noise
from quorvel.io import write_image

__all__ = ["Camera", "DemoResult", "psnr", "record", "run_demo", "synthetic_cells"]


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
        """Intensity recorded for `photons` detected photons (mean counts give the
        noise-free intensity)."""
        return self.dark_level + self.gain * np.asarray(photons, dtype=np.float64)

    @property
    def noise_model(self) -> PoissonGaussianNoise:
        """The variance of its intensities: ``gain * I + read_noise**2 - gain * dark_level``."""
        return PoissonGaussianNoise(self.gain, self.read_noise**2 - self.gain * self.dark_level)


def synthetic_cells(
    shape: tuple[int, int, int] = (8, 160, 160), seed: int = 0
) -> npt.NDArray[np.float64]:
    """Mean photon counts of cells drifting across a dim background.

    Parameters
    ----------
    shape : tuple of int
        Frames, rows, columns.
    seed : int
        Seed of the random layout.

    Returns
    -------
    ndarray of float64
        Mean photon counts per pixel, shape `shape`: 1 to 3 in the
        background, 4 to 12 in cell bodies with brighter rims, up to about 60
        in small bright spots: a dim live-cell recording.
    """
    n_t, n_y, n_x = shape
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:n_y, 0:n_x].astype(np.float64)
    n_cells = max(3, (n_y * n_x) // 1800)
    centre = rng.uniform([0.1 * n_y, 0.1 * n_x], [0.9 * n_y, 0.9 * n_x], size=(n_cells, 2))
    velocity = rng.normal(0.0, 0.6, size=(n_cells, 2))
    radii = rng.uniform(7.0, 14.0, size=(n_cells, 2))
    angle = rng.uniform(0.0, np.pi, size=n_cells)
    body = rng.uniform(4.0, 12.0, size=n_cells)
    spots = [rng.uniform(-0.6, 0.6, size=(4, 2)) for _ in range(n_cells)]
    background = 2.0 + np.sin(xx / (0.37 * n_x)) * np.cos(yy / (0.29 * n_y))
    frames = np.empty(shape, dtype=np.float64)
    for t in range(n_t):
        frame = background.copy()
        for k in range(n_cells):
            cy, cx = centre[k] + t * velocity[k]
            ca, sa = np.cos(angle[k] + 0.05 * t), np.sin(angle[k] + 0.05 * t)
            u = ((xx - cx) * ca + (yy - cy) * sa) / radii[k, 0]
            v = (-(xx - cx) * sa + (yy - cy) * ca) / radii[k, 1]
            r = np.sqrt(u * u + v * v)
            inside = 1.0 / (1.0 + np.exp((r - 1.0) * 8.0))
            rim = np.exp(-(((r - 1.0) / 0.2) ** 2))
            frame += body[k] * (inside + 0.5 * rim)
            for su, sv in spots[k]:
                d2 = (u - su) ** 2 * radii[k, 0] ** 2 + (v - sv) ** 2 * radii[k, 1] ** 2
                frame += 15.0 * np.exp(-d2 / 6.0) * inside
        frames[t] = frame
    return frames


def record(
    photons: npt.NDArray[np.float64], camera: Camera, seed: int = 1
) -> npt.NDArray[np.float64]:
    """What `camera` records of mean photon counts `photons`, with noise."""
    rng = np.random.default_rng(seed)
    counts = rng.poisson(photons)
    return camera.expected(counts) + rng.normal(0.0, camera.read_noise, photons.shape)


def psnr(reference: npt.ArrayLike, test: npt.ArrayLike) -> float:
    """Peak signal-to-noise ratio of `test` against `reference`, in dB.

    The peak is the intensity range of `reference`.
    """
    ref = np.asarray(reference, dtype=np.float64)
    err = np.asarray(test, dtype=np.float64) - ref
    peak = float(ref.max() - ref.min())
    return float(10.0 * np.log10(peak * peak / float(np.mean(err * err))))


@dataclass(frozen=True)
class DemoResult:
    """Figures of one demonstration run."""

    true_noise: PoissonGaussianNoise
    estimated_noise: NoiseModel
    psnr_noisy: float
    psnr_denoised: float
    psnr_without_time_search: float
    mean_clean: float
    mean_denoised: float
    seconds_estimate: float
    seconds_denoise: float


def _to_uint8(frame: npt.NDArray[np.float64], lo: float, hi: float) -> npt.NDArray[np.uint8]:
    scaled = np.clip((frame - lo) / (hi - lo), 0.0, 1.0) * 255.0
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
    shape: tuple[int, int, int] = (8, 160, 160),
    n_threads: int = 0,
    say: bool = True,
) -> DemoResult:
    """Run the demonstration and write its images.

    Parameters
    ----------
    output_dir : str or Path
        Directory that receives ``clean.tif``, ``noisy.tif``, ``denoised.tif``
        (ImageJ hyperstacks, axes TYX) and ``comparison.png`` (clean, noisy and
        denoised middle frame side by side).
    shape : tuple of int
        Frames, rows, columns of the synthetic sequence.
    n_threads : int
        Threads for the denoiser, as in `quorvel.denoise`.
    say : bool
        Print the figures as they come.

    Returns
    -------
    DemoResult
        The figures printed.
    """
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    camera = Camera()
    photons = synthetic_cells(shape)
    clean = camera.expected(photons)
    noisy = record(photons, camera).astype(np.float32)
    axes = "TYX"

    def show(text: str) -> None:
        if say:
            print(text, flush=True)

    show(
        f"synthetic time-lapse: {shape[0]} frames of {shape[1]} x {shape[2]} pixels (TYX); "
        f"camera gain {camera.gain} per photon, dark level {camera.dark_level}, "
        f"read noise {camera.read_noise}"
    )
    start = time.perf_counter()
    estimated = estimate_noise(noisy, "auto", axes=axes)
    seconds_estimate = time.perf_counter() - start
    show(f"noise model, true:      {camera.noise_model}")
    show(f"noise model, estimated: {estimated}  ({seconds_estimate:.2f} s)")

    start = time.perf_counter()
    denoised = denoise(noisy, estimated, axes=axes, n_threads=n_threads)
    seconds_denoise = time.perf_counter() - start
    # The same, but each frame searched on its own: what naming the T axis buys.
    frame_only = denoise(noisy, estimated, axes=axes, search_axes="", n_threads=n_threads)
    result = DemoResult(
        true_noise=camera.noise_model,
        estimated_noise=estimated,
        psnr_noisy=psnr(clean, noisy),
        psnr_denoised=psnr(clean, denoised),
        psnr_without_time_search=psnr(clean, frame_only),
        mean_clean=float(clean.mean()),
        mean_denoised=float(denoised.mean(dtype=np.float64)),
        seconds_estimate=seconds_estimate,
        seconds_denoise=seconds_denoise,
    )
    show(
        f"denoised in {seconds_denoise:.2f} s: PSNR {result.psnr_noisy:.2f} dB (noisy) -> "
        f"{result.psnr_denoised:.2f} dB (denoised), "
        f"{result.psnr_denoised - result.psnr_noisy:+.2f} dB"
    )
    show(
        f"without searching along T (frames on their own): {result.psnr_without_time_search:.2f} dB"
    )
    show(f"mean intensity: clean {result.mean_clean:.2f}, denoised {result.mean_denoised:.2f}")

    write_image(out / "clean.tif", clean.astype(np.float32), axes)
    write_image(out / "noisy.tif", noisy, axes)
    write_image(out / "denoised.tif", denoised, axes)
    middle = shape[0] // 2
    lo, hi = np.percentile(clean, [0.5, 99.8])
    _save_panel(
        out / "comparison.png",
        [clean[middle], noisy[middle].astype(np.float64), denoised[middle].astype(np.float64)],
        float(lo),
        float(hi),
    )
    show(f"wrote {out / 'clean.tif'}, {out / 'noisy.tif'}, {out / 'denoised.tif'}")
    show(f"wrote {out / 'comparison.png'} (clean | noisy | denoised, frame {middle})")
    return result
