"""The _qv module boundary: attributes, conversion, write-back, pseudo-residuals."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _qv

FUNCTIONS = [
    "_calibrate_gaussian",
    "_calibrate_poisson_gaussian",
    "_denoise_gaussian",
    "_denoise_poisson_gaussian",
    "test",
    "_pseudoresiduals",
]


def run_test(capfd: pytest.CaptureFixture[str], a: object) -> tuple[object, list[str]]:
    result = _qv.test(a)
    return result, capfd.readouterr().out.splitlines()


def test_module_attributes() -> None:
    assert _qv.__version__ == "dev"
    lines = _qv.__doc__.split("\n")
    assert len(lines) == 18
    assert lines[0] == "" and lines[3] == "" and lines[13] == ""
    assert lines[1] == " " * 8 + "quorvel 4.0 denoising"
    assert lines[2] == " " * 8 + "-" * 21
    assert lines[9:13] == [
        " " * 11 + name
        for name in FUNCTIONS[0:1] + FUNCTIONS[2:3] + FUNCTIONS[1:2] + FUNCTIONS[3:4]
    ]
    assert lines[14] == " " * 8 + ".. rubric:: Reference"
    assert lines[15] == " " * 8
    assert lines[16].startswith(" " * 8 + ".. ") and len(lines[16]) > 20
    assert lines[17] == " " * 4
    # Registered in table order, each with its docstring after pybind11's signature.
    names = [n for n in vars(_qv) if n in FUNCTIONS]
    assert names == FUNCTIONS
    docs = {
        "_calibrate_gaussian": "quorvel gaussian noise std estimation",
        "_calibrate_poisson_gaussian": "quorvel noise estimation",
        "_denoise_gaussian": "quorvel denoising",
        "_denoise_poisson_gaussian": "quorvel denoising",
        "test": "quorvel test",
        "_pseudoresiduals": "quorvel pseudoresiduals",
    }
    for name, doc in docs.items():
        text = getattr(_qv, name).__doc__
        assert text.startswith(name + "(") and text.rstrip().endswith(doc)


@pytest.mark.parametrize(
    ("shape", "line"),
    [
        ((7,), "7 x 1 x 1 x 1 x 1"),
        ((3, 4), "4 x 3 x 1 x 1 x 1"),
        ((2, 3, 4), "4 x 3 x 2 x 1 x 1"),
        ((2, 5, 6, 7), "7 x 6 x 5 x 2 x 1"),
        ((2, 3, 4, 5, 6), "6 x 5 x 4 x 3 x 2"),
        ((0, 5), "0 x 0 x 0 x 0 x 0"),
    ],
)
def test_rank_table(capfd: pytest.CaptureFixture[str], shape: tuple[int, ...], line: str) -> None:
    a = np.arange(math.prod(shape), dtype=np.float32).reshape(shape)
    before = a.copy()
    result, out = run_test(capfd, a)
    assert out == [
        "array conversion",
        " - py::array -> qv::array",
        f"shape: {line}",
        " - qv::array -> py::array",
    ]
    assert result is a
    np.testing.assert_array_equal(a, before)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (np.float32(1.0), "Array should have at least 1 dimension."),
        (np.zeros((1,) * 6, np.float32), "Array should have less than 5 dimensions."),
    ],
)
def test_rank_errors(capfd: pytest.CaptureFixture[str], value: object, message: str) -> None:
    with pytest.raises(RuntimeError, match=message):
        _qv.test(np.asarray(value))
    out = capfd.readouterr().out.splitlines()
    assert out == ["array conversion", " - py::array -> qv::array"]


def test_read_only_array_prints_then_raises(capfd: pytest.CaptureFixture[str]) -> None:
    a = np.ones((2, 3), np.float32)
    a.flags.writeable = False
    with pytest.raises(ValueError, match="array is not writeable"):
        _qv.test(a)
    assert len(capfd.readouterr().out.splitlines()) == 4


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(12, dtype=np.float64).reshape(3, 4),
        lambda: np.asfortranarray(np.arange(12, dtype=np.float32).reshape(3, 4)),
        lambda: np.arange(24, dtype=np.float32).reshape(3, 8)[:, ::2],
        lambda: [[0.0, 1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0], [8.0, 9.0, 10.0, 11.0]],
    ],
    ids=["float64", "fortran", "strided", "list"],
)
def test_converted_arguments_come_back_as_new_arrays(
    capfd: pytest.CaptureFixture[str], make: object
) -> None:
    a = make()
    result, _ = run_test(capfd, a)
    assert result is not a
    assert result.dtype == np.float32 and result.flags.c_contiguous
    np.testing.assert_array_equal(result, np.asarray(a, np.float32))


def test_oversized_arrays_are_rejected_without_allocating(tmp_path) -> None:
    # A sparse file maps 2**31 float32 elements without using memory or disk;
    # the size check comes before any element is read.
    path = tmp_path / "sparse.raw"
    with open(path, "wb") as f:
        f.truncate(4 * 2**31)
    huge = np.memmap(path, dtype=np.float32, mode="r", shape=(2**31,))
    with pytest.raises(ValueError, match=r"array is too large \(at most 2147483647 elements\)"):
        _qv.test(huge)
    with pytest.raises(ValueError, match="array is too large"):
        _qv.test(huge.reshape(2**16, 2**15))
    del huge


def test_keyword_arguments_are_rejected() -> None:
    with pytest.raises(TypeError):
        _qv.test(a=np.zeros(3, np.float32))


# Pseudo-residuals --------------------------------------------------------------------


def pseudo(a: np.ndarray) -> np.ndarray:
    out = np.ascontiguousarray(a, dtype=np.float32).copy()
    assert _qv._pseudoresiduals(out) is None
    return out


def reference_pseudo(a: np.ndarray) -> np.ndarray:
    """The transform written out with NumPy over the (T, C, Z, Y, X) layout."""
    a5 = a.reshape((1,) * (5 - a.ndim) + a.shape).astype(np.float64)
    out = np.zeros_like(a5)
    for t, c, z, y, x in np.ndindex(a5.shape):
        block = a5[
            max(t - 1, 0) : t + 2,
            c,
            max(z - 1, 0) : z + 2,
            max(y - 1, 0) : y + 2,
            max(x - 1, 0) : x + 2,
        ]
        n = block.size - 1
        if n:
            s = block.sum() - a5[t, c, z, y, x]
            out[t, c, z, y, x] = (n * a5[t, c, z, y, x] - s) / math.sqrt(n * n + n)
    return out.reshape(a.shape)


def test_pseudo_residual_examples() -> None:
    np.testing.assert_array_equal(pseudo(np.array([3.0])), [0.0])
    a, b = 2.0, 7.0
    np.testing.assert_allclose(
        pseudo(np.array([a, b])), [(a - b) / math.sqrt(2), (b - a) / math.sqrt(2)], rtol=1e-6
    )
    np.testing.assert_array_equal(pseudo(np.full((4, 5, 6), 5.0)), 0.0)
    np.testing.assert_array_equal(pseudo(np.arange(6.0).reshape(6, 1, 1, 1)), 0.0)
    img = np.arange(9.0).reshape(3, 3) ** 2
    out = pseudo(img)
    assert out[1, 1] == pytest.approx((8 * img[1, 1] - (img.sum() - img[1, 1])) / math.sqrt(72))


@pytest.mark.parametrize("shape", [(5, 6), (3, 4, 5), (2, 3, 4, 5), (3, 2, 3, 4, 4)])
def test_pseudo_residuals_match_reference(shape: tuple[int, ...]) -> None:
    rng = np.random.default_rng(1)
    img = rng.normal(50.0, 10.0, shape).astype(np.float32)
    np.testing.assert_allclose(pseudo(img), reference_pseudo(img), rtol=1e-5, atol=1e-4)


def test_pseudo_residual_channels_are_independent() -> None:
    rng = np.random.default_rng(2)
    img = rng.normal(0.0, 1.0, (2, 3, 8, 8)).astype(np.float32)
    changed = img.copy()
    changed[1] += rng.normal(0.0, 5.0, changed[1].shape).astype(np.float32)
    np.testing.assert_array_equal(pseudo(img)[0], pseudo(changed)[0])


def test_pseudo_residuals_empty_and_read_only() -> None:
    empty = np.zeros((0, 4), np.float32)
    assert _qv._pseudoresiduals(empty) is None
    ro = np.arange(6, dtype=np.float32)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="array is not writeable"):
        _qv._pseudoresiduals(ro)
    np.testing.assert_array_equal(ro, np.arange(6))


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(6, dtype=np.float64),
        lambda: [0.0, 1.0, 2.0],
        lambda: np.arange(12, dtype=np.float32)[::2],
        lambda: np.asfortranarray(np.arange(12, dtype=np.float32).reshape(3, 4)),
    ],
    ids=["float64", "list", "strided", "fortran"],
)
def test_pseudo_residuals_refuse_arguments_they_cannot_write(make: object) -> None:
    a = make()
    before = np.array(a, copy=True)
    with pytest.raises(TypeError, match="C-contiguous float32 NumPy array"):
        _qv._pseudoresiduals(a)
    np.testing.assert_array_equal(np.asarray(a), before)
