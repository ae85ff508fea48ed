"""Several interpreter threads at once: separate encoders encoding, one shared encoder decoding.

On a free-threaded interpreter the calls really overlap (and share the one worker pool); with the
interpreter lock they interleave wherever Python code runs inside a call.
"""

import os
import sys
import sysconfig
import threading

import numpy as np
import pandas as pd
import pytest

from vexilo import Encoder

THREADS = 6
ROUNDS = 40


def table_for(seed):
    """A table whose expected codes are known: column 0 categorical, column 1 numeric."""
    rng = np.random.default_rng(seed)
    labels = np.array([f"t{seed}-{i}" for i in range(7)], dtype=object)
    picks = rng.integers(0, len(labels), size=64)
    table = np.empty((64, 2), dtype=object)
    table[:, 0] = labels[picks]
    table[:, 1] = rng.random(64)
    ranks = {label: code for code, label in enumerate(sorted(set(labels[picks]), key=str.encode))}
    expected = np.column_stack([[float(ranks[x]) for x in table[:, 0]], table[:, 1].astype(float)])
    return table, expected


def run_together(workers):
    """Starts every worker at one barrier; returns the exceptions they raised."""
    barrier = threading.Barrier(len(workers))
    errors = []

    def wrap(work):
        try:
            barrier.wait(30)
            work()
        except BaseException as error:  # noqa: BLE001 - reported to the test below
            errors.append(error)

    threads = [threading.Thread(target=wrap, args=(work,)) for work in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a worker thread hung"
    return errors


def test_separate_encoders_encode_while_a_shared_one_decodes():
    shared = Encoder()
    shared_table, shared_codes = table_for(1000)
    codes, _ = shared.encode(shared_table)
    np.testing.assert_array_equal(codes, shared_codes)

    def encoding(seed):
        def work():
            encoder = Encoder()
            table, expected = table_for(seed)
            for _ in range(ROUNDS):
                codes, columns = encoder.encode(table)
                np.testing.assert_array_equal(codes, expected)
                assert columns == [0]
                assert encoder.decode(codes)[:, 0].tolist() == table[:, 0].tolist()
        return work

    def decoding():
        for _ in range(ROUNDS):
            decoded = shared.decode(shared_codes)
            assert decoded[:, 0].tolist() == shared_table[:, 0].tolist()
            frame = shared.decode(pd.DataFrame(shared_codes, columns=["a", "b"]))
            assert frame["a"].tolist() == shared_table[:, 0].tolist()
            assert len(shared.__getstate__()) > 5

    workers = [encoding(seed) for seed in range(THREADS // 2)]
    workers += [decoding for _ in range(THREADS - THREADS // 2)]
    assert run_together(workers) == []


def test_shared_encoder_under_mixed_use_refuses_conflicts_and_never_corrupts_its_state():
    """One thread re-encodes the same table into a shared encoder while others decode with it;
    every call either gives the right answer or is refused with the exact borrow error."""
    shared = Encoder()
    table, expected = table_for(7)
    shared.encode(table)
    refusals = []

    def encoding():
        for _ in range(ROUNDS):
            try:
                codes, columns = shared.encode(table)
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                refusals.append(error)
                continue
            np.testing.assert_array_equal(codes, expected)
            assert columns == [0]

    def decoding():
        for _ in range(ROUNDS):
            try:
                frame = shared.decode(pd.DataFrame(expected, columns=["a", "b"]))
            except RuntimeError as error:
                assert str(error) == "Already mutably borrowed"
                refusals.append(error)
                continue
            assert frame["a"].tolist() == table[:, 0].tolist()

    assert run_together([encoding] + [decoding] * (THREADS - 1)) == []
    assert shared.decode(expected)[:, 0].tolist() == table[:, 0].tolist()


def test_module_keeps_a_free_threaded_interpreter_free_threaded():
    """Importing vexilo must not turn the GIL back on. Runs only on a free-threaded build; CI's
    free-threaded job sets VEXILO_EXPECT_FREE_THREADED so that it cannot be skipped there."""
    import vexilo  # noqa: F401

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    if not free_threaded:
        assert not os.environ.get("VEXILO_EXPECT_FREE_THREADED"), "not a free-threaded interpreter"
        pytest.skip("the interpreter has a GIL")
    assert not sys._is_gil_enabled()
