"""Encoder.transform (a learned encoding applied to new tables) and Encoder.categories."""

import math
import re
import threading

import numpy as np
import pandas as pd
import pytest

from vexilo import Encoder
from vexilo.vexilo import _encoder_from_texts

from support import call_outcomes, column, encoder_with, make_state

MARKERS = ["nan", "NaN", "<NA>", float("nan")]
MODES = ["nan", "error", -1, 7.5]


def same(a, b):
    np.testing.assert_array_equal(np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64))


def text_table(rng, rows, vocabulary, cols=3):
    """An object table of texts from vocabulary, markers among them, and a column of numbers."""
    table = np.empty((rows, cols + 1), dtype=object)
    for col in range(cols):
        table[:, col] = rng.choice(np.array(vocabulary + MARKERS, dtype=object), size=rows)
    table[:, cols] = rng.normal(size=rows).tolist()
    return table


def as_kind(table, kind, item_view):
    if kind == "frame":
        return pd.DataFrame({f"c{j}": pd.Series(table[:, j], dtype=object)
                             for j in range(table.shape[1])})
    if kind == "item view":
        return item_view(table)
    return table


KINDS = ["array", "frame", "item view"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("unknown", MODES)
def test_transform_of_the_learned_table_gives_its_codes(kind, unknown, item_view):
    rng = np.random.default_rng(3)
    table = text_table(rng, 3000, [f"w{i}" for i in range(40)] + ["None", "", "é"])
    table[::7, 1] = None  # "None" is a label like any other
    table[:5, 2] = [1.0, 2, True, 1.0, "x"]  # numbers before the column's first text
    data = as_kind(table, kind, item_view)
    encoder = Encoder()
    codes, _ = encoder.encode(data)
    state = encoder.__getstate__()
    same(encoder.transform(data, unknown=unknown), codes)
    assert encoder.__getstate__() == state


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("kind", KINDS)
def test_random_train_test_splits_follow_each_unknown_mode(seed, kind, item_view):
    rng = np.random.default_rng(seed)
    vocabulary = [f"t{i:03d}" for i in range(60)]
    table = text_table(rng, 4000, vocabulary)
    train, test = table[:2000], table[2000:].copy()
    # Texts the train half never holds, and markers it may not hold either.
    test[rng.integers(0, 2000, 30), 0] = "unseen-a"
    test[rng.integers(0, 2000, 30), 2] = "unseen-b"
    encoder = Encoder()
    encoder.encode(as_kind(train, kind, item_view))
    learned = encoder.categories
    assert sorted(learned) == [0, 1, 2]

    def expected(cell, col, unseen):
        if isinstance(cell, float) or cell in MARKERS:
            return math.nan
        labels = learned[col]
        return labels.index(cell) if cell in labels else unseen

    for unknown in ["nan", -1, 7.5]:
        unseen = math.nan if unknown == "nan" else unknown
        codes = encoder.transform(as_kind(test, kind, item_view), unknown=unknown)
        codes = np.asarray(codes, dtype=np.float64)
        for col in range(3):
            same(codes[:, col], [expected(cell, col, unseen) for cell in test[:, col]])
        same(codes[:, 3], test[:, 3].astype(np.float64))

    first = next(row for row, cell in enumerate(test[:, 0]) if cell == "unseen-a")
    count = sum(cell == "unseen-a" for cell in test[:, 0])
    name = " ('c0')" if kind == "frame" else ""
    message = (f"column 0{name} holds 'unseen-a' at row {first}, a text not seen when the "
               f"encoding was learned (unseen cells in the column: {count})")
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.transform(as_kind(test, kind, item_view), unknown="error")


def test_numbers_in_a_categorical_column_read_as_encode_reads_them():
    encoder = Encoder()
    codes, _ = encoder.encode(column(1.0, "a", 1.0, 2))
    assert encoder.categories == {0: ["1", "1.0", "2", "a"]}
    same(codes, [[0], [3], [1], [2]])
    # Numbers before the new table's first text render shortest, the ones after it by str().
    same(encoder.transform(column("a", 1.0, 2)), [[3], [1], [2]])
    same(encoder.transform(column(1.0, 3.0, "a")), [[0], [np.nan], [3]])
    same(encoder.transform(np.array([[1.0], [2.0], [3.0], [np.nan]])), [[0], [2], [np.nan], [np.nan]])


def test_frames_come_back_as_frames_with_the_column_names_as_text():
    encoder = Encoder()
    encoder.encode(pd.DataFrame({0: ["red", "green"], 7: [1.5, 2.5]}))
    test = pd.DataFrame({0: ["green", "red", pd.NA], 7: [3, 4, 5]}, index=[9, 8, 7])
    result = encoder.transform(test)
    assert list(result.columns) == ["0", "7"] and list(result.index) == [0, 1, 2]
    assert list(result.dtypes) == [np.float64, np.float64]
    same(result.to_numpy(), [[0, 3], [1, 4], [np.nan, 5]])


def trained(table=None):
    encoder = Encoder()
    encoder.encode(np.array([["b", 1], ["a", 2]], dtype=object) if table is None else table)
    return encoder


@pytest.mark.parametrize(
    "encoder, data, kwargs, error, message",
    [
        (Encoder(), column("a"), {}, ValueError, "this encoder has learned nothing to transform"),
        (trained(np.ones((2, 2))), np.ones((2, 2)), {}, ValueError,
         "has learned nothing to transform with: encode a table first (a 2-D float64 array"),
        (trained(), column("a"), {"unknown": "error"}, None, None),
        (trained(np.array([[1, "b"]], dtype=object)), column(1), {}, ValueError,
         "the learned encoding lists column 1 as categorical, but the table has 1 columns"),
        (trained(), np.array([["a", 1], ["b", "2"]], dtype=object), {}, ValueError,
         "column 1 holds the text '2' at row 1, but the learned encoding has it as a column of "
         "numbers"),
        (trained(pd.DataFrame({"k": ["a"], "n": [1]})), pd.DataFrame({"k": ["a"], "n": ["x"]}),
         {}, ValueError, "column 1 ('n') holds the text 'x' at row 0, but the learned encoding"),
        # Missing cells before a text column's first text are numbers (NaN), in every reader.
        (trained(pd.DataFrame({"n": [1.5]})), pd.DataFrame({"n": [np.nan, np.nan, "b", "c"]}),
         {}, ValueError, "column 0 ('n') holds the text 'b' at row 2, but the learned encoding"),
        (trained(), column("a"), {"unknown": "ignore"}, ValueError,
         "unknown must be \"nan\", \"error\" or a number, not 'ignore'"),
        (trained(), column("a"), {"unknown": None}, TypeError,
         "unknown must be \"nan\", \"error\" or a number, not 'NoneType'"),
        (trained(), column("a"), {"unknown": True}, TypeError,
         "unknown must be \"nan\", \"error\" or a number, not 'bool'"),
        (trained(), column("a"), {"unknown": 10**400}, OverflowError,
         "unknown must be \"nan\", \"error\" or a number, and this 'int' is too large for a "
         "float"),
        (trained(), column("a"), {"other": 1}, TypeError,
         "Encoder.transform() got an unexpected keyword argument 'other'"),
        (trained(), [["a"]], {}, TypeError,
         "Unsupported type: 'list'. Supported types are: numpy.ndarray, pandas.DataFrame"),
    ],
)
def test_transform_errors(encoder, data, kwargs, error, message):
    if error is None:
        same(encoder.transform(data, **kwargs), [[0]])
        return
    with pytest.raises(error, match=re.escape(message)):
        encoder.transform(data, **kwargs)


# Column 0 learns three labels, column 1 two.
THREE_AND_TWO = np.array([["b", "x"], ["a", "y"], ["c", "x"]], dtype=object)


@pytest.mark.parametrize(
    "unknown, column_of",
    [(0, 0), (1.0, 0), (np.float32(2), 0), (np.int64(1), 0),
     (3, None), (-1, None), (0.5, None), (2.5, None), (np.inf, None)],
)
def test_unknown_code_that_a_column_learned_is_refused(unknown, column_of):
    encoder = trained(THREE_AND_TWO)
    unseen = np.array([["zz", "zz"]], dtype=object)
    if column_of is None:
        same(encoder.transform(unseen, unknown=unknown), [[unknown, unknown]])
        return
    message = (f"unknown={int(unknown)} is a learned code of column {column_of}, which codes its 3 "
               "labels 0 to 2: unseen texts could not be told from that label (use \"nan\", a "
               "negative code or one above every column's codes)")
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.transform(unseen, unknown=unknown)


ONE_TEXT = (b"a", np.array([1], dtype=np.uint64).tobytes())  # the text list of "a"
WIDER = "the table has 3 columns, more than the 2 of the learned encoding: column 2"


@pytest.mark.parametrize(
    "encoder, table, message",
    [
        (trained(), np.array([["a", 1, "x"]], dtype=object), f"{WIDER} holds the text 'x' at row 0"),
        (trained(pd.DataFrame({"k": ["a"], "n": [1]})),
         pd.DataFrame({"k": ["a"], "n": [1], "e": ["x"]}), f"{WIDER} ('e') holds the text 'x'"),
        (_encoder_from_texts({0: ONE_TEXT}, columns=2), np.array([["a", 1, "x"]], dtype=object),
         f"{WIDER} holds the text 'x' at row 0"),
        # The state bytes do not hold the width: a restored or unsized state does not know it.
        (encoder_with(trained().__getstate__()), np.array([["a", 1, "x"]], dtype=object),
         "column 2 holds the text 'x' at row 0, but the learned encoding has it as a column of "
         "numbers"),
        (_encoder_from_texts({0: ONE_TEXT}), np.array([["a", 1, "x"]], dtype=object),
         "column 2 holds the text 'x' at row 0, but the learned encoding has it as a column"),
        # Within the learned width the message stays.
        (trained(), np.array([["a", "x", "y"]], dtype=object),
         "column 1 holds the text 'x' at row 0, but the learned encoding has it as a column"),
        (trained(), np.array([["a", 1, 5.0]], dtype=object), None),
    ],
    ids=["array", "frame", "pieces", "restored", "pieces-unsized", "within", "extra-numbers"],
)
def test_text_in_a_column_beyond_the_learned_table_says_the_table_is_wider(encoder, table,
                                                                           message):
    if message is None:
        same(encoder.transform(table), [[0, 1, 5]])  # extra numbers pass through
        return
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.transform(table)


def test_transform_binding_follows_the_other_methods():
    encoder = trained()
    same(encoder.transform(obj=column("b"), unknown=np.float32(-2)), [[1]])
    for args, message in [((), "missing 1 required positional argument: 'obj'"),
                          ((column("a"), "error"), "takes 1 positional arguments but 2 were given")]:
        with pytest.raises(TypeError, match=re.escape(f"Encoder.transform() {message}")):
            encoder.transform(*args)


def test_cells_that_call_back_run_under_a_shared_borrow():
    encoder = trained()
    outcomes = {}

    class CallsBack:
        def __str__(self):
            outcomes.update(call_outcomes([
                ("encode", lambda: encoder.encode(column("z"))),
                ("__setstate__", lambda: encoder.__setstate__(b"\0" * 5)),
                ("decode", lambda: encoder.decode(np.zeros((1, 2)))),
                ("transform", lambda: encoder.transform(column("a")))]))
            return "b"

    same(encoder.transform(column(CallsBack(), "a")), [[1], [0]])
    assert outcomes == {"encode": "Already borrowed", "__setstate__": "Already borrowed",
                        "decode": "ran", "transform": "ran"}

    class Raises:
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        encoder.transform(column("a", Raises()))
    same(encoder.transform(column("a")), [[0]])


def test_transforms_of_one_encoder_on_many_threads_agree():
    rng = np.random.default_rng(5)
    table = text_table(rng, 20000, [f"v{i}" for i in range(500)])
    encoder = Encoder()
    codes, _ = encoder.encode(table[:10000])
    expected = encoder.transform(table[10000:])
    barrier = threading.Barrier(4)
    results = []

    def run():
        barrier.wait()
        results.append(encoder.transform(table[10000:]))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4
    for result in results:
        same(result, expected)


@pytest.mark.parametrize(
    "state, categories",
    [
        (b"\x00" * 5, {}),
        (make_state([2], {2: {0: "a", 1: "b"}}), {2: ["a", "b"]}),
        # Codes of a restored state that are not 0..k-1 come with their labels, in code order.
        (make_state([0], {0: {9: "y", 5: "x"}}), {0: {5: "x", 9: "y"}}),
        (make_state([0, 0], {0: {1: "b", 0: "a"}}), {0: ["a", "b"]}),
        # No inverse map: the forward map's codes.
        (make_state([1], {}, forward={1: {"q": 0, "nan": None}}), {1: ["q"]}),
    ],
)
def test_categories_of_restored_states(state, categories):
    assert encoder_with(state).categories == categories


def test_categories_are_fresh_objects_that_change_nothing():
    encoder = trained()
    learned = encoder.categories
    learned[0].append("zz")
    learned[5] = ["x"]
    assert encoder.categories == {0: ["a", "b"]}
    assert encoder.categories[0] is not encoder.categories[0]
    with pytest.raises(AttributeError):
        encoder.categories = {}
