"""The napari plugin's reader and writer, headless through the npe2 API."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pytest

npe2 = pytest.importorskip("npe2")
tifffile = pytest.importorskip("tifffile")

from quorvel import io as qio  # noqa: E402
from quorvel.napari import _reader  # noqa: E402

# A TZCYX hyperstack: 3 frames 2 s apart, 4 planes 0.5 um apart, 2 channels, 0.2 um pixels.
SHAPE = (3, 4, 2, 24, 20)
SCALE = [2.0, 0.5, 0.2, 0.2]
UNITS = ["second", "micrometer", "micrometer", "micrometer"]
PHYSICAL = {
    "T": (2.0, "second"),
    "Z": (0.5, "micrometer"),
    "Y": (0.2, "micrometer"),
    "X": (0.2, "micrometer"),
}


@pytest.fixture(scope="module", autouse=True)
def plugins() -> None:
    npe2.PluginManager.instance().discover()


def _stack() -> np.ndarray:
    return np.random.default_rng(0).integers(100, 4000, SHAPE, dtype=np.uint16)


def _write(tmp: Path, kind: str, data: np.ndarray) -> Path:
    named = {"physical": PHYSICAL, "channels": ["DAPI", "GFP"]}
    if kind in ("imagej", "lazy"):  # as ImageJ saves a hyperstack: no channel names
        path = tmp / "cells.tif"
        tifffile.imwrite(
            path,
            data,
            imagej=True,
            resolution=(5.0, 5.0),
            metadata={"axes": "TZCYX", "spacing": 0.5, "unit": "um", "finterval": 2.0},
        )
    elif kind == "ome-zarr":  # stored in OME order TCZYX, with a second level
        import dask.array as da

        path = tmp / "cells.ome.zarr"
        da.compute(qio.write_zarr(path, da.from_array(data), "TZCYX", named, ome=True, levels=2))
    else:
        path = tmp / ("cells.ome.tif" if kind == "ome-tiff" else "cells.npy")
        qio.write_image(path, data, "TZCYX", named)
    return path


@pytest.mark.parametrize("kind", ["imagej", "lazy", "ome-tiff", "ome-zarr", "npy"])
def test_reader_gives_a_layer_per_channel_with_axes_and_scale(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, kind: str
) -> None:
    data = _stack()
    path = _write(tmp_path, kind, data)
    if kind == "lazy":
        monkeypatch.setattr(_reader, "LAZY_BYTES", 0)
    layers = npe2.read([str(path)], stack=False, plugin_name="quorvel")

    names = (
        ["cells channel 0", "cells channel 1"] if kind in ("imagej", "lazy") else ["DAPI", "GFP"]
    )
    assert [kwargs["name"] for _, kwargs, _ in layers] == names
    for c, (layer, kwargs, layer_type) in enumerate(layers):
        assert layer_type == "image"
        assert kwargs["metadata"]["axes"] == "TZYX"
        assert kwargs["metadata"]["source"] == str(path)
        assert kwargs["scale"] == pytest.approx(SCALE)
        assert kwargs["units"] == UNITS
        assert kwargs["axis_labels"] == ["t", "z", "y", "x"]
        assert kwargs["colormap"] == ["magenta", "green"][c]
        levels = layer if kwargs["multiscale"] else [layer]
        assert len(levels) == (2 if kind == "ome-zarr" else 1)
        assert (type(levels[0]).__module__.startswith("dask")) == (kind in ("lazy", "ome-zarr"))
        np.testing.assert_array_equal(np.asarray(levels[0]), data[:, :, c])


@pytest.mark.parametrize(
    ("data", "shown"),
    [
        (np.zeros(5), "not a 1-D array of float64"),
        (np.ones((4, 4), complex), "not a 2-D array of complex128"),
        (np.eye(4, dtype=bool), np.eye(4, dtype=np.uint8)),  # napari draws no bool image
    ],
)
def test_reader_gives_napari_only_what_it_can_show(tmp_path: Path, data: Any, shown: Any) -> None:
    np.save(tmp_path / "a.npy", data)
    if isinstance(shown, str):
        with pytest.raises(ValueError, match=shown):
            _reader.read_layers(str(tmp_path / "a.npy"))
        return
    (layer, _, _), *_ = _reader.read_layers(str(tmp_path / "a.npy"))
    assert layer.dtype == shown.dtype
    np.testing.assert_array_equal(layer, shown)


def test_writer_saves_ome_tiff_with_provenance(tmp_path: Path) -> None:
    data = _stack()
    path = _write(tmp_path, "ome-tiff", data)
    (layer, kwargs, _), _ = npe2.read([str(path)], stack=False, plugin_name="quorvel")
    record = {"software": "quorvel", "noise": [{"channel": 0, "model": "gaussian", "sigma": 3.5}]}
    denoised = layer.astype(np.float32) / 2
    attributes: dict[str, Any] = {
        **kwargs,
        "name": "DAPI denoised",
        "metadata": {**kwargs["metadata"], "provenance": record},
    }
    # No plugin named: napari's choice by the file name, as File > Save does.
    (written,) = npe2.write(str(tmp_path / "out.ome.tif"), [(denoised, attributes, "image")])

    back = qio.read_image(written)
    assert back.axes == "TZYX"
    np.testing.assert_array_equal(back.data, denoised)
    assert back.metadata["provenance"] == record
    assert back.metadata["channels"] == ["DAPI"]
    assert back.metadata["colours"] == ["FF00FF"]  # the layer's magenta
    assert back.metadata["physical"] == PHYSICAL
    ((_, again, _),) = npe2.read([written], stack=False, plugin_name="quorvel")
    assert again["scale"] == pytest.approx(SCALE) and again["name"] == "DAPI"
    assert again["metadata"]["provenance"] == record


@pytest.mark.parametrize(
    ("shape", "kwargs", "axes", "physical", "colours"),
    [
        ((6, 5, 3), {"rgb": True, "axis_labels": ("y", "x")}, "YXS", {}, None),
        ((6, 5, 3), {"rgb": True, "scale": (0.5, 0.5), "units": ("um", "um")}, "YXS",
         {"Y": (0.5, "micrometer"), "X": (0.5, "micrometer")}, None),
        ((2, 6, 5), {"scale": (2.0, 0.3, 0.3), "units": ("um", "um", "um")}, "ZYX",
         {"Z": (2.0, "micrometer"), "Y": (0.3, "micrometer"), "X": (0.3, "micrometer")},
         ["FFFFFF"]),  # gray
        ((6, 5), {"colormap": "magenta", "axis_labels": ("y", "x")}, "YX", {}, ["FF00FF"]),
    ],
)  # fmt: skip
def test_writer_saves_a_layer_made_in_napari_as_it_is_shown(
    tmp_path: Path,
    shape: tuple[int, ...],
    kwargs: dict[str, Any],
    axes: str,
    physical: dict[str, Any],
    colours: list[str] | None,
) -> None:
    napari = pytest.importorskip("napari")
    data = np.random.default_rng(0).integers(0, 255, shape).astype(np.uint8)
    layer = napari.layers.Image(data, **kwargs)
    # What File > Save hands the writer: the layer's data and state.
    (written,) = npe2.write(str(tmp_path / "out.ome.tif"), [layer.as_layer_data_tuple()])
    back = qio.read_image(written)
    assert back.axes == axes
    np.testing.assert_array_equal(back.data, data)
    assert back.metadata.get("physical", {}) == physical
    assert back.metadata.get("colours") == colours


@pytest.mark.parametrize("source", ["ome-zarr level", "rgb layer", "layer in pixels"])
def test_writer_keeps_where_the_layer_lies(tmp_path: Path, source: str) -> None:
    """A layer's translate survives OME-TIFF: a saved layer reopens where it was shown."""
    if source == "ome-zarr level":  # level 1 of a pyramid: moved by half a fine pixel
        import dask.array as da

        data = np.random.default_rng(1).integers(0, 999, (4, 12, 10), dtype=np.uint16)
        named = {"physical": {a: PHYSICAL[a] for a in "ZYX"}, "origin": {"Z": 3.0}}
        path = tmp_path / "a.ome.zarr"
        da.compute(qio.write_zarr(path, da.from_array(data), "ZYX", named, ome=True, levels=2))
        (layer,) = _reader._layers(path, [qio.read_image(path, level=1)])
        assert layer[1]["translate"] == pytest.approx([3.0, 0.1, 0.1])
    else:
        napari = pytest.importorskip("napari")
        rgb = np.random.default_rng(1).integers(0, 255, (2, 6, 5, 3), dtype=np.uint8)
        kwargs: dict[str, Any] = {"rgb": True, "scale": (2, 0.5, 0.5), "units": ("um",) * 3}
        if source == "layer in pixels":  # napari's default units: no physical size
            rgb, kwargs = rgb[..., 0], {}
        kwargs["translate"] = (-4, 7, 1)
        layer = napari.layers.Image(rgb, **kwargs).as_layer_data_tuple()
    (written,) = npe2.write(str(tmp_path / "out.ome.tif"), [layer])
    ((_, again, _),) = npe2.read([written], stack=False, plugin_name="quorvel")
    assert again["translate"] == pytest.approx(list(layer[1]["translate"]))
    assert any(layer[1]["translate"])


@pytest.mark.parametrize(
    ("values", "saved"),
    [
        (np.arange(30).reshape(6, 5) - 7, np.int32),  # NumPy's default integers
        (np.arange(30, dtype=np.uint64).reshape(6, 5) * 2**20, np.uint32),
        (np.linspace(0, 1, 30, dtype=np.float16).reshape(6, 5), np.float32),
        (np.arange(30).reshape(6, 5) * 2**40, None),  # beyond 32 bits: refused
    ],
)
def test_writer_saves_layers_of_numpy_default_types(
    tmp_path: Path, values: np.ndarray, saved: type | None
) -> None:
    path = tmp_path / "out.ome.tif"
    if saved is None:
        with pytest.raises(ValueError, match="values run from 0 to 31885837205504"):
            npe2.write(str(path), [(values, {}, "image")], plugin_name="quorvel")
        assert not path.exists()
        return
    (written,) = npe2.write(str(path), [(values, {}, "image")], plugin_name="quorvel")
    back = qio.read_image(written).data
    assert back.dtype == saved
    np.testing.assert_array_equal(back, values)


def test_reader_opens_every_position_of_a_multi_position_file(tmp_path: Path) -> None:
    path = tmp_path / "plate.ome.tif"
    first, second = _stack()[0, :, 0], _stack()[:, 0, 1, :16]
    with tifffile.TiffWriter(path) as tif:
        tif.write(first, metadata={"axes": "ZYX", "PhysicalSizeX": 0.2, "PhysicalSizeY": 0.2})
        tif.write(second, metadata={"axes": "TYX", "PhysicalSizeX": 0.5, "PhysicalSizeY": 0.5})
    layers = npe2.read([str(path)], stack=False, plugin_name="quorvel")
    assert [kwargs["name"] for _, kwargs, _ in layers] == ["plate series 0", "plate series 1"]
    for (data, kwargs, _), image, scale in zip(layers, (first, second), (0.2, 0.5), strict=True):
        np.testing.assert_array_equal(data, image)
        assert kwargs["scale"] == [1.0, scale, scale]
    assert [kwargs["metadata"]["series"] for _, kwargs, _ in layers] == [0, 1]
