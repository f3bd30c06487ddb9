"""`NoiseModel`: the per-channel Poisson-Gaussian and Gaussian noise of an image."""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel._util import (
    FloatValues,
    _as_float_tuple,
    _check_not_tiny,
    _format_values,
    _per_channel,
)

__all__ = ["NoiseModel"]

#: What a camera file says it is, so that other JSON is not taken for one.
_FORMAT = "quorvel-noise-model"


@dataclass(frozen=True)
class NoiseModel:
    """The noise of an image, per channel: a Poisson-Gaussian and a Gaussian model.

    Poisson-Gaussian noise has the variance ``gain * intensity + offset``: the
    noise of a camera that counts photons (Poisson noise scaled by the camera
    gain) and adds read-out noise.  With a dark level ``b`` and a read-out
    noise ``s``, ``offset = s**2 - gain * b``, which is negative for most
    cameras.  `sigma` describes the same noise as additive Gaussian noise of
    one standard deviation per channel, which is what the Gaussian path of
    `denoise` uses.

    Parameters
    ----------
    gain : float or sequence of float
        Slope of the noise variance, in intensity units per detected photon,
        one value per channel.  `estimate_noise` gives NaN for a channel it
        could not fit (a constant or nearly empty channel).
    offset : float or sequence of float
        Noise variance at intensity 0, one value per channel (as many as
        `gain`; NaN where the fit failed).
    sigma : float or sequence of float, optional
        Standard deviation of the noise taken as Gaussian, one value per
        channel; a single value applies to every channel.  None when unknown:
        `denoise` then estimates it where it needs it.
    gain_se, offset_se : float or sequence of float, optional
        Standard errors of `gain` and `offset` (one value per channel, or one
        for every channel; NaN where not estimated, the default).

    Attributes
    ----------
    gain, offset : tuple of float
        One value per channel.
    sigma : tuple of float or None
        One value per channel, or None.
    gain_se, offset_se : tuple of float
        One standard error per channel, NaN where not estimated.

    Notes
    -----
    Models compare equal when their gain, offset and sigma are equal, NaN
    (a channel not fitted) in the same places included: the standard
    errors say how well an estimate knows the noise, not which noise it is.

    Examples
    --------
    A camera of gain 2 per photon, dark level 100 and read-out noise 3:

    >>> NoiseModel(gain=2.0, offset=3.0**2 - 2.0 * 100.0)
    NoiseModel(gain=(2.0,), offset=(-191.0,), sigma=None, gain_se=(nan,), offset_se=(nan,))
    """

    gain: tuple[float, ...]
    offset: tuple[float, ...]
    sigma: tuple[float, ...] | None = None
    gain_se: tuple[float, ...] = field(default=(), compare=False)
    offset_se: tuple[float, ...] = field(default=(), compare=False)

    def __init__(
        self,
        gain: FloatValues,
        offset: FloatValues,
        sigma: FloatValues | None = None,
        *,
        gain_se: FloatValues | None = None,
        offset_se: FloatValues | None = None,
    ) -> None:
        g = _as_float_tuple(gain, "gain", allow_nan=True)
        o = _as_float_tuple(offset, "offset", allow_nan=True)
        _check_not_tiny(g, "gain")
        if len(g) != len(o):
            raise ValueError(f"gain has {len(g)} values but offset has {len(o)}")
        for name, values in (("gain_se", gain_se), ("offset_se", offset_se)):
            se = (math.nan,) if values is None else _as_float_tuple(values, name, allow_nan=True)
            if len(se) not in (1, len(g)):
                raise ValueError(f"{name} has {len(se)} values but gain has {len(g)}")
            if any(v < 0 for v in se):
                raise ValueError(f"{name} must be >= 0 or NaN, got {_format_values(se)}")
            object.__setattr__(self, name, _per_channel(se, len(g)))
        s: tuple[float, ...] | None = None
        if sigma is not None:
            s = _as_float_tuple(sigma, "sigma")
            if len(s) not in (1, len(g)):
                raise ValueError(f"sigma has {len(s)} values but gain has {len(g)}")
            if not all(v >= 0 for v in s):
                raise ValueError(f"sigma must be >= 0, got {_format_values(s)}")
            _check_not_tiny(s, "sigma")
            s = _per_channel(s, len(g))
        object.__setattr__(self, "gain", g)
        object.__setattr__(self, "offset", o)
        object.__setattr__(self, "sigma", s)

    def _compared(self) -> tuple[Any, ...]:
        """Gain, offset and sigma with NaN (a channel not fitted) as None, for ``==`` and hash.

        NaN equals nothing, itself included: a model with a channel not fitted
        compared unequal to its own copy (read back from JSON, unpickled).
        """

        def marked(values: tuple[float, ...] | None) -> tuple[float | None, ...] | None:
            return None if values is None else tuple(None if math.isnan(v) else v for v in values)

        return marked(self.gain), marked(self.offset), marked(self.sigma)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, NoiseModel) or other.__class__ is not self.__class__:
            return NotImplemented
        return self._compared() == other._compared()

    def __hash__(self) -> int:
        return hash(self._compared())

    @property
    def n_channels(self) -> int:
        """Number of channels described (a single channel applies to any number)."""
        return len(self.gain)

    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]:
        """Poisson-Gaussian noise variance at `intensity` in `channel`.

        Parameters
        ----------
        intensity : array_like
            Noise-free intensities.
        channel : int
            Channel index.

        Returns
        -------
        ndarray of float64
            ``gain[channel] * intensity + offset[channel]``.
        """
        return self.gain[channel] * np.asarray(intensity, dtype=np.float64) + self.offset[channel]

    def __str__(self) -> str:
        text = f"gain {_format_values(self.gain)}, offset {_format_values(self.offset)}"
        if not all(math.isnan(v) for v in (*self.gain_se, *self.offset_se)):
            text += (
                f" (standard errors {_format_values(self.gain_se)}, "
                f"{_format_values(self.offset_se)})"
            )
        if self.sigma is not None:
            text += f", sigma {_format_values(self.sigma)}"
        return text

    def to_json(self, path: str | os.PathLike[str] | None = None, **extra: Any) -> str:
        """The model as JSON text, written to `path` when given.

        Parameters
        ----------
        path : str or path-like, optional
            File to write.
        **extra
            Further JSON-serialisable fields kept beside the model (e.g. the
            read noise and dark level a camera calibration measured).

        Returns
        -------
        str
            The JSON text; `from_json` reads it back.
        """
        fields: dict[str, Any] = {"format": _FORMAT, "gain": list(self.gain)}
        fields["offset"] = list(self.offset)
        if self.sigma is not None:
            fields["sigma"] = list(self.sigma)
        if not all(math.isnan(v) for v in (*self.gain_se, *self.offset_se)):
            fields["gain_se"] = list(self.gain_se)
            fields["offset_se"] = list(self.offset_se)
        text = json.dumps({**fields, **extra}, indent=2, allow_nan=True) + "\n"
        if path is not None:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        return text

    @classmethod
    def from_json(cls, source: str | os.PathLike[str]) -> NoiseModel:
        """Read a model written by `to_json` (or ``quorvel calibrate``).

        Parameters
        ----------
        source : str or path-like
            A file name, or JSON text (a string starting with ``{``).

        Returns
        -------
        NoiseModel
            With NaN standard errors when the file gives none (as files
            written before they were recorded).

        Raises
        ------
        ValueError
            When the text is not such a model or its values are invalid.
        """
        text = str(source)
        where = "text"
        if not text.lstrip().startswith("{"):
            where = text
            try:
                with open(source, encoding="utf-8") as f:
                    text = f.read()
            except UnicodeDecodeError:
                raise ValueError(f"{where}: not JSON (not a text file)") from None
        try:
            data = json.loads(text)
        except json.JSONDecodeError as exc:
            raise ValueError(f"{where}: not JSON ({exc})") from None
        if not isinstance(data, dict) or data.get("format") != _FORMAT:
            raise ValueError(f"{where}: not a quorvel noise model (no format {_FORMAT!r})")
        try:
            return cls(
                data["gain"],
                data["offset"],
                data.get("sigma"),
                gain_se=data.get("gain_se"),
                offset_se=data.get("offset_se"),
            )
        except KeyError as exc:
            raise ValueError(f"{where}: missing field {exc}") from None
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}") from None
