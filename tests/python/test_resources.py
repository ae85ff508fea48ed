"""What calls cost: a wide table takes memory in proportion to its cells and categorical columns,
not a fixed amount per column."""

import gc

import numpy as np
import pytest

from vexilo import Encoder


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def peak_rise(call):
    """How far the process's peak resident set rises above its size before call."""
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # the peak starts again from the current size
    except OSError:
        pytest.skip("needs a resettable peak resident set (/proc/self/clear_refs)")
    before = status_bytes("VmRSS")
    result = call()
    return status_bytes("VmHWM") - before, result


@pytest.mark.parametrize("shape", [(1, 1_000_000), (10, 100_000)])
@pytest.mark.parametrize("cells", ["int64", "object"])
def test_wide_tables_of_numbers_cost_their_cells(shape, cells):
    table = np.ones(shape, dtype=np.int64)
    if cells == "object":
        table = table.astype(object)
    encoder = Encoder()
    encoder.encode(np.array([["warm", 1]], dtype=object))  # the pool is started
    moved = table.nbytes + table.size * 8  # in, and the float64 codes out
    rise, (codes, categorical) = peak_rise(lambda: encoder.encode(table))
    assert categorical == [] and codes.shape == shape
    assert rise <= 3 * moved, rise
    rise, coded = peak_rise(lambda: encoder.transform(table))
    assert coded.shape == shape
    assert rise <= 3 * moved, rise
    decoded_bytes = table.size * (8 + 24)  # an object array of floats
    rise, decoded = peak_rise(lambda: encoder.decode(codes))
    assert decoded.shape == shape
    assert rise <= 3 * (codes.nbytes + decoded_bytes), rise


def test_decode_costs_nothing_per_column_the_state_does_not_list():
    encoder = Encoder()
    encoder.encode(np.array([["a", "b"]], dtype=object))
    rise, decoded = peak_rise(lambda: encoder.decode(np.empty((0, 10_000_000))))
    assert decoded.shape == (0, 10_000_000)
    assert rise < 32 << 20, rise
