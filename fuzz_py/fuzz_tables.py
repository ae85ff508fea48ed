#!/usr/bin/env python3
"""Fuzzes encode, decode and pickling with tables built from the fuzzer's bytes.

Every table must encode; the codes must agree with the cells (numbers unchanged, labels numbered
densely in byte order, missing-value markers NaN), and decoding, also after a pickle round trip,
must give the labels back.
Run: python fuzz_py/fuzz_tables.py [libFuzzer flags] [corpus dirs]   (see fuzz_py/run.sh)
"""

import math
import pickle
import sys

import atheris
import numpy as np
import pandas as pd

from vexilo import Encoder

MARKERS = {"nan", "NaN", "<NA>"}
TEXTS = ["a", "b", "B", "", " ", "nan", "NaN", "<NA>", "None", "é", "日本", "\U0001f600", "1", "1.0",
         "-0", "inf", "a\x00b", "\udc80", "\ud800x", "\x7f", "zz" * 40]


class Opaque:
    """A cell with no float conversion and a fixed text."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def make_cell(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 2:
        return TEXTS[fdp.ConsumeIntInRange(0, len(TEXTS) - 1)]
    if kind == 3:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 4:
        return fdp.ConsumeRegularFloat()
    if kind == 5:
        return [math.nan, math.inf, -math.inf, -0.0, 0.1, 1e21, 1e-7, 2.5][fdp.ConsumeIntInRange(0, 7)]
    if kind == 6:
        return fdp.ConsumeIntInRange(-(2**70), 2**70)  # beyond double range too
    if kind == 7:
        return [None, True, False, pd.NA][fdp.ConsumeIntInRange(0, 3)]
    if kind == 8:
        return [np.int64(-3), np.float32(0.5), np.bool_(True), np.uint8(7)][fdp.ConsumeIntInRange(0, 3)]
    if kind == 9:
        return 10 ** fdp.ConsumeIntInRange(300, 400)  # too large for a double from 309 on
    if kind == 10:
        return Opaque(TEXTS[fdp.ConsumeIntInRange(0, len(TEXTS) - 1)])
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4))


def as_number(cell):
    """The cell as the encoder's float conversion sees it: texts and bytes are never parsed."""
    if isinstance(cell, (str, bytes)):
        return None
    try:
        return float(cell)
    except (TypeError, ValueError, OverflowError):
        return None


def check_column(cells, codes, decoded, categorical, missing):
    numbers = [as_number(cell) for cell in cells]
    if not categorical:
        assert all(n is not None for n in numbers), cells
        for n, code in zip(numbers, codes):
            assert (math.isnan(n) and math.isnan(code)) or n == code, (n, code)
        return
    assert any(n is None for n in numbers), cells
    present = sorted({int(c) for c in codes if not math.isnan(c)})
    assert present == list(range(len(present))), codes
    labels = {}
    for cell, code, label in zip(cells, codes, decoded):
        if isinstance(cell, str) and cell in MARKERS:
            assert math.isnan(code), (cell, code)
        if math.isnan(code):
            assert label is missing or label == missing, (cell, label)
            continue
        assert isinstance(label, str)
        assert label not in MARKERS
        assert labels.setdefault(int(code), label) == label, (code, label, labels)
        if isinstance(cell, str) and cell.isprintable() and not any(0xD800 <= ord(ch) <= 0xDFFF for ch in cell):
            assert label == cell, (cell, label)
    ordered = [labels[code] for code in sorted(labels)]
    assert ordered == sorted(ordered, key=lambda text: text.encode("utf-8", "surrogatepass"))
    assert len(set(ordered)) == len(ordered)


def TestOneInput(data):  # noqa: N802 - the name atheris looks for
    fdp = atheris.FuzzedDataProvider(data)
    rows = fdp.ConsumeIntInRange(0, 6)
    cols = fdp.ConsumeIntInRange(0, 4)
    as_frame = fdp.ConsumeBool()
    table = np.empty((rows, cols), dtype=object)
    for r in range(rows):
        for c in range(cols):
            table[r, c] = make_cell(fdp)
    source = table
    if as_frame:
        try:
            source = pd.DataFrame(table, columns=[f"c{c}" for c in range(cols)])
        except UnicodeEncodeError:
            # With pyarrow installed pandas stores inferred texts in Arrow, which refuses lone
            # surrogates: such a frame cannot be made, so there is nothing to encode.
            return

    encoder = Encoder()
    result, categorical = encoder.encode(source)
    codes = result.to_numpy() if as_frame else result
    assert codes.dtype == np.float64 and codes.shape == (rows, cols)
    assert categorical == sorted(set(categorical)) and all(0 <= c < cols for c in categorical)

    # Applied to the table it learned, the encoding gives the same codes; the learned labels are
    # those the codes decode to.
    again = encoder.transform(source, unknown="error")
    np.testing.assert_array_equal(again.to_numpy() if as_frame else again, codes)
    learned = encoder.categories
    assert sorted(learned) == categorical
    # Rows in another order (the first text of a column may move): anything but a clean result
    # or a ValueError is a fault.
    try:
        encoder.transform(source.iloc[::-1] if as_frame else table[::-1], unknown=-1)
    except ValueError:
        pass

    restored = pickle.loads(pickle.dumps(encoder))
    assert len(restored.__getstate__()) == len(encoder.__getstate__())
    for each in (encoder, restored):
        decoded = each.decode(result)
        missing = None if as_frame else "NaN"
        values = decoded.to_numpy() if as_frame else decoded
        for c in range(cols):
            check_column(list(table[:, c]), list(codes[:, c]), list(values[:, c]),
                         c in categorical, missing)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
