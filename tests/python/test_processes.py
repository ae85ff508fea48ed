"""The module in processes made by fork: a child made after the worker pool started, or while
another thread of the parent encodes, gets a pool of its own and finishes its work; a failure in
a worker process reaches its parent.

Every scenario runs in a fresh interpreter, and every forked process ends itself by SIGALRM, so a
hang fails the test instead of hanging the suite.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import vexilo

# AddressSanitizer's allocator is not fork-safe: a child forked while another thread (a pool worker
# starting up, say) allocates may hang in its first allocation, whatever the module does.
pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork"),
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitizer's allocator cannot fork while other threads allocate"),
]

PRELUDE = """
import os, signal, sys, threading, time, traceback
import numpy as np
import vexilo

def table(rows, seed):
    rng = np.random.default_rng(seed)
    words = np.array([f"w{i}" for i in range(500)], dtype=object)
    cells = np.empty((rows, 3), dtype=object)
    cells[:, 0] = words[rng.integers(0, 500, rows)]
    cells[:, 1] = rng.random(rows)
    cells[:, 2] = words[rng.integers(0, 50, rows)]
    return cells

def check(rows, seed):
    cells = table(rows, seed)
    encoder = vexilo.Encoder()
    codes, categorical = encoder.encode(cells)
    assert categorical == [0, 2], categorical
    for col in (0, 2):
        ranks = {w: i for i, w in enumerate(sorted(set(cells[:, col]), key=str.encode))}
        assert codes[:, col].tolist() == [float(ranks[w]) for w in cells[:, col]]
    assert (encoder.decode(codes)[:, 0] == cells[:, 0]).all()
    words = np.array(cells[:, [0, 2]].tolist(), dtype=str)
    assert vexilo.Encoder().encode(words)[1] == [0, 1]
    return True

def forked(work):
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # the default action ends a child that hangs
        try:
            work()
            os._exit(0)
        except BaseException:
            traceback.print_exc()
            os._exit(1)
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    return "hung"
"""


def run_scenario(body):
    script = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(vexilo.__file__), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-c", script], env=env, timeout=240,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("ok"), result.stdout + result.stderr


def test_child_forked_after_the_pool_started_encodes():
    run_scenario("""
        check(20_000, 1)
        assert forked(lambda: check(20_000, 2)) == 0
        assert forked(lambda: forked(lambda: check(5_000, 3)) == 0 or sys.exit(1)) == 0
        check(20_000, 4)  # the parent's pool carries on
        print("ok")
    """)


def test_children_forked_while_another_thread_encodes():
    run_scenario("""
        check(3_000, 6)  # imports done first: a fork amid an import of the other thread would hang
        stop = threading.Event()
        errors = []
        def busy():
            try:
                while not stop.is_set():
                    check(30_000, 5)
            except BaseException as error:
                errors.append(error)
        worker = threading.Thread(target=busy)
        worker.start()
        try:
            for _ in range(12):
                status = forked(lambda: check(3_000, 6))
                assert status == 0, status
        finally:
            stop.set()
            worker.join(120)
        assert not errors, errors
        print("ok")
    """)


def test_fork_context_multiprocessing_pool():
    run_scenario("""
        import multiprocessing
        check(20_000, 7)
        context = multiprocessing.get_context("fork")
        with context.Pool(2, initializer=signal.alarm, initargs=(30,)) as pool:
            results = pool.starmap_async(check, [(10_000, s) for s in range(4)]).get(timeout=40)
        assert results == [True] * 4
        # A worker's internal failure reaches the parent as itself, message and all.
        from concurrent.futures import ProcessPoolExecutor
        broken = vexilo.Encoder()
        broken.__setstate__(b"\\x01" + (1).to_bytes(8, "little") + bytes(28))
        with ProcessPoolExecutor(1, mp_context=context, initializer=signal.alarm,
                                 initargs=(30,)) as pool:
            try:
                pool.submit(broken.decode, np.zeros((1, 1))).result(timeout=40)
            except vexilo.PanicException as error:
                assert str(error) == "no entry found for key", error
            else:
                raise AssertionError("no failure")
        print("ok")
    """)
