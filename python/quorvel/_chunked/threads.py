"""OpenMP threads for each dask task.

Each task calls the core with ``max(1, cpus // slots)`` OpenMP threads, where
``cpus`` is the number of CPUs available to the process running the task
(`dask.system.CPU_COUNT`) and ``slots`` the number of dask tasks that may run
on those CPUs at the same time: on a `distributed` worker, the threads of all
workers on its host (asked once per process from the scheduler); with the
local threaded scheduler, its pool size (``num_workers`` of the dask
configuration, else ``cpus``) but at most the number of blocks; with the
synchronous scheduler (tasks on the main thread), 1.  A positive `n_threads`
overrides the rule; a negative one takes that many threads off its result.
"""

from __future__ import annotations

import functools
import threading

import dask

__all__ = ["task_threads"]


@functools.cache
def _host_slots(scheduler_address: str, host: str) -> int:
    """Worker threads on `host` in the cluster of `scheduler_address` (0 if unknown)."""
    try:
        from distributed import get_client

        info = get_client().scheduler_info(n_workers=-1)
        return sum(
            int(w.get("nthreads", 0)) for w in info["workers"].values() if w.get("host") == host
        )
    except Exception:  # noqa: BLE001 - no scheduler answer: fall back to this worker
        return 0


def _distributed_slots() -> int | None:
    """Task slots sharing this host's CPUs when running on a distributed worker."""
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    own = int(worker.state.nthreads)
    host = str(worker.address).rsplit(":", 1)[0].split("://")[-1]
    return max(own, _host_slots(str(worker.scheduler.address), host))


def task_threads(requested: int, n_blocks: int) -> int:
    """OpenMP threads for one task.

    Parameters
    ----------
    requested : int
        A positive count is used as it is; 0 picks ``max(1, cpus // slots)``
        (see the module notes); a negative count takes that many off it.
    n_blocks : int
        Number of blocks of the computation; the local threaded scheduler
        runs at most that many tasks at once.

    Returns
    -------
    int
        At least 1.
    """
    if requested > 0:
        return requested
    cpus = int(dask.system.CPU_COUNT)
    slots = _distributed_slots()
    if slots is None:
        if threading.current_thread() is threading.main_thread():
            slots = 1  # the synchronous scheduler runs one task at a time
        else:
            pool = dask.config.get("num_workers", None) or cpus
            slots = min(int(pool), max(1, n_blocks))
    return max(1, cpus // max(1, slots) + requested)
