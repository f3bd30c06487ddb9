"""Time of a preview of a 512 x 512 region in the napari widget.

Run by hand under a display (``xvfb-run -a``):

    xvfb-run -a .venv/bin/python bench/napari_preview_bench.py --repeat 5

A napari viewer shows a noisy time-lapse of 512 x 512 frames (the demo's
synthetic camera recording, TYX) whole; the widget's Preview denoises the
current frame.  Two times per setting, best of ``--repeat``:

- ``click``: from the Preview call on the GUI thread to the preview layer
  shown (worker thread, result back on the GUI thread, layer added);
- ``compute``: the worker's function alone, on the same region.

Settings: ``auto`` with the noise estimated at every preview (empty noise
fields), and ``auto`` with the values that Estimate filled in.  Denoiser
parameters are the defaults.
"""

from __future__ import annotations

import argparse
import time

import numpy as np


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    import napari
    from qtpy.QtWidgets import QApplication

    from quorvel.demo import Camera, record, synthetic_sequence
    from quorvel.napari import _jobs
    from quorvel.napari._layers import layer_data, preview_region

    camera = Camera()
    noisy = record(synthetic_sequence((3, 512, 512)), camera).astype(np.float32)
    viewer = napari.Viewer(show=True)
    viewer.window.resize(1800, 1100)
    layer = viewer.add_image(noisy, name="noisy", metadata={"axes": "TYX"})
    _, widget = viewer.window.add_plugin_dock_widget("quorvel", "Denoise")
    app = QApplication.instance()
    viewer.reset_view()
    for _ in range(20):
        app.processEvents()
        time.sleep(0.02)

    def wait() -> None:
        while widget.busy:
            app.processEvents()
            time.sleep(0.001)

    def click() -> float:
        start = time.perf_counter()
        widget.preview()
        wait()
        return time.perf_counter() - start

    def compute() -> float:
        region = preview_region(layer, "TYX", viewer.dims.point, viewer.dims.displayed)
        options = widget.options()
        start = time.perf_counter()
        _jobs.preview(layer_data(layer), "TYX", region, options)
        return time.perf_counter() - start

    results = {}
    for setting in ("estimated at every preview", "values from Estimate"):
        if setting == "values from Estimate":
            widget.estimate()
            wait()
        click()  # warm-up: first layer, first compile of shaders
        times: dict[str, list[float]] = {"click": [], "compute": []}
        for _ in range(args.repeat):  # interleaved
            times["click"].append(click())
            times["compute"].append(compute())
        results[setting] = {k: min(v) for k, v in times.items()}
    shape = viewer.layers["noisy preview"].data.shape
    viewer.close()

    print(f"preview region {shape} (TYX), best of {args.repeat}, defaults, noise auto")
    for setting, best in results.items():
        print(
            f"  noise {setting:28s} click-to-layer {best['click']:.3f} s   "
            f"compute alone {best['compute']:.3f} s"
        )


if __name__ == "__main__":
    main()
