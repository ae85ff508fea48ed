"""Pickling: __getstate__/__setstate__, the state bytes they exchange, pickle and copy."""

import copy
import pickle
import re
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vexilo import Encoder

from support import EMPTY_STATE, Reentrant, build_state, encoder_with, parse_state, text, u64



WORKED = build_state([1], [(1, [("a", 0), ("<NA>", None)])], [(1, [(0, "a")])])
WORKED_SWAPPED = build_state([1], [(1, [("<NA>", None), ("a", 0)])], [(1, [(0, "a")])])
WORKED_PARSED = ([1], {1: {"a": 0, "<NA>": None}}, {1: {0: "a"}})

UNICODE = build_state(
    [0, 3],
    [(0, [("", 0), ("é", 1), ("nan", None)]), (3, [("€", 0), ("😀", 1), ("NaN", None)])],
    [(0, [(0, ""), (1, "é")]), (3, [(0, "€"), (1, "😀")])],
)


def test_new_encoder_state_is_five_zero_bytes():
    state = Encoder().__getstate__()
    assert type(state) is bytes
    assert state == EMPTY_STATE


@pytest.mark.parametrize("state", [WORKED, WORKED_SWAPPED])
def test_worked_example_restores_and_reserialises_to_117_bytes(state):
    assert len(state) == 117
    encoder = Encoder()
    assert encoder.__setstate__(state) is None
    written = encoder.__getstate__()
    assert written in (WORKED, WORKED_SWAPPED)
    assert parse_state(written) == WORKED_PARSED


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
@pytest.mark.parametrize("state", [EMPTY_STATE, WORKED, UNICODE], ids=["empty", "worked", "unicode"])
def test_pickle_round_trip_keeps_the_state(protocol, state):
    original = encoder_with(state)
    data = pickle.dumps(original, protocol=protocol)
    assert b"vexilo" in data and b"Encoder" in data
    restored = pickle.loads(data)
    assert type(restored) is Encoder and restored is not original
    assert len(restored.__getstate__()) == len(state)
    assert parse_state(restored.__getstate__()) == parse_state(state)


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_are_independent_encoders_with_equal_state(make_copy):
    original = encoder_with(UNICODE)
    duplicate = make_copy(original)
    assert type(duplicate) is Encoder and duplicate is not original
    assert parse_state(duplicate.__getstate__()) == parse_state(UNICODE)
    duplicate.__setstate__(EMPTY_STATE)
    assert parse_state(original.__getstate__()) == parse_state(UNICODE)
    original.__setstate__(WORKED)
    assert duplicate.__getstate__() == EMPTY_STATE


SHORT_STRING = build_state([], [(0, [("x", 0)])], [])
SHORT_STRING = SHORT_STRING[:SHORT_STRING.index(text("x"))] + u64(5) + b"abc"
EOF_TEXT = "io error: unexpected end of file"


@pytest.mark.parametrize(
    "state, message",
    [
        (b"", EOF_TEXT),
        (b"\x00\x00\x00", EOF_TEXT),
        (WORKED[:-1], EOF_TEXT),
        (b"\x01" + u64(2**31), EOF_TEXT),
        (b"\x02\x00\x00\x00\x00", "tag for enum is not valid, found 2"),
        (b"\x00\x01\x00\x00\x00", "invalid value: integer `1`, expected variant index 0 <= i < 1"),
        (WORKED[:-4] + b"\x07\x00\x00\x00",
         "invalid value: integer `7`, expected variant index 0 <= i < 1"),
        (SHORT_STRING, "io error: "),
        (build_state([], [(0, [(b"\xff", 0)])], []),
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (build_state([], [], [(0, [(0, b"ok\xe2\x82")])]),
         "string is not valid utf8: incomplete utf-8 byte sequence from index 2"),
        (WORKED.replace(text("<NA>") + b"\x00", text("<NA>") + b"\x05"),
         "tag for enum is not valid, found 5"),
    ],
    ids=["empty", "strategy-cut", "worked-cut", "huge-count", "state-tag", "strategy-1",
         "strategy-7", "short-string", "bad-utf8", "incomplete-utf8", "code-tag"],
)
def test_unreadable_state_raises_and_keeps_the_previous_state(state, message):
    encoder = encoder_with(WORKED)
    with pytest.raises(ValueError, match=re.escape(message)) as info:
        encoder.__setstate__(state)
    assert str(info.value) == message
    assert parse_state(encoder.__getstate__()) == WORKED_PARSED
    encoder.__setstate__(EMPTY_STATE)  # the borrow was released
    assert encoder.__getstate__() == EMPTY_STATE


# Column indices, counts and lengths are read as 64-bit values into the size type, which has 32
# bits on 32-bit platforms: there a larger value is refused, while 64 bits read on.
SIZE_MAX = 2 * sys.maxsize + 1
NARROW = SIZE_MAX < 2**64 - 1
INDEX_TEXT = "invalid value: integer `{}`, expected usize"
SIZE_TEXT = "Invalid size {}: sizes must fit in a usize (0 to " + str(SIZE_MAX) + ")"
FIRST_FORWARD_MAP = b"\x01" + u64(0) + u64(1) + u64(0)  # no columns, one forward map: column 0


@pytest.mark.parametrize(
    "state, narrow_error, wide_error",
    [
        (build_state([2**32], [], []), INDEX_TEXT.format(2**32), None),
        (build_state([], [(2**32, [])], []), INDEX_TEXT.format(2**32), None),
        (build_state([], [], [(2**64 - 1, [])]), INDEX_TEXT.format(2**64 - 1), None),
        (b"\x01" + u64(2**32), SIZE_TEXT.format(2**32), EOF_TEXT),
        (FIRST_FORWARD_MAP + u64(2**64 - 1), SIZE_TEXT.format(2**64 - 1), EOF_TEXT),
        (FIRST_FORWARD_MAP + u64(1) + u64(2**32 + 1) + b"abc", SIZE_TEXT.format(2**32 + 1),
         "io error: "),
        (build_state([2**32 - 1], [(2**32 - 1, [("x", 2**64 - 1)])],
                     [(2**32 - 1, [(2**64 - 1, "x")])]), None, None),
    ],
    ids=["column", "forward-key", "inverse-key", "column-count", "entry-count", "text-length",
         "largest-32-bit"],
)
def test_values_beyond_the_size_type(state, narrow_error, wide_error):
    error = narrow_error if NARROW else wide_error
    encoder = encoder_with(WORKED)
    if error is None:
        encoder.__setstate__(state)
        assert parse_state(encoder.__getstate__()) == parse_state(state)
        return
    with pytest.raises(ValueError) as info:
        encoder.__setstate__(state)
    assert str(info.value) == error
    assert parse_state(encoder.__getstate__()) == WORKED_PARSED


@pytest.mark.parametrize(
    "state, message",
    [
        (bytearray(EMPTY_STATE), "'bytearray' object is not an instance of 'bytes'"),
        (EMPTY_STATE.decode(), "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (memoryview(EMPTY_STATE), "'memoryview' object is not an instance of 'bytes'"),
        (5, "'int' object is not an instance of 'bytes'"),
    ],
    ids=["bytearray", "str", "None", "memoryview", "int"],
)
def test_setstate_refuses_non_bytes_with_a_note(state, message):
    encoder = encoder_with(WORKED)
    with pytest.raises(TypeError, match=re.escape(message)) as info:
        encoder.__setstate__(state)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'state'"]
    assert parse_state(encoder.__getstate__()) == WORKED_PARSED


def test_setstate_accepts_bytes_subclass_and_keyword():
    class Blob(bytes):
        def __getitem__(self, index):
            raise AssertionError("the raw bytes are read directly")

    encoder = Encoder()
    encoder.__setstate__(Blob(WORKED))
    assert parse_state(encoder.__getstate__()) == WORKED_PARSED
    encoder.__setstate__(state=Blob(EMPTY_STATE))
    assert encoder.__getstate__() == EMPTY_STATE


@pytest.mark.parametrize("trailing", [b"\x00", b"\xff" * 3, EMPTY_STATE * 10])
def test_trailing_bytes_are_ignored(trailing):
    assert encoder_with(EMPTY_STATE + trailing).__getstate__() == EMPTY_STATE
    assert parse_state(encoder_with(WORKED + trailing).__getstate__()) == WORKED_PARSED


def test_repeated_keys_keep_the_last_value():
    state = build_state(
        [2, 2],
        [(2, [("old", 0)]), (2, [("x", 1), ("y", None), ("x", 7)])],
        [(2, [(7, "first"), (7, "second")])],
    )
    assert parse_state(encoder_with(state).__getstate__()) == (
        [2, 2], {2: {"x": 7, "y": None}}, {2: {7: "second"}})


def test_restored_state_is_not_checked_for_consistency():
    # Columns, maps and codes need not agree; the state is taken as it comes.
    state = build_state([9, 3, 9], [(4, [("a", 17)])], [(5, [(2, "b")])])
    assert parse_state(encoder_with(state).__getstate__()) == (
        [9, 3, 9], {4: {"a": 17}}, {5: {2: "b"}})


def test_large_state_round_trips_once_through_the_boundary():
    entries = [(f"value-{i}", i) for i in range(20000)]
    state = build_state([0], [(0, entries)], [(0, [(c, t) for t, c in entries])])
    encoder = encoder_with(state)
    written = encoder.__getstate__()
    assert len(written) == len(state)
    assert parse_state(written) == parse_state(state)


def test_state_calls_do_not_leak_references():
    encoder = Encoder()
    state = bytes(WORKED)
    before = sys.getrefcount(state)
    for _ in range(100):
        encoder.__setstate__(state)
        with pytest.raises(ValueError):
            encoder.__setstate__(state[:50])
    assert sys.getrefcount(state) == before


def test_threads_pickle_their_own_encoders_and_share_one():
    shared = encoder_with(UNICODE)
    barrier = threading.Barrier(8)
    failures = []

    def work(seed):
        try:
            own = Encoder()
            barrier.wait()
            for i in range(200):
                own.__setstate__(WORKED if (i + seed) % 2 else UNICODE)
                restored = pickle.loads(pickle.dumps(own))
                assert parse_state(restored.__getstate__()) == parse_state(own.__getstate__())
                assert parse_state(shared.__getstate__()) == parse_state(UNICODE)
        except Exception as error:  # reported on the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


_texts = st.one_of(st.text(max_size=8), st.sampled_from(["nan", "NaN", "<NA>"]))
_codes = st.integers(0, 2**64 - 1)
_columns = st.integers(0, 2**32 - 1)


@settings(max_examples=100, deadline=None)
@given(
    columns=st.lists(_columns, max_size=5),
    forward=st.dictionaries(_columns, st.dictionaries(_texts, st.none() | _codes, max_size=6),
                            max_size=4),
    inverse=st.dictionaries(_columns, st.dictionaries(_codes, _texts, max_size=6), max_size=4),
)
def test_any_state_restores_and_writes_back_equal(columns, forward, inverse):
    state = build_state(columns, [(c, list(m.items())) for c, m in forward.items()],
                        [(c, list(m.items())) for c, m in inverse.items()])
    written = encoder_with(state).__getstate__()
    assert len(written) == len(state)
    assert parse_state(written) == (columns, forward, inverse)


# Tests below learn their state through encode.

TABLE = np.array([["a", 1.5, "x"], ["b", 2.0, "<NA>"], ["a", 3.0, "y"]], dtype=object)


def test_learned_state_pickles_and_decodes_alike():
    original = Encoder()
    codes, categorical = original.encode(TABLE)
    state = original.__getstate__()
    columns, forward, inverse = parse_state(state)
    assert columns == categorical == [0, 2]
    assert forward == {0: {"a": 0, "b": 1}, 2: {"x": 0, "y": 1, "<NA>": None}}
    assert inverse == {0: {0: "a", 1: "b"}, 2: {0: "x", 1: "y"}}
    for restored in (pickle.loads(pickle.dumps(original, protocol=5)), copy.deepcopy(original)):
        assert len(restored.__getstate__()) == len(state)
        assert parse_state(restored.__getstate__()) == parse_state(state)
        # repr compares the missing cells too (NaN is not equal to itself).
        assert repr(restored.decode(codes).tolist()) == repr(original.decode(codes).tolist())


def test_copy_keeps_its_state_when_the_original_learns_again():
    original = Encoder()
    codes, _ = original.encode(TABLE)
    duplicate = copy.copy(original)
    original.encode(np.array([["q"], ["r"]], dtype=object))
    assert list(duplicate.decode(codes)[:, 0]) == ["a", "b", "a"]
    original.encode(np.zeros((2, 2)))
    assert original.__getstate__() == EMPTY_STATE
    assert parse_state(duplicate.__getstate__())[0] == [0, 2]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.__setstate__(EMPTY_STATE), "Already borrowed"),
        (lambda e: e.__setstate__("not bytes"), "Already borrowed"),  # the conflict wins
        (lambda e: e.__getstate__(), "Already mutably borrowed"),
    ],
    ids=["setstate", "setstate-wrong-type", "getstate"],
)
def test_state_methods_refused_while_encoding(call, message):
    encoder = Encoder()
    cell = Reentrant(lambda: call(encoder))
    encoder.encode(np.array([[cell], ["other"]], dtype=object))
    assert isinstance(cell.outcome, RuntimeError) and str(cell.outcome) == message
    assert parse_state(encoder.__getstate__())[0] == [0]


@pytest.mark.parametrize(
    "state, error, message",
    [
        (build_state([7], [], [(7, [(0, "a")])]), "ValueError",
         "the table has 2 columns, fewer than the 8 that the learned categorical columns need "
         "(the learned encoding lists column 7 as categorical)"),
        (build_state([0], [(0, [("a", 0)])], []), "PanicException", "no entry found for key"),
    ],
    ids=["column-beyond-table", "no-inverse-map"],
)
def test_decoding_with_a_restored_foreign_state_fails_cleanly(state, error, message):
    # Restored states are not checked, so decoding must guard against them itself.
    encoder = encoder_with(state)
    with pytest.raises(BaseException) as info:
        encoder.decode(np.zeros((2, 2)))
    assert type(info.value).__name__ == error
    assert str(info.value) == message
