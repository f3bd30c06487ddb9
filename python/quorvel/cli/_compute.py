"""Running dask graphs: on local threads or a distributed scheduler, with a progress bar."""

from __future__ import annotations

import contextlib
import logging
import sys
from collections.abc import Iterator, Sequence
from concurrent.futures import CancelledError
from typing import Any

from quorvel._util import one_line as _one_line
from quorvel.cli._console import CommandError


@contextlib.contextmanager
def _dask_client(address: str | None) -> Iterator[Any]:
    """A client of the distributed scheduler at `address`, or None to run on local threads."""
    if address is None:
        yield None
        return
    try:
        from distributed import Client
    except ImportError as err:
        raise CommandError("--scheduler needs the distributed package") from err
    try:
        client = Client(address)
    except (OSError, TimeoutError, ValueError) as err:
        raise CommandError(
            f"cannot reach the dask scheduler at {address} ({_one_line(err)})"
        ) from err
    # The client logs its lost connections and retries in tracebacks of its
    # own; the command reports a lost scheduler in one line (`_computer`).
    quiet = {
        name: logging.getLogger(name)
        for name in ["asyncio", *logging.root.manager.loggerDict]
        if name.split(".")[0] in ("distributed", "asyncio")
    }
    levels = {name: log.level for name, log in quiet.items()}
    for log in quiet.values():
        log.setLevel(logging.CRITICAL + 1)
    try:
        yield client
    finally:
        try:
            client.close(timeout=5)
        except Exception:  # noqa: BLE001 - a scheduler already gone
            pass
        finally:
            for name, log in quiet.items():
                log.setLevel(levels[name])


def _computer(client: Any, show_bar: bool, extra: Sequence[Any]) -> Any:
    """A function computing a store task together with `extra`, with a progress bar."""

    def compute(store: Any) -> list[Any]:
        import dask

        lazy = [v for v in extra if dask.is_dask_collection(v)]
        if client is None:
            from dask.diagnostics import ProgressBar

            from quorvel._lazy import stoppable_pool

            bar = ProgressBar(out=sys.stderr) if show_bar else contextlib.nullcontext()
            # A pool of its own, so that after Ctrl-C its running chunks are
            # stopped and waited for before the partial store is removed.
            with stoppable_pool() as pool, bar:
                done = list(dask.compute(store, *lazy, scheduler="threads", pool=pool))
        else:
            try:
                futures = client.compute([store, *lazy])
                if show_bar:
                    from distributed import progress

                    # The console bar of distributed writes to standard output.
                    with contextlib.redirect_stdout(sys.stderr):
                        progress(futures, multi=False)
                    print(file=sys.stderr)
                done = list(client.gather(futures))
            except (CancelledError, OSError, TimeoutError) as err:
                # A scheduler that stopped cancels every future (an OSError
                # here is its lost connection: the store is written by workers).
                reason = "" if isinstance(err, CancelledError) else f" ({_one_line(err)[:200]})"
                raise CommandError(
                    f"the dask scheduler at {client.scheduler.address} stopped or lost the "
                    f"connection before the computation ended{reason}; nothing was written"
                ) from err
        values = iter(done[1:])
        return [done[0], *(next(values) if dask.is_dask_collection(v) else v for v in extra)]

    return compute
