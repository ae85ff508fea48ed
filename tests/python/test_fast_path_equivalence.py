"""Reading cells from NumPy memory gives exactly what item access gives: random tables are encoded
once as they are and once through a view that offers only shape and item access."""

import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import bits, outcome_or_failure, parse_state
from vexilo import Encoder

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


# Tables of fewer than this many cells run on the calling thread, larger ones on the pool.
CALLING_THREAD_CELLS = 2048


def tiled(table, rows):
    """table's first rows rows repeated until the table has more than CALLING_THREAD_CELLS
    cells: read on the pool, where table is read on the calling thread."""
    copies = CALLING_THREAD_CELLS // max(1, rows * table.shape[1]) + 2
    return np.tile(table, (copies, 1)) if isinstance(table, np.ndarray) else \
        pd.concat([table] * copies, ignore_index=True)


def first_rows(result, rows):
    return bits(np.asarray(result, dtype=np.float64)[:rows])


def small_and_tiled(encoder, table, rows, unknown):
    """What transform gives table and the first rows of its tiled form (or how each failed)."""
    outcomes = []
    for candidate in (table, tiled(table, rows)):
        try:
            outcomes.append(first_rows(encoder.transform(candidate, unknown=unknown), rows))
        except ValueError as error:
            # The tiled table has more unseen cells; the first of them is the same.
            outcomes.append(re.sub(r"column: \d+\)", "column: N)", str(error)))
    return outcomes


@SETTINGS
@given(data=st.data(), shape=shapes(), unknown=st.sampled_from(["nan", "error", -1]))
def test_small_tables_code_as_the_pool_codes_them(data, shape, unknown):
    rows, cols = shape
    table = np.empty(shape, dtype=object)
    for r in range(rows):
        for c in range(cols):
            table[r, c] = data.draw(cells)
    learned = np.empty(shape, dtype=object)
    for r in range(rows):
        for c in range(cols):
            learned[r, c] = data.draw(texts)
    encoder = Encoder()
    # Texts only: repeating the rows repeats the texts, so the tiled table learns the same state.
    codes, categorical = encoder.encode(learned)
    pooled = Encoder()
    assert pooled.encode(tiled(learned, rows))[1] == categorical
    assert first_rows(pooled.transform(tiled(learned, rows)), rows) == bits(codes)
    assert parse_state(pooled.__getstate__()) == parse_state(encoder.__getstate__())
    if rows:
        small, large = small_and_tiled(encoder, table, rows, unknown)
        assert small == large


@pytest.mark.parametrize("kind", ["str", "object", "category", "polars"])
@SETTINGS
@given(data=st.data(), rows=st.integers(1, 6))
def test_small_frames_code_as_the_pool_codes_them(kind, data, rows):
    words = st.lists(st.sampled_from(["a", "b", "é", "nan", "", "zz"]), min_size=rows,
                     max_size=rows)
    columns = {"t": data.draw(words), "u": data.draw(words),
               "n": data.draw(st.lists(st.floats(allow_nan=True), min_size=rows, max_size=rows))}
    frame = pd.DataFrame(columns)
    if kind in ("object", "category"):
        frame = frame.astype({"t": kind, "u": kind})
    encoder = Encoder()
    encoder.encode(pd.DataFrame({"t": ["a", "b", "zz"], "u": ["é", "", "a"], "n": [1.0, 2, 3]}))
    if kind == "polars":
        pl = pytest.importorskip("polars")
        # Built from the lists, not from the pandas frame: polars needs pyarrow for that.
        small = pl.DataFrame(columns)
        large = pl.concat([small] * (CALLING_THREAD_CELLS // (rows * small.width) + 2))
    else:
        small, large = frame, tiled(frame, rows)
    assert first_rows(encoder.transform(small), rows) == first_rows(encoder.transform(large), rows)
