"""Choice of the denoiser's parameters by the estimated error (``tune``)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

from quorvel import NoiseModel, _tune, denoise
from quorvel._core import CoreSettings, NoisePlan, engine, new_work_image
from quorvel._lazy import _denoise_lazy
from quorvel._run import _run_denoise
from quorvel._tune import _piece, _risks, _stabilise


@pytest.mark.parametrize("noise", ["gaussian", "poisson-gaussian"])
def test_risk_ranks_settings_like_the_true_error(smooth: Callable[..., Any], noise: str) -> None:
    rng = np.random.default_rng(3)
    scene = smooth((96, 96)) / 20.0  # noise levels, or 1 to 7 photons
    if noise == "gaussian":
        clean, model, plan = scene, None, NoisePlan((None,), (None,), (1.0,))
        noisy = clean + rng.standard_normal(clean.shape)
    else:  # gain 2, dark level 100, read noise 1.5
        clean, model = 100.0 + 2.0 * scene, NoiseModel(2.0, 2.25 - 200.0)
        plan = NoisePlan((2.0,), (2.25 - 200.0,), (None,))
        noisy = 100.0 + 2.0 * rng.poisson(scene) + rng.normal(0.0, 1.5, scene.shape)
    noisy = noisy.astype(np.float32)
    (channels,) = _stabilise(noisy.reshape(1, 1, 1, 96, 96), plan)
    inner = (slice(None), slice(None), slice(None), slice(8, 88), slice(8, 88))
    piece = _piece(channels, (slice(None),) * 5, inner, np.random.default_rng(0))
    unit = 1.0 if channels.unit is None else 4.0 * float(channels.unit.ravel()[0])
    estimated, true = [], []
    for radius, iterations in ((1, 1), (3, 4)):
        settings = CoreSettings((radius, radius, 0, 0, 0), (1, 1, 0, 0, 0), iterations, 0.01, 0.0)
        estimated.append(_risks([piece], settings, (iterations,), 1)[iterations])
        out = denoise(
            noisy,
            noise=noise,
            sigma=1.0 if model is None else None,
            model=model,
            patch_radius=radius,
            iterations=iterations,
            threads=1,
            band_limit=False,  # the error of the runs the risk is estimated for
        )
        true.append(float(np.mean(np.square(out - clean)[8:88, 8:88])) / unit)
    assert abs(10 * np.log10(true[0] / true[1])) > 0.5
    assert (estimated[0] > estimated[1]) == (true[0] > true[1])
    # The estimate's own noise on 80 x 80 elements: about sqrt(2 / 6400) = 0.018.
    np.testing.assert_allclose(estimated, true, rtol=0.15, atol=0.03)


def test_a_continued_run_gives_the_bits_of_a_longer_run(smooth: Callable[..., Any]) -> None:
    noisy = smooth((3, 40, 48)) + np.random.default_rng(2).normal(0, 8.0, (3, 40, 48))
    kwargs = {
        "sigma": 8.0,
        "patch_radius": [2, 2, 0, 0, 0],
        "search": [1, 1, 1, 0, 0],
        "pvalue": 0.05,
        "threads": 1,
    }
    image = noisy.astype(np.float32)
    run = engine.GaussianRun(image, **kwargs)
    iterates = run.advance(2) + run.advance(2) + run.advance(4)  # 1, 2, then 3 and 4
    assert len(iterates) == 4 and run.done == 4
    np.testing.assert_array_equal(image, noisy.astype(np.float32))  # left as it was
    for k, estimate in enumerate(iterates, start=1):
        shorter = engine.denoise_gaussian(new_work_image(image), max_iter=k, **kwargs)
        np.testing.assert_array_equal(estimate, shorter)
    with pytest.raises(ValueError, match="at least the iterations done"):
        run.advance(3)


@pytest.mark.parametrize(
    ("by_count", "chosen", "longest_run"),
    [
        ({3: 1.0, 4: 1.001, 5: 0.98}, 5, 5),  # 4 ties with 3: 5 is still tried
        ({3: 1.0, 4: 1.02, 5: 0.5}, 3, 4),  # a clear rise stops before 5
        ({3: 0.1, 4: 0.09, 5: 0.091}, 5, 5),  # a tie goes to the larger count
        ({3: 0.1, 4: 0.09, 5: 0.093}, 4, 5),
    ],
)
def test_iteration_counts_stop_at_a_clear_rise_of_the_risk(
    monkeypatch: pytest.MonkeyPatch, by_count: dict[int, float], chosen: int, longest_run: int
) -> None:
    longest = []

    class Runs:
        def __init__(self, pieces: Any, settings: CoreSettings, threads: int) -> None:
            self.radius, self.done = settings.patch_radius[0], 0

        def risks(self, counts: tuple[int, ...], check: Any, account: Any = None) -> Any:
            assert min(counts) > self.done  # a continued run gives only new counts
            self.done = max(counts)
            longest.append(self.done)
            return {k: by_count[k] + 0.01 * self.radius for k in counts}

    monkeypatch.setattr(_tune, "_Runs", Runs)
    noisy = np.zeros((1, 1, 1, 64, 64), dtype=np.float32)
    settings = CoreSettings((2, 2, 0, 0, 0), (7, 7, 0, 0, 0), 4, 0.01, 0.0)
    grid = {
        "patch_radius": (2, 3),
        "iterations": (3, 4, 5),
        "pvalue": (0.01,),
        "patch_radius_z": (0,),
        "patch_radius_t": (0,),
    }
    _, result = _tune._tune_core(noisy, NoisePlan((None,), (None,), (1.0,)), settings, grid, 1)
    assert result.settings["iterations"] == chosen and max(longest) == longest_run


@pytest.mark.parametrize(("axis", "index"), [("Z", 2), ("T", 4)])
def test_the_radii_in_the_plane_and_beyond_are_chosen_together(
    monkeypatch: pytest.MonkeyPatch, axis: str, index: int
) -> None:
    # Radius 2 wins only with patches 3 deep along `axis`; from radius 3 one
    # radius at a time, neither step lowers the risk.
    table = {(2, 0): 1.05, (3, 0): 1.0, (4, 0): 1.06, (2, 1): 0.9, (3, 1): 1.01, (4, 1): 1.1}

    class Runs:
        def __init__(self, pieces: Any, settings: CoreSettings, threads: int) -> None:
            self.risk = table[settings.patch_radius[0], settings.patch_radius[index]]
            self.done = 0

        def risks(self, counts: tuple[int, ...], check: Any, account: Any = None) -> Any:
            self.done = max(counts)
            return dict.fromkeys(counts, self.risk)

    monkeypatch.setattr(_tune, "_Runs", Runs)
    shape = {"Z": (1, 1, 5, 48, 48), "T": (5, 1, 1, 48, 48)}[axis]
    sizes = dict(zip("TCZYX", shape, strict=True))
    grid = _tune._check_grid({"iterations": (3,), "pvalue": (0.01,)}, sizes)
    settings = CoreSettings((3, 3, 0, 0, 0), (7, 7, 0, 0, 0), 4, 0.01, 0.0)
    noisy = np.zeros(shape, dtype=np.float32)
    _, result = _tune._tune_core(noisy, NoisePlan((None,), (None,), (1.0,)), settings, grid, 1)
    assert result.settings["patch_radius"] == {"X": 2, "Y": 2, axis: 1}


@pytest.mark.parametrize(
    ("shape", "axes", "options"),
    [
        ((64, 72), "YX", {"noise": "gaussian", "sigma": 10.0, "model": None}),
        (
            (6, 40, 48),
            "ZYX",
            {"noise": "poisson-gaussian", "sigma": None, "model": NoiseModel(2.0, 30.0)},
        ),
        (
            (5, 40, 48),
            "TYX",
            {"noise": "poisson-gaussian", "sigma": None, "model": NoiseModel(2.0, 30.0)},
        ),
    ],
)
def test_tune_is_deterministic_and_applies_its_choice(
    smooth: Callable[..., Any], shape: tuple[int, ...], axes: str, options: dict[str, Any]
) -> None:
    clean = smooth(shape)
    if axes == "TYX":  # a static scene: searching other frames from the start pays
        clean = np.broadcast_to(clean[0], shape)
    rng = np.random.default_rng(1)
    noisy = (2.0 * rng.poisson(clean / 2.0) + rng.normal(0, 5.5, shape)).astype(np.float32)
    chosen: list[Any] = []
    recorded: list[Any] = []
    grid = {"iterations": (2, 3), "pvalue": (0.01, 0.1)}
    runs = [
        _run_denoise(
            noisy,
            axes,
            **options,
            patch_radius=None,
            search="ZT",
            iterations=4,
            pvalue=0.01,
            renoise=0.0,
            threads=t,
            tune=grid,
            on_tune=chosen.append,
            on_settings=recorded.append,
        )[0]
        for t in (1, 2)
    ]
    np.testing.assert_array_equal(runs[0], runs[1])
    assert chosen[0] == chosen[1]
    settings = chosen[0].settings
    assert settings["iterations"] in grid["iterations"] and settings["pvalue"] in grid["pvalue"]
    assert ("Z" in settings["patch_radius"]) == (axes == "ZYX")
    assert ("search" in settings) == (axes == "TYX")
    assert chosen[0].risk == min(r for _, r in chosen[0].candidates)
    direct = denoise(noisy, axes, **options, **settings, threads=1)
    np.testing.assert_array_equal(runs[0], direct)
    # The settings recorded for the run (provenance, napari) reproduce it too.
    again = denoise(noisy, axes, **options, **recorded[0].settings, threads=1)
    np.testing.assert_array_equal(runs[0], again)


@pytest.mark.parametrize(
    ("tune", "iterations"),
    [(True, 6), ({"iterations": (3, 4, 5)}, 5), ({"iterations": np.arange(3, 6)}, 5)],
)
def test_values_given_join_the_dimensions_left_to_the_default_grid(
    monkeypatch: pytest.MonkeyPatch, tune: Any, iterations: int
) -> None:
    class Runs:  # the risk falls with every iteration and is least at p-value 0.05
        def __init__(self, pieces: Any, settings: CoreSettings, threads: int) -> None:
            self.pvalue, self.done = settings.pvalue, 0

        def risks(self, counts: tuple[int, ...], check: Any, account: Any = None) -> Any:
            self.done = max(counts)
            return {k: 1.0 / k + abs(self.pvalue - 0.05) for k in counts}

    monkeypatch.setattr(_tune, "_Runs", Runs)
    chosen: list[Any] = []
    _run_denoise(
        np.zeros((48, 48), np.float32),
        "YX",
        noise="gaussian",
        sigma=1.0,
        model=None,
        patch_radius=None,
        search="ZT",
        iterations=6,
        pvalue=0.05,
        renoise=0.0,
        threads=1,
        tune=tune,
        on_tune=chosen.append,
    )
    assert chosen[0].settings["iterations"] == iterations
    assert chosen[0].settings["pvalue"] == 0.05


@pytest.mark.parametrize(
    ("tune", "message"),
    [
        ({"radius": (2,)}, "no grid dimension 'radius'"),
        ({"pvalue": ()}, "non-empty sequence"),
        ({"iterations": 4}, "non-empty sequence"),
        ({"iterations": (0, 4)}, r"integers in \[1, 30\]"),
        ({"pvalue": (0.01, 1.0)}, r"in \[0, 1\)"),
        ({"patch_radius": (2, 20)}, "needs 41 pixels along X"),
        ({"reach_t": (None, -1)}, r"None or integers in \[0, 64\]"),
        ("yes", "mapping of grid values"),
    ],
)
def test_bad_grids_are_rejected(tune: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        denoise(np.zeros((32, 32), np.float32), noise="gaussian", sigma=1.0, tune=tune)


@pytest.mark.parametrize("axis", ["Z", "T"])
def test_the_default_radii_along_z_and_t_fit_short_axes(axis: str) -> None:
    key = f"patch_radius_{axis.lower()}"
    sizes = {"T": 1, "C": 1, "Z": 1, "Y": 32, "X": 32, axis: 2}
    assert _tune._check_grid(None, sizes)[key] == (0,)
    assert _tune._check_grid(None, {**sizes, axis: 3})[key] == (0, 1)
    with pytest.raises(ValueError, match=f"needs 3 pixels along {axis}"):
        _tune._check_grid({key: (0, 1)}, sizes)


@pytest.mark.parametrize(
    ("frames", "reaches"),
    [(3, (None, 1, 2)), (10, (None, 1, 2, 4, 9)), (40, (None, 1, 2, 4, 8, 16))],
)
def test_the_default_reaches_span_the_sequence(frames: int, reaches: tuple[Any, ...]) -> None:
    sizes = {"T": frames, "C": 1, "Z": 1, "Y": 32, "X": 32}
    assert _tune._check_grid(None, sizes)["reach_t"] == reaches


@pytest.mark.parametrize("n", [7, 8])
def test_small_images_are_tuned_on_the_radii_they_hold(n: int) -> None:
    sizes = {"T": 1, "C": 1, "Z": 1, "Y": n, "X": 32}
    assert _tune._check_grid(None, sizes)["patch_radius"] == (2, 3)  # not 4: 9 pixels
    image = np.random.default_rng(n).normal(50.0, 5.0, (n, n))
    assert denoise(image, noise="gaussian", sigma=5.0, tune=True).shape == image.shape


def test_dask_images_are_tuned_on_the_same_crops_within_their_chunks() -> None:
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(1)
    yy, xx = np.mgrid[0:64, 0:72]
    clean = np.broadcast_to(200 + 100 * np.sin(xx / 7.0) * np.cos(yy / 9.0), (6, 64, 72))
    noisy = (2.0 * rng.poisson(clean / 2.0) + rng.normal(0, 5.5, clean.shape)).astype(np.float32)
    options = {"noise": "poisson-gaussian", "model": NoiseModel(2.0, 30.0), "threads": 1}
    chosen: list[Any] = []
    in_memory = _run_denoise(
        noisy,
        "TYX",
        **options,
        sigma=None,
        patch_radius=None,
        search="ZT",
        iterations=4,
        pvalue=0.01,
        renoise=0.0,
        tune=True,
        on_tune=chosen.append,
    )[0]
    lazy = denoise(
        da.from_array(noisy, chunks=(2, 32, 36)),
        "TYX",
        **options,
        search="ZT",
        iterations=4,
        pvalue=0.01,
        tune=True,
    )
    np.testing.assert_array_equal(lazy.compute(), in_memory)
    assert chosen[0].settings["search"]["T"] is not None  # a reach along T wins here

    # Frames asked for one by one are denoised in blocks that hold the reach.
    lazy, _ = _denoise_lazy(
        da.from_array(noisy, chunks=(1, 64, 72)),
        "TYX",
        **options,
        sigma=None,
        patch_radius=None,
        search="ZT",
        iterations=4,
        pvalue=0.01,
        renoise=0.0,
        tune=True,
        on_tune=chosen.append,
        chunks={"T": 1},
    )
    settings = chosen[1].settings
    assert settings["search"]["T"] is not None and lazy.chunks[0] == (1,) * 6
    np.testing.assert_array_equal(lazy.compute(), denoise(noisy, "TYX", **options, **settings))


@pytest.mark.parametrize("runs", ["longest walk", "engine"])
def test_tuning_reports_its_share_of_work(
    monkeypatch: pytest.MonkeyPatch, smooth: Callable[..., Any], runs: str
) -> None:
    # Z-stack: patch radii in the plane and along Z together (6 points), p-values walked
    # up from the least (every step lowers the risk), then every iteration count.
    shape = (1, 1, 5, 48, 48)
    if runs == "longest walk":

        class Runs:
            def __init__(self, pieces: Any, settings: CoreSettings, threads: int) -> None:
                self.pvalue, self.done = settings.pvalue, 0

            def risks(self, counts: tuple[int, ...], check: Any, account: Any = None) -> Any:
                account.add(_tune._work(self.done, max(counts)))
                self.done = max(counts)
                return {k: 1.0 - self.pvalue - 0.01 * k for k in counts}

        monkeypatch.setattr(_tune, "_Runs", Runs)
    noisy = (smooth(shape) + np.random.default_rng(0).normal(0, 8.0, shape)).astype(np.float32)
    sizes = dict(zip("TCZYX", shape, strict=True))
    grid = _tune._check_grid(None, sizes)
    settings = CoreSettings((2, 2, 0, 0, 0), (7, 7, 1, 0, 0), 3, 0.001, 0.0)
    shares: list[float] = []
    _tune._tune_core(
        noisy, NoisePlan((None,), (None,), (8.0,)), settings, grid, 2, progress=shares.append
    )
    assert shares[0] == 0.0 and shares[-1] == 1.0 and shares == sorted(shares)
    if runs == "longest walk":  # the bound is that walk's work, exactly: never reached before
        assert len(shares) == 8 + 2 + 2 and shares[-2] == pytest.approx(1.0)
        assert np.all(np.diff(shares[:-1]) > 0)
    else:  # a report after each run of the engine, and no 100 % before the end
        assert len(shares) > 10 and shares[-2] < 1.0
