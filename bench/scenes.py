"""A broad scene set for choosing and checking default settings: fluorescence-like scenes.

Every scene is a `workloads.Workload` (clean truth, noisy image, axes, the
true noise as keyword arguments of `quorvel.denoise`) and is seeded: a run
rebuilds the same data.  Real structure comes from images bundled with
scikit-image (no download), the rest from `quorvel.demo` and simple
generators:

- nuclei: the haematoxylin stain of ``immunohistochemistry`` (dense nuclei
  and tissue; colour deconvolution by ``skimage.color.rgb2hed``), made dark
  outside the stain;
- fibres: the DAB stain of the same image (dim fibrous structure);
- stars: ``hubble_deep_field`` in grey, background removed (sparse spots
  and a few extended objects on black);
- cell: ``cell.png`` (one bright cell on a textured background), coins:
  ``coins`` (dense objects);
- spots: the demo's moving spots and filaments (``quorvel.demo``), and
  filaments drawn here (bent curves through a point spread function).

Kinds (`KINDS`): single images at several noise levels (Gaussian, and
Poisson-Gaussian through the demo's camera at 3 to 100 photons at the
peak), time-lapses of 10 frames of 128 x 128 (static, drifting as a whole by
0.3 to 2 pixels per frame, objects moving on their own, a static scene with
moving spots over it), volumes of 24 x 96 x 96 (blobs and filaments, sparse
spots, planes sampled coarsely along Z) and images of two or three channels
with different structure (bright nuclei and dim filaments; an RGB image as
a sample axis).
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
from workloads import Workload, _spots_volume, _volume

from quorvel import NoiseModel
from quorvel.demo import Camera, synthetic_sequence

F64 = npt.NDArray[np.float64]

#: The kinds of scene, for ``--kind`` of the bench scripts.
KINDS = ("2d", "time", "volume", "channels")
#: Scenes held out from the making of the default settings: the 2-D images
#: and volumes of `workloads.workloads` (natural images, blobs and filaments).
HELD_OUT = "held-out"

_CAMERA = Camera()
_SIZE = 256
_FRAMES, _TSIZE = 10, 128
_VOLUME = (24, 96, 96)


def _unit(a: F64, low: float = 0.5, high: float = 99.9) -> F64:
    """`a` mapped to 0..1 between two of its percentiles, clipped."""
    lo, hi = np.percentile(a, (low, high))
    return np.clip((a - lo) / max(hi - lo, 1e-12), 0.0, 1.0)


@functools.cache
def _stains() -> tuple[F64, F64]:
    from skimage import color, data

    hed = color.rgb2hed(data.immunohistochemistry())
    return _unit(hed[..., 0], 30.0), _unit(hed[..., 2], 30.0)


def nuclei() -> F64:
    """Dense nuclei and tissue, 512 x 512, 0..1, dark where unstained."""
    return _stains()[0]


def fibres() -> F64:
    """Dim fibrous structure, 512 x 512, 0..1."""
    return _stains()[1]


@functools.cache
def stars() -> F64:
    """Sparse spots and small objects on black, 872 x 1000, 0..1."""
    from scipy.ndimage import median_filter
    from skimage import color, data

    grey = color.rgb2gray(data.hubble_deep_field())
    return _unit(grey - median_filter(grey, 25), 50.0, 99.95)


def _plain(name: str) -> F64:
    from skimage import data

    return _unit(getattr(data, name)().astype(np.float64), 0.1, 99.9)


def filaments(shape: tuple[int, int], count: int, rng: np.random.Generator) -> F64:
    """`count` bent curves of 0.4 to 1 through a Gaussian blur of 1.3 pixels, 0..1."""
    from scipy.ndimage import gaussian_filter

    ny, nx = shape
    out = np.zeros(shape)
    for _ in range(count):
        start = rng.uniform(0.1, 0.9, 2) * shape
        angle, bend = rng.uniform(0, np.pi), rng.uniform(-1.5, 1.5)
        s = np.linspace(-0.5, 0.5, 4 * max(shape)) * rng.uniform(0.3, 0.8) * max(shape)
        theta = angle + bend * s / max(shape)
        y = np.round(start[0] + np.cumsum(np.sin(theta)) * (s[1] - s[0])).astype(int)
        x = np.round(start[1] + np.cumsum(np.cos(theta)) * (s[1] - s[0])).astype(int)
        inside = (y >= 0) & (y < ny) & (x >= 0) & (x < nx)
        out[y[inside], x[inside]] = rng.uniform(0.4, 1.0)
    return _unit(gaussian_filter(out, 1.3), 0.0, 99.99)


def _crop(image: F64, size: int, at: tuple[float, float] = (0.5, 0.5)) -> F64:
    y = int((image.shape[0] - size) * at[0])
    x = int((image.shape[1] - size) * at[1])
    return image[y : y + size, x : x + size]


def drifting(image: F64, frames: int, size: int, speed: float, angle: float = 0.6) -> F64:
    """`frames` crops of `size` from the middle of `image`, moving `speed` pixels per frame."""
    from scipy.ndimage import shift

    step = speed * np.array([np.sin(angle), np.cos(angle)])
    out = []
    for t in range(frames):
        moved = shift(image, t * step, order=3, mode="reflect")
        out.append(_crop(moved, size))
    return np.clip(np.array(out), 0.0, None)


# --------------------------------------------------------------------------
# Noise


def _gaussian(name: str, axes: str, clean: F64, sigma: float, rng: np.random.Generator) -> Workload:
    noisy = clean + rng.normal(0.0, sigma, clean.shape)
    return Workload(
        name,
        axes,
        clean.astype(np.float32),
        noisy.astype(np.float32),
        {"noise": "gaussian", "sigma": sigma},
    )


def _photons(name: str, axes: str, photons: F64, rng: np.random.Generator) -> Workload:
    """Recorded by the demo's camera (gain 2, dark level 100, read noise 3)."""
    noisy = _CAMERA.expected(rng.poisson(photons)) + rng.normal(
        0.0, _CAMERA.read_noise, photons.shape
    )
    return Workload(
        name,
        axes,
        _CAMERA.expected(photons).astype(np.float32),
        noisy.astype(np.float32),
        {"noise": "poisson-gaussian", "model": _CAMERA.noise_model},
    )


def _channels(name: str, axes: str, photons: list[F64], rng: np.random.Generator) -> Workload:
    """Channels stacked along C (axis 0 of `axes` after T), each recorded by the camera."""
    one = [_photons(name, "YX", p, rng) for p in photons]
    c = axes.index("C")
    model = NoiseModel([_CAMERA.gain] * len(one), [_CAMERA.noise_model.offset[0]] * len(one))
    return Workload(
        name,
        axes,
        np.stack([w.clean for w in one], c),
        np.stack([w.noisy for w in one], c),
        {"noise": "poisson-gaussian", "model": model},
    )


# --------------------------------------------------------------------------
# Kinds


def _two_d(rng: np.random.Generator) -> list[Workload]:
    out = []
    n, f, s = _crop(nuclei(), _SIZE), _crop(fibres(), _SIZE), _crop(stars(), _SIZE, (0.4, 0.3))
    for peak in (5.0, 20.0, 100.0):
        out.append(_photons(f"2d nuclei {peak:g}ph", "YX", 0.5 + peak * n, rng))
    for peak in (3.0, 20.0):
        out.append(_photons(f"2d stars {peak:g}ph", "YX", 0.3 + peak * s, rng))
    out.append(_photons("2d fibres 10ph", "YX", 1.0 + 10.0 * f, rng))
    line = filaments((_SIZE, _SIZE), 12, rng)
    out.append(_photons("2d filaments 8ph", "YX", 0.5 + 8.0 * line, rng))
    spots = synthetic_sequence((1, _SIZE, _SIZE), seed=3)[0]
    out.append(_photons("2d demo 0.3x", "YX", 0.3 * spots, rng))
    for sigma in (10.0, 25.0, 50.0):
        out.append(_gaussian(f"2d nuclei s{sigma:g}", "YX", 255.0 * n, sigma, rng))
    out.append(
        _gaussian("2d cell s15", "YX", 255.0 * _crop(_plain("cell"), _SIZE, (0.6, 0.7)), 15.0, rng)
    )
    out.append(_gaussian("2d coins s30", "YX", 255.0 * _crop(_plain("coins"), _SIZE), 30.0, rng))
    out.append(_gaussian("2d stars s20", "YX", 255.0 * s, 20.0, rng))
    return out


def _time(rng: np.random.Generator) -> list[Workload]:
    out = []
    big = nuclei()
    for speed in (0.0, 0.3, 1.0, 2.0):
        movie = drifting(big, _FRAMES, _TSIZE, speed)
        out.append(_photons(f"time nuclei drift {speed:g} 20ph", "TYX", 0.5 + 20.0 * movie, rng))
    movie = drifting(big, _FRAMES, _TSIZE, 0.5)
    out.append(_photons("time nuclei drift 0.5 4ph", "TYX", 0.5 + 4.0 * movie, rng))
    movie = drifting(stars(), _FRAMES, _TSIZE, 1.0)
    out.append(_gaussian("time stars drift 1 s25", "TYX", 255.0 * movie, 25.0, rng))
    static = drifting(stars(), _FRAMES, _TSIZE, 0.0)
    out.append(_photons("time stars static 3ph", "TYX", 0.3 + 3.0 * static, rng))
    demo = synthetic_sequence((_FRAMES, _TSIZE, _TSIZE), seed=5)
    out.append(_photons("time demo moving", "TYX", demo, rng))
    out.append(_photons("time demo moving 0.2x", "TYX", 0.2 * demo, rng))
    # A static scene with spots moving over it: half the frame still, half not.
    base = drifting(big, _FRAMES, _TSIZE, 0.0)
    spots = synthetic_sequence((_FRAMES, _TSIZE, _TSIZE), seed=8)
    out.append(
        _photons(
            "time nuclei static + moving spots",
            "TYX",
            0.5 + 15.0 * base + 0.5 * (spots - spots.min()),
            rng,
        )
    )
    return out


def _volumes(rng: np.random.Generator) -> list[Workload]:
    from scipy.ndimage import gaussian_filter

    out = []
    blobs = _volume(_VOLUME, 11)
    out.append(_gaussian("volume blobs s12", "ZYX", 100.0 * blobs, 12.0, rng))
    out.append(_photons("volume blobs 8ph", "ZYX", 0.5 + 8.0 * blobs, rng))
    out.append(_photons("volume blobs 40ph", "ZYX", 2.0 + 38.0 * blobs, rng))
    spots = _spots_volume(_VOLUME, rng, 150, 2.0)
    out.append(_photons("volume sparse spots 10ph", "ZYX", 0.3 + 10.0 * spots, rng))
    coarse = _volume((4 * _VOLUME[0], *_VOLUME[1:]), 13)[::4]
    out.append(_photons("volume coarse z 8ph", "ZYX", 0.5 + 8.0 * coarse, rng))
    out.append(_gaussian("volume coarse z s12", "ZYX", 100.0 * coarse, 12.0, rng))
    # Nuclei seen through a thick section: the image smeared along Z.
    layers = np.stack(
        [_crop(nuclei(), _VOLUME[1], (0.5, 0.5 + 0.004 * z)) for z in range(_VOLUME[0])]
    )
    thick = gaussian_filter(layers, (2.0, 0.0, 0.0))
    out.append(_photons("volume nuclei 15ph", "ZYX", 0.5 + 15.0 * thick / thick.max(), rng))
    return out


def _multichannel(rng: np.random.Generator) -> list[Workload]:
    from skimage import data

    out = []
    n, f = _crop(nuclei(), _SIZE, (0.3, 0.6)), filaments((_SIZE, _SIZE), 14, rng)
    out.append(
        _channels(
            "channels nuclei 60ph + filaments 6ph", "CYX", [0.5 + 60.0 * n, 0.5 + 6.0 * f], rng
        )
    )
    s = _crop(stars(), _SIZE, (0.7, 0.6))
    out.append(
        _channels(
            "channels nuclei 20ph + fibres 5ph + stars 4ph",
            "CYX",
            [0.5 + 20.0 * n, 1.0 + 5.0 * _crop(fibres(), _SIZE, (0.3, 0.6)), 0.3 + 4.0 * s],
            rng,
        )
    )
    movie = [drifting(img, _FRAMES, _TSIZE, 0.5) for img in (nuclei(), fibres())]
    photons = [0.5 + 40.0 * movie[0], 1.0 + 6.0 * movie[1]]
    w = [_photons("", "TYX", p, rng) for p in photons]
    model = NoiseModel([_CAMERA.gain] * 2, [_CAMERA.noise_model.offset[0]] * 2)
    out.append(
        Workload(
            "channels time nuclei 40ph + fibres 6ph",
            "TCYX",
            np.stack([x.clean for x in w], 1),
            np.stack([x.noisy for x in w], 1),
            {"noise": "poisson-gaussian", "model": model},
        )
    )
    rgb = _crop(data.immunohistochemistry().astype(np.float64), _SIZE)
    out.append(_gaussian("channels ihc rgb s20", "YXS", rgb, 20.0, rng))
    astro = _crop(data.astronaut().astype(np.float64), _SIZE, (0.2, 0.5))
    out.append(_gaussian("channels astronaut rgb s25", "YXS", astro, 25.0, rng))
    return out


_BUILDERS: dict[str, Callable[[np.random.Generator], list[Workload]]] = {
    "2d": _two_d,
    "time": _time,
    "volume": _volumes,
    "channels": _multichannel,
}


def scenes(kinds: tuple[str, ...] = KINDS, seed: int = 29) -> list[Workload]:
    """The scenes of `kinds` (and `HELD_OUT`), in order; each kind's noise from its own seed."""
    out: list[Workload] = []
    for i, kind in enumerate(KINDS):
        if kind in kinds:
            out += _BUILDERS[kind](np.random.default_rng([seed, i]))
    if HELD_OUT in kinds:
        from workloads import in_part, workloads

        out += [w for w in workloads() if not in_part(w, "spots")]
    return out


def channel_psnrs(w: Workload, result: npt.ArrayLike) -> list[float]:
    """PSNR of each channel (peak: that channel's clean range); one value without channels."""
    from workloads import psnr

    axes = w.axes.upper().replace("S", "C")
    if "C" not in axes:
        return [psnr(w.clean, result)]
    c = axes.index("C")
    out = np.asarray(result)
    return [psnr(np.take(w.clean, i, c), np.take(out, i, c)) for i in range(w.clean.shape[c])]


def score(w: Workload, result: npt.ArrayLike) -> float:
    """The scene's PSNR: the mean of its channels' PSNRs."""
    return float(np.mean(channel_psnrs(w, result)))


def describe(w: Workload) -> dict[str, Any]:
    """Name, axes and shape, for tables."""
    return {"name": w.name, "axes": w.axes, "shape": list(w.noisy.shape)}
