"""decode(obj, as_category=True): category columns for every table kind, equal to the plain decode
cast to the learned labels in code order."""

import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import encoder_with
from vexilo import Encoder

pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

LARGEST_KEY = 2**64 - 1
# Dense codes, a gap, a sparse code far above them and the largest key (restored states only).
INVERSE = {0: {0: "a", 1: "b", 2: "c", 7: "seven", LARGEST_KEY: "top"}, 2: {0: "", 1: "é", 2: "x y"}}
CODES = np.array(
    [
        [0.0, 1.5, 0.0],
        [1.0, np.nan, 2.7],
        [2.9, 3.0, -3.0],
        [np.nan, -0.0, 0.5],
        [1e20, 4.0, np.inf],
        [-np.inf, 5.0, 3.0],
        [7.0, 6.0, 2.0**64],
        [6.0, 7.0, -0.5],
        [np.float64(LARGEST_KEY), 8.0, 1.0],
    ]
)
# A frame of float64 columns is read where pandas keeps it; a float32 column sends the frame
# through the general reader. Both must agree.
KINDS = ["frame", "frame-general", "polars", "arrow"]


def table_of(kind, codes, names):
    if kind == "frame":
        return pd.DataFrame(codes, columns=names)
    if kind == "frame-general":
        frame = pd.DataFrame(codes, columns=names)
        return frame.astype({names[-1]: np.float32}) if len(names) else frame
    if kind == "polars":
        return pl.DataFrame(codes, schema=names, orient="row")
    return pa.table({name: codes[:, j] for j, name in enumerate(names)})


def labels_by_code(encoder, column):
    learned = encoder.categories[column]
    return learned if isinstance(learned, list) else [learned[code] for code in sorted(learned)]


def column_values(result, j):
    """(the values of column j as Python objects with None for missing, its categories or None)."""
    if isinstance(result, pd.DataFrame):
        series = result.iloc[:, j]
        values = [None if pd.isna(v) else v for v in series.astype(object)]
        if isinstance(series.dtype, pd.CategoricalDtype):
            return values, list(series.cat.categories)
        return values, None
    if isinstance(result, pl.DataFrame):
        series = result.to_series(j)
        if isinstance(series.dtype, pl.Enum):
            return series.cast(pl.String).to_list(), series.dtype.categories.to_list()
        return series.to_list(), None
    chunked = result.column(j)
    if pa.types.is_dictionary(chunked.type):
        assert chunked.type == pa.dictionary(pa.int32(), pa.large_string())
        dictionaries = {tuple(chunk.dictionary.to_pylist()) for chunk in chunked.chunks}
        values = chunked.cast(pa.large_string()).to_pylist()
        return values, list(dictionaries.pop()) if dictionaries else []
    return chunked.to_pylist(), None


def assert_categories_match_plain_decode(encoder, table, kind):
    plain = encoder.decode(table)
    result = encoder.decode(table, as_category=True)
    assert type(result) is type(plain)
    names = list(plain.columns) if kind != "arrow" else plain.column_names
    assert (list(result.columns) if kind != "arrow" else result.column_names) == names
    if kind.startswith("frame"):
        pd.testing.assert_index_equal(result.columns, plain.columns)
        pd.testing.assert_index_equal(result.index, plain.index)
        assert result.attrs == {} and result.flags.allows_duplicate_labels
    listed = set(encoder.categories) if encoder.categories else set()
    for j in range(len(names)):
        values, categories = column_values(result, j)
        plain_values, _ = column_values(plain, j)
        if kind.startswith("frame") and j not in listed:
            assert result.iloc[:, j].dtype == plain.iloc[:, j].dtype
            np.testing.assert_array_equal(result.iloc[:, j], plain.iloc[:, j])
            continue
        if j not in listed:
            assert categories is None
            assert values == plain_values or np.allclose(values, plain_values, equal_nan=True)
            continue
        assert categories == labels_by_code(encoder, j)
        assert values == plain_values
    return result


@pytest.mark.parametrize("kind", KINDS)
def test_category_columns_equal_the_plain_decode_with_labels_in_code_order(kind):
    encoder = encoder_with([0, 2], INVERSE)
    result = assert_categories_match_plain_decode(encoder, table_of(kind, CODES, ["p", "n", "q"]),
                                                  kind)
    if kind.startswith("frame"):
        # The gaps of the restored state are renumbered: code 7 is category 3, the top key (and
        # 1e20, beyond it) 4.
        assert result["p"].cat.codes.tolist() == [0, 1, 2, -1, 4, -1, 3, -1, 4]
        assert result["p"].cat.codes.dtype == np.int8
        assert result["n"].dtype == np.float64


@pytest.mark.parametrize("count, width", [(126, np.int8), (127, np.int16), (40_000, np.int32)])
def test_pandas_codes_take_the_width_pandas_picks_for_the_category_count(count, width):
    encoder = encoder_with([0], {0: {code: f"t{code:05d}" for code in range(count)}})
    codes = np.arange(count, dtype=np.float64).reshape(-1, 1)
    result = encoder.decode(pd.DataFrame(codes, columns=["t"]), as_category=True)
    assert result["t"].cat.codes.dtype == width
    assert result["t"].cat.codes.tolist() == list(range(count))
    assert result["t"].cat.categories.dtype == pd.Series(["x"]).dtype  # pandas' own text dtype


@pytest.mark.parametrize("kind", KINDS)
def test_encoded_tables_decode_back_to_categories_of_their_texts(kind):
    source = pd.DataFrame({"city": ["rome", "oslo", None, "rome", "lima"],
                           "n": [1.0, 2.0, 3.0, np.nan, 5.0],
                           "status": ["b", "a", "b", "nan", "c"]})
    encoder = Encoder()
    codes, categorical = encoder.encode(source)
    assert categorical == [0, 2]
    table = table_of(kind, np.asarray(codes), list(codes.columns))
    assert_categories_match_plain_decode(encoder, table, kind)


def test_number_columns_shared_with_the_codes_frame_are_copied_before_a_write():
    encoder = encoder_with([0], {0: {0: "a", 1: "b"}})
    codes = pd.DataFrame({"c": [0.0, 1.0], "n": [1.5, 2.5]}, index=[7, 8])
    codes.attrs["source"] = "here"
    result = encoder.decode(codes, as_category=True)
    result.iloc[0, 1] = -1.0
    codes.iloc[1, 1] = -2.0
    assert codes["n"].tolist() == [1.5, -2.0]
    assert result["n"].tolist() == [-1.0, 2.5]
    assert list(result.index) == [0, 1]


@pytest.mark.parametrize("kind", KINDS)
def test_without_a_state_the_result_is_the_plain_decode(kind):
    table = table_of(kind, CODES, ["p", "n", "q"])
    plain = Encoder().decode(table)
    result = Encoder().decode(table, as_category=True)
    assert type(result) is type(plain)
    if kind in ("arrow", "polars"):
        result, plain = result.to_pandas(), plain.to_pandas()
    pd.testing.assert_frame_equal(result, plain)


@pytest.mark.parametrize("kind", KINDS)
def test_listed_columns_beyond_the_table_fail_as_the_plain_decode(kind):
    encoder = encoder_with([0, 5], {0: {0: "a"}, 5: {0: "z"}})
    table = table_of(kind, np.zeros((2, 3)), ["a", "b", "c"])
    with pytest.raises(ValueError) as plain:
        encoder.decode(table)
    with pytest.raises(ValueError, match=re.escape(str(plain.value))):
        encoder.decode(table, as_category=True)


@pytest.mark.parametrize("kind", ["frame", "frame-general"])
def test_frames_without_rows_get_empty_category_columns(kind):
    encoder = encoder_with([0], {0: {0: "a", 1: "b"}})
    result = encoder.decode(table_of(kind, np.zeros((0, 2)), ["c", "n"]), as_category=True)
    assert result.shape == (0, 2)
    assert list(result["c"].cat.categories) == ["a", "b"]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.decode(np.zeros((2, 1)), as_category=True), TypeError,
         "as_category=True needs a table result: a NumPy array has no categorical kind (pass the "
         "codes as a pandas or polars DataFrame or an Arrow table, or decode without "
         "as_category)"),
        (lambda e: e.decode(pd.DataFrame({"c": [0.0]}), as_category=1), TypeError,
         "as_category must be True or False, not 'int'"),
    ],
)
def test_refused_calls_say_why(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(encoder_with([0], {0: {0: "a"}}))


def test_as_category_false_is_the_plain_decode():
    encoder = encoder_with([0], {0: {0: "a"}})
    table = np.array([[0.0, 1.0]])
    np.testing.assert_array_equal(encoder.decode(table, as_category=False), encoder.decode(table))


@st.composite
def states_and_codes(draw):
    columns = draw(st.integers(1, 4))
    listed = sorted(draw(st.sets(st.integers(0, columns - 1), min_size=1)))
    inverse = {}
    for column in listed:
        labels = draw(st.lists(st.text(max_size=14), min_size=1, max_size=8, unique=True))
        dense = draw(st.booleans())
        codes = (range(len(labels)) if dense else
                 sorted(draw(st.sets(st.integers(0, 2**40), min_size=len(labels),
                                     max_size=len(labels)))))
        inverse[column] = dict(zip(codes, labels))
    known = [float(code) for m in inverse.values() for code in m]
    cell = st.one_of(st.sampled_from(known), st.floats(-3, 12), st.just(np.nan),
                     st.sampled_from([-1.0, -0.5, 2.0**64, np.inf]))
    rows = draw(st.integers(0, 12))
    codes = np.array(draw(st.lists(st.lists(cell, min_size=columns, max_size=columns),
                                   min_size=rows, max_size=rows)), dtype=np.float64)
    return listed, inverse, codes.reshape(rows, columns)


@settings(max_examples=60, deadline=None)
@given(states_and_codes(), st.sampled_from(KINDS))
def test_categories_equal_the_plain_decode_for_any_state_and_codes(drawn, kind):
    listed, inverse, codes = drawn
    encoder = encoder_with(listed, inverse)
    names = [f"c{j}" for j in range(codes.shape[1])]
    assert_categories_match_plain_decode(encoder, table_of(kind, codes, names), kind)


@pytest.mark.parametrize("kind", KINDS)
def test_a_state_giving_one_label_to_two_codes_is_refused_for_every_kind(kind):
    # A restored state may repeat a label, which no categorical kind can hold (polars would
    # abort on it): a clear error, the plain decode still works.
    encoder = encoder_with([0], {0: {0: "a", 1: "b", 2: "a"}})
    table = table_of(kind, np.array([[0.0, 1.0], [2.0, 3.0]]), ["c", "n"])
    with pytest.raises(ValueError, match="column 0 of the learned state gives 'a' to more than one"):
        encoder.decode(table, as_category=True)
    encoder.decode(table)
