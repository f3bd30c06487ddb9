"""The denoiser's result for many settings of one scene, cheaply: every iteration count of a run.

`ChannelRuns` brings one channel of a scene to unit Gaussian noise as
`quorvel.denoise` does (divided by sigma, or the generalized Anscombe
transform in photon units for Poisson-Gaussian noise), runs the engine's
`GaussianRun` for a setting and returns the result after every iteration,
carried back to the image's units: one run to k iterations gives the
results of 1 to k iterations.  Channels are denoised each on its own (the
package's default), so the runs of one channel do not depend on the others.
`check_against_denoise` verifies a setting against `quorvel.denoise`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from workloads import Workload

import quorvel
from quorvel import _core, _engine
from quorvel._axes import normalize_axes, to_core_layout
from quorvel._core import NoisePlan
from quorvel._tune.crops import _inverse_anscombe, _stabilise

F32 = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Setting:
    """One grid point besides the iteration count."""

    radius: int
    pvalue: float
    deep: int = 0  # patch radius along the stacked axis (Z or T)
    reach: int | None = None  # along the stacked axis; None: the growing window

    def key(self, iterations: int) -> str:
        reach = "grow" if self.reach is None else str(self.reach)
        return f"r{self.radius} p{self.pvalue:g} d{self.deep} reach{reach} i{iterations}"

    def denoise_kwargs(self, stacked: str, iterations: int) -> dict[str, Any]:
        """Keyword arguments of `quorvel.denoise` for this point."""
        radius: dict[str, int] = {"X": self.radius, "Y": self.radius}
        out: dict[str, Any] = {"iterations": iterations, "pvalue": self.pvalue}
        if stacked:
            radius[stacked] = self.deep
            out["search"] = {stacked: self.reach}
        out["patch_radius"] = radius
        return out


def parse_key(key: str) -> tuple[Setting, int]:
    r, p, d, reach, i = key.split()
    value = reach[len("reach") :]
    return (
        Setting(int(r[1:]), float(p[1:]), int(d[1:]), None if value == "grow" else int(value)),
        int(i[1:]),
    )


def core_view(w: Workload) -> npt.NDArray[np.float32]:
    names = normalize_axes(w.axes, w.noisy.ndim)
    return np.ascontiguousarray(to_core_layout(w.noisy, names), dtype=np.float32)


def stacked_axis(w: Workload) -> str:
    """The axis among T and Z the scene extends along ('' for single planes)."""
    core = core_view(w)
    return "T" if core.shape[0] > 1 else "Z" if core.shape[2] > 1 else ""


def channel_plan(w: Workload, c: int) -> NoisePlan:
    """The true noise of channel `c` as the core receives it."""
    if w.model is None:
        sigma = w.noise["sigma"]
        s = sigma[c] if isinstance(sigma, (list, tuple)) else sigma
        return NoisePlan((None,), (None,), (float(s),))
    m = w.model
    k = c if m.n_channels > 1 else 0
    return NoisePlan((float(m.gain[k]),), (float(m.offset[k]),), (None,))


class ChannelRuns:
    """Runs of the engine on one channel of a scene at unit noise.

    `c` None: on all channels together (Gaussian noise only, as
    `quorvel.denoise` with ``channels="joint"``).
    """

    def __init__(self, w: Workload, c: int | None, threads: int = 1) -> None:
        core = core_view(w)
        channels = range(core.shape[1]) if c is None else [c]
        plans = [channel_plan(w, k) for k in channels]
        if c is None and any(p.sigma[0] is None for p in plans):
            raise ValueError("joint runs here take Gaussian noise only")
        self.core = core if c is None else core[:, c : c + 1]
        self.shape = self.core.shape
        self.plan = NoisePlan(
            tuple(p.gain[0] for p in plans),
            tuple(p.offset[0] for p in plans),
            tuple(p.sigma[0] for p in plans),
        )
        self.threads = threads

    def _prepared(self, setting: Setting, stacked: str) -> tuple[F32, Any]:
        radius5 = [setting.radius, setting.radius, 0, 0, 0]
        if stacked:
            radius5[2 if stacked == "Z" else 4] = setting.deep
        grown = _core._covered_shape(self.shape, tuple(radius5))
        core = self.core if grown == self.shape else _core._mirror_end(self.core, grown)
        group = _stabilise(core, self.plan)[0]
        return group, radius5

    def results(self, setting: Setting, stacked: str, iterations: int) -> list[F32]:
        """The result after each of 1 .. `iterations` iterations, in the image's units."""
        group, radius5 = self._prepared(setting, stacked)
        reach = [-1] * 5
        search = [1, 1, int(stacked == "Z"), 0, int(stacked == "T")]
        if stacked and setting.reach is not None:
            reach[2 if stacked == "Z" else 4] = setting.reach
        run = _engine.GaussianRun(
            group.stabilised,
            sigma=1.0,
            patch_radius=radius5,
            search=search,
            reach=reach if max(reach) >= 0 else [],
            pvalue=setting.pvalue,
            threads=self.threads,
        )
        crop = tuple(slice(0, n) for n in self.shape)
        out = []
        for f in run.advance(iterations):
            if group.photons is None:
                sigma = np.asarray(self.plan.sigma, dtype=np.float32).reshape(1, -1, 1, 1, 1)
                value = f * sigma
            else:
                value = _inverse_anscombe(f, group.read) * np.float32(self.plan.gain[0])
            out.append(np.asarray(value[crop], dtype=np.float32))
        return out


def check_against_denoise(w: Workload, setting: Setting, iterations: int) -> float:
    """Largest difference between `ChannelRuns` and `quorvel.denoise` at one setting.

    In units of the noise level, over every channel.
    """
    stacked = stacked_axis(w)
    kwargs = setting.denoise_kwargs(stacked, iterations)
    worst = 0.0
    core = core_view(w)
    for c in range(core.shape[1]):
        mine = ChannelRuns(w, c).results(setting, stacked, iterations)[-1]
        plan = channel_plan(w, c)
        noise = (
            {"noise": "gaussian", "sigma": plan.sigma[0]}
            if w.model is None
            else {
                "noise": "poisson-gaussian",
                "model": quorvel.NoiseModel(plan.gain[0], plan.offset[0]),
            }
        )
        ref = quorvel.denoise(core[:, c : c + 1], "TCZYX", **noise, threads=1, **kwargs)
        # The noise level at the channel's mean intensity.
        level = plan.sigma[0] or np.sqrt(
            max(float(np.mean(core[:, c])) * plan.gain[0] + plan.offset[0], 1e-6)
        )
        worst = max(worst, float(np.max(np.abs(mine - ref))) / level)
    return worst
