"""Settings chosen per image.

What runs is what is recorded, given values win, the choice follows the
image within its time budget, and chunked runs stay exact.
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest

import quorvel
from quorvel import _auto, _band, _drift, _moves
from quorvel._core import CoreSettings, NoisePlan
from quorvel._run import _run_denoise

SIGMA = 4.0
NOISE = {"noise": "gaussian", "sigma": SIGMA}
UNSET = {"patch_radius": None, "search": None, "iterations": None, "pvalue": None}


def _movie(
    smooth: Callable[..., Any], frames: int, step: int, seed: int = 0
) -> npt.NDArray[np.float32]:
    """`frames` noisy frames of a textured scene moving `step` pixels per frame along X."""
    scene = smooth((48, 64), seed)
    scene += 20.0 * np.sin(np.arange(64) / 1.5)[None, :] * np.cos(np.arange(48) / 2.0)[:, None]
    clean = np.stack([np.roll(scene, step * t, axis=1) for t in range(frames)])
    rng = np.random.default_rng(seed + 1)
    return (clean + rng.normal(0.0, SIGMA, clean.shape)).astype(np.float32)


def _run(image: npt.ArrayLike, axes: str, **given: Any) -> tuple[Any, _auto.Choice]:
    chosen: list[_auto.Choice] = []
    out, _, _ = _run_denoise(
        image,
        axes,
        **NOISE,
        model=None,
        renoise=0.0,
        threads=2,
        **{**UNSET, **given},
        on_settings=chosen.append,
    )
    return out, chosen[0]


@pytest.mark.parametrize("layout", ["YX", "still TYX", "moving TYX", "ZYX", "CYX", "YXS"])
def test_recorded_settings_reproduce_the_run(smooth: Callable[..., Any], layout: str) -> None:
    movie = _movie(smooth, 6, 0 if layout.startswith("still") else 3)
    image, axes = {
        "YX": (movie[0], "YX"),
        "ZYX": (movie, "ZYX"),
        "CYX": (movie[:2], "CYX"),
        "YXS": (np.moveaxis(movie[:3], 0, -1), "YXS"),
    }.get(layout, (movie, "TYX"))
    out, choice = _run(image, axes)
    assert choice.chosen == _auto.PARAMETERS
    # What the choice records is what ran: its settings given back give the same bits.
    again = quorvel.denoise(image, axes, **NOISE, threads=1, **choice.settings)
    np.testing.assert_array_equal(out, again)
    assert choice.settings["channels"] == ("joint" if axes == "YXS" else "independent")
    if axes == "CYX":  # each channel on its own: as if denoised alone
        settings = {**choice.settings, "patch_radius": {"X": choice.settings["patch_radius"]["X"]}}
        for c in range(2):
            alone = quorvel.denoise(image[c], "YX", **NOISE, threads=1, **settings)
            np.testing.assert_array_equal(out[c], alone)


@pytest.mark.parametrize(("shape", "axes"), [((40, 1), "YX"), ((40, 3), "YX"), ((6, 40, 4), "TYX")])
def test_strips_narrower_than_a_patch_are_denoised(
    smooth: Callable[..., Any], shape: tuple[int, ...], axes: str
) -> None:
    clean = np.broadcast_to(smooth((40, 1), 3) + 50.0, shape)
    image = clean + np.random.default_rng(4).normal(0.0, SIGMA, shape).astype(np.float32)
    out, choice = _run(image, axes)
    # The patch fits the strip, the recorded settings reproduce the run, and it denoises.
    radius = choice.settings["patch_radius"]
    assert radius["Y"] >= 1 and 2 * radius["Y"] + 1 <= shape[-2]
    assert shape[-1] == 1 or 2 * radius["X"] + 1 <= shape[-1]
    again = quorvel.denoise(image, axes, **NOISE, threads=1, **choice.settings)
    np.testing.assert_array_equal(out, again)
    tuned = quorvel.denoise(image, axes, **NOISE, tune=True)
    for result in (out, tuned):
        assert np.mean((result - clean) ** 2) < 0.5 * SIGMA**2


def test_given_settings_win_and_the_rest_is_chosen(smooth: Callable[..., Any]) -> None:
    movie = _movie(smooth, 6, 0)
    _, choice = _run(movie, "TYX", iterations=2, pvalue=0.2, patch_radius={"X": 2, "Y": 2})
    assert (choice.settings["iterations"], choice.settings["pvalue"]) == (2, 0.2)
    assert choice.settings["patch_radius"]["X"] == 2
    assert set(choice.chosen) == {"radius_t", "search"}  # no Z: no radius along it to choose
    for radius in (3, {"X": 3, "Y": 3, "T": 0}):
        _, given = _run(movie, "TYX", patch_radius=radius, search="ZT", iterations=4, pvalue=0.01)
        assert given.chosen == ()
        assert given.settings["search"] == {"T": None} and given.settings["patch_radius"]["T"] == 0


def test_reach_follows_how_alike_the_frames_are(smooth: Callable[..., Any]) -> None:
    frames = 8
    _, still = _run(_movie(smooth, frames, 0), "TYX")
    _, moving = _run(_movie(smooth, frames, 3), "TYX")
    assert still.settings["search"] == {"T": frames - 1}  # every frame
    assert moving.settings["search"]["T"] < frames - 1
    assert (still.settings["patch_radius"]["T"], moving.settings["patch_radius"]["T"]) == (0, 1)


def test_the_choice_keeps_to_its_time_budget(smooth: Callable[..., Any]) -> None:
    movie = _movie(smooth, 40, 0)[:, None, None]  # a still sequence of 40 frames, core layout
    base = CoreSettings((3, 3, 0, 0, 0), (1, 1, 1, 0, 1), 4, 0.01, 0.0)
    plan = NoisePlan((None,), (None,), (SIGMA,))
    free = _auto.free_parameters(None, None, None, None)
    settings, _ = _auto.choose(movie, plan, base, free)
    # The whole sequence in 4 iterations would be too dear: one of them is cut.
    assert settings.reach[4] < 39 or settings.iterations < 4
    assert _auto.work(settings, movie.shape) <= _auto.budget(movie.shape)
    # Settings a chunking refuses are made cheaper until it holds them.
    held, _ = _auto.choose(movie, plan, base, free, allowed=lambda s: s.reach[4] <= 2)
    assert held.reach[4] == 2
    # Where none fits: the settings as given, and none of them called chosen.
    fallback, choice = _auto.choose(movie, plan, base, free, allowed=lambda s: False)
    assert fallback == base and choice.chosen == () and "chosen" not in str(choice)


@pytest.mark.parametrize(
    ("deep", "frames", "radius", "expected"),
    [
        (1, 10, 2, (4, 4, None, 2)),
        (1, 40, 2, (4, 3, None, 2)),
        (1, 80, 2, (4, 2, None, 2)),
        (0, 12, 2, (4, 11, None, 2)),
        (0, 16, 2, (4, 15, 4, 2)),
        (0, 20, 2, (4, 19, 4, 2)),
        (0, 28, 2, (3, 27, None, 3)),
        (0, 28, 3, (4, 27, 4, 3)),
        (0, 31, 3, (3, 30, None, 3)),
    ],
)
def test_a_sequence_keeps_to_the_budget_as_its_length_asks(
    deep: int, frames: int, radius: int, expected: tuple[int, int, int | None, int]
) -> None:
    # The work counts the frames as the kernel does: a patch three frames
    # deep fits in all but the first and last, and every frame searched
    # costs alike.  Over budget a moving sequence's reach loses frames
    # before the patch its depth; a still one caps its fourth iteration's
    # window in the plane (where that is cheap enough), then drops that
    # iteration (its 5 x 5 patches then 7 x 7), before half its frames; 5 x 5
    # patches count a quarter more work there than the model gives them.
    shape = (frames, 1, 1, 128, 128)
    base = CoreSettings((3, 3, 0, 0, 0), (1, 1, 1, 0, 1), 4, 0.01, 0.0)
    free = _auto.free_parameters(None, None, None, None)
    reach = 4 if deep else frames - 1
    point = _auto._Point(radius, 0.01, 4, deep=deep, reach=reach)

    def fits(p: Any) -> bool:
        return _auto._within(p, _auto._apply(base, p, free, shape), shape, _auto.budget(shape))

    iterations, kept, plane, kept_radius = expected
    assert _auto._fitting(point, fits) == _auto._Point(
        kept_radius, 0.01, iterations, deep=deep, reach=kept, plane_reach=plane
    )


def test_dim_sparse_planes_take_a_sixth_iteration_in_a_capped_window() -> None:
    rng = np.random.default_rng(3)
    clean = np.zeros((128, 128), np.float32)
    for y, x in rng.integers(4, 122, (30, 2)):  # dim spots on a dark ground
        clean[y : y + 3, x : x + 3] = 2.0 * SIGMA
    image = clean + rng.normal(0.0, SIGMA, clean.shape).astype(np.float32)
    _, choice = _run(image, "YX")
    assert choice.settings["iterations"] == 6
    assert choice.settings["search"] == {"X": 20, "Y": 20}
    # Four channels, each a run of its own: over the time budget.
    _, four = _run(np.stack([image] * 4), "CYX")
    assert four.settings["iterations"] == 5 and four.settings["search"] == {}
    # Where the sixth does not fit: five iterations, the window growing again.
    base = CoreSettings((3, 3, 0, 0, 0), (1, 1, 1, 0, 1), 4, 0.01, 0.0)
    plan = NoisePlan((None,), (None,), (SIGMA,))
    free = _auto.free_parameters(None, None, None, None)
    held, _ = _auto.choose(
        image[None, None, None], plan, base, free, allowed=lambda s: s.iterations < 6
    )
    assert held.iterations == 5 and not held.reach


@pytest.mark.parametrize(
    ("level", "expected"),
    [(2.0, (5, {"X": 7, "Y": 7, "T": 3}, 0.001)), (12.0, (4, {"T": 4}, 0.01))],
)
def test_dim_spots_moving_on_their_own_take_a_capped_fifth_iteration(
    level: float, expected: tuple[int, dict[str, int], float]
) -> None:
    rng = np.random.default_rng(3)
    start, step = rng.uniform(8, 120, (40, 2)), rng.normal(0.0, 1.5, (40, 2))
    yy, xx = np.mgrid[:128, :128]
    clean = np.zeros((8, 128, 128), np.float32)
    for t in range(8):  # each spot its own way
        for (y, x), (dy, dx) in zip(start, step, strict=True):
            clean[t] += (
                level * SIGMA * np.exp(-((yy - y - t * dy) ** 2 + (xx - x - t * dx) ** 2) / 4)
            )
    image = clean + rng.normal(0.0, SIGMA, clean.shape).astype(np.float32)
    _, choice = _run(image, "TYX")
    s = choice.settings
    assert (s["iterations"], s["search"], s["pvalue"]) == expected


def _drifting(smooth: Callable[..., Any]) -> tuple[Any, Any, Any]:
    """A scene drifting by fractions of a pixel, new structure coming in: truth, noisy, step."""
    from scipy import ndimage

    scene = 40.0 * smooth((128, 128), 5)
    step = np.array([0.7, 1.4])
    clean = np.stack([ndimage.shift(scene, t * step)[16:112, 16:112] for t in range(8)])
    rng = np.random.default_rng(6)
    return clean, (clean + rng.normal(0.0, SIGMA, clean.shape)).astype(np.float32), step


def test_a_drifting_sequence_is_aligned_exactly_and_in_chunks(
    smooth: Callable[..., Any], psnr: Callable[..., float]
) -> None:
    da = pytest.importorskip("dask.array")
    clean, movie, step = _drifting(smooth)
    rng = np.random.default_rng(7)
    out, choice = _run(movie, "TYX")
    np.testing.assert_allclose(choice.shifts, [-t * step for t in range(8)], atol=0.1)
    assert choice.settings["align"] is True
    plain = quorvel.denoise(movie, "TYX", **NOISE, threads=2, align=False)
    whole = movie[:, None, None].copy()  # aligned by whole pixels only, as before
    _drift.roll_frames(whole, _drift.whole_pixels(choice.shifts))
    rolled = quorvel.denoise(whole[:, 0, 0], "TYX", **NOISE, threads=2, align=False)
    _drift.roll_frames(rolled[:, None, None], _drift.whole_pixels(choice.shifts), back=True)
    assert psnr(clean, out) > max(psnr(clean, plain), psnr(clean, rolled)) + 0.5
    # A volume over time drifts in the plane alike (measured on its mean over Z).
    _, volume = _run(np.stack([movie, 0.5 * movie + 20.0], axis=1), "TZYX")
    assert volume.settings["align"] is True
    np.testing.assert_allclose(volume.shifts, choice.shifts, atol=0.1)
    # Frames cut along Y keep their chunks when rolled (dask warns where the
    # frames' different cuts would multiply the chunks); chunks of whole
    # frames (the last one shorter) are rolled each by itself.
    for chunks in ((1, 48, 96), (3, 96, 96)):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            lazy = quorvel.denoise(da.from_array(movie, chunks=chunks), "TYX", **NOISE, threads=2)
        np.testing.assert_array_equal(lazy.compute(scheduler="sync"), out)
    # A blank frame shows no shift; the frames after it are measured against
    # the last one that shows something.
    blank = movie.copy()
    blank[3] = 0.0
    shifts = list(_drift.frame_shifts(blank[:, None, None]))
    assert shifts[3] == shifts[2]
    np.testing.assert_allclose(shifts[:3] + shifts[4:], np.delete(choice.shifts, 3, 0), atol=0.1)
    # Noise alone is not aligned on; asked to, it is, with a warning.
    noisy = rng.normal(0.0, SIGMA, movie.shape)
    _, noise = _run(noisy, "TYX")
    assert noise.shifts == () and noise.settings["align"] is False
    with pytest.warns(RuntimeWarning, match="align=True: the frames' shifts do not hold"):
        quorvel.denoise(noisy, "TYX", **NOISE, align=True, iterations=1)
    with warnings.catch_warnings():  # shifts that hold: aligned as asked, without a word
        warnings.simplefilter("error")
        quorvel.denoise(movie, "TYX", **NOISE, align=True, iterations=1)


def test_hot_pixels_of_a_drifting_sequence_do_not_ring(
    smooth: Callable[..., Any], psnr: Callable[..., float]
) -> None:
    # Moved by fractions of a pixel through the Fourier transform, a hot
    # pixel rang across its row and column (errors of hundreds of times the
    # noise), and moved with the frame it smeared along the drift.
    clean, movie, _ = _drifting(smooth)
    plain, _ = _run(movie, "TYX")
    hot = [(40, 30), (70, 95), (10, 60)]  # the second on the right edge
    for y, x in hot:
        movie[:, y, x] += 500.0 * SIGMA
    out, choice = _run(movie, "TYX")
    assert choice.settings["align"] is True
    near = np.zeros(movie.shape[1:], dtype=bool)
    for y, x in hot:
        near[max(y - 3, 0) : y + 4, max(x - 3, 0) : x + 4] = True
        assert out[0, y, x] == movie[0, y, x]  # a hot pixel stays as it was
    lines = np.zeros_like(near)
    for y, x in hot:
        lines[y, :] = lines[:, x] = True
    error = np.abs(out - clean)
    assert error[:, lines & ~near].mean() < 1.5 * SIGMA
    assert psnr(clean[:, ~near], out[:, ~near]) > psnr(clean[:, ~near], plain[:, ~near]) - 0.3


@pytest.mark.parametrize("size", [(40, 33), (33, 48)])
def test_frames_moved_by_fractions_come_back_and_keep_their_noise(size: tuple[int, int]) -> None:
    rng = np.random.default_rng(2)
    noise = rng.normal(0.0, 1.0, (3, 1, 1, *size)).astype(np.float32)
    shifts = ((0.0, 0.0), (0.37, -1.5), (-6.25, 9.5))
    padded = _moves.pad_frames(noise, shifts)
    assert padded.shape[3:] == _moves.padded_shape(noise.shape)[3:]
    assert all(n % 2 == 1 for n in padded.shape[3:])  # where the move is unitary
    np.testing.assert_allclose(_moves.unpad_frames(padded, shifts, noise), noise, atol=1e-5)
    inner = padded[:, :, :, 5:-5, 5:-5]
    assert abs(float(inner.std()) - float(noise.std())) < 0.03  # white noise keeps its level
    # A variance map moves with the squared weights: a flat one stays flat,
    # and a whole-pixel move is a roll.
    flat = _moves.unpad_frames(np.full_like(padded, 4.0), shifts, noise, variance=True)
    np.testing.assert_allclose(flat, 4.0, rtol=1e-5)
    spread = rng.uniform(0.0, 1.0, padded.shape).astype(np.float32)
    moved = _moves.unpad_frames(spread, ((2.0, -3.0),) * 3, noise, variance=True)
    rolled = np.roll(spread, (-2, 3), axis=(3, 4))[:, :, :, 4 : 4 + size[0], 4 : 4 + size[1]]
    np.testing.assert_allclose(moved, rolled, atol=1e-6)


def test_chunked_runs_equal_in_memory_with_the_chosen_reach(smooth: Callable[..., Any]) -> None:
    da = pytest.importorskip("dask.array")
    from quorvel._lazy import _denoise_lazy

    movie = _movie(smooth, 8, 0)
    out, choice = _run(movie, "TYX")
    assert choice.settings["search"]["T"] == 7
    # Chunks of one frame: the halo along T holds the reach (chunks merged).
    lazy = quorvel.denoise(da.from_array(movie, chunks=(1, 48, 64)), "TYX", **NOISE, threads=2)
    np.testing.assert_array_equal(lazy.compute(scheduler="sync"), out)
    # Frames asked for in chunks of 2: denoised in blocks that hold the halo,
    # handed out in chunks of 2.  Sizes in the plane the halo outgrows make
    # the choice cheaper (here fewer iterations), which stays exact.
    chosen: list[_auto.Choice] = []
    lazy, _ = _denoise_lazy(
        da.from_array(movie, chunks=(1, 48, 64)),
        "TYX",
        **NOISE,
        model=None,
        **UNSET,
        renoise=0.0,
        threads=2,
        chunks={"T": 2, "X": 32},
        on_settings=chosen.append,
    )
    assert lazy.chunks[0] == (2,) * 4 and lazy.chunks[2] == (32, 32)
    assert chosen[0].settings["search"]["T"] == 7
    assert chosen[0].settings["iterations"] < choice.settings["iterations"]
    np.testing.assert_array_equal(
        lazy.compute(scheduler="sync"),
        quorvel.denoise(movie, "TYX", **NOISE, threads=2, **chosen[0].settings),
    )


@pytest.mark.parametrize("shape", [(12, 1, 1, 256, 256), (1, 1, 12, 256, 256)])
def test_measures_hold_about_one_copy_of_their_sample(shape: tuple[int, ...]) -> None:
    # The measures once held a dozen float32 copies of their sample (float64
    # differences of all frames, the transform's local mean of all planes):
    # a default run of a time-lapse then peaked at 9 images instead of 5.
    import tracemalloc

    from quorvel._measure import measure

    rng = np.random.default_rng(0)
    core5 = (100 + 2 * rng.poisson(20.0, shape) + rng.normal(0, 3, shape)).astype(np.float32)
    plan = NoisePlan((2.0,), (-200.0,), (None,))
    tracemalloc.start()
    try:
        measure(core5, plan)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2.0 * core5.nbytes


def _rows(a: Any) -> Any:
    return a[:, None, :] * np.array([0.5, 1.0, 0.5])[:, None]


@pytest.mark.parametrize(
    ("axes", "layout", "as_image", "image_axes"),
    [
        ("TX", lambda a: a, lambda a: a, "YX"),
        ("TYX", lambda a: a[:, None, :], lambda a: a[:, 0], "YX"),  # a line scan
        ("TYX", lambda a: a[:, :, None], lambda a: a[:, :, 0], "YX"),  # a line along Y
        ("ZX", lambda a: a, lambda a: a, "YX"),  # an X-Z section
        ("TYX", _rows, lambda a: a.transpose(1, 0, 2), "ZYX"),  # a line 3 pixels wide
    ],
)
def test_a_kymograph_is_denoised_as_the_image_it_is(
    axes: str, layout: Callable[..., Any], as_image: Callable[..., Any], image_axes: str
) -> None:
    # A line over time (or depth): a spot moving 0.5 pixel per row draws a
    # diagonal streak, one that stays a vertical line, under camera noise.
    t, x = np.mgrid[0:96, 0:64].astype(np.float64)
    photons = 4.0 + 40.0 * np.exp(-0.5 * ((x - 8.0 - t / 2.0) / 1.3) ** 2)
    photons = layout(photons + 25.0 * np.exp(-0.5 * ((x - 50.0) / 1.3) ** 2))
    rng = np.random.default_rng(5)
    image = 100.0 + 2.0 * rng.poisson(photons) + rng.normal(0.0, 3.0, photons.shape)
    # Its rows fit the camera's gain as an image's do (frames of one row fitted none).
    model = quorvel.estimate_noise(image, axes)
    assert model.gain == quorvel.estimate_noise(as_image(image), image_axes).gain
    assert 1.5 < model.gain[0] < 2.5
    chosen: list[_auto.Choice] = []
    options: dict[str, Any] = {"sigma": None, "model": None, "renoise": 0.0, "threads": 1}
    out, _, _ = _run_denoise(
        image, axes, noise="auto", **options, **UNSET, on_settings=chosen.append
    )
    expected = quorvel.denoise(as_image(image), image_axes, threads=1)
    np.testing.assert_array_equal(as_image(out), expected)
    # Its settings, recorded in its own axes, reproduce it; so does a chunked run.
    again = quorvel.denoise(image, axes, threads=1, **chosen[0].settings)
    np.testing.assert_array_equal(again, out)
    da = pytest.importorskip("dask.array")
    lazy = quorvel.denoise(da.from_array(image, chunks=24), axes, threads=1)
    np.testing.assert_array_equal(lazy.compute(), out)


@pytest.mark.parametrize(
    ("sampled", "axes"), [("finely", "TYX"), ("coarsely", "TYX"), ("finely", "ZYX")]
)
def test_noise_beyond_the_optics_is_cut_and_texture_of_pixels_kept(
    smooth: Callable[..., Any], psnr: Callable[..., float], sampled: str, axes: str
) -> None:
    # Structure the optics blurred leaves the corners of the spectrum to the
    # noise (of the planes' on time-lapses, of the volume's on z-stacks): cut
    # from the result, a hot pixel keeping its value; texture at the scale of
    # the pixels holds power there, and the result is left as it is.
    rng = np.random.default_rng(8)
    depth = 3 if axes == "TYX" else 6
    clean = np.broadcast_to(40.0 * smooth((96, 96), 2), (depth, 96, 96)).copy()
    if sampled == "coarsely":
        clean += 30.0 * (rng.random(clean.shape[1:]) > 0.5)
    noisy = (clean + rng.normal(0.0, SIGMA, clean.shape)).astype(np.float32)
    noisy[:, 30, 40] += 500.0 * SIGMA
    out, choice = _run(noisy, axes)
    assert choice.settings["band_limit"] is (sampled == "finely")
    kept = quorvel.denoise(
        noisy, axes, **NOISE, threads=2, **{**choice.settings, "band_limit": False}
    )
    if sampled == "coarsely":
        np.testing.assert_array_equal(out, kept)
        return
    np.testing.assert_array_equal(out[:, 30, 40], kept[:, 30, 40])
    away = np.ones(clean.shape, dtype=bool)
    away[:, 27:34, 37:44] = False
    assert psnr(clean[away], out[away]) > psnr(clean[away], kept[away]) + 0.1


def test_the_cut_takes_the_last_reports_and_a_raising_progress_stops_it(
    smooth: Callable[..., Any], monkeypatch: pytest.MonkeyPatch
) -> None:
    # The result's spectrum is cut within the run: 1.0 is reported once, at
    # its end, and Cancel (napari's raises from the progress callable) that
    # comes while it is cut stops it after the planes under way.
    cut = _band._cut_block
    planes: list[int] = []

    def counted(block: Any) -> Any:
        planes.append(1)
        time.sleep(0.02)  # a plane of a real size
        return cut(block)

    monkeypatch.setattr(_band, "_cut_block", counted)
    monkeypatch.setattr(quorvel._core, "_REPORT_SECONDS", 0.0)  # every report through
    clean = np.broadcast_to(40.0 * smooth((64, 64), 2), (12, 64, 64))
    noisy = (clean + np.random.default_rng(2).normal(0.0, SIGMA, clean.shape)).astype(np.float32)
    run = {**NOISE, "threads": 2, "band_limit": True}
    seen: list[tuple[float, int]] = []
    quorvel.denoise(noisy, "TYX", **run, progress=lambda f: seen.append((f, len(planes))))
    assert [f for f, _ in seen] == sorted(f for f, _ in seen) and seen[-1] == (1.0, 12)
    assert [f for f, _ in seen].count(1.0) == 1
    assert all(f <= 1.0 - _band.SHARE for f, n in seen if n == 0)

    class Cancelled(Exception):
        pass

    def progress(fraction: float) -> None:
        if planes:
            raise Cancelled

    planes.clear()
    with pytest.raises(Cancelled):
        quorvel.denoise(noisy, "TYX", **run, progress=progress)
    assert 1 <= len(planes) <= 6  # of 12
