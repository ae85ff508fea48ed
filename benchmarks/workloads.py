"""Seeded input tables for the benchmark suite, and what each candidate is told about them.

Every table is built from a fixed seed, so each benchmark process rebuilds exactly the same data.
Texts come from per-column vocabularies drawn once; a column's cells are references to those
vocabulary strings, as they are after a typical load where equal texts share one object.
"""

from __future__ import annotations

import functools
import os
import tempfile
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np

SEED = 20240611

# Printable ASCII letters and digits, and a set of non-ASCII letters (two- and three-byte UTF-8)
# mixed with ASCII ones for the non-ASCII column.
def code_points(text: str) -> np.ndarray:
    return np.array([ord(c) for c in text], dtype=np.uint32)


ASCII_ALPHABET = code_points("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
NON_ASCII_ALPHABET = code_points("aeiouxyzäöüßéèêñçøåæœłđžšπλσωжщыяюदमन漢字仮名")


@dataclass
class Workload:
    """One benchmark job: its input, what it times, and what peers are told about the columns."""

    key: str
    title: str
    operation: str  # "encode" or "decode"
    kind: str  # "array", "frame", "float", "polars" (a polars DataFrame) or "arrow" (a pyarrow Table)
    data: object = None
    # Indices of the columns a peer must encode (vexilo finds them itself) and of the numeric ones.
    categorical: list[int] = field(default_factory=list)
    numeric: list[int] = field(default_factory=list)
    # String columns without missing values: where every peer's definition of a code can agree.
    comparable: list[int] = field(default_factory=list)
    shape: tuple[int, int] = (0, 0)
    # Makes data in the process that measures, for a library whose threads would not survive
    # the fork into it (polars and pyarrow start theirs when they read).
    loader: Callable[[], object] | None = None
    # A decode whose categorical columns come back as category columns (decode's as_category).
    as_category: bool = False

    def loaded(self) -> Workload:
        """The workload with its data made, where a loader makes it."""
        return self if self.loader is None else replace(self, data=self.loader(), loader=None)

    def head(self, rows: int) -> Workload:
        """The same workload on the first rows only (a view where the input allows one)."""
        data = self.data.iloc[:rows] if hasattr(self.data, "iloc") else self.data[:rows]
        return replace(self, data=data, shape=(min(rows, self.shape[0]), self.shape[1]))


def random_texts(rng: np.random.Generator, count: int, min_len: int, max_len: int,
                 alphabet: np.ndarray) -> np.ndarray:
    """count random texts (object array of str) of min_len..max_len characters from alphabet.

    Built as a fixed-width NumPy unicode array whose trailing NULs NumPy drops, then boxed.
    """
    points = alphabet[rng.integers(0, alphabet.size, size=(count, max_len))]
    lengths = rng.integers(min_len, max_len + 1, size=count)
    points[np.arange(max_len)[None, :] >= lengths[:, None]] = 0
    fixed = np.ascontiguousarray(points).view(f"<U{max_len}").reshape(count)
    return fixed.astype(object)


def vocabulary(rng: np.random.Generator, size: int, min_len: int, max_len: int,
               alphabet: np.ndarray = ASCII_ALPHABET) -> np.ndarray:
    """size distinct random texts, none of them a missing-value marker."""
    seen: dict[str, None] = {}
    while len(seen) < size:
        for text in random_texts(rng, 2 * (size - len(seen)) + 16, min_len, max_len, alphabet):
            if text not in ("nan", "NaN", "<NA>"):
                seen.setdefault(text)
            if len(seen) == size:
                break
    return np.array(list(seen), dtype=object)


def mixed_columns(rows: int, scale: float = 1.0) -> tuple[np.ndarray, list[str]]:
    """The W1 table: 8 columns, 5 of texts (one with missing values) and 3 of numbers.

    scale shrinks the vocabularies with the rows for the quick mode, keeping their proportions.
    """
    rng = np.random.default_rng(SEED)
    def card(n: int) -> int:
        return max(2, int(n * scale))
    table = np.empty((rows, 8), dtype=object)
    names = ["city", "product", "price", "customer", "quantity", "label_utf8", "status", "score"]
    table[:, 0] = vocabulary(rng, card(10), 4, 12)[rng.integers(0, card(10), rows)]
    table[:, 1] = vocabulary(rng, card(1_000), 6, 16)[rng.integers(0, card(1_000), rows)]
    table[:, 2] = np.round(rng.gamma(2.0, 30.0, rows), 2)  # boxed as Python floats
    table[:, 3] = vocabulary(rng, card(100_000), 8, 14)[rng.integers(0, card(100_000), rows)]
    table[:, 4] = rng.integers(1, 500, rows).tolist()  # Python ints
    table[:, 5] = vocabulary(rng, card(1_000), 3, 10, NON_ASCII_ALPHABET)[
        rng.integers(0, card(1_000), rows)]
    status = vocabulary(rng, 50, 5, 10)[rng.integers(0, 50, rows)]
    missing = rng.random(rows)
    status[missing < 0.025] = "nan"
    status[(missing >= 0.025) & (missing < 0.05)] = float("nan")
    table[:, 6] = status
    table[:, 7] = rng.standard_normal(rows)
    return table, names


def frame_of(table: np.ndarray, names: list[str], numeric: list[int]):
    """The same data as a DataFrame: text columns of object dtype, numbers as float64/int64."""
    import pandas as pd

    columns = {}
    for j, name in enumerate(names):
        if j in numeric:
            sample = table[0, j]
            dtype = np.int64 if isinstance(sample, int) else np.float64
            columns[name] = pd.Series(table[:, j].astype(dtype), copy=False)
        else:
            # An explicit object dtype: pandas 3 would otherwise convert the texts to its own
            # string type, a different input from the array's.
            columns[name] = pd.Series(table[:, j], dtype=object, copy=False)
    return pd.DataFrame(columns, copy=False)


W1_CATEGORICAL = [0, 1, 3, 5, 6]
W1_NUMERIC = [2, 4, 7]
W1_COMPARABLE = [0, 1, 3, 5]

# Full sizes; the quick mode divides the rows (and the W1 vocabularies) by QUICK_DIVISOR.
FULL_ROWS = {"W1": 1_000_000, "W3": 20_000, "W4": 2_000_000, "W5": 5_000_000}
QUICK_DIVISOR = 50

TITLES = {
    "W1": "encode: mixed object array, {rows:,} x {cols}",
    "W2": "encode: the W1 data as a DataFrame, {rows:,} x {cols}",
    "W3": "encode: wide object array, {rows:,} x {cols}",
    "W4": "encode: high cardinality, {rows:,} x {cols}",
    "W5": "encode: float64 array, {rows:,} x {cols}",
    "W6": "decode: W1's codes (array), {rows:,} x {cols}",
    "W7": "decode: W2's codes (DataFrame), {rows:,} x {cols}",
    "W8": "encode: the W1 data as a CSV read by pandas.read_csv, default dtypes, {rows:,} x {cols}",
    "W8p": "encode: W8 read with string_storage=\"python\", {rows:,} x {cols}",
    "W9": "encode: W8 with dtype=\"category\" for the texts, {rows:,} x {cols}",
    "W10": "encode: W8 read with engine=\"pyarrow\", dtype_backend=\"pyarrow\", {rows:,} x {cols}",
    "W11": "encode: the W8 frame, texts astype(object) (equal texts apart), {rows:,} x {cols}",
    "W11a": "encode: the W8 frame as to_numpy(dtype=object), {rows:,} x {cols}",
    "W12": "encode: the W8 CSV read by polars.read_csv (texts as string views), {rows:,} x {cols}",
    "W13": "encode: the W8 CSV read by pyarrow.csv.read_csv (a pyarrow Table), {rows:,} x {cols}",
    "W14": "decode: W12's codes to a polars DataFrame, {rows:,} x {cols}",
    "W15": "decode: W2's codes (DataFrame) to category columns, {rows:,} x {cols}",
}
ORDER = ["W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8", "W8p", "W9", "W10", "W11", "W11a",
         "W12", "W13", "W14", "W15"]
# The workloads built from W1's data, with the rows and vocabularies of W1.
FROM_W1 = {"W2", "W6", "W7", "W8", "W8p", "W9", "W10", "W11", "W11a", "W12", "W13", "W14",
           "W15"}
# The workloads read by another library than pandas, and the kind of table it gives.
OTHER_READERS = {"W12": "polars", "W13": "arrow", "W14": "polars"}


def title(key: str, quick: bool = False) -> str:
    """The workload's description with its row and column counts."""
    base = "W1" if key in FROM_W1 else key
    rows = max(100, FULL_ROWS[base] // (QUICK_DIVISOR if quick else 1))
    cols = {"W1": 8, "W3": 400, "W4": 1, "W5": 10}[base]
    return TITLES[key].format(rows=rows, cols=cols)


def w1_csv(rows: int, scale: float) -> Path:
    """The W1 table written as a CSV file (pandas' to_csv of the W2 frame), made once per size.

    Kept in the temporary folder under a name that holds the seed and the size, so that the
    workload processes of one run (and later runs) share it; written under a temporary name and
    renamed, so a reader never sees half a file.
    """
    path = Path(tempfile.gettempdir()) / f"vexilo-bench-w1-{SEED}-{rows}-{scale:g}.csv"
    if not path.exists():
        table, names = mixed_columns(rows, scale)
        part = path.with_suffix(f".{os.getpid()}.part")
        frame_of(table, names, W1_NUMERIC).to_csv(part, index=False)
        os.replace(part, path)
    return path


def csv_frame(key: str, rows: int, scale: float):
    """The W1 CSV as pandas reads it for workload key (W8, W8p, W9, W10, W11, W11a), or as polars
    (W12, W14) or pyarrow (W13) read it."""
    path = w1_csv(rows, scale)
    if OTHER_READERS.get(key) == "polars":
        import polars as pl

        return pl.read_csv(path)
    if key == "W13":
        import pyarrow.csv

        return pyarrow.csv.read_csv(path)
    import pandas as pd

    if key == "W8p":
        with pd.option_context("mode.string_storage", "python"):
            return pd.read_csv(path)
    if key == "W9":
        names = pd.read_csv(path, nrows=0).columns
        return pd.read_csv(path, dtype={names[j]: "category" for j in W1_CATEGORICAL})
    if key == "W10":
        return pd.read_csv(path, engine="pyarrow", dtype_backend="pyarrow")
    frame = pd.read_csv(path)
    if key in ("W11", "W11a"):
        # Every cell its own str object, as astype(object) (and most parsers) give them.
        frame = frame.astype({frame.columns[j]: object for j in W1_CATEGORICAL})
        if key == "W11a":
            return frame.to_numpy(dtype=object)
    return frame


def build(key: str, quick: bool = False) -> Workload:
    """The workload named key (see ORDER) with its data, at full or quick size."""
    divisor = QUICK_DIVISOR if quick else 1
    def rows(base: str) -> int:
        return max(100, FULL_ROWS[base] // divisor)
    scale = 1.0 / divisor

    if key in ("W1", "W2", "W6", "W7", "W15"):
        table, names = mixed_columns(rows("W1"), scale)
        frame = key in ("W2", "W7", "W15")
        decode = key in ("W6", "W7", "W15")
        work = Workload(key, title(key, quick), "decode" if decode else "encode",
                        "frame" if frame else "array",
                        frame_of(table, names, W1_NUMERIC) if frame else table,
                        list(W1_CATEGORICAL), list(W1_NUMERIC), list(W1_COMPARABLE), table.shape,
                        as_category=key == "W15")
        return work
    if key in OTHER_READERS:
        w1_csv(rows("W1"), scale)  # written here, read in each measuring process
        return Workload(key, title(key, quick), "decode" if key == "W14" else "encode",
                        OTHER_READERS[key], None, list(W1_CATEGORICAL), list(W1_NUMERIC),
                        list(W1_COMPARABLE), (rows("W1"), 8),
                        functools.partial(csv_frame, key, rows("W1"), scale))
    if key in FROM_W1:
        data = csv_frame(key, rows("W1"), scale)
        kind = "array" if key == "W11a" else "frame"
        return Workload(key, title(key, quick), "decode" if key == "W14" else "encode", kind,
                        data, list(W1_CATEGORICAL), list(W1_NUMERIC), list(W1_COMPARABLE),
                        data.shape)
    if key == "W3":
        rng = np.random.default_rng(SEED + 3)
        n, m, k = rows("W3"), 400, 20
        codes = rng.integers(0, k, size=(n, m))
        table = np.empty((n, m), dtype=object)
        for j in range(m):
            table[:, j] = vocabulary(rng, k, 4, 12)[codes[:, j]]
        return Workload(key, title(key, quick), "encode", "array", table, list(range(m)), [],
                        list(range(m)), table.shape)
    if key == "W4":
        rng = np.random.default_rng(SEED + 4)
        n = rows("W4")
        texts = random_texts(rng, n, 8, 20, ASCII_ALPHABET)  # 62^8 and up: nearly all distinct
        markers = np.isin(texts, ["nan", "NaN", "<NA>"])
        texts[markers] = "x" * 9
        table = texts.reshape(n, 1)
        return Workload(key, title(key, quick), "encode", "array", table, [0], [], [0],
                        table.shape)
    if key == "W5":
        rng = np.random.default_rng(SEED + 5)
        n = rows("W5")
        table = rng.standard_normal((n, 10))
        return Workload(key, title(key, quick), "encode", "float", table, [], list(range(10)), [],
                        table.shape)
    raise KeyError(key)
