"""Chunked denoising on dask: exactness against whole images, chunk rules, laziness, clusters."""

from __future__ import annotations

import functools
import json
import re
import threading
from collections.abc import Callable
from typing import Any

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
import pytest
from block_kernel import core_kernel
from dask.delayed import Delayed

import _qv
from quorvel import _chunked as ch
from quorvel._text import parse_chunk_spec

Image = npt.NDArray[np.float32]
PVALUE = 0.01


def _noisy(shape: tuple[int, ...], sigma: float, seed: int) -> Image:
    """A (T, C, Z, Y, X) scene with structure along every axis, plus Gaussian noise."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    scene = 100.0 + 20.0 * grids[1]
    for g, period in zip(grids[2:], (3.0, 5.0, 4.0), strict=True):
        scene = scene + 25.0 * np.sin(g / period + grids[0] / 7.0)
    return (scene + rng.normal(0.0, sigma, shape)).astype(np.float32)


def _kernel(radius5: list[int], search5: list[int], max_iter: int) -> ch.BlockKernel:
    return functools.partial(
        core_kernel,
        radius5=radius5,
        search5=search5,
        max_iter=max_iter,
        pvalue=PVALUE,
        renoise=0.0,
    )


def _whole(
    image: Image, noise: Any, radius5: list[int], search5: list[int], max_iter: int
) -> Image:
    """The in-memory result: one core call on the whole image, one thread."""
    return _kernel(radius5, search5, max_iter)(image.copy(), noise, 1)


def _chunked(
    image: Image,
    noise: Any,
    radius5: list[int],
    search5: list[int],
    max_iter: int,
    chunks: Any,
    n_threads: int = 1,
    halo_change: int = 0,
) -> tuple[Image, ch.ChunkPlan]:
    plan = ch.plan_chunks(image.shape, radius5, search5, max_iter, chunks)
    if halo_change:
        depth = tuple(
            d + halo_change * a.step if d else 0 for d, a in zip(plan.depth, plan.axes, strict=True)
        )
        plan = ch.ChunkPlan(plan.chunks, depth, plan.axes)
    lazy = ch.denoise_lazy(
        da.from_array(image, chunks=plan.chunks),
        _kernel(radius5, search5, max_iter),
        noise,
        plan,
        n_threads=n_threads,
    )
    return lazy.compute(scheduler="threads"), plan


# --------------------------------------------------------------------------
# Exactness: chunked against whole-image results, bit for bit

# (shape (T, C, Z, Y, X), radius5, search5, max_iter, chunk sizes)
EXACT_CASES = {
    "T=1, defaults": ((6, 1, 1, 40, 40), [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], 4, {"T": 1}),
    "T, radius 1 along T": ((14, 1, 1, 20, 20), [1, 1, 0, 0, 1], [1, 1, 0, 0, 1], 3, {"T": 6}),
    "T, far plane along T": ((24, 1, 1, 16, 16), [1, 1, 0, 0, 2], [1, 1, 0, 0, 0], 2, {"T": 10}),
    "Y and X, radius 1": (
        (3, 1, 1, 44, 46),
        [1, 1, 0, 0, 0],
        [1, 1, 1, 0, 1],
        3,
        {"Y": 14, "X": 16},
    ),
    "Y and X, far planes": (
        (2, 1, 1, 60, 64),
        [2, 2, 0, 0, 0],
        [1, 1, 1, 0, 1],
        2,
        {"Y": 12, "X": 21},
    ),
    "T, Y and X together": (
        (6, 1, 1, 52, 52),
        [1, 1, 0, 0, 0],
        [1, 1, 1, 0, 1],
        4,
        {"T": 2, "Y": 24, "X": 26},
    ),
    "Z, subsampled grid": ((1, 1, 24, 16, 16), [1, 1, 1, 0, 0], [1, 1, 1, 0, 0], 2, {"Z": 8}),
    "two channels, whole C": (
        (4, 2, 1, 32, 32),
        [1, 1, 0, 0, 0],
        [1, 1, 1, 0, 1],
        2,
        {"T": 1, "X": 10},
    ),
    # Rows of 256 pixels get the engine's longer work rows in memory, not in blocks.
    "X of 256, rows lengthened": (
        (3, 1, 1, 10, 256),
        [1, 1, 0, 0, 1],
        [1, 1, 0, 0, 1],
        2,
        {"X": 96},
    ),
}


@pytest.mark.parametrize("case", EXACT_CASES.values(), ids=EXACT_CASES.keys())
@pytest.mark.parametrize("n_threads", [1, 2])
def test_chunked_equals_whole_image(case: tuple[Any, ...], n_threads: int) -> None:
    shape, radius5, search5, max_iter, sizes = case
    image = _noisy(shape, 10.0, seed=len(shape) + max_iter)
    expected = _whole(image, 10.0, radius5, search5, max_iter)
    got, plan = _chunked(image, 10.0, radius5, search5, max_iter, sizes, n_threads)
    assert plan.n_blocks > 1
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, expected)


def test_poisson_gaussian_path_is_exact_too() -> None:
    shape = (4, 2, 1, 28, 28)
    radius5, search5 = [1, 1, 0, 0, 0], [1, 1, 1, 0, 1]
    rng = np.random.default_rng(5)
    image = rng.poisson(_noisy(shape, 0.0, 3) / 2.0) * 2.0 + rng.normal(0, 3, shape)
    image = image.astype(np.float32)
    noise = ([2.0, 2.0], [9.0, 9.0])
    expected = _whole(image, noise, radius5, search5, 3)
    got, _ = _chunked(image, noise, radius5, search5, 3, {"T": 1, "Y": 14})
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("seed", range(4))
def test_random_chunkings_are_exact(seed: int) -> None:
    """Arbitrary dask chunks, moved onto the grid by `aligned_chunks`."""
    rng = np.random.default_rng(seed)
    shape = (int(rng.integers(3, 7)), 1, 1, int(rng.integers(30, 48)), int(rng.integers(30, 48)))
    radius5 = [int(rng.integers(1, 3)), int(rng.integers(1, 3)), 0, 0, int(rng.integers(0, 2))]
    search5 = [1, 1, 0, 0, int(rng.integers(0, 2))]
    max_iter = int(rng.integers(1, 4))

    def cuts(n: int) -> tuple[int, ...]:
        bounds = sorted({int(b) for b in rng.integers(1, n, size=3)})
        return tuple(np.diff([0, *bounds, n]).tolist())

    chunks = tuple(cuts(n) if n > 1 else (n,) for n in shape)
    image = _noisy(shape, 8.0, seed)
    expected = _whole(image, 8.0, radius5, search5, max_iter)
    got, plan = _chunked(image, 8.0, radius5, search5, max_iter, chunks)
    assert plan.n_blocks > 1
    for a, c in zip(plan.axes, plan.chunks, strict=True):
        assert a.problem(c) is None
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize(
    ("shape", "radius5", "search5", "max_iter", "sizes"),
    [
        ((2, 1, 1, 48, 48), [1, 1, 0, 0, 0], [1, 1, 0, 0, 0], 3, {"Y": 16}),
        ((2, 1, 1, 48, 48), [2, 2, 0, 0, 0], [1, 1, 0, 0, 0], 2, {"X": 15}),
        ((8, 1, 1, 16, 16), [1, 1, 0, 0, 0], [1, 1, 0, 0, 1], 4, {"T": 2}),
        ((1, 1, 20, 16, 16), [1, 1, 0, 0, 0], [1, 1, 1, 0, 0], 3, {"Z": 5}),
    ],
)
def test_halo_one_step_short_is_not_exact(
    shape: tuple[int, ...], radius5: list[int], search5: list[int], max_iter: int, sizes: Any
) -> None:
    """The halo is as small as the grid allows: one grid step less breaks exactness."""
    image = _noisy(shape, 10.0, 11)
    expected = _whole(image, 10.0, radius5, search5, max_iter)
    got, _ = _chunked(image, 10.0, radius5, search5, max_iter, sizes, halo_change=-1)
    assert not np.array_equal(got, expected)


@pytest.mark.parametrize(
    ("search5", "expected"),
    [
        # T, C, Z, Y, X with patch radius 3 along X and Y and 4 iterations.
        ([1, 1, 1, 0, 1], (1, 0, 6, 40, 40)),
        ([1, 1, 0, 0, 0], (0, 0, 0, 40, 40)),
    ],
)
def test_default_parameters_halo(search5: list[int], expected: tuple[int, ...]) -> None:
    plan = ch.plan_chunks(
        (50, 2, 30, 600, 600), [3, 3, 0, 0, 0], search5, 4, {"T": 5, "Z": 10, "Y": 200, "X": 200}
    )
    assert plan.depth == expected


def test_reach_sets_the_halo_and_stays_exact() -> None:
    import quorvel

    # The reach is the window of every iteration along T and Z, and caps X
    # and Y: 4 x 5 frames; 4 x 2 planes; 4 x 6 + (1 + 2 + 3 + 3) = 33, rounded up to 36.
    plan = ch.plan_chunks(
        (50, 1, 30, 600, 600), [3, 3, 0, 0, 0], [1, 1, 1, 0, 1], 4,
        {"T": 20, "Z": 10, "Y": 200, "X": 200}, reach5=[3, -1, 2, -1, 5],
    )  # fmt: skip
    assert plan.depth == (20, 0, 8, 40, 36)
    movie = _camera_movie((12, 40, 44), seed=6)
    options: dict[str, Any] = {**GIVEN, "search": {"T": 1, "X": 5}, "threads": 1}
    lazy = quorvel.denoise(da.from_array(movie, chunks=(4, 40, 44)), "TYX", **options)
    assert lazy.numblocks[0] == 3
    np.testing.assert_array_equal(
        lazy.compute(scheduler="threads"), quorvel.denoise(movie, "TYX", **options)
    )


# --------------------------------------------------------------------------
# Chunk sizes as written by users


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("", "AXIS=SIZE"),
        ("T=1,,X=8", "AXIS=SIZE"),
        ("Y512", "not of the form"),
        ("Y=abc", "not of the form"),
        ("Q=4", "unknown axis 'Q'"),
        ("Y=8,y=16", "given twice"),
        ("C=1,S=1", "given twice"),
        ("X=0", ">= 1"),
        ("X=-4", ">= 1"),
    ],
)
def test_bad_chunk_spec_text(text: str, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        parse_chunk_spec(text)


def test_chunk_spec_text() -> None:
    assert parse_chunk_spec(" t = 1, Y=512,x=256 ,S=3") == {"T": 1, "Y": 512, "X": 256, "C": 3}


@pytest.mark.parametrize(
    ("shape", "radius5", "max_iter", "sizes", "message"),
    [
        ((4, 3, 1, 64, 64), [1, 1, 0, 0, 0], 4, {"C": 1}, "C cannot be chunked"),
        ((4, 1, 1, 64, 64), [3, 3, 0, 0, 0], 4, {"Y": 50}, "use Y=48 or Y=52"),
        ((4, 1, 1, 64, 64), [3, 3, 0, 0, 0], 4, {"X": 2}, "use X=4"),
        ((4, 1, 1, 99, 64), [3, 3, 0, 0, 0], 4, {"Y": 32}, "halo of 40.*Y=40"),
        ((9, 1, 1, 16, 16), [1, 1, 0, 0, 2], 1, {"T": 3}, "multiple of 2"),
        ((1, 1, 12, 16, 16), [1, 1, 1, 0, 0], 1, {"Z": 2}, "longer than 5"),
    ],
)
def test_bad_chunk_sizes(
    shape: tuple[int, ...], radius5: list[int], max_iter: int, sizes: dict[str, int], message: str
) -> None:
    with pytest.raises(ValueError, match=message):
        ch.plan_chunks(shape, radius5, [1, 1, 0, 0, 0], max_iter, sizes)


@pytest.mark.parametrize(
    ("extent", "size", "expected"),
    [
        (100, 40, (40, 60)),  # a last chunk of 20, shorter than the halo of 40, is merged
        (130, 40, (40, 40, 50)),
        (160, 40, (40, 40, 40, 40)),
        (90, 400, (90,)),  # larger than the image: one chunk, no halo
    ],
)
def test_chunk_sizes_along_y(extent: int, size: int, expected: tuple[int, ...]) -> None:
    plan = ch.plan_chunks((1, 1, 1, extent, 64), [3, 3, 0, 0, 0], [1, 1, 0, 0, 0], 4, {"Y": size})
    assert plan.chunks[3] == expected
    assert plan.depth[3] == (40 if len(expected) > 1 else 0)


def test_unlisted_axes_keep_the_default_chunks_aligned() -> None:
    default = ((1,) * 6, (2,), (1,), (30, 30), (13, 13, 14))
    plan = ch.plan_chunks(
        (6, 2, 1, 60, 40), [1, 1, 0, 0, 0], [1, 1, 0, 0, 1], 2, {"Y": 20}, default=default
    )
    assert plan.chunks[0] == (1,) * 6  # T: no halo needed before iteration 3
    assert plan.chunks[3] == (20, 20, 20)
    assert plan.chunks[4] == (12, 14, 14)  # cuts moved onto multiples of the grid step 2


# --------------------------------------------------------------------------
# Laziness, the noise estimate, threads


class _Counter:
    """A thread-safe call counter that wraps a function (picklable for one process only)."""

    def __init__(self, fn: Callable[..., Any]) -> None:
        self.fn = fn
        self.calls = 0
        self.lock = threading.Lock()

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        with self.lock:
            self.calls += 1
        return self.fn(*args, **kwargs)


def test_nothing_runs_until_computed_and_noise_is_estimated_once() -> None:
    shape = (6, 1, 1, 48, 32)
    radius5, search5 = [1, 1, 0, 0, 0], [1, 1, 1, 0, 1]
    image = _noisy(shape, 10.0, 2)
    reads = _Counter(lambda block: block)
    source = da.from_array(image, chunks=(1, 1, 1, 48, 32)).map_blocks(
        reads, dtype=np.float32, meta=np.empty((0,) * 5, dtype=np.float32)
    )
    estimator = _Counter(lambda s: float(_qv._calibrate_gaussian(np.ascontiguousarray(s))))
    kernel = _Counter(_kernel(radius5, search5, 4))
    plan = ch.plan_chunks(shape, radius5, search5, 4, {"T": 1, "Y": 24})
    noise = ch.estimate_lazy(source, estimator)
    lazy = ch.denoise_lazy(source, kernel, noise, plan, n_threads=1)
    assert (reads.calls, estimator.calls, kernel.calls) == (0, 0, 0)

    got = lazy.compute(scheduler="threads")
    assert estimator.calls == 1
    assert kernel.calls == plan.n_blocks == 12
    sigma = float(_qv._calibrate_gaussian(image))  # the sample is the whole image here
    np.testing.assert_array_equal(got, _whole(image, sigma, radius5, search5, 4))


@pytest.mark.parametrize(
    ("shape", "budget", "expected"),
    [
        # (start, stop) along T, C, Z, Y, X
        ((10, 2, 3, 8, 8), 10_000, ((0, 10), (0, 2), (0, 3), (0, 8), (0, 8))),
        # At least 4 frames (or, with fewer frames, 4 planes) stay, the crop gives way.
        ((10, 2, 3, 8, 8), 1_000, ((3, 7), (0, 2), (1, 2), (0, 8), (0, 8))),
        ((10, 1, 9, 8, 8), 200, ((3, 7), (0, 1), (4, 5), (0, 7), (0, 7))),
        ((2, 1, 9, 8, 8), 400, ((0, 2), (0, 1), (2, 6), (0, 7), (0, 7))),
        ((1, 1, 1, 100, 400), 2_500, ((0, 1), (0, 1), (0, 1), (25, 75), (175, 225))),
        ((1, 1, 1, 400, 10), 1_000, ((0, 1), (0, 1), (0, 1), (150, 250), (0, 10))),
    ],
)
def test_noise_sample_region(
    shape: tuple[int, ...], budget: int, expected: tuple[tuple[int, int], ...]
) -> None:
    region = ch.noise_sample_region(shape, budget)
    assert region == tuple(slice(a, b) for a, b in expected)
    assert np.empty(shape, dtype=np.int8)[region].size <= budget


def test_channel_constant_only_in_the_noise_sample_raises_on_compute(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    import quorvel
    from quorvel._chunked import sample

    # The noise is estimated on the middle frames, where channel 1 is empty:
    # passing it through would drop what the other frames hold.
    monkeypatch.setattr(sample, "noise_sample_region", lambda shape, budget: (slice(2, 4),))
    movie = np.stack([_camera_movie((6, 32, 32), seed=4), np.zeros((6, 32, 32))])
    movie[1, 0, 5, 5] = 9.0
    lazy = quorvel.denoise(da.from_array(movie, chunks=(2, 3, 32, 32)), "CTYX", threads=1)
    with pytest.raises(ValueError, match=r"channel 1 holds one value \(0\) where the noise"):
        lazy.compute(scheduler="sync")


def test_non_finite_block_raises_on_compute() -> None:
    image = _noisy((2, 1, 1, 16, 16), 5.0, 0)
    image[1, 0, 0, 3, 4] = np.nan
    plan = ch.plan_chunks(image.shape, [1, 1, 0, 0, 0], [1, 1, 0, 0, 0], 1, {"T": 1})
    kernel = _kernel([1, 1, 0, 0, 0], [1, 1, 0, 0, 0], 1)
    lazy = ch.denoise_lazy(da.from_array(image, chunks=plan.chunks), kernel, 5.0, plan)
    with pytest.raises(ValueError, match="NaN or infinite"):
        lazy.compute(scheduler="sync")


@pytest.mark.parametrize(("value", "message"), [(np.nan, "NaN"), (1e300, "beyond the float32")])
def test_lazy_noise_estimate_refuses_what_memory_refuses(value: float, message: str) -> None:
    import quorvel

    image = _noisy((4, 1, 1, 16, 16), 5.0, 0).astype(np.float64)
    image[1, 0, 0, 3, 4] = value
    with pytest.raises(ValueError, match=message):
        quorvel.estimate_noise(da.from_array(image, chunks=8), "TCZYX").compute()


@pytest.mark.parametrize(
    ("requested", "where", "num_workers", "n_blocks", "expected"),
    [
        (3, "main", None, 10, 3),  # an explicit count wins
        (0, "main", None, 10, 8),  # synchronous scheduler: one task at a time
        (-2, "main", None, 10, 6),
        (0, "pool", None, 10, 1),  # threaded scheduler, pool of 8 (the CPUs)
        (0, "pool", 4, 10, 2),
        (0, "pool", 4, 2, 4),  # only 2 blocks: 2 tasks at once
        (-5, "pool", 2, 10, 1),
    ],
)
def test_threads_per_task(
    monkeypatch: pytest.MonkeyPatch,
    requested: int,
    where: str,
    num_workers: int | None,
    n_blocks: int,
    expected: int,
) -> None:
    monkeypatch.setattr(dask.system, "CPU_COUNT", 8)
    result: list[int] = []
    with dask.config.set(num_workers=num_workers):
        if where == "main":
            result.append(ch.task_threads(requested, n_blocks))
        else:
            worker = threading.Thread(
                target=lambda: result.append(ch.task_threads(requested, n_blocks))
            )
            worker.start()
            worker.join()
    assert result == [expected]


# --------------------------------------------------------------------------
# quorvel.denoise and quorvel.estimate_noise on dask arrays


def _camera_movie(shape: tuple[int, ...], seed: int = 0) -> npt.NDArray[np.uint16]:
    """uint16 camera-like (T, ..., Y, X) data: a moving scene with Poisson-Gaussian noise."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij", sparse=True)
    t, y, x = grids[0], grids[-2], grids[-1]
    photons = 20.0 + 15.0 * np.sin(x / 4.0 + t / 3.0) * np.cos(y / 5.0)
    noisy = 100 + 2 * rng.poisson(np.broadcast_to(photons, shape)) + rng.normal(0, 3, shape)
    return noisy.astype(np.uint16)


#: Every setting of the denoiser given: none is chosen from the image.
GIVEN = {"patch_radius": 3, "search": "ZT", "iterations": 4, "pvalue": 0.01, "align": False}


def _exploding(shape: tuple[int, ...], chunks: tuple[int, ...]) -> da.Array:
    """A dask array whose chunks cannot be read: any computation of it fails."""

    def fail(block: Any) -> Any:
        raise AssertionError("a chunk was read")

    source = da.zeros(shape, chunks=chunks, dtype=np.uint16)
    return source.map_blocks(fail, dtype=np.uint16, meta=np.empty((0,) * len(shape), np.uint16))


@pytest.mark.parametrize(
    "options",
    [{}, {"noise": "gaussian"}, {"noise": "gaussian", "sigma": 4.0}],
    ids=["auto", "gaussian estimated", "gaussian given"],
)
def test_dask_input_gives_a_lazy_result(options: dict[str, Any]) -> None:
    import quorvel

    movie = _exploding((6, 64, 48), (1, 32, 24))
    # With every setting given nothing is read (the choice of settings and the
    # measure of the drift read a part).
    out = quorvel.denoise(movie, "TYX", **options, **GIVEN)
    assert isinstance(out, da.Array)
    assert (out.shape, out.dtype) == ((6, 64, 48), np.float32)
    model = quorvel.estimate_noise(movie, "TYX")
    assert isinstance(model, Delayed)
    with pytest.raises(AssertionError, match="a chunk was read"):
        out.compute(scheduler="sync")


@pytest.mark.parametrize(
    ("axes", "chunks", "options"),
    [
        ("TYX", (1, 48, 44), {"noise": "gaussian", "sigma": 5.0}),
        ("YXT", (96, 48, 2), {}),
        ("TYX", (2, 50, 88), {"noise": "gaussian"}),
        # Automatic noise, calibrated with several threads on either side.
        ("TYX", (3, 48, 88), {"threads": 3}),
        # An empty channel, passed through.
        ("CTYX", (2, 3, 48, 44), {}),
    ],
)
def test_dask_result_equals_numpy_result(
    axes: str, chunks: tuple[int, ...], options: dict[str, Any]
) -> None:
    import quorvel

    movie = _camera_movie((6, 96, 88), seed=4)
    if axes == "YXT":
        movie = np.ascontiguousarray(np.moveaxis(movie, 0, -1))
    if axes == "CTYX":
        movie = np.stack([movie, np.zeros_like(movie)])
    options = {"threads": 1, **options}
    lazy = quorvel.denoise(da.from_array(movie, chunks=chunks), axes, **options)
    assert isinstance(lazy, da.Array)
    with dask.config.set(num_workers=2):
        got = lazy.compute(scheduler="threads")
    np.testing.assert_array_equal(got, quorvel.denoise(movie, axes, **options))


def test_lazy_noise_estimate_sees_the_values_of_memory() -> None:
    # Float64 values whose noise float32 rounds away (steps of 1 at 1e7): in
    # memory the image is estimated in float32, one value throughout.
    import quorvel

    image = 1e7 + np.random.default_rng(3).normal(0.0, 0.1, (4, 32, 32))
    lazy = da.from_array(image, chunks=(2, 16, 32))
    rounds = "float32, in which quorvel computes, rounds"
    with pytest.warns(RuntimeWarning, match=rounds):
        expected = quorvel.denoise(image, "TYX", threads=1)
    with pytest.warns(RuntimeWarning, match=rounds):
        model = quorvel.estimate_noise(image, "TYX")
    with pytest.warns(RuntimeWarning, match=rounds):
        got = quorvel.denoise(lazy, "TYX", threads=1).compute()
    with pytest.warns(RuntimeWarning, match=rounds):
        lazy_model = quorvel.estimate_noise(lazy, "TYX").compute()
    for name in ("gain", "offset", "sigma"):  # NaN gain and offset: no line
        np.testing.assert_array_equal(getattr(lazy_model, name), getattr(model, name))
    np.testing.assert_array_equal(got, expected)


def test_noise_is_estimated_once_and_shared_by_every_chunk(fake_core: Any) -> None:
    import quorvel

    movie = _camera_movie((6, 40, 40))
    lazy = quorvel.denoise(da.from_array(movie, chunks=(1, 40, 40)), "TYX", noise="auto", **GIVEN)
    assert fake_core.calls == []
    lazy.compute(scheduler="threads")
    names = [name for name, _ in fake_core.calls]
    assert names.count("fit_package") == 1
    calls = [args for name, args in fake_core.calls if name == "_denoise_poisson_gaussian"]
    assert len(calls) == 6
    assert len({(tuple(a[2]), tuple(a[3])) for a in calls}) == 1  # one gain and offset


def test_delayed_model_is_reused_by_denoise() -> None:
    import quorvel

    movie = _camera_movie((4, 48, 40), seed=2)
    source = da.from_array(movie, chunks=(1, 48, 40))
    model = quorvel.estimate_noise(source, "TYX")
    lazy = quorvel.denoise(source, "TYX", model=model, threads=1)
    got, computed = dask.compute(lazy, model, scheduler="sync")
    assert isinstance(computed, quorvel.NoiseModel)
    np.testing.assert_array_equal(got, quorvel.denoise(movie, "TYX", model=computed, threads=1))


def test_two_lazy_results_computed_together_stay_apart() -> None:
    import quorvel

    movie = _camera_movie((3, 40, 40), seed=6)
    source = da.from_array(movie, chunks=(1, 40, 40))
    lazy = [quorvel.denoise(source, "TYX", noise="gaussian", sigma=s, threads=1) for s in (4, 9)]
    got = dask.compute(*lazy, scheduler="threads")
    for result, sigma in zip(got, (4, 9), strict=True):
        expected = quorvel.denoise(movie, "TYX", noise="gaussian", sigma=sigma, threads=1)
        np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"axes": "TYX", "patch_radius": 40}, ValueError, "too large"),
        ({"axes": "TXY", "iterations": 0}, ValueError, "iterations"),
        ({"axes": "TY"}, ValueError, "names 2 axes"),
        ({"axes": "TYX", "noise": "gaussian", "sigma": -1.0}, ValueError, "sigma"),
    ],
)
def test_dask_parameters_checked_before_anything_is_read(
    kwargs: dict[str, Any], error: type, message: str
) -> None:
    import quorvel

    with pytest.raises(error, match=message):
        quorvel.denoise(_exploding((6, 64, 48), (1, 32, 24)), **kwargs)


# --------------------------------------------------------------------------
# The command line with zarr stores


def _cli(capsys: pytest.CaptureFixture[str], *args: Any) -> tuple[int, str, str]:
    from quorvel.cli import main

    try:
        status = main([str(a) for a in args])
    except SystemExit as exc:
        status = int(exc.code or 0)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def _zarr_input(path: Any, data: npt.NDArray[Any], axes: str, chunks: tuple[int, ...]) -> None:
    import zarr

    array = zarr.create_array(
        store=str(path), shape=data.shape, chunks=chunks, dtype=data.dtype,
        dimension_names=list(axes),
    )  # fmt: skip
    array[...] = data


def test_zarr_chunks_are_written_as_they_are_done(tmp_path: Any) -> None:
    from quorvel.io import write_zarr

    target = tmp_path / "out.zarr"
    lag: list[int] = []

    def compute_chunk(block: Any) -> Any:
        written = sum(1 for p in (target / "c").rglob("*") if p.is_file()) if target.exists() else 0
        lag.append(len(lag) - written)  # chunks computed before this one but not yet stored
        return block + 1

    source = da.zeros((12, 8, 8), chunks=(1, 8, 8), dtype=np.float32)
    meta = np.empty((0, 0, 0), np.float32)
    result = source.map_blocks(compute_chunk, dtype=np.float32, meta=meta)
    dask.compute(write_zarr(target, result, "TYX"), scheduler="sync")
    assert len(lag) == 12
    assert max(lag) <= 2  # never more than a couple of chunks held back from the store


@pytest.mark.parametrize("keep_dtype", [False, True])
def test_cli_zarr_round_trip(
    tmp_path: Any, capsys: pytest.CaptureFixture[str], keep_dtype: bool
) -> None:
    import zarr

    import quorvel

    movie = _camera_movie((5, 96, 88), seed=1)
    src, dst = tmp_path / "in.zarr", tmp_path / "out.zarr"
    _zarr_input(src, movie, "TYX", (1, 96, 88))
    extra = ["--keep-dtype"] if keep_dtype else []
    status, out, err = _cli(
        capsys, "denoise", src, "-o", dst, "--chunks", "T=1,Y=48,X=44", "--gain", "2",
        "--offset=-190", "--threads", "1", *extra,
    )  # fmt: skip
    assert status == 0, err
    assert f"{src} -> {dst}: TYX 5 x 96 x 88 uint16" in out and "chunks 1x48x44" in out
    assert "100% Completed" in err  # the progress bar
    result = zarr.open_array(str(dst), mode="r")
    assert result.metadata.dimension_names == ("T", "Y", "X")
    assert result.chunks == (1, 48, 44)
    model = quorvel.NoiseModel(2.0, -190.0)
    expected = quorvel.denoise(movie, "TYX", model=model, threads=1)
    if keep_dtype:
        expected = np.clip(np.rint(expected), 0, 65535).astype(np.uint16)
    assert result.dtype == expected.dtype
    first = result[...]
    np.testing.assert_array_equal(first, expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.zarr", "out.zarr"]

    # Estimation on a store, and a second run replacing the output.
    status, out, err = _cli(capsys, "estimate", src, "--json")
    assert status == 0, err
    assert 1.5 < json.loads(out)["gain"][0] < 2.5
    status, _, err = _cli(capsys, "denoise", src, "-o", dst, "--sigma", "9", "-q", "--overwrite")
    assert status == 0, err
    assert not np.array_equal(zarr.open_array(str(dst), mode="r")[...], first)


def test_cli_tiff_read_lazily_into_zarr(tmp_path: Any, capsys: pytest.CaptureFixture[str]) -> None:
    import tifffile
    import zarr

    import quorvel

    movie = _camera_movie((4, 2, 48, 44), seed=3)
    src, dst = tmp_path / "in.tif", tmp_path / "out.zarr"
    tifffile.imwrite(src, movie, imagej=True, metadata={"axes": "TCYX"})
    status, _, err = _cli(
        capsys,
        "denoise",
        src,
        "-o",
        dst,
        "--sigma",
        "6,7",
        "--threads",
        "1",
        "--chunks",
        "T=1",
        "-q",
    )
    assert status == 0, err
    result = zarr.open_array(str(dst), mode="r")
    assert result.metadata.dimension_names == ("T", "C", "Y", "X")
    expected = quorvel.denoise(movie, "TCYX", noise="gaussian", sigma=(6.0, 7.0), threads=1)
    np.testing.assert_array_equal(result[...], expected)


GIVEN_CLI = ["--patch-radius", "3", "--search", "ZT", "--iterations", "4", "--pvalue", "0.01"]


@pytest.mark.parametrize(
    ("options", "note", "used"),
    [
        ([], ": read in chunks of 6 x 64 x 64", "chunks 6x64x64"),
        (GIVEN_CLI, " (its halos would make 2.7 times the work", "chunks 6x64x64"),
        (["--chunks", "T=1"], None, "chunks 1x64x64"),
    ],
)
def test_cli_merges_small_stored_chunks_and_says_so(
    tmp_path: Any,
    capsys: pytest.CaptureFixture[str],
    options: list[str],
    note: str | None,
    used: str,
) -> None:
    """A store of one frame per chunk costs three frames per frame unless merged for the run.

    The work is stated only for settings given: those chosen for the image
    are not known before it is read.
    """
    import zarr

    import quorvel

    movie = _camera_movie((6, 64, 64), seed=2)
    src, dst = tmp_path / "in.zarr", tmp_path / "out.zarr"
    _zarr_input(src, movie, "TYX", (1, 64, 64))
    status, out, err = _cli(
        capsys, "denoise", src, "-o", dst, "--sigma", "6", "--threads", "1", *options
    )
    assert status == 0, err
    stored = "stored in chunks of 1 x 64 x 64 (TYX), small for this run"
    assert (stored in err) == (note is not None) and (note is None or stored + note in err), err
    assert used in out
    settings = {"patch_radius": 3, "search": "ZT", "iterations": 4, "pvalue": 0.01}
    given = settings if options == GIVEN_CLI else {}
    expected = quorvel.denoise(movie, "TYX", noise="gaussian", sigma=6.0, threads=1, **given)
    np.testing.assert_array_equal(zarr.open_array(str(dst), mode="r")[...], expected)


def test_cli_tunes_a_chunked_run(tmp_path: Any, capsys: pytest.CaptureFixture[str]) -> None:
    import quorvel
    from quorvel.io import read_image

    movie = _camera_movie((5, 96, 88), seed=1)
    src, dst = tmp_path / "in.zarr", tmp_path / "out.zarr"
    _zarr_input(src, movie, "TYX", (1, 96, 88))
    status, out, err = _cli(
        capsys,
        "denoise",
        src,
        "-o",
        dst,
        "--chunks",
        "T=1",
        "--gain",
        "2",
        "--offset=-190",
        "--threads",
        "1",
        "--tune",
    )
    assert status == 0, err
    tuned = read_image(dst).metadata["provenance"]["parameters"]["tuned"]
    settings = tuned["settings"]
    assert "; tuned patch radius " in out and "chunks 1x96x88" in out
    # Frames asked for one by one get the halo the chosen reach needs.
    assert settings["search"]["T"] is not None
    model = quorvel.NoiseModel(2.0, -190.0)
    expected = quorvel.denoise(movie, "TYX", model=model, threads=1, **settings)
    np.testing.assert_array_equal(read_image(dst).data, expected)


def test_lazy_tiff_reader_closes_its_file(tmp_path: Any) -> None:
    import gc
    import warnings

    import tifffile

    from quorvel.io import read_lazy

    src = tmp_path / "in.tif"
    tifffile.imwrite(src, _camera_movie((3, 40, 40), seed=4), imagej=True, metadata={"axes": "TYX"})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        image = read_lazy(src)
        assert image.data[1].compute().shape == (40, 40)
        del image
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--chunks", "T=1,Y512"], 2, "'Y512' is not of the form AXIS=SIZE"),
        (["--chunks", "W=4"], 2, "unknown axis 'W'"),
        (["--chunks", "Y=0"], 2, "must be >= 1"),
        (["--chunks", "Y=50"], 1, "Y=50 is not a multiple of 4.*use Y=48 or Y=52"),
        (["--chunks", "X=32"], 1, "X=32 is smaller than the halo of 40"),
        (["--chunks", "C=1"], 1, "C cannot be chunked"),
        (["--chunks", "Z=4"], 1, "the image has no Z axis"),
        (["--chunks", "T=1", "-o", "{tmp}/out.tif"], 1, "writes a zarr store"),
    ],
)
def test_cli_bad_chunk_specifications(
    tmp_path: Any, capsys: pytest.CaptureFixture[str], args: list[str], status: int, message: str
) -> None:
    src = tmp_path / "in.zarr"
    _zarr_input(src, _camera_movie((3, 2, 96, 96)).astype(np.float32), "TCYX", (1, 2, 96, 96))
    output = [] if "-o" in args else ["-o", tmp_path / "out.zarr"]
    argv = [a.replace("{tmp}", str(tmp_path)) for a in args]
    given = ["--patch-radius", "3", "--search", "ZT", "--iterations", "4", "--pvalue", "0.01"]
    got, _, err = _cli(capsys, "denoise", src, *output, *argv, *given, "--sigma", "5")
    assert got == status
    assert re.search(message, err), err
    assert err.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.zarr"]


@pytest.mark.parametrize(
    ("chunks", "kept"),
    [("T=1", None), ("T=1,Y=48", {"Y": 48})],
)
def test_cli_batch_chunks_apply_to_the_axes_each_file_has(
    tmp_path: Any, capsys: pytest.CaptureFixture[str], chunks: str, kept: Any
) -> None:
    """A batch of a time-lapse and a z-stack: T=1 chunks the one and is left out for the other."""
    import tifffile

    from quorvel.io import read_image

    movie = _camera_movie((3, 48, 48), seed=5)
    tifffile.imwrite(tmp_path / "movie.tif", movie, imagej=True, metadata={"axes": "TYX"})
    tifffile.imwrite(tmp_path / "stack.tif", movie, imagej=True, metadata={"axes": "ZYX"})
    out = tmp_path / "out"
    status, _, err = _cli(
        capsys, "denoise", tmp_path / "movie.tif", tmp_path / "stack.tif", "-o", out,
        "--chunks", chunks, "--sigma", "6", "--threads", "1",
    )  # fmt: skip
    assert status == 0, err
    assert "stack.tif: no T axis (axes ZYX); --chunks T=1 left out for this file" in err
    assert "movie.tif: no" not in err
    stack = read_image(out / "stack.zarr")
    assert stack.metadata["provenance"]["parameters"]["chunks"] == kept
    assert read_image(out / "movie.zarr").data.shape == movie.shape


# --------------------------------------------------------------------------
# A distributed cluster


@pytest.fixture(scope="module")
def cluster_address() -> Any:
    """A local cluster of two single-threaded worker processes."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        yield cluster.scheduler_address


def test_distributed_cluster_with_two_worker_processes(cluster_address: str) -> None:
    import distributed

    shape = (6, 1, 1, 40, 40)
    radius5, search5, max_iter = [2, 2, 0, 0, 0], [1, 1, 1, 0, 1], 4
    image = _noisy(shape, 10.0, 9)
    plan = ch.plan_chunks(shape, radius5, search5, max_iter, {"T": 2})
    lazy = ch.denoise_lazy(
        da.from_array(image, chunks=plan.chunks), _kernel(radius5, search5, max_iter), 10.0, plan
    )
    with distributed.Client(cluster_address) as client:
        got = client.compute(lazy).result()
        threads = client.submit(ch.task_threads, 0, plan.n_blocks, pure=False).result()
        hosts = {w["host"] for w in client.scheduler_info(n_workers=-1)["workers"].values()}
    # Two single-threaded workers on one host share its CPUs.
    assert len(hosts) == 1
    assert threads == max(1, dask.system.CPU_COUNT // 2)
    np.testing.assert_array_equal(got, _whole(image, 10.0, radius5, search5, max_iter))


def test_cli_on_a_scheduler(
    cluster_address: str, tmp_path: Any, capsys: pytest.CaptureFixture[str]
) -> None:
    import tifffile
    import zarr

    import quorvel

    movie = _camera_movie((6, 48, 40), seed=5)
    src, dst = tmp_path / "in.tif", tmp_path / "out.zarr"
    tifffile.imwrite(src, movie, imagej=True, metadata={"axes": "TYX"})
    status, out, err = _cli(
        capsys,
        "denoise",
        src,
        "-o",
        dst,
        "--chunks",
        "T=2",
        "--scheduler",
        cluster_address,
        "--sigma",
        "6",
    )
    assert status == 0, err
    assert "chunks 2x48x40" in out
    expected = quorvel.denoise(movie, "TYX", noise="gaussian", sigma=6.0, threads=1)
    np.testing.assert_array_equal(zarr.open_array(str(dst), mode="r")[...], expected)


def test_cli_unreachable_scheduler(tmp_path: Any, capsys: pytest.CaptureFixture[str]) -> None:
    src = tmp_path / "in.zarr"
    _zarr_input(src, _camera_movie((2, 48, 40)), "TYX", (1, 48, 40))
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        status, _, err = _cli(
            capsys,
            "denoise",
            src,
            "-o",
            tmp_path / "out.zarr",
            "--sigma",
            "5",
            "--scheduler",
            "tcp://127.0.0.1:9",
        )
    assert status == 1
    assert "cannot reach the dask scheduler at tcp://127.0.0.1:9" in err


def test_cli_when_the_scheduler_dies_mid_run(tmp_path: Any) -> None:
    import subprocess
    import sys
    import time

    import tifffile

    pytest.importorskip("distributed")
    src, dst, file = tmp_path / "in.tif", tmp_path / "out.zarr", tmp_path / "scheduler.json"
    movie = _camera_movie((4, 512, 512), seed=2)
    tifffile.imwrite(src, movie, imagej=True, metadata={"axes": "TYX"})

    def start(*args: Any) -> Any:
        return subprocess.Popen([sys.executable, "-m", *args, "--no-dashboard"],
                                stderr=subprocess.DEVNULL)  # fmt: skip

    scheduler = start("distributed.cli.dask_scheduler", "--scheduler-file", file,
                      "--host", "127.0.0.1", "--port", "0")  # fmt: skip
    worker = None
    try:
        while not file.exists():
            time.sleep(0.1)
        time.sleep(0.5)  # the file is written, then filled
        worker = start("distributed.cli.dask_worker", "--scheduler-file", file, "--nthreads", "1")
        run = subprocess.Popen(
            [sys.executable, "-m", "quorvel", "denoise", src, "-o", dst, "--chunks",
             "Y=512,X=512", "--sigma", "6", "--iterations", "6", "--threads", "1", "-q",
             "--scheduler", json.loads(file.read_text())["address"]],
            stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        while not any(".partial" in p.name for p in tmp_path.iterdir()) and run.poll() is None:
            time.sleep(0.1)
        time.sleep(2.0)  # the chunk runs on the worker
        scheduler.kill()
        err = run.communicate(timeout=60)[1]
    finally:
        for process in (scheduler, worker):
            if process is not None:
                process.kill()
                process.wait()
    assert run.returncode == 1
    assert err.startswith("quorvel: error: the dask scheduler at tcp://127.0.0.1:"), err
    assert err.endswith("before the computation ended; nothing was written\n"), err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.tif", "scheduler.json"]


def test_stopping_one_pool_leaves_the_chunks_of_another_running() -> None:
    # Two chunked runs in one process (a napari Cancel beside a script's run):
    # each run's chunks poll their own pool's flag.
    from quorvel._lazy import _poll_stop, stoppable_pool
    from quorvel._progress import Interrupted

    def polled() -> str:
        try:
            _poll_stop(0.5)
        except Interrupted:
            return "stopped"
        return "running"

    with stoppable_pool() as first, stoppable_pool() as second:
        first.stop()
        assert first.submit(polled).result() == "stopped"
        assert second.submit(polled).result() == "running"
    assert polled() == "running"  # outside any pool: nothing to stop
