"""Encoding a whole table: the result pair and the stored state, how each column is classified and
numbered, and every way a call stops, with nothing left behind."""

import decimal
import math
import struct
import sys

import numpy as np
import pandas as pd
import pytest

from support import (EMPTY_STATE, Boom, Cell, DataFrame, Reentrant, Unprintable, column, ndarray,
                     reads_then_fails)

nan = float("nan")
inf = float("inf")
SIZE_MAX = 2 * sys.maxsize + 1  # the largest extent a shape may have here


def codes_of(encoder, *cells):
    result, categorical = encoder.encode(column(*cells))
    return result[:, 0].tolist(), categorical


def assert_codes(actual, expected):
    assert len(actual) == len(expected)
    for got, want in zip(actual, expected):
        assert (math.isnan(got) and math.isnan(want)) or got == want, (actual, expected)


def test_encode_returns_codes_and_categorical_columns_and_stores_state(encoder):
    table = np.array([["b", 1, "x"], ["a", 2.5, "y"], ["b", 3, "x"]], dtype=object)
    result, categorical = encoder.encode(table)
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (3, 3)
    assert categorical == [0, 2]
    np.testing.assert_array_equal(result, [[1, 1, 0], [0, 2.5, 1], [1, 3, 0]])
    state = encoder.__getstate__()
    for text in (b"a", b"b", b"x", b"y"):
        assert struct.pack("<Q", len(text)) + text in state


def test_encode_by_keyword_and_frames_keep_their_kind(encoder):
    frame = pd.DataFrame({"s": ["q", "p", nan], "n": [1, 2, 3]})
    result, categorical = encoder.encode(obj=frame)
    assert isinstance(result, pd.DataFrame)
    assert result.columns.tolist() == ["s", "n"]
    assert categorical == [0]
    # A missing text is NaN in every pandas (None would stay None in an object column of pandas
    # 2), and its text "nan" is a missing-value marker.
    assert_codes(result["s"].tolist(), [1.0, 0.0, nan])
    assert result["n"].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "cells, codes",
    [
        pytest.param([1, 2, "x"], [0, 1, 2], id="numbers-then-text"),
        pytest.param([1.0, "a", 1.0], [0, 2, 1], id="rendered-before-str-after"),
        pytest.param(["x", 1.0], [1, 0], id="str-of-float-after-text"),
        pytest.param([1, None, 3], [0, 2, 1], id="none-is-a-label"),
        pytest.param([nan, "a"], [nan, 0], id="nan-rendered-as-marker"),
        pytest.param(["a", nan], [0, nan], id="nan-str-is-marker"),
        pytest.param([pd.NA, 1], [nan, 0], id="pandas-na"),
        pytest.param(["3.5", "10", "9"], [1, 0, 2], id="numeric-texts-stay-texts"),
        pytest.param([1e21, 1e-7, -0.0, 2.5, "z"], [2, 1, 0, 3, 4], id="positional-rendering"),
        pytest.param([inf, -inf, "a"], [2, 0, 1], id="infinities"),
        pytest.param([2**1024, 1], [1, 0], id="int-too-large-for-a-double"),
        pytest.param(["é", "z", "e"], [2, 1, 0], id="bytewise-order"),
        pytest.param(["\ud800", "\ufffd\ufffd\ufffd", "a"], [1, 1, 0], id="lone-surrogate"),
        pytest.param([np.str_("b"), "a"], [1, 0], id="numpy-text"),
        pytest.param(["", "None", "NAN"], [0, 2, 1], id="not-markers"),
    ],
)
def test_categorical_column_codes(encoder, cells, codes):
    actual, categorical = codes_of(encoder, *cells)
    assert categorical == [0]
    assert_codes(actual, codes)


def positional(number):
    """Python's shortest round-trip digits of number, written out without an exponent."""
    text = format(decimal.Decimal(repr(number)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def test_numbers_before_the_turn_are_labelled_by_their_shortest_digits(encoder):
    rng = np.random.default_rng(13)
    numbers = rng.integers(0, 2**64, size=3000, dtype=np.uint64).view(np.float64)
    numbers = numbers[np.isfinite(numbers)].tolist()
    numbers += [1e23, 2.0**64, 1e30, sys.float_info.max, -(2.0**53), 2.0**53 + 2, 123.456]
    cells = [*numbers, "turn"]
    codes, categorical = encoder.encode(column(*cells))
    assert categorical == [0]
    labels = encoder.decode(codes)[:, 0].tolist()
    assert labels[:-1] == [positional(number) for number in numbers]
    assert positional(1e23) == "100000000000000000000000"


@pytest.mark.parametrize(
    "cells, values",
    [
        ([1, 2.5, True, False], [1.0, 2.5, 1.0, 0.0]),
        ([np.int64(3), np.float32(0.5), np.bool_(True), np.uint64(2**64 - 1)],
         [3.0, 0.5, 1.0, 2.0**64]),
        ([nan, -0.0, inf], [nan, -0.0, inf]),
        ([2**53 + 1], [2.0**53]),
    ],
)
def test_numeric_column_keeps_its_values(encoder, cells, values):
    actual, categorical = codes_of(encoder, *cells)
    assert categorical == []
    assert_codes(actual, values)
    assert [math.copysign(1, v) for v in actual] == [math.copysign(1, v) for v in values]


class IndexLike:
    def __index__(self):
        return 7


def test_objects_convert_through_their_own_float_or_index(encoder):
    actual, categorical = codes_of(encoder, Cell("never asked", 2.5), IndexLike())
    assert categorical == []
    assert actual == [2.5, 7.0]


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_tables(encoder, shape):
    result, categorical = encoder.encode(np.empty(shape, dtype=object))
    assert result.shape == shape and result.dtype == np.float64
    assert categorical == []
    assert encoder.__getstate__() == b"\x01" + b"\x00" * 24 + b"\x00" * 4


def test_categorical_columns_are_ascending_for_wide_tables(encoder):
    table = np.array([[f"t{c}" if c % 3 else c for c in range(40)]] * 2, dtype=object)
    _, categorical = encoder.encode(table)
    assert categorical == [c for c in range(40) if c % 3]


def test_encode_learns_afresh_each_time(encoder):
    encoder.encode(column("b", "c"))
    assert codes_of(encoder, "c", "d") == ([0.0, 1.0], [0])
    encoder.encode(np.zeros((1, 1)))
    assert encoder.__getstate__() == EMPTY_STATE


# ---------------------------------------------------------------------------------------------
# Stops and propagated exceptions


@pytest.mark.parametrize(
    "table, start",
    [
        (column("x", Unprintable()), "cant convert to str: Boom: no text"),
        (column(Unprintable()), "cant convert to str: Boom: no text"),
        (ndarray((2, 2)), "unhandled Python error: Boom: no cell (0, 0)"),
        (ndarray((3, 1), reads_then_fails("x", 2)), "unhandled Python error: Boom: no cell (2, 0)"),
        (np.zeros(3), "unhandled Python error: ValueError: expected a shape of 2 dimensions, got 1"),
        (np.zeros((2, 2, 2)), "unhandled Python error: ValueError: expected a shape of 2 dim"),
        (ndarray([2, 2]), "unhandled Python error: TypeError: shape must be a tuple, not list"),
        (ndarray((-1, 2)), "unhandled Python error: OverflowError"),
        (ndarray((1, SIZE_MAX + 1)),
         "unhandled Python error: OverflowError: Python int too large to convert to C size_t"),
        (ndarray((1.0, 2)), "unhandled Python error: TypeError"),
        (DataFrame(["a"], Boom("no values"), (1, 1)), "unhandled Python error: Boom: no values"),
    ],
)
def test_stops_are_internal_failures_and_keep_the_state(encoder, panics, table, start):
    encoder.encode(column("kept"))
    state = encoder.__getstate__()
    with panics(start):
        encoder.encode(table)
    assert encoder.__getstate__() == state


def test_missing_shape_is_a_stop(encoder, panics):
    with panics("unhandled Python error: AttributeError"):
        encoder.encode(ndarray.__new__(ndarray))


def test_one_dimensional_cells_fail_at_item_access(encoder, panics):
    # A frame whose values do not match its shape.
    frame = DataFrame(["a"], np.array(["x", "y"], dtype=object), (2, 1))
    with panics("unhandled Python error: IndexError: too many indices for array"):
        encoder.encode(frame)


def test_hostile_huge_shape_fails_at_its_first_missing_cell(encoder, panics):
    with panics("unhandled Python error: Boom: no cell (3, 0)"):
        encoder.encode(ndarray((SIZE_MAX, SIZE_MAX), reads_then_fails(1.5, 3)))


# sys.maxsize // 8: the longest extent NumPy gives a float64 array, 64 or 32 bits.
@pytest.mark.parametrize("shape", [(0, sys.maxsize // 8), (sys.maxsize // 8, 0)])
def test_huge_empty_shapes_allocate_nothing(encoder, shape):
    result, categorical = encoder.encode(ndarray(shape))
    assert result.shape == shape and categorical == []


@pytest.mark.parametrize("error", [KeyboardInterrupt("stop"), SystemExit(3)])
@pytest.mark.parametrize("where", ["float", "str", "item", "shape"])
def test_interrupts_propagate_unchanged(encoder, error, where):
    encoder.encode(column("kept"))
    state = encoder.__getstate__()
    if where in ("float", "str"):
        cell = Cell(error, None) if where == "str" else Cell("raising", error)
        table = column("x" if where == "str" else 1, cell)
    elif where == "item":
        table = ndarray((2, 1), reads_then_fails("x", 1, error))
    else:

        class Extent:
            def __index__(self):
                raise error

        table = ndarray((2, Extent()))
    with pytest.raises(type(error)) as excinfo:
        encoder.encode(table)
    assert excinfo.value is error
    assert encoder.__getstate__() == state


def test_failed_float_conversion_only_turns_the_column_categorical(encoder):
    actual, categorical = codes_of(encoder, 1, Cell("raising", Boom("no float")))
    assert categorical == [0]
    assert actual == [0.0, 1.0]  # "1" < "raising"


def test_str_that_encodes_with_the_same_encoder_is_refused(encoder, panics):
    cell = Reentrant(lambda: encoder.encode(column("inner")), "unreachable", reraise=True)
    with panics("cant convert to str: RuntimeError: Already borrowed"):
        encoder.encode(column("a", cell))
    assert isinstance(cell.outcome, RuntimeError) and str(cell.outcome) == "Already borrowed"
    assert encoder.__getstate__() == EMPTY_STATE


def test_references_are_released_on_success_and_failure(encoder, panics):
    texts = [f"text-{i}" * 5 for i in range(4)]
    table = np.array([[texts[0], 1.5], [texts[1], texts[2]], [texts[3], None]], dtype=object)
    failing = np.array([[texts[0]], [Unprintable()]], dtype=object)
    before = [sys.getrefcount(t) for t in texts] + [sys.getrefcount(table)]
    for _ in range(3):
        encoder.encode(table)
        with panics("cant convert to str"):
            encoder.encode(failing)
    assert [sys.getrefcount(t) for t in texts] + [sys.getrefcount(table)] == before


# ---------------------------------------------------------------------------------------------
# Cells whose code changes the table while it is being read


def test_texts_stay_valid_when_a_later_cell_replaces_them(encoder):
    table = np.empty((3, 2), dtype=object)
    table[:, 0] = ["".join(["gamma-", str(i)]) for i in (2, 1, 2)]  # fresh, owned by the table only

    class Replacer:
        def __float__(self):
            table[:, 0] = "replaced"  # drops the only references to the texts already read
            return 1.0

    table[:, 1] = [Replacer(), 2.0, 3.0]
    result, categorical = encoder.encode(table)
    assert categorical == [0]
    assert result[:, 0].tolist() == [1.0, 0.0, 1.0]


# Setting shape or dtype in place is deprecated in newer NumPy, which is why a hostile cell may.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("change", ["reshape", "resize", "retype"])
def test_array_changed_by_a_cell_reads_like_item_access(encoder, item_view, change):
    def build():
        table = np.empty((2, 3), dtype=object)
        table[:] = [["a", 1, "b"], ["c", 2, "d"]]

        class Changer:
            def __float__(self):
                if change == "reshape":
                    table.shape = (3, 2)
                elif change == "resize":
                    table.resize((4, 3), refcheck=False)
                else:
                    table.dtype = np.dtype([("x", object)])
                return 0.5

        table[0, 1] = Changer()
        return table

    outcomes = []
    for wrap in (lambda t: t, item_view):
        try:
            outcomes.append(repr(encoder.encode(wrap(build()))))
        except BaseException as error:  # noqa: BLE001 - both paths must fail alike
            outcomes.append(f"{type(error).__name__}: {error}")
    assert outcomes[0] == outcomes[1]
