"""The main job: load the sample orders, label-encode them with vexilo, as a DataFrame and as an
object array, and decode the codes back into their texts.

    python3 examples/demo.py [path/to/table.csv]
"""

import pathlib
import sys
import time

import numpy as np
import pandas as pd

from vexilo import Encoder

SAMPLE = pathlib.Path(__file__).resolve().parent / "sample_orders.csv"
SHOWN_ROWS = 5


def same_texts(original, decoded, missing):
    """True when every decoded cell is its original text, and missing values decode to `missing`."""
    for before, after in zip(original, decoded):
        if pd.isna(before):
            if after is not missing and after != missing:
                return False
        elif after != str(before):
            return False
    return True


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE
    started = time.perf_counter()
    frame = pd.read_csv(path)
    loaded = time.perf_counter()
    print(f"loaded {path.name}: {frame.shape[0]} rows x {frame.shape[1]} columns")

    # As a DataFrame: codes come back as a float64 frame with the same column names.
    encoder = Encoder()
    codes, categorical = encoder.encode(frame)
    decoded = encoder.decode(codes)
    frame_done = time.perf_counter()
    names = [frame.columns[c] for c in categorical]
    print(f"\ncategorical columns: {categorical} = {names}")
    with pd.option_context("display.width", 120, "display.max_columns", 20):
        print(f"\ncodes (first {SHOWN_ROWS} rows):\n{codes.head(SHOWN_ROWS)}")
        print(f"\ndecoded (first {SHOWN_ROWS} rows):\n{decoded.head(SHOWN_ROWS)}")
    frame_ok = all(same_texts(frame[n], decoded[n], None) for n in names)

    # As an object array: the same encoding, with "NaN" for missing texts when decoded.
    table = frame.to_numpy(dtype=object)
    array_encoder = Encoder()
    array_codes, array_categorical = array_encoder.encode(table)
    array_decoded = array_encoder.decode(array_codes)
    array_done = time.perf_counter()
    print(f"\nobject array: categorical columns {array_categorical}")
    with np.printoptions(linewidth=120, suppress=True):
        print(f"codes (first {SHOWN_ROWS} rows):\n{array_codes[:SHOWN_ROWS]}")
        print(f"decoded (first {SHOWN_ROWS} rows):\n{array_decoded[:SHOWN_ROWS]}")
    array_ok = array_categorical == categorical and all(
        same_texts(table[:, c], array_decoded[:, c], "NaN") for c in categorical
    )

    print(f"\nround trip: DataFrame {'ok' if frame_ok else 'MISMATCH'}, "
          f"object array {'ok' if array_ok else 'MISMATCH'}")
    print(f"time: load {1000 * (loaded - started):.1f} ms, "
          f"DataFrame encode+decode {1000 * (frame_done - loaded):.1f} ms, "
          f"object array encode+decode {1000 * (array_done - frame_done):.1f} ms, "
          f"total {1000 * (array_done - started):.1f} ms")
    return 0 if frame_ok and array_ok else 1


if __name__ == "__main__":
    sys.exit(main())
