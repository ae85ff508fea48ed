"""Decoding a 1,000,000 x 8 table of codes (5 categorical columns) with vexilo, next to
scikit-learn's OrdinalEncoder.inverse_transform and a pandas categories.take loop.

Run on demand, never from the test suite:  python3 benchmarks/decode_quick.py [--rows N]
Every figure is the best of a few runs (wall clock, or CPU time with --cpu); all tools decode
the same codes (no missing codes, since inverse_transform refuses NaN).
"""

import argparse
import time

import numpy as np
import pandas as pd

from vexilo import Encoder

CATEGORICAL = [0, 2, 3, 5, 7]
CARDINALITY = [12, 150, 2_000, 50_000, 3]
NAMES = ["city", "price", "product", "store", "customer", "weight", "discount", "channel"]


def best_of(repeats, call, clock):
    times = []
    for _ in range(repeats):
        start = clock()
        result = call()
        times.append(clock() - start)
        del result
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument(
        "--cpu", action="store_true",
        help="time by the process's CPU time (all threads) instead of the wall clock: steadier "
        "on a busy machine",
    )
    args = parser.parse_args()
    clock = time.process_time if args.cpu else time.perf_counter
    rows, repeats = args.rows, args.repeats
    rng = np.random.default_rng(7)

    labels = {
        c: [f"{NAMES[c]}-{i:06d}" for i in range(k)] for c, k in zip(CATEGORICAL, CARDINALITY)
    }
    # Train on a table holding every label once (zero-padded texts sort as their numbers, so
    # label i gets code i), then decode random codes of the full size.
    training = np.empty((max(CARDINALITY), 8), dtype=object)
    for c in range(8):
        column = labels.get(c)
        training[:, c] = (
            [column[i % len(column)] for i in range(len(training))] if column else 1.5
        )
    encoder = Encoder()
    _, categorical = encoder.encode(training)
    assert categorical == CATEGORICAL

    codes = rng.random((rows, 8)) * 100.0
    for c, k in zip(CATEGORICAL, CARDINALITY):
        codes[:, c] = rng.integers(0, k, rows)
    frame = pd.DataFrame(codes, columns=NAMES)

    from sklearn.preprocessing import OrdinalEncoder

    categories = [np.array(labels[c], dtype=object) for c in CATEGORICAL]
    ordinal = OrdinalEncoder(categories=categories)
    ordinal.fit(np.array([[labels[c][0] for c in CATEGORICAL]], dtype=object))
    categorical_codes = np.ascontiguousarray(codes[:, CATEGORICAL])
    indexes = {c: pd.Index(labels[c], dtype=object) for c in CATEGORICAL}

    def sklearn_full_table():
        out = codes.astype(object)
        out[:, CATEGORICAL] = ordinal.inverse_transform(categorical_codes)
        return out

    def pandas_take_loop():
        return [indexes[c].take(codes[:, c].astype(np.intp)) for c in CATEGORICAL]

    def pandas_frame():
        df = pd.DataFrame(codes, columns=NAMES)
        for c in CATEGORICAL:
            df.isetitem(c, pd.Series(indexes[c].take(codes[:, c].astype(np.intp)), dtype=object))
        return df

    # Sanity: every route gives the same labels.
    decoded = encoder.decode(codes)
    assert (decoded[:, CATEGORICAL] == ordinal.inverse_transform(categorical_codes)).all()
    assert encoder.decode(frame).equals(pandas_frame())

    # An encoder without state reads the input and returns its numbers: its time is the input
    # side of decode, so the difference to the routes above is the output side.
    stateless = Encoder()
    routes = [
        ("vexilo decode(ndarray) -> object ndarray, 8 columns", lambda: encoder.decode(codes)),
        ("vexilo decode(DataFrame) -> DataFrame", lambda: encoder.decode(frame)),
        ("vexilo, no state: decode(ndarray) -> float64 ndarray", lambda: stateless.decode(codes)),
        ("vexilo, no state: decode(DataFrame) -> float64 DataFrame",
         lambda: stateless.decode(frame)),
        ("sklearn inverse_transform, 5 categorical columns",
         lambda: ordinal.inverse_transform(categorical_codes)),
        ("sklearn, vexilo's object ndarray (astype + inverse_transform)", sklearn_full_table),
        ("pandas categories.take loop, 5 columns", pandas_take_loop),
        ("pandas, vexilo's DataFrame (take loop + isetitem)", pandas_frame),
    ]
    results = [(name, best_of(repeats, route, clock)) for name, route in routes]
    print(f"decoding {rows:,} x 8 codes, 5 categorical columns (cardinality {CARDINALITY}), "
          f"best of {repeats}, {'CPU time' if args.cpu else 'wall clock'}")
    width = max(len(name) for name, _ in results)
    for name, seconds in results:
        print(f"  {name:<{width}}  {seconds * 1000:8.1f} ms")


if __name__ == "__main__":
    main()
