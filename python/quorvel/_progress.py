"""Progress display by stages.

A denoising run is one call into the compute core that cannot be cut into
pieces without changing the result (patches and search windows reach across
any block, frame or channel boundary), so progress is shown per stage: noise
estimation, denoising, and in the command line writing the file.
While a long stage runs in the compute core, which releases the interpreter
lock, the display keeps its elapsed time ticking from the calling thread.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from types import TracebackType
from typing import Any, TypeVar

T = TypeVar("T")

_REFRESH_SECONDS = 0.25


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
            bar_format="{desc} {bar} {n_fmt}/{total_fmt} [{elapsed}]",
        )
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorvel")

    def run(self, label: str, func: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        """Run one stage and count it.

        Parameters
        ----------
        label : str
            What the stage does, shown next to the bar while it runs.
        func : callable
            The work of the stage.
        *args, **kwargs
            Passed to `func`.

        Returns
        -------
        object
            What `func` returns; its exceptions propagate.
        """
        if not self._enabled:
            return func(*args, **kwargs)
        if self._bar is None:
            self._start()
        assert self._bar is not None and self._pool is not None
        self._bar.set_description_str(f"{self._desc}: {label}", refresh=True)
        future = self._pool.submit(func, *args, **kwargs)
        while True:
            try:
                result = future.result(timeout=_REFRESH_SECONDS)
                break
            except FutureTimeout:
                self._bar.refresh()
        self._bar.update(1)
        return result

    def close(self) -> None:
        """Finish the display and release its worker thread."""
        if self._bar is not None:
            self._bar.set_description_str(f"{self._desc}: done", refresh=False)
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
