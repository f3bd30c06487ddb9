"""Thread counts for the compute core, from the CPUs this process may use.

The core's own rule for a count of 0 or below starts from OpenMP's current
setting of the calling thread, which an earlier call may have lowered; the
package therefore always passes an explicit count, computed here.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

__all__ = ["available_cpus", "for_each", "max_threads", "resolve_threads"]

# cgroup files that limit the CPU time of this process, v2 then v1.
_CGROUP_V2 = Path("/sys/fs/cgroup/cpu.max")
_CGROUP_V1 = (
    Path("/sys/fs/cgroup/cpu/cpu.cfs_quota_us"),
    Path("/sys/fs/cgroup/cpu/cpu.cfs_period_us"),
)


def _cgroup_cpus() -> int | None:
    """CPUs' worth of time the cgroup quota allows, rounded up; None without a quota."""
    try:
        if _CGROUP_V2.is_file():
            quota, period = _CGROUP_V2.read_text().split()[:2]
        else:
            quota, period = (p.read_text().strip() for p in _CGROUP_V1)
        if quota in ("max", "-1"):
            return None
        return max(1, math.ceil(int(quota) / int(period)))
    except (OSError, ValueError, ZeroDivisionError):
        return None


def available_cpus() -> int:
    """CPUs this process may run on: its affinity mask, within its cgroup quota."""
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    quota = _cgroup_cpus()
    return max(1, min(cpus, quota) if quota is not None else cpus)


def max_threads() -> int:
    """The largest thread count the core starts: ``max(64, 4 * available_cpus())``."""
    return max(64, 4 * available_cpus())


def resolve_threads(requested: int) -> int:
    """The explicit thread count for a requested one.

    Parameters
    ----------
    requested : int
        A positive count, used up to `max_threads`; 0 for every available
        CPU; a negative count for all but that many (at least 1).

    Returns
    -------
    int
        Between 1 and `max_threads`.
    """
    wanted = requested if requested > 0 else available_cpus() + requested
    return min(max(1, wanted), max_threads())


def for_each(
    job: Callable[[Any], None],
    items: Sequence[Any],
    threads: int,
    progress: Callable[[float], object] | None = None,
) -> None:
    """`job(item)` for every item, `threads` of them at a time (at most one per item).

    For jobs that write disjoint parts of an array: the same bits for every
    count.  `progress`, if given, is told the share of the items done after
    each, on the calling thread.  What a job or `progress` raises (or Ctrl-C
    while waiting) propagates once the jobs begun are done; those not begun
    are dropped.
    """
    workers = min(threads, len(items))
    if workers <= 1:
        for done, item in enumerate(items, 1):
            job(item)
            if progress is not None:
                progress(done / len(items))
        return
    pool = ThreadPoolExecutor(workers)
    try:
        for done, _ in enumerate(pool.map(job, items), 1):
            if progress is not None:
                progress(done / len(items))
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
