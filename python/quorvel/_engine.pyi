"""Typed interface of the compiled engine ``quorvel._engine``."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

_Image = npt.NDArray[np.float32]

def new_image(shape: Sequence[int]) -> _Image: ...
@overload
def denoise_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: Literal[False] = False,
    kernel: Literal["fast", "exact"] = "fast",
) -> _Image: ...
@overload
def denoise_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: Literal[True],
    kernel: Literal["fast", "exact"] = "fast",
) -> tuple[_Image, _Image]: ...
@overload
def denoise_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: bool = False,
    kernel: Literal["fast", "exact"] = "fast",
) -> _Image | tuple[_Image, _Image]: ...

class GaussianRun:
    """A run on the Gaussian path that can be continued with more iterations."""

    def __init__(
        self,
        image: npt.ArrayLike,
        *,
        sigma: float,
        patch_radius: Sequence[int],
        search: Sequence[int],
        reach: Sequence[int] = ...,
        pvalue: float = 0.01,
        threads: int = 0,
        renoise: float = 0.0,
        kernel: Literal["fast", "exact"] = "fast",
    ) -> None: ...
    @property
    def done(self) -> int: ...
    def advance(self, iterations: int) -> list[_Image]: ...

@overload
def denoise_poisson_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    gain: Sequence[float],
    offset: Sequence[float],
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: Literal[False] = False,
    kernel: Literal["fast", "exact"] = "fast",
) -> _Image: ...
@overload
def denoise_poisson_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    gain: Sequence[float],
    offset: Sequence[float],
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: Literal[True],
    kernel: Literal["fast", "exact"] = "fast",
) -> tuple[_Image, _Image]: ...
@overload
def denoise_poisson_gaussian(
    image: npt.ArrayLike,
    *,
    sigma: float,
    gain: Sequence[float],
    offset: Sequence[float],
    patch_radius: Sequence[int],
    search: Sequence[int],
    reach: Sequence[int] = ...,
    max_iter: int = 4,
    pvalue: float = 0.01,
    threads: int = 0,
    renoise: float = 0.0,
    progress: Callable[[float], Any] | None = None,
    return_variance: bool = False,
    kernel: Literal["fast", "exact"] = "fast",
) -> _Image | tuple[_Image, _Image]: ...

_F64 = npt.NDArray[np.float64]
_Blocks = tuple[int, _F64, _F64, _F64]
_Parts = tuple[npt.NDArray[np.int64], _F64, _F64, _F64, _F64]

@overload
def spatial_blocks(
    planes: npt.ArrayLike, *, residual: str, block: int, threads: int, levels: None = None
) -> _Blocks: ...
@overload
def spatial_blocks(
    planes: npt.ArrayLike,
    *,
    residual: str,
    block: int,
    threads: int,
    levels: Sequence[float],
    left_out: npt.ArrayLike | None = None,
) -> tuple[int, _F64, _F64, _F64, _Parts]: ...
@overload
def temporal_blocks(
    frames: npt.ArrayLike, *, block: int, threads: int, levels: None = None
) -> _Blocks: ...
@overload
def temporal_blocks(
    frames: npt.ArrayLike,
    *,
    block: int,
    threads: int,
    levels: Sequence[float],
    left_out: npt.ArrayLike | None = None,
) -> tuple[int, _F64, _F64, _F64, _Parts]: ...
def calibrate_gaussian(image: npt.ArrayLike, *, threads: int = 0) -> float: ...
def calibrate_poisson_gaussian(
    image: npt.ArrayLike, *, threads: int = 0
) -> tuple[list[float], list[float], list[tuple[int, str]]]: ...
def search_half_sizes(
    axis: int, extent: int, searched: bool, iterations: int, reach: int = -1
) -> list[int]: ...
def grid_step(axis: int, extent: int, radius: int) -> int: ...
def halo(
    axis: int, extent: int, radius: int, searched: bool, iterations: int, reach: int = -1
) -> int: ...
def far_end_uncovered(axis: int, extent: int, radius: int) -> bool: ...
def anscombe(image: npt.ArrayLike, *, gain: Sequence[float], offset: Sequence[float]) -> _Image: ...
def inverse_anscombe(
    image: npt.ArrayLike, *, gain: Sequence[float], offset: Sequence[float]
) -> _Image: ...
