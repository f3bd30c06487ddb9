"""Search reach along T (and Z): PSNR of the reach rules on synthetic sequences.

Run by hand::

    nice .venv/bin/python bench/reach_bench.py [--size 192] [--frames 10]

Scenes: nuclei-like blobs (soft discs of varying brightness and size, with
inner texture) on a dark background, photon counts times a camera gain plus
read noise (Poisson-Gaussian noise; the noise model is calibrated from the
data as `quorvel.denoise` does by default).

- static: the same scene in every frame;
- moving: every object drifts by 1 to 2 pixels per frame in its own
  direction; PSNR is measured on a mask around the moving objects (their
  discs in every frame, dilated by 3 pixels) and on the whole frame.

Compared, one run each: every frame on its own (``search=""``), today's
default (``"T"``: the window reaches max(0, k - 2) frames at iteration k),
the same array passed as a z-stack (``"ZYX"``: k planes at iteration k, a
faster-growing rule), and reaches from the first iteration (``{"T": r}``).
Also: for an anisotropic volume (planes 3 pixels apart, objects
elongated accordingly), patch Z radius and Z reach.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import numpy.typing as npt

import quorvel

GAIN = 2.0
READ_SIGMA = 3.0
BASE = 100.0


def blobs(
    shape: tuple[int, ...], n: int, rng: np.random.Generator, centres: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """Photon image of soft nuclei at `centres` (y, x; z first in 3-D) and their mask."""
    grids = np.meshgrid(*[np.arange(s, dtype=np.float64) for s in shape], indexing="ij")
    photons = np.full(shape, 2.0)
    mask = np.zeros(shape, dtype=bool)
    local = np.random.default_rng(1234)  # the same objects for every frame
    for i in range(n):
        radius = local.uniform(5.0, 10.0)
        bright = local.uniform(10.0, 40.0)
        d2 = sum(
            (g - c) ** 2 * w
            for g, c, w in zip(grids, centres[i], _weights(len(shape)), strict=True)
        )
        r = np.sqrt(d2)
        body = 1.0 / (1.0 + np.exp((r - radius) / 1.0))
        texture = 1.0 + 0.3 * np.sin(grids[-1] / 2.0 + i) * np.cos(grids[-2] / 2.5 + i)
        photons += bright * body * texture
        mask |= r < radius + 3.0
    return photons, mask


#: Plane spacing over pixel size of the volumes (--z-spacing).
Z_SPACING = 3.0


def _weights(ndim: int) -> tuple[float, ...]:
    # Planes Z_SPACING pixels apart: a z step covers that many pixels of the object.
    return (Z_SPACING**2, 1.0, 1.0) if ndim == 3 else (1.0, 1.0)


def camera(photons: npt.NDArray[np.float64], rng: np.random.Generator) -> npt.NDArray[np.float32]:
    counts = rng.poisson(photons)
    return (BASE + GAIN * counts + rng.normal(0.0, READ_SIGMA, photons.shape)).astype(np.float32)


def psnr(clean: npt.NDArray[np.float64], test: npt.NDArray[np.float32], mask=None) -> float:
    err = (test.astype(np.float64) - clean) ** 2
    if mask is not None:
        err = err[mask]
    peak = float(clean.max() - clean.min())
    return 10.0 * np.log10(peak**2 / float(err.mean()))


def sequences(size: int, frames: int, seed: int):
    rng = np.random.default_rng(seed)
    n = max(4, size * size // 2500)
    centres = rng.uniform(12, size - 12, (n, 2))
    photons, _ = blobs((size, size), n, rng, centres)
    static_clean = np.repeat((BASE + GAIN * photons)[None], frames, axis=0)
    velocity = rng.uniform(1.0, 2.0, (n, 1)) * np.exp(1j * rng.uniform(0, 2 * np.pi, (n, 1)))
    moving, masks = [], []
    for t in range(frames):
        c = centres + t * np.hstack([velocity.imag, velocity.real])
        p, m = blobs((size, size), n, rng, c)
        moving.append(BASE + GAIN * p)
        masks.append(m)
    return static_clean, np.array(moving), np.array(masks), rng


def denoise_timed(
    noisy: npt.NDArray[np.float32], axes: str, **options: object
) -> tuple[npt.NDArray[np.float32], float]:
    start = time.perf_counter()
    out = quorvel.denoise(noisy, axes, threads=2, **options)
    return out, time.perf_counter() - start


def run_time(size: int, frames: int, seed: int) -> None:
    static_clean, moving_clean, masks, rng = sequences(size, frames, seed)
    static = camera((static_clean - BASE) / GAIN, rng)
    moving = camera((moving_clean - BASE) / GAIN, rng)
    rules: list[tuple[str, str, object]] = [
        ("per frame", "TYX", ""),
        ("default T", "TYX", "T"),
        ("as ZYX (k planes)", "ZYX", "Z"),
        ("reach T=1", "TYX", {"T": 1}),
        ("reach T=2", "TYX", {"T": 2}),
        ("reach T=3", "TYX", {"T": 3}),
        ("reach T=5", "TYX", {"T": 5}),
        (f"reach T={frames - 1}", "TYX", {"T": frames - 1}),
    ]
    print(f"sequence {frames} x {size} x {size}, gain {GAIN}, read noise {READ_SIGMA}")
    print(
        f"noisy PSNR: static {psnr(static_clean, static):.2f} dB, moving (mask) "
        f"{psnr(moving_clean, moving, masks):.2f} dB"
    )
    print(f"{'rule':<22}{'static dB':>10}{'moving mask dB':>16}{'moving all dB':>15}{'time s':>8}")
    for name, axes, search in rules:
        s_out, s_time = denoise_timed(static, axes, search=search)
        m_out, _ = denoise_timed(moving, axes, search=search)
        print(
            f"{name:<22}{psnr(static_clean, s_out):>10.2f}"
            f"{psnr(moving_clean, m_out, masks):>16.2f}{psnr(moving_clean, m_out):>15.2f}"
            f"{s_time:>8.2f}"
        )


def run_depth(size: int, planes: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    n = max(4, size * size // 2500)
    centres = np.hstack([rng.uniform(2, planes - 2, (n, 1)), rng.uniform(12, size - 12, (n, 2))])
    photons, _ = blobs((planes, size, size), n, rng, centres)
    clean = BASE + GAIN * photons
    noisy = camera(photons, rng)
    print(f"\nvolume {planes} x {size} x {size}, planes {Z_SPACING:g} px apart")
    print(f"noisy PSNR {psnr(clean, noisy):.2f} dB")
    print(f"{'patch Z radius':>15}{'search':>14}{'dB':>8}{'z-profile dB':>14}{'time s':>8}")
    for rz in (0, 1):
        for search in ("", "Z", {"Z": 1}, {"Z": 2}, {"Z": 3}):
            out, seconds = denoise_timed(noisy, "ZYX", search=search, patch_radius={"Z": rz})
            # Plane-to-plane streaks: error of the differences along Z.
            dz = psnr(np.diff(clean, axis=0), np.diff(out, axis=0).astype(np.float32))
            print(f"{rz:>15}{search!s:>14}{psnr(clean, out):>8.2f}{dz:>14.2f}{seconds:>8.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=192)
    parser.add_argument("--frames", type=int, default=10)
    parser.add_argument("--planes", type=int, default=16)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--z-spacing", type=float, default=3.0)
    parser.add_argument("--skip-depth", action="store_true")
    parser.add_argument("--skip-time", action="store_true")
    args = parser.parse_args()
    global Z_SPACING
    Z_SPACING = args.z_spacing
    if not args.skip_time:
        run_time(args.size, args.frames, args.seed)
    if not args.skip_depth:
        run_depth(args.size, args.planes, args.seed)


if __name__ == "__main__":
    main()
