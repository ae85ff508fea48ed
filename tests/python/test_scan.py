"""Tables whose cells run no Python code are read in one pass of row blocks, sharing the text of
equal objects. These tests hold that pass to the cell-by-cell reading in column order: on tables
large enough to span many blocks, with columns that turn categorical late, with objects that
share texts, and with cells that make the pass give way to the ordered reading."""

import numpy as np
import pandas as pd
import pytest

from support import outcome
from vexilo import Encoder


def decoded(table):
    """The texts and numbers that decoding the codes of table as an array gives back."""
    encoder = Encoder()
    codes, categorical = encoder.encode(table)
    if not categorical:
        return None
    return [[repr(cell) for cell in row] for row in encoder.decode(np.asarray(codes))]


def test_long_table_matches_item_access(item_view):
    rows = 40_000  # several blocks of rows
    rng = np.random.default_rng(7)
    words = np.array(["b", "a", "é", "nan", "<NA>", "z" * 20], dtype=object)
    table = np.empty((rows, 4), dtype=object)
    table[:, 0] = rng.standard_normal(rows)
    table[29_999, 0] = "late"  # turns after many numbers: those are rendered, later ones str()'d
    table[:, 1] = words[rng.integers(0, words.size, rows)]
    table[::7, 1] = "".join(["b"])  # new objects with the text of a shared one
    table[:, 2] = rng.integers(-5, 5, rows).tolist()
    table[31_000, 2] = 2**1100  # too large for a double: turns the column
    table[:, 3] = [True, None, 1.5, float("nan")] * (rows // 4)
    assert outcome(table) == outcome(item_view(table))


def test_equal_texts_in_separate_objects_match_item_access(item_view):
    # Past the point where the object index gives way to the texts, with numbers before the first
    # text, NaN, None and non-ASCII texts among them.
    rows = 30_000
    rng = np.random.default_rng(11)
    words = ["bb", "aa", "éé", "nan", "<NA>", "z" * 20, "😀x", "ab" * 9]
    table = np.empty((rows, 2), dtype=object)
    picks = rng.integers(0, len(words), (rows, 2))
    for r in range(rows):
        table[r, 0] = "".join(list(words[picks[r, 0]]))  # a new object each time
        table[r, 1] = "".join(list(words[picks[r, 1]])) if r >= 50 else float(r)
    table[::97, 0] = float("nan")
    table[::101, 1] = None
    assert outcome(table) == outcome(item_view(table))


def test_texts_shared_per_block_of_rows_match_item_access(item_view):
    # One object per text in a block of rows, as some parsers give: the first block finds no text
    # twice, the next ones bring new objects of recent texts.
    texts = [f"t{i:06d}" for i in range(40_000)]
    blocks = [texts] + [texts[-2_000:]] * 10
    table = np.array(["".join(t) for block in blocks for t in block], dtype=object)
    assert outcome(table.reshape(-1, 1)) == outcome(item_view(table.reshape(-1, 1)))


def test_column_of_mostly_distinct_objects_is_numbered_in_byte_order():
    # More distinct objects than the pass keeps an index of, then repeats of early ones.
    texts = np.array([f"t{i:07d}" for i in range(300_000)], dtype=object)
    column = np.concatenate([texts, texts[:1000], texts[::-1]]).reshape(-1, 1)
    codes, categorical = Encoder().encode(column)
    assert categorical == [0]
    assert codes[:, 0].tolist() == [int(t[1:]) for t in column[:, 0]]


class Recorded:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def __float__(self):
        self.log.append(("float", self.name))
        raise TypeError("no number")

    def __str__(self):
        self.log.append(("str", self.name))
        return self.name


def test_cells_with_code_run_in_column_order():
    log = []
    table = np.array([["x", Recorded("right", log)], [Recorded("left", log), "y"]], dtype=object)
    _, categorical = Encoder().encode(table)
    assert categorical == [0, 1]
    assert log == [("str", "left"), ("float", "right"), ("str", "right")]


def test_first_failing_cell_in_column_order_is_reported(item_view, panics):
    def failure(table):
        with panics("cant convert to str: ValueError") as raised:
            Encoder().encode(table)
        return str(raised.value)

    # str() refuses integers of this many digits; the one in column 0 comes first in column order
    # but in a later block of rows.
    table = np.array([["a", "b"]] * 20_000, dtype=object)
    table[15_000, 0], table[0, 1] = 10**5000, 10**6000
    assert failure(table) == failure(item_view(table))


def frames():
    mixed = pd.DataFrame({
        "i8": np.array([-3, 0, 7], dtype=np.int8),
        "u64": np.array([2**64 - 1, 2**53 + 1, 0], dtype=np.uint64),
        "f32": np.array([0.1, -0.0, np.nan], dtype=np.float32),
        "flag": [True, False, True],
        "text": pd.Series(["b", "a", "b"], dtype=object),
    })
    duplicated = pd.DataFrame([["a", 1.0, "c"], ["b", 2.0, "a"]], columns=["x", "x", "y"],
                              dtype=object)
    dated = mixed.assign(when=pd.to_datetime(["2020-01-01", "2021-06-30", "1999-12-31"]))
    strings = mixed.assign(text=pd.Series(["q", None, "p"], dtype="string"))
    return {
        "mixed": mixed,
        "numbers": mixed.drop(columns="text"),
        "ints-and-flags": mixed[["i8", "flag"]],
        "floats": pd.DataFrame(np.arange(12.0).reshape(4, 3)),
        "duplicate-names": duplicated,
        "datetime-column": dated,
        "string-dtype-column": strings,
        "one-block-column-major": pd.DataFrame(np.asfortranarray([["a", 1], ["b", None]],
                                                                  dtype=object)),
    }


@pytest.mark.parametrize("name", list(frames()))
def test_frames_encode_like_their_values(name):
    frame = frames()[name]
    by_frame, by_values = outcome(frame), outcome(frame.values)
    if by_values[1] is None:
        # Float64 values take the fast path, which learns no state; a frame never takes it.
        assert by_frame[1:] == ([], ([], {}, {}))
        by_frame = by_values = by_frame[0], by_values[0]
    assert by_frame == by_values
    assert decoded(frame) == decoded(frame.values)
