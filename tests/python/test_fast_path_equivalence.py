"""Reading cells from NumPy memory gives exactly what item access gives: random tables are encoded
once as they are and once through a view that offers only shape and item access."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import outcome_or_failure

SETTINGS = settings(max_examples=60, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

texts = st.text(alphabet=st.characters(codec=None, exclude_categories=()), max_size=6)
odd_floats = st.sampled_from([float("nan"), -0.0, float("inf"), -float("inf"), 1e21, 1e-7, 2.5])
cells = st.one_of(
    texts,
    st.sampled_from(["nan", "NaN", "<NA>", "None", "", "é", "\ud800", "a\udfffb"]),
    st.none(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    odd_floats,
    st.booleans(),
    st.builds(np.int64, st.integers(-(2**63), 2**63 - 1)),
    st.builds(np.float32, st.floats(width=32)),
    st.builds(np.bool_, st.booleans()),
    st.builds(np.str_, texts),
    st.just(pd.NA),
)


def shapes(max_rows=6, max_cols=4):
    return st.tuples(st.integers(0, max_rows), st.integers(1, max_cols))


def assert_same_by_both_paths(array, item_view):
    assert outcome_or_failure(array) == outcome_or_failure(item_view(array))


@SETTINGS
@given(data=st.data(), shape=shapes())
def test_object_arrays(item_view, data, shape):
    rows, cols = shape
    array = np.empty(shape, dtype=object)
    for r in range(rows):
        for c in range(cols):
            array[r, c] = data.draw(cells)
    assert_same_by_both_paths(array, item_view)


@SETTINGS
@given(data=st.data(), shape=shapes())
def test_unicode_arrays(item_view, data, shape):
    rows, cols = shape
    padded = st.tuples(texts, st.sampled_from(["", "\0", "\0\0"])).map("".join)
    words = data.draw(st.lists(padded, min_size=rows * cols, max_size=rows * cols))
    array = np.array(words or [""], dtype=f"U{max(map(len, words), default=1) or 1}")
    array = array[: rows * cols].reshape(shape)
    assert_same_by_both_paths(array, item_view)


NUMERIC_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                  "float16", "float32", "bool", ">i4", ">f4",
                  pytest.param("longdouble", marks=pytest.mark.skipif(
                      np.dtype(np.longdouble).itemsize == 8,
                      reason="long double is a double here, so such arrays take the float path"))]


@pytest.mark.parametrize("dtype", NUMERIC_DTYPES)
@SETTINGS
@given(data=st.data(), shape=shapes())
def test_numeric_arrays(item_view, dtype, data, shape):
    size = shape[0] * shape[1] * np.dtype(dtype).itemsize
    raw = data.draw(st.binary(min_size=size, max_size=size))
    array = np.frombuffer(raw, dtype=dtype).reshape(shape)
    if array.dtype.kind == "b":
        array = array.view(np.uint8).astype(bool)  # only 0 and 1 are valid booleans
    assert_same_by_both_paths(array, item_view)


@pytest.mark.parametrize(
    "array",
    [
        np.frombuffer(b"a\0\0\0\xff\xff\xff\x00", dtype="<U1").reshape(2, 1),
        pytest.param(np.array([[1 + 2j, 3]], dtype=complex),
                     marks=pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")),
        np.array([["2020-01-01"]], dtype="datetime64[D]"),
        np.array([[b"ab", b"c"]]),
        np.array([[1, 2], [3, 4]], dtype=np.int64)[::-1, ::2],
        np.array([["a", 1], ["b", None]], dtype=object).T,
    ],
    ids=["bad-code-point", "complex", "datetime", "bytes", "strided-ints", "transposed-objects"],
)
def test_special_layouts(item_view, array):
    assert_same_by_both_paths(array, item_view)
