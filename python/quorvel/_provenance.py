"""The record of how an output was made, kept in the file beside the pixels.

`provenance_record` builds it in one place: the quorvel version, the noise
model applied to each channel and every parameter of the run.  Writers store
it as an OME map annotation, in the ImageJ ``Info``, as a zarr attribute or
in the sidecar ``.json`` of a ``.npy`` file; `quorvel info` prints it.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Mapping
from typing import Any

from quorvel._core import NoisePlan


def _number(value: float | None) -> float | None:
    return None if value is None or math.isnan(value) else float(value)


def noise_by_channel(plan: NoisePlan) -> list[dict[str, Any]]:
    """The noise model applied to each channel: Poisson-Gaussian gain and offset, or sigma.

    With the standard errors of gain and offset when the plan has them
    (``gain_se``, ``offset_se``; None where not estimated).  A channel passed
    through unchanged (one value throughout) is recorded as ``"constant"``
    with its value.
    """
    channels: list[dict[str, Any]] = []
    gain_se = getattr(plan, "gain_se", None) or (None,) * len(plan.gain)
    offset_se = getattr(plan, "offset_se", None) or (None,) * len(plan.gain)
    for c, gain in enumerate(plan.gain):
        if gain is not None:
            channels.append(
                {
                    "channel": c,
                    "model": "poisson-gaussian",
                    "gain": _number(gain),
                    "offset": _number(plan.offset[c]),
                    "gain_se": _number(gain_se[c]),
                    "offset_se": _number(offset_se[c]),
                }
            )
        elif plan.value(c) is not None:
            channels.append({"channel": c, "model": "constant", "value": _number(plan.value(c))})
        else:
            channels.append({"channel": c, "model": "gaussian", "sigma": _number(plan.sigma[c])})
    return channels


def provenance_record(
    plan: NoisePlan, parameters: Mapping[str, Any], *, source: str | None = None
) -> dict[str, Any]:
    """The provenance of a denoised image, as plain JSON values.

    Parameters
    ----------
    plan : NoisePlan
        The noise model the denoiser applied, per channel.
    parameters : mapping
        Every parameter of the run by name (JSON values: numbers, strings,
        lists, dicts, None).
    source : str, optional
        The input file.

    Returns
    -------
    dict
        ``software``, ``version``, ``created`` (UTC, ISO 8601), ``source``,
        ``noise`` (one entry per channel) and ``parameters``.
    """
    from quorvel import __version__

    return {
        "software": "quorvel",
        "version": __version__,
        "created": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "source": source,
        "noise": noise_by_channel(plan),
        "parameters": dict(parameters),
    }
