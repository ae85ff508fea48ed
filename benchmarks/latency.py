"""The fixed cost of small calls: medians and p99 of many one-row (and hundred-row) calls.

Run: PYTHONPATH=<build dir> python3 benchmarks/latency.py [--quick] [--sizes 10,1000,100000]
For each state size (labels per categorical column), an encoder learns a table of three
categorical columns of that many labels each plus a number column; then each case is called many
times after a warm-up, every call timed alone with time.perf_counter_ns (the garbage collector off,
as timeit does), and the median and 99th percentile of the per-call times are printed as a
markdown table, with the target each case has and whether it is met (p99 within 2x the median
too). --quick runs fewer calls and smaller tables: a smoke run, not figures.
"""

import argparse
import gc
import os
import statistics
import sys
import time

import numpy as np

from vexilo import Encoder

CATEGORICAL = 3


def labels_of(size, column):
    return [f"c{column}-label-{i:06d}" for i in range(size)]


def learned_table(size):
    """The training table: every label of every column once, the rows shuffled per column."""
    rng = np.random.default_rng(size)
    columns = [np.array(labels_of(size, c), dtype=object)[rng.permutation(size)]
               for c in range(CATEGORICAL)]
    numbers = rng.random(size)
    table = np.empty((size, CATEGORICAL + 1), dtype=object)
    for c, column in enumerate(columns):
        table[:, c] = column
    table[:, CATEGORICAL] = numbers.tolist()
    return table


def rows_of(size, count, seed):
    """count rows of learned labels (a few unseen among them) and numbers, as an object array."""
    rng = np.random.default_rng(seed)
    table = np.empty((count, CATEGORICAL + 1), dtype=object)
    for c in range(CATEGORICAL):
        labels = labels_of(size, c) + [f"c{c}-unseen"]
        picks = rng.integers(0, len(labels), count)
        pool = np.array(labels, dtype=object)
        table[:, c] = pool[picks]
    table[:, CATEGORICAL] = rng.random(count).tolist()
    return table


def column_names():
    return [f"text{c}" for c in range(CATEGORICAL)] + ["number"]


def pandas_frame(table, text_dtype):
    import pandas as pd

    data = {}
    for c, name in enumerate(column_names()):
        if c < CATEGORICAL:
            values = [str(v) for v in table[:, c]]
            # pandas 3's default text dtype is what read_csv gives; object is the older default.
            data[name] = pd.Series(values, dtype=text_dtype) if text_dtype else pd.Series(values)
        else:
            data[name] = pd.Series(table[:, c].astype(np.float64))
    return pd.DataFrame(data)


def polars_frame(table):
    import polars as pl

    data = {name: [str(v) for v in table[:, c]] if c < CATEGORICAL
            else table[:, c].astype(np.float64) for c, name in enumerate(column_names())}
    return pl.DataFrame(data)


def per_call_ns(call, calls, warmup, budget_s=None):
    """Per-call wall times in ns of calls calls after warmup untimed ones; with budget_s, the
    calls stop once that many seconds were spent (ten calls at least)."""
    for _ in range(warmup):
        call()
    samples = []
    clock = time.perf_counter_ns
    deadline = None if budget_s is None else clock() + int(budget_s * 1e9)
    enabled = gc.isenabled()
    gc.disable()
    try:
        for i in range(calls):
            started = clock()
            call()
            samples.append(clock() - started)
            if deadline is not None and i >= 9 and started > deadline:
                break
    finally:
        if enabled:
            gc.enable()
    return samples


def summary(samples):
    ordered = sorted(samples)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    return statistics.median(ordered) / 1000.0, p99 / 1000.0


class Report:
    def __init__(self):
        self.rows = []

    def add(self, case, size, samples, target_us=None, note=""):
        median, p99 = summary(samples)
        verdict = ""
        if target_us is not None:
            met = median <= target_us and p99 <= 2 * median
            verdict = "yes" if met else "no"
        self.rows.append((case, size, median, p99, target_us, verdict, note))
        print(f"  {case} [{size:,}]: median {median:.2f} us, p99 {p99:.2f} us", file=sys.stderr)

    def print(self):
        print("| case | labels per column | median us | p99 us | target us | met | note |")
        print("|---|---|---|---|---|---|---|")
        for case, size, median, p99, target, verdict, note in self.rows:
            target_text = "" if target is None else f"<= {target:g}"
            print(f"| {case} | {size:,} | {median:.2f} | {p99:.2f} | {target_text} | {verdict} "
                  f"| {note} |")


def measure_size(report, size, args):
    calls, warmup = args.calls, args.calls // 10
    encoder = Encoder()
    train = learned_table(size)
    encoder.encode(train)
    one = rows_of(size, 1, seed=1)
    one[0, 0] = labels_of(size, 0)[size // 2]

    report.add("transform, 1-row object array", size,
               per_call_ns(lambda: encoder.transform(one), calls, warmup), 3)
    report.add("encode, 1-row object array", size,
               per_call_ns(lambda: Encoder().encode(one), calls, warmup), 5,
               "a fresh Encoder() included")
    fresh = Encoder()
    report.add("encode, 1-row object array, same encoder", size,
               per_call_ns(lambda: fresh.encode(one), calls, warmup), 5)

    # A per-cell dict lookup: what a hand-written server does with the learned labels.
    maps = [dict(zip(labels, range(len(labels)))) for labels in
            (encoder.categories[c] for c in range(CATEGORICAL))]
    row = list(one[0])

    def lookup():
        return [maps[c].get(row[c], float("nan")) for c in range(CATEGORICAL)] + [row[-1]]

    report.add("dict lookup per cell, 1 row (baseline)", size,
               per_call_ns(lookup, calls, warmup), None, f"{CATEGORICAL} lookups and a copy")

    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        for dtype, name in ((None, "default str"), (object, "object")):
            frame = pandas_frame(one, dtype)
            report.add(f"transform, 1-row pandas frame ({name})", size,
                       per_call_ns(lambda frame=frame: encoder.transform(frame), calls, warmup),
                       60)
        frame_encoder = Encoder()
        frame_encoder.encode(pandas_frame(train, None))
        frame = pandas_frame(one, None)
        codes = np.zeros((1, CATEGORICAL + 1))
        report.add("pandas DataFrame constructor, 1 row (baseline)", size,
                   per_call_ns(lambda: pd.DataFrame(codes, columns=frame.columns), calls, warmup),
                   None)
        measure_sklearn(report, size, train, one, calls, warmup)
    try:
        import polars  # noqa: F401
    except ImportError:
        polars = None
    if polars is not None:
        frame = polars_frame(one)
        report.add("transform, 1-row polars frame", size,
                   per_call_ns(lambda: encoder.transform(frame), calls, warmup), 20)

    report.add("categories access", size,
               per_call_ns(lambda: encoder.categories, max(50, calls // 20), 5), None,
               "cheap per access")

    measure_batches(report, size, encoder, args)


def measure_sklearn(report, size, train, one, calls, warmup):
    try:
        import sklearn.preprocessing as skp
        from vexilo.sklearn import OrdinalEncoder
    except ImportError:
        return
    train_frame = pandas_frame(train, None)
    frame = pandas_frame(one, None)
    ours = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(train_frame)
    report.add("vexilo.sklearn OrdinalEncoder.transform, 1-row frame", size,
               per_call_ns(lambda: ours.transform(frame), calls, warmup), None)
    peer = skp.OrdinalEncoder(handle_unknown="use_encoded_value",
                              unknown_value=-1).fit(train_frame)
    # The peer takes milliseconds a call, more with more labels: a few seconds of calls.
    report.add("sklearn.preprocessing.OrdinalEncoder.transform, 1-row frame (peer)", size,
               per_call_ns(lambda: peer.transform(frame), calls, 2, budget_s=3), None,
               "fewer calls: a time budget")


def measure_batches(report, size, encoder, args):
    """Many 100-row calls against one large call over the same number of rows: the per-call
    cost beyond the per-cell one. Target: a 100-row call within 2x the large call's per-cell cost
    for its cells plus 3 us."""
    small_rows, total = 100, args.large_rows
    big = rows_of(size, total, seed=2)
    batches = [big[i:i + small_rows].copy() for i in range(0, total, small_rows)]
    encoder.transform(big)
    started = time.perf_counter_ns()
    large = []
    for _ in range(args.large_repeats):
        started = time.perf_counter_ns()
        encoder.transform(big)
        large.append(time.perf_counter_ns() - started)
    large_ns = statistics.median(large)
    cells = small_rows * (CATEGORICAL + 1)
    per_cell = large_ns / (total * (CATEGORICAL + 1))
    position = iter(range(10**12))

    def small():
        encoder.transform(batches[next(position) % len(batches)])

    samples = per_call_ns(small, len(batches), len(batches) // 10)
    target = (2 * per_cell * cells) / 1000.0 + 3
    report.add(f"transform, {small_rows}-row object array ({len(batches):,} calls)", size,
               samples, target,
               f"one {total:,}-row call: {large_ns / 1e6:.1f} ms, {per_cell:.2f} ns a cell")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: few calls, small tables")
    parser.add_argument("--sizes", default=None, help="labels per column, comma-separated")
    parser.add_argument("--calls", type=int, default=None, help="timed calls per case")
    args = parser.parse_args()
    sizes = args.sizes or ("10,1000" if args.quick else "10,1000,100000")
    args.sizes = [int(s) for s in sizes.split(",")]
    if args.calls is None:
        args.calls = 200 if args.quick else 20_000
    args.large_rows = 10_000 if args.quick else 1_000_000
    args.large_repeats = 2 if args.quick else 7

    print(f"pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(default)')}, "
          f"{os.cpu_count()} processors; {args.calls:,} timed calls per case", file=sys.stderr)
    report = Report()
    for size in args.sizes:
        measure_size(report, size, args)
    report.print()


if __name__ == "__main__":
    main()
