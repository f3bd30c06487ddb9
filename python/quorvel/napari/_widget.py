"""The dock widget "Denoise (quorvel)" (napari adds the plugin's name to "Denoise").

Every computation (noise estimation, preview, a whole run) runs in a worker
thread (`superqt.utils.create_worker`, what napari's ``thread_worker`` is
built on); the GUI thread only starts workers, reads their stage and
progress on a timer (percentage and time left) and adds their results as
layers, which record the noise model and the settings in their metadata
(``metadata["provenance"]``).  Errors and warnings are napari notifications
with the one-line messages of the ``quorvel`` command.
"""

from __future__ import annotations

from typing import Any, cast

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
    Widget,
    create_widget,
)
from napari.utils.notifications import show_error, show_info, show_warning
from qtpy.QtCore import Qt, QTimer
from qtpy.QtGui import QPixmap
from qtpy.QtWidgets import QDialog, QLabel, QTextBrowser, QVBoxLayout
from superqt.utils import WorkerBase, create_worker

from quorvel._auto import Choice
from quorvel._text import format_search
from quorvel._tune import TuneResult
from quorvel._util import one_line
from quorvel.napari import _jobs
from quorvel.napari._layers import (
    layer_axes,
    layer_data,
    placement,
    preview_region,
    result_look,
    result_metadata,
)
from quorvel.napari._settings import (
    FIELDS,
    estimate_note,
    format_values,
    help_html,
    noise_options,
    parse_iterations,
    parse_patch_radius,
    parse_pvalue,
    parse_search,
    tooltip,
)

#: Errors shown as a one-line notification, as the command line does; any
#: other exception is a fault and goes to napari's error handling whole.
_USER_ERRORS = (ValueError, TypeError, OSError, RuntimeError, MemoryError)

_NOISE_CHOICES = [
    ("Auto", "auto"),
    ("Gaussian sigma", "gaussian"),
    ("Poisson-Gaussian gain, offset", "poisson-gaussian"),
]

_CHANNEL_CHOICES = [
    ("Auto: C each alone, S (RGB) together", "auto"),
    ("Each on its own", "independent"),
    ("Together", "joint"),
]

#: What an empty settings field shows: the value is chosen for each image.
_CHOSEN = "chosen for the image"

_PROGRESS_STEPS = 1000
_POLL_MS = 100
#: Widest the noise plot is drawn in the dock, in pixels.
_PLOT_WIDTH = 360


class DenoiseWidget(Container[Widget]):
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
        self._closed = False
        self._help: QDialog | None = None

        def text(name: str, value: str = "") -> LineEdit:
            return LineEdit(label=FIELDS[name].label, value=value, tooltip=tooltip(name))

        # A layer annotation gives a combo box of the viewer's image layers.
        self.image = cast(ComboBox, create_widget(annotation=napari.layers.Image, label="Image"))
        self.axes = text("axes")
        self.axes_note = Label(value="")
        self.noise = ComboBox(
            label=FIELDS["noise"].label,
            choices=_NOISE_CHOICES,
            value="auto",
            tooltip=tooltip("noise"),
        )
        self.sigma = text("sigma")
        self.gain = text("gain")
        self.offset = text("offset")
        # The standard errors of Estimate's gain and offset, while the fields hold them.
        self.noise_note = Label(value="")
        self.noise_note.native.setWordWrap(True)
        self._estimated: tuple[str, str, str] | None = None
        # The warnings of a running Estimate that its note shows too.
        self._estimate_warnings: list[str] | None = None
        self.estimate_button = PushButton(
            text="Estimate",
            tooltip="Measure the noise of the image and show how it grows with "
            "brightness; fills the camera gain, offset and noise level.",
        )
        # The noise plot of Estimate, a Qt label inside a container of its own.
        self.plot = QLabel()
        self.plot.setAlignment(Qt.AlignmentFlag.AlignCenter)
        plot_box: Container[Widget] = Container(labels=False)
        plot_box.native.layout().addWidget(self.plot)
        self.plot_note = Label(value="")
        self.patch_radius = text("patch_radius")
        self.search = text("search")
        self.iterations = text("iterations")
        self.pvalue = text("pvalue")
        for field in (self.patch_radius, self.search, self.iterations, self.pvalue):
            field.native.setPlaceholderText(_CHOSEN)
        self.channels = ComboBox(
            label=FIELDS["channels"].label,
            choices=_CHANNEL_CHOICES,
            value="auto",
            tooltip=tooltip("channels"),
        )
        self.renoise = FloatSpinBox(
            label=FIELDS["renoise"].label,
            value=0.0,
            min=0.0,
            max=1e6,
            step=0.1,
            tooltip=tooltip("renoise"),
        )
        self.tune = CheckBox(text=FIELDS["tune"].label, value=False, tooltip=tooltip("tune"))
        self.variance = CheckBox(
            text=FIELDS["variance"].label, value=False, tooltip=tooltip("variance")
        )
        self.preview_button = PushButton(
            text="Preview", tooltip="Denoise what the canvas shows of the current frame or plane."
        )
        self.run_button = PushButton(
            text="Run", tooltip="Denoise the whole layer into a new layer."
        )
        self.cancel_button = PushButton(text="Cancel", enabled=False)
        self.help_button = PushButton(text="Help", tooltip="What every field does, in full.")
        self.progress = ProgressBar(value=0, min=0, max=_PROGRESS_STEPS, label="Progress")
        self.status = Label(value="")
        # The settings of the last run or preview, those chosen for the image among them.
        self.used = Label(value="", label="Settings used")
        self.used.native.setWordWrap(True)
        buttons = Container(
            widgets=[self.preview_button, self.run_button, self.cancel_button, self.help_button],
            layout="horizontal",
            labels=False,
        )
        self.extend(
            [
                self.image,
                self.axes,
                self.axes_note,
                self.noise,
                self.sigma,
                self.gain,
                self.offset,
                self.noise_note,
                self.estimate_button,
                self.plot_note,
                plot_box,
                self.patch_radius,
                self.search,
                self.iterations,
                self.pvalue,
                self.channels,
                self.renoise,
                self.tune,
                self.variance,
                buttons,
                self.progress,
                self.status,
                self.used,
            ]
        )
        self._timer = QTimer(self.native)
        self._timer.setInterval(_POLL_MS)
        self._timer.timeout.connect(self._show_progress)
        # Closing the viewer deletes the widget's Qt objects: the run in
        # progress stops, and what its worker reports later is not shown.
        self.native.destroyed.connect(self._on_destroyed)

        self.image.changed.connect(self._on_layer)
        self.axes.changed.connect(self._note_axes)
        self.noise.changed.connect(self._show_noise_fields)
        self.gain.changed.connect(self._show_noise_note)
        self.offset.changed.connect(self._show_noise_note)
        self.estimate_button.changed.connect(self.estimate)
        self.preview_button.changed.connect(self.preview)
        self.run_button.changed.connect(self.run)
        self.cancel_button.changed.connect(self.cancel)
        self.help_button.changed.connect(self.show_help)
        self._guessed = ""
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
        """A new layer: its axes; the noise values, plot and status of the previous one go."""
        layer = self.image.value
        axes, source = (
            ("", "") if layer is None else layer_axes(layer, self._viewer.dims.axis_labels)
        )
        self._guessed = axes if source == "dimensions" else ""
        self.axes.value = axes
        self._note_axes()
        self._estimated = None
        for field in (self.sigma, self.gain, self.offset):
            field.value = ""
        self._show_plot(None, "")
        if not self.busy:
            self.status.value = ""
            self.used.value = ""
            self._set_bar(0.0)

    def _note_axes(self, *_: Any) -> None:
        """Say that the axes are a guess, while they are."""
        guessed = bool(self._guessed) and self.axes.value == self._guessed
        self.axes_note.value = (
            f"guessed from the {len(self._guessed)} dimensions: check them" if guessed else ""
        )
        self.axes_note.visible = guessed

    def _show_noise_fields(self, *_: Any) -> None:
        gaussian = self.noise.value == "gaussian"
        self.sigma.visible = gaussian
        self.gain.visible = self.offset.visible = not gaussian
        self._show_noise_note()

    def _show_noise_note(self, *_: Any) -> None:
        """Show the standard errors of Estimate while gain and offset hold its values."""
        shown = (
            self._estimated is not None
            and self.noise.value != "gaussian"
            and (self.gain.value, self.offset.value) == self._estimated[:2]
        )
        self.noise_note.value = self._estimated[2] if shown and self._estimated else ""
        self.noise_note.visible = bool(self.noise_note.value)

    def _layer(self) -> Any:
        layer = self.image.value
        if layer is None:
            raise ValueError("no image layer: open or choose one")
        return layer

    def denoise_options(self) -> dict[str, Any]:
        """The keyword arguments of `quorvel.denoise` that the fields set.

        Raises
        ------
        ValueError
            For a field that does not parse, naming it.
        """
        return {
            **noise_options(self.noise.value, self.sigma.value, self.gain.value, self.offset.value),
            "patch_radius": parse_patch_radius(self.patch_radius.value),
            "search": parse_search(self.search.value),
            "iterations": parse_iterations(self.iterations.value),
            "pvalue": parse_pvalue(self.pvalue.value),
            "channels": None if self.channels.value == "auto" else self.channels.value,
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
                "returned": self._while_open(on_result),
                "errored": self._while_open(self._on_error),
                "warned": self._while_open(self._on_warning),
                "finished": self._while_open(self._on_finished),
            },
        )

    def _while_open(self, handler: Any) -> Any:
        """`handler`, called only while the widget exists."""

        def call(*args: Any) -> None:
            if not self._closed:
                handler(*args)

        return call

    def _on_destroyed(self, *_: Any) -> None:
        self._closed = True
        if self.job is not None:
            self.job.cancel()

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
            layer = self._layer()
            self._estimate_warnings = []
            self._start(
                _jobs.estimate,
                layer_data(layer),
                self.axes.value,
                on_result=lambda estimate: self._fill_noise(layer, estimate),
                label="estimating",
            )

        self._guard(start)

    def _fill_noise(self, layer: Any, estimate: _jobs.Estimate) -> None:
        if self.image.value is not layer:  # the fields now belong to another layer
            self.status.value = f"noise of {layer.name} estimated; another layer is chosen now"
            return
        model = estimate.model
        self.gain.value = format_values(model.gain)
        self.offset.value = format_values(model.offset)
        self.sigma.value = format_values(model.sigma)
        note = estimate_note(model, self._estimate_warnings or [])
        self._estimated = (self.gain.value, self.offset.value, note)
        self._show_noise_note()
        self._show_plot(estimate.picture, estimate.note)
        self.status.value = "noise estimated"

    def _show_plot(self, picture: bytes | None, note: str) -> None:
        """Show the noise plot of Estimate (PNG bytes), or `note` without one."""
        pixmap = QPixmap()
        if picture is not None:
            pixmap.loadFromData(picture, "PNG")
            width = min(pixmap.width(), _PLOT_WIDTH)
            pixmap = pixmap.scaledToWidth(width, Qt.TransformationMode.SmoothTransformation)
        self.plot.setPixmap(pixmap)
        self.plot.setVisible(picture is not None)
        self.plot.setToolTip(
            "Noise of the image: local noise variance against local mean, per channel; "
            "the line is the fitted camera model (gain, offset)."
        )
        self.plot_note.value = note
        self.plot_note.visible = bool(note)

    def show_help(self, *_: Any) -> None:
        """Open the help: every field in plain words and its full description."""
        if self._help is None:
            self._help = QDialog(self.native)
            self._help.setWindowTitle("Denoise (quorvel): help")
            browser = QTextBrowser(self._help)
            browser.setHtml(help_html())
            layout = QVBoxLayout(self._help)
            layout.addWidget(browser)
            self._help.resize(560, 640)
        self._help.show()
        self._help.raise_()

    def preview(self, *_: Any) -> None:
        """Denoise the visible part of the current frame or plane into a temporary layer."""

        def start() -> None:
            layer = self._layer()
            axes = self.axes.value
            dims = self._viewer.dims
            region = preview_region(layer, axes, dims.point, dims.displayed)
            options = self.denoise_options()
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
        self,
        layer: Any,
        region: tuple[slice, ...],
        out: np.ndarray,
        tuned: TuneResult | None,
        choice: Choice | None,
    ) -> None:
        name = f"{layer.name} preview"
        where = placement(layer, [s.start for s in region])
        if name in self._viewer.layers:
            shown = self._viewer.layers[name]
            shown.data = out
            shown.translate = where["translate"]
        else:
            self._viewer.add_image(out, name=name, **result_look(layer), **where)
        self.status.value = f"preview of {' x '.join(map(str, out.shape))}" + (
            f"; tuned: {tuned.summary}" if tuned is not None else ""
        )
        self._show_used(choice)

    def run(self, *_: Any) -> None:
        """Denoise the whole layer into a new layer, with progress and Cancel."""

        def start() -> None:
            layer = self._layer()
            data = layer_data(layer)
            options = self.denoise_options()
            axes = self.axes.value
            variance = bool(self.variance.value)
            self.job = _jobs.Job()
            self._set_bar(0.0)
            self._start(
                _jobs.denoise,
                self.job,
                data,
                axes,
                options,
                variance,
                on_result=lambda outcome: self._add_result(layer, axes, options, variance, outcome),
                label="starting",
            )
            self._timer.start()

        self._guard(start)

    def cancel(self, *_: Any) -> None:
        """Stop the run in progress."""
        if self.job is not None:
            self.job.cancel()
            self.status.value = "cancelling"

    def _add_result(
        self,
        layer: Any,
        axes: str,
        options: dict[str, Any],
        variance: bool,
        outcome: _jobs.Outcome,
    ) -> None:
        self._timer.stop()  # the run's last words stay
        preview = f"{layer.name} preview"
        if preview in self._viewer.layers:
            self._viewer.layers.remove(preview)
        where = placement(layer)
        metadata = result_metadata(layer, axes, options, outcome, variance)
        self._viewer.add_image(
            outcome.denoised,
            name=f"{layer.name} denoised",
            metadata=metadata,
            **result_look(layer),
            **where,
        )
        if outcome.variance is not None:
            # One variance per sample: that of an RGB layer is placed as the layer is.
            self._viewer.add_image(
                outcome.variance,
                name=f"{layer.name} variance",
                metadata=metadata,
                rgb=layer.rgb,
                **where,
            )
        tuned = outcome.tuned
        self._set_bar(1.0)
        self.status.value = "done"
        self._show_used(outcome.choice)
        if tuned is not None:
            self._fill_tuned(tuned)
            self.status.value = f"done; tuned: {tuned.summary}"

    def _show_used(self, choice: Choice | None) -> None:
        """Show the settings a run used, and which of them were chosen for the image."""
        if choice is None:
            self.used.value = ""
            return
        chosen = "tuned" if choice.by_tuning else "chosen for this image" if choice.chosen else ""
        self.used.value = choice.summary + (f" ({chosen})" if chosen else "")

    def _fill_tuned(self, tuned: TuneResult) -> None:
        """Put the settings the tuner chose into their fields."""
        chosen = tuned.settings
        radius = chosen["patch_radius"]
        deep = any(r for axis, r in radius.items() if axis not in "XY")
        self.patch_radius.value = (
            ",".join(f"{axis}={r}" for axis, r in radius.items()) if deep else str(radius["X"])
        )
        self.iterations.value = str(chosen["iterations"])
        self.pvalue.value = f"{chosen['pvalue']:g}"
        if "search" in chosen:
            self.search.value = format_search(chosen["search"])

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
        """The stage of the run in progress, its percentage and the time left."""
        job = self.job
        if job is None or not job.stage:
            return
        self._set_bar(job.fraction)
        if not job.cancelled:
            self.status.value = job.describe()

    def _on_error(self, err: BaseException) -> None:
        self._timer.stop()  # the run's last words stay
        if isinstance(err, _jobs.Cancelled):
            self.status.value = "cancelled"
            show_info("quorvel: cancelled")
            return
        if not isinstance(err, _USER_ERRORS):
            raise err
        self.status.value = "error"
        show_error(f"quorvel: error: {one_line(err)}")

    def _on_warning(self, args: tuple[Any, ...]) -> None:
        if self._estimate_warnings is not None:
            self._estimate_warnings.append(str(args[0]))
        show_warning(f"quorvel: warning: {one_line(Warning(str(args[0])))}")

    def _on_finished(self) -> None:
        self._estimate_warnings = None
        self._timer.stop()
        if self.progress.native.maximum() == 0:  # still busy: stopped without a result
            self._set_bar(0.0)
        self.job = None
        self._set_busy(False)
