"""Images whose frames or planes are lines: kymographs, line scans and sections.

A kymograph follows a line over time: an array ``(T, X)``, or a time-lapse
of frames one row tall ``(T, 1, X)``.  Its time axis holds the same
structures as a spatial axis would (a spot that moves draws a diagonal
streak, one that stays a vertical line), and the denoiser's handling of T,
built for sequences of frames (the search reaching a few frames, patches one
frame deep, noise from differences of frames, alignment of drifting frames),
does not fit it.  So does an X-Z section ``(Z, X)``: a z-stack of planes one
row tall.

`Roles` renames the axes of such an image so that it is denoised as the
image it is: where the plane (Y and X) extends along fewer than two axes,
the other axes it extends along take the place of the missing ones, Z
before T (a time-lapse of X-Z sections stays a time-lapse): ``(T, X)`` is
denoised as ``(Y, X)``, ``(T, Y, 1)`` as ``(Y, X, 1)``, ``(T, Z, 1, X)`` as
``(T, Y, 1, X)``.  Frames a few pixels across (a line scan 2 to 6 pixels
wide, narrower than the default 7 x 7 patch) in a sequence of 7 frames or
more are a stack of kymographs, one per row: ``(T, 3, X)`` is denoised as
``(Y, Z, X)``.  The arrays are never copied for it: the names change, not
the data.  Settings given by axis letter are renamed the same way, and those
reported are named back in the caller's letters.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from quorvel._axes import core_shape

if TYPE_CHECKING:
    from quorvel._auto import Choice
    from quorvel._tune import TuneResult

#: Frames narrower than this along Y or X (the default 7 x 7 patch does not
#: fit) in a sequence at least this long are denoised as a stack of kymographs.
_THIN = 7
#: The axes a pixel's neighbours lie along, in the order they take the plane's place.
_SPACE = "XYZT"


def _completed(moves: dict[str, str]) -> dict[str, str]:
    """`moves` among X, Y, Z and T made a permutation of them.

    The letters it leaves out keep their own where it is free and take the
    others' in order.
    """
    out = dict(moves)
    sources = [a for a in _SPACE if a not in out]
    targets = [a for a in _SPACE if a not in out.values()]
    for a in [a for a in sources if a in targets]:
        out[a] = a
        sources.remove(a)
        targets.remove(a)
    out.update(zip(sources, targets, strict=True))
    return out


@dataclass(frozen=True)
class Roles:
    """How the axes of an image are named for denoising.

    Attributes
    ----------
    names : str
        The caller's axis names (core letters, `quorvel._axes.normalize_axes`).
    denoised : str
        The names the image is denoised under: `names` with letters swapped
        where its frames or planes are lines (module docstring), else `names`.
    """

    names: str
    denoised: str

    @classmethod
    def of(cls, names: str, shape: Sequence[int]) -> Roles:
        """The roles of the axes of an image of `shape` named `names`."""
        sizes = core_shape(tuple(shape), names)
        plane = [a for a in "XY" if sizes[a] > 1]
        thin = [a for a in plane if sizes[a] < _THIN]
        if len(plane) == 2 and len(thin) == 1 and sizes["Z"] == 1 and sizes["T"] >= _THIN:
            # Frames a few pixels across: a stack of kymographs, one per row.
            wide = "X" if thin == ["Y"] else "Y"
            moves = _completed({wide: "X", "T": "Y", thin[0]: "Z"})
            return cls(names, "".join(moves.get(a, a) for a in names))
        promoted = [a for a in "ZT" if sizes[a] > 1][: 2 - len(plane)]
        if not promoted:
            return cls(names, names)
        moves = _completed(dict(zip(plane + promoted, "XY", strict=False)))
        return cls(names, "".join(moves.get(a, a) for a in names))

    @property
    def _forward(self) -> dict[str, str]:
        """Each of X, Y, Z and T (present or not) to the letter it is denoised under."""
        return _completed(dict(zip(self.names, self.denoised, strict=True)))

    @property
    def renamed(self) -> bool:
        """Whether any axis is denoised under another letter."""
        return self.names != self.denoised

    @property
    def shown(self) -> str:
        """The names for messages: the caller's, and those denoised under where they differ."""
        return f"{self.names}, denoised as {self.denoised}" if self.renamed else self.names

    def check_method(self, method: str, shape: Sequence[int]) -> None:
        """Refuse ``method='temporal'`` where the frames (or planes) it compares became rows."""
        sizes = core_shape(tuple(shape), self.names)
        stacked = "T" if sizes["T"] > 1 else "Z" if sizes["Z"] > 1 else None
        if method == "temporal" and stacked is not None and self._forward[stacked] != stacked:
            raise ValueError(
                f"method='temporal' compares frames or planes; those of this image (axes "
                f"{self.names}, shape {tuple(shape)}) are lines or strips a few pixels wide, "
                "estimated as the rows of kymographs: use method='spatial' or 'auto'"
            )

    def keys(self, mapping: Any, name: str) -> Any:
        """`mapping` (of the argument `name`) with its axis-letter keys renamed.

        Anything but a mapping is returned as it is.  Two keys for one axis
        (``"x"`` and ``"X"``) raise ValueError, as the checks would.
        """
        if not self.renamed or not isinstance(mapping, Mapping):
            return mapping
        forward = self._forward
        out: dict[Any, Any] = {}
        for key, value in mapping.items():
            upper = str(key).upper()
            letter = forward.get(upper, key)
            if letter in out:
                raise ValueError(f"{name}: axis {upper} is given twice")
            out[letter] = value
        return out

    def search(self, search: Any) -> Any:
        """A `search` argument with its axes renamed: letters, text by axis, or a mapping.

        Text by axis (``"Z,T=1"``) is left to the checks where it does not parse.
        """
        if not self.renamed or search is None:
            return search
        if isinstance(search, str):
            if "=" in search:
                from quorvel._text import parse_search

                try:
                    return self.keys(parse_search(search), "search")
                except ValueError:
                    return search
            forward = self._forward
            return "".join(forward.get(a.upper(), a) for a in search)
        return self.keys(search, "search")

    def named_back(self, settings: Mapping[str, Any]) -> dict[str, Any]:
        """Settings (keyword arguments of `quorvel.denoise`) in the caller's letters."""
        out = dict(settings)
        if not self.renamed:
            return out
        back = {v: k for k, v in self._forward.items()}
        for key in ("patch_radius", "search"):
            value = out.get(key)
            if isinstance(value, Mapping):
                out[key] = {back.get(str(a), a): v for a, v in value.items()}
        return out

    def choice(self, choice: Choice) -> Choice:
        """`choice` with its settings named in the caller's letters."""
        return replace(choice, settings=self.named_back(choice.settings))

    def tuning(self, tuned: TuneResult) -> TuneResult:
        """`tuned` with its settings and candidates named in the caller's letters."""
        return replace(
            tuned,
            settings=self.named_back(tuned.settings),
            candidates=tuple((self.named_back(s), r) for s, r in tuned.candidates),
        )
