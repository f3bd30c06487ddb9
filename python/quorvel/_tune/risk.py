"""The engine runs of a setting on the crops, the risk they give, and the work they cost."""

from __future__ import annotations

import functools
import math
import threading
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import _core
from quorvel._core import CoreSettings, _engine_settings
from quorvel._threads import resolve_threads
from quorvel._tune.crops import _Piece


def _advance(run: Any, iterations: int) -> list[npt.NDArray[np.float32]]:
    """Continue an engine run to `iterations`; the estimate after each iteration it ran."""
    out: list[npt.NDArray[np.float32]] = run.advance(iterations)
    return out


class _Runs:
    """The engine runs of one setting on every piece, plain and probed.

    The runs are kept, so that a larger iteration count costs only the
    iterations it adds: iteration k depends only on the estimate before it,
    so a run continued from k to k + 1 gives the bits of a run of k + 1.

    On crops this small the engine's threads mostly wait for one another
    (two threads took 2.6 times as long as one on six 73 x 73 crops, and
    the tuning cost up to 10 times the final run on two threads); the runs
    go side by side instead, one thread each.  The results are the same: the
    engine gives the same bits for any thread count.
    """

    def __init__(self, pieces: list[_Piece], settings: CoreSettings, threads: int) -> None:
        """Runs of `settings` on `pieces`; `threads` resolved already (1 or more)."""
        self.pieces = pieces
        inputs = [a for piece in pieces for a in (piece.plain, piece.probed)]
        self.workers = min(threads, len(inputs))
        kwargs = _engine_settings(settings, max(1, threads // max(len(inputs), 1)))
        del kwargs["max_iter"]
        self.runs = [_core.engine.GaussianRun(a, sigma=1.0, **kwargs) for a in inputs]
        self.done = 0

    def _advance_all(
        self,
        iterations: int,
        check: Callable[[], None] | None,
        on_run: Callable[[], None] | None = None,
    ) -> list[list[npt.NDArray[np.float32]]]:
        """Every run continued to `iterations`; `check()` before each, `on_run()` after."""

        def advance(run: Any) -> list[npt.NDArray[np.float32]]:
            if check is not None:
                check()
            out = _advance(run, iterations)
            if on_run is not None:
                on_run()
            return out

        if self.workers <= 1:
            return [advance(run) for run in self.runs]
        pool = ThreadPoolExecutor(max_workers=self.workers)
        try:
            return list(pool.map(advance, self.runs))
        finally:
            # Interrupted (Ctrl-C): the runs not yet started are dropped.
            pool.shutdown(cancel_futures=True)

    def risks(
        self,
        iterations: tuple[int, ...],
        check: Callable[[], None] | None = None,
        account: _Account | None = None,
    ) -> dict[int, float]:
        """Monte-Carlo SURE with each count of `iterations`, per scored element.

        The counts must be above the iterations already run.  `account`
        receives the work of each run as it ends.
        """
        first = self.done + 1
        if min(iterations) < first:
            raise ValueError(f"iterations up to {self.done} were run already")
        share = _work(self.done, max(iterations)) / len(self.runs)
        on_run = None if account is None else functools.partial(account.add, share)
        outputs = self._advance_all(max(iterations), check, on_run)
        self.done = max(iterations)
        total = dict.fromkeys(iterations, 0.0)
        count = 0
        for i, piece in enumerate(self.pieces):
            runs, probed = outputs[2 * i], outputs[2 * i + 1]
            for k in iterations:
                total[k] += piece.risk(runs[k - first], probed[k - first])
            count += piece.probe[piece.inner].size
        return {k: t / count for k, t in total.items()}


def _work(done: int, upto: int) -> float:
    """Relative cost of continuing a run from `done` to `upto` iterations.

    The search window along X and Y doubles with every iteration, so that
    iteration i costs about ``4**i`` (the window's area).
    """
    return float(sum(4.0**i for i in range(done + 1, upto + 1)))


class _Account:
    """The share of the tuning's work done, reported to a progress callable.

    The walk stops where the risk rises, so its length is known only as a
    bound (`_most_work`): the share moves by the work of each run against
    that bound, and reaches 1 when the tuning ends.
    """

    def __init__(self, total: float, progress: Callable[[float], object] | None) -> None:
        self._total = max(total, 1.0)
        self._done = 0.0
        self._progress = progress
        self._lock = threading.Lock()

    def add(self, work: float) -> None:
        """Count `work` as done (from any thread) and report the share, in order."""
        with self._lock:
            self._done += work
            if self._progress is not None:
                self._progress(min(self._done / self._total, 1.0))


def _most_work(
    grid: Mapping[str, Sequence[Any]], walked: Sequence[str], together: Sequence[str]
) -> float:
    """The work of the longest walk of `_tune_core` over `grid` (`_work` units).

    The start point, every other value along each dimension walked alone,
    every other combination of the dimensions searched together, each at the
    fewest iterations; then the larger counts at the chosen point.
    """
    counts = grid["iterations"]
    points = 1 + sum(len(grid[k]) - 1 for k in walked if k not in together)
    if together:
        points += math.prod(len(grid[k]) for k in together) - 1
    return points * _work(0, counts[0]) + _work(counts[0], counts[-1])


def _risks(
    pieces: list[_Piece],
    settings: CoreSettings,
    iterations: tuple[int, ...],
    threads: int,
    check: Callable[[], None] | None = None,
) -> dict[int, float]:
    """`_Runs.risks` of new runs of `settings`: the risk of each count of `iterations`."""
    return _Runs(pieces, settings, resolve_threads(threads)).risks(iterations, check)
