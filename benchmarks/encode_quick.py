"""Quick measurement of Encoder.encode on a 1,000,000 x 8 object array, next to pandas'
factorize(sort=True) per column and scikit-learn's OrdinalEncoder on the same text columns.

Run: PYTHONPATH=<build dir> python3 benchmarks/encode_quick.py [--rows N] [--repeat R]
Five text columns of cardinality 10, 1,000, 100,000, 1,000 and 50; three numeric columns (floats,
ints, floats). Cells of a text column share one str object per distinct text, as after a load.
Prints the best of R runs of each contender; every number is wall-clock seconds.
"""

import argparse
import os
import resource
import time

import numpy as np
import pandas as pd

from vexilo import Encoder

CARDINALITIES = [10, 1_000, 100_000, 1_000, 50]


def build_table(rows, seed=20240611):
    rng = np.random.default_rng(seed)
    table = np.empty((rows, 8), dtype=object)
    for col, cardinality in enumerate(CARDINALITIES):
        vocabulary = np.array([f"c{col}-{i:06d}-{rng.integers(1 << 30):x}" for i in range(cardinality)],
                              dtype=object)
        table[:, col] = vocabulary[rng.integers(0, cardinality, rows)]
    table[:, 5] = rng.normal(size=rows).tolist()
    table[:, 6] = rng.integers(-1000, 1000, rows).tolist()
    table[:, 7] = rng.uniform(size=rows).tolist()
    return table


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    table = build_table(args.rows)
    texts = table[:, :5]
    print(f"table: {table.shape[0]:,} x {table.shape[1]} object array; "
          f"pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(default)')}, "
          f"{os.cpu_count()} processors")

    encoder = Encoder()
    result, categorical = encoder.encode(table)
    assert categorical == [0, 1, 2, 3, 4], categorical
    # The codes agree with pandas' sorted factorization of the same texts.
    for col in range(5):
        codes, _ = pd.factorize(texts[:, col], sort=True)
        assert np.array_equal(result[:, col], codes), col
    assert np.array_equal(result[:, 5:], table[:, 5:].astype(np.float64))

    rows = [("vexilo Encoder.encode (all 8 columns)", best_of(args.repeat, lambda: encoder.encode(table)))]
    rows.append(("pandas factorize(sort=True), 5 text columns",
                 best_of(args.repeat, lambda: [pd.factorize(texts[:, c], sort=True) for c in range(5)])))
    try:
        from sklearn.preprocessing import OrdinalEncoder
    except ImportError:
        rows.append(("scikit-learn OrdinalEncoder: not installed", float("nan")))
    else:
        rows.append(("scikit-learn OrdinalEncoder().fit_transform, 5 text columns",
                     best_of(args.repeat, lambda: OrdinalEncoder().fit_transform(texts))))
    for name, seconds in rows:
        print(f"{name:<64} {seconds:8.3f} s")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak resident memory of the process: {peak:,.0f} MiB")


if __name__ == "__main__":
    main()
