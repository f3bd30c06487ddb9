"""The work the widget runs off the GUI thread: estimation, preview and denoising.

Each function here runs in a worker thread and touches no widget.  A whole
run reports its progress and honours Cancel through a `Job`, which the GUI
thread reads and sets.
"""

from __future__ import annotations

import inspect
import threading
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvel
from quorvel._api import _run_denoise
from quorvel._lazy import _denoise_lazy, _is_dask
from quorvel._tune import TuneResult


class Cancelled(Exception):
    """The user cancelled the run."""

    def __init__(self) -> None:
        super().__init__("cancelled")


class Job:
    """Progress and cancellation of one run, shared by the GUI and a worker thread.

    Attributes
    ----------
    fraction : float or None
        Fraction done, 0 to 1, as last reported; None while the run cannot
        tell (the bar then shows that it is busy).
    """

    def __init__(self) -> None:
        self.fraction: float | None = None
        self._cancel = threading.Event()

    def cancel(self) -> None:
        """Ask the run to stop (from any thread)."""
        self._cancel.set()

    @property
    def cancelled(self) -> bool:
        """Whether Cancel was asked for."""
        return self._cancel.is_set()

    def check(self) -> None:
        """Raise `Cancelled` if Cancel was asked for."""
        if self._cancel.is_set():
            raise Cancelled

    def report(self, fraction: float) -> None:
        """Progress callback of the denoiser: keep `fraction`, stop the run when cancelled."""
        self.check()
        self.fraction = float(fraction)


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


def estimate(data: Any, axes: str) -> quorvel.NoiseModel:
    """`quorvel.estimate_noise` of a layer's data, computed if it is a dask array."""
    model = quorvel.estimate_noise(data, axes)
    return model.compute() if _is_dask(data) else model  # type: ignore[union-attr,no-any-return]


def _in_memory(
    data: Any, axes: str, options: dict[str, Any], stop: Any = None
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None, TuneResult | None]:
    """`quorvel.denoise` of in-memory data: the result, its variance and the tuner's choice.

    The variance is None unless ``return_variance`` is in `options`; the
    choice is None unless ``tune`` is.  `stop` (if given) is called
    between the tuning's runs and raises to stop it.
    """
    tuned: list[TuneResult] = []
    out, variance, _ = _run_denoise(
        data, axes, on_tune=tuned.append, stop=stop, **_with_defaults(options)
    )
    return out, variance, tuned[0] if tuned else None


def _with_defaults(options: dict[str, Any]) -> dict[str, Any]:
    """`options` and the defaults of the other keyword arguments of `quorvel.denoise`."""
    parameters = inspect.signature(quorvel.denoise).parameters.values()
    return {
        **{p.name: p.default for p in parameters if p.kind is p.KEYWORD_ONLY},
        **options,
    }


def preview(
    data: Any, axes: str, region: tuple[slice, ...], options: dict[str, Any]
) -> tuple[npt.NDArray[np.float32], TuneResult | None]:
    """Denoise `region` of a layer's data with `options` (keyword arguments of `denoise`).

    Returns the denoised region and, with ``tune``, the settings chosen for it.
    """
    out, _, tuned = _in_memory(np.asarray(data[region]), axes, options)
    return out, tuned


def denoise(
    job: Job, data: Any, axes: str, options: dict[str, Any], variance: bool
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32] | None, TuneResult | None]:
    """Denoise a layer's data whole, reporting to `job`.

    Parameters
    ----------
    job : Job
        Receives the progress; Cancel stops the run with `Cancelled`, within
        the denoiser when it reports progress, else before it starts or when
        it ends (the result is then dropped).
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
    denoised : ndarray of float32
    variance : ndarray of float32 or None
    tuned : TuneResult or None
        The settings chosen with ``tune`` in `options`.
    """
    kwargs = dict(options)
    job.check()
    if _is_dask(data):
        import dask

        # The chunked path of dask arrays gives no variance; with tune the
        # tuning runs (on its crops) before the lazy result is built.
        kwargs = _with_defaults(kwargs)
        for name in ("progress", "return_variance"):
            kwargs.pop(name)
        tuned: list[TuneResult] = []
        with _dask_progress(job):
            lazy, _ = _denoise_lazy(data, axes, on_tune=tuned.append, stop=job.check, **kwargs)
            job.check()
            result = dask.compute(lazy)[0]
        job.check()
        return result, None, tuned[0] if tuned else None
    out, var, tuned = _in_memory(
        data,
        axes,
        {**kwargs, "progress": job.report, "return_variance": variance},
        stop=job.check,
    )
    job.check()
    return out, var, tuned
