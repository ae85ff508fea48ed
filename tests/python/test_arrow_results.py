"""Results of Arrow tables: a polars input gives a polars DataFrame and a pyarrow input (or any
other Arrow producer) a pyarrow Table, their number columns float64 over vexilo's own buffer,
their decoded columns text with null for missing codes."""

import math
import os
import re

import numpy as np
import pytest

from support import encoder_with, run_python
from vexilo import Encoder

pl = pytest.importorskip("polars") if not os.environ.get("VEXILO_REQUIRE_POLARS") else \
    __import__("polars")
try:  # one run goes without pyarrow: there polars results are built without it
    import pyarrow as pa
except ImportError:
    if os.environ.get("VEXILO_REQUIRE_ARROW"):
        raise
    pa = None
needs_pyarrow = pytest.mark.skipif(pa is None, reason="pyarrow is not installed")

KINDS = ["polars", pytest.param("pyarrow", marks=needs_pyarrow)]
LONG = "a label longer than twelve bytes"


def make(kind, columns):
    return pl.DataFrame(columns) if kind == "polars" else pa.table(columns)


def columns_of(result):
    return result.to_dict(as_series=False) if isinstance(result, pl.DataFrame) else \
        result.to_pydict()


def same_floats(got, want):
    return len(got) == len(want) and all(
        (math.isnan(a) and math.isnan(b)) if isinstance(b, float) and math.isnan(b) else a == b
        for a, b in zip(got, want))


@pytest.mark.parametrize("kind", KINDS)
def test_encode_and_decode_keep_the_kind_and_restore_text(kind):
    table = make(kind, {"s": ["q", "p", None, LONG], "n": [1.5, math.nan, 3.0, 4.0]})
    encoder = Encoder()
    result, categorical = encoder.encode(table)
    assert type(result) is type(table)
    assert categorical == [0]
    codes = columns_of(result)
    assert list(codes) == ["s", "n"]
    assert same_floats(codes["s"], [2.0, 1.0, math.nan, 0.0])
    assert same_floats(codes["n"], [1.5, math.nan, 3.0, 4.0])

    decoded = encoder.decode(result)
    assert type(decoded) is type(table)
    texts = columns_of(decoded)
    assert texts["s"] == ["q", "p", None, LONG]
    assert same_floats(texts["n"], [1.5, math.nan, 3.0, 4.0])  # NaN stays NaN, not null
    if kind == "polars":
        assert decoded.schema == pl.Schema({"s": pl.String, "n": pl.Float64})
        assert decoded["n"].null_count() == 0
    else:
        assert decoded.schema.types == [pa.large_string(), pa.float64()]
        assert decoded.column("n").null_count == 0


@pytest.mark.parametrize("kind", KINDS)
def test_decode_gives_null_for_missing_codes_and_codes_without_labels(kind):
    encoder = encoder_with([0], {0: {0: "a", 1: LONG, 5: "", 10**9: "far"}})
    codes = [0.0, 1.0, 5.0, 2.0, -1.0, -0.5, 1.7, math.nan, 1e9, 1e30]
    decoded = encoder.decode(make(kind, {"c": codes, "n": [float(i) for i in range(10)]}))
    assert columns_of(decoded)["c"] == ["a", LONG, "", None, None, "a", LONG, None, "far", None]


@pytest.mark.parametrize("kind", KINDS)
def test_decode_of_zero_rows_keeps_names_and_types(kind):
    encoder = encoder_with([1], {1: {0: "a"}})
    decoded = encoder.decode(make(kind, {"a": np.zeros(0), "b": np.zeros(0)}))
    assert type(decoded) is (pl.DataFrame if kind == "polars" else pa.Table)
    assert decoded.shape == (0, 2) and list(columns_of(decoded)) == ["a", "b"]


@pytest.mark.parametrize("kind", KINDS)
def test_number_columns_are_one_buffer_taken_over(kind):
    rows = 1 << 16
    table = make(kind, {"x": np.arange(rows, dtype=np.float64), "y": np.ones(rows),
                        "s": ["a", "b"] * (rows // 2)})
    result, _ = Encoder().encode(table)
    if kind == "polars":
        x, y = (result[name].to_numpy().ctypes.data for name in ("x", "y"))
    else:
        x, y = (result.column(name).chunks[0].buffers()[1].address for name in ("x", "y"))
    # Adjacent columns of the column-major table: neither was copied out on its own.
    assert y - x == rows * 8


@needs_pyarrow
def test_result_stream_is_taken_once_and_an_untaken_stream_is_released(monkeypatch):
    table = pa.table({"s": ["x", "y"]})
    encoder = Encoder()
    calls = []

    def table_of(exporter):
        capsule = exporter.__arrow_c_stream__(requested_schema=None)
        with pytest.raises(RuntimeError, match=re.escape("this Arrow stream was already taken")):
            exporter.__arrow_c_stream__()
        calls.append(type(capsule).__name__)
        return "built"  # the capsule goes unread: dropping it releases the stream

    monkeypatch.setattr(pa, "table", table_of)
    assert encoder.encode(table)[0] == "built"
    assert calls == ["PyCapsule"]


@needs_pyarrow
def test_pyarrow_result_without_pyarrow_is_an_import_error(monkeypatch):
    class Producer:  # an Arrow producer that is not pyarrow: its result is a pyarrow Table
        def __init__(self, table):
            self.table = table

        def __arrow_c_stream__(self, requested_schema=None):
            return self.table.__arrow_c_stream__(requested_schema)

    producer = Producer(pa.table({"s": ["x"]}))
    monkeypatch.setitem(__import__("sys").modules, "pyarrow", None)
    message = "pyarrow is needed for a pyarrow Table result, but it could not be imported"
    with pytest.raises(ImportError, match=re.escape(message)):
        Encoder().encode(producer)


def test_polars_results_need_no_pyarrow():
    completed = run_python("""
        import sys
        sys.modules["pyarrow"] = None
        import polars as pl
        from vexilo import Encoder
        encoder = Encoder()
        codes, _ = encoder.encode(pl.DataFrame({"s": ["x", None, "y"], "n": [1.0, 2.0, 3.0]}))
        print(encoder.decode(codes)["s"].to_list())
    """)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "['x', None, 'y']"
