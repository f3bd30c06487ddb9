"""Progress display by stages.

Progress is shown per stage: noise estimation, denoising, and in the
command line writing the file.  The counter names the stage that runs
(``2/3``); the denoising stage reports how far it got (the engine's share of
work done), shown as a percentage with the time left, and the bar fills with
the stages done and the share of the running one.  While a stage runs on a
worker thread, the display keeps its elapsed time ticking from the calling
thread, and Ctrl-C there stops the engine through its progress callable.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from types import TracebackType
from typing import Any, TypeVar

T = TypeVar("T")

_REFRESH_SECONDS = 0.1


class Interrupted(Exception):
    """Raised from a progress callable to stop the engine after Ctrl-C."""


def _eta(elapsed: float, fraction: float) -> str:
    if fraction <= 0.0:
        return "?"
    seconds = round(elapsed * (1.0 - fraction) / fraction)
    return f"{seconds // 60}:{seconds % 60:02d}"


class Stages:
    """A progress bar over a known number of stages.

    Parameters
    ----------
    total : int
        Number of stages the bar counts to.
    enabled : bool
        Whether to show anything; a disabled display runs each stage directly
        on the calling thread and costs nothing.
    desc : str
        Text in front of the bar.
    """

    def __init__(self, total: int, *, enabled: bool, desc: str = "quorvel") -> None:
        self._total = total
        self._enabled = enabled
        self._desc = desc
        self._bar: Any = None
        self._pool: ThreadPoolExecutor | None = None
        self._started = 0  # stages begun
        self._finished = 0  # and ended

    def _start(self) -> None:
        # The bar appears with the first stage, so that a run that fails its
        # checks before any work shows none.
        from tqdm import tqdm

        self._bar = tqdm(
            total=self._total,
            desc=self._desc,
            unit="stage",
            file=sys.stderr,
            leave=True,
            dynamic_ncols=True,
            bar_format="{desc} {bar} [{elapsed}]",
        )
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorvel")

    def run(
        self, label: str | Callable[[], str], func: Callable[..., T], *args: Any, **kwargs: Any
    ) -> T:
        """Run one stage and count it.

        Parameters
        ----------
        label : str or callable
            What the stage does, shown next to the bar while it runs; a
            callable is asked again at every refresh.
        func : callable
            The work of the stage.
        *args, **kwargs
            Passed to `func`.

        Returns
        -------
        object
            What `func` returns; its exceptions propagate.
        """
        return self._run(label, None, func, *args, **kwargs)

    def _run(
        self,
        label: str | Callable[[], str],
        fraction: Callable[[], float] | None,
        func: Callable[..., T],
        *args: Any,
        **kwargs: Any,
    ) -> T:
        """`run`, the bar filled by `fraction` (the running stage's share done) when given."""
        if not self._enabled:
            return func(*args, **kwargs)
        if self._bar is None:
            self._start()
        assert self._bar is not None and self._pool is not None
        done = self._started
        self._started += 1
        counter = f"{min(self._started, self._total)}/{self._total}"

        def show() -> None:
            assert self._bar is not None
            text = label() if callable(label) else label
            self._bar.n = done + (min(max(fraction(), 0.0), 1.0) if fraction else 0.0)
            self._bar.set_description_str(f"{self._desc} {counter}: {text}", refresh=True)

        show()
        future = self._pool.submit(func, *args, **kwargs)
        while True:
            try:
                result = future.result(timeout=_REFRESH_SECONDS)
                break
            except FutureTimeout:
                show()
        self._finished += 1
        self._bar.n = done + 1
        self._bar.refresh()
        return result

    def run_reporting(
        self,
        label: str,
        progress: Callable[[float], object] | None,
        func: Callable[..., T],
        *args: Any,
        **kwargs: Any,
    ) -> T:
        """Run one stage that reports its progress, as ``func(*args, progress=..., **kwargs)``.

        The display shows the stage's percentage and time left; `progress`
        (if given) is called as well.  Ctrl-C while the stage runs on the
        worker thread stops it through the callable before KeyboardInterrupt
        propagates.
        """
        if not self._enabled:
            return func(*args, progress=progress, **kwargs)
        cancel = threading.Event()
        state = {"fraction": 0.0}

        def report(fraction: float) -> None:
            if cancel.is_set():
                raise Interrupted
            state["fraction"] = fraction
            if progress is not None:
                progress(fraction)

        start = time.monotonic()

        def describe() -> str:
            f = state["fraction"]
            return f"{label} {100 * f:.0f}% (left {_eta(time.monotonic() - start, f)})"

        try:
            return self._run(
                describe, lambda: state["fraction"], func, *args, progress=report, **kwargs
            )
        except KeyboardInterrupt:
            self._stop(cancel)
            raise

    def run_stoppable(
        self,
        label: str,
        func: Callable[..., T],
        *args: Any,
        check: Callable[[], None] | None = None,
        **kwargs: Any,
    ) -> T:
        """Run one stage as ``func(*args, check=..., progress=..., **kwargs)``.

        `func` calls ``check()`` between its steps; after Ctrl-C it raises
        `Interrupted`, so that the stage stops at its next step before
        KeyboardInterrupt propagates.  A `check` of the caller's is called
        too (it may raise to stop the stage); without a display it is the
        only one.  `func` reports the share of its work done through
        ``progress(share)`` (from any thread): the display shows the stage's
        percentage and time left.
        """
        if not self._enabled:
            return func(*args, check=check, **kwargs)
        cancel = threading.Event()
        state = {"fraction": 0.0}

        def check_both() -> None:
            if cancel.is_set():
                raise Interrupted
            if check is not None:
                check()

        def report(fraction: float) -> None:
            state["fraction"] = fraction

        start = time.monotonic()

        def describe() -> str:
            f = state["fraction"]
            return f"{label} {100 * f:.0f}% (left {_eta(time.monotonic() - start, f)})"

        try:
            return self._run(
                describe,
                lambda: state["fraction"],
                func,
                *args,
                check=check_both,
                progress=report,
                **kwargs,
            )
        except KeyboardInterrupt:
            self._stop(cancel)
            raise

    def _stop(self, cancel: threading.Event) -> None:
        """After Ctrl-C: tell the stage to stop and wait for it, so that nothing runs on."""
        cancel.set()
        if self._pool is not None:
            self._pool.shutdown(wait=True)
            self._pool = None

    def close(self) -> None:
        """Finish the display and release its worker thread."""
        if self._bar is not None:
            if self._finished >= self._total:
                done = f"{self._total}/{self._total}: done"
                self._bar.set_description_str(f"{self._desc} {done}", refresh=False)
            self._bar.close()
            self._bar = None
        if self._pool is not None:
            self._pool.shutdown(wait=True)
            self._pool = None

    def __enter__(self) -> Stages:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()
