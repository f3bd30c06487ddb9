"""Microscopy files: OME-TIFF, OME-Zarr, vendor formats through bioio, batches, provenance."""

from __future__ import annotations

import json
import re
import uuid
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import tifffile
from test_cli import listing, noisy_stack, run

import quorvel
from quorvel.io import ImageData, read_image, read_lazy, write_image

OME_META = {
    "axes": "TCYX",
    "PhysicalSizeX": 0.2,
    "PhysicalSizeXUnit": "µm",
    "PhysicalSizeY": 0.25,
    "PhysicalSizeYUnit": "µm",
    "TimeIncrement": 1.5,
    "TimeIncrementUnit": "s",
    "Channel": {"Name": ["GFP", "RFP"]},
}
SIZES = {"X": (0.2, "micrometer"), "Y": (0.25, "micrometer"), "T": (1.5, "second")}


@pytest.mark.parametrize("command", ["denoise", "estimate", "info"])
@pytest.mark.parametrize(
    ("writer", "message"),
    [
        ("imagej", "holds 1 of the 3 images"),
        ("ome", "cut short or damaged"),
        # One page cut within its pixels: `info` reported it as sound.
        ("plain", "cut short or damaged"),
        # Cut within the OME-XML, written last: read with its axes unknown
        # (T and C as one axis of 6 planes) and only a warning.
        ("ome-end", "its axes and sizes are unknown"),
    ],
)
def test_truncated_tiff_fails_in_one_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], command: str, writer: str, message: str
) -> None:
    src = tmp_path / "cut.tif"
    if writer == "plain":
        tifffile.imwrite(src, noisy_stack((64, 64)))
    elif writer == "ome-end":
        tifffile.imwrite(src, noisy_stack((2, 3, 32, 32)), metadata={"axes": "TCYX"}, ome=True)
    else:
        tifffile.imwrite(src, noisy_stack((3, 32, 32)), metadata={"axes": "TYX"}, **{writer: True})
    size = src.stat().st_size
    src.write_bytes(src.read_bytes()[: size - 50 if writer == "ome-end" else size // 2])
    extra = ["-o", tmp_path / "out.tif"] if command == "denoise" else []
    status, out, err = run(capsys, command, src, *extra)
    assert status == 1 and out == ""
    assert err.count("\n") == 1 and message in err
    assert listing(tmp_path) == {"cut.tif"}


@pytest.mark.parametrize(
    "options",
    [
        {"tile": (16, 16), "compression": "zlib"},
        {"imagej": True, "compression": "zlib", "metadata": {"axes": "TYX"}},
        {"bigtiff": True, "tile": (16, 16)},
    ],
)
@pytest.mark.parametrize("into", [10, 30, 60])
def test_tiff_cut_within_its_last_tags_is_refused_as_damaged(
    tmp_path: Path, options: dict[str, Any], into: int
) -> None:
    # tifffile failed on such files with struct.error, not the ValueError or
    # OSError that callers (and napari) expect of a file that cannot be read.
    src = tmp_path / "cut.tif"
    tifffile.imwrite(src, noisy_stack((4, 32, 32)), photometric="minisblack", **options)
    with tifffile.TiffFile(src) as tif:
        end = tif.pages[-1].offset + into
    src.write_bytes(src.read_bytes()[:end])
    for reader in (quorvel.io.read_header, read_image, read_lazy):
        with pytest.raises(ValueError, match=r"cut\.tif: the file is cut short or damaged"):
            reader(src)


@pytest.mark.parametrize(
    ("kind", "missing"),
    [("v3", 1), ("v2", 1), ("ome", 1), ("v3", 2), ("own-zero-plane", 0), ("never-written", 0)],
)
def test_zarr_store_missing_chunks_warns_with_their_count(
    tmp_path: Path, kind: str, missing: int
) -> None:
    # zarr reads a chunk missing from the store as its fill value: a store
    # copied in part was denoised as zeros without a word.
    import dask.array as da
    import zarr

    data = noisy_stack((4, 32, 32))
    src = tmp_path / ("in.ome.zarr" if kind == "ome" else "in.zarr")
    if kind == "own-zero-plane":  # chunks of only zeros are written too
        data[1] = 0
    if kind in ("ome", "own-zero-plane"):
        dask_data = da.from_array(data, chunks=(1, 16, 16))
        da.compute(quorvel.io.write_zarr(src, dask_data, "TYX", ome=kind == "ome"))
        folder = src / "0" if kind == "ome" else src
    else:
        version = 2 if kind == "v2" else 3
        array = zarr.create_array(
            str(src), shape=data.shape, chunks=(1, 16, 16), dtype=data.dtype, zarr_format=version
        )
        if kind != "never-written":
            array[:] = data
        folder = src
    chunks = sorted(p for p in folder.rglob("*") if p.is_file() and p.name[0] not in ".z")
    for chunk in chunks[1 : 1 + missing]:
        chunk.unlink()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        image = read_image(src)
        read_lazy(src)
    notes = [str(w.message) for w in caught if "missing from the store" in str(w.message)]
    if missing:
        assert len(notes) == 2 and f"{missing} of the {len(chunks)} chunks" in notes[0]
        assert int((image.data == 0).sum()) >= missing * data.size // len(chunks)
    else:
        assert notes == []
        assert np.array_equal(image.data, data if kind != "never-written" else 0 * data)


@pytest.mark.parametrize(
    ("kind", "damage"),
    [("v3", "cut"), ("v3", "no shape"), ("v2", "cut"), ("ome", "cut"), ("ome-level", "cut")],
)
def test_zarr_store_with_damaged_metadata_is_refused_naming_it(
    tmp_path: Path, kind: str, damage: str
) -> None:
    # A metadata file cut short or lacking a key failed with json's bare
    # message or KeyError('shape'), which callers and napari do not expect.
    import zarr

    data = noisy_stack((2, 16, 16))
    src = tmp_path / ("in.ome.zarr" if kind.startswith("ome") else "in.zarr")
    if kind.startswith("ome"):
        write_image(src, data, "TYX", {"ome": True})
        meta = src / "0" / "zarr.json" if kind == "ome-level" else src / "zarr.json"
    else:
        array = zarr.create_array(
            str(src), shape=data.shape, chunks=data.shape, dtype=data.dtype,
            zarr_format=2 if kind == "v2" else 3,
        )  # fmt: skip
        array[:] = data
        meta = src / (".zarray" if kind == "v2" else "zarr.json")
    if damage == "cut":
        meta.write_bytes(meta.read_bytes()[:30])
    else:
        record = json.loads(meta.read_text())
        del record["shape"]
        meta.write_text(json.dumps(record))
    for reader in (quorvel.io.read_header, read_image, read_lazy):
        with pytest.raises(ValueError, match=r"in(\.ome)?\.zarr: the store's metadata are damaged"):
            reader(src)


@pytest.mark.parametrize(
    ("source", "output"),
    [
        ("ome", "out.ome.tif"),
        ("ome", "out.tif"),
        ("ome", "out.npy"),
        ("ome", "out.ome.zarr"),
        ("imagej", "out.tif"),
    ],
)
def test_metadata_and_provenance_round_trip(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], source: str, output: str
) -> None:
    data = noisy_stack((2, 2, 32, 32))
    src, dst = tmp_path / "in.tif", tmp_path / output
    if source == "ome":
        tifffile.imwrite(src, data, ome=True, metadata=OME_META)
    else:
        imagej = {"axes": "TCYX", "unit": "um", "finterval": 1.5}
        tifffile.imwrite(src, data, imagej=True, resolution=(5.0, 4.0), metadata=imagej)
    status, _, err = run(
        capsys, "denoise", src, "-o", dst, "--gain", "2,2", "--offset=-190,-190",
        "--threads", "1", "--keep-dtype", "-q",
    )  # fmt: skip
    assert status == 0, err
    image = read_image(dst)
    assert image.axes == "TCYX" and image.data.dtype == np.uint16
    model = quorvel.NoiseModel((2.0, 2.0), (-190.0, -190.0))
    expected = quorvel.denoise(data, "TCYX", model=model, threads=1)
    np.testing.assert_array_equal(image.data, np.clip(np.rint(expected), 0, 65535))
    for axis, (size, unit) in SIZES.items():
        assert image.metadata["physical"][axis] == (pytest.approx(size), unit)
    assert image.metadata.get("channels") == (["GFP", "RFP"] if source == "ome" else None)
    record = image.metadata["provenance"]
    assert record["version"] == quorvel.__version__ and record["source"] == str(src)
    assert [c["gain"] for c in record["noise"]] == [2.0, 2.0]
    assert record["parameters"]["keep_dtype"] is True
    if output.endswith(".ome.tif"):  # a random identifier, not this machine's address
        with tifffile.TiffFile(dst) as tif:
            assert tif.ome_metadata is not None
            text = re.search(r'UUID="urn:uuid:([0-9a-f-]+)"', tif.ome_metadata)
        assert text is not None and uuid.UUID(text[1]).version == 4
    status, out, err = run(capsys, "info", dst)
    assert status == 0, err
    assert "X: 0.2 micrometers per pixel" in out and "T: 1.5 seconds per frame" in out
    assert "noise, channel 1: poisson-gaussian, gain 2, offset -190" in out


@pytest.mark.parametrize("unit", ["micron", "\\u00B5m", "\\u03bcm"])
def test_imagej_units_escaped_or_typed_as_mu_are_micrometers(tmp_path: Path, unit: str) -> None:
    """An ImageJ description is ASCII: a micro sign in it is an escape, kept as a unit."""
    src, dst = tmp_path / "in.tif", tmp_path / "out.ome.tif"
    meta = {"axes": "ZYX", "spacing": 0.5, "unit": unit}
    tifffile.imwrite(
        src, np.zeros((2, 8, 8), np.uint16), imagej=True, resolution=(5.0, 5.0), metadata=meta
    )
    image = read_image(src)
    write_image(dst, image.data, image.axes, image.metadata)
    assert read_image(dst).metadata["physical"] == {
        "X": (pytest.approx(0.2), "micrometer"),
        "Y": (pytest.approx(0.2), "micrometer"),
        "Z": (0.5, "micrometer"),
    }


def test_npy_written_again_keeps_its_axes_and_none_of_the_old_metadata(tmp_path: Path) -> None:
    path = tmp_path / "a.npy"
    write_image(path, np.zeros((3, 8, 8)), "ZYX", {"physical": {"Z": (2.0, "um")}})
    write_image(path, np.ones((3, 8, 8)), "TYX")
    image = read_image(path)
    # The axes given survive without other metadata (read back as a z-stack they would not).
    assert image.axes == "TYX" and "physical" not in image.metadata


def _ramp(axes: str, dtype: type) -> np.ndarray:
    """Distinct values, small enough for any sample type, in an image of these axes."""
    shape = [{"T": 4, "C": 2, "Z": 3, "Y": 5, "X": 6}[a] for a in axes]
    return np.arange(np.prod(shape)).astype(dtype).reshape(shape)


@pytest.mark.parametrize(
    ("name", "dtype", "axes"),
    [
        ("out.tif", np.int16, "TCZYX"),  # not a sample type of ImageJ
        ("out.tif", np.float32, "CTYX"),  # not ImageJ's axis order
        ("out.tif", np.uint16, "TZCYX"),  # an ImageJ hyperstack: names as slice labels
        ("out.zarr", np.uint16, "TYX"),
    ],
)
def test_files_keep_sizes_and_channel_names(
    tmp_path: Path, name: str, dtype: type, axes: str
) -> None:
    data = _ramp(axes, dtype)
    sizes = {**SIZES, "Z": (0.7, "micrometer")}
    metadata = {"physical": {a: sizes[a] for a in axes if a != "C"}}
    if "C" in axes:
        metadata["channels"] = ["GFP", "RFP"]
    quorvel.io.write_image(tmp_path / name, data, axes, metadata)
    image = read_image(tmp_path / name)
    assert image.axes == axes
    np.testing.assert_array_equal(image.data, data)
    assert image.metadata["physical"] == {a: (pytest.approx(v), u) for a, (v, u) in
                                          metadata["physical"].items()}  # fmt: skip
    assert image.metadata.get("channels") == metadata.get("channels")


def test_imagej_labels_that_name_planes_are_no_channel_names(tmp_path: Path) -> None:
    labels = {"axes": "TCYX", "Labels": ["t0 a", "t0 b", "t1 a", "t1 b"]}
    tifffile.imwrite(tmp_path / "in.tif", np.zeros((2, 2, 8, 8), np.uint16), imagej=True,
                     metadata=labels)  # fmt: skip
    assert "channels" not in read_image(tmp_path / "in.tif").metadata


@pytest.mark.parametrize(
    ("axes", "dtype", "stored"),  # the axes read back, or why it is refused
    [
        ("YXC", np.float32, "CYX"),  # channels last: moved before Y and X
        ("ZYXC", np.uint16, "ZCYX"),
        ("XTY", np.float32, "TYX"),
        ("YX", np.int64, "OME-TIFF cannot hold int64"),
        ("X", np.float32, "2 or more dimensions"),
    ],
)
def test_ome_tiff_of_any_axis_order_or_a_clear_refusal(
    tmp_path: Path, axes: str, dtype: type, stored: str
) -> None:
    data = _ramp(axes, dtype)
    path = tmp_path / "out.ome.tif"
    if " " in stored:
        with pytest.raises(ValueError, match=stored):
            quorvel.io.write_image(path, data, axes)
        return
    quorvel.io.write_image(path, data, axes)
    image = read_image(path)
    assert image.axes == stored
    np.testing.assert_array_equal(image.data, np.transpose(data, [axes.index(a) for a in stored]))


def test_a_tiff_of_several_series_says_what_is_left_unread(tmp_path: Path) -> None:
    path = tmp_path / "two.tif"
    with tifffile.TiffWriter(path) as tif:
        tif.write(np.full((8, 8), 7, np.uint16), metadata={"axes": "YX"})
        tif.write(
            np.zeros((3, 4, 4), np.uint16), photometric="minisblack", metadata={"axes": "ZYX"}
        )
    with pytest.warns(UserWarning, match=r"2 image series; only the first \(8 x 8\) is read"):
        image = read_image(path)
    assert image.data.shape == (8, 8)


@pytest.mark.parametrize("output", ["out.ome.tif", "out.zarr"])
def test_a_position_of_a_multi_position_ome_tiff_is_denoised(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], output: str
) -> None:
    """Every series of the file can be read, with its own sizes; only the first could."""
    first, second = noisy_stack((2, 24, 24), seed=1), noisy_stack((3, 32, 28), seed=2)
    src, dst = tmp_path / "positions.ome.tif", tmp_path / output
    with tifffile.TiffWriter(src, ome=True) as tif:
        tif.write(first, metadata={"axes": "TYX", "PhysicalSizeX": 0.1, "PhysicalSizeY": 0.1})
        tif.write(second, metadata={"axes": "TYX", "PhysicalSizeX": 0.7, "PhysicalSizeY": 0.7})
    status, _, err = run(
        capsys, "denoise", src, "-o", dst, "--series", "1", "--sigma", "6", "--threads", "1", "-q"
    )
    assert status == 0, err
    image = read_image(dst)
    expected = quorvel.denoise(second, "TYX", noise="gaussian", sigma=6.0, threads=1)
    np.testing.assert_array_equal(image.data, expected)
    assert image.metadata["physical"]["X"] == (pytest.approx(0.7), "micrometer")
    status, _, err = run(capsys, "info", src, "--series", "2")
    assert status == 1 and "holds 2 image series (numbered 0 to 1); there is no series 2" in err


@pytest.mark.parametrize("output", ["out.ome.tif", "out.ome.zarr"])
def test_a_level_of_a_pyramidal_ome_tiff_is_denoised(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], output: str
) -> None:
    """Its coarser levels (in SubIFDs) were refused: only OME-Zarr images had levels."""
    data = noisy_stack((2, 64, 48), seed=3)
    src, dst = tmp_path / "pyramid.ome.tif", tmp_path / output
    with tifffile.TiffWriter(src, ome=True) as tif:
        meta = {"axes": "TYX", "PhysicalSizeX": 0.5, "PhysicalSizeY": 0.5}
        tif.write(data, subifds=1, photometric="minisblack", metadata=meta)
        tif.write(data[:, ::2, ::2], subfiletype=1, photometric="minisblack")
    full = read_image(src)
    np.testing.assert_array_equal(full.data, data)
    assert full.metadata["levels"] == 2
    np.testing.assert_array_equal(read_lazy(src, level=1).data.compute(), data[:, ::2, ::2])
    status, _, err = run(
        capsys, "denoise", src, "--level", "1", "-o", dst, "--sigma", "5", "--threads", "1", "-q"
    )
    assert status == 0, err
    result = read_image(dst)
    expected = quorvel.denoise(data[:, ::2, ::2], "TYX", noise="gaussian", sigma=5.0, threads=1)
    np.testing.assert_array_equal(result.data, expected)
    # Pixels of 1 um, the first one's centre half a full-resolution pixel on.
    assert result.metadata["physical"]["X"] == (pytest.approx(1.0), "micrometer")
    assert result.metadata["origin"] == {"Y": pytest.approx(0.25), "X": pytest.approx(0.25)}
    status, _, err = run(capsys, "info", src, "--level", "2")
    assert status == 1 and "no level 2; the image has levels 0 to 1" in err


@pytest.mark.parametrize(
    ("data", "output", "message"),
    [
        (np.arange(48, dtype=np.int64).reshape(6, 8), "out.ome.tif", "cannot hold int64"),
        (np.linspace(0, 1, 40, dtype=np.float32), "out.tif", "2 or more dimensions"),
    ],
)
def test_an_output_that_cannot_be_written_is_refused_before_denoising(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    data: Any,
    output: str,
    message: str,
) -> None:
    # It was refused only once written, after the whole denoising.
    def denoised(*_: Any, **__: Any) -> Any:
        raise AssertionError("denoised")

    monkeypatch.setattr("quorvel.cli._denoise._run_denoise", denoised)
    np.save(tmp_path / "in.npy", data)
    status, _, err = run(
        capsys, "denoise", tmp_path / "in.npy", "-o", tmp_path / output, "--keep-dtype"
    )
    assert status == 1 and message in err and "denoised" not in err


def test_ome_zarr_pyramid_is_read_by_ome_zarr_and_napari_readers(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    from napari_ome_zarr import napari_get_reader
    from ome_zarr.io import parse_url
    from ome_zarr.reader import Reader

    data = noisy_stack((2, 2, 64, 48))
    src, dst = tmp_path / "in.ome.tif", tmp_path / "out.ome.zarr"
    tifffile.imwrite(src, data, ome=True, metadata=OME_META)
    status, _, err = run(
        capsys, "denoise", src, "-o", dst, "--sigma", "9", "--chunks", "T=1", "--pyramid", "3",
        "--threads", "1", "-q",
    )  # fmt: skip
    assert status == 0, err
    expected = quorvel.denoise(data, "TCYX", noise="gaussian", sigma=9.0, threads=1)

    node = next(iter(Reader(parse_url(str(dst)))()))
    assert [level.shape for level in node.data] == [(2, 2, 64, 48), (2, 2, 32, 24), (2, 2, 16, 12)]
    np.testing.assert_array_equal(np.asarray(node.data[0]), expected)
    assert [a["name"] for a in node.metadata["axes"]] == ["t", "c", "y", "x"]

    layers = napari_get_reader(str(dst))(str(dst))  # one layer per channel
    assert len(layers) == 2
    pixels, meta = layers[1][0], layers[1][1]
    assert len(pixels) == 3
    np.testing.assert_array_equal(np.asarray(pixels[1]), np.asarray(node.data[1])[:, 1])
    assert meta["scale"][-2:] == pytest.approx([0.25, 0.2])

    level = read_lazy(dst, level=1)
    assert level.axes == "TCYX" and level.data.shape == (2, 2, 32, 24)
    assert level.metadata["physical"]["X"] == (pytest.approx(0.4), "micrometer")
    assert read_image(dst).metadata["provenance"]["parameters"]["sigma"] == [9.0]
    # A level denoised on its own stays where it lies: half its pixel less
    # half the finest one's from the first pixel of level 0.
    again = tmp_path / "level1.ome.zarr"
    status, _, err = run(capsys, "denoise", dst, "--level", "1", "-o", again, "--sigma", "9",
                         "--iterations", "1", "--pyramid", "2", "-q")  # fmt: skip
    assert status == 0, err
    moved = [read_lazy(again, level=k).metadata.get("origin") for k in (0, 1)]
    assert moved == [
        {"Y": pytest.approx(0.125), "X": pytest.approx(0.1)},
        {"Y": pytest.approx(0.375), "X": pytest.approx(0.3)},
    ]
    from quorvel.napari import _reader

    assert _reader.read_layers(str(again))[0][1]["translate"] == pytest.approx([0, 0.125, 0.1])


@pytest.mark.parametrize("levels", [12, 2**40])
def test_a_pyramid_stops_above_one_pixel(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], levels: int
) -> None:
    import zarr

    np.save(tmp_path / "in.npy", noisy_stack((96, 80)))
    dst = tmp_path / "out.ome.zarr"
    status, _, err = run(capsys, "denoise", tmp_path / "in.npy", "-o", dst, "--pyramid",
                         str(levels), "--sigma", "5", "--iterations", "1", "-q")  # fmt: skip
    assert status == 0 and f"6 levels larger than 1 x 1 pixel; writing 6, not {levels}" in err
    group = zarr.open_group(str(dst), mode="r")
    shapes = [group[str(k)].shape for k in range(len(list(group.array_keys())))]
    assert shapes == [(96, 80), (48, 40), (24, 20), (12, 10), (6, 5), (3, 2)]


@pytest.mark.parametrize("version", ["0.4", "0.5"])
def test_ome_zarr_written_by_ome_zarr_is_denoised_at_a_level(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], version: str
) -> None:
    import zarr
    from ome_zarr.format import FormatV04, FormatV05
    from ome_zarr.writer import write_image

    data = noisy_stack((2, 3, 64, 64))
    src, dst = tmp_path / "in.ome.zarr", tmp_path / "out.zarr"
    fmt = FormatV05() if version == "0.5" else FormatV04()
    group = zarr.open_group(str(src), mode="w", zarr_format=3 if version == "0.5" else 2)
    units = {"t": "second", "y": "micrometer", "x": "micrometer"}
    write_image(
        data, group, scale_factors=(2,), axes="tcyx", fmt=fmt,
        scale={"t": 2.0, "c": 1.0, "y": 0.3, "x": 0.3}, axes_units=units,
    )  # fmt: skip
    status, _, err = run(
        capsys, "denoise", src, "--level", "1", "-o", dst, "--sigma", "5", "--threads", "1", "-q"
    )
    assert status == 0, err
    source, result = read_lazy(src, level=1), read_image(dst)
    assert result.axes == "TCYX" and result.data.shape == (2, 3, 32, 32)
    expected = quorvel.denoise(
        source.data.compute(), "TCYX", noise="gaussian", sigma=5.0, threads=1
    )
    np.testing.assert_array_equal(result.data, expected)
    assert result.metadata["physical"]["X"] == (pytest.approx(0.6), "micrometer")
    assert result.metadata["physical"]["T"] == (pytest.approx(2.0), "second")


def ome_zarr_tyx(
    path: Path, data: Any, scale: list[float], *, dimension_names: bool = True, path_0: str = "0"
) -> None:
    """An OME-Zarr 0.5 TYX image of one level, written as given (valid or not)."""
    import zarr

    group = zarr.open_group(str(path), mode="w", zarr_format=3)
    names = list("tyx") if dimension_names else None
    group.create_array("0", data=data, chunks=(1, *data.shape[1:]), dimension_names=names)
    axes = [{"name": "t", "type": "time", "unit": "second"}] + [
        {"name": a, "type": "space", "unit": "micrometer"} for a in "yx"
    ]
    transform = [{"type": "scale", "scale": scale}]
    datasets = [{"path": path_0, "coordinateTransformations": transform}]
    group.attrs["ome"] = {"version": "0.5", "multiscales": [{"axes": axes, "datasets": datasets}]}


@pytest.mark.parametrize(
    ("change", "status", "message"),
    [
        ("dimension_names", 0, "warning: {src}: the OME-Zarr metadata is not valid (The array "
         "in this group at '0' has no dimension_names metadata.)"),
        ("path", 1, "error: {src}: invalid OME-Zarr metadata (level 0 names the array '9'"),
        ("scale", 0, "warning: {src}: the OME-Zarr metadata is not valid (multiscales.0: The "
         "length of axes does not match"),
    ],
)  # fmt: skip
def test_off_standard_ome_zarr_is_read_as_far_as_it_goes(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], change: str, status: int, message: str
) -> None:
    src, dst = tmp_path / "in.ome.zarr", tmp_path / "out.zarr"
    ome_zarr_tyx(
        src, noisy_stack((2, 24, 24)), [2.0, 0.5] if change == "scale" else [2.0, 0.5, 0.5],
        dimension_names=change != "dimension_names", path_0="9" if change == "path" else "0",
    )  # fmt: skip
    got, _, err = run(capsys, "denoise", src, "-o", dst, "--sigma", "5", "--threads", "1", "-q")
    assert got == status and err.count("\n") == 1, err
    assert err.startswith(f"quorvel: {message.format(src=src)}"), err
    if status == 0:
        result = read_image(dst)
        assert result.axes == "TYX"
        assert result.metadata.get("physical", {}).get("X") == (
            None if change == "scale" else (0.5, "micrometer")
        )


@pytest.mark.parametrize("suffix", [".czi", ".ome.tif"])
def test_files_read_through_bioio(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], suffix: str
) -> None:
    from quorvel.io._bioio import read_bioio

    data = noisy_stack((2, 2, 32, 32))
    src = tmp_path / f"in{suffix}"
    if suffix == ".czi":
        from pylibCZIrw import czi

        with czi.create_czi(str(src)) as writer:
            for t, c in np.ndindex(2, 2):
                writer.write(data[t, c], plane={"T": t, "C": c})
            names = {0: "GFP", 1: "RFP"}
            writer.write_metadata(
                channel_names=names, scale_x=0.2e-6, scale_y=0.25e-6, scale_z=0.5e-6
            )
    else:
        tifffile.imwrite(src, data, ome=True, metadata=OME_META)
    image = read_bioio(src, lazy=True)
    assert image.axes == "TCZYX" and image.data.shape == (2, 2, 1, 32, 32)
    np.testing.assert_array_equal(image.data[:, :, 0].compute(), data)
    assert image.metadata["physical"]["X"] == (pytest.approx(0.2), "micrometer")
    assert image.metadata["physical"]["Y"] == (pytest.approx(0.25), "micrometer")
    assert image.metadata["channels"] == ["GFP", "RFP"]
    if suffix == ".czi":  # and on to a .tif that is OME-TIFF, keeping them
        dst = tmp_path / "out.tif"
        status, _, err = run(capsys, "denoise", src, "-o", dst, "--sigma", "5", "-q")
        assert status == 0, err
        with tifffile.TiffFile(dst) as tif:
            assert tif.is_ome
        out = read_image(dst)
        # tifffile leaves out the single Z plane when reading OME-TIFF
        assert out.axes == "TCYX" and out.metadata["channels"] == ["GFP", "RFP"]
        assert out.metadata["physical"]["Y"] == (pytest.approx(0.25), "micrometer")
        assert out.metadata["physical"]["Z"] == (pytest.approx(0.5), "micrometer")


def test_batch_skips_a_bad_file_and_refuses_to_overwrite(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    inputs, out = tmp_path / "in", tmp_path / "out" / "new"  # created for the outputs
    inputs.mkdir()
    for name, seed in (("a.tif", 0), ("c\nd.tif", 1)):
        tifffile.imwrite(inputs / name, noisy_stack((24, 24), seed))
    (inputs / "b.tif").write_bytes(b"II*\x00 not an image")
    (inputs / "e.tif").symlink_to("gone.tif")  # reported, not skipped
    np.save(tmp_path / "d.npy", noisy_stack((24, 24), 2))
    args = ["denoise", inputs, tmp_path / "*.npy", "-o", out, "--sigma", "5", "--threads", "1"]
    status, stdout, err = run(capsys, *args)
    assert status == 1
    assert listing(out) == {"a.tif", "c\nd.tif", "d.npy", "d.json"}
    assert stdout.count(" -> ") == 3 and stdout.count("\n") == 3 and "c\\nd.tif" in stdout
    assert "b.tif: cannot read the image" in err and "e.tif: a link to gone.tif" in err
    assert "3 of 5 files denoised" in err and "2 failed" in err
    assert f"created the folder {out}" in err
    assert json.loads((out / "d.json").read_text())["provenance"]["noise"][0]["sigma"] == 5.0

    before = {p.name: p.stat().st_mtime_ns for p in out.iterdir()}
    status, _, err = run(capsys, *args[:2], "-o", out, "--sigma", "5")
    assert status == 1 and "a.tif: exists; give --overwrite" in err
    assert {p.name: p.stat().st_mtime_ns for p in out.iterdir()} == before
    status, _, err = run(capsys, *args[:2], "-o", out, "--sigma", "5", "--overwrite", "-q")
    assert status == 1 and "b.tif" in err and "a.tif" not in err


@pytest.mark.parametrize(
    "inputs",
    [
        ["a.tif", "*"],  # a pattern that finds a named file again, and the output folder
        ["*", "*/*.tif"],  # and the earlier outputs in it
        ["a.tif", "den"],  # the output folder named, as the shell expands `*`
    ],
)
def test_batch_takes_each_file_once_and_not_its_outputs(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], inputs: list[str]
) -> None:
    out = tmp_path / "den"
    out.mkdir()
    tifffile.imwrite(tmp_path / "a.tif", noisy_stack((24, 24), 0))
    tifffile.imwrite(out / "a.tif", noisy_stack((24, 24), 1))  # an earlier run's output
    args = [tmp_path / name for name in inputs]
    status, stdout, err = run(capsys, "denoise", *args, "-o", out, "--sigma", "5", "--overwrite")
    assert status == 0, err
    assert stdout.count(" -> ") == 1 and "1 of 1 files denoised" in err
    assert listing(out) == {"a.tif"}


def _lut(rgb: tuple[int, int, int], gamma: float = 1.0) -> np.ndarray:
    ramp = (np.arange(256) / 255.0) ** gamma
    return np.rint(np.outer(rgb, ramp)).astype(np.uint8)


# An ImageJ composite: a curved yellow table (kept exactly in ImageJ outputs) and an orange one.
LUTS = [_lut((255, 255, 0), 2.0), _lut((255, 128, 0))]


@pytest.mark.parametrize(
    ("source", "output"),
    [
        ("imagej", "out.tif"),
        ("imagej", "out.ome.tif"),
        ("imagej", "out.ome.zarr"),
        ("ome-zarr", "out.ome.zarr"),
    ],
)
def test_channel_display_and_levels_survive(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], source: str, output: str
) -> None:
    """Channel colours, ImageJ tables and composite mode, names, and the input's pyramid."""
    from ome_zarr.io import parse_url
    from ome_zarr.reader import Reader
    from ome_zarr.writer import write_image

    from quorvel.napari._reader import read_layers

    data = noisy_stack((3, 2, 64, 64))
    colours = ["FFFF00", "FF8000"]
    if source == "imagej":
        src, names = tmp_path / "in.tif", None
        meta = {"axes": "TCYX", "mode": "composite", "LUTs": LUTS}
        tifffile.imwrite(src, data, imagej=True, metadata=meta)
    else:  # written by ome-zarr, one time point per chunk, 3 levels
        import zarr
        from ome_zarr_models.common.omero import Omero

        src, names = tmp_path / "in.ome.zarr", ["DAPI", "GFP"]
        window = {"min": 0, "max": 65535, "start": 100, "end": 300}
        channels = [
            {"label": n, "color": c, "window": window} for n, c in zip(names, colours, strict=True)
        ]
        omero = Omero.model_validate({"channels": channels, "rdefs": {"model": "color"}})
        group = zarr.open_group(str(src), mode="w", zarr_format=3)
        write_image(data, group, scale_factors=(2, 4), axes="tcyx", omero=omero,
                    storage_options={"chunks": (1, 2, 64, 64)})  # fmt: skip
    dst = tmp_path / output
    status, _, err = run(capsys, "denoise", src, "-o", dst, "--sigma", "5", "--iterations", "1",
                         "--threads", "1", "--keep-dtype", "-q")  # fmt: skip
    assert status == 0, err

    back = read_image(dst).metadata
    assert back["colours"] == colours and back["mode"] == "composite"
    assert back.get("channels") == names
    if output == "out.tif" and source == "imagej":  # the tables themselves
        np.testing.assert_array_equal(back["luts"], LUTS)
    layers = read_layers(str(dst))
    assert [kwargs["colormap"] for _, kwargs, _ in layers] == ["yellow", "#ff8000"]
    if output.endswith(".zarr"):  # as napari and ome-zarr read it
        node = next(iter(Reader(parse_url(str(dst)))()))
        assert len(node.data) == (3 if source == "ome-zarr" else 1)
        assert node.metadata["colormap"] == [[[0, 0, 0], [1, 1, 0]], [[0, 0, 0], [1, 128 / 255, 0]]]
        assert node.metadata["channel_names"] == (names or ["channel_0", "channel_1"])
        coarsest = np.asarray(node.data[-1])  # the window: the range of the values written
        assert node.metadata["contrast_limits"] == [
            [coarsest[:, c].min(), coarsest[:, c].max()] for c in range(2)
        ]


def test_batch_of_vendor_files_writes_ome_tiff(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    # CZI, ND2 and LIF are read only: a batch named them as its outputs and
    # failed every file after denoising it.
    def read_vendor(path: Path, level: int = 0, series: int = 0) -> ImageData:
        data = noisy_stack((1, 1, 1, 24, 24), len(Path(path).name))
        return ImageData(data, "TCZYX", {"ome": True, "channels": ["GFP"]})

    monkeypatch.setattr(quorvel.cli._files, "read_image", read_vendor)
    for name in ("a.czi", "b.nd2"):
        (tmp_path / name).write_bytes(b"vendor")
    out = tmp_path / "out"
    args = [tmp_path / "a.czi", tmp_path / "b.nd2", "-o", out, "--sigma", "5", "-q"]
    status, _, err = run(capsys, "denoise", *args)
    assert status == 0, err
    assert listing(out) == {"a.ome.tif", "b.ome.tif"}
    assert read_image(out / "b.ome.tif").metadata["channels"] == ["GFP"]
