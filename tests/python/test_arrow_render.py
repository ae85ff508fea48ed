"""Arrow dates, times, timestamps, durations and decimals in polars frames, pyarrow tables and
DuckDB relations: a cell's label is the text of the Python value that the producer's own
conversion gives it (polars' to_list, pyarrow's to_pylist, DuckDB's fetchall), so the labels are
those texts sorted byte-wise and the codes point at them, nulls missing."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from vexilo import Encoder

if os.environ.get("VEXILO_REQUIRE_ARROW"):
    import duckdb
    import polars as pl
    import pyarrow as pa
else:
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    duckdb = pytest.importorskip("duckdb")

UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
# Zones whose history polars' own copy of the time zone database and zoneinfo's agree on.
ZONES = [None, "UTC", "+01:00", "-05:30", "Europe/Paris", "America/New_York", "Asia/Kolkata",
         "Australia/Lord_Howe", "America/St_Johns", "Pacific/Chatham", "Asia/Kathmandu"]
# A day inside the years 1 to 9999, so that every zone's local time stays inside them too.
FIRST_SECOND, LAST_SECOND = -62135596800 + 2 * 86400, 253402300799 - 2 * 86400
DAY = 86400


def with_nulls(draw, element, rows):
    """rows values of element, some of them None, some repeated (as dates and codes often are)."""
    pool = draw(st.lists(element, min_size=1, max_size=4))
    return draw(st.lists(st.one_of(st.none(), element, st.sampled_from(pool)),
                         min_size=rows, max_size=rows))


def integer_array(values, arrow_type, width):
    storage = pa.array(values, pa.int32() if width == 32 else pa.int64())
    return storage.view(arrow_type)


def decimal_array(unscaled, arrow_type, bits):
    """A decimal array of the unscaled integers (None: null), built from its bytes."""
    data = b"".join((0 if u is None else u % (1 << bits)).to_bytes(bits // 8, "little")
                    for u in unscaled)
    validity = bytearray((len(unscaled) + 7) // 8)
    for i, u in enumerate(unscaled):
        if u is not None:
            validity[i // 8] |= 1 << (i % 8)
    return pa.Array.from_buffers(arrow_type, len(unscaled),
                                 [pa.py_buffer(bytes(validity)), pa.py_buffer(data)])


KINDS = ["date32", "date64", "time", "timestamp", "duration", "decimal"]


@st.composite
def rendered_column(draw, producer, kind):
    """An Arrow array of kind, its cells within what the producer converts to Python."""
    rows = draw(st.integers(0, 40))
    if kind == "date32":
        values = with_nulls(draw, st.integers(FIRST_SECOND // DAY, LAST_SECOND // DAY), rows)
        return integer_array(values, pa.date32(), 32)
    if kind == "date64":
        element = st.integers(FIRST_SECOND * 1000, LAST_SECOND * 1000)
        return integer_array(with_nulls(draw, element, rows), pa.date64(), 64)
    unit = draw(st.sampled_from(list(UNITS)))
    per_second = UNITS[unit]
    if kind == "time":
        values = with_nulls(draw, st.integers(0, DAY * per_second - 1), rows)
        arrow_type = pa.time32(unit) if unit in ("s", "ms") else pa.time64(unit)
        return integer_array(values, arrow_type, arrow_type.bit_width)
    if kind == "timestamp":
        zone = draw(st.sampled_from(ZONES))
        assume(not (producer == "polars" and zone == "-05:30"))  # polars refuses the zone
        low, high = FIRST_SECOND * per_second, LAST_SECOND * per_second
        if unit == "ns":
            low, high = -(2**63), 2**63 - 1
        element = st.one_of(st.integers(low, high), st.integers(-(10**6), 10**6))
        return integer_array(with_nulls(draw, element, rows), pa.timestamp(unit, zone), 64)
    if kind == "duration":
        limit = min(2**63 - 1, 999999999 * DAY * per_second)
        element = st.one_of(st.integers(-limit, limit), st.integers(-(10**6), 10**6))
        return integer_array(with_nulls(draw, element, rows), pa.duration(unit), 64)
    bits = draw(st.sampled_from([32, 64, 128] + ([256] if producer == "pyarrow" else [])))
    most = {32: 9, 64: 18, 128: 38, 256: 76}[bits]
    precision = draw(st.integers(1, most))
    if producer == "polars":
        scale = draw(st.integers(0, precision))
    elif bits <= 64:
        scale = draw(st.integers(-most, most))
    else:
        scale = draw(st.integers(-40, 80))
    digits = draw(st.integers(1, precision))
    element = st.integers(-(10**digits - 1), 10**digits - 1)
    arrow_type = {32: pa.decimal32, 64: pa.decimal64, 128: pa.decimal128,
                  256: pa.decimal256}[bits](precision, scale)
    return decimal_array(with_nulls(draw, element, rows), arrow_type, bits)


def first_column(codes):
    if isinstance(codes, pa.Table):
        return np.asarray(codes.column(0).to_numpy(zero_copy_only=False), dtype=float)
    return np.asarray(codes.to_numpy() if hasattr(codes, "to_numpy") else codes, dtype=float)[:, 0]


# DuckDB makes durations intervals, which are not among these kinds.
PRODUCER_KINDS = [(producer, kind) for producer in ("polars", "pyarrow", "duckdb")
                  for kind in KINDS if (producer, kind) != ("duckdb", "duration")]


@pytest.mark.parametrize(("producer", "kind"), PRODUCER_KINDS)
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_labels_are_the_texts_of_the_producers_python_values(producer, kind, data):
    # DuckDB reads what polars reads (its fetchall fails hard on some decimals polars refuses).
    array = data.draw(rendered_column("polars" if producer == "duckdb" else producer, kind))
    try:
        if producer == "polars":
            series = pl.from_arrow(array)
            table, values = pl.DataFrame({"c": series}), series.to_list()
        elif producer == "duckdb":
            table = duckdb.from_arrow(pa.table({"c": array}))
            values = [row[0] for row in table.fetchall()]
        else:
            table, values = pa.table({"c": array}), array.to_pylist()
    except (OverflowError, ValueError, ArithmeticError, duckdb.Error):
        assume(False)  # a value the producer's conversion refuses (pandas' bounds, say)
    labels = sorted({str(v) for v in values if v is not None}, key=lambda s: s.encode())
    encoder = Encoder()
    codes, categorical = encoder.encode(table)
    if not labels:  # nothing but nulls: a column of NaN, which is numeric
        assert categorical == []
    else:
        assert categorical == [0]
        assert encoder.categories[0] == labels
    expected = [np.nan if v is None else labels.index(str(v)) for v in values]
    np.testing.assert_array_equal(first_column(codes), np.asarray(expected, dtype=float))
