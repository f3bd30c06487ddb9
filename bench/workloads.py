"""The benchmark set of the tuning and peer benchmarks: clean images, noise, known noise models.

- 2-D: three scikit-image images (256 x 256 centre crops by default, or
  larger ones up to the whole 512 x 512 image; 0..255) with Gaussian noise
  of sigma 10, 25 and 50;
- 2-D + t: the demo's moving spots and filaments (10 x 256 x 256 frames),
  Poisson-Gaussian with the demo's camera, at the demo's photon counts
  ("moderate") and at a fifth of them ("low");
- 3-D: 32 x 128 x 128 blobs and filaments, with Gaussian noise (sigma 12 %
  of the peak) and with Poisson-Gaussian noise (gain 2, read noise 3, peak
  about 40 photons).

Every workload is seeded: a run reproduces the same data.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import NoiseModel
from quorvel.demo import Camera, synthetic_sequence

Array = npt.NDArray[np.float32]


@dataclass
class Workload:
    """One noisy image, its clean truth and the true noise."""

    name: str
    axes: str
    clean: Array
    noisy: Array
    #: keyword arguments of `quorvel.denoise` that state the true noise
    noise: dict[str, Any] = field(default_factory=dict)

    @property
    def gaussian_sigma(self) -> float | None:
        return self.noise.get("sigma")

    @property
    def model(self) -> NoiseModel | None:
        return self.noise.get("model")


def _skimage_images(size: int = 256) -> dict[str, npt.NDArray[np.float64]]:
    from skimage import color, data

    images = {
        "camera": data.camera(),
        "astronaut": color.rgb2gray(data.astronaut()) * 255.0,
        "brick": data.brick(),
    }
    out = {}
    for name, img in images.items():
        img = np.asarray(img, dtype=np.float64)
        y0, x0 = (img.shape[0] - size) // 2, (img.shape[1] - size) // 2
        out[name] = img[y0 : y0 + size, x0 : x0 + size]
    return out


def _volume(shape: tuple[int, int, int], seed: int) -> npt.NDArray[np.float64]:
    """Blobs and filaments in 0..1 on a dim background, seen through an anisotropic blur."""
    rng = np.random.default_rng(seed)
    nz, ny, nx = shape
    zz, yy, xx = np.mgrid[0:nz, 0:ny, 0:nx].astype(np.float64)
    vol = 0.05 + 0.05 * np.sin(xx / 23.0) * np.cos(yy / 17.0)
    for _ in range(40):
        cz, cy, cx = rng.uniform(0, 1, 3) * shape
        r = rng.uniform(1.5, 4.0)
        vol += rng.uniform(0.3, 1.0) * np.exp(
            -((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * r * r) - (zz - cz) ** 2 / (2 * (r / 2) ** 2)
        )
    for _ in range(6):
        p0 = rng.uniform(0, 1, 3) * shape
        d = rng.normal(size=3) * (0.2, 1, 1)
        d /= np.linalg.norm(d)
        for s in np.linspace(-60, 60, 480):
            z, y, x = np.round(p0 + s * d).astype(int)
            if 0 <= z < nz and 0 <= y < ny and 0 <= x < nx:
                vol[z, y, x] += 0.6
    from scipy.ndimage import gaussian_filter

    vol = gaussian_filter(vol, (0.8, 1.0, 1.0))
    return vol / vol.max()


def workloads(
    which: str = "all",
    volume_shape: tuple[int, int, int] = (32, 128, 128),
    seed: int = 2026,
    image_size: int = 256,
) -> list[Workload]:
    """The benchmark set, or the part of it named by `which` ("2d", "spots", "3d").

    `seed` draws the noise; the clean images stay the same.  `image_size` is
    the side of the 2-D images (at most 512); the noise of the workloads
    after them depends on it.
    """
    rng = np.random.default_rng(seed)
    out: list[Workload] = []
    if which in ("all", "2d"):
        for name, img in _skimage_images(image_size).items():
            for sigma in (10.0, 25.0, 50.0):
                noisy = img + rng.normal(0.0, sigma, img.shape)
                out.append(
                    Workload(
                        f"{name} s{sigma:g}",
                        "YX",
                        img.astype(np.float32),
                        noisy.astype(np.float32),
                        {"noise": "gaussian", "sigma": sigma},
                    )
                )
    if which in ("all", "spots"):
        camera = Camera()
        photons = synthetic_sequence((10, 256, 256))
        for level, scale in (("moderate", 1.0), ("low", 0.2)):
            p = photons * scale
            counts = rng.poisson(p)
            noisy = camera.expected(counts) + rng.normal(0.0, camera.read_noise, p.shape)
            out.append(
                Workload(
                    f"spots {level}",
                    "TYX",
                    camera.expected(p).astype(np.float32),
                    noisy.astype(np.float32),
                    {"noise": "poisson-gaussian", "model": camera.noise_model},
                )
            )
    if which in ("all", "3d"):
        vol = _volume(volume_shape, 7)
        clean = 100.0 * vol
        noisy = clean + rng.normal(0.0, 12.0, vol.shape)
        out.append(
            Workload(
                "volume gaussian",
                "ZYX",
                clean.astype(np.float32),
                noisy.astype(np.float32),
                {"noise": "gaussian", "sigma": 12.0},
            )
        )
        gain, read = 2.0, 3.0
        photons = 2.0 + 38.0 * vol
        noisy = gain * rng.poisson(photons) + rng.normal(0.0, read, vol.shape)
        out.append(
            Workload(
                "volume poisson",
                "ZYX",
                (gain * photons).astype(np.float32),
                noisy.astype(np.float32),
                {"noise": "poisson-gaussian", "model": NoiseModel(gain, read * read)},
            )
        )
    return out


def in_part(workload: Workload, which: str) -> bool:
    """Whether `workload` belongs to the part of the set named by `which` ("all", "2d", ...).

    Scripts draw the whole set and filter it with this: the noise is drawn in
    order, so a workload gets the same noise whichever part is asked for.
    """
    names = {"2d": ("camera", "astronaut", "brick"), "spots": ("spots",), "3d": ("volume",)}
    return which == "all" or workload.name.split()[0] in names[which]


def psnr(clean: npt.ArrayLike, test: npt.ArrayLike) -> float:
    """PSNR in dB, the peak being the clean image's range."""
    ref = np.asarray(clean, dtype=np.float64)
    err = np.asarray(test, dtype=np.float64) - ref
    peak = max(float(ref.max() - ref.min()), 1e-12)
    return float(10.0 * np.log10(peak * peak / float(np.mean(err * err))))


def _spots_volume(
    shape: tuple[int, int, int], rng: np.random.Generator, count: int, z_blur: float
) -> npt.NDArray[np.float64]:
    """`count` point sources in 0..1 on black, blurred more along Z than in the plane."""
    from scipy.ndimage import gaussian_filter

    vol = np.zeros(shape)
    np.add.at(vol, tuple(rng.integers(0, n, count) for n in shape), rng.uniform(0.3, 1.0, count))
    vol = gaussian_filter(vol, (z_blur, 1.2, 1.2))
    return vol / vol.max()


def volume_kinds(seed: int = 1) -> list[Workload]:
    """Volumes of several kinds, for settings meant for every z-stack.

    Blobs and filaments (as in `workloads`, another scene per seed) with
    Gaussian noise of 12 % and 30 % of the peak and at low photon counts
    (0.5 to 8.5); sparse spots on black at about 40 and 10 photons at the
    peak (300 spots, blurred twice as much along Z); a thin stack of 16
    planes blurred further along Z; blobs and filaments sampled 4 times more
    coarsely along Z (every fourth plane of a taller volume: structures one
    plane thick), with Gaussian noise of 12 % of the peak and at low photon
    counts.  Poisson-Gaussian ones go through the demo's camera (its dark
    level in the noise model's offset).
    """
    from scipy.ndimage import gaussian_filter

    rng = np.random.default_rng(seed)
    camera = Camera()
    shape = (32, 128, 128)
    out: list[Workload] = []

    def add(
        name: str,
        clean: npt.NDArray[np.float64],
        noisy: npt.NDArray[np.float64],
        noise: dict[str, Any],
    ) -> None:
        out.append(Workload(name, "ZYX", clean.astype(np.float32), noisy.astype(np.float32), noise))

    def recorded(name: str, photons: npt.NDArray[np.float64]) -> None:
        noisy = camera.expected(rng.poisson(photons)) + rng.normal(
            0.0, camera.read_noise, photons.shape
        )
        add(
            name,
            camera.expected(photons),
            noisy,
            {"noise": "poisson-gaussian", "model": camera.noise_model},
        )

    blobs = _volume(shape, 100 + seed)
    for sigma in (12.0, 30.0):
        add(
            f"blobs gaussian s{sigma:g}",
            100.0 * blobs,
            100.0 * blobs + rng.normal(0.0, sigma, shape),
            {"noise": "gaussian", "sigma": sigma},
        )
    recorded("blobs low photons", 0.5 + 8.0 * blobs)
    spots = _spots_volume(shape, rng, 300, 2.0)
    recorded("sparse spots", 0.3 + 40.0 * spots)
    recorded("sparse spots dim", 0.3 + 10.0 * spots)
    thin = gaussian_filter(_volume((16, 128, 128), 200 + seed), (1.5, 0.0, 0.0))
    recorded("thin stack", 2.0 + 30.0 * thin / thin.max())
    coarse = _volume((4 * shape[0], *shape[1:]), 300 + seed)[::4]
    add(
        "coarse z gaussian s12",
        100.0 * coarse,
        100.0 * coarse + rng.normal(0.0, 12.0, shape),
        {"noise": "gaussian", "sigma": 12.0},
    )
    recorded("coarse z low photons", 0.5 + 8.0 * coarse)
    return out
