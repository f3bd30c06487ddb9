"""The napari plugin in a real viewer (under Xvfb): widget, preview, run, cancel."""

from __future__ import annotations

import logging
import re
import threading
from pathlib import Path
from typing import Any

import numpy as np
import pytest

napari = pytest.importorskip("napari")
pytest.importorskip("pytestqt")

import quorvel  # noqa: E402
from quorvel import io as qio  # noqa: E402
from quorvel._provenance import noise_by_channel  # noqa: E402
from quorvel._run import _run_denoise  # noqa: E402
from quorvel._tune import TuneResult  # noqa: E402
from quorvel.napari import _jobs, _widget  # noqa: E402
from quorvel.napari._layers import layer_axes  # noqa: E402
from quorvel.napari._settings import FIELDS, parameter_docs, uncertainty_note  # noqa: E402

# Small and quick: Gaussian noise of a known sigma, two iterations.
SETTINGS = {"noise": "gaussian", "sigma": (4.0,), "patch_radius": 2, "iterations": 2}
WAIT_MS = 120_000


def _noisy(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0 : shape[-2], 0 : shape[-1]]
    scene = 100.0 + 50.0 * np.sin(xx / 5.0) * np.cos(yy / 7.0)
    return (scene + rng.normal(0.0, 4.0, shape)).astype(np.float32)


def _dock(viewer: Any) -> Any:
    _, widget = viewer.window.add_plugin_dock_widget("quorvel", "Denoise")
    return widget


def _set(widget: Any) -> None:
    """The fields of `SETTINGS`."""
    widget.noise.value = "gaussian"
    widget.sigma.value = "4"
    widget.patch_radius.value = "2"
    widget.iterations.value = 2


def _finish(qtbot: Any, widget: Any) -> None:
    qtbot.waitUntil(lambda: not widget.busy, timeout=WAIT_MS)


@pytest.fixture
def errors(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    """Messages of the error notifications the widget shows."""
    shown: list[str] = []
    monkeypatch.setattr(_widget, "show_error", shown.append)
    return shown


@pytest.mark.parametrize(
    ("shape", "kwargs", "viewer_labels", "expected"),
    [
        ((4, 16, 16), {"metadata": {"axes": "tyx"}}, (), ("TYX", "metadata")),
        # metadata that does not fit is ignored
        ((4, 16, 16), {"metadata": {"axes": "TZYX"}}, (), ("ZYX", "dimensions")),
        ((4, 16, 16), {"axis_labels": ("t", "y", "x")}, (), ("TYX", "labels")),
        ((2, 4, 16, 16), {}, ("c", "t", "y", "x"), ("CTYX", "labels")),
        ((16, 16, 3), {"rgb": True}, (), ("YXS", "dimensions")),
        ((4, 3, 16, 16), {}, ("0", "1", "2", "3"), ("TZYX", "dimensions")),
    ],
)
def test_axes_and_their_source(
    shape: tuple[int, ...],
    kwargs: dict[str, Any],
    viewer_labels: tuple[str, ...],
    expected: tuple[str, str],
) -> None:
    layer = napari.layers.Image(np.zeros(shape, np.uint8), **kwargs)
    assert layer_axes(layer, viewer_labels) == expected


def test_sample_widget_and_estimate(make_napari_viewer: Any, qtbot: Any) -> None:
    viewer = make_napari_viewer()
    viewer.open_sample("quorvel", "timelapse")
    assert [layer.name for layer in viewer.layers] == ["noisy time-lapse", "truth"]
    dock, widget = viewer.window.add_plugin_dock_widget("quorvel", "Denoise")
    assert dock.name == "Denoise (quorvel)"
    noisy = viewer.layers["noisy time-lapse"]
    assert widget.image.value is noisy
    assert widget.axes.value == "TYX" and not widget.axes_note.visible
    # Short tooltips; the help holds every parameter's description whole.
    assert "search window" in widget.search.tooltip
    assert all(len(field.tip) < 160 for field in FIELDS.values())
    widget.help_button.native.click()
    shown = widget._help.findChild(_widget.QTextBrowser).toPlainText()
    assert " ".join(parameter_docs()["search"].split()) in " ".join(shown.split())

    widget.estimate()
    _finish(qtbot, widget)
    model = quorvel.estimate_noise(noisy.data, "TYX")
    assert np.allclose([float(widget.gain.value)], model.gain, rtol=1e-5)
    assert np.allclose([float(widget.offset.value)], model.offset, rtol=1e-5)
    assert np.allclose([float(widget.sigma.value)], model.sigma, rtol=1e-5)
    assert widget.status.value == "noise estimated"
    assert widget.plot.isVisibleTo(widget.native) and widget.plot.pixmap().width() > 100
    # The standard errors beside gain and offset, while the fields hold the estimate.
    assert f"gain \u00b1 {model.gain_se[0]:.3g}, offset \u00b1 {model.offset_se[0]:.3g}" in (
        widget.noise_note.value
    )
    note = widget.noise_note.native
    assert note.isVisibleTo(widget.native) and "calibrate" not in widget.noise_note.value
    widget.gain.value = "3"
    assert not note.isVisibleTo(widget.native)
    widget.gain.value = f"{model.gain[0]:.6g}"
    assert note.isVisibleTo(widget.native)
    widget.noise.value = "gaussian"
    assert not note.isVisibleTo(widget.native)
    widget.noise.value = "auto"

    # Another layer: nothing of the previous one stays; its axes are a guess, and said so.
    widget.progress.value = 1000
    viewer.add_image(np.zeros((3, 4, 16, 16), np.float32), name="stack")
    widget.image.value = viewer.layers["stack"]
    assert widget.axes.value == "TZYX" and "guessed" in widget.axes_note.value
    assert (widget.gain.value, widget.status.value, widget.progress.value) == ("", "", 0)
    assert not widget.plot.isVisibleTo(widget.native)
    assert not note.isVisibleTo(widget.native)
    widget.axes.value = "CZYX"
    assert not widget.axes_note.visible


@pytest.mark.parametrize(
    ("gain_se", "offset_se", "expected", "warned"),
    [
        ((0.05, 0.5), (1.0, np.nan), "gain \u00b1 0.05, 0.5; offset \u00b1 1, -", "channel 1 "),
        ((0.05, 0.09), (1.0, 2.0), "gain \u00b1 0.05, 0.09; offset \u00b1 1, 2", ""),
        ((np.nan, np.nan), (np.nan, np.nan), "", ""),  # no standard errors: no note
    ],
)
def test_noise_note_of_an_estimate(
    gain_se: tuple[float, float], offset_se: tuple[float, float], expected: str, warned: str
) -> None:
    model = quorvel.NoiseModel((2.0, 1.0), (5.0, 3.0), gain_se=gain_se, offset_se=offset_se)
    note = uncertainty_note(model)
    assert expected in note and bool(expected) == bool(note)
    assert ("calibrate the camera (quorvel calibrate)" in note) == bool(warned)
    assert (warned in note) and "channel 0" not in note


def test_estimate_note_says_when_the_line_misses_the_dark_ground(
    make_napari_viewer: Any, qtbot: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Its warning was a passing notification only, while the dock's note
    # showed standard errors of 5 % under a gain 6.6 times the camera's.
    from test_calibration import _spot_frame

    monkeypatch.setattr(_widget, "show_warning", lambda _: None)
    viewer = make_napari_viewer()
    viewer.add_image(_spot_frame(6414, 64, 0), name="spots")
    _, widget = viewer.window.add_plugin_dock_widget("quorvel", "Denoise")
    widget.axes.value = "YX"
    widget.estimate()
    _finish(qtbot, widget)
    assert "The fitted noise line misses the image's dark ground" in widget.noise_note.value


@pytest.mark.parametrize("kind", ["numpy", "dask", "multiscale"])
def test_run_matches_denoise_and_keeps_placement(
    make_napari_viewer: Any, qtbot: Any, kind: str
) -> None:
    image = _noisy((3, 48, 64))
    data: Any = image
    if kind == "dask":
        da = pytest.importorskip("dask.array")
        data = da.from_array(image, chunks=(1, 48, 32))
    elif kind == "multiscale":
        data = [image, image[:, ::2, ::2]]
    viewer = make_napari_viewer()
    layer = viewer.add_image(
        data,
        name="cells",
        scale=(2.0, 0.5, 0.25),
        translate=(1.0, 10.0, -3.0),
        metadata={"axes": "TYX", "objective": "60x"},
        multiscale=kind == "multiscale",
    )
    widget = _dock(viewer)
    _set(widget)
    widget.noise.value = "auto"  # estimated: the record holds the model applied
    widget.run()
    _finish(qtbot, widget)

    out = viewer.layers["cells denoised"]
    with pytest.warns(RuntimeWarning, match="gain is not positive in channel 0"):
        expected, _, plan = _run_denoise(
            image, "TYX", **_jobs._with_defaults(widget.denoise_options())
        )
    np.testing.assert_array_equal(np.asarray(out.data), expected)
    np.testing.assert_array_equal(out.scale, layer.scale)
    np.testing.assert_array_equal(out.translate, layer.translate)
    metadata = dict(out.metadata)
    record = metadata.pop("provenance")
    assert metadata == layer.metadata
    assert record["noise"] == noise_by_channel(plan)
    assert record["parameters"]["patch_radius"] == 2 and record["parameters"]["axes"] == "TYX"


def test_variance_of_an_rgb_layer_is_placed_as_its_image(
    make_napari_viewer: Any, qtbot: Any
) -> None:
    viewer = make_napari_viewer()
    data = np.clip(_noisy((24, 32, 3)), 0, 255).astype(np.uint8)
    layer = viewer.add_image(data, name="cells", rgb=True, scale=(0.5, 0.5), translate=(4, 4))
    widget = _dock(viewer)
    _set(widget)
    widget.variance.value = True
    widget.run()
    _finish(qtbot, widget)
    variance = viewer.layers["cells variance"]
    assert variance.data.shape == data.shape and variance.rgb
    np.testing.assert_array_equal(variance.scale, layer.scale)
    np.testing.assert_array_equal(variance.translate, layer.translate)


def test_preview_of_the_visible_region(make_napari_viewer: Any, qtbot: Any) -> None:
    image = _noisy((5, 128, 128))
    viewer = make_napari_viewer(show=True)
    layer = viewer.add_image(image, name="cells", scale=(1.0, 2.0, 2.0), translate=(0, 5, 7))
    widget = _dock(viewer)
    widget.axes.value = "TYX"
    _set(widget)
    viewer.dims.set_point(0, 3)
    viewer.scene.camera.center = (0.0, 5 + 2 * 40.0, 7 + 2 * 90.0)
    viewer.scene.camera.zoom = 8.0
    qtbot.waitUntil(lambda: layer.corner_pixels[0, 1] > 0, timeout=WAIT_MS)

    widget.preview()
    _finish(qtbot, widget)
    shown = viewer.layers["cells preview"]
    lo, hi = layer.corner_pixels  # first and last pixel on the canvas, along (T, Y, X)
    assert lo[1] > 0 and hi[2] < 127
    assert shown.data.shape == (1, hi[1] - lo[1] + 1, hi[2] - lo[2] + 1)
    np.testing.assert_array_equal(shown.translate, (3, 5 + 2 * lo[1], 7 + 2 * lo[2]))
    crop = image[3:4, lo[1] : hi[1] + 1, lo[2] : hi[2] + 1]
    np.testing.assert_array_equal(shown.data, quorvel.denoise(crop, "TYX", **SETTINGS))


def test_tune_fills_the_chosen_settings(
    make_napari_viewer: Any, qtbot: Any, errors: list[str], caplog: pytest.LogCaptureFixture
) -> None:
    image = _noisy((96, 96))
    viewer = make_napari_viewer()
    viewer.add_image(image, name="cells")
    widget = _dock(viewer)
    widget.noise.value = "gaussian"
    widget.sigma.value = "4"
    widget.tune.value = True
    start = widget.denoise_options()
    widget.run()
    _finish(qtbot, widget)

    with caplog.at_level(logging.INFO, logger="quorvel"):
        expected = quorvel.denoise(image, "YX", **start)
    (logged,) = [r.getMessage() for r in caplog.records if r.getMessage().startswith("tuned: ")]
    np.testing.assert_array_equal(viewer.layers["cells denoised"].data, expected)
    assert widget.status.value.startswith("done; tuned: patch radius ")
    assert logged.startswith(widget.status.value.removeprefix("done; ") + " (risk ")
    chosen = widget.denoise_options()
    assert chosen.pop("tune") is True
    np.testing.assert_array_equal(quorvel.denoise(image, "YX", **chosen), expected)

    # A dask layer is tuned on the same crops, and chunked denoising is exact.
    da = pytest.importorskip("dask.array")
    viewer.add_image(da.from_array(image, chunks=(48, 48)), name="lazy")
    widget.image.value = viewer.layers["lazy"]
    widget.tune.value = True
    expected = quorvel.denoise(image, "YX", **widget.denoise_options())
    widget.run()
    _finish(qtbot, widget)
    assert errors == []
    np.testing.assert_array_equal(viewer.layers["lazy denoised"].data, expected)
    assert widget.status.value.startswith("done; tuned: patch radius ")

    # A radius along T goes into the field too: a run without tune repeats the choice.
    chosen = {"patch_radius": {"X": 2, "Y": 2, "T": 1}, "iterations": 5, "pvalue": 0.001}
    widget._fill_tuned(TuneResult(chosen, 0.0, (), 1))
    assert widget.denoise_options()["patch_radius"] == chosen["patch_radius"]


@pytest.mark.parametrize("kind", ["numpy", "dask"])
def test_cancel_stops_a_run(
    make_napari_viewer: Any, qtbot: Any, monkeypatch: pytest.MonkeyPatch, kind: str
) -> None:
    data: Any = _noisy((10, 320, 320))
    stopped: list[int] = []  # chunks stopped while running
    if kind == "dask":
        data = pytest.importorskip("dask.array").from_array(data, chunks=(1, 320, 320))
        block = quorvel._lazy._denoise_block

        def recorded(*args: Any, **kwargs: Any) -> Any:
            try:
                return block(*args, **kwargs)
            except quorvel._progress.Interrupted:
                stopped.append(1)
                raise

        monkeypatch.setattr(quorvel._lazy, "_denoise_block", recorded)
    viewer = make_napari_viewer()
    viewer.add_image(data, name="cells", metadata={"axes": "TYX"})
    widget = _dock(viewer)
    widget.noise.value = "auto"
    widget.run()
    job = widget.job
    # Cancel in the middle of the denoiser's run, its time left on show.
    shows_time_left = re.compile(r"denoising \d+ % \(about \d+:\d\d left\)")
    qtbot.waitUntil(lambda: bool(shows_time_left.fullmatch(widget.status.value)))
    assert widget.cancel_button.enabled
    widget.cancel_button.native.click()
    _finish(qtbot, widget)

    assert [layer.name for layer in viewer.layers] == ["cells"]
    assert widget.status.value == "cancelled"
    assert job.fraction < 1.0
    assert bool(stopped) == (kind == "dask")  # not left to run to their end


def test_cancel_stops_the_tuning(
    make_napari_viewer: Any, qtbot: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    viewer = make_napari_viewer()
    viewer.add_image(_noisy((3, 64, 64)), name="cells", metadata={"axes": "TYX"})
    widget = _dock(viewer)
    _set(widget)
    widget.tune.value = True
    runs: list[str] = []
    engine_run = quorvel._tune.risk._advance

    def cancel_at_the_first(*args: Any) -> Any:
        runs.append(widget.job.describe())
        if len(runs) == 1:
            widget.job.cancel()  # as the Cancel button does, from the worker thread here
        return engine_run(*args)

    monkeypatch.setattr(quorvel._tune.risk, "_advance", cancel_at_the_first)
    widget.run()
    _finish(qtbot, widget)
    assert widget.status.value == "cancelled"
    assert [layer.name for layer in viewer.layers] == ["cells"]
    assert len(runs) <= 2  # the runs already started; the whole tuning takes many more
    assert runs[0] == "tuning 0 %"


@pytest.mark.parametrize("change", ["layer removed", "viewer closed"])
def test_a_task_outlived_by_its_layer_or_viewer(
    make_napari_viewer: Any, qtbot: Any, monkeypatch: pytest.MonkeyPatch, change: str
) -> None:
    viewer = make_napari_viewer()
    first = viewer.add_image(_noisy((32, 32)) * 10, name="first")
    viewer.add_image(_noisy((32, 32), seed=1), name="second")
    widget = _dock(viewer)
    widget.image.value = first
    task = "estimate" if change == "layer removed" else "denoise"
    go, real = threading.Event(), getattr(_jobs, task)

    def held(*args: Any) -> Any:  # the worker waits while the change is made
        assert go.wait(WAIT_MS / 1000)
        return real(*args)

    monkeypatch.setattr(_jobs, task, held)
    widget.estimate() if task == "estimate" else widget.run()
    worker, job = widget.worker, widget.job
    if change == "layer removed":
        viewer.layers.remove(first)
    else:
        viewer.close()
    with qtbot.waitSignal(worker.finished, timeout=WAIT_MS):
        go.set()
    if change == "layer removed":  # the estimate of the first is not shown as the second's
        assert widget.image.value is viewer.layers["second"]
        assert (widget.gain.value, widget.sigma.value) == ("", "")
    else:  # the run stops; nothing is shown in the widgets that went (no Qt error)
        assert job.cancelled


def test_bad_settings_are_one_line_errors(
    make_napari_viewer: Any, qtbot: Any, errors: list[str]
) -> None:
    viewer = make_napari_viewer()
    viewer.add_image(_noisy((32, 32)), name="cells")
    widget = _dock(viewer)
    _set(widget)
    widget.axes.value = "YQ"
    widget.run()
    _finish(qtbot, widget)
    widget.axes.value = "YX"
    widget.patch_radius.value = "X=two"
    widget.preview()
    assert errors == [
        "quorvel: error: axes 'YQ': unknown axis 'Q'; use T (time), C or S (channel), Z, Y and X",
        "quorvel: error: patch radius: expected a radius such as 3, or radii by axis such as "
        "X=3,Y=3,Z=1; got 'X=two'",
    ]
    assert len(viewer.layers) == 1 and not widget.busy


def test_function_contribution(make_napari_viewer: Any) -> None:
    viewer = make_napari_viewer()
    image = _noisy((40, 40))
    viewer.add_image(image, name="cells")
    _, function = viewer.window.add_plugin_dock_widget("quorvel", "Denoise image (function)")
    function(axes="YX", noise="gaussian", iterations=2)
    expected = quorvel.denoise(image, "YX", noise="gaussian", iterations=2)
    np.testing.assert_array_equal(viewer.layers[-1].data, expected)


def test_imagej_hyperstack_opened_denoised_and_saved(
    make_napari_viewer: Any, qtbot: Any, tmp_path: Path, errors: list[str]
) -> None:
    tifffile = pytest.importorskip("tifffile")
    from quorvel.demo import Camera, record

    # TZCYX: 4 frames 2 s apart, 5 planes 0.5 um apart, 2 channels, 0.2 um pixels.
    yy, xx = np.mgrid[0:32, 0:32]
    photons = 20.0 + 15.0 * np.sin(xx / 4.0) * np.cos(yy / 5.0)
    photons = np.broadcast_to(photons, (4, 5, 2, 32, 32))
    stack = np.clip(record(photons, Camera()), 0, 65535).astype(np.uint16)
    path = tmp_path / "cells.tif"
    ij = {"axes": "TZCYX", "spacing": 0.5, "unit": "um", "finterval": 2.0}
    tifffile.imwrite(path, stack, imagej=True, resolution=(5.0, 5.0), metadata=ij)

    viewer = make_napari_viewer()
    viewer.open(path, plugin="quorvel")
    assert [layer.name for layer in viewer.layers] == ["cells channel 0", "cells channel 1"]
    layer = viewer.layers["cells channel 1"]
    np.testing.assert_allclose(layer.scale, (2.0, 0.5, 0.2, 0.2))
    widget = _dock(viewer)
    widget.image.value = layer
    assert widget.axes.value == "TZYX" and not widget.axes_note.visible
    widget.run()  # the defaults
    _finish(qtbot, widget)
    assert errors == []
    out = viewer.layers["cells channel 1 denoised"]
    np.testing.assert_array_equal(out.data, quorvel.denoise(stack[:, :, 1], "TZYX"))

    viewer.layers.selection = {out}
    saved = tmp_path / "denoised.ome.tif"
    viewer.layers.save(str(saved), selected=True)
    back = qio.read_image(saved)
    assert back.axes == "TZYX"
    assert back.metadata["physical"]["Z"] == (0.5, "micrometer")
    assert back.metadata["provenance"] == out.metadata["provenance"]
    assert back.metadata["provenance"]["noise"][0]["model"] == "poisson-gaussian"
    assert back.metadata["provenance"]["source"] == str(path)
