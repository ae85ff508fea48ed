"""Hostile inputs: cells, tables and frames that raise, lie or call back, and what each leaves behind.

Every case must end in a clean exception (or a clean result) and leave the encoder usable, with the
state it had before a failed call. One file though long: every case shares the same two checks
(the exception, and the state and usability afterwards).
"""

import os
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from vexilo import Encoder

from support import Boom, Cell, DataFrame, call_outcomes, column, ndarray

TRAINING = np.array([["b", 1], ["a", 2], ["b", 3]], dtype=object)
TRAINED_CODES = np.array([[1.0, 1.0], [0.0, 2.0], [1.0, 3.0]])


def trained_encoder():
    encoder = Encoder()
    codes, columns = encoder.encode(TRAINING)
    np.testing.assert_array_equal(codes, TRAINED_CODES)
    assert columns == [0]
    return encoder


def assert_still_trained(encoder):
    """The state learned from TRAINING is intact, and the encoder takes new work."""
    decoded = encoder.decode(TRAINED_CODES)
    assert decoded[:, 0].tolist() == ["b", "a", "b"]
    codes, columns = encoder.encode(np.array([["y"], ["x"]], dtype=object))
    np.testing.assert_array_equal(codes, [[1.0], [0.0]])
    assert columns == [0]


def check_panic(excinfo, *fragments):
    """The exception is the module's internal-failure type and its message names each fragment."""
    error = excinfo.value
    kind = type(error)
    assert kind.__name__ == "PanicException"
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    for fragment in fragments:
        assert fragment in str(error), (fragment, str(error))


# ---------------------------------------------------------------------------------------------
# Cells whose conversions raise.


@pytest.mark.parametrize("error", [TypeError("no text"), ValueError("no text"), Boom("no text"),
                                   RecursionError("deep"), MemoryError()])
def test_str_raising_in_categorical_column_panics_and_keeps_state(error):
    encoder = trained_encoder()
    with pytest.raises(BaseException) as excinfo:
        encoder.encode(column("x", Cell(str_=error)))
    check_panic(excinfo, "cant convert to str")
    assert_still_trained(encoder)


@pytest.mark.parametrize("error", [TypeError("nan?"), ValueError("nan?"), Boom("nan?"),
                                   OverflowError("big"), ZeroDivisionError("zero")])
def test_float_raising_turns_the_column_categorical(error):
    encoder = Encoder()
    codes, columns = encoder.encode(column(2.5, Cell(str_="z", float_=error), 1))
    assert columns == [0]
    # Labels: "2.5" (rendered before the turn), "z", then "1" by str(); byte order "1" < "2.5" < "z".
    np.testing.assert_array_equal(codes, [[1.0], [2.0], [0.0]])
    assert encoder.decode(codes)[:, 0].tolist() == ["2.5", "z", "1"]


@pytest.mark.parametrize("where", ["str", "float"])
def test_keyboard_interrupt_from_a_cell_propagates_unchanged(where):
    encoder = trained_encoder()
    interrupt = KeyboardInterrupt("stop")
    # str() is taken once the column is categorical, float() while it is still numeric.
    table = column("x", Cell(str_=interrupt)) if where == "str" else column(1, Cell(float_=interrupt))
    with pytest.raises(KeyboardInterrupt) as excinfo:
        encoder.encode(table)
    assert excinfo.value is interrupt
    assert_still_trained(encoder)


def test_float_returning_a_non_float_turns_the_column_categorical():
    class Liar:
        def __float__(self):
            return "1.5"

        def __str__(self):
            return "liar"

    codes, columns = Encoder().encode(column(Liar(), 3))
    assert columns == [0]
    np.testing.assert_array_equal(codes, [[1.0], [0.0]])  # "3" < "liar"


# ---------------------------------------------------------------------------------------------
# Item access that raises or answers inconsistently.


def test_getitem_raising_panics_with_the_python_error_and_keeps_state():
    encoder = trained_encoder()

    def getitem(key):
        if key == (1, 0):
            raise Boom("cell (1, 0) is unreadable")
        return "v"

    with pytest.raises(BaseException) as excinfo:
        encoder.encode(ndarray((2, 1), getitem))
    check_panic(excinfo, "cell (1, 0) is unreadable")
    assert_still_trained(encoder)


def test_getitem_returning_a_new_object_each_time_reads_every_cell_once_column_by_column():
    keys = []

    def getitem(key):
        keys.append(key)
        return f"v{len(keys) - 1}"

    encoder = Encoder()
    codes, columns = encoder.encode(ndarray((3, 2), getitem))
    assert keys == [(0, 0), (1, 0), (2, 0), (0, 1), (1, 1), (2, 1)]
    assert all(type(r) is int and type(c) is int for r, c in keys)
    assert columns == [0, 1]
    np.testing.assert_array_equal(codes, [[0.0, 0.0], [1.0, 1.0], [2.0, 2.0]])
    assert encoder.decode(codes).tolist() == [["v0", "v3"], ["v1", "v4"], ["v2", "v5"]]


def call_every_method(encoder, outcomes):
    """Calls each method of encoder once, recording "ran" or the RuntimeError's message."""
    outcomes.update(call_outcomes([("encode", lambda: encoder.encode(TRAINING)),
                                   ("decode", lambda: encoder.decode(TRAINED_CODES)),
                                   ("__getstate__", encoder.__getstate__),
                                   ("__setstate__", lambda: encoder.__setstate__(b"\0" * 5))]))


def test_getitem_that_calls_back_into_the_encoder_is_refused_and_the_encode_completes():
    encoder = trained_encoder()
    outcomes = {}

    def getitem(key):
        call_every_method(encoder, outcomes)
        return "q"

    codes, columns = encoder.encode(ndarray((1, 1), getitem))
    assert outcomes == {"encode": "Already borrowed", "decode": "Already mutably borrowed",
                        "__getstate__": "Already mutably borrowed", "__setstate__": "Already borrowed"}
    np.testing.assert_array_equal(codes, [[0.0]])
    assert encoder.decode(codes).tolist() == [["q"]]


# ---------------------------------------------------------------------------------------------
# Shapes that lie.


def _never_read(key):
    raise AssertionError(f"cell {key} read for an invalid shape")


@pytest.mark.parametrize("shape", [(-1, 2), (2, -1), (2.0, 1), ("2", 1), (None, 1), (2,), (2, 1, 1),
                                   (), 7, None, (2**64, 1), (1, 2**64), (-(2**70), 1)])
def test_invalid_shape_panics_before_reading_a_cell(shape):
    encoder = trained_encoder()
    with pytest.raises(BaseException) as excinfo:
        encoder.encode(ndarray(shape, _never_read))
    check_panic(excinfo)
    assert_still_trained(encoder)


def test_shape_attribute_raising_panics_with_its_error():
    encoder = trained_encoder()
    with pytest.raises(BaseException) as excinfo:
        encoder.encode(ndarray(Boom("shape is unavailable"), _never_read))
    check_panic(excinfo, "shape is unavailable")
    assert_still_trained(encoder)


HUGE_SHAPE_SCRIPT = textwrap.dedent(
    """
    import os, resource, sys
    import numpy, vexilo

    sys.path.insert(0, sys.argv[1])
    from support import ndarray

    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        # Allow 1 GiB beyond what the interpreter maps now: a table-sized allocation fails.
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = vm * 1024 + (1 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    shape = tuple(int(n) for n in sys.argv[2:])
    try:
        vexilo.Encoder().encode(ndarray(shape))
    except BaseException as error:
        print(type(error).__name__, error)
    """
)


HUGE_EXTENT = min(2**40, 2 * sys.maxsize + 1)  # one that the size type holds, 64 or 32 bits


@pytest.mark.parametrize(
    "shape", [(10**9, 10**9), (HUGE_EXTENT, 3), (3, HUGE_EXTENT), (2**31 + 1, 2**31 + 1)]
)
def test_table_declared_far_larger_than_memory_fails_at_its_first_read(shape):
    """Nothing is allocated for the declared size before a cell has been read."""
    here = os.path.dirname(__file__)
    result = subprocess.run([sys.executable, "-c", HUGE_SHAPE_SCRIPT, here, *map(str, shape)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PanicException"), result.stdout + result.stderr
    assert "no cell (0, 0)" in result.stdout


# ---------------------------------------------------------------------------------------------
# Frames whose parts raise.


def test_frame_whose_columns_raise_returns_that_error_unchanged(capfd):
    encoder = trained_encoder()
    error = Boom("columns are gone")
    with pytest.raises(Boom) as excinfo:
        encoder.encode(DataFrame(error, np.array([["a"]], dtype=object)))
    assert excinfo.value is error
    assert capfd.readouterr().out == ""
    assert_still_trained(encoder)


def test_frame_whose_values_raise_panics_with_the_python_error():
    encoder = trained_encoder()
    with pytest.raises(BaseException) as excinfo:
        encoder.encode(DataFrame(["c"], Boom("values are gone"), (1, 1)))
    check_panic(excinfo, "values are gone")
    assert_still_trained(encoder)


def test_frame_whose_shape_exceeds_its_values_panics_at_the_missing_cell():
    encoder = trained_encoder()
    with pytest.raises(BaseException) as excinfo:
        encoder.encode(DataFrame(["c"], np.array([["a"]], dtype=object), (2, 1)))
    check_panic(excinfo, "index 1 is out of bounds")
    assert_still_trained(encoder)


def test_frame_columns_that_raise_while_iterating_fall_back_then_fail_cleanly():
    class Columns:
        def __len__(self):
            raise Boom("no length")

        def __getitem__(self, index):
            raise Boom("no item")

        def tolist(self):
            raise Boom("no list")

    encoder = trained_encoder()
    with pytest.raises(Boom, match=re.escape("no list")):
        encoder.encode(DataFrame(Columns(), np.array([["a"]], dtype=object)))
    assert_still_trained(encoder)


def test_empty_texts_are_ordinary_labels_wherever_they_come_first():
    """An empty text sorts first and round-trips; reading its bytes must not touch a null
    pointer (the sanitized suite checks that)."""

    class Empty:
        def __str__(self):
            return ""

    for first in ("", Empty()):
        encoder = Encoder()
        codes, columns = encoder.encode(column(first, "a", "a", "", Empty()))
        assert columns == [0]
        np.testing.assert_array_equal(codes, [[0.0], [1.0], [1.0], [0.0], [0.0]])
        assert encoder.decode(codes)[:, 0].tolist() == ["", "a", "a", "", ""]


# ---------------------------------------------------------------------------------------------
# Sizes.


def test_huge_strings_round_trip_through_encode_decode_and_pickling():
    big = "x" * (24 << 20) + "é"
    bigger = "y" * (8 << 20) + "\U0001f600" * (1 << 20)
    encoder = Encoder()
    codes, columns = encoder.encode(column(bigger, big, "small", big))
    assert columns == [0]
    np.testing.assert_array_equal(codes, [[2.0], [1.0], [0.0], [1.0]])
    restored = Encoder()
    restored.__setstate__(encoder.__getstate__())
    for each in (encoder, restored):
        assert each.decode(codes)[:, 0].tolist() == [bigger, big, "small", big]


# ---------------------------------------------------------------------------------------------
# Another thread using the same encoder while one of its calls runs Python code.


@pytest.mark.parametrize("outer", ["encode", "decode"])
def test_second_thread_is_refused_while_a_call_waits_inside_a_cell(outer):
    encoder = trained_encoder()
    inside = threading.Event()
    release = threading.Event()
    outcomes = {}

    class Waiting:
        def __float__(self):
            raise TypeError("text")

        def __str__(self):
            inside.set()
            assert release.wait(30), "the other thread never finished"
            return "w"

    def other():
        assert inside.wait(30)
        try:
            call_every_method(encoder, outcomes)
        finally:
            release.set()

    thread = threading.Thread(target=other)
    thread.start()
    table = column("v", Waiting())
    try:
        if outer == "encode":
            codes, columns = encoder.encode(table)
            np.testing.assert_array_equal(codes, [[0.0], [1.0]])
        else:
            decoded = encoder.decode(table)
            # The table is encoded afresh (v=0, w=1) and decoded with the stored state (a, b).
            assert decoded[:, 0].tolist() == ["a", "b"]
    finally:
        release.set()
        thread.join(30)
    if outer == "encode":
        assert outcomes == {"encode": "Already borrowed", "decode": "Already mutably borrowed",
                            "__getstate__": "Already mutably borrowed",
                            "__setstate__": "Already borrowed"}
        assert encoder.decode(np.array([[1.0], [0.0]]))[:, 0].tolist() == ["w", "v"]
    else:
        # Shared users overlap; the exclusive ones are refused.
        assert outcomes == {"encode": "Already borrowed", "decode": "ran", "__getstate__": "ran",
                            "__setstate__": "Already borrowed"}
        assert_still_trained(encoder)


def test_state_reader_never_panics_on_damaged_bytes():
    """Every prefix and every single-byte change of a real state is read or refused cleanly."""
    encoder = Encoder()
    encoder.encode(np.array([["b", "<NA>"], ["a", "x"]], dtype=object))
    state = encoder.__getstate__()
    candidates = [state[:n] for n in range(len(state))]
    candidates += [state[:i] + bytes([state[i] ^ 0xFF]) + state[i + 1:] for i in range(len(state))]
    target = trained_encoder()
    for damaged in candidates:
        try:
            target.__setstate__(damaged)
        except ValueError:
            continue
        # Read back: writing it again gives a state of the same length.
        assert len(target.__getstate__()) <= len(damaged)
        target = trained_encoder()
    assert_still_trained(target)


def test_internal_failure_is_the_modules_panic_exception_and_pickles(capfd):
    import pickle

    import vexilo

    encoder = Encoder()
    # Column 0 is listed as categorical but has no inverse map.
    encoder.__setstate__(b"\x01" + (1).to_bytes(8, "little") + bytes(8) + bytes(16) + bytes(4))
    with pytest.raises(vexilo.PanicException) as excinfo:
        encoder.decode(np.array([[0.0]]))
    check_panic(excinfo, "no entry found for key")
    assert vexilo.PanicException.__bases__ == (BaseException,)
    assert vexilo.PanicException.__module__ == "vexilo"
    copy = pickle.loads(pickle.dumps(excinfo.value))
    assert type(copy) is vexilo.PanicException and str(copy) == "no entry found for key"
    # The report names the thread and the place the failure arose, relative to the source tree.
    report = capfd.readouterr().err
    assert re.fullmatch(r"thread 'main' failed at src/python/label_column\.cpp:\d+:\n"
                        r"no entry found for key\n", report), report
    with pytest.raises(vexilo.PanicException):
        encoder.decode(np.array([[0.0]]))


def test_failure_of_python_code_is_reported_where_it_arose(capfd):
    with pytest.raises(BaseException) as excinfo:
        Encoder().encode(column("a", Cell(str_=Boom("no text"))))
    check_panic(excinfo, "cant convert to str: Boom: no text")
    report = capfd.readouterr().err
    assert report.startswith("thread 'main' failed at src/python/cell_rule.cpp:"), report
