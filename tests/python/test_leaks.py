"""Leaks: 10,000 mixed calls, successes and every kind of failure, in one process.

After a warm-up, the interpreter's allocated blocks, the C heap in use and the reference counts of
every input object must come back to where they started. A leak of one object or one small C++
allocation per call of any kind shows up hundreds of times over; caches filled once do not.
"""

import ctypes
import gc
import os
import pickle
import struct
import sys

import numpy as np
import pandas as pd
import pytest

from vexilo import Encoder

from support import DataFrame, Labels, Reentrant, Unprintable, ndarray

SHORT = 40  # phases of SHORT and 2 * SHORT rounds, three times: 360 rounds x 29 calls = 10,440 calls
PAIRS = 3
WARM_UP = 100


class Counted:
    """A cell converted by its __float__, whose exception is discarded once the column is text."""

    def __float__(self):
        raise ValueError("no float")

    def __str__(self):
        return "counted"


def _state_with_unlisted_inverse():
    # Column 0 is categorical, but no inverse map exists for it.
    return b"\x01" + struct.pack("<QQ", 1, 0) + struct.pack("<QQ", 0, 0) + b"\x00" * 4


def _c_heap_in_use():
    """Bytes the C allocator has handed out and not taken back; None where it cannot be read."""
    if "asan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_ten_thousand_mixed_calls_leak_nothing(capfd):
    cells = [f"label-{i}" * 3 for i in range(6)] + [Counted(), Unprintable()]
    obj_table = np.array([[cells[0], 1.5, cells[1]], [cells[2], None, cells[0]],
                          [cells[3], float("nan"), "<NA>"], [cells[4], 7, cells[5]]], dtype=object)
    text_column = np.array([[cells[0]], [cells[6]]], dtype=object)  # Counted after text: str() only
    float_first = np.array([[cells[6]], [cells[1]]], dtype=object)  # Counted first: float() fails
    bad_cell = np.array([["x"], [cells[7]]], dtype=object)
    frame = pd.DataFrame({"a": [cells[0], cells[1], cells[0]], "b": [1.0, 2.0, 3.0]})
    int_frame = pd.DataFrame([[1, cells[2]], [2, cells[3]]], columns=[10, -3])
    floats = np.arange(12, dtype=np.float64).reshape(4, 3)
    readers = [Encoder() for _ in range(2)]
    spare = Encoder()
    broken = Encoder()
    broken.__setstate__(_state_with_unlisted_inverse())

    trained = Encoder()
    codes, _ = trained.encode(obj_table)
    frame_codes, _ = trained.encode(frame)
    trained.encode(obj_table)
    state = trained.__getstate__()
    truncated = state[:-7]
    narrow_codes = np.zeros((2, 1))

    def call_back():
        for call in (lambda: trained.encode(obj_table), lambda: trained.decode(codes)):
            try:
                call()
            except RuntimeError:
                pass

    reentrant = np.array([["a"], [Reentrant(call_back, "re")]], dtype=object)

    def expect(error, call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{call} did not raise {error}")

    def panics(call, *args):
        try:
            call(*args)
        except Exception:
            raise
        except BaseException as error:
            assert type(error).__name__ == "PanicException"
            return
        raise AssertionError(f"{call} did not panic")

    def one_round():
        spare.encode(obj_table)
        spare.decode(codes)
        spare.encode(frame)
        spare.decode(frame_codes)
        trained.encode(obj_table)
        spare.encode(int_frame)
        spare.encode(text_column)
        spare.encode(float_first)
        readers[0].decode(floats)
        readers[1].encode(floats)
        readers[0].__setstate__(trained.__getstate__())
        pickle.loads(pickle.dumps(trained))
        trained.encode(reentrant)
        trained.encode(obj_table)
        expect(TypeError, spare.encode)
        expect(TypeError, spare.decode, codes, codes)
        expect(TypeError, spare.encode, obj=obj_table, x=1)
        expect(TypeError, Encoder, 1)
        expect(ValueError, Encoder, "Label")
        expect(TypeError, spare.__setstate__, "state")
        expect(ValueError, spare.__setstate__, truncated)
        expect(TypeError, spare.encode, [1, 2])  # also prints "list" to standard output
        expect(AttributeError, spare.encode, DataFrame())
        expect(TypeError, spare.encode, DataFrame(Labels("ab")))
        panics(spare.encode, bad_cell)
        panics(spare.encode, ndarray((3, 2)))
        panics(spare.encode, ndarray((2, 2, 2)))
        panics(broken.decode, floats)
        expect(ValueError, trained.decode, narrow_codes)

    inputs = [*cells, obj_table, text_column, float_first, bad_cell, frame, int_frame, floats, state,
              truncated, codes, frame_codes, reentrant, narrow_codes]

    def refcounts():
        return [sys.getrefcount(each) for each in inputs]

    def snapshot():
        # The type attribute cache keeps up to 4096 attribute-name strings alive, filling slowly
        # as names used for lookups land in new slots; empty it so that only leaks remain (3.13
        # deprecates the older name).
        getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
        gc.collect()
        heap.append((done, _c_heap_in_use()))
        return sys.getallocatedblocks()

    for _ in range(WARM_UP):
        one_round()
    counts_before = refcounts()
    # After the warm-up, a short and a long phase, three times. A leak grows the long phase by
    # SHORT rounds' worth more than the short one in every pair; what each measurement costs by
    # itself (a constant, seen on free-threaded builds once other threads have run) cancels out.
    # The C heap's noise (the worker threads' allocator caches) does not add up, so the slope of
    # its samples over the rounds shows a leak of even one chunk a round.
    growth = []
    heap = []
    done = 0
    for _ in range(PAIRS):
        for rounds in (SHORT, 2 * SHORT):
            before = snapshot()
            for _ in range(rounds):
                one_round()
                done += 1
            growth.append(snapshot() - before)
    counts_after = refcounts()
    capfd.readouterr()

    assert counts_after == counts_before
    # One leaked object a round adds SHORT blocks to a pair's difference.
    blocks = [growth[i + 1] - growth[i] for i in range(0, len(growth), 2)]
    assert min(blocks) < SHORT // 4, (blocks, growth)
    if heap[0][1] is not None:
        # Bytes a round. Clean runs stay below 10; a leaked table, map, state or label of any
        # call kind (a chunk of 64 bytes or more) goes well above 24.
        slope = np.polyfit([x for x, _ in heap], [y for _, y in heap], 1)[0]
        assert slope < 24, (slope, heap)
    assert trained.decode(codes)[:, 0].tolist() == obj_table[:, 0].tolist()


SHARED_OBJECTS = {
    "float64 dtype": np.dtype("float64"),
    "object dtype": np.dtype(object),
    "ndarray type": np.ndarray,
    "Encoder type": Encoder,
    "TypeError": TypeError,
}
# NumPy 2.4's own zeros()/empty() keep a float64 descriptor reference per call (np.zeros from
# Python does the same); the frame output builds its table with zeros(), so frames are exempt.
NUMPY_ZEROS = {"float64 dtype"}


def _operations():
    objects = np.array([["b", 1.5], ["a", None]], dtype=object)
    floats = np.arange(6, dtype=np.float64).reshape(3, 2)
    frame = pd.DataFrame({"a": ["x", "y"], "b": [1.0, 2.0]})
    trained = Encoder()
    codes, _ = trained.encode(objects)
    frame_codes, _ = trained.encode(frame)
    trained.encode(objects)

    def refused(call, *args):
        try:
            call(*args)
        except BaseException:  # noqa: BLE001 - only the references matter here
            pass

    column_major = np.asfortranarray(floats)
    return {
        "encode object array": (lambda: Encoder().encode(objects), set()),
        "encode float array": (lambda: Encoder().encode(floats), set()),
        "encode float column-major": (lambda: Encoder().encode(column_major), set()),
        "encode 1-D float array": (lambda: refused(Encoder().encode, floats[:, 0]), set()),
        "decode float array": (lambda: trained.decode(codes), set()),
        "decode without state": (lambda: Encoder().decode(floats), set()),
        "encode frame": (lambda: Encoder().encode(frame), NUMPY_ZEROS),
        "decode frame": (lambda: trained.decode(frame_codes), NUMPY_ZEROS),
        "decode frame as categories": (lambda: trained.decode(frame_codes, as_category=True),
                                       NUMPY_ZEROS),
        "refused as_category": (lambda: refused(lambda: trained.decode(codes, as_category=True)),
                                set()),
        "refused input": (lambda: refused(Encoder().encode, [1]), set()),
        "refused state": (lambda: refused(Encoder().__setstate__, None), set()),
    }


@pytest.mark.parametrize("operation", list(_operations()))
def test_calls_keep_the_reference_counts_of_shared_objects(operation, capfd):
    """Descriptors, types and singletons that every call touches must not gain references."""
    call, exempt = _operations()[operation]
    watched = {name: each for name, each in SHARED_OBJECTS.items() if name not in exempt}
    for _ in range(5):
        call()
    gc.collect()
    before = {name: sys.getrefcount(each) for name, each in watched.items()}
    for _ in range(200):
        call()
    gc.collect()
    after = {name: sys.getrefcount(each) for name, each in watched.items()}
    capfd.readouterr()
    assert {name: after[name] - before[name] for name in after if after[name] != before[name]} == {}
