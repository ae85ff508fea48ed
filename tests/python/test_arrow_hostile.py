"""Hostile Arrow producers: exporters that raise or hand out the wrong thing, streams that fail or
never end, arrays that lie about their memory. Each call fails with a clear exception, leaves the
learned state as it was, releases the stream and every array exactly once, and calls the producer
on the calling thread only."""

import ctypes
import re
import threading

import numpy as np
import pytest

from arrow_producer import Producer
from support import Boom
from vexilo import Encoder

GOOD = [[["b", "a", None]], [["c", "a", "b"]]]  # two chunks of one text column


def child(struct, column=0):
    return struct.children[column].contents


def set_offset(index, value):
    def lie(struct, chunk):
        offsets = ctypes.cast(child(struct).buffers[1], ctypes.POINTER(ctypes.c_int32))
        offsets[index] = value
    return lie


def set_field(field, value, of_child=True):
    def lie(struct, chunk):
        setattr(child(struct) if of_child else struct, field, value)
    return lie


def null_buffer(index):
    def lie(struct, chunk):
        child(struct).buffers[index] = None
    return lie


def learned(encoder):
    return encoder.__getstate__()


@pytest.fixture
def trained():
    encoder = Encoder()
    encoder.encode(np.array([["kept"]], dtype=object))
    return encoder


def test_a_good_producer_is_read_and_released(trained):
    producer = Producer(GOOD)
    try:
        import pyarrow  # noqa: F401 - the result of any producer but polars is a pyarrow Table
    except ImportError:
        with pytest.raises(ImportError, match="pyarrow is needed for a pyarrow Table result"):
            trained.encode(producer)
    else:
        _, categorical = trained.encode(producer)
        assert categorical == [0] and trained.categories == {0: ["a", "b", "c"]}
    assert producer.arrays_released == producer.arrays_given == 4
    assert producer.streams_released == 1
    assert producer.threads == {threading.get_ident()}


@pytest.mark.parametrize("producer, error, message", [
    (Producer(GOOD, capsule_name=b"arrow_array"), TypeError,
     "'Producer'.__arrow_c_stream__() returned a 'PyCapsule', not an \"arrow_array_stream\""),
    (Producer(GOOD, fail_schema=True), RuntimeError,
     "an Arrow stream failed while it was read: get_schema failed with code 5: the producer "
     "broke"),
    (Producer(GOOD, fail_at=1), RuntimeError,
     "get_next failed with code 5: the producer broke"),
    (Producer(GOOD, endless=True), ValueError, "the stream holds more rows than the table"),
    (Producer(GOOD, lie=set_field("length", 2)), ValueError,
     "a column's array is shorter than its table"),
    (Producer(GOOD, lie=set_field("n_children", 2, of_child=False)), ValueError,
     "an array's columns do not match the schema"),
    (Producer(GOOD, lie=set_offset(1, 9)), ValueError, "string offsets fall"),
    (Producer(GOOD, lie=set_offset(0, -4)), ValueError, "a string offset is negative"),
    (Producer(GOOD, lie=null_buffer(1)), ValueError, "an array's values buffer is missing"),
    (Producer(GOOD, lie=null_buffer(2)), ValueError, "the string data buffer is missing"),
    (Producer(GOOD, lie=set_field("offset", -1)), ValueError,
     "an array has a negative length or offset"),
    (Producer(GOOD, lie=set_field("length", -1, of_child=False)), ValueError,
     "an array has a negative length or offset"),
    (Producer(GOOD, lie=set_field("n_buffers", 2)), ValueError,
     "an array has the wrong number of buffers"),
    (Producer([[["\xff".encode("latin-1").decode("latin-1")]]], lie=set_offset(1, 1)),
     ValueError, "holds a text that is not valid UTF-8"),
])
def test_hostile_streams_fail_clearly_and_release_everything(trained, producer, error, message):
    before = learned(trained)
    with pytest.raises(error, match=re.escape(message)):
        trained.encode(producer)
    assert learned(trained) == before
    assert producer.arrays_released == producer.arrays_given
    # A capsule of another name is not taken, so its stream is its owner's to release.
    assert producer.streams_released == (producer.capsule_name == b"arrow_array_stream")
    assert producer.threads <= {threading.get_ident()}


@pytest.mark.parametrize("method", [
    lambda: (_ for _ in ()).throw(Boom("no stream")),
    lambda: 42,
])
def test_exporters_that_raise_or_return_no_capsule(trained, method):
    class Exporter:
        def __arrow_c_stream__(self, requested_schema=None):
            return method()

    before = learned(trained)
    with pytest.raises((Boom, TypeError)):
        trained.encode(Exporter())
    assert learned(trained) == before


def test_a_non_table_stream_is_refused_and_released(capfd):
    producer = Producer(GOOD, schema_format=b"+l")
    with pytest.raises(TypeError, match="Unsupported type: 'Producer'"):
        Encoder().encode(producer)
    assert producer.streams_released == 1 and producer.arrays_given == 0
    assert capfd.readouterr().out == "Producer\n"
