"""Frames whose columns pandas keeps in arrays of its own (texts in Arrow or Python storage,
categories, nullable and Arrow numbers) are read from that memory, and must encode exactly as the
frame's values do: each random frame is encoded as it is and through a stand-in whose values is the
real frame's values, and both must give the same codes, categorical columns and learned state."""

import gc

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import DataFrame, bits, outcome_or_failure
from vexilo import Encoder

try:
    import pyarrow as pa
except ImportError:  # the Arrow-backed kinds are left out; the rest still runs
    pa = None

SETTINGS = settings(max_examples=150, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow])


def typed_numbers(dtype):
    """True for nullable and Arrow numbers, whose missing cells the values give as pandas' NA."""
    return pd.api.types.is_extension_array_dtype(dtype) and dtype.kind in "iufb"


def by_values(frame):
    """A frame by name only: encoding reads its values, as it reads any frame it cannot read
    column by column, with a missing number of a typed number column as a float NaN."""
    values = frame.values
    if values.dtype == object:
        values = values.copy()
        for col, dtype in enumerate(frame.dtypes):
            if typed_numbers(dtype):
                values[:, col] = [np.nan if cell is pd.NA else cell for cell in values[:, col]]
    return DataFrame(frame.columns, values)


def outcome(table):
    """Codes, categorical columns and learned state of encoding table, then the codes that
    transform gives the same table under that state (or how each failed)."""
    return outcome_or_failure(table, transform=True)


def assert_native_equals_values(frame):
    assert type(frame) is pd.DataFrame
    assert outcome(frame) == outcome(by_values(frame))


# ---------------------------------------------------------------------------- random columns

TEXTS = st.one_of(
    st.text(alphabet=st.characters(codec="utf-8"), max_size=5),  # NUL and non-BMP included
    st.sampled_from(["nan", "NaN", "<NA>", "None", "", "a", "b", "x" * 20, "é", "😀", "a\0b"]),
)
TEXT_CELLS = st.one_of(TEXTS, TEXTS, st.none())
# What object columns hold besides texts: numbers (rendered once the column turns), None, NA.
OBJECT_CELLS = st.one_of(TEXTS, st.none(), st.just(pd.NA), st.just(np.nan),
                         st.integers(-5, 5), st.floats(allow_nan=False, width=16))


def separate(text):
    """The same text in a new str object, as parsers and astype(object) give them."""
    return text if text is None else "".join(list(text))


def text_kinds():
    kinds = ["object", "object mixed", "str python", "string python", "category",
             "category object"]
    if pa is not None:
        kinds += ["str", "string pyarrow", "arrow string", "arrow large_string",
                  "arrow dictionary"]
    return kinds


def text_column(kind, texts):
    if kind == "object":
        return pd.Series([separate(t) if t is not None else np.nan for t in texts], dtype=object)
    if kind == "object mixed":
        return pd.Series([separate(t) if t is not None else pd.NA for t in texts], dtype=object)
    if kind == "str python":
        return pd.Series(texts, dtype=pd.StringDtype("python", na_value=np.nan))
    if kind == "string python":
        return pd.Series(texts, dtype=pd.StringDtype("python"))
    if kind == "category":
        return pd.Series(texts, dtype="category")
    if kind == "category object":
        present = sorted({t for t in texts if t is not None})
        return pd.Series(pd.Categorical(texts, categories=pd.Index(present, dtype=object)))
    if kind == "str":
        return pd.Series(texts, dtype="str")
    if kind == "string pyarrow":
        return pd.Series(texts, dtype="string[pyarrow]")
    if kind == "arrow dictionary":
        array = pa.array(texts, pa.string()).dictionary_encode()
    else:
        array = pa.array(texts, {"arrow string": pa.string(),
                                 "arrow large_string": pa.large_string()}[kind])
    return pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array([array])))


NUMBER_KINDS = ["int64", "float64", "bool", "Int64", "UInt8", "Float32", "boolean",
                "int64[pyarrow]", "double[pyarrow]", "bool[pyarrow]", "datetime64[ns]",
                "category of ints"]


def number_column(kind, numbers, missing):
    if kind in ("int64", "bool"):
        return pd.Series(np.array(numbers, dtype=np.int64).astype(kind))
    if kind == "float64":
        return pd.Series([np.nan if m else n for n, m in zip(numbers, missing)], dtype=kind)
    if kind == "datetime64[ns]":
        return pd.Series(pd.to_datetime(numbers, unit="s"))
    if kind == "category of ints":
        return pd.Series(numbers, dtype="category")
    values = [None if m else n % 256 if kind == "UInt8" else n for n, m in zip(numbers, missing)]
    if kind in ("boolean", "bool[pyarrow]"):
        values = [v if v is None else bool(v % 2) for v in values]
    return pd.Series(values, dtype=kind)


@st.composite
def columns(draw, rows):
    kinds = text_kinds() + [k for k in NUMBER_KINDS if pa is not None or "pyarrow" not in k]
    kind = draw(st.sampled_from(kinds))
    if kind in NUMBER_KINDS:
        numbers = draw(st.lists(st.integers(-100, 200), min_size=rows, max_size=rows))
        missing = draw(st.lists(st.booleans(), min_size=rows, max_size=rows))
        if draw(st.booleans()):
            missing = [False] * rows  # nullable numbers without a missing value
        return number_column(kind, numbers, missing)
    if kind == "object mixed":
        cells = draw(st.lists(OBJECT_CELLS, min_size=rows, max_size=rows))
        return pd.Series([separate(c) if isinstance(c, str) else c for c in cells], dtype=object)
    texts = draw(st.lists(TEXT_CELLS, min_size=rows, max_size=rows))
    if draw(st.integers(0, 9)) == 0:
        texts = [None] * rows  # all missing
    return text_column(kind, texts)


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 8))
    count = draw(st.integers(1, 4))
    parts = [draw(columns(rows)) for _ in range(count)]
    # Pieces joined end to end: Arrow columns then hold several chunks.
    pieces = draw(st.integers(1, 3))
    frame = pd.concat([pd.DataFrame({f"c{i}": part for i, part in enumerate(parts)})] * pieces,
                      ignore_index=True)
    start = draw(st.integers(0, max(0, len(frame) - 1)))
    return frame.iloc[start:]  # a slice: offsets into the columns' memory


@SETTINGS
@given(frame=frames())
def test_random_frames_encode_as_their_values(frame):
    assert_native_equals_values(frame)


# ---------------------------------------------------------------------------- edge cases


@pytest.mark.parametrize("kind", text_kinds())
@pytest.mark.parametrize("texts", [[], [None], [None, None, "a", None], ["nan", None, "<NA>"]],
                         ids=["empty", "one-missing", "missing-around-a-text", "markers"])
def test_each_text_kind_alone_and_beside_numbers(kind, texts):
    column = text_column(kind, texts)
    assert_native_equals_values(pd.DataFrame({"t": column}))
    assert_native_equals_values(pd.DataFrame({"n": np.arange(len(texts)), "t": column}))


def test_frames_without_rows_or_columns():
    assert_native_equals_values(pd.DataFrame())
    assert_native_equals_values(pd.DataFrame({"a": pd.Series([], dtype="str"),
                                              "b": pd.Series([], dtype="category")}))


@pytest.mark.skipif(pa is None, reason="needs pyarrow")
def test_arrow_column_of_many_chunks_and_views():
    texts = [f"t{i % 37}" if i % 11 else None for i in range(5000)]
    chunks = [pa.array(texts[i:i + 700], pa.large_string()) for i in range(0, 5000, 700)]
    column = pd.arrays.ArrowExtensionArray(pa.chunked_array(chunks))
    # pandas makes no values of a string_view column with nulls, so this one has none.
    full = [t or "a longer text than twelve bytes" for t in texts]
    views = pd.arrays.ArrowExtensionArray(pa.chunked_array([pa.array(full, pa.string_view())]))
    # Dictionary chunks of their own dictionaries, and a run of chunks sharing one.
    encoded = [pa.array(texts[i:i + 700]).dictionary_encode() for i in range(0, 3500, 700)]
    encoded += [encoded[-1]] * 2 + [pa.array(texts[4900:]).dictionary_encode()]
    dictionary = pd.arrays.ArrowExtensionArray(pa.chunked_array(encoded))
    frame = pd.DataFrame({"a": column, "b": np.arange(5000.0), "v": views, "d": dictionary})
    assert_native_equals_values(frame)
    assert_native_equals_values(frame.iloc[123:4567])


TYPED_NUMBERS = ["Int64", "UInt8", "Float64", "boolean"]
if pa is not None:
    TYPED_NUMBERS += ["int64[pyarrow]", "double[pyarrow]", "bool[pyarrow]"]
# What a column stands beside: nothing, texts read from memory, or columns that send the frame to
# its values, whose cells are then scanned (categories of ints) or read one by one (dates).
BESIDE = {"alone": {}, "texts": {"t": ["x", "y", "x", "z"]},
          "int-categories": {"c": pd.Series([1, 2, 1, 3], dtype="category")},
          "dates": {"d": pd.to_datetime(["2020-01-01", "2021-01-01", None, "2020-01-01"])}}


@pytest.mark.parametrize("beside", list(BESIDE))
@pytest.mark.parametrize("dtype", TYPED_NUMBERS)
def test_typed_numbers_with_missing_cells_encode_as_floats_with_nan(dtype, beside):
    kind = pd.Series([], dtype=dtype).dtype.kind
    cells = {"b": [True, None, False, True], "f": [1.5, None, 2.0, 1.5]}.get(kind, [3, None, 0, 9])
    typed = pd.DataFrame({"n": pd.Series(cells, dtype=dtype), **BESIDE[beside]})
    floats = typed.assign(n=[np.nan if c is None else float(c) for c in cells])
    assert floats["n"].dtype == np.float64
    for rows in (slice(None), slice(1, None), slice(1, 2)):  # offsets into the memory; all missing
        assert outcome(typed.iloc[rows]) == outcome(floats.iloc[rows])


@pytest.mark.parametrize("beside", list(BESIDE))
def test_pandas_na_turns_an_object_column_categorical(beside):
    frame = pd.DataFrame({"o": pd.Series([1, pd.NA, 0, 1], dtype=object), **BESIDE[beside]})
    encoder = Encoder()
    codes, categorical = encoder.encode(frame)
    assert categorical[0] == 0 and encoder.categories[0] == ["0", "1"]
    assert bits(codes["o"]) == bits(pd.Series([1.0, np.nan, 0.0, 1.0]))


class DropsTheFrame:
    """A cell whose str() drops the frame's Arrow column and collects the garbage."""

    def __init__(self, frame):
        self.frame = frame

    def __str__(self):
        del self.frame["a"]
        self.frame = None
        gc.collect()
        return "dropped"


def test_column_released_while_a_cells_code_runs():
    texts = ["x" * (i % 50) for i in range(2000)]  # long texts live in Arrow's data buffer
    frame = pd.DataFrame({"a": pd.Series(texts, dtype="str"), "o": ["y"] * 2000})
    frame["o"] = frame["o"].astype(object)
    expected = outcome(by_values(frame))
    frame.loc[1999, "o"] = DropsTheFrame(frame)
    codes, categorical = Encoder().encode(frame)
    assert categorical == [0, 1]
    assert bits(codes.iloc[:, 0]) == [row[0] for row in expected[0]]


class NoMemory:
    """What a broken Arrow export may hand back: an object offering no Arrow memory."""


@pytest.mark.skipif(pa is None, reason="needs pyarrow")
@pytest.mark.parametrize(
    "export",
    [lambda self: NoMemory(),
     lambda self: pa.chunked_array([pa.array(["x"] * 5, pa.large_string())]),  # too long
     lambda self: pa.chunked_array([], pa.large_string()),  # too short
     lambda self: (_ for _ in ()).throw(ValueError("no export"))],
    ids=["no-memory", "longer", "shorter", "raises"])
def test_an_arrow_export_that_does_not_fit_falls_back_to_values(monkeypatch, export):
    frame = pd.DataFrame({"s": pd.Series(["a", None, "b"], dtype="str"), "n": [1, 2, 3]})
    expected = outcome(by_values(frame))
    monkeypatch.setattr(type(frame["s"].array), "__arrow_array__", export)
    assert outcome(frame) == expected


@pytest.mark.skipif(pa is None, reason="needs pyarrow")
def test_an_interrupt_during_the_arrow_export_ends_the_call(monkeypatch):
    def interrupted(self, type=None):
        raise KeyboardInterrupt

    frame = pd.DataFrame({"s": pd.Series(["a", "b"], dtype="str")})
    monkeypatch.setattr(type(frame["s"].array), "__arrow_array__", interrupted)
    with pytest.raises(KeyboardInterrupt):
        Encoder().encode(frame)
