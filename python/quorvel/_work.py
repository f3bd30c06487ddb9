"""The time model of the settings chosen per image (`quorvel._auto`).

`work` estimates the fast kernel's time of a run of some settings on an
image's shape, in arbitrary units; `budget` is the most a choice may take
there: a multiple of the work of the settings the package used before it
chose them per image (`TODAY`), which stands for about twice the exact
kernel's time with them.
"""

from __future__ import annotations

import math

from quorvel._core import CoreSettings

#: The settings the package used before it chose them per image, the
#: reference of the time budget: 7 x 7 patches, 4 iterations, p-value
#: 0.01, the growing search window along Z and T, channels together.
TODAY = CoreSettings((3, 3, 0, 0, 0), (1, 1, 1, 0, 1), 4, 0.01, 0.0, joint=True)

#: Work of the chosen settings on a z-stack, at most this many times that
#: of `TODAY` (`work`): the choice should cost at most twice the exact
#: kernel's time with today's settings.  The fast kernel was about 3.5 times
#: faster than the exact one when this was 6 (4.5 to 5.2 since); no choice
#: on the benchmark's stacks changed at 6.5 (``bench/defaults_grid.py
#: --rule``), whose choices of work 4.4 to 4.7 take 1.3 to 1.8 times the
#: exact kernel's time with `TODAY`.
BUDGET = 6.5
#: The same on time-lapses, whose work counts the frames as the kernel
#: does (`work`): a unit of it takes 0.18 to 0.20 times the exact kernel's
#: time with `TODAY` on 10 to 80 frames of 128 x 128, 0.19 to 0.23 times on
#: frames of 384 x 384 to 768 x 768 (where the exact kernel takes a quarter
#: less time per pixel), and the rest of a run (alignment, measures, the
#: spectrum's cut) 0.3 to 0.4 times more: on large frames 7.6 units stay
#: under twice the exact kernel's time (1.75 to 1.82 measured at the
#: budget's edge on 512 x 512), on small ones at about 1.4 to 1.8.  Every
#: time-lapse of the benchmark's set keeps the settings chosen with 6.5
#: and the earlier model.  Since the fast kernel's rows are lengthened
#: where frames' rows alias in the cache (``src/denoise/row_pitch.hpp``)
#: those 512 x 512 cases take 1.62 to 1.71; still ones searching every
#: frame in 3 iterations were the costliest per unit (0.25 on 20 and 28
#: frames of 512 x 512; 56 frames 2.29 and 2.76 times) until the kernel
#: visited the frames inside each grid row: 56 frames then 1.57 and 1.76.
#: The model prices 5 x 5 and 9 x 9 patches as 7 x 7, where the kernel
#: takes 1.15 to 1.35 times longer on them: still sequences with 5 x 5
#: hold to this budget over `quorvel._auto._SMALL_STILL_PATCH`, and take
#: 7 x 7 in 3 iterations (`quorvel._auto._still_three`).
SEQUENCE_BUDGET = 7.6
#: The same on single planes, where a unit of work takes less of the exact
#: kernel's time with `TODAY` (which searches no other frame or plane):
#: the sixth iteration of dim sparse planes (work 6.1 on 256 x 256) took 1.4
#: to 1.7 times it, on two channels each denoised on its own (7.0) 1.6 to
#: 1.9 times, on three and four (7.6, 8.0) 1.7 to 2.1 times (two threads),
#: which this budget leaves at 5 iterations.
PLANE_BUDGET = 7.3
#: Joint channels: a run's time grows as this power of their count (the
#: exact kernel's, 2 to 4 channels on 256 x 256 and 512 x 512: 0.72 to 0.89);
#: channels each on their own take a run each.
_JOINT_CHANNELS = 0.8


def _windows(axis: str, extent: int, searched: bool, iterations: int, reach: int) -> list[int]:
    """The engine's search half-size along one axis in each iteration."""
    if extent <= 1 or not searched:
        return [0] * iterations
    if axis in "XY":
        grow = [min(2**k, extent) for k in range(iterations)]
        return grow if reach < 0 else [min(w, reach) for w in grow]
    if reach >= 0:
        return [reach] * iterations
    return list(range(iterations)) if axis == "Z" else [max(0, k - 2) for k in range(iterations)]


def _mean_span(extent: int, half: int) -> float:
    """Mean count of positions within `half` of a position, over an axis of `extent`."""
    if half >= extent - 1:
        return float(extent)
    # Positions near the ends see fewer: sum over p of min(p, h) + min(n-1-p, h) + 1.
    h, n = half, extent
    edge = h * (h + 1)  # the two ends together lose sum_{p<h} (h - p) each
    return (n * (2 * h + 1) - edge) / n


def work(settings: CoreSettings, shape: tuple[int, ...]) -> float:
    """The time of a run of `settings` on a core-layout `shape`, in arbitrary units.

    Fitted to the fast kernel's times over patch radii 2 to 4 (0 and 1 along
    T or Z), reaches and 3 to 6 iterations on a 2-D image, a time-lapse and
    a z-stack (``bench/cost_table.py``; within 25 % in most cases, at worst
    a factor 2) as a product of powers of three counts: the reference
    positions per element (every ``radius + 1`` elements along X, Y and Z,
    every ``radius`` along T), the elements of a patch, and the candidates
    of every iteration's search window, clipped to the image, added up;
    times the channels' count, or its power `_JOINT_CHANNELS` where they are
    denoised together.

    Along T, measured on 5 to 80 frames (fitted on 10): a patch ``radius``
    frames deep fits only where it lies within the sequence, and its
    references and candidates are counted over the ``T - 2 radius`` frames
    where it does (the references linearly); its frames weigh as their
    count to the power `_DEPTH_T`; and the candidates' count comes in
    linearly along T (as the mean count of frames their windows span).  A
    unit of work then takes the same time on 10 to 80 frames, with patches
    one or three frames deep, the window growing or reaching 3 frames to
    the whole sequence: 0.18 to 0.20 times the exact kernel's time with
    `TODAY` (engine alone, two threads, 128 x 128 frames), where it took
    0.21 to 0.33 before.
    """
    nt, nc, nz, ny, nx = shape
    extents = {"X": nx, "Y": ny, "Z": nz, "T": nt}
    index = {"X": 0, "Y": 1, "Z": 2, "T": 4}
    reach = settings.reach or (-1,) * 5
    deep = settings.patch_radius[4] if nt > 1 else 0
    fitting = max(nt - 2 * deep, 1)  # frames where a patch deep along T lies inside
    references = plane = 1.0
    for axis, n in extents.items():
        r = settings.patch_radius[index[axis]] if n > 1 else 0
        if axis != "T":
            plane *= 2 * r + 1
        references /= (r if axis == "T" else r + 1) if r > 0 else 1
    windows = {
        axis: _windows(
            axis, n, bool(settings.search[index[axis]]), settings.iterations, reach[index[axis]]
        )
        for axis, n in extents.items()
    }
    spans = dict(extents, T=fitting)
    per_iteration = [
        math.prod(_mean_span(spans[a], windows[a][k]) for a in extents)
        for k in range(settings.iterations)
    ]
    candidates = sum(per_iteration)
    # The mean count of frames a candidate's window spans: every frame's
    # candidates cost alike, so that the count of frames comes in linearly.
    frames = (
        sum(c * _mean_span(fitting, windows["T"][k]) for k, c in enumerate(per_iteration))
        / candidates
    )
    channels = nc**_JOINT_CHANNELS if settings.joint else nc
    patch = plane ** _POWERS[1] * (2 * deep + 1) ** _DEPTH_T
    return float(
        fitting
        / nt
        * channels
        * references ** _POWERS[0]
        * patch
        * candidates ** _POWERS[2]
        * frames ** (1.0 - _POWERS[2])
    )


def budget(shape: tuple[int, ...]) -> float:
    """The most `work` a choice may take on a core-layout `shape`."""
    nt, _, nz, _, _ = shape
    most = SEQUENCE_BUDGET if nt > 1 else BUDGET if nz > 1 else PLANE_BUDGET
    return most * work(TODAY, shape)


#: The powers of `work`'s three counts.
_POWERS = (0.58, 0.49, 0.9)
#: The power of a patch's frames along T in `work`.
_DEPTH_T = 0.94
