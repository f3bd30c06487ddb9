"""Hostile calls: thread counts, the core's diagnostics, random parameters, lying files."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import tifffile
import zarr
from test_formats import ome_zarr_tyx

import quorvel
from quorvel._core import CoreOutputWarning
from quorvel._threads import available_cpus, max_threads
from quorvel.io import read_lazy


def test_any_thread_count_runs_and_gives_the_same_image() -> None:
    # In a child process: before the cap, such counts killed the interpreter.
    code = """
import numpy as np, _qv
a = np.random.default_rng(0).normal(100, 10, (40, 40)).astype(np.float32)
run = lambda n: _qv._denoise_gaussian(a.copy(), 10.0, [2, 2, 0, 0, 0], [1, 1, 1, 0, 1], 2,
                                       0.01, n, 0.0)
ref = run(2)
for n in (2**31 - 1, 10**8, 10**5, 5):
    assert np.array_equal(run(n), ref), n
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"


def test_every_call_sets_its_own_thread_count() -> None:
    gomp = ctypes.CDLL("libgomp.so.1", mode=os.RTLD_NOLOAD)  # the runtime the core uses
    movie = np.random.default_rng(1).poisson(50.0, (3, 24, 24)).astype(np.float32)
    cpus = available_cpus()
    quorvel.denoise(movie, "TYX", noise="gaussian", sigma=7.0, threads=1)
    assert gomp.omp_get_max_threads() == 1
    quorvel.estimate_noise(movie, "TYX", method="core")  # every CPU, not the last count
    assert gomp.omp_get_max_threads() == cpus
    for _ in range(2):  # a relative count does not compound
        quorvel.denoise(movie, "TYX", noise="gaussian", sigma=7.0, threads=-1)
        assert gomp.omp_get_max_threads() == max(1, cpus - 1)
    quorvel.denoise(movie, "TYX", noise="gaussian", sigma=7.0, threads=2**31 - 1)
    assert gomp.omp_get_max_threads() == max_threads()


def test_core_diagnostics_become_warnings_from_concurrent_threads(
    capfd: pytest.CaptureFixture[str],
) -> None:
    flat = np.zeros((40, 40), dtype=np.float32)  # no noise line to fit: the core prints
    errors: list[BaseException] = []

    def estimate() -> None:
        try:
            for _ in range(5):
                assert np.isnan(quorvel.estimate_noise(flat, method="core").gain[0])
        except BaseException as err:  # noqa: BLE001 - reported below
            errors.append(err)

    workers = [threading.Thread(target=estimate) for _ in range(6)]
    with warnings.catch_warnings(record=True) as caught:  # the filters are process-wide
        warnings.simplefilter("always")
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    assert not errors
    print("still ours")
    out = capfd.readouterr().out
    assert out == "still ours\n"  # nothing of the core's, and descriptor 1 restored
    texts = [str(w.message) for w in caught if w.category is CoreOutputWarning]
    assert texts and all(t.startswith("the compute core reported: error d=") for t in texts)
    # Every printed text is reported, once: one per failed fit.
    assert sum(t.count("error d=") for t in texts) == 30


def _random_call(rng: np.random.Generator) -> tuple[Any, dict[str, Any]]:
    ndim = int(rng.integers(1, 4))
    shape = tuple(int(rng.integers(1, 12)) for _ in range(ndim))
    dtype = np.dtype(rng.choice(["uint8", "uint16", "int16", "float32", "float64"]))
    if dtype.kind == "f":
        image = (rng.random(shape) * rng.choice([1.0, 1e3, 1e30, 1e38])).astype(dtype)
        if rng.random() < 0.15:
            bad = [np.nan, np.inf] + ([1e300] if dtype == np.float64 else [])
            image.flat[int(rng.integers(image.size))] = rng.choice(bad)
    else:
        info = np.iinfo(dtype)
        image = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    extreme = [0.0, 1e-300, 1e-45, 1e-30, 1e-3, 1.0, 1e3, 1e30, 1e39, 1e300, -1.0]
    options: dict[str, Any] = {
        "axes": {1: "X", 2: "YX", 3: rng.choice(["ZYX", "TYX", "CYX"])}[ndim],
        "iterations": int(rng.integers(1, 3)),
        "pvalue": float(rng.choice([0.0, 0.01, 0.5, 1 - 1e-9])),
        "renoise": float(rng.choice([0.0, 0.0, 1e-45, 1e-30, 0.5, 1e39])),
        "patch_radius": int(rng.integers(0, 3)),
        "threads": int(rng.choice([0, 1, 2, 3, -1, -(2**31), 2**31 - 1]))
        if rng.random() < 0.1
        else int(rng.choice([0, 1, 2, -1])),
    }
    kind = rng.choice(["auto", "gaussian", "poisson-gaussian"])
    options["noise"] = kind
    if kind == "gaussian" and rng.random() < 0.7:
        options["sigma"] = float(rng.choice(extreme))
    elif kind != "gaussian" and rng.random() < 0.7:
        options["model"] = (float(rng.choice(extreme)), float(rng.choice(extreme)))
    return image, options


def test_random_calls_fail_cleanly_or_give_finite_images() -> None:
    rng = np.random.default_rng(20261208)
    outcomes = {"image": 0, "refused": 0}
    for _ in range(300):
        image, options = _random_call(rng)
        try:
            if "model" in options:
                options["model"] = quorvel.NoiseModel(*options["model"])
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                out = quorvel.denoise(image, **options)
        except ValueError:
            outcomes["refused"] += 1
            continue
        assert out.shape == image.shape, options
        assert np.isfinite(out).all(), options
        outcomes["image"] += 1
    assert min(outcomes.values()) > 30, outcomes  # both ways were exercised


def _random_engine_call(rng: np.random.Generator) -> tuple[np.ndarray, dict[str, Any]]:
    """Random keyword arguments of the engine, hostile ones among them."""
    rank = int(rng.integers(1, 6))
    shape = tuple(int(n) for n in rng.integers(1, 12, rank))
    dtype = rng.choice(["float32", "float64", "uint16", "int8", "bool"])
    image = (rng.normal(50, 10, shape) * (dtype != "bool")).astype(dtype)

    def pick(good: Any, *bad: Any) -> Any:
        """Mostly the good value, now and then one of the bad ones."""
        return good if rng.random() < 0.9 or not bad else bad[int(rng.integers(len(bad)))]

    radius = [int(v) for v in rng.integers(0, 3, 5)]
    options: dict[str, Any] = {
        "sigma": pick(float(rng.uniform(1, 20)), 0.0, -1.0, np.nan, np.inf, 1e-30, 1e30),
        "patch_radius": pick(radius, radius[:4], [*radius, 1], [-1] * 5),
        "search": [int(v) for v in rng.integers(0, 2, 5)],
        "reach": pick([], [int(v) for v in rng.integers(-1, 6, 5)], [1, 2]),
        "max_iter": pick(int(rng.integers(1, 4)), 0, 31, 2**31 - 1),
        "pvalue": pick(0.01, 0.0, 1.0, -0.5, np.nan),
        "threads": pick(int(rng.integers(1, 3)), 0, -1, -100),
        "renoise": pick(0.0, 0.5, -1.0, np.inf),
        "kernel": pick(str(rng.choice(["fast", "exact"])), "FAST", ""),
    }
    if rng.random() < 0.5:
        nc = image.shape[-4] if image.ndim >= 4 else 1
        count = pick(nc, nc + 1, nc - 1)
        options["gain"] = [pick(2.0, 0.0, -1.0, np.nan)] * count
        options["offset"] = [pick(4.0, np.inf)] * count
    return image, options


def test_random_engine_calls_fail_cleanly_or_give_finite_images() -> None:
    from quorvel import _engine

    rng = np.random.default_rng(20261209)
    outcomes = {"image": 0, "refused": 0}
    for _ in range(300):
        image, options = _random_engine_call(rng)
        try:
            if "gain" in options:
                out = _engine.denoise_poisson_gaussian(image.copy(), **options)
            else:
                out = _engine.denoise_gaussian(image.copy(), **options)
        except (ValueError, TypeError):
            outcomes["refused"] += 1
            continue
        assert out.shape == image.shape, options
        assert np.isfinite(out).all() or not np.isfinite(image).all(), options
        outcomes["image"] += 1
    assert min(outcomes.values()) > 20, outcomes  # both ways were exercised


def _engine_call(**overrides: Any) -> Any:
    from quorvel import _engine

    args: dict[str, Any] = {
        "image": np.ones((20, 20), np.float32),
        "sigma": 1.0,
        "patch_radius": [1, 1, 0, 0, 0],
        "search": [1, 1, 0, 0, 0],
    }
    args.update(overrides)
    gain = args.pop("gain", None)
    if gain is not None:
        return _engine.denoise_poisson_gaussian(args.pop("image"), gain=gain, offset=gain, **args)
    return _engine.denoise_gaussian(args.pop("image"), **args)


def _read_only() -> np.ndarray:
    a = np.ones((20, 20), np.float32)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    ("overrides", "error", "message"),
    [
        ({"image": np.array(["a", "b"])}, TypeError, "real numbers"),
        ({"image": np.zeros(3, "V8")}, TypeError, "real numbers"),
        ({"image": np.array([object(), 1], dtype=object)}, TypeError, "real numbers"),
        ({"image": np.zeros((4, 4), complex)}, TypeError, "complex"),
        ({"image": np.zeros((1,) * 6, np.float32)}, ValueError, "1 to 5 axes"),
        ({"image": _read_only()}, ValueError, "not writeable"),
        ({"sigma": -1.0}, ValueError, "sigma"),
        ({"sigma": 0.0}, ValueError, "sigma"),
        ({"max_iter": 2**31 - 1}, ValueError, "max_iter"),
        ({"progress": 3}, TypeError, "progress"),
        ({"gain": [1.0, 1.0]}, ValueError, "one entry per channel"),
    ],
)
def test_engine_refuses_hostile_arguments_before_any_work(
    overrides: dict[str, Any], error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        _engine_call(**overrides)


def test_engine_thread_count_does_not_depend_on_the_last_call() -> None:
    gomp = ctypes.CDLL("libgomp.so.1", mode=os.RTLD_NOLOAD)
    _engine_call(threads=-1)
    _engine_call(threads=0)
    assert gomp.omp_get_max_threads() == available_cpus()


def test_a_run_refuses_a_second_thread_while_it_advances() -> None:
    from quorvel import _engine

    image = np.random.default_rng(0).normal(0.0, 1.0, (768, 768)).astype(np.float32)
    run = _engine.GaussianRun(
        image,
        sigma=1.0,
        patch_radius=[3, 3, 0, 0, 0],
        search=[1, 1, 0, 0, 0],
        threads=1,
        kernel="exact",
    )
    first = threading.Thread(target=run.advance, args=(5,))
    first.start()
    try:
        threading.Event().wait(0.3)  # well inside the first call's 2 s or so
        with pytest.raises(RuntimeError, match="one thread at a time"):
            run.advance(6)
    finally:
        first.join()
    assert run.done == 5


@pytest.mark.parametrize("scale", [1e-6, 1e9])
def test_results_do_not_depend_on_the_image_units(scale: float) -> None:
    rng = np.random.default_rng(3)
    image = 100.0 + 40.0 * (np.indices((64, 64)).sum(0) % 16 < 8) + rng.normal(0, 10, (64, 64))
    image = image.astype(np.float32)
    unit = quorvel.denoise(image, noise="gaussian", sigma=10.0, threads=1)
    scaled = quorvel.denoise(
        (image * scale).astype(np.float32), noise="gaussian", sigma=10.0 * scale, threads=1
    )
    assert np.abs(scaled / scale - unit).max() < 1e-3 * 10.0
    assert np.std(unit - image) > 5.0  # denoised, not handed back


# --------------------------------------------------------------------------
# Files whose metadata lies


_SIZES = ["0.5", "-1", "0", "NaN", "1e400", "abc", None]


def _ome_tiff(path: Path, frames: Any, claims: dict[str, Any]) -> None:
    """A TYX OME-TIFF of `frames` whose Pixels element says what `claims` say."""
    attributes = {"SizeT": len(frames), "SizeZ": 1, **claims}
    text = " ".join(f'{k}="{v}"' for k, v in attributes.items() if v is not None)
    xml = (
        '<?xml version="1.0" encoding="UTF-8"?>'
        '<OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
        '<Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" Type="uint16" '
        f'SizeX="{frames.shape[2]}" SizeY="{frames.shape[1]}" SizeC="1" {text}>'
        '<Channel ID="Channel:0:0" SamplesPerPixel="1"/><TiffData/></Pixels></Image></OME>'
    )
    tifffile.imwrite(path, frames, description=xml, metadata=None, photometric="minisblack")


def _hostile_file(rng: np.random.Generator, kind: str, folder: Path) -> tuple[Path, str | None]:
    """A file whose metadata lies, and the refusal expected (None: read, lies dropped)."""
    frames = rng.poisson(50.0, (6, 24, 24)).astype(np.uint16)
    if kind == "ome-sizes":
        path = folder / "sizes.ome.tif"
        keys = ["PhysicalSizeX", "PhysicalSizeY", "PhysicalSizeZ", "TimeIncrement"]
        _ome_tiff(path, frames, {k: rng.choice(_SIZES) for k in keys})
        return path, None
    if kind == "ome-planes":
        path, axis = folder / "planes.ome.tif", str(rng.choice(["SizeT", "SizeZ"]))
        claim = int(rng.choice([7, 100, 10**11]))
        _ome_tiff(path, frames, {axis: claim, "SizeT": 1} if axis == "SizeZ" else {axis: claim})
        return path, "planes its OME metadata announces"
    if kind == "imagej-images":
        path = folder / "images.tif"
        tifffile.imwrite(path, frames, imagej=True, metadata={"axes": "TYX"})
        path.write_bytes(path.read_bytes().replace(b"images=6\nframes=6", b"images=3\nframes=3"))
        return path, "but its ImageJ metadata announces 3 images"
    if kind == "zarr-shape":
        path = folder / "huge.zarr"
        shape = [(10**6, 64, 64), (10**9, 1000, 1000), (10**12, 1000, 1000)][rng.integers(3)]
        zarr.create_array(str(path), shape=shape, chunks=(1, *shape[1:]), dtype="uint16",
                          dimension_names=list("TYX"))  # fmt: skip
        return path, "chunks"
    path = folder / "scale.ome.zarr"  # "zarr-scale": NaN and worse in the scale
    scale = [float(rng.choice([np.nan, 0.0, -2.0, 2.0])), 0.5, float(rng.choice([np.nan, 0.5]))]
    ome_zarr_tyx(path, frames, scale)
    return path, None


@pytest.mark.parametrize("seed", range(2))
def test_hostile_metadata_is_refused_in_one_line_or_dropped(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], seed: int
) -> None:
    from quorvel.cli import main

    rng = np.random.default_rng(seed)
    kinds = ["ome-sizes", "ome-planes", "imagej-images", "zarr-shape", "zarr-scale"]
    for i, kind in enumerate(kinds * 2):
        folder = tmp_path / f"{i}"
        folder.mkdir()
        src, refusal = _hostile_file(rng, kind, folder)
        suffix = ".zarr" if kind.startswith("zarr") else str(rng.choice([".ome.tif", ".npy"]))
        dst = folder / f"out{suffix}"
        start = time.monotonic()
        status = main(["denoise", str(src), "-o", str(dst), "--sigma", "5", "--iterations",
                       "1", "--threads", "1", "-q"])  # fmt: skip
        err = capsys.readouterr().err
        lines = err.splitlines()
        assert all(line.startswith(("quorvel: error:", "quorvel: warning:")) for line in lines)
        assert all(str(src) in line for line in lines), err  # every line names the file
        assert not [p for p in folder.iterdir() if ".partial" in p.name], err
        if refusal is not None:
            assert status == 1 and len(lines) == 1 and refusal in err, (kind, err)
            assert not dst.exists() and time.monotonic() - start < 20
            continue
        assert status == 0, (kind, err)
        # What could not be read is dropped, with a warning naming the file; what is
        # written reads back without one.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            physical = read_lazy(dst).metadata.get("physical", {})
            given = read_lazy(src).metadata.get("physical", {})
        shown = [str(w.message) for w in caught]
        assert all(text.startswith(f"{src}: ") for text in shown), shown
        assert all(np.isfinite(v) and v > 0 for v, _ in physical.values()), physical
        assert physical.keys() == given.keys()
