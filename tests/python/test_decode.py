"""decode: results built with a learned state, round trips through encode, and borrow behaviour.

One file though long: every case goes through the same builders of learned states."""

import math
import re
import struct
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from vexilo import Encoder

from support import EMPTY_STATE, Reentrant, encoder_with

LARGEST_KEY = 2**64 - 1
SIZE_MAX = 2 * sys.maxsize + 1  # the largest column index a state may list here


# ---------------------------------------------------------------------------------------------
# States written in the pickle byte format, and the results decoding must give for them.


def label_of(inverse, code, missing):
    if math.isnan(code) or code <= -1:
        return missing
    key = 0 if code < 0 else LARGEST_KEY if code >= 2.0**64 else int(code)
    return inverse.get(key, missing)


def reference_array(codes, columns, inverse):
    """The array route step by step: float copy, object copy, then one label per cell."""
    out = np.array(np.asarray(codes, dtype=np.float64)).astype("object")
    for c in columns:
        for r in range(out.shape[0]):
            out[r, c] = label_of(inverse[c], float(codes[r, c]), "NaN")
    return out


def reference_frame(codes, names, columns, inverse):
    """The frame route step by step: a float frame, then each listed column made object and
    given all its labels in one .loc assignment."""
    codes = np.asarray(codes, dtype=np.float64)
    df = pd.DataFrame(codes, columns=names)
    for c in columns:
        name = names[c]
        values = [label_of(inverse[c], float(x), None) for x in codes[:, c]]
        df[name] = df[name].astype("object")
        df.loc[:, name] = values
    return df


def assert_same_cells(result, expected):
    assert isinstance(result, np.ndarray) and type(result) is np.ndarray
    assert result.dtype == object and result.shape == expected.shape
    for index, want in np.ndenumerate(expected):
        got = result[index]
        assert type(got) is type(want), index
        assert got == want or (isinstance(want, float) and math.isnan(want) and math.isnan(got))


def assert_same_frame(result, expected):
    assert type(result) is pd.DataFrame
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert list(result.dtypes) == list(expected.dtypes)
    assert type(result.index) is type(expected.index) is pd.RangeIndex
    assert result.columns.equals(expected.columns)
    assert result.columns.dtype == expected.columns.dtype


def unshared_refcount():
    """What sys.getrefcount reports for a str held by one local name only."""
    fresh = "".join(["fr", "esh"])
    return sys.getrefcount(fresh)


def expect_panic(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message


# Labels at dense codes, a sparse code far above them (restored states only), and the largest key.
INVERSE = {
    0: {0: "a", 1: "b", 2: "c", 7: "seven", LARGEST_KEY: "top"},
    2: {0: "", 1: "é", 2: "x y"},
}
CODES = np.array(
    [
        [0.0, 1.5, 0.0],
        [1.0, np.nan, 2.7],
        [2.9, 3.0, -3.0],
        [np.nan, -0.0, 0.5],
        [1e20, 4.0, np.inf],
        [-np.inf, 5.0, 3.0],
        [7.0, 6.0, 2.0**64],
        [6.0, 7.0, 2.0**64 - 2048],
        [np.float64(LARGEST_KEY), 8.0, 1.0],
    ]
)


@pytest.mark.parametrize(
    "codes",
    [CODES, np.asfortranarray(CODES), CODES[::-1], CODES[:, :3].copy()[::2]],
    ids=["row-major", "column-major", "reversed", "strided"],
)
def test_decode_array_matches_the_reference_route(codes):
    result = encoder_with([0, 2], INVERSE).decode(codes)
    assert_same_cells(result, reference_array(codes, [0, 2], INVERSE))
    # Like the float copy it stands for, the result is column-major only for such an input.
    assert result.flags.f_contiguous == codes.flags.f_contiguous


def test_decode_array_saturates_codes_into_keys():
    result = encoder_with([0, 2], INVERSE).decode(CODES)
    # 2.9 and 2.7 truncate; -3.0 and -inf are missing; 1e20, inf and 2^64 saturate to the
    # largest key; the largest double below 2^64 is an ordinary key without a label.
    assert result[:, 0].tolist() == ["a", "b", "c", "NaN", "top", "NaN", "seven", "NaN", "top"]
    assert result[:, 2].tolist() == ["", "x y", "NaN", "", "NaN", "NaN", "NaN", "NaN", "é"]
    assert result[:, 1].tolist()[2:] == [3.0, -0.0, 4.0, 5.0, 6.0, 7.0, 8.0]


def test_decode_array_shares_one_str_per_label_and_owns_one_reference_per_cell():
    codes = np.array([[1.0, 0.0], [1.0, np.nan], [1.0, 9.0], [0.0, 1.0]])
    labels = {0: "ay", 1: "bee"}
    result = encoder_with([0, 1], {0: labels, 1: labels}).decode(codes)
    b = result[0, 0]
    assert b == "bee" and result[1, 0] is b and result[2, 0] is b
    assert result[1, 1] is result[2, 1] and result[1, 1] == "NaN"
    # Each of the three cells owns one reference; nothing else (no cache) keeps one.
    held = sys.getrefcount(b)
    del result
    assert held - sys.getrefcount(b) == 3 and sys.getrefcount(b) == unshared_refcount()


@pytest.mark.parametrize("order", ["C", "F"])
def test_contiguous_decode_reuses_the_table_only_where_a_pointer_fills_a_cell(order):
    result = encoder_with([0, 2], INVERSE).decode(np.asarray(CODES, order=order))
    # In place, the result's cells live in the table's buffer, which its base owns; with 32-bit
    # pointers the result is an array of its own.
    in_place = struct.calcsize("P") == struct.calcsize("d")
    assert (result.base is not None) == in_place and result.flags.owndata != in_place
    assert_same_cells(result, reference_array(CODES, [0, 2], INVERSE))


# Labels at codes about 2^31 and 2^32, and codes without one that a key cut to 32 bits would give
# the labels of 0 and 1. The rows make every first sight a lookup, index the labels by code, or
# make them ahead of the cells.
WIDE_INVERSE = {0: {0: "zero", 1: "one", 2**31 - 1: "2^31-1", 2**31: "2^31", 2**32 + 2: "2^32+2",
                    2**53: "2^53"}}
WIDE_CODES = [2.0**32, 2.0**32 + 1, 2.0**31, 2.0**32 + 2, 0.0, 1.0, 2.0**31 - 1, 2.0**53]


@pytest.mark.parametrize("rows", [4, 8, 8_000], ids=["lookups", "indexed", "made-ahead"])
@pytest.mark.parametrize("kind", ["array", "frame"])
def test_decode_codes_beyond_32_bits(kind, rows):
    codes = np.resize(np.array(WIDE_CODES), (rows, 1))
    encoder = encoder_with([0], WIDE_INVERSE)
    if kind == "array":
        assert_same_cells(encoder.decode(codes), reference_array(codes, [0], WIDE_INVERSE))
    else:
        result = encoder.decode(pd.DataFrame(codes, columns=["c"]))
        assert_same_frame(result, reference_frame(codes, ["c"], [0], WIDE_INVERSE))
    assert encoder.decode(codes[:4])[:, 0].tolist() == ["NaN", "NaN", "2^31", "2^32+2"]


# Long tables: enough rows that labels are made ahead of the cells and number columns share
# equal floats. Number columns mix the cases such sharing must keep apart bit for bit: -0.0 and
# 0.0, NaNs with different payloads, long runs of distinct values between runs of repeats.
LONG_ROWS = 40_000


def nan_with_payload(payload):
    return np.array([0x7FF8000000000000 | payload], dtype=np.uint64).view(np.float64)[0]


def long_codes(order):
    rng = np.random.default_rng(11)
    codes = np.empty((LONG_ROWS, 5))
    codes[:, 0] = rng.choice([0.0, 1.0, 2.9, 7.0, 1e20, np.nan, 5.0], LONG_ROWS)
    repeats = rng.choice([0.0, -0.0, 1.5, np.inf, nan_with_payload(1), nan_with_payload(2)],
                         LONG_ROWS)
    distinct = rng.standard_normal(LONG_ROWS)
    # Repeats, then distinct values long enough to turn sharing off, then repeats again.
    codes[:, 1] = np.where((np.arange(LONG_ROWS) // 10_000) % 2 == 1, distinct, repeats)
    codes[:, 2] = rng.choice([0.0, 1.0, 2.0, 3.0, np.nan], LONG_ROWS)
    codes[:, 3] = distinct[::-1]
    codes[:, 4] = np.round(rng.gamma(2.0, 30.0, LONG_ROWS), 2)
    return np.asfortranarray(codes) if order == "F" else codes


def assert_same_float_bits(result, codes, column):
    cells = result[:, column].tolist()
    assert {type(cell) for cell in cells} == {float}
    got = np.array(cells, dtype=np.float64).view(np.uint64)
    assert (got == codes[:, column].view(np.uint64)).all()


@pytest.mark.parametrize("order", ["C", "F"])
def test_decode_long_array_matches_the_reference_route(order):
    codes = long_codes(order)
    result = encoder_with([0, 2], INVERSE).decode(codes)
    assert_same_cells(result, reference_array(codes, [0, 2], INVERSE))
    for column in (1, 3, 4):
        assert_same_float_bits(result, codes, column)


def test_decode_long_array_shares_equal_floats_only():
    codes = long_codes("C")
    result = encoder_with([0, 2], INVERSE).decode(codes)
    numbers = result[:, 1]
    zero = [cell for cell in numbers if cell == 0.0]
    # Equal values may share an object, never values of different bits.
    assert {math.copysign(1.0, cell) for cell in zero} == {1.0, -1.0}
    assert all(math.copysign(1.0, a) == math.copysign(1.0, b) for a in zero for b in zero[:3]
               if a is b)
    # Rows 0-10k repeat six values; rows 20k-30k repeat them again after 10k distinct values.
    assert len({id(cell) for cell in numbers[:10_000]}) < 100
    assert len({id(cell) for cell in numbers[20_000:30_000]}) < 5_000
    # The prices column repeats a lot too; the column of distinct values shares nothing.
    assert len({id(cell) for cell in result[:, 4]}) < LONG_ROWS // 2
    assert len({id(cell) for cell in result[:, 3]}) == LONG_ROWS


@pytest.mark.parametrize("order", ["C", "F"])
def test_decode_long_array_owns_one_reference_per_cell(order):
    result = encoder_with([0, 2], INVERSE).decode(long_codes(order))
    cells = result.ravel(order="K").tolist()
    distinct = {id(cell): cell for cell in cells}
    uses = dict.fromkeys(distinct, 0)
    for cell in cells:
        uses[id(cell)] += 1
    del cells, cell
    # Counted the same way before and after; immortal objects (3.12+: one-character strings, for
    # one) keep a fixed count and are left out.
    held = {i: sys.getrefcount(distinct[i]) for i in distinct}
    held = {i: count for i, count in held.items() if count < 1 << 29}
    assert held
    del result
    after = {i: sys.getrefcount(distinct[i]) for i in held}
    # Each cell owned exactly one reference: releasing the result gives back one per use.
    assert all(held[i] - after[i] == uses[i] for i in held)


@pytest.mark.parametrize("order", ["C", "F"])
def test_decode_long_array_failing_allocation_at_any_point_raises_and_releases(order):
    testcapi = pytest.importorskip("_testcapi")
    codes = long_codes(order)
    encoder = encoder_with([0, 2], INVERSE)
    outcomes = set()
    # Allocation n fails: early ones hit the labels, later ones the floats of the cells, at
    # points spread over the table; the last ones succeed.
    for start in [1, 2, 3, 5, 8, 30, 300, 3_000, 9_000, 20_000, 35_000, 10**9]:
        testcapi.set_nomemory(start)
        try:
            result = encoder.decode(codes)
        except MemoryError:
            result = None
        finally:
            testcapi.remove_mem_hooks()
        outcomes.add(result is None)
        del result
    assert outcomes == {True, False}
    assert_same_cells(encoder.decode(codes[:50]), reference_array(codes[:50], [0, 2], INVERSE))


def test_decode_long_frame_matches_the_reference_route():
    codes = long_codes("C")
    names = ["a", "b", "c", "d", "b"]
    result = encoder_with([0, 2], INVERSE).decode(pd.DataFrame(codes, columns=names))
    assert_same_frame(result, reference_frame(codes, ["a", "b", "c", "d", "e"], [0, 2], INVERSE)
                      .set_axis(names, axis=1))
    assert (result.iloc[:, 1].to_numpy().view(np.uint64) == codes[:, 1].view(np.uint64)).all()


@pytest.mark.parametrize(
    "names",
    [["p", "q", "r"], ["0", "1", "2"], ["b", "a", "c"]],
)
def test_decode_frame_matches_the_reference_route(names):
    frame = pd.DataFrame(CODES, columns=names)
    result = encoder_with([0, 2], INVERSE).decode(frame)
    assert_same_frame(result, reference_frame(CODES, names, [0, 2], INVERSE))
    assert result.iloc[3, 0] is None and result.iloc[4, 2] is None and result.iloc[4, 0] == "top"


def test_decode_frame_object_columns_own_their_references():
    frame = pd.DataFrame({"x": [0.0, 0.0, np.nan]})
    result = encoder_with([0], {0: {0: "lbl"}}).decode(frame)
    label = result["x"].iloc[0]
    assert result["x"].iloc[1] is label
    held = sys.getrefcount(label)
    del result
    assert held - sys.getrefcount(label) == 2 and sys.getrefcount(label) == unshared_refcount()


def test_decode_frame_with_repeated_names_decodes_each_column_by_position():
    frame = pd.DataFrame([[0.0, 1.0, 5.0], [1.0, 0.0, 6.0]], columns=["a", "a", "b"])
    result = encoder_with([0, 1], {0: {0: "x", 1: "y"}, 1: {0: "p", 1: "q"}}).decode(frame)
    assert list(result.columns) == ["a", "a", "b"]
    assert list(result.dtypes) == [object, object, np.float64]
    assert result.iloc[:, 0].tolist() == ["x", "y"]
    assert result.iloc[:, 1].tolist() == ["q", "p"]
    assert result.iloc[:, 2].tolist() == [5.0, 6.0]


def test_decode_with_empty_column_list_gives_python_floats_or_a_float_frame():
    encoder = encoder_with([], {})
    codes = np.array([[1.0, np.nan], [2.5, 3.0]])
    array = encoder.decode(codes)
    assert_same_cells(array, codes.astype(object))
    number = array[1, 0]
    del array
    assert sys.getrefcount(number) == unshared_refcount()  # owned by its cell alone
    frame = encoder.decode(pd.DataFrame(codes, columns=["a", "b"]))
    assert_same_frame(frame, pd.DataFrame(codes, columns=["a", "b"]))


def test_column_with_empty_inverse_map_decodes_to_missing_values():
    codes = np.array([[np.nan, 1.0], [0.0, 2.0]])
    encoder = encoder_with([0], {0: {}})
    assert encoder.decode(codes)[:, 0].tolist() == ["NaN", "NaN"]
    assert encoder.decode(pd.DataFrame(codes, columns=["m", "n"]))["m"].tolist() == [None, None]


def table_of(kind, codes, names):
    return codes if kind == "array" else pd.DataFrame(codes, columns=names)


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_decode_on_new_encoder_returns_numbers_undecoded(kind):
    codes = np.array([[0.0, 1.5], [np.nan, -2.0]])
    result = Encoder().decode(table_of(kind, codes, ["a", "b"]))
    if kind == "array":
        assert type(result) is np.ndarray and result.dtype == np.float64
        np.testing.assert_array_equal(result, codes)
        assert result is not codes
    else:
        assert_same_frame(result, pd.DataFrame(codes, columns=["a", "b"]))


@pytest.mark.parametrize("kind", ["array", "frame"])
@pytest.mark.parametrize(
    "columns, inverse, rows, message",
    [
        ([1], {0: {0: "a"}}, 2, "no entry found for key"),
        ([1], {0: {0: "a"}}, 0, "no entry found for key"),
        # Checked in stored order: the first listed column's fault is the one reported.
        ([1, 5], {5: {0: "z"}}, 2, "no entry found for key"),
    ],
)
def test_decode_internal_failures(kind, columns, inverse, rows, message):
    encoder = encoder_with(columns, inverse)
    state = encoder.__getstate__()
    table = table_of(kind, np.zeros((rows, 2)), ["a", "b"])
    expect_panic(lambda: encoder.decode(table), message)
    assert encoder.__getstate__() == state


def test_decode_without_rows_checks_columns_only_against_frame_names():
    encoder = encoder_with([0, 5], {0: {0: "a"}, 5: {0: "z"}})
    array = encoder.decode(np.zeros((0, 2)))
    assert array.dtype == object and array.shape == (0, 2)
    frame = pd.DataFrame(np.zeros((0, 2)), columns=["a", "b"])
    message = "index out of bounds: the len is 2 but the index is 5"
    expect_panic(lambda: encoder.decode(frame), message)


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_decode_of_zero_rows_keeps_kind_and_columns(kind):
    encoder = encoder_with([1], {1: {0: "a"}})
    result = encoder.decode(table_of(kind, np.zeros((0, 3)), ["a", "b", "c"]))
    if kind == "array":
        assert result.dtype == object and result.shape == (0, 3)
    else:
        expected = reference_frame(np.zeros((0, 3)), ["a", "b", "c"], [1], {1: {0: "a"}})
        assert_same_frame(result, expected)
        assert result.shape == (0, 3)


def test_decode_output_error_is_raised_unchanged_and_state_kept(monkeypatch):
    encoder = encoder_with([0], {0: {0: "a"}})
    state = encoder.__getstate__()
    frame = pd.DataFrame({"x": [0.0]})
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pandas"):
        encoder.decode(frame)
    monkeypatch.undo()
    assert encoder.__getstate__() == state
    assert encoder.decode(frame)["x"].tolist() == ["a"]


# ---------------------------------------------------------------------------------------------
# Round trips through encode.


@pytest.mark.parametrize(
    "table, expected",
    [
        (
            np.array([["b", 1], ["a", 2.5], ["nan", None], ["b", np.nan]], dtype=object),
            [["b", "1"], ["a", "2.5"], ["NaN", "None"], ["b", "NaN"]],
        ),
        (np.array([[1, 2], [3, -4]]), [[1.0, 2.0], [3.0, -4.0]]),
        (np.array([[1.5, 2], [3, 4]], dtype=np.float32), [[1.5, 2.0], [3.0, 4.0]]),
        (
            np.array([["x", "10"], ["é", "9"], ["<NA>", ""]]),
            [["x", "10"], ["é", "9"], ["NaN", ""]],
        ),
        (np.array([["x", 1.5], ["y", np.nan]], dtype=object), [["x", 1.5], ["y", math.nan]]),
    ],
    ids=["object", "int", "float32", "unicode", "numeric-nan"],
)
def test_array_round_trip(table, expected):
    encoder = Encoder()
    codes, categorical = encoder.encode(table)
    assert codes.dtype == np.float64
    result = encoder.decode(codes)
    assert_same_cells(result, np.array(expected, dtype=object))
    state = encoder.__getstate__()
    encoder.decode(codes)
    assert encoder.__getstate__() == state


@pytest.mark.parametrize(
    "columns, decoded_names",
    [(["s", "n"], ["s", "n"]), ([10, -3], ["10", "-3"]), ([True, False], ["1", "0"])],
    ids=["str-labels", "int-labels", "bool-labels"],
)
def test_frame_round_trip(columns, decoded_names):
    frame = pd.DataFrame({0: ["b", "a", np.nan, "b"], 1: [1.0, 2.0, np.nan, 4.0]})
    frame.columns = columns
    encoder = Encoder()
    codes, categorical = encoder.encode(frame)
    assert categorical == [0]
    result = encoder.decode(codes)
    expected = pd.DataFrame({"s": ["b", "a", None, "b"], "n": [1.0, 2.0, np.nan, 4.0]})
    expected["s"] = expected["s"].astype(object)
    expected.columns = decoded_names
    assert_same_frame(result, expected)


def test_frame_round_trip_equals_reference_route():
    frame = pd.DataFrame(
        {"city": ["Oslo", "Lima", "<NA>", "Oslo"], "n": [1, 2, 3, 4], "k": ["x", 2, 2.5, None]}
    )
    encoder = Encoder()
    codes, categorical = encoder.encode(frame)
    assert categorical == [0, 2]
    inverse = {0: {0: "Lima", 1: "Oslo"}, 2: {0: "2", 1: "2.5", 2: "None", 3: "x"}}
    expected = reference_frame(codes.to_numpy(), ["city", "n", "k"], [0, 2], inverse)
    assert_same_frame(encoder.decode(codes), expected)


def test_column_of_markers_only_decodes_to_missing():
    table = np.array([["nan", "a"], ["<NA>", "b"], ["NaN", "a"]], dtype=object)
    encoder = Encoder()
    codes, categorical = encoder.encode(table)
    assert categorical == [0, 1]
    assert encoder.decode(codes).tolist() == [["NaN", "a"], ["NaN", "b"], ["NaN", "a"]]


def test_decode_after_float_fast_path_returns_numbers():
    encoder = Encoder()
    encoder.encode(np.array([["a"], ["b"]], dtype=object))
    floats = np.array([[0.0, 1.0]])
    assert encoder.encode(floats)[1] is None
    result = encoder.decode(floats)
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, floats)


NARROW = ("the table has {} columns, fewer than the {} that the learned categorical columns need "
          "(the learned encoding lists column {} as categorical)")


@pytest.mark.parametrize("kind", ["array", "frame"])
@pytest.mark.parametrize(
    "training, columns, message",
    [
        (np.array([[1, "a", "b"]], dtype=object), 2, NARROW.format(2, 3, 2)),
        (np.array([["a", "b"]], dtype=object), 0, NARROW.format(0, 2, 0)),
        # Restored states: checked in stored order, the count covering every listed column.
        (([0, 5], {0: {0: "a"}, 5: {0: "z"}}), 2, NARROW.format(2, 6, 5)),
        (([5, 1], {5: {0: "z"}}), 2, NARROW.format(2, 6, 5)),
        (([SIZE_MAX], {SIZE_MAX: {0: "z"}}), 1, NARROW.format(1, SIZE_MAX + 1, SIZE_MAX)),
    ],
)
def test_decode_with_fewer_columns_than_the_learned_state_is_a_value_error(kind, training,
                                                                           columns, message):
    if isinstance(training, tuple):
        encoder = encoder_with(*training)
    else:
        encoder = Encoder()
        encoder.encode(training)
        assert encoder.decode(np.zeros((0, columns))).shape == (0, columns)  # no cell to decode
    state = encoder.__getstate__()
    names = [f"c{i}" for i in range(columns)]
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.decode(table_of(kind, np.zeros((1, columns)), names))
    assert encoder.__getstate__() == state


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_negative_codes_decode_as_missing_and_fractions_truncate(kind):
    encoder = Encoder()
    encoder.encode(pd.DataFrame({"c": ["red", "green", "red"], "n": [1.0, 2.0, 3.0]}))
    test = pd.DataFrame({"c": ["green", "blue", "nan", "red"], "n": [4.0, 5.0, 6.0, 7.0]})
    codes = encoder.transform(test, unknown=-1)
    # pandas' -1 for missing, and fractions: -0.5 truncates toward zero to code 0, 1.7 to 1.
    extra = np.array([[-1.0, 8.0], [-2.5, 9.0], [-np.inf, 0.0], [-0.5, 1.0], [1.7, 2.0]])
    table = np.vstack([np.asarray(codes), extra])
    missing = "NaN" if kind == "array" else None
    decoded = encoder.decode(table_of(kind, table, ["c", "n"]))
    labels = decoded[:, 0] if kind == "array" else decoded["c"]
    assert list(labels) == ["green", missing, missing, "red", missing, missing, missing, "green",
                            "red"]


def test_encode_output_error_keeps_the_new_state(monkeypatch):
    encoder = Encoder()
    frame = pd.DataFrame({"x": ["a", "b"]})
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pandas"):
        encoder.encode(frame)
    monkeypatch.undo()
    assert encoder.__getstate__() != EMPTY_STATE
    assert encoder.decode(np.array([[1.0], [0.0]])).tolist() == [["b"], ["a"]]


def test_references_of_input_cells_unchanged():
    cells = [f"label-{i}" * 3 for i in range(4)] + [1.5, 2.5]
    table = np.array([cells[0:3], cells[3:6]], dtype=object)
    before = [sys.getrefcount(cell) for cell in cells]
    encoder = Encoder()
    codes, _ = encoder.encode(table)
    encoder.decode(table)
    encoder.decode(codes)
    assert [sys.getrefcount(cell) for cell in cells] == before


@pytest.mark.parametrize(
    "method, message",
    [("decode", "Already mutably borrowed"), ("encode", "Already borrowed")],
)
def test_cell_calling_back_during_encode_is_refused(method, message):
    encoder = Encoder()
    cell = Reentrant(lambda: getattr(encoder, method)(np.zeros((1, 1))))
    codes, _ = encoder.encode(np.array([[cell]], dtype=object))
    assert isinstance(cell.outcome, RuntimeError) and str(cell.outcome) == message
    assert encoder.decode(codes).tolist() == [["cell"]]


def test_cell_calling_decode_during_decode_shares_the_borrow():
    encoder = Encoder()
    encoder.encode(np.array([["a"], ["b"]], dtype=object))
    cell = Reentrant(lambda: encoder.decode(np.array([[1.0]])))
    result = encoder.decode(np.array([[cell]], dtype=object))
    assert cell.outcome.tolist() == [["b"]]
    assert result.tolist() == [["a"]]


def test_threads_decoding_with_one_encoder_share_its_state():
    encoder = Encoder()
    codes, _ = encoder.encode(np.array([["a", 1], ["b", 2], ["nan", 3]] * 50, dtype=object))
    frame = pd.DataFrame(codes, columns=["s", "n"])
    expected_array, expected_frame = encoder.decode(codes), encoder.decode(frame)
    barrier = threading.Barrier(4)
    failures = []

    def work():
        barrier.wait()
        for _ in range(20):
            if encoder.decode(codes).tolist() != expected_array.tolist():
                failures.append("array")
            if not encoder.decode(frame).equals(expected_frame):
                failures.append("frame")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
