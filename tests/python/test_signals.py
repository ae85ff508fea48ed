"""Signals during long calls: a handler's exception (Ctrl-C's KeyboardInterrupt) ends an encode,
transform or decode soon after the signal and leaves the encoder's state as it was; handlers that return, even
ones that change the table being read, let the call finish soundly."""

import signal
import time

import numpy as np
import pandas as pd
import pytest

from vexilo import Encoder

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")

ROWS = 250_000
CASES = ["encode-object-array", "encode-unicode-array", "encode-frame", "transform-object-array",
         "transform-frame", "decode-array", "decode-frame"]


class Stop(Exception):
    pass


@pytest.fixture(scope="module")
def texts():
    rng = np.random.default_rng(3)
    cells = [f"{x:x}" for x in rng.integers(0, 2**62, size=ROWS * 4)]
    return np.array(cells, dtype=object).reshape(ROWS, 4)


def prepare(texts, case):
    """(encoder with a learned state, call) for case."""
    frame = pd.DataFrame(texts, columns=list("abcd"), dtype=object)
    if case.startswith("decode"):
        encoder = Encoder()
        codes, _ = encoder.encode(frame if case.endswith("frame") else texts)
        return encoder, lambda: encoder.decode(codes)
    if case.startswith("transform"):
        encoder = Encoder()
        encoder.encode(texts)
        data = frame if case.endswith("frame") else texts
        return encoder, lambda: encoder.transform(data)
    encoder = Encoder()
    encoder.encode(texts[:100])
    data = {"encode-object-array": texts, "encode-unicode-array": texts.astype(str),
            "encode-frame": frame}[case]
    return encoder, lambda: encoder.encode(data)


def run_with_alarm(handler, seconds, call, interval=0.0):
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds, interval)
        return call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("case, raised", [(case, KeyboardInterrupt) for case in CASES]
                         + [("encode-object-array", Stop)])
def test_signal_ends_the_call_soon_and_keeps_the_state(texts, case, raised):
    encoder, call = prepare(texts, case)
    state = encoder.__getstate__()
    start = time.perf_counter()
    expected = call()
    whole = time.perf_counter() - start

    def handler(signum, frame):
        raise raised("signal")

    encoder.__setstate__(state)
    start = time.perf_counter()
    with pytest.raises(raised):
        run_with_alarm(handler, whole * 0.2, call)
    late = time.perf_counter() - start - whole * 0.2
    assert late < max(0.3, 0.45 * whole), (late, whole)
    assert encoder.__getstate__() == state
    # Nothing of the stopped call lingers: the next call gives the same result.
    again = call()
    if isinstance(expected, tuple):
        np.testing.assert_array_equal(np.asarray(again[0]), np.asarray(expected[0]))
        assert again[1] == expected[1]
    else:
        assert np.asarray(again).tolist() == np.asarray(expected).tolist()


@pytest.mark.parametrize("change", ["replace-cells", "resize", "reshape"])
def test_handlers_that_change_the_table_meanwhile_end_in_a_result_or_a_clean_failure(texts,
                                                                                     change):
    table = texts[:100_000].copy()
    runs = []

    def handler(signum, frame):
        runs.append(signum)
        if change == "replace-cells":
            table[::7, 1] = "replaced"
        elif change == "resize" and len(runs) == 3:
            table.resize((50_000, 4), refcheck=False)
        elif change == "reshape" and len(runs) == 3:
            table.shape = (200_000, 2)

    encoder = Encoder()
    try:
        codes, categorical = run_with_alarm(handler, 0.001, lambda: encoder.encode(table), 0.001)
    except BaseException as error:  # noqa: BLE001 - a changed table may end in PanicException
        assert type(error).__name__ == "PanicException", repr(error)
        return
    assert runs
    assert categorical == list(range(codes.shape[1]))
    labels = encoder.decode(codes)
    assert labels.shape == codes.shape
    if change == "replace-cells":
        # Every decoded cell is the cell's text before or after the replacement.
        original = texts[:100_000]
        assert ((labels == original) | (labels == "replaced")).all()


@pytest.mark.parametrize("raised, keeps_old_state", [(KeyboardInterrupt, True), (ValueError, False)])
def test_interrupt_while_the_frame_result_is_built_keeps_the_state(monkeypatch, raised,
                                                                   keeps_old_state):
    encoder = Encoder()
    encoder.encode(np.array([["a"]], dtype=object))
    old_state = encoder.__getstate__()
    frame = pd.DataFrame({"x": ["p", "q"]}, dtype=object)

    def refuse(*args, **kwargs):
        raise raised("stop")

    monkeypatch.setattr(pd, "DataFrame", refuse)
    with pytest.raises(raised, match="stop"):
        encoder.encode(frame)
    monkeypatch.undo()
    # An output error leaves the new state in place; an interrupt restores the one before.
    assert (encoder.__getstate__() == old_state) == keeps_old_state
