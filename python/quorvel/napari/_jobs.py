"""The work the widget runs off the GUI thread: estimation, preview and denoising.

Each function here runs in a worker thread and touches no widget.  A whole
run reports its stage (noise, tuning, denoising), the share of that stage
done and honours Cancel through a `Job`, which the GUI thread reads and sets.
"""

from __future__ import annotations

import contextlib
import inspect
import io
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import quorvel
from quorvel._auto import Choice
from quorvel._core import NoisePlan
from quorvel._lazy import _denoise_lazy, _is_dask, stoppable_pool
from quorvel._progress import Interrupted, Stages, _eta
from quorvel._run import _run_denoise
from quorvel._tune import TuneResult

#: The stages of a run as the widget names them.
_STAGE_WORDS = {"noise": "estimating the noise", "tuning": "tuning", "denoising": "denoising"}


class Cancelled(Exception):
    """The user cancelled the run."""

    def __init__(self) -> None:
        super().__init__("cancelled")


class Job:
    """Stage, progress and cancellation of one run, shared by the GUI and a worker thread.

    Attributes
    ----------
    stage : str
        The stage running: ``"noise"``, ``"tuning"`` or ``"denoising"``
        (empty before the first).
    fraction : float or None
        Share of the stage done, 0 to 1, as last reported; None while the
        stage cannot tell (the bar then shows that it is busy).
    """

    def __init__(self) -> None:
        self.stage = ""
        self.fraction: float | None = None
        self._started = time.monotonic()
        self._cancel = threading.Event()
        self._lock = threading.Lock()
        self._stops: list[Callable[[], None]] = []

    def cancel(self) -> None:
        """Ask the run to stop (from any thread)."""
        with self._lock:
            self._cancel.set()
            for stop in self._stops:
                stop()

    @contextlib.contextmanager
    def stopping(self, stop: Callable[[], None]) -> Iterator[None]:
        """Within the block, Cancel also calls `stop` (at once when already asked for)."""
        with self._lock:
            self._stops.append(stop)
            if self.cancelled:
                stop()
        try:
            yield
        finally:
            with self._lock:
                self._stops.remove(stop)

    @property
    def cancelled(self) -> bool:
        """Whether Cancel was asked for."""
        return self._cancel.is_set()

    def check(self) -> None:
        """Raise `Cancelled` if Cancel was asked for."""
        if self._cancel.is_set():
            raise Cancelled

    def begin(self, stage: str, fraction: float | None = None) -> None:
        """Start `stage`; its clock starts now.  Raises `Cancelled` after Cancel."""
        self.check()
        self.fraction, self._started, self.stage = fraction, time.monotonic(), stage

    def reporter(self, stage: str) -> Callable[[float], None]:
        """A progress callable for `stage`: it begins the stage at its first report.

        It keeps the share it is given and raises `Cancelled` after Cancel,
        which stops the denoiser (or the tuning) at its next report.
        """

        def report(fraction: float) -> None:
            if self.stage != stage:
                self.begin(stage)
            self.check()
            self.fraction = float(fraction)

        return report

    def report(self, fraction: float) -> None:
        """Progress callback of the denoiser: keep `fraction`, stop the run when cancelled."""
        self.reporter("denoising")(fraction)

    def describe(self) -> str:
        """The stage in words, with its percentage and the time left when known."""
        words = _STAGE_WORDS.get(self.stage, self.stage)
        fraction = self.fraction
        if fraction is None:
            return words
        text = f"{words} {100 * fraction:.0f} %"
        if 0.0 < fraction < 1.0:
            text += f" (about {_eta(time.monotonic() - self._started, fraction)} left)"
        return text


class _JobStages(Stages):
    """The stages of `quorvel.denoise` reported to a `Job` instead of a terminal bar."""

    def __init__(self, job: Job) -> None:
        super().__init__(0, enabled=False)
        self._job = job

    def run(self, label: Any, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        self._job.begin(str(label))
        return func(*args, **kwargs)

    def run_stoppable(
        self,
        label: str,
        func: Callable[..., Any],
        *args: Any,
        check: Callable[[], None] | None = None,
        **kwargs: Any,
    ) -> Any:
        # The one stoppable stage is the tuning, which reports its share of work.
        self._job.begin(label, 0.0)
        return func(*args, check=check, progress=self._job.reporter(label), **kwargs)


class Outcome(NamedTuple):
    """What a whole run gives: the result, its variance and how it was made.

    How: the tuner's choice, the noise plan and the settings used (those
    chosen for the image among them).
    """

    denoised: Any
    variance: npt.NDArray[np.float32] | None
    tuned: TuneResult | None
    plan: NoisePlan
    choice: Choice | None = None


def _dask_progress(job: Job) -> Any:
    """A dask callback that reports finished tasks to `job` and stops a cancelled run.

    It acts only in the thread that entered it: dask's callbacks are global,
    and napari may compute chunks of a dask layer on screen meanwhile.
    """
    from dask.callbacks import Callback

    owner = threading.get_ident()

    def posttask(key: Any, result: Any, dsk: Any, state: dict[str, Any], worker: Any) -> None:
        if threading.get_ident() != owner:
            return
        done = len(state["finished"])
        total = done + sum(len(state[k]) for k in ("ready", "waiting", "running"))
        job.report(done / total if total else 0.0)

    return Callback(posttask=posttask)


class Estimate(NamedTuple):
    """What Estimate gives: the noise model and the picture of its fit."""

    model: quorvel.NoiseModel
    picture: bytes | None
    note: str


def _fit_picture(data: Any, axes: str) -> tuple[bytes | None, str]:
    """The mean-variance plot of ``quorvel estimate --plot`` as PNG bytes, or why there is none.

    A dask array is drawn on the region its estimate reads.
    """
    from quorvel import _chunked
    from quorvel._axes import normalize_axes, to_core_layout
    from quorvel._lines import Roles

    try:
        from quorvel.noise.plot import plot_mean_variance

        # Laid out as the estimate reads it (a kymograph's T is its Y).
        names = Roles.of(normalize_axes(axes or None, data.ndim), data.shape).denoised
        if _is_dask(data):
            core = _chunked.to_core_dask(data, names)
            core5 = np.asarray(core[_chunked.noise_sample_region(core.shape)])
        else:
            core5 = to_core_layout(np.asarray(data), names)
        png = io.BytesIO()
        plot_mean_variance(core5, png, "auto")
    except ImportError:
        return None, "the noise plot needs matplotlib: pip install 'quorvel[plot]'"
    return png.getvalue(), ""


def estimate(data: Any, axes: str) -> Estimate:
    """`quorvel.estimate_noise` of a layer's data (computed if it is a dask array) and its plot."""
    model = quorvel.estimate_noise(data, axes or None)
    if not isinstance(model, quorvel.NoiseModel):  # a dask array: the delayed model
        model = model.compute()
    return Estimate(model, *_fit_picture(data, axes))


def _with_defaults(options: dict[str, Any]) -> dict[str, Any]:
    """`options` and the defaults of the other keyword arguments of `quorvel.denoise`."""
    parameters = inspect.signature(quorvel.denoise).parameters.values()
    return {
        **{p.name: p.default for p in parameters if p.kind is p.KEYWORD_ONLY},
        **options,
    }


def _in_memory(data: Any, axes: str, options: dict[str, Any], job: Job | None = None) -> Outcome:
    """`quorvel.denoise` of in-memory data, with ``tune`` and ``return_variance`` as in `options`.

    With a `job`, its stages, progress and Cancel (which stops the tuning
    between its runs and the denoiser at its next report).
    """
    tuned: list[TuneResult] = []
    chosen: list[Choice] = []
    kwargs = _with_defaults(options)
    if job is not None:
        kwargs.update(progress=job.reporter("denoising"), stop=job.check, stages=_JobStages(job))
    out, variance, plan = _run_denoise(
        data, axes or None, on_tune=tuned.append, on_settings=chosen.append, **kwargs
    )
    return Outcome(out, variance, _first(tuned), plan, _first(chosen))


def _first(items: list[Any]) -> Any:
    return items[0] if items else None


def preview(
    data: Any, axes: str, region: tuple[slice, ...], options: dict[str, Any]
) -> tuple[npt.NDArray[np.float32], TuneResult | None, Choice | None]:
    """Denoise `region` of a layer's data with `options` (keyword arguments of `denoise`).

    Returns the denoised region, with ``tune`` the settings the tuner chose
    for it, and the settings used.
    """
    outcome = _in_memory(np.asarray(data[region]), axes, options)
    return outcome.denoised, outcome.tuned, outcome.choice


def denoise(job: Job, data: Any, axes: str, options: dict[str, Any], variance: bool) -> Outcome:
    """Denoise a layer's data whole, reporting to `job`.

    Parameters
    ----------
    job : Job
        Receives the stages and their progress; Cancel stops the run with
        `Cancelled`, within the denoiser when it reports progress and
        between the tuning's runs, else before it starts or when it ends
        (the result is then dropped).
    data : array-like
        NumPy or dask array (the chunked path, computed here).
    axes : str
        Axis names of `data`.
    options : dict
        Keyword arguments of `quorvel.denoise`.
    variance : bool
        Also return the variance of the result, where the denoiser gives it.

    Returns
    -------
    Outcome
        The result, its variance (None for a dask array or without
        `variance`), the settings chosen with ``tune`` and the noise plan
        applied.
    """
    job.check()
    if not _is_dask(data):
        outcome = _in_memory(data, axes, {**options, "return_variance": variance}, job)
        job.check()
        return outcome
    import dask
    import dask.threaded
    from dask.base import get_scheduler

    # The chunked path of dask arrays gives no variance; with tune the noise
    # plan and the tuning (on its crops) come before the lazy result is built.
    kwargs = _with_defaults(options)
    for name in ("progress", "return_variance"):
        kwargs.pop(name)
    tuned: list[TuneResult] = []
    chosen: list[Choice] = []
    job.begin("noise")
    lazy, plan = _denoise_lazy(
        data,
        axes or None,
        on_tune=tuned.append,
        on_settings=chosen.append,
        stop=job.check,
        tune_progress=job.reporter("tuning"),
        **kwargs,
    )
    job.begin("denoising", 0.0)
    with _dask_progress(job), contextlib.ExitStack() as local:
        scheduler: dict[str, Any] = {}
        if get_scheduler(collections=[lazy]) is dask.threaded.get:
            # Cancel stops the running chunks too (at their next progress
            # report), not only those still to start.
            pool = local.enter_context(stoppable_pool())
            scheduler = {"scheduler": "threads", "pool": pool}
            local.enter_context(job.stopping(pool.stop))
        try:
            # The plan, when it is still to be estimated, is part of the result's graph.
            result, plan = dask.compute(lazy, plan, **scheduler)
        except Interrupted:
            job.check()  # stopped by Cancel
            raise
    job.check()
    return Outcome(result, None, _first(tuned), plan, _first(chosen))
