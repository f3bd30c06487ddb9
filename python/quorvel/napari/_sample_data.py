"""Sample data: the noisy time-lapse of ``quorvel demo`` and its truth."""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvel.demo import Camera, record, synthetic_sequence


def demo_timelapse() -> list[tuple[Any, dict[str, Any], str]]:
    """The demo's synthetic camera recording (10 frames of 256 x 256, TYX) and its truth.

    Returns
    -------
    list of LayerData
        Two image layers, "noisy time-lapse" and "truth", float32, with
        ``metadata["axes"] = "TYX"`` and the camera's noise model in
        ``metadata["camera"]`` (gain, dark level, read noise).
    """
    camera = Camera()
    photons = synthetic_sequence()
    truth = camera.expected(photons).astype(np.float32)
    noisy = record(photons, camera).astype(np.float32)
    limits = [float(v) for v in np.percentile(truth, [0.5, 99.8])]
    metadata = {
        "axes": "TYX",
        "camera": {
            "gain": camera.gain,
            "dark_level": camera.dark_level,
            "read_noise": camera.read_noise,
        },
    }
    layer = {"metadata": metadata, "contrast_limits": limits, "axis_labels": ("t", "y", "x")}
    return [
        (noisy, {"name": "noisy time-lapse", **layer}, "image"),
        (truth, {"name": "truth", "visible": False, **layer}, "image"),
    ]
