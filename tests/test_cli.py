"""The command line, TIFF and .npy files, and the demonstration."""

from __future__ import annotations

import errno
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import tifffile
import zarr

import quorvel
import quorvel.cli
import quorvel.demo
from quorvel.cli import main
from quorvel.demo import run_demo
from quorvel.io import read_image, write_image


def run(capsys: pytest.CaptureFixture[str], *args: str | Path) -> tuple[int, str, str]:
    try:
        status = main([str(a) for a in args])
    except SystemExit as exc:  # argparse and usage errors
        status = int(exc.code or 0)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def noisy_stack(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    """uint16 camera-like data: a smooth scene with Poisson-Gaussian noise."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    photons = 20.0 + 15.0 * np.sin(grids[-1] / 4.0) * np.cos(grids[-2] / 5.0)
    return (100 + 2 * rng.poisson(photons) + rng.normal(0, 3, shape)).astype(np.uint16)


def listing(folder: Path) -> set[str]:
    return {p.name for p in folder.iterdir()}


# --------------------------------------------------------------------------
# denoise


@pytest.mark.parametrize(("keep", "dtype"), [(False, np.float32), (True, np.uint16)])
def test_imagej_hyperstack_keeps_axes_and_geometry(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], keep: bool, dtype: type
) -> None:
    data = noisy_stack((2, 3, 2, 24, 28))
    src, dst = tmp_path / "cells.tif", tmp_path / "out.tif"
    tifffile.imwrite(
        src,
        data,
        imagej=True,
        resolution=(5.0, 5.0),
        metadata={"axes": "TZCYX", "spacing": 0.5, "unit": "um", "finterval": 2.0},
    )
    extra = ["--keep-dtype"] if keep else []
    status, out, err = run(
        capsys, "denoise", src, "-o", dst, "--noise", "gaussian", "--sigma", "12", "--threads",
        "1", *extra,
    )  # fmt: skip
    assert status == 0, err
    assert f"{src} -> {dst}" in out and "TZCYX 2 x 3 x 2 x 24 x 28 uint16" in out
    with tifffile.TiffFile(dst) as tif:
        assert tif.series[0].axes == "TZCYX"
        result = tif.series[0].asarray()
        assert tif.pages[0].resolution == (5.0, 5.0)
        meta = tif.imagej_metadata
        assert meta is not None
        assert (meta["spacing"], meta["unit"], meta["finterval"]) == (0.5, "um", 2.0)
    expected = quorvel.denoise(data, "TZCYX", noise="gaussian", sigma=12.0, threads=1)
    if keep:
        expected = np.clip(np.rint(expected), 0, 65535).astype(np.uint16)
    assert result.dtype == dtype
    np.testing.assert_array_equal(result, expected)
    assert listing(tmp_path) == {"cells.tif", "out.tif"}


@pytest.mark.parametrize(
    ("writer", "axes", "shape"),
    [
        ({"imagej": True, "metadata": {"axes": "TYX"}}, "TYX", (3, 24, 24)),
        ({"ome": True, "metadata": {"axes": "TCYX"}}, "TCYX", (3, 2, 24, 24)),
    ],
)
def test_axes_from_imagej_or_ome_metadata(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    writer: dict[str, Any],
    axes: str,
    shape: tuple[int, ...],
) -> None:
    data = noisy_stack(shape)
    src, dst = tmp_path / "in.ome.tif", tmp_path / "out.tif"
    tifffile.imwrite(src, data, **writer)
    status, _, err = run(capsys, "denoise", src, "-o", dst, "--threads", "1", "-q")
    assert status == 0, err
    result = read_image(dst)
    assert result.axes == axes
    expected = quorvel.denoise(data, axes, threads=1)
    np.testing.assert_array_equal(result.data, expected)


SMALL = [-3.4, 0.5, 1.5, 2.6, 254.6, 300.0]
# Beyond the ends of 32- and 64-bit integers and of float16; 2^31 and 2^32 are
# float32's nearest values to int32's and uint32's largest.
LARGE = [-1e20, -70000.0, 2.0**31, 2.0**32, 1e20]


@pytest.mark.parametrize(
    ("dtype", "values", "expected"),
    [
        (np.uint8, SMALL, [0, 0, 2, 3, 255, 255]),
        (np.int16, SMALL, [-3, 0, 2, 3, 255, 300]),
        (np.float64, SMALL, SMALL),
        (np.int32, LARGE, [-(2**31), -70000, 2**31 - 1, 2**31 - 1, 2**31 - 1]),
        (np.uint32, LARGE, [0, 0, 2**31, 2**32 - 1, 2**32 - 1]),
        (np.int64, LARGE, [-(2**63), -70000, 2**31, 2**32, 2**63 - 1]),
        (np.float16, LARGE, [-65504.0, -65504.0, 65504.0, 65504.0, 65504.0]),
    ],
)
def test_keep_dtype_rounds_and_clips(
    dtype: type, values: list[float], expected: list[float]
) -> None:
    out = quorvel.cli._denoise._cast(np.array(values, dtype=np.float32), np.dtype(dtype))
    assert out.dtype == dtype
    if out.dtype.kind == "f":
        np.testing.assert_allclose(out, expected, rtol=1e-6)
    else:  # exactly: a float comparison would not see a wrapped end
        assert out.tolist() == expected


@pytest.mark.parametrize(
    ("axes_option", "axes", "note"), [(None, "ZYX", True), ("tyx", "TYX", False)]
)
def test_unnamed_pages_are_a_zstack_unless_named(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    axes_option: str | None,
    axes: str,
    note: bool,
) -> None:
    data = noisy_stack((4, 24, 24)).astype(np.float32)
    src = tmp_path / "pages.tif"
    tifffile.imwrite(src, data, photometric="minisblack")  # plain pages: no axis names
    extra = ["--axes", axes_option] if axes_option else []
    status, _, err = run(
        capsys, "denoise", src, "-o", tmp_path / "out.tif", "--sigma", "12", "--threads", "1",
        *extra,
    )  # fmt: skip
    assert status == 0, err
    assert ("taking ZYX" in err) == note
    expected = quorvel.denoise(data, axes, noise="gaussian", sigma=12.0, threads=1)
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "out.tif"), expected)


def test_npy_with_a_camera_model(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src = tmp_path / "frame.npy"
    np.save(src, noisy_stack((32, 32), 1))
    status, out, err = run(
        capsys, "denoise", src, "-o", tmp_path / "out.npy", "--threads", "1", "--gain", "2",
        "--offset=-191",
    )  # fmt: skip
    assert status == 0, err
    assert "Poisson-Gaussian, gain 2, offset -191" in out
    model = quorvel.NoiseModel(2.0, -191.0)
    np.testing.assert_array_equal(
        np.load(tmp_path / "out.npy"), quorvel.denoise(np.load(src), model=model, threads=1)
    )


def test_search_reach_and_variance_file(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src, dst, var = tmp_path / "movie.npy", tmp_path / "out.npy", tmp_path / "var.npy"
    movie = noisy_stack((4, 24, 28), 2)
    np.save(src, movie)
    status, _, err = run(
        capsys, "denoise", src, "-o", dst, "--axes", "TYX", "--threads", "1", "--search",
        "z,t=2", "--variance", var, "-q",
    )  # fmt: skip
    assert status == 0, err
    want, variance = quorvel.denoise(
        movie, "TYX", search={"Z": None, "T": 2}, threads=1, return_variance=True
    )
    np.testing.assert_array_equal(np.load(dst), want)
    np.testing.assert_array_equal(np.load(var), variance)
    # The provenance keeps how well the calibration knew the noise.
    noise = json.loads(dst.with_suffix(".json").read_text())["provenance"]["noise"][0]
    assert noise["gain_se"] > 0 and noise["offset_se"] > 0
    # None (a bare letter) is the growing window, as in the letters' form.
    np.testing.assert_array_equal(
        quorvel.denoise(movie, "TYX", search={"T": None}, threads=1),
        quorvel.denoise(movie, "TYX", search="T", threads=1),
    )
    assert not np.array_equal(want, quorvel.denoise(movie, "TYX", search="ZT", threads=1))


@pytest.mark.parametrize(
    ("failure", "status"), [(OSError(errno.ENOSPC, "No space left"), 1), (KeyboardInterrupt(), 130)]
)
def test_a_failed_output_leaves_no_variance_file(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    failure: BaseException,
    status: int,
) -> None:
    np.save(tmp_path / "in.npy", noisy_stack((24, 24)).astype(np.float32))

    def output_fails(path: Path, *args: Any) -> None:
        if path.name.startswith(".out."):
            raise failure
        write_image(path, *args)

    monkeypatch.setattr(quorvel.cli._files, "write_image", output_fails)
    args = ["denoise", tmp_path / "in.npy", "-o", tmp_path / "out.npy", "--sigma", "5"]
    assert run(capsys, *args, "--variance", tmp_path / "var.npy")[0] == status
    # Nothing that a run again would refuse to replace.
    assert listing(tmp_path) == {"in.npy"}


@pytest.mark.parametrize(
    ("variance", "fail_at"),
    [
        ("var.npy", 2),  # the variance's metadata in place, its pixels refused
        ("var.npy", 4),  # all in place but the output's pixels
        ("var.zarr", 0),  # a store replaced by a store
    ],
)
def test_outputs_replace_the_previous_ones_all_or_none(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    variance: str,
    fail_at: int,
) -> None:
    import quorvel.cli._files as files

    np.save(tmp_path / "in.npy", noisy_stack((24, 24)).astype(np.float32))
    args = ["denoise", tmp_path / "in.npy", "-o", tmp_path / "out.npy",
            "--variance", tmp_path / variance, "--overwrite", "-q", "--sigma"]  # fmt: skip
    assert run(capsys, *args, "5")[0] == 0

    def contents() -> dict[Path, bytes]:
        return {p: p.read_bytes() for p in sorted(tmp_path.rglob("*")) if p.is_file()}

    before = contents()
    renames: list[Any] = []

    class Os:  # the module `os` as the command's files see it
        def __getattr__(self, name: str) -> Any:
            return getattr(os, name)

        def replace(self, src: Any, dst: Any) -> None:
            renames.append(dst)
            if len(renames) == fail_at:
                raise OSError(errno.EACCES, "Permission denied")
            os.replace(src, dst)

    monkeypatch.setattr(files, "os", Os())
    status, _, err = run(capsys, *args, "6")
    assert status == (1 if fail_at else 0), err
    after = contents()
    assert after.keys() == before.keys()  # nothing hidden left behind
    # A failure leaves every previous file as it was; success replaces them all.
    changed = {p for p in before if after[p] != before[p]}
    assert changed == (set() if fail_at else {p for p in before if p.name != "in.npy"})


@pytest.mark.parametrize(
    ("shape", "options", "bar"),
    [
        ((3, 24, 24), [], True),  # a time-lapse: several frames
        ((3, 24, 24), ["--quiet"], False),
        ((24, 24), [], False),  # a single frame
    ],
)
def test_progress_bar_for_multi_frame_work(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    shape: tuple[int, ...],
    options: list[str],
    bar: bool,
) -> None:
    src = tmp_path / "in.tif"
    tifffile.imwrite(src, noisy_stack(shape), imagej=True, metadata={"axes": "TYX"[-len(shape) :]})
    status, out, err = run(capsys, "denoise", src, "-o", tmp_path / "out.tif", *options)
    assert status == 0, err
    assert ("quorvel 2/3: denoising" in err) == bar  # the counter names the running stage
    assert ("3/3: done" in err) == bar
    if "--quiet" in options:
        assert out == "" and err == ""


def test_auto_fallback_is_one_warning_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # Noise that shrinks as intensity grows: no positive gain to fit.
    rng = np.random.default_rng(6)
    level = np.linspace(50.0, 250.0, 64)[None, :] * np.ones((64, 1))
    image = level + rng.normal(0.0, 1.0, level.shape) * np.sqrt(300.0 - level)
    np.save(tmp_path / "in.npy", image)
    status, _, err = run(capsys, "denoise", tmp_path / "in.npy", "-o", tmp_path / "out.npy")
    assert status == 0, err
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quorvel: warning: noise='auto'")


@pytest.mark.parametrize(
    ("arguments", "status", "message"),
    [
        (["missing.tif", "-o", "x.tif"], 1, "missing.tif: no such file"),
        (["in.png", "-o", "x.tif"], 1, "in.png: unknown format '.png'"),
        (["in.tif", "-o", "x.png"], 1, "x.png: unknown format '.png'"),
        (["broken.tif", "-o", "x.tif"], 1, "broken.tif: cannot read the image"),
        (["in.tif", "-o", "nowhere/x.tif"], 1, "directory nowhere does not exist"),
        (["in.tif", "-o", "in.tif"], 1, "would replace its input"),
        (["in.tif", "-o", "old.tif"], 1, "old.tif: exists; give --overwrite to replace it"),
        (["in.tif", "-o", "x.tif", "--axes", "TYX"], 1, "in.tif: axes 'TYX' names 3 axes"),
        (["in.tif", "-o", "x.tif", "--axes", "YQ"], 1, "unknown axis 'Q'"),
        (["four.npy", "-o", "x.tif"], 1, "4-D image; give them with --axes"),
        # A sidecar left from another image: said, not taken for "no axes recorded".
        (["stale.npy", "-o", "x.tif"], 1, "stale.json: its axes 'TZCYX' do not fit the 4-D"),
        (["holes.npy", "-o", "x.tif"], 1, "holes.npy: image contains NaN or infinite values (1 of"),
        (["in.tif", "-o", "x.tif", "--iterations", "0"], 1, "iterations must be between"),
        (["in.tif", "-o", "x.tif", "--patch-radius", "20"], 1, "patch_radius 20 along X"),
        (["in.tif", "-o", "x.tif", "--pvalue", "2"], 1, "pvalue must be in the range"),
        (["in.tif", "-o", "x.tif", "--search", "C"], 1, "cannot search along C"),
        (["in.tif", "-o", "x.tif", "--sigma", "0"], 1, "sigma must be > 0"),
        (["in.tif", "-o", "x.tif", "--sigma", "5", "--noise", "auto"], 1, "--sigma goes with"),
        (["in.tif", "-o", "x.tif", "--gain", "2"], 1, "--gain and --offset"),
        (["in.tif", "-o", "x.tif", "--gain", "1e-300", "--offset=0"], 1, "gain is too close"),
        (["in.tif", "-o", "x.tif", "--threads", str(2**31)], 1, "threads is out of range"),
        (["in.tif", "-o", "x.tif", "--search", "T=99999999999"], 1, "reach along T must be"),
        (["in.tif", "-o", "x.tif", "--search", "T=5,t=3"], 2, "axis T is given twice"),
        (["in.tif", "-o", "side.npy"], 1, "side.json: exists and would be replaced"),
        (["in.tif", "-o", "x.tif", "--camera", "nan.json"], 1, "channel 0 has gain nan"),
        (["in.tif", "-o", "x.tif", "--camera", "huge.json"], 1, "huge.json: gain must fit"),
        (["in.tif", "-o", "x.tif", "--camera", "in.tif"], 1, "in.tif: not JSON (not a text"),
        (["empty.tif", "-o", "x.tif"], 1, "empty.tif: cannot read the image: the file holds none"),
        (["group.zarr", "-o", "x.zarr"], 1, "group.zarr: a zarr group, not an array or OME"),
        (["gone.tif", "-o", "x.tif"], 1, "gone.tif: a link to nowhere.tif, which does not exist"),
        (["in.tif", "-o", "x.tif", "--patch-radius", "X=a"], 2, "radii by axis"),
        (["in.tif", "-o", "x.tif", "--iterations", "x"], 2, "invalid int value"),
        (["in.tif"], 2, "required: -o/--output"),
        (["in.tif", "-o", "x.tif", "--noise", "poisson"], 2, "invalid choice"),
        (["in.tif", "old.tif", "-o", "res.tif"], 1, "res.tif: the name of an image file, but"),
    ],
)
def test_bad_input_is_one_line_and_no_output(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    arguments: list[str],
    status: int,
    message: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    tifffile.imwrite("in.tif", noisy_stack((24, 24)))
    Path("in.png").write_bytes(b"\x89PNG")
    Path("broken.tif").write_bytes(b"II*\x00 truncated")
    Path("old.tif").write_bytes(b"kept")
    np.save("four.npy", np.zeros((2, 2, 8, 8)))
    np.save("stale.npy", np.zeros((2, 2, 8, 8)))
    Path("stale.json").write_text('{"axes": "TZCYX"}')
    holes = noisy_stack((24, 24)).astype(np.float32)
    holes[3, 4] = np.nan
    np.save("holes.npy", holes)
    Path("side.json").write_text("{}")  # the user's, beside where a .npy would go
    for name, gain in (("nan", "NaN"), ("huge", str(10**400))):
        Path(f"{name}.json").write_text(
            f'{{"format": "quorvel-noise-model", "gain": [{gain}], "offset": [0]}}'
        )
    Path("empty.tif").write_bytes(b"II*\x00" + (10**6).to_bytes(4, "little"))  # no page
    zarr.open_group("group.zarr", mode="w")
    Path("gone.tif").symlink_to("nowhere.tif")
    before = listing(tmp_path)
    code, out, err = run(capsys, "denoise", *arguments)
    assert code == status
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("quorvel: error: ")
    assert message in err
    assert listing(tmp_path) == before  # no output, no leftover temporary file


@pytest.mark.parametrize(
    ("output", "written"),
    [("new/", {"in.tif"}), ("out.zarr/", {"zarr.json", "c"})],  # a store, as completed
)
def test_one_input_into_a_folder_named_with_a_slash(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    output: str,
    written: set[str],
) -> None:
    monkeypatch.chdir(tmp_path)
    tifffile.imwrite("in.tif", noisy_stack((24, 24)))
    code, _, err = run(capsys, "denoise", "in.tif", "-o", output, "--sigma", "5", "-q")
    assert code == 0, err
    assert listing(tmp_path / output) == written


@pytest.mark.parametrize(
    "arguments",
    [
        ["calibrate", "--dark", "dark.tif", "--flat", "flat.tif", "-o", "dark.tif", "--overwrite"],
        ["calibrate", "--dark", "dark.tif", "--flat", "flat.tif", "-o", "./flat.tif"],
        ["calibrate", "--dark", "dark.tif", "--image", "flat.tif", "-o", "flat.tif"],
        ["estimate", "flat.tif", "--plot", "flat.tif"],
        # Refused before the estimate, naming the plot (it named the image, after).
        ["estimate", "flat.tif", "--plot", "plot.txt"],
        # A kind that is read only: refused before the run, naming the output.
        ["denoise", "flat.tif", "-o", "out.czi", "--sigma", "5"],
    ],
)
def test_bad_outputs_are_refused_and_inputs_kept(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    arguments: list[str],
) -> None:
    monkeypatch.chdir(tmp_path)
    rng = np.random.default_rng(0)
    dark = (100 + rng.normal(0, 3, (4, 32, 32))).astype(np.uint16)
    tifffile.imwrite("dark.tif", dark, photometric="minisblack")
    tifffile.imwrite("flat.tif", noisy_stack((4, 32, 32)), photometric="minisblack")
    before = {name: Path(name).read_bytes() for name in ("dark.tif", "flat.tif")}
    code, _, err = run(capsys, *arguments)
    messages = {
        "plot.txt": "plot.txt: a plot cannot be written as .txt",
        "out.czi": "quorvel: error: out.czi: .czi files are read, not written",
    }
    message = next((m for name, m in messages.items() if name in arguments), None)
    assert code == 1 and (message or "the output would replace its input") in err
    assert {name: Path(name).read_bytes() for name in before} == before


@pytest.mark.parametrize(
    ("code", "message"),
    [(28, "cannot write the output: no space left on device"),
     (13, "cannot write the output (Permission denied)")],  # named: the output, not the partial
)  # fmt: skip
def test_failed_write_leaves_no_partial_file(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    code: int,
    message: str,
) -> None:
    src, dst = tmp_path / "in.tif", tmp_path / "out.tif"
    tifffile.imwrite(src, noisy_stack((24, 24)))
    dst.write_bytes(b"previous result")
    written: list[Path] = []

    def write_half(path: Path, data: Any, *_: Any) -> None:
        written.append(Path(path))
        Path(path).write_bytes(b"half a tiff")
        raise OSError(code, os.strerror(code), str(path))

    monkeypatch.setattr(quorvel.cli._files, "write_image", write_half)
    status, _, err = run(capsys, "denoise", src, "-o", dst, "--sigma", "5", "--overwrite")
    assert status == 1 and err == f"quorvel: error: {dst}: {message}\n"
    # The writer was handed a temporary file beside the output, now removed;
    # the previous output is intact.
    assert written and written[0].parent == tmp_path and written[0] != dst
    assert written[0].suffix == ".tif"
    assert listing(tmp_path) == {"in.tif", "out.tif"}
    assert dst.read_bytes() == b"previous result"


def test_a_full_disk_and_a_closed_pipe_say_so(tmp_path: Path) -> None:
    # A file size limit stands in for a full disk: the reason, not byte counts.
    np.save(tmp_path / "in.npy", noisy_stack((256, 256)))
    code = f"""
import resource, signal, sys
from quorvel.cli import main
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (2**17, 2**17))
sys.exit(main(["denoise", "{tmp_path / "in.npy"}", "-o", "{tmp_path / "out.npy"}", "-q",
               "--sigma", "5", "--iterations", "1"]))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1
    out = tmp_path / "out.npy"
    assert done.stderr.endswith(f"{out}: cannot write the output (File too large)\n")
    assert listing(tmp_path) == {"in.npy"}
    # `quorvel info x | head` whose reader is gone: no "Broken pipe" error.
    tifffile.imwrite(tmp_path / "in.tif", noisy_stack((2, 24, 24)))
    read, write = os.pipe()
    os.close(read)
    done = subprocess.run([sys.executable, "-m", "quorvel", "info", tmp_path / "in.tif"],
                          stdout=write, stderr=subprocess.PIPE, text=True)  # fmt: skip
    os.close(write)
    assert (done.returncode, done.stderr) == (141, "")


@pytest.mark.parametrize("pause", [0.0, 0.6])
def test_ctrl_c_while_writing_tells_the_truth(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    pause: float,
) -> None:
    src, dst = tmp_path / "in.tif", tmp_path / "out.tif"
    tifffile.imwrite(src, noisy_stack((3, 24, 24)), imagej=True, metadata={"axes": "TYX"})

    def write_then_ctrl_c(*args: Any) -> None:
        write_image(*args)  # on the progress bar's worker thread
        signal.raise_signal(signal.SIGINT)
        time.sleep(pause)  # long enough for the main thread to take the interrupt

    monkeypatch.setattr(quorvel.cli._files, "write_image", write_then_ctrl_c)
    status, _, err = run(capsys, "denoise", src, "-o", dst, "--sigma", "5")
    assert status in (0, 130), err
    assert dst.exists() == (status == 0), err  # success exactly when the output is in place
    if pause:
        assert status == 130 and "interrupted" in err
    assert listing(tmp_path) <= {"in.tif", "out.tif"}


@pytest.mark.parametrize(
    ("signum", "chunked", "status", "word"),
    [
        (signal.SIGTERM, False, 143, "terminated"),
        (signal.SIGINT, True, 130, "interrupted"),
        (signal.SIGTERM, True, 143, "terminated"),
    ],
)
def test_a_signal_stops_the_run_soon_and_leaves_nothing(
    tmp_path: Path, signum: int, chunked: bool, status: int, word: str
) -> None:
    src, dst = tmp_path / "in.tif", tmp_path / ("out.zarr" if chunked else "out.tif")
    tifffile.imwrite(src, noisy_stack((4, 512, 512)), imagej=True, metadata={"axes": "TYX"})
    extra = ["--chunks", "Y=512,X=512", "-q"] if chunked else []
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorvel", "denoise", src, "-o", dst, "--sigma", "10",
         "--iterations", "6", "--threads", "1", *extra],
        stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    assert proc.stderr is not None
    seen: list[str] = []
    reader = threading.Thread(target=lambda: seen.extend(iter(lambda: proc.stderr.read(1), "")))
    reader.start()

    def denoising() -> bool:  # the bar's stage, or the chunks' partial store
        partial = any(".partial" in p.name for p in tmp_path.iterdir())
        return partial or "denoising" in "".join(seen)

    deadline = time.monotonic() + 60
    while not denoising() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(2.0 if chunked else 0.0)  # the chunk is in the engine by then
    sent = time.monotonic()
    proc.send_signal(signum)
    try:
        proc.wait(timeout=30)
    finally:
        proc.kill()
        reader.join()
    # Running chunks are stopped too, not waited for (a minute or more each here).
    assert proc.returncode == status and time.monotonic() - sent < 10, "".join(seen)[-500:]
    assert "".join(seen).rstrip().endswith(f"quorvel: {word}")
    assert listing(tmp_path) == {"in.tif"}


def test_ctrl_c_stops_the_tuning_at_its_next_run(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    src, dst = tmp_path / "in.tif", tmp_path / "out.tif"
    tifffile.imwrite(src, noisy_stack((3, 64, 64)), imagej=True, metadata={"axes": "TYX"})
    runs: list[int] = []
    engine_run = quorvel._tune.risk._advance

    def ctrl_c_at_the_first(*args: Any) -> Any:
        runs.append(1)
        if len(runs) == 1:  # on a worker thread of the tuning
            signal.raise_signal(signal.SIGINT)
            time.sleep(0.5)  # long enough for the main thread to take the interrupt
        return engine_run(*args)

    monkeypatch.setattr(quorvel._tune.risk, "_advance", ctrl_c_at_the_first)
    status, _, err = run(
        capsys, "denoise", src, "-o", dst, "--sigma", "5", "--tune", "--threads", "2"
    )
    assert status == 130 and "interrupted" in err
    assert not dst.exists()
    # The runs started before the interrupt was taken (two side by side,
    # then perhaps two more); the whole tuning of this image takes 12.
    assert len(runs) <= 4


def test_stale_partials_of_this_machine_are_cleared_and_others_kept(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    from quorvel.cli._files import _machine

    dead, here = 2**22 + 1, _machine()  # above any PID Linux hands out
    stale = [f".out.{here}.{dead}-0123abcd.partial.npy", f".a.{here}.{dead}-89abcdef.partial.zarr"]
    kept = [
        f".out.{here}.{os.getpid()}-00000000.partial.npy",  # a run still going
        f".out.other-host-0a1b2c3d.{dead}-00000000.partial.npy",  # another machine's run
    ]
    # An output a run killed between the two renames of a replacement had moved aside.
    aside = f".old.ome.{here}.{dead}-00000001.replaced.zarr"
    for name in [*stale[1:], aside]:
        (tmp_path / name).mkdir()
        (tmp_path / name / "zarr.json").write_text(name)
    for name in stale[:1] + kept:
        (tmp_path / name).write_bytes(b"half")
    np.save(tmp_path / "in.npy", noisy_stack((24, 24)).astype(np.float32))
    status, _, err = run(
        capsys, "denoise", tmp_path / "in.npy", "-o", tmp_path / "out.npy", "--sigma", "5"
    )
    assert status == 0, err
    assert listing(tmp_path) == {"in.npy", "out.npy", "out.json", "old.ome.zarr", *kept}
    assert (tmp_path / "old.ome.zarr" / "zarr.json").read_text() == aside


@pytest.mark.parametrize("fail_at", [0, 1])
def test_a_replaced_store_survives_a_failure_between_the_renames(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    fail_at: int,
) -> None:
    import quorvel.cli._files as files

    np.save(tmp_path / "in.npy", noisy_stack((2, 24, 24)).astype(np.float32))
    args = ["denoise", tmp_path / "in.npy", "-o", tmp_path / "out.zarr", "--axes", "TYX",
            "--sigma", "5", "--overwrite", "-q"]  # fmt: skip
    assert run(capsys, *args)[0] == 0
    before = (tmp_path / "out.zarr" / "zarr.json").read_text()
    renames: list[tuple[Any, Any]] = []

    class Os:  # the module `os` as the command's files see it
        def __getattr__(self, name: str) -> Any:
            return getattr(os, name)

        def replace(self, src: Any, dst: Any) -> None:
            renames.append((src, dst))
            if len(renames) == 1 + fail_at:  # moving the old store aside, or the new one in
                raise KeyboardInterrupt
            os.replace(src, dst)

    monkeypatch.setattr(files, "os", Os())
    np.save(tmp_path / "in.npy", noisy_stack((2, 24, 24), seed=1).astype(np.float32))
    status, _, err = run(capsys, *args)
    assert status == 130, err
    # Either rename failing leaves the complete previous store, and nothing else.
    assert listing(tmp_path) == {"in.npy", "out.zarr"}
    assert (tmp_path / "out.zarr" / "zarr.json").read_text() == before


# --------------------------------------------------------------------------
# estimate


def steps_image(gain: float, seed: int) -> np.ndarray:
    photons = np.repeat(np.linspace(2.0, 100.0, 16), 8)[:, None] * np.ones(128)
    rng = np.random.default_rng(seed)
    return (100 + gain * rng.poisson(photons) + rng.normal(0, 3, photons.shape)).astype(np.float32)


def test_info_is_readable_and_reads_no_pixels(tmp_path: Path) -> None:
    """One line per tuner candidate, units in words, and no dask, zarr or scipy to import."""
    from quorvel._tune import TuneResult

    chosen = {"patch_radius": {"X": 3, "Y": 3}, "iterations": 5, "pvalue": 0.001}
    candidates = tuple(({**chosen, "iterations": k}, 0.1 - 0.01 * k) for k in range(1, 41))
    record = {"version": "0.1.0", "parameters": {"iterations": 4,
              "tuned": TuneResult(chosen, 0.05, candidates, 2).as_dict()}}  # fmt: skip
    physical = {"X": (1.0, "micrometer"), "Y": (1.0, "micrometer"), "T": (2.0, "second")}
    write_image(tmp_path / "a.tif", noisy_stack((2, 16, 16)), "TYX",
                {"provenance": record, "physical": physical})  # fmt: skip
    code = (
        "import sys; from quorvel.cli import main; main(sys.argv[1:]); "
        "print([m for m in ('dask.array', 'zarr', 'scipy') if m in sys.modules])"
    )
    done = subprocess.run([sys.executable, "-c", code, "info", tmp_path / "a.tif"],
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines[-1] == "[]", done.stderr
    assert "  X: 1 micrometer per pixel" in lines and "  T: 2 seconds per frame" in lines
    assert max(map(len, lines)) < 120
    rows = [line.split() for line in lines if "X 3, Y 3" in line and "tuned" not in line]
    assert len(rows) == 40 and [r[1] for r in rows if r[0] == "*"] == ["0.0500"]


def test_estimate_prints_a_table_per_channel(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    src = tmp_path / "steps.tif"
    data = np.stack([steps_image(2.0, 3), steps_image(5.0, 4)])
    tifffile.imwrite(src, data, imagej=True, metadata={"axes": "CYX"})
    status, out, err = run(capsys, "estimate", src)
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0] == f"{src}: CYX 2 x 128 x 128 float32"
    assert lines[1].split() == ["channel", "gain", "se", "offset", "se", "sigma"]
    rows = [line.split() for line in lines[2:4]]
    assert [r[0] for r in rows] == ["0", "1"]
    for row, gain in zip(rows, (2.0, 5.0), strict=True):
        assert float(row[1]) == pytest.approx(gain, rel=0.1)
        assert 0 < float(row[2]) < 0.1 * gain


def test_estimate_json(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src = tmp_path / "steps.npy"
    np.save(src, steps_image(2.0, 3))
    status, out, err = run(capsys, "estimate", src, "--json")
    assert status == 0, err
    record = json.loads(out)
    assert (record["file"], record["axes"], record["shape"]) == (str(src), "YX", [128, 128])
    assert record["gain"][0] == pytest.approx(2.0, rel=0.1)
    assert record["offset"][0] == pytest.approx(9.0 - 200.0, abs=30.0)
    assert record["sigma"][0] > 0
    assert 0 < record["gain_se"][0] < 0.2 and 0 < record["offset_se"][0] < 30.0


def test_estimate_json_of_a_constant_image_stays_json(tmp_path: Path) -> None:
    # The core prints a diagnostic on the process's standard output when a
    # fit fails; it must not end up in the JSON.
    np.save(tmp_path / "flat.npy", np.full((32, 32), 5.0))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-m", "quorvel", "estimate", str(tmp_path / "flat.npy"), "--json"],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert (record["gain"], record["offset"], record["sigma"]) == ([None], [None], [0.0])


# --------------------------------------------------------------------------
# Files


@pytest.mark.parametrize(
    ("axes", "shape", "dtype", "name"),
    [
        ("TZCYX", (2, 3, 2, 8, 9), np.uint16, "a.tif"),  # ImageJ hyperstack
        ("CTYX", (2, 3, 8, 9), np.float32, "a.tif"),  # order ImageJ cannot hold
        ("ZYX", (3, 8, 9), np.float64, "a.tif"),  # sample type ImageJ cannot hold
        ("YXS", (8, 9, 3), np.uint8, "a.tif"),  # RGB
        ("TYX", (3, 9, 1), np.uint16, "a.tif"),  # one pixel wide: not samples
        ("YXS", (8, 9, 2), np.uint16, "a.ome.tif"),  # samples that are not colours
    ],
)
def test_tiff_round_trip(
    tmp_path: Path, axes: str, shape: tuple[int, ...], dtype: type, name: str
) -> None:
    data: np.ndarray = np.random.default_rng(0).integers(0, 200, shape).astype(dtype)
    meta = {"resolution": (4.0, 4.0), "resolutionunit": 3}
    write_image(tmp_path / name, data, axes, meta)
    image = read_image(tmp_path / name)
    assert image.axes == axes
    assert image.data.dtype == dtype
    np.testing.assert_array_equal(image.data, data)
    assert image.metadata["resolution"] == (4.0, 4.0)


# --------------------------------------------------------------------------
# Demonstration and entry point


def test_demo_recovers_the_camera_and_improves_psnr(tmp_path: Path) -> None:
    lines: list[str] = []
    result = run_demo(tmp_path, shape=(3, 96, 96), threads=1, say=lines.append)
    estimated, true = result.estimated_noise, result.true_noise
    assert estimated.gain[0] == pytest.approx(true.gain[0], rel=0.25)
    assert result.psnr_denoised > result.psnr_noisy + 6.0
    report = "\n".join(lines)
    for figure in (f"{true.gain[0]:.3f}", f"{estimated.gain[0]:.3f}", f"{result.psnr_noisy:.2f}"):
        assert figure in report
    truth = read_image(tmp_path / "truth.tif")
    assert truth.axes == "TYX" and truth.data.shape == (3, 96, 96)
    assert read_image(tmp_path / "noisy.tif").data.dtype == np.float32
    from PIL import Image

    with Image.open(tmp_path / "comparison.png") as png:
        assert png.size == (3 * 96 + 2 * 6, 96)
        panel = np.asarray(png)
    noisy, denoised, clean = (panel[:, i * 102 : i * 102 + 96].astype(float) for i in range(3))
    # noisy | denoised | truth: the denoised panel is the one close to the truth.
    assert np.abs(denoised - clean).mean() < 0.5 * np.abs(noisy - clean).mean()


@pytest.mark.parametrize("shape", [(2, 12, 12), (1, 5, 40), (1, 1, 1)])
def test_synthetic_sequence_of_frames_narrower_than_the_blur(shape: tuple[int, int, int]) -> None:
    # The point spread function's kernel is 13 pixels long.
    photons = quorvel.demo.synthetic_sequence(shape)
    assert photons.shape == shape
    assert np.isfinite(photons).all() and photons.min() >= 2.0


def test_demo_command_writes_into_the_given_folder(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(quorvel.demo, "DEMO_SHAPE", (3, 48, 48))
    status, out, err = run(capsys, "demo", "-o", tmp_path / "demo", "--threads", "1")
    assert status == 0, err
    assert listing(tmp_path / "demo") == {
        "noisy.tif",
        "denoised.tif",
        "truth.tif",
        "comparison.png",
    }
    assert "noise model, true:" in out and "PSNR: noisy" in out and "total time" in out


def test_python_m_quorvel() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-m", "quorvel", "--version"],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert done.returncode == 0
    assert done.stdout.strip() == f"quorvel {quorvel.__version__}"
