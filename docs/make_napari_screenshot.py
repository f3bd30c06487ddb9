"""Make docs/napari.png: the quorvel widget docked beside a denoised demo time-lapse.

Needs ``quorvel[napari]`` and a display; on a machine without one:

    xvfb-run -a -s "-screen 0 1920x1200x24" .venv/bin/python docs/make_napari_screenshot.py

The picture is the whole napari window: the demo's noisy time-lapse (File >
Open Sample > quorvel) denoised with the widget (Estimate, then Run), the
denoised layer on screen beside the noisy one (grid view).
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).with_name("napari.png"))
    args = parser.parse_args()

    import napari
    from qtpy.QtWidgets import QApplication

    viewer = napari.Viewer(show=True, title="napari + quorvel")
    viewer.window.resize(1500, 820)
    viewer.open_sample("quorvel", "timelapse")
    _, widget = viewer.window.add_plugin_dock_widget("quorvel", "Denoise")
    app = QApplication.instance()

    def wait() -> None:
        while widget.busy:
            app.processEvents()
            time.sleep(0.01)

    widget.estimate()
    wait()
    widget.run()
    wait()
    viewer.layers.remove("truth")
    denoised = viewer.layers["noisy time-lapse denoised"]
    viewer.layers.selection.active = denoised
    viewer.canvas.grid.enabled = True
    viewer.canvas.grid.shape = (1, 2)
    viewer.dims.set_point(0, 5)
    viewer.reset_view()
    for _ in range(30):
        app.processEvents()
        time.sleep(0.02)
    viewer.screenshot(path=str(args.out), canvas_only=False, flash=False)
    viewer.close()
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
