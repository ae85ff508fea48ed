"""Tables read through the Arrow stream interface (polars, pyarrow, DuckDB, any producer): they
encode exactly like the object array of their cells' Python values with every null a float NaN,
and the types the module knew before keep their routes."""

import os
import pickle
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import parse_state
from vexilo import Encoder

if os.environ.get("VEXILO_REQUIRE_ARROW"):
    import duckdb
    import polars as pl
    import pyarrow as pa
else:
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    duckdb = pytest.importorskip("duckdb")


def as_numpy(table):
    """The float64 cells of a result of any table kind, row by row."""
    if isinstance(table, np.ndarray):
        return table.astype(float)
    if hasattr(table, "to_numpy") and not isinstance(table, pa.Table):
        return np.asarray(table.to_numpy(), dtype=float)
    columns = [np.asarray(c.to_numpy(zero_copy_only=False), dtype=float) for c in table.columns]
    return np.column_stack(columns) if columns else np.empty((table.num_rows, 0))


def cells_of(columns, rows):
    """The object array of the columns' Python values (lists), None read as a float NaN."""
    table = np.empty((rows, len(columns)), dtype=object)
    for c, values in enumerate(columns):
        for r, value in enumerate(values):
            table[r, c] = np.nan if value is None else value
    return table


def assert_encodes_like_cells(table, columns, rows):
    through_arrow, through_cells = Encoder(), Encoder()
    codes, categorical = through_arrow.encode(table)
    expected, expected_categorical = through_cells.encode(cells_of(columns, rows))
    assert categorical == expected_categorical
    np.testing.assert_array_equal(as_numpy(codes), expected.astype(float))
    # The same entries; the bytes list each map in its own order.
    assert parse_state(through_arrow.__getstate__()) == parse_state(through_cells.__getstate__())


TEXTS = st.one_of(
    st.sampled_from(["nan", "NaN", "<NA>", "", "a\x00b", "\u00fc\u00df", "\U0001f600", "x" * 13,
                     "a long text that lives in a data buffer", "b", "a"]),
    st.text(max_size=20),
)
INTEGERS = {
    "int8": (-128, 127), "int16": (-(2**15), 2**15 - 1), "int32": (-(2**31), 2**31 - 1),
    "int64": (-(2**63), 2**63 - 1), "uint8": (0, 255), "uint16": (0, 2**16 - 1),
    "uint32": (0, 2**32 - 1), "uint64": (0, 2**64 - 1),
}
INDEX_TYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
KINDS = ["string", "large_string", "string_view", "dictionary", "float32", "float64", "bool",
         "null", *INTEGERS]


def maybe_null(values, draw):
    return st.lists(st.one_of(st.none(), values), min_size=0)


@st.composite
def arrow_column(draw, rows, boundaries):
    """(chunked array, its Python values) of a random kind, chunked at boundaries."""
    kind = draw(st.sampled_from(KINDS))
    spans = list(zip([0, *boundaries], [*boundaries, rows]))
    if kind == "dictionary":
        index_type = getattr(pa, draw(st.sampled_from(INDEX_TYPES)))()
        value_type = draw(st.sampled_from([pa.string(), pa.large_string(), pa.string_view()]))
        chunks, values = [], []
        for first, last in spans:  # each chunk its own dictionary, unused and null entries too
            dictionary = draw(st.lists(st.one_of(st.none(), TEXTS), min_size=1, max_size=6))
            picks = draw(st.lists(st.one_of(st.none(), st.integers(0, len(dictionary) - 1)),
                                  min_size=last - first, max_size=last - first))
            chunks.append(pa.DictionaryArray.from_arrays(pa.array(picks, index_type),
                                                         pa.array(dictionary, value_type)))
            values += [None if p is None else dictionary[p] for p in picks]
        return pa.chunked_array(chunks, pa.dictionary(index_type, value_type)), values
    if kind in ("string", "large_string", "string_view"):
        element, arrow_type = TEXTS, getattr(pa, kind)()
    elif kind in INTEGERS:
        element, arrow_type = st.integers(*INTEGERS[kind]), getattr(pa, kind)()
    elif kind == "bool":
        element, arrow_type = st.booleans(), pa.bool_()
    elif kind == "null":
        element, arrow_type = st.none(), pa.null()
    else:
        width = 32 if kind == "float32" else 64
        element, arrow_type = st.floats(width=width), getattr(pa, kind)()
    values = draw(st.lists(st.one_of(st.none(), element), min_size=rows, max_size=rows))
    chunks = [pa.array(values[first:last], arrow_type) for first, last in spans]
    column = pa.chunked_array(chunks, arrow_type)
    return column, column.to_pylist()


@st.composite
def arrow_table(draw):
    rows = draw(st.integers(0, 30))
    boundaries = sorted(draw(st.lists(st.integers(0, rows), max_size=3)))  # empty chunks too
    width = draw(st.integers(1, 4))
    drawn = [draw(arrow_column(rows, boundaries)) for _ in range(width)]
    table = pa.table({f"c{i}": column for i, (column, _) in enumerate(drawn)})
    first = draw(st.integers(0, rows))
    length = draw(st.integers(0, rows - first))
    table = table.slice(first, length)
    return table, [values[first:first + length] for _, values in drawn]


PROPERTY = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@PROPERTY
@given(arrow_table())
def test_pyarrow_table_encodes_like_its_cells(drawn):
    table, columns = drawn
    assert_encodes_like_cells(table, columns, table.num_rows)
    batches = table.to_batches(max_chunksize=7)
    if batches:  # a RecordBatch is a table too
        rows = batches[0].num_rows
        assert_encodes_like_cells(batches[0], [c[:rows] for c in columns], rows)


@PROPERTY
@given(arrow_table(), st.booleans())
def test_polars_frame_encodes_like_its_cells(drawn, categorical):
    table, _ = drawn
    frame = pl.from_arrow(table, rechunk=False)
    if categorical:  # polars' own categoricals over the text columns
        frame = frame.with_columns(pl.col(pl.String).cast(pl.Categorical))
    columns = [frame[name].to_list() for name in frame.columns]
    assert_encodes_like_cells(frame, columns, frame.height)


def test_duckdb_relation_and_record_batch_reader():
    relation = duckdb.sql("select * from (values ('b', 1.5::double), (null, 2), ('a', null)) t(s, x)")
    assert_encodes_like_cells(relation, [["b", None, "a"], [1.5, 2.0, None]], 3)
    reader = pa.RecordBatchReader.from_batches(
        *(lambda t: (t.schema, t.to_batches(max_chunksize=1)))(pa.table({"s": ["q", "p"]})))
    assert_encodes_like_cells(reader, [["q", "p"]], 2)


def test_state_learned_from_polars_applies_to_pandas_and_numpy():
    pd = pytest.importorskip("pandas")
    frame = pl.DataFrame({"colour": ["red", "green", None], "size": [1, 2, 3]})
    encoder = Encoder()
    encoder.encode(frame)
    assert encoder.categories == {0: ["green", "red"]}
    other = pd.DataFrame({"colour": ["red", "blue"], "size": [4.0, 5.0]})
    np.testing.assert_array_equal(encoder.transform(other).to_numpy(), [[1, 4], [np.nan, 5]])
    restored = pickle.loads(pickle.dumps(encoder))
    np.testing.assert_array_equal(
        as_numpy(restored.transform(frame)), [[1, 1], [0, 2], [np.nan, 3]])
    np.testing.assert_array_equal(
        restored.transform(np.array([["green", 1]], dtype=object)), [[0, 1]])


@pytest.mark.parametrize("table, message", [
    (lambda: pa.table({"b": pa.array([b"x"])}),
     "column 0 ('b') is of the Arrow format 'z', which vexilo does not read"),
    (lambda: pa.table({"ok": [1], "l": pa.array([[1]])}),
     "column 1 ('l') is of the Arrow format '+l', which vexilo does not read"),
    (lambda: pl.LazyFrame({"a": [1]}), "a polars LazyFrame holds no rows until it runs"),
])
def test_tables_that_are_not_read_say_why(table, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        Encoder().encode(table())


def test_a_column_stream_is_refused_as_any_unsupported_type(capfd):
    class Column:  # a producer of one column's stream, not a table's
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.chunked_array([[1, 2]]).__arrow_c_stream__()

    with pytest.raises(TypeError, match=re.escape("Unsupported type: 'Column'. Supported types "
                                                  "are: numpy.ndarray, pandas.DataFrame")):
        Encoder().encode(Column())
    assert capfd.readouterr().out == "Column\n"


@pytest.mark.parametrize("column, message", [
    (lambda: pa.array([0, 3_000_000], pa.int32()).view(pa.date32()),
     "column 0 ('c') cannot be read as text: the date at row 1 is outside the years 1 to 9999"),
    (lambda: pa.array([0], pa.int64()).view(pa.timestamp("s", "Mars/Base")),
     "column 0 ('c') cannot be read as text: its time zone 'Mars/Base' is not in the time zone "
     "database"),
])
def test_values_that_have_no_python_text_say_where(column, message):
    encoder = Encoder()
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.encode(pa.table({"c": column()}))
    assert encoder.categories == {}


def test_pandas_subclasses_keep_their_route(capfd):
    pd = pytest.importorskip("pandas")

    class DataFrame(pd.DataFrame):  # a subclass by the name input conversion takes
        pass

    class Frame(pd.DataFrame):  # one with a name of its own: refused, as before
        pass

    codes, categorical = Encoder().encode(DataFrame({"a": ["x", "y"]}))
    assert isinstance(codes, pd.DataFrame) and categorical == [0]
    with pytest.raises(TypeError, match="Unsupported type: 'Frame'"):
        Encoder().encode(Frame({"a": ["x"]}))
    assert capfd.readouterr().out == "Frame\n"
