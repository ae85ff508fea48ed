"""Memory and producers that break their own rules: Arrow buffers behind a frame's columns that
skipped validation, a producer that fails while its stream is read, and a frame that changes while
it is read. Each gets a clear error naming what is wrong, and the encoder learns nothing."""

import re
import sys

import numpy as np
import pandas as pd
import pytest

from support import EMPTY_STATE
from vexilo import Encoder

pa = pytest.importorskip("pyarrow")


def offsets(*values):
    return pa.py_buffer(np.array(values, dtype=np.int32).tobytes())


def bad_utf8_strings():
    # "a", then the bytes ff 00: no producer that validates would make the second text.
    return pa.Array.from_buffers(pa.string(), 3, [None, offsets(0, 1, 3, 4), pa.py_buffer(b"a\xff\x00a")])


def stray_dictionary():
    indices = pa.py_buffer(np.array([0, 1, 7], dtype=np.int32).tobytes())
    return pa.DictionaryArray.from_buffers(pa.dictionary(pa.int32(), pa.string()), 3,
                                           [None, indices], dictionary=pa.array(["x", "y"]))


@pytest.mark.parametrize("column, message", [
    (lambda: pd.arrays.ArrowStringArray(bad_utf8_strings()),
     "column 1 ('s') holds a text that is not valid UTF-8 at row 1; nothing was learned"),
    (lambda: pd.arrays.ArrowExtensionArray(stray_dictionary()),
     "column 1 ('s') is held in memory that breaks its format (a dictionary index is out of "
     "range at row 2)"),
])
def test_broken_arrow_memory_is_refused_naming_the_column(column, message):
    frame = pd.DataFrame({"n": [1.0, 2.0, 3.0], "s": column()})
    encoder = Encoder()
    with pytest.raises(ValueError, match=re.escape(message)):
        encoder.encode(frame)
    assert encoder.__getstate__() == EMPTY_STATE


@pytest.fixture
def failing_producer(monkeypatch):
    """Frames whose Arrow column hands over a stream whose producer raises `error` after its
    first batch."""
    def install(error):
        schema = pa.schema([("s", pa.string())])

        def batches():
            yield pa.record_batch([pa.array(["a", "b"])], schema=schema)
            raise error

        class Producer:
            def __arrow_c_stream__(self, requested_schema=None):
                return pa.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__()

        monkeypatch.setattr(pd.arrays.ArrowStringArray, "__arrow_array__",
                            lambda self, type=None: Producer())
        return pd.DataFrame({"s": pd.array(["a", "b"], dtype="string[pyarrow]")})
    return install


@pytest.mark.parametrize("error, expected", [
    (KeyboardInterrupt("stop"), KeyboardInterrupt),
    (OSError("disk gone"), RuntimeError),
])
def test_a_producer_that_fails_mid_stream_ends_the_call(failing_producer, error, expected):
    frame = failing_producer(error)
    encoder = Encoder()
    with pytest.raises(expected, match=re.escape(str(error))):
        encoder.encode(frame)
    assert encoder.__getstate__() == EMPTY_STATE


def test_a_frame_changed_while_it_is_read_is_a_clear_error():
    frame = pd.DataFrame({"a": ["x", "y"], "b": [1.0, 2.0],
                          "c": pd.array([1, None], dtype="Int64")})

    def change(call_frame, event, arg):
        # pandas' own code runs while the frame's columns are planned: drop a column there.
        if event == "call" and call_frame.f_code.co_name == "_get_column_array":
            sys.setprofile(None)
            del frame["a"]

    sys.setprofile(change)
    try:
        with pytest.raises(ValueError, match=re.escape(
                "the frame changed while it was read: its shape was (2, 3), its values have the "
                "shape (2, 2)")):
            Encoder().encode(frame)
    finally:
        sys.setprofile(None)
