"""The widget's fields: labels, tooltips, help, and their text read as arguments.

The text of the fields is read as arguments of `quorvel.denoise`; the
parameters a run records in its provenance are listed here too.
"""

from __future__ import annotations

import html
import math
from collections.abc import Callable, Sequence
from functools import cache
from typing import Any, NamedTuple, TypeVar

import quorvel
from quorvel import _text
from quorvel._provenance import _number
from quorvel.noise import NoiseModel
from quorvel.noise._plan import MISSED_GROUND, POORLY_DETERMINED, ill_determined

T = TypeVar("T")


class Field(NamedTuple):
    """A field of the widget: its label, a short tooltip and the parameter of `denoise` it sets."""

    label: str
    tip: str
    parameter: str


#: The fields in plain words; the full description of each parameter is in
#: the widget's Help (`help_html`).
FIELDS = {
    "axes": Field(
        "Axes", "One letter per dimension: T time, C channel, Z depth, Y, X (e.g. TZYX).", "axes"
    ),
    "noise": Field(
        "Noise model",
        "Auto: camera noise that grows with brightness, measured from the image.\n"
        "Gaussian: the same noise level everywhere.",
        "noise",
    ),
    "sigma": Field(
        "Noise level (sigma)",
        "Standard deviation of the noise, per channel; empty: measured from the image.",
        "sigma",
    ),
    "gain": Field(
        "Camera gain",
        "Intensity per detected photon, per channel; empty: measured (Estimate fills it).",
        "model",
    ),
    "offset": Field(
        "Noise at zero (offset)",
        "Noise variance at intensity 0, per channel; given together with the gain.",
        "model",
    ),
    "patch_radius": Field(
        "Patch size (radius)",
        "Half-width of the compared patches in pixels (3: 7 x 7).\n"
        "Larger: smoother in strong noise; smaller: finer detail. Empty: chosen.",
        "patch_radius",
    ),
    "search": Field(
        "Also search along",
        "Axes besides X and Y the search window grows along: Z, T;\n"
        "T=9: 9 frames each side; none: each plane alone. Empty: chosen.",
        "search",
    ),
    "iterations": Field(
        "Strength (iterations)",
        "Passes of the denoiser; each doubles how far it looks. More: smoother, slower.\n"
        "Empty: chosen.",
        "iterations",
    ),
    "pvalue": Field(
        "Detail kept (p-value)",
        "Larger keeps more faint detail and more noise; smaller smooths more.\nEmpty: chosen.",
        "pvalue",
    ),
    "channels": Field(
        "Channels",
        "Each on its own: every channel with its own patch similarity.\n"
        "Together: a patch spans all channels. Auto: C alone, S (RGB) together.",
        "channels",
    ),
    "renoise": Field(
        "Texture kept (renoise)",
        "Mixes some of the original image back in; 0: none.",
        "renoise",
    ),
    "tune": Field(
        "Choose settings for this image",
        "Tries settings on a few crops and keeps those of least estimated error;\n"
        "Run puts the choice in the fields. Takes about as long as the denoising.",
        "tune",
    ),
    "variance": Field(
        "Add an uncertainty layer",
        "Also add the variance of the result as a layer (not for dask layers).",
        "return_variance",
    ),
}


def tooltip(name: str) -> str:
    """The short tooltip of field `name`, pointing to the Help for more."""
    return FIELDS[name].tip + "\nMore: Help."


def help_html() -> str:
    """The widget's help: every field in plain words, then the full description of its parameter.

    Returns
    -------
    str
        HTML, the descriptions taken whole from the docstring of `quorvel.denoise`.
    """
    docs = parameter_docs()
    parts = [
        "<h3>Denoise (quorvel)</h3>",
        "<p><b>Estimate</b> measures the noise of the image and shows how it grows with "
        "brightness; <b>Preview</b> denoises what the canvas shows of the current frame or "
        "plane; <b>Run</b> denoises the whole layer into a new layer that records the noise "
        "model and the settings (File &gt; Save Selected Layers as <i>.ome.tif</i> keeps "
        "them).</p>",
    ]
    for field in FIELDS.values():
        text = html.escape(docs.get(field.parameter, "")).replace("\n\n", "<br><br>")
        parts.append(
            f"<p><b>{html.escape(field.label)}</b> (<code>{field.parameter}</code>)<br>"
            f"{html.escape(field.tip)}<br><br>{text}</p>"
        )
    return "\n".join(parts)


@cache
def parameter_docs() -> dict[str, str]:
    """Descriptions of the parameters of `quorvel.denoise`, from its docstring.

    Returns
    -------
    dict
        Parameter name to its description, line breaks kept.
    """
    from docstring_parser import DocstringStyle, parse

    doc = parse(quorvel.denoise.__doc__ or "", style=DocstringStyle.NUMPYDOC)
    return {p.arg_name: p.description or "" for p in doc.params}


def _field(name: str, parse: Callable[[str], T], text: str) -> T | None:
    """`parse` of a field's text, None when empty; errors name the field."""
    if not text.strip():
        return None
    try:
        return parse(text)
    except ValueError as err:
        raise ValueError(f"{name}: {err}") from err


def parse_patch_radius(text: str) -> int | dict[str, int] | None:
    """``3`` or radii by axis such as ``X=3,Y=3,Z=1``; None for an empty field."""
    return _field("patch radius", _text.parse_patch_radius, text)


def parse_iterations(text: str) -> int | None:
    """An iteration count; None for an empty field (chosen for the image)."""
    return _field("iterations", int, text)


def parse_pvalue(text: str) -> float | None:
    """A p-value; None for an empty field (chosen for the image)."""
    return _field("p-value", float, text)


def parse_search(text: str) -> str | dict[str, int | None] | None:
    """Axis letters such as ``ZT``, or by axis such as ``Z,T=1`` or ``T=5,Z=2``.

    None for an empty field (chosen for the image), ``""`` for ``none``
    (each frame and plane alone).
    """
    if not text.strip():
        return None
    if text.strip().lower() == "none":
        return ""
    try:
        return _text.parse_search(text)
    except ValueError as err:
        if "given twice" in str(err):
            raise ValueError(f"search: {err}") from err
        raise ValueError(
            f"search: expected axis letters such as ZT, or by axis such as Z,T=1 or T=5,Z=2; "
            f"got {text!r}"
        ) from err


def noise_options(kind: str, sigma: str, gain: str, offset: str) -> dict[str, Any]:
    """The `noise`, `sigma` and `model` arguments of `quorvel.denoise`.

    Parameters
    ----------
    kind : {'auto', 'gaussian', 'poisson-gaussian'}
        The noise model chosen.
    sigma : str
        Gaussian sigma per channel (used with ``'gaussian'``; empty: estimated).
    gain, offset : str
        Poisson-Gaussian gain and offset per channel (used with the other
        kinds; both empty: estimated).

    Returns
    -------
    dict
        Keyword arguments for `quorvel.denoise`.
    """
    if kind == "gaussian":
        return {"noise": kind, "sigma": _field("sigma", _text.parse_numbers, sigma), "model": None}
    gains = _field("gain", _text.parse_numbers, gain)
    offsets = _field("offset", _text.parse_numbers, offset)
    if (gains is None) != (offsets is None):
        raise ValueError("gain and offset must be given together")
    model = None if gains is None else NoiseModel(gains, offsets)  # type: ignore[arg-type]
    return {"noise": kind, "sigma": None, "model": model}


def run_parameters(
    axes: str,
    options: dict[str, Any],
    tuned: Any = None,
    variance: bool = False,
    choice: Any = None,
) -> dict[str, Any]:
    """The parameters of a run as plain JSON values, for its provenance.

    Parameters
    ----------
    axes : str
        The axis names the run used.
    options : dict
        Its keyword arguments of `quorvel.denoise` (`DenoiseWidget.options`).
    tuned : TuneResult, optional
        The settings the tuner chose, recorded with its account.
    variance : bool
        Whether the variance layer was asked for.
    choice : quorvel._auto.Choice, optional
        The settings the run used.

    Returns
    -------
    dict
        ``axes``, ``noise``, ``sigma``, ``gain`` and ``offset`` (those given,
        else None: estimated), the denoiser's settings as given (None:
        chosen for the image), ``tune``, ``variance``, after tuning
        ``tuned`` and, with `choice`, ``settings``: the settings used.
    """
    model = options.get("model")

    def numbers(values: Any) -> list[float | None] | None:
        return None if values is None else [_number(v) for v in values]

    record: dict[str, Any] = {
        "axes": axes,
        "noise": options["noise"],
        "sigma": numbers(options.get("sigma")),
        "gain": numbers(None if model is None else model.gain),
        "offset": numbers(None if model is None else model.offset),
        **{
            key: options[key]
            for key in ("patch_radius", "search", "iterations", "pvalue", "renoise", "tune")
        },
        "channels": options.get("channels"),
        "variance": variance,
    }
    if tuned is not None:
        record["tuned"] = tuned.as_dict()
    if choice is not None:
        record["settings"] = choice.as_dict()
    return record


def format_values(values: tuple[float, ...] | None) -> str:
    """Per-channel values as the text of a field (empty for None)."""
    return "" if values is None else ",".join(f"{v:.6g}" for v in values)


def uncertainty_note(model: NoiseModel) -> str:
    """The standard errors of an estimated model's gain and offset.

    With the warning of `ill_determined` when the gain is ill-determined;
    empty when the model has no standard errors.
    """
    if all(math.isnan(v) for v in (*model.gain_se, *model.offset_se)):
        return ""

    def errors(values: tuple[float, ...]) -> str:
        return ", ".join("-" if math.isnan(v) else f"{v:.3g}" for v in values)

    several = model.n_channels > 1
    lines = [
        f"standard error{'s per channel' if several else ''}: gain \u00b1 "
        f"{errors(model.gain_se)}{';' if several else ','} offset \u00b1 "
        f"{errors(model.offset_se)}"
    ]
    warning = ill_determined(model.gain, model.gain_se)
    if warning:
        lines.append(sentence(warning))
    return "\n".join(lines)


def estimate_note(model: NoiseModel, warned: Sequence[str]) -> str:
    """The note shown after Estimate: `uncertainty_note` and the warnings of the fit.

    `warned` holds the messages of the warnings Estimate gave; those of a
    line that misses the dark ground and of an ill-determined gain (judged
    there with the image's intensities, as for a gain not above 0) are
    shown once each.
    """
    note = uncertainty_note(model)
    said = [
        sentence(m)
        for m in warned
        if m.startswith((MISSED_GROUND, POORLY_DETERMINED)) and sentence(m) not in note
    ]
    return "\n".join([note, *said]).strip()


def sentence(message: str) -> str:
    """A warning's message as a sentence of the widget's notes: a capital, a full stop."""
    text = message.replace("`", "")
    return f"{text[0].upper()}{text[1:]}." if text else ""
