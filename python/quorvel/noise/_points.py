"""Block summaries of noise residuals: per block and per part of a block.

`BlockPoints` holds, per block of one channel, the local mean, the energy of
a noise residual and of a wider one; `Parts` the same per block's pixels
split by the level of their local mean.  `quorvel.noise._fit` makes them
from the engine's summaries; `quorvel.noise._line.fit_line` fits the noise
line to them.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


@dataclass(frozen=True)
class Parts:
    """The pixels of blocks split by the level of their local mean.

    Per part: `block` (index of its block in the `BlockPoints`), `count`
    (pixels), the mean local mean, energy and wide energy of its pixels, and
    `level`, the level class they share (the number of levels at or below
    their local means).
    """

    block: I64
    count: F64
    mean: F64
    energy: F64
    wide: F64
    level: I64

    @staticmethod
    def of_blocks(points: BlockPoints) -> Parts:
        """One part per block: the whole block, all in one level class."""
        return Parts(
            np.arange(points.mean.size, dtype=np.int64),
            points.count,
            points.mean,
            points.energy,
            points.wide,
            np.zeros(points.mean.size, np.int64),
        )


@dataclass(frozen=True)
class BlockPoints:
    """Block summaries of one channel.

    `mean` is the block's local mean, `energy` its mean square residual and
    `wide` the mean square of a residual that noise alone gives the same
    expectation but leftover signal more (the spatial residual taken two
    pixels apart, the frame difference summed over 3 x 3 pixels), `count`
    its number of pixels.  Signal that does not cancel (curvature, motion)
    grows about four to nine times as fast in `wide`.
    """

    mean: F64
    energy: F64
    wide: F64
    count: F64
    #: Which residual each block comes from (`FRAMES`, `FOURTH`, `CUBIC`):
    #: the spread of the flatness statistic is measured per kind.
    kind: npt.NDArray[np.int8] | None = None
    #: The blocks' pixels split by level (None: each block whole).
    parts: Parts | None = None
    #: Where each block lies, as a group number: blocks of one group may
    #: share noise, blocks of different groups hardly do (None: one group
    #: per block).
    group: I64 | None = None

    def __add__(self, other: BlockPoints) -> BlockPoints:
        """The blocks of both, each keeping its kind, parts and group."""
        both = (self, other)
        kinds = [
            p.kind if p.kind is not None else np.full(p.mean.size, k, np.int8)
            for k, p in enumerate(both)
        ]
        parts = [p.parts if p.parts is not None else Parts.of_blocks(p) for p in both]
        groups = [p.group if p.group is not None else own_groups(p) for p in both]
        return BlockPoints(
            np.concatenate([self.mean, other.mean]),
            np.concatenate([self.energy, other.energy]),
            np.concatenate([self.wide, other.wide]),
            np.concatenate([self.count, other.count]),
            np.concatenate(kinds),
            Parts(
                np.concatenate([parts[0].block, parts[1].block + self.mean.size]),
                *(
                    np.concatenate([getattr(parts[0], f), getattr(parts[1], f)])
                    for f in ("count", "mean", "energy", "wide", "level")
                ),
            ),
            np.concatenate(groups),
        )

    def kept(self, keep: npt.NDArray[np.bool_]) -> BlockPoints:
        """The blocks where `keep` is true, with their kinds, parts and groups."""
        parts = self.parts
        if parts is not None:
            index = np.cumsum(keep) - 1  # new index of each kept block
            inside = keep[parts.block]
            parts = Parts(
                index[parts.block[inside]],
                *(getattr(parts, f)[inside] for f in ("count", "mean", "energy", "wide", "level")),
            )
        return BlockPoints(
            self.mean[keep],
            self.energy[keep],
            self.wide[keep],
            self.count[keep],
            None if self.kind is None else self.kind[keep],
            parts,
            None if self.group is None else self.group[keep],
        )


def own_groups(points: BlockPoints) -> I64:
    """Group numbers of blocks without groups: one each, after any real group number."""
    return -1 - np.arange(points.mean.size, dtype=np.int64)
