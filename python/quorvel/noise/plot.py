"""A picture of the noise fit: local mean against local variance, per channel.

Needs matplotlib (``pip install quorvel[plot]``).
"""

from __future__ import annotations

import os
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from quorvel.noise._fit import fit_channel

__all__ = ["plot_mean_variance"]


def plot_mean_variance(
    core5: npt.NDArray[Any],
    path: str | os.PathLike[str] | IO[bytes],
    method: str = "auto",
    title: str = "",
) -> None:
    """Draw, per channel, the block points of the calibration and the fitted line.

    Parameters
    ----------
    core5 : ndarray
        Image in core layout ``(T, C, Z, Y, X)``.
    path : str, path-like or binary file
        Image file to write (PNG, SVG, PDF: by its extension; PNG into an
        open binary file).
    method : {'auto', 'temporal', 'spatial'}
        Calibration whose points are drawn.
    title : str
        Text above the plots.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("the plot needs matplotlib: pip install 'quorvel[plot]'") from exc
    n = core5.shape[1]
    fig, axes = plt.subplots(1, n, figsize=(5.0 * n, 4.0), squeeze=False)
    for c, ax in enumerate(axes[0]):
        fit = fit_channel(core5[:, c], method)  # type: ignore[arg-type]
        p = fit.points
        ax.scatter(p.mean[~fit.used], p.energy[~fit.used], s=4, c="0.75", label="rejected blocks")
        ax.scatter(p.mean[fit.used], p.energy[fit.used], s=4, c="C0", label="blocks used")
        if np.isfinite(fit.gain) and p.mean.size:
            xs = np.linspace(p.mean.min(), p.mean.max(), 2)
            ax.plot(
                xs,
                fit.gain * xs + fit.offset,
                c="C3",
                label=f"gain {fit.gain:.4g}, offset {fit.offset:.4g}",
            )
            top = np.percentile(p.energy[fit.used], 99.5) if fit.used.any() else None
            if top:
                ax.set_ylim(0, 1.5 * max(top, fit.gain * xs[1] + fit.offset))
        ax.set_xlabel("local mean")
        ax.set_ylabel("local noise variance")
        ax.set_title(f"channel {c}")
        ax.legend(loc="upper left", fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
