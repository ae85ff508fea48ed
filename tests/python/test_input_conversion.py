"""Input conversion: which objects are accepted, the line printed for the others, a frame's
column names, and the float64 fast path."""

import re
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from support import EMPTY_STATE, DataFrame, Labels, run_python
from vexilo import Encoder

UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"


class Sub(np.ndarray):
    pass


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.matrix([[1.0, 2.0]])


@pytest.mark.parametrize(
    "obj, name",
    [
        ([[1.0]], "list"),
        ({"a": 1}, "dict"),
        (None, "NoneType"),
        ("text", "str"),
        (MATRIX, "matrix"),
        (np.zeros((2, 2)).view(Sub), "Sub"),
        (pd.Series([1.0]), "Series"),
    ],
)
def test_refused_type_prints_its_name_and_raises(encoder, capfd, obj, name):
    encoder.encode(np.array([["a"]], dtype=object))
    state = encoder.__getstate__()
    with pytest.raises(TypeError, match=re.escape(UNSUPPORTED.format(name))):
        encoder.encode(obj)
    assert capfd.readouterr().out == name + "\n"
    assert encoder.__getstate__() == state


def test_refused_type_line_bypasses_sys_stdout():
    result = run_python("""
        import io, sys
        from vexilo import Encoder
        sys.stdout = io.StringIO()
        try:
            Encoder().decode([1])
        except TypeError as error:
            sys.__stderr__.write(str(error))
        """)
    assert result.stdout == "list\n"
    assert result.stderr == UNSUPPORTED.format("list")


def test_refused_type_with_closed_stdout_still_raises_type_error():
    result = run_python("""
        import os
        from vexilo import Encoder
        os.close(1)
        try:
            Encoder().encode(3)
        except TypeError as error:
            os.write(2, str(error).encode())
        """)
    assert result.returncode == 0, result.stderr
    assert result.stderr == UNSUPPORTED.format("int")


def test_refused_type_with_broken_stdout_pipe_is_an_internal_failure():
    # Python ignores SIGPIPE, so writing to a pipe without reader fails with EPIPE.
    result = run_python("""
        import os
        from vexilo import Encoder
        read_end, write_end = os.pipe()
        os.close(read_end)
        os.dup2(write_end, 1)
        try:
            Encoder().encode(3)
        except BaseException as error:
            os.write(2, f"{type(error).__name__}|{error}|".encode())
        """)
    caught = result.stderr.rsplit("\n", 1)[-1]
    assert caught == "PanicException|failed printing to stdout: Broken pipe|", result.stderr


class TextSubclass(str):
    pass


@pytest.mark.parametrize(
    "columns, names",
    [
        (["a", "b"], ["a", "b"]),
        (None, ["0", "1"]),
        ([10, -3], ["10", "-3"]),
        ([True, False], ["1", "0"]),
        ([2**63 - 1, -(2**63)], ["9223372036854775807", "-9223372036854775808"]),
        (np.array([7, 8], dtype=np.uint8), ["7", "8"]),
        ([TextSubclass("x"), "é"], ["x", "é"]),
    ],
)
def test_frame_column_names(encoder, columns, names):
    frame = pd.DataFrame([[1.0, 2.0]], columns=columns)
    result, categorical = encoder.encode(frame)
    assert result.columns.tolist() == names
    assert categorical == []
    np.testing.assert_array_equal(result.to_numpy(), [[1.0, 2.0]])


def test_frame_without_columns(encoder):
    result, categorical = encoder.encode(pd.DataFrame())
    assert result.shape == (0, 0)
    assert categorical == []


@pytest.mark.parametrize(
    "columns, error, message, failed",
    [
        (["a", 1], TypeError, "'str' object cannot be interpreted as an integer", "0 is 'a'"),
        ([1, "a"], TypeError, "'str' object cannot be interpreted as an integer", "1 is 'a'"),
        ([1.5, 2.5], TypeError, "'float' object cannot be interpreted as an integer", "0 is 1.5"),
        ([1.0, 2.0], TypeError, "'float' object cannot be interpreted as an integer", "0 is 1.0"),
        ([1, None], TypeError, "'float' object cannot be interpreted as an integer", "0 is 1.0"),
        (pd.MultiIndex.from_tuples([("a", "b"), ("c", "d")]), TypeError,
         "'tuple' object cannot be interpreted as an integer", "0 is ('a', 'b')"),
        ([2**63, 1], OverflowError, "int too big to convert", "0 is 9223372036854775808"),
    ],
)
def test_frame_labels_that_are_neither_texts_nor_integers(encoder, capfd, columns, error, message,
                                                          failed):
    with pytest.raises(error, match=re.escape(message)) as raised:
        encoder.encode(pd.DataFrame([[1, 2]], columns=columns))
    assert raised.value.__notes__ == [
        "the column labels must be all str or all integers of 64 bits, and the label at position "
        + failed]
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "frame, error, message",
    [
        (DataFrame(), AttributeError, "'DataFrame' object has no attribute 'columns'"),
        (DataFrame(Labels("ab")), TypeError, "Can't extract `str` to `Vec`"),
        (DataFrame(Labels(5)), TypeError, "'int' object is not a sequence"),
        (DataFrame("ab"), AttributeError, "'str' object has no attribute 'tolist'"),
        (DataFrame(Labels([1, "x"])), TypeError, "'str' object cannot be interpreted"),
    ],
)
def test_frame_column_name_failures(encoder, frame, error, message):
    with pytest.raises(error, match=re.escape(message)):
        encoder.encode(frame)


def test_column_names_are_read_before_the_values(encoder):
    # The values would fail (1-D), but the columns fail first.
    with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")):
        encoder.encode(DataFrame(Labels("ab"), np.zeros(3)))


def test_frame_like_object_goes_through_its_values(encoder):
    frame = DataFrame(Labels([0, 1]), np.array([["b", 1], ["a", 2]], dtype=object))
    result, categorical = encoder.encode(frame)
    assert categorical == [0]
    assert result.columns.tolist() == ["0", "1"]
    np.testing.assert_array_equal(result.to_numpy(), [[1.0, 1.0], [0.0, 2.0]])


def test_frame_of_floats_never_takes_the_fast_path(encoder):
    result, categorical = encoder.encode(pd.DataFrame({"x": [1.5, np.nan]}))
    assert categorical == []
    assert encoder.__getstate__() != EMPTY_STATE


def float_layouts(tmp_path):
    base = np.arange(30, dtype=np.float64).reshape(5, 6) * 1.5 - 7
    base[1, 2] = np.nan
    base[2, 3] = -0.0
    read_only = base.copy()
    read_only.flags.writeable = False
    mapped = np.memmap(tmp_path / "table.bin", dtype=np.float64, mode="w+", shape=(5, 6))
    mapped[:] = base
    return {
        "c-order": base,
        "f-order": np.asfortranarray(base),
        "sliced": base[1::2, ::3],
        "transposed": base.T,
        "reversed": base[::-1, ::-1],
        "column-view": base[:, 2:3],
        "read-only": read_only,
        "memmap": mapped,
        "no-rows": np.empty((0, 4)),
        "no-columns": np.empty((3, 0)),
        "unaligned": np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1).reshape(5, 6),
    }


@pytest.mark.parametrize("layout", ["c-order", "f-order", "sliced", "transposed", "reversed",
                                    "column-view", "read-only", "memmap", "no-rows", "no-columns",
                                    "unaligned"])
def test_float_fast_path_copies_every_layout(encoder, tmp_path, layout):
    array = float_layouts(tmp_path)[layout]
    encoder.encode(np.array([["learned"]], dtype=object))
    result, categorical = encoder.encode(array)
    assert categorical is None
    assert encoder.__getstate__() == EMPTY_STATE
    assert type(result) is np.ndarray and result.dtype == np.float64
    np.testing.assert_array_equal(result, array)
    assert np.array_equal(np.signbit(result), np.signbit(array))
    assert not np.shares_memory(result, array)
    if array.flags.f_contiguous and not array.flags.c_contiguous:
        assert result.flags.f_contiguous  # column-major memory keeps its order


@pytest.mark.parametrize("dtype", [np.float32, np.int64, object, bool, ">f8"])
def test_other_arrays_take_the_object_path(encoder, dtype):
    array = np.array([[1, 0], [3, 4]]).astype(dtype)
    result, categorical = encoder.encode(array)
    assert categorical == []
    np.testing.assert_array_equal(result, array.astype(np.float64))
    assert encoder.__getstate__() != EMPTY_STATE


def test_fast_path_result_is_independent_of_the_input(encoder):
    array = np.ones((2, 2))
    result, _ = encoder.encode(array)
    array[0, 0] = 5.0
    assert result[0, 0] == 1.0


def test_integer_memmap_is_read_like_an_array(tmp_path, encoder):
    mapped = np.memmap(tmp_path / "ints.bin", dtype=np.int32, mode="w+", shape=(2, 2))
    mapped[:] = [[1, 2], [3, 4]]
    result, categorical = encoder.encode(mapped)
    assert type(result) is np.ndarray
    assert categorical == []
    np.testing.assert_array_equal(result, [[1.0, 2.0], [3.0, 4.0]])


class Columns:
    """A sequence of labels whose length lies or fails, or whose iteration is interrupted."""

    def __init__(self, labels, length=None, interrupt=None):
        self.labels, self.length, self.interrupt = labels, length, interrupt

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.labels) if self.length is None else self.length

    def __getitem__(self, index):
        return self.labels[index]

    def __iter__(self):
        if self.interrupt is not None:
            raise self.interrupt
        return iter(self.labels)

    def tolist(self):
        return list(self.labels)


@pytest.mark.parametrize("length", [2**62, ValueError("no length"), None])
def test_column_names_length_only_sizes_the_reservation(encoder, length):
    frame = DataFrame(Columns(["a", "b"], length), np.array([[1.0, 2.0]]))
    result, _ = encoder.encode(frame)
    assert result.columns.tolist() == ["a", "b"]


@pytest.mark.parametrize("columns", [Columns(["a"], interrupt=KeyboardInterrupt("stop")),
                                     Columns(["a"], length=KeyboardInterrupt("stop"))])
def test_interrupt_while_reading_column_names_propagates(encoder, columns):
    with pytest.raises(KeyboardInterrupt, match="stop"):
        encoder.encode(DataFrame(columns, np.array([[1.0]])))


# Shapes that NumPy holds without memory behind them (one broadcast cell) but whose table of
# doubles cannot exist here, 64 or 32 bits: one whose size in bytes overflows the size type (only
# one-byte cells make such an array), and one that fits the size type but no memory (on 32 bits,
# just under 4 GiB). Few columns: work per column comes before the table.
WIDE = sys.maxsize > 2**32
OVERFLOWING = (2**61, 3) if WIDE else (2**29, 3)
BEYOND_MEMORY = (2**58, 3) if WIDE else ((2**32 - 1) // 24, 3)


@pytest.mark.parametrize(
    "dtype, shape",
    [
        ("uint8", OVERFLOWING),
        ("uint8", BEYOND_MEMORY),
        ("object", BEYOND_MEMORY),
        pytest.param("float64", BEYOND_MEMORY, marks=pytest.mark.skipif(
            not WIDE, reason="no float64 array that NumPy holds here has a table beyond memory")),
    ],
    ids=["overflowing", "beyond-memory", "objects-beyond-memory", "floats-beyond-memory"],
)
def test_table_too_large_for_memory_is_a_memory_error(encoder, dtype, shape):
    huge = np.broadcast_to(np.array([[1]], dtype=dtype), shape)
    with pytest.raises(MemoryError) as info:
        encoder.encode(huge)
    if shape == OVERFLOWING:
        assert str(info.value) == f"a table of {shape[0]} x {shape[1]} cells does not fit in memory"
    assert encoder.__getstate__() == EMPTY_STATE
