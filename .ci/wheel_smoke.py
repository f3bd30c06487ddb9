"""Smoke test of an installed wheel, run in a fresh venv by `make wheel-check`.

Checks what a user without a compiler relies on: the package imports from
site-packages (not from a source tree), its extension modules load the OpenMP
runtime copied into the wheel rather than the system's, it denoises a small
noisy image and its noise estimate finds the camera, and the ``quorvel``
command answers ``--help``.  Any failure exits non-zero.
"""

from __future__ import annotations

import subprocess
import sys
import sysconfig
from pathlib import Path


def _loaded_libraries() -> list[str]:
    with open("/proc/self/maps", encoding="utf-8") as maps:
        return sorted({line.split()[-1] for line in maps if "/" in line})


def main() -> int:
    import numpy as np

    import quorvel
    from quorvel.demo import Camera, psnr

    site = Path(sysconfig.get_paths()["purelib"]).resolve()
    package = Path(quorvel.__file__).resolve()
    assert site in package.parents, f"quorvel imported from {package}, not from {site}"
    assert quorvel.__version__ != "0+unknown", "no installed metadata"

    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:96, 0:96]
    photons = 20.0 + 200.0 * np.exp(-((yy - 48.0) ** 2 + (xx - 40.0) ** 2) / 200.0)
    truth = np.repeat(photons[None], 5, axis=0)
    camera = Camera(gain=2.0, dark_level=100.0, read_noise=3.0)
    noisy = camera.expected(rng.poisson(truth)) + rng.normal(0.0, 3.0, truth.shape)

    model = quorvel.estimate_noise(noisy, "TYX")
    assert abs(model.gain[0] - 2.0) < 0.3, f"estimated gain {model.gain[0]}, camera 2"
    clean = quorvel.denoise(noisy, "TYX", threads=2)
    reference = camera.expected(truth)
    before, after = psnr(reference, noisy), psnr(reference, clean)
    assert clean.shape == noisy.shape and clean.dtype == np.float32
    assert after > before + 5.0, f"PSNR {before:.2f} -> {after:.2f} dB"

    gomp = [lib for lib in _loaded_libraries() if "gomp" in Path(lib).name]
    assert gomp, "no OpenMP runtime loaded"
    foreign = [lib for lib in gomp if site not in Path(lib).resolve().parents]
    assert not foreign, f"OpenMP runtime from outside the wheel: {foreign}"

    command = Path(sys.executable).with_name("quorvel")
    shown = subprocess.run([command, "--help"], capture_output=True, text=True, check=True)
    assert "denoise" in shown.stdout, shown.stdout

    print(
        f"wheel smoke: quorvel {quorvel.__version__} from {package.parent}; "
        f"gain {model.gain[0]:.3f}; PSNR {before:.2f} -> {after:.2f} dB; "
        f"OpenMP {', '.join(Path(lib).name for lib in gomp)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
