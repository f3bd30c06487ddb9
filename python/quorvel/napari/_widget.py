"""The dock widget "Denoise (quorvel)" (napari adds the plugin's name to "Denoise").

Every computation (noise estimation, preview, a whole run) runs in a worker
thread (`superqt.utils.create_worker`, what napari's ``thread_worker`` is
built on); the GUI thread only starts workers, reads their progress on a
timer and adds their results as layers.  Errors and warnings are napari
notifications with the one-line messages of the ``quorvel`` command.
"""

from __future__ import annotations

from typing import Any

import napari
import numpy as np
from magicgui.widgets import (
    CheckBox,
    ComboBox,
    Container,
    FloatSpinBox,
    Label,
    LineEdit,
    ProgressBar,
    PushButton,
    SpinBox,
    create_widget,
)
from napari.utils.notifications import show_error, show_info, show_warning
from qtpy.QtCore import QTimer
from superqt.utils import WorkerBase, create_worker

from quorvel._params import DEFAULT_SEARCH, MAX_ITERATIONS, format_search
from quorvel._tune import TuneResult
from quorvel._util import one_line
from quorvel.napari import _jobs
from quorvel.napari._layers import guess_axes, layer_data, placement, preview_region
from quorvel.napari._settings import (
    noise_options,
    parameter_docs,
    parse_patch_radius,
    parse_search,
)
from quorvel.noise import NoiseModel

#: Errors shown as a one-line notification, as the command line does; any
#: other exception is a fault and goes to napari's error handling whole.
_USER_ERRORS = (ValueError, TypeError, OSError, RuntimeError, MemoryError)

_NOISE_CHOICES = [
    ("Auto", "auto"),
    ("Gaussian sigma", "gaussian"),
    ("Poisson-Gaussian gain, offset", "poisson-gaussian"),
]

_PROGRESS_STEPS = 1000
_POLL_MS = 100


def _format(values: tuple[float, ...] | None) -> str:
    return "" if values is None else ",".join(f"{v:.6g}" for v in values)


class DenoiseWidget(Container):  # type: ignore[misc]
    """Estimate the noise of an image layer, preview and denoise it.

    Parameters
    ----------
    napari_viewer : napari.Viewer
        The viewer whose layers the widget reads and adds to.

    Attributes
    ----------
    job : quorvel.napari._jobs.Job or None
        Progress and cancellation of the run in progress.
    worker : superqt.utils.WorkerBase or None
        The worker thread of the last task started.
    """

    def __init__(self, napari_viewer: napari.viewer.Viewer) -> None:
        super().__init__(labels=True)
        self._viewer = napari_viewer
        self.job: _jobs.Job | None = None
        self.worker: WorkerBase | None = None
        self._busy = False
        docs = parameter_docs()

        self.image = create_widget(annotation=napari.layers.Image, label="image")
        self.axes = LineEdit(label="axes", tooltip=docs.get("axes", ""))
        self.noise = ComboBox(
            label="noise", choices=_NOISE_CHOICES, value="auto", tooltip=docs.get("noise", "")
        )
        self.sigma = LineEdit(label="sigma", tooltip=docs.get("sigma", ""))
        self.gain = LineEdit(label="gain", tooltip="Per channel, comma-separated.\n" + docs.get("model", ""))
        self.offset = LineEdit(label="offset", tooltip=self.gain.tooltip)
        self.estimate_button = PushButton(text="Estimate")
        self.patch_radius = LineEdit(
            label="patch radius", value="3", tooltip=docs.get("patch_radius", "")
        )
        self.search = LineEdit(label="search", value=DEFAULT_SEARCH, tooltip=docs.get("search", ""))
        self.iterations = SpinBox(
            label="iterations",
            value=4,
            min=1,
            max=MAX_ITERATIONS,
            tooltip=docs.get("iterations", ""),
        )
        self.pvalue = FloatSpinBox(
            label="p-value", value=0.01, min=0.0, max=0.999, step=0.001, tooltip=docs.get("pvalue", "")
        )
        self.renoise = FloatSpinBox(
            label="renoise", value=0.0, min=0.0, max=1e6, step=0.1, tooltip=docs.get("renoise", "")
        )
        self.tune = CheckBox(
            text="tune",
            value=False,
            tooltip="Choose patch radius, iterations and p-value for this image by the least "
            "estimated error; Run puts the choice in those fields.\n\n"
            + docs.get("tune", ""),
        )
        self.variance = CheckBox(
            text="variance layer",
            value=False,
            tooltip="Also add the variance of the result as a layer (not for dask layers).",
        )
        self.preview_button = PushButton(text="Preview")
        self.run_button = PushButton(text="Run")
        self.cancel_button = PushButton(text="Cancel", enabled=False)
        self.progress = ProgressBar(value=0, min=0, max=_PROGRESS_STEPS, label="progress")
        self.status = Label(value="")
        buttons = Container(
            widgets=[self.preview_button, self.run_button, self.cancel_button],
            layout="horizontal",
            labels=False,
        )
        self.extend(
            [
                self.image,
                self.axes,
                self.noise,
                self.sigma,
                self.gain,
                self.offset,
                self.estimate_button,
                self.patch_radius,
                self.search,
                self.iterations,
                self.pvalue,
                self.renoise,
                self.tune,
                self.variance,
                buttons,
                self.progress,
                self.status,
            ]
        )
        self._timer = QTimer(self.native)
        self._timer.setInterval(_POLL_MS)
        self._timer.timeout.connect(self._show_progress)

        self.image.changed.connect(self._on_layer)
        self.noise.changed.connect(self._show_noise_fields)
        self.estimate_button.changed.connect(self.estimate)
        self.preview_button.changed.connect(self.preview)
        self.run_button.changed.connect(self.run)
        self.cancel_button.changed.connect(self.cancel)
        self._show_noise_fields()
        self.reset_choices()
        self._on_layer()

    # ------------------------------------------------------------------
    # Fields

    @property
    def busy(self) -> bool:
        """Whether a task runs or its results are still to be shown."""
        return self._busy

    def _on_layer(self, *_: Any) -> None:
        """A new layer: guess its axes; the noise values of the previous one go."""
        layer = self.image.value
        self.axes.value = "" if layer is None else guess_axes(layer, self._viewer.dims.axis_labels)
        for field in (self.sigma, self.gain, self.offset):
            field.value = ""

    def _show_noise_fields(self, *_: Any) -> None:
        gaussian = self.noise.value == "gaussian"
        self.sigma.visible = gaussian
        self.gain.visible = self.offset.visible = not gaussian

    def _layer(self) -> Any:
        layer = self.image.value
        if layer is None:
            raise ValueError("no image layer: open or choose one")
        return layer

    def options(self) -> dict[str, Any]:
        """The keyword arguments of `quorvel.denoise` that the fields set.

        Raises
        ------
        ValueError
            For a field that does not parse, naming it.
        """
        return {
            **noise_options(
                self.noise.value, self.sigma.value, self.gain.value, self.offset.value
            ),
            "patch_radius": parse_patch_radius(self.patch_radius.value),
            "search": parse_search(self.search.value),
            "iterations": int(self.iterations.value),
            "pvalue": float(self.pvalue.value),
            "renoise": float(self.renoise.value),
            "tune": bool(self.tune.value),
        }

    # ------------------------------------------------------------------
    # Tasks

    def _start(self, func: Any, *args: Any, on_result: Any, label: str) -> None:
        """Run `func(*args)` in a worker thread; `on_result` receives its result."""
        self._set_busy(True)
        self.status.value = label
        self.worker = create_worker(
            func,
            *args,
            _connect={
                "returned": on_result,
                "errored": self._on_error,
                "warned": self._on_warning,
                "finished": self._on_finished,
            },
        )

    def _set_busy(self, busy: bool) -> None:
        self._busy = busy
        for button in (self.estimate_button, self.preview_button, self.run_button):
            button.enabled = not busy
        self.cancel_button.enabled = busy and self.job is not None

    def _guard(self, action: Any) -> None:
        """Start a task unless one runs; report bad fields at once."""
        if self.busy:
            return
        try:
            action()
        except _USER_ERRORS as err:
            self._on_error(err)

    def estimate(self, *_: Any) -> None:
        """Estimate the noise of the layer and fill gain, offset and sigma."""

        def start() -> None:
            data = layer_data(self._layer())
            self._start(
                _jobs.estimate, data, self.axes.value, on_result=self._fill_noise, label="estimating"
            )

        self._guard(start)

    def _fill_noise(self, model: NoiseModel) -> None:
        self.gain.value = _format(model.gain)
        self.offset.value = _format(model.offset)
        self.sigma.value = _format(model.sigma)
        self.status.value = "noise estimated"

    def preview(self, *_: Any) -> None:
        """Denoise the visible part of the current frame or plane into a temporary layer."""

        def start() -> None:
            layer = self._layer()
            axes = self.axes.value
            dims = self._viewer.dims
            region = preview_region(layer, axes, dims.point, dims.displayed)
            options = self.options()
            self._start(
                _jobs.preview,
                layer_data(layer),
                axes,
                region,
                options,
                on_result=lambda result: self._show_preview(layer, region, *result),
                label="previewing",
            )

        self._guard(start)

    def _show_preview(
        self, layer: Any, region: tuple[slice, ...], out: np.ndarray, tuned: TuneResult | None
    ) -> None:
        name = f"{layer.name} preview"
        where = placement(layer, [s.start for s in region])
        if name in self._viewer.layers:
            shown = self._viewer.layers[name]
            shown.data = out
            shown.translate = where["translate"]
        else:
            self._viewer.add_image(out, name=name, **self._look(layer), **where)
        self.status.value = f"preview of {' x '.join(map(str, out.shape))}" + (
            f"; tuned: {tuned.summary}" if tuned is not None else ""
        )

    def run(self, *_: Any) -> None:
        """Denoise the whole layer into a new layer, with progress and Cancel."""

        def start() -> None:
            layer = self._layer()
            data = layer_data(layer)
            options = self.options()
            self.job = _jobs.Job()
            self._set_bar(0.0)
            self._start(
                _jobs.denoise,
                self.job,
                data,
                self.axes.value,
                options,
                bool(self.variance.value),
                on_result=lambda result: self._add_result(layer, result),
                label="denoising",
            )
            self._timer.start()

        self._guard(start)

    def cancel(self, *_: Any) -> None:
        """Stop the run in progress."""
        if self.job is not None:
            self.job.cancel()
            self.status.value = "cancelling"

    def _add_result(
        self, layer: Any, result: tuple[np.ndarray, np.ndarray | None, TuneResult | None]
    ) -> None:
        out, variance, tuned = result
        preview = f"{layer.name} preview"
        if preview in self._viewer.layers:
            self._viewer.layers.remove(preview)
        where = placement(layer)
        metadata = dict(layer.metadata)
        self._viewer.add_image(
            out, name=f"{layer.name} denoised", metadata=metadata, **self._look(layer), **where
        )
        if variance is not None:
            self._viewer.add_image(
                variance, name=f"{layer.name} variance", metadata=metadata, rgb=False, **where
            )
        self._set_bar(1.0)
        self.status.value = "done"
        if tuned is not None:
            self._fill_tuned(tuned)
            self.status.value = f"done; tuned: {tuned.summary}"

    def _fill_tuned(self, tuned: TuneResult) -> None:
        """Put the settings the tuner chose into their fields."""
        chosen = tuned.settings
        radius = chosen["patch_radius"]
        deep = any(r for axis, r in radius.items() if axis not in "XY")
        self.patch_radius.value = (
            ",".join(f"{axis}={r}" for axis, r in radius.items()) if deep else str(radius["X"])
        )
        self.iterations.value = chosen["iterations"]
        self.pvalue.value = chosen["pvalue"]
        if "search" in chosen:
            self.search.value = format_search(chosen["search"])

    @staticmethod
    def _look(layer: Any) -> dict[str, Any]:
        look: dict[str, Any] = {"rgb": layer.rgb, "contrast_limits": layer.contrast_limits}
        if not layer.rgb:
            look["colormap"] = layer.colormap
        return look

    # ------------------------------------------------------------------
    # Worker signals (GUI thread)

    def _set_bar(self, fraction: float | None) -> None:
        """Show `fraction` done, or that the run is busy (None)."""
        bar = self.progress.native
        if fraction is None:
            bar.setRange(0, 0)
        else:
            bar.setRange(0, _PROGRESS_STEPS)
            bar.setValue(round(fraction * _PROGRESS_STEPS))

    def _show_progress(self) -> None:
        if self.job is not None and self.job.fraction is not None:
            self._set_bar(self.job.fraction)

    def _on_error(self, err: BaseException) -> None:
        if isinstance(err, _jobs.Cancelled):
            self.status.value = "cancelled"
            show_info("quorvel: cancelled")
            return
        if not isinstance(err, _USER_ERRORS):
            raise err
        self.status.value = "error"
        show_error(f"quorvel: error: {one_line(err)}")

    def _on_warning(self, args: tuple[Any, ...]) -> None:
        show_warning(f"quorvel: warning: {one_line(Warning(str(args[0])))}")

    def _on_finished(self) -> None:
        self._timer.stop()
        self._show_progress()
        if self.progress.native.maximum() == 0:  # still busy: stopped without a result
            self._set_bar(0.0)
        self.job = None
        self._set_busy(False)
