"""Noise estimation and denoising of NumPy arrays.

Everything here prepares arguments for the compute core ``_qv`` and interprets
its results: axis names, parameter validation, the per-channel choice of noise
model and the per-channel scaling.  The numerical work happens in the core,
except the noise calibration of `quorvel.noise` (NumPy).

Layers
------
The public functions `denoise` and `estimate_noise` take arrays in the
caller's axis order.  Under them sit three private steps (in `quorvel.noise`
and `quorvel._core`) that work on one core-layout array ``(T, C, Z, Y, X)``
and can be called block by block with fixed noise parameters:

- `_estimate_core`: the noise model of a core-layout array;
- `_plan_noise`: which path each channel takes and with which parameters;
- `quorvel._auto.choose`: the settings left unset, chosen for the image;
- `_denoise_core`: one core-layout array in, the denoised array out.

Dask arrays
-----------
Given a dask array, `denoise` and `estimate_noise` return lazy results (a
dask array, a delayed `NoiseModel`) and read nothing until those are
computed.  The image is then denoised chunk by chunk with halos that make the
result equal to that of the whole image (`quorvel._chunked`), and the noise is
estimated once, on a central region of at most
`quorvel._chunked.SAMPLE_ELEMENTS` elements, for all chunks.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from quorvel._core import (
    ProgressCallback,
)
from quorvel._lazy import _denoise_lazy, _estimate_lazy, _is_dask
from quorvel._misfit import warn_misfits
from quorvel._params import (
    ChannelsKind,
    KernelKind,
    NoiseKind,
    PatchRadius,
    Search,
    _check_flag,
)
from quorvel._run import Tune, _prepare, _run_denoise
from quorvel._util import FloatValues
from quorvel.noise import EstimateMethod, NoiseModel, _estimate_core
from quorvel.noise._plan import _check_method

if TYPE_CHECKING:
    from dask.delayed import Delayed

__all__ = ["NoiseModel", "denoise", "estimate_noise"]


def estimate_noise(
    image: npt.ArrayLike, axes: str | None = None, method: EstimateMethod = "auto"
) -> NoiseModel | Delayed:
    """Estimate the noise of an image from the image itself.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Image of 1 to 5 dimensions, any real dtype (integers are read as
        float32).  NumPy arrays and anything that converts to one are
        accepted; the input is not modified.  A dask array gives a lazy
        result (see Returns).
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel), ``Z``, ``Y`` and ``X``.  Without it a 2-D
        array is ``"YX"`` and a 3-D one ``"ZYX"``; other dimensions must be
        named.  Time and space are neighbourhoods of a pixel; each channel is
        estimated on its own.  Frames or planes of one line (a kymograph
        ``"TX"``, an X-Z section ``"ZX"``) are estimated as the rows of one
        image, frames a few pixels across as a stack of kymographs
        (`quorvel._lines`).
    method : {'auto', 'temporal', 'spatial', 'core'}, default 'auto'
        How gain and offset are calibrated, channel by channel.
        ``'temporal'``: from differences of neighbouring frames (along T, or
        along Z when there is one frame), which cancel static structure;
        blocks where structure moves are rejected, and a level that drifts
        alike over the whole frame (a camera's dark level) is taken out.  ``'spatial'``: from a
        high-pass residual of each frame (fourth differences along Y and X;
        on small frames the residual to a local cubic fit too), in the blocks
        where the image is locally flat (their energy is what the fitted
        noise predicts).  Both fit the line robustly and keep the variance
        positive over the image's intensity range.  ``'auto'``:
        ``'temporal'`` pooled with the flat blocks of ``'spatial'`` when T or
        Z has at least 4 elements, else ``'spatial'``.  ``'core'``: the compute core's
        calibration (medians of windows on a grid), good on dense scenes and
        biased on sparse ones.  All but ``'core'`` leave out blank frames
        (one value throughout: dropped, or recorded dark), the frames on
        either side of them taken as neighbours.

    Returns
    -------
    NoiseModel or dask.delayed.Delayed
        Per channel: the Poisson-Gaussian ``gain`` and ``offset`` fitted to
        local means and noise variances (NaN where no line could be fitted),
        and the Gaussian noise level ``sigma`` (the line's noise at the
        channel's mean intensity; the compute core's Gaussian estimate where
        the line gives none).  For a dask array, a delayed
        `NoiseModel` that reads and estimates on a central region of the
        image (the whole image when it holds at most 2**22 elements; else the
        middle time points, planes and a central crop, as many as fit) when
        computed; it can be passed on as `model` to `denoise`.

    Raises
    ------
    ValueError
        For invalid `axes` or `method`, an empty image or non-finite values,
        a masked array with masked pixels, or ``method='temporal'`` on a
        single frame and plane or on frames or planes of one line.
    TypeError
        If `image` does not hold real numbers.

    Warns
    -----
    RuntimeWarning
        When a channel's gain is ill-determined (standard error above 10 %
        of it; a gain not above 0 whose standard error leaves open whether
        the noise grows with the intensity), when its fitted line misses the
        image's dark ground, and when the fitted line does not describe a channel: a
        negative variance at its median intensity, or a noise there more
        than 3 times the noise measured on the image (a line fitted to
        isolated outliers such as hot pixels; `quorvel._misfit`).

    See Also
    --------
    denoise : Uses the model, or estimates it itself.

    Examples
    --------
    A time-lapse recorded by a camera of gain 2, dark level 100 and read
    noise 3 (variance ``2 * I + 3**2 - 2 * 100``):

    >>> from quorvel.demo import Camera, record, synthetic_sequence
    >>> movie = record(synthetic_sequence((6, 64, 64)), Camera(2.0, 100.0, 3.0))
    >>> model = estimate_noise(movie, axes="TYX")
    >>> print(model)
    gain 2.012, offset -192.2 (standard errors 0.1437, 15.56), sigma 6.05
    """
    if _is_dask(image):
        return _estimate_lazy(image, axes, method)
    _check_method(method)
    arr, roles, view5 = _prepare(image, axes)
    roles.check_method(method, arr.shape)
    core5 = np.ascontiguousarray(view5, dtype=np.float32)
    model = _estimate_core(core5, method)
    warn_misfits(core5, model.gain, model.offset)
    return model


def denoise(
    image: npt.ArrayLike,
    axes: str | None = None,
    *,
    noise: NoiseKind = "auto",
    sigma: FloatValues | None = None,
    model: NoiseModel | None = None,
    patch_radius: PatchRadius | None = None,
    search: Search | None = None,
    iterations: int | None = None,
    pvalue: float | None = None,
    renoise: float = 0.0,
    channels: ChannelsKind | None = None,
    align: bool | None = None,
    threads: int = 0,
    tune: Tune = False,
    progress: ProgressCallback | None = None,
    return_variance: bool = False,
    kernel: KernelKind = "fast",
    band_limit: bool | None = None,
) -> Any:
    """Denoise an image, a z-stack or a time-lapse sequence.

    Each pixel is replaced by a weighted mean of pixels whose surrounding
    patches look alike, found in a search window that grows with every
    iteration; statistical tests reject patches that differ by more than the
    noise explains and keep the previous estimate where a new one disagrees
    with it.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Image of 1 to 5 dimensions, any real dtype (integers are read as
        float32).  NumPy arrays and anything that converts to one are
        accepted.  The input is never modified.  A dask array is denoised
        lazily, chunk by chunk (see Notes).
    axes : str, optional
        Axis names, one letter per dimension of `image`, from ``T`` (time),
        ``C`` or ``S`` (channel, e.g. RGB), ``Z``, ``Y`` and ``X``: e.g.
        ``"TYX"`` for a 2-D time-lapse, ``"YXC"`` for a colour image,
        ``"TZCYX"`` for an ImageJ hyperstack.  Without it a 2-D array is
        ``"YX"`` and a 3-D one ``"ZYX"`` (a z-stack, not a time-lapse); any
        other dimension raises ValueError.  Frames or planes of one line (a
        kymograph ``"TX"`` or ``(T, 1, X)`` ``"TYX"``, an X-Z section
        ``"ZX"``) are denoised as the image they make: T (or Z) takes the
        place of Y, also in `patch_radius`, `search` and the settings
        reported; frames 2 to 6 pixels across, as a stack of kymographs
        (`quorvel._lines`).
    noise : {'auto', 'gaussian', 'poisson-gaussian'}, default 'auto'
        Noise model.  ``'gaussian'``: additive noise of one standard
        deviation per channel, `sigma`.  ``'poisson-gaussian'``: variance
        ``gain * intensity + offset`` per channel, from `model`, denoised
        through a variance-stabilising transform.  ``'auto'``: the
        Poisson-Gaussian path with `model`, except for channels whose gain is
        not positive (noise that does not grow with intensity, or no fit),
        which take the Gaussian path with a RuntimeWarning.
    sigma : float or sequence of float, optional
        Gaussian noise standard deviation, one value or one per channel;
        only with ``noise='gaussian'``.  When None it is ``model.sigma`` if
        a model with one is given, else estimated from the image.
    model : NoiseModel, optional
        Noise model, e.g. from `estimate_noise` or a calibrated camera; one
        channel or one per channel.  With a dask `image` it may also be the
        delayed model that `estimate_noise` returns for it.  When None, ``'poisson-gaussian'`` and
        ``'auto'`` calibrate it from the image with ``estimate_noise(...,
        method='auto')``.  A channel without a gain (NaN) or with a sigma of
        0, as `estimate_noise` gives a channel of one value, is passed
        through where it holds one value, and raises ValueError otherwise.
    patch_radius : int or mapping of str to int, optional
        Half-size of the compared patches: an int sets X and Y (and one
        plane and frame deep), a mapping by axis letter sets any of X, Y, Z
        and T, e.g. ``{"X": 3, "Y": 3}`` or ``{"Z": 1}``, the axes it leaves
        out being chosen.  None (default): chosen for the image (see
        Notes).  Larger patches tell structure from noise more reliably in
        strong noise but find fewer matches and blur small details; smaller
        ones keep fine detail but leave more noise.  Axes of length 1 are
        ignored; along the others the image needs ``2 * radius + 1`` pixels
        (the radius chosen for the image fits it: on a strip 3 pixels wide
        it is 1).
    search : str or mapping of str to int or None, optional
        Axes besides X and Y along which the search window grows: letters
        from ``"ZT"`` (``"XY"`` may be included; X and Y always grow).  At
        iteration k the window reaches ``2**k`` pixels along X and Y, k
        planes along Z and ``max(0, k - 2)`` frames along T; ``""`` treats
        every frame and plane on its own.  By axis, as a mapping or as text,
        an axis gets a reach instead: ``{"T": 5}`` or ``"T=5"`` searches up
        to 5 frames to each side from the first iteration on; None or a
        bare letter keeps the growing window along that axis (``"Z,T=1"``);
        axes left out are not searched (X and Y keep their doubling window,
        at most a reach given for them).  None (default): chosen for the
        image: on a time-lapse every frame where the structures stay still,
        4 frames to each side where they move (3 frames and 7 pixels in
        the plane for dim sparse objects moving on their own, over 5
        iterations); on a z-stack the growing
        window (2 planes from the first iteration where structures extend
        further along Z than in the plane); on dim sparse single planes a
        window of at most 20 pixels to each side in the sixth iteration.  A
        chunked run needs a halo of ``iterations * reach`` frames along T.
    iterations : int, optional
        Number of iterations, 1 to 30.  Each doubles the search window
        along X and Y (to 8 pixels to each side after 4, 16 after 5): more
        averaging in flat regions, for about as much work as all the
        iterations before it together (the fourth) to three times as much
        or more (the sixth).  None (default): chosen for the image (3 on
        dense structure, 4 or 5 on sparse or smooth images and on stacks,
        6 on dim sparse single planes).
    pvalue : float, optional
        Significance level of the tests that reject dissimilar patches and
        estimates, in [0, 1).  Smaller values accept more patches and
        average more (smoother, risk of blurring faint structures); larger
        values keep more detail and more noise.  None (default): chosen for
        the image (0.001 or 0.01).
    renoise : float, default 0
        Mixes the noisy image back into every estimate, as a measurement of
        variance ``(sigma / renoise)**2``: larger values keep more of the
        original texture and noise.  0 switches mixing off.
    channels : {'independent', 'joint'}, optional
        ``'independent'``: each channel is denoised on its own, with its own
        patch similarity, as if alone.  ``'joint'``: a patch spans all
        channels (of one noise path, each scaled to unit noise), so that
        structure seen in one channel steers the averaging in the others.
        None (default): independent for channels ``C`` (fluorescence
        channels show different structures: jointly, a dim channel takes
        the structure of a bright one), joint for samples ``S`` such as RGB
        (whose channels show the same structure).
    align : bool, optional
        Time-lapses (of planes or volumes): move each frame back in the
        plane by its shift, measured to a hundredth of a pixel (through its
        Fourier transform, on the frame mirrored out by a few pixels; every
        plane of a volume alike), so that a sequence
        drifting as a whole is still, denoise it so and move the result
        back (where some frame moves by half a pixel or more).  None
        (default): where the shifts measured on the frames make frames
        apart more alike (`quorvel._drift`); True: always with the measured
        shifts (a RuntimeWarning where they would fail that test); False:
        never.  Ignored on other images.
    threads : int, default 0
        Threads of the compute core; 0 uses all, a negative number all but
        that many.  Every shape uses all the threads it is given, and the
        result is the same for every thread count.  With a dask `image`:
        threads per chunk; 0 divides the CPUs among the chunks that dask
        runs at once (see Notes).
    progress : callable, optional
        Called as ``progress(fraction)`` while the image is denoised, with
        the share of the work done (a float in [0, 1], increasing), at most
        about ten times per second and once with 1.0 at the end.  If it
        raises, the run stops within about 0.1 s, its memory is released
        and the exception propagates out of `denoise`.  Not with a dask
        `image`.
    return_variance : bool, default False
        Also return a per-pixel prediction of the squared error of the result
        (see Returns).  Costs three more runs of the denoiser on the image (two
        when every channel is on the Poisson-Gaussian path) and about three
        times the memory.  Not with a dask `image`.
    kernel : {'fast', 'exact'}, default 'fast'
        How each pixel's estimate is computed.  ``'fast'``: in float32 with
        fused multiply-adds and vector instructions (AVX2 where the CPU has
        it), about five times faster; its results differ from ``'exact'``
        by a small fraction of the noise.  ``'exact'``: the arithmetic of
        the compute core ``_qv``, whose results it reproduces bit for bit on
        the same scaled input.  Either gives the same result for every
        thread count and chunking.
    band_limit : bool, optional
        Cut from each plane of the result the spatial frequencies beyond
        half a cycle per pixel (the corners of its spectrum, about a fifth
        of it), where a microscope sampled at the Nyquist rate or finer
        passes none and the noisy image holds noise alone: the residual
        noise of bright spots and filament tips, where the denoiser finds
        few similar patches, loses a fifth of its power (`quorvel._band`;
        up to 0.25 dB on time-lapses).  None (default): on time-lapses and
        z-stacks whose settings are chosen for the image (not when every
        setting is given), in every channel where each holds noise alone
        there (its power beyond half a cycle per pixel at most 1.03 times
        the noise's; photographs and coarsely sampled images hold more and
        are left as they are); single planes gain too little for its cost.
        z-stacks of up to 2**25 elements per volume are measured and cut in
        their 3-D spectrum (over Z, Y and X; about half of it lies beyond).
        True: every channel of any image; False: never.  Hot pixels keep
        their values.  The variance map (`return_variance`) is that of the
        result before the cut.
    tune : bool or mapping, default False
        Choose `patch_radius` (X and Y, and Z for a z-stack, T for a
        time-lapse), `iterations`, `pvalue` and, along an axis `search`
        names, the reach of the search, for this image, from a small grid
        and the values given (the starting point), by the least estimated
        error (Monte-Carlo SURE on a few crops, with a fixed seed: the same
        image gives the same choice).  A value given joins the grid (e.g.
        ``iterations=6``, which pays on textures).  A mapping replaces
        dimensions of the grid, e.g. ``{"iterations": (3, 4), "pvalue":
        (0.01, 0.1)}``, and those hold only its values; its keys are those
        of `quorvel._tune.DEFAULT_GRID`.  The walk starts from the settings
        chosen for the image (see Notes); the reach along T spans the
        sequence (up to 16 frames).  The choice is logged on the
        ``quorvel`` logger at level INFO.  Costs up to about as much as the
        final denoising, several times as much where that is short (3
        iterations on a 256 x 256 image).  With a dask `image` the noise estimate and the tuning run
        when `denoise` is called (the tuning reads only its crops and the
        central frame and plane) and the denoising stays lazy.

    Returns
    -------
    ndarray of float32 or dask.array.Array
        The denoised image: a new C-contiguous array with the shape and
        axis order of `image`; for a dask `image`, a lazy float32 dask array
        of that shape.
    ndarray of float32
        With ``return_variance=True`` only, as the second item of a tuple:
        a prediction of the squared error ``(result - truth)**2`` of each
        pixel, in squared intensity units, bias included as far as it can
        be estimated (`quorvel._variance`).  The denoiser's own variance
        (the averaging's, carried through the iterations) is scaled by the
        ratio of squared error to that variance measured on a simulation
        (the result, its residual noise removed, with new noise of the same
        model, denoised again), by range of the variance; then, in each
        tenth of the pixels ranked by that prediction's local level, Stein's
        unbiased estimate of the squared error (from one more run with a
        small random probe) adds what the prediction lacks where the excess
        is significant: mostly the bias of detail averaged away.  Its
        meaning is statistical: over pixels of similar predicted variance,
        the mean squared error is about their mean prediction (``bench/
        variance_calibration.py``, settings chosen per image: within 0.67 to
        1.5 times it in 82 to 84 % of the tenths of pixels ranked by it,
        0.26 to 6.5 times in all, 92 % with the earlier fixed settings; the
        engine's variance alone was off by 0.5 to 46 times); a single
        pixel's error is one draw.  Where an excess is too small to show
        against the noise (errors far below the noise variance, on small
        images) the bias there is left out.  A fixed seed makes it the same
        for the same image.

    Raises
    ------
    ValueError
        For an invalid parameter, naming it; for missing or ambiguous
        `axes`, an empty image or non-finite values, or a masked array
        with masked pixels (`numpy.ma`: fill them first); for
        ``noise='poisson-gaussian'`` when a gain is not positive.  Every
        parameter is checked before any computation, except a model's NaN
        gain or sigma of 0, which a channel of one value allows (see
        `model`): in another channel they raise when its noise is planned.
    TypeError
        If `image` does not hold real numbers.

    Warns
    -----
    RuntimeWarning
        With ``noise='auto'``, for channels denoised on the Gaussian path;
        for a Poisson-Gaussian model (given or fitted) that does not
        describe a channel: a negative variance at its median intensity,
        or a noise there more than 3 times the noise measured on the image
        (`quorvel._misfit`; the result is then flat or over-smoothed).  A
        dask array is checked where the noise is estimated on it.

    See Also
    --------
    estimate_noise : The noise model that ``'auto'`` calibrates.

    Notes
    -----
    Settings left as None are chosen for the image (`quorvel._auto`), from
    what is measured on its middle (at most 16 frames or planes of 384 x
    384 pixels), each channel at unit noise: the share of the image that is
    flat, how bright its structure is, and for stacks how alike the frames
    or planes are.  Dense structure gets 7 x 7 patches and 3 iterations;
    sparse or smooth images 5 iterations (smaller patches where bright
    objects stand on a dark ground, larger ones where all is dim, and
    there, on single planes, a sixth iteration whose window is capped at 41
    x 41 pixels);
    time-lapses whose structures stay still are searched across every
    frame, moving ones 4 frames to each side with patches 3 frames deep
    (dim sparse objects moving on their own: 5 iterations, the window
    capped at 3 frames and 7 pixels in the plane);
    z-stacks get patches 3 planes deep unless sampled coarsely along Z.  The
    choice keeps the time within about twice that of the exact kernel with
    the settings of earlier versions (patch radius 3, 4 iterations, p-value
    0.01, the growing window), trading the sixth or fifth iteration or a
    long reach where it would cost more.  Blank frames of a time-lapse
    (one value throughout: dropped, or recorded dark) are left out of the
    noise estimate; the denoiser still searches them (remove them first
    where they matter).  Values given are kept; the
    settings used are logged on the ``quorvel`` logger (INFO), printed by
    the command line and recorded in its outputs and in napari's.

    Memory: about five float32 copies of the image besides the input, the
    result among them (about three times that with ``return_variance``); channels
    denoised each on its own take five copies of one channel.

    A dask array is denoised chunk by chunk, each chunk with a halo of its
    neighbours as wide as a pixel's result depends on them (with patch
    radius 3, 4 iterations and the growing window: 40 pixels along X and Y,
    1 frame along T and 6 planes along Z; with a reach ``r`` along T, ``4
    r`` frames in 4 iterations), so the result equals that of the whole
    image bit for bit.  Settings to choose read the noise sample and the
    measured region when `denoise` is called, and on a time-lapse ``align``
    left None reads the middle of every frame (at most 256 x 256 pixels).
    Frames asked for in chunks shorter than the halo along T are denoised in
    blocks of the halo's length and handed out in the chunks asked for
    (each frame is then denoised about three times over); chunk sizes along
    X, Y or Z that cannot hold the halo of the settings chosen make the
    choice cheaper (fewer iterations; where none fits, the settings of
    earlier versions).  Chunk boundaries are moved onto
    multiples of the patch grid step (patch
    radius + 1 along X, Y, Z; the radius along T), chunks shorter than the
    halo are merged with a neighbour, and channels are kept in one chunk.
    The noise is estimated once, on a central region (see
    `estimate_noise`), for all chunks.  Each chunk runs with ``threads``
    threads, or with 0 with ``max(1, cpus // slots)``: slots are the tasks
    that dask runs at once on those CPUs (the threads of all workers on a
    host of a distributed cluster; the local pool, at most one per chunk).
    Memory: about five float32 copies of each chunk with its halo, per
    chunk running.  A run holds at most `quorvel._lazy.MAX_CHUNKS` (100,000)
    chunks: its task graph is built in memory first.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.demo import Camera, record, synthetic_sequence
    >>> movie = record(synthetic_sequence((6, 64, 64)), Camera())
    >>> clean = denoise(movie, "TYX")
    >>> clean.shape, clean.dtype
    ((6, 64, 64), dtype('float32'))

    Known Gaussian noise on a colour image, and a z-stack with patches three
    planes deep:

    >>> rgb = np.random.default_rng(0).normal(100.0, 4.0, (32, 32, 3))
    >>> clean = denoise(rgb, "YXS", noise="gaussian", sigma=4)
    >>> stack = record(synthetic_sequence((5, 48, 48)), Camera())
    >>> clean = denoise(stack, "ZYX", patch_radius={"Z": 1}, search="Z")
    """
    options: dict[str, Any] = {
        "noise": noise,
        "sigma": sigma,
        "model": model,
        "patch_radius": patch_radius,
        "search": search,
        "iterations": iterations,
        "pvalue": pvalue,
        "renoise": renoise,
        "channels": channels,
        "align": align,
        "threads": threads,
        "kernel": kernel,
        "band_limit": band_limit,
    }
    return_variance = _check_flag(return_variance, "return_variance")
    if _is_dask(image):
        if progress is not None or return_variance:
            raise ValueError("progress and return_variance are not available for dask arrays")
        lazy, _ = _denoise_lazy(image, axes, tune=tune, **options)
        return lazy
    out, variance, _ = _run_denoise(
        image, axes, progress=progress, return_variance=return_variance, tune=tune, **options
    )
    return (out, variance) if return_variance else out
