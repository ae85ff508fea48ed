"""The candidates: vexilo and the tools people use today for the same job.

Each candidate does the whole job from the same input object the caller holds:
- encode: from the input table to a float64 table of the same shape (a DataFrame for a DataFrame
  input) with the codes of the text columns and the numeric columns as doubles, missing -> NaN;
- decode: from its own codes of W1/W2 back to an object table (a DataFrame for W7) with the texts
  in the text columns and the numbers as Python floats; for W15 vexilo (and the peer that keeps
  pandas' category columns) gives category columns instead, which hold the same texts.
Peers are told which columns hold texts; vexilo finds that out itself. A peer is imported only
when its first job runs, so a missing package only removes that peer.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


@dataclass
class Candidate:
    name: str  # shown in the tables
    package: str  # the import whose version is recorded
    # encode(work) -> (table of codes, fitted state for decode)
    encode: Callable | None = None
    # decode(codes, fitted, work) -> decoded table
    decode: Callable | None = None
    # The workload kinds it takes: "array", "frame", "float".
    kinds: tuple[str, ...] = ("array", "frame")
    # Taken only by decodes to category columns (a workload's as_category).
    category_only: bool = False

    def version(self) -> str:
        module = importlib.import_module(self.package)
        return str(getattr(module, "__version__", "?"))

    def supports(self, work) -> bool:
        job = self.encode if work.operation == "encode" else self.decode
        if self.category_only and not work.as_category:
            return False
        return job is not None and work.kind in self.kinds


# ---------------------------------------------------------------------------- shared helpers


def columns_of(work):
    """(names or indices of the text columns, of the numeric ones) in the input's terms."""
    if work.kind == "frame":
        names = list(work.data.columns)
        return [names[j] for j in work.categorical], [names[j] for j in work.numeric]
    return list(work.categorical), list(work.numeric)


def column(data, key):
    """One column of an array (a strided view) or a frame (a Series)."""
    return data[key] if hasattr(data, "columns") else data[:, key]


def float_table(work, parts: dict) -> object:
    """The encode output: a float64 table of the input's shape from {column position: values}."""
    rows, cols = work.shape
    out = np.empty((rows, cols), dtype=np.float64)
    for j, values in parts.items():
        out[:, j] = values
    if work.kind == "frame":
        import pandas as pd

        return pd.DataFrame(out, columns=work.data.columns, copy=False)
    return out


def numeric_parts(work, codes_source=None) -> dict:
    """The numeric columns as float64, from the input (encode) or from a codes table (decode)."""
    source = work.data if codes_source is None else codes_source
    _, numeric_keys = columns_of(work)
    parts = {}
    for j, key in zip(work.numeric, numeric_keys):
        parts[j] = np.asarray(column(source, key), dtype=np.float64)
    return parts


def codes_to_float(codes: np.ndarray) -> np.ndarray:
    """Integer codes with negative values for missing -> float64 with NaN."""
    out = codes.astype(np.float64)
    out[codes < 0] = np.nan
    return out


def float_to_codes(codes: np.ndarray) -> np.ndarray:
    """float64 codes with NaN -> intp codes with -1 for missing."""
    return np.where(np.isnan(codes), -1, codes).astype(np.intp)


def object_table(work, parts: dict, codes):
    """The decode output: an object table from {column position: labels}, numbers boxed."""
    rows, cols = work.shape
    if work.kind == "frame":
        import pandas as pd

        names = list(work.data.columns)
        series = {}
        for j, name in enumerate(names):
            if j in parts:
                # object dtype stated: pandas 3 would otherwise convert texts to its string type
                series[name] = pd.Series(parts[j], dtype=object, copy=False)
            else:
                series[name] = pd.Series(np.asarray(codes[name], dtype=np.float64), copy=False)
        return pd.DataFrame(series, copy=False)
    out = np.empty((rows, cols), dtype=object)
    for j in range(cols):
        out[:, j] = parts[j] if j in parts else codes[:, j]
    return out


def decode_columns(codes, work):
    """(position, key, float codes) of each text column of a codes table."""
    keys, _ = columns_of(work)
    for j, key in zip(work.categorical, keys):
        yield j, key, np.asarray(column(codes, key), dtype=np.float64)


# ---------------------------------------------------------------------------- vexilo


def vexilo_encode(work):
    import vexilo

    encoder = vexilo.Encoder()
    codes, categorical = encoder.encode(work.data)
    return codes, (encoder, categorical)


def vexilo_decode(codes, fitted, work):
    encoder, _ = fitted
    if work.as_category:
        return encoder.decode(codes, as_category=True)
    return encoder.decode(codes)


# ---------------------------------------------------------------------------- scikit-learn


def sklearn_encode(work):
    from sklearn.preprocessing import OrdinalEncoder

    keys, _ = columns_of(work)
    encoder = OrdinalEncoder(dtype=np.float64)
    if work.kind == "frame":
        block = work.data[keys]
    elif len(keys) == work.shape[1]:
        block = work.data
    else:
        block = work.data[:, keys]
    encoded = encoder.fit_transform(block)
    parts = numeric_parts(work)
    for position, j in enumerate(work.categorical):
        parts[j] = encoded[:, position]
    return float_table(work, parts), encoder


def sklearn_decode(codes, encoder, work):
    block = np.column_stack([values for _, _, values in decode_columns(codes, work)])
    labels = encoder.inverse_transform(block)
    parts = {j: labels[:, position] for position, j in enumerate(work.categorical)}
    return object_table(work, parts, codes)


# ---------------------------------------------------------------------------- pandas


def factorize_encode(work):
    import pandas as pd

    keys, _ = columns_of(work)
    parts = numeric_parts(work)
    uniques = {}
    for j, key in zip(work.categorical, keys):
        codes, uniques[j] = pd.factorize(column(work.data, key), sort=True)
        parts[j] = codes_to_float(codes)
    return float_table(work, parts), uniques


def take_decode(codes, uniques, work):
    from pandas.api.extensions import take

    parts = {}
    for j, _, values in decode_columns(codes, work):
        parts[j] = take(np.asarray(uniques[j], dtype=object), float_to_codes(values),
                        allow_fill=True, fill_value=np.nan)
    return object_table(work, parts, codes)


def category_encode(work):
    import pandas as pd

    keys, _ = columns_of(work)
    parts = numeric_parts(work)
    categories = {}
    for j, key in zip(work.categorical, keys):
        if work.kind == "frame":
            values = work.data[key].astype("category").array
        else:
            values = pd.Categorical(work.data[:, key])  # what astype("category") builds
        categories[j] = values.categories
        parts[j] = codes_to_float(values.codes)
    return float_table(work, parts), categories


def category_decode(codes, categories, work):
    import pandas as pd

    parts = {}
    for j, _, values in decode_columns(codes, work):
        parts[j] = np.asarray(pd.Categorical.from_codes(float_to_codes(values), categories[j]),
                              dtype=object)
    return object_table(work, parts, codes)


def category_columns_decode(codes, categories, work):
    """The codes back as category columns: Categorical.from_codes per text column, no texts."""
    import pandas as pd

    names = list(work.data.columns)
    series = {}
    for j, name in enumerate(names):
        values = np.asarray(codes[name], dtype=np.float64)
        if j in categories:
            series[name] = pd.Series(pd.Categorical.from_codes(float_to_codes(values),
                                                               categories[j]), copy=False)
        else:
            series[name] = pd.Series(values, copy=False)
    return pd.DataFrame(series, copy=False)


# ---------------------------------------------------------------------------- category_encoders


def ce_encode(work):
    import category_encoders as ce

    keys, _ = columns_of(work)
    encoder = ce.OrdinalEncoder(cols=keys, handle_missing="value", handle_unknown="value")
    encoded = encoder.fit_transform(work.data)  # always a DataFrame; array columns named 0..m-1
    parts = {j: np.asarray(encoded.iloc[:, j], dtype=np.float64) for j in range(work.shape[1])}
    return float_table(work, parts), encoder


def ce_decode(codes, encoder, work):
    import pandas as pd

    if work.kind == "frame":
        frame = codes
    else:
        frame = pd.DataFrame(codes, copy=False)
    decoded = encoder.inverse_transform(frame)
    parts = {j: np.asarray(decoded.iloc[:, j], dtype=object) for j in work.categorical}
    return object_table(work, parts, codes)


# ---------------------------------------------------------------------------- polars


def polars_encode(work):
    import polars as pl
    import pyarrow as pa

    keys, _ = columns_of(work)
    parts = numeric_parts(work)
    if work.kind == "frame":
        texts = pl.from_pandas(work.data[keys])
        series = [texts[key] for key in keys]
    else:
        # pl.Series refuses a text column holding float NaN; Arrow is polars' own way in for
        # pandas-style object columns (NaN -> null).
        series = [pl.from_arrow(pa.array(work.data[:, key], from_pandas=True)) for key in keys]
    for j, values in zip(work.categorical, series):
        physical = values.cast(pl.Categorical).to_physical()
        parts[j] = physical.cast(pl.Float64).fill_null(np.nan).to_numpy()
    return float_table(work, parts), None


# ---------------------------------------------------------------------------- pyarrow


def arrow_encode(work):
    import pyarrow as pa

    keys, _ = columns_of(work)
    parts = numeric_parts(work)
    dictionaries = {}
    for j, key in zip(work.categorical, keys):
        encoded = pa.array(column(work.data, key), from_pandas=True).dictionary_encode()
        dictionaries[j] = encoded.dictionary
        parts[j] = encoded.indices.to_numpy(zero_copy_only=False).astype(np.float64)
    return float_table(work, parts), dictionaries


def arrow_decode(codes, dictionaries, work):
    import pyarrow as pa

    parts = {}
    for j, _, values in decode_columns(codes, work):
        indices = pa.array(values, from_pandas=True).cast(pa.int64())  # NaN -> null
        parts[j] = dictionaries[j].take(indices).to_numpy(zero_copy_only=False)
    return object_table(work, parts, codes)


# ---------------------------------------------------------------------------- polars and pyarrow
# tables (W12 to W14): each library's fastest own route to codes in byte order


def polars_enum_encode(work):
    import polars as pl

    frame = work.data
    columns = []
    categories = {}
    for j, name in enumerate(frame.columns):
        values = frame[name]
        if j in work.categorical:
            # An Enum of the sorted distinct texts numbers them in byte order (polars sorts
            # strings by their bytes).
            labels = values.drop_nulls().unique().sort()
            categories[j] = labels
            values = values.cast(pl.Enum(labels)).to_physical()
        columns.append(values.cast(pl.Float64).fill_null(np.nan))
    return pl.DataFrame(columns), categories


def polars_gather_decode(codes, categories, work):
    import polars as pl

    columns = []
    for j, name in enumerate(codes.columns):
        values = codes[name]
        if j in categories:
            values = categories[j].gather(values.fill_nan(None).cast(pl.UInt32))
        columns.append(values)
    return pl.DataFrame(columns)


def arrow_sorted_encode(work):
    import pyarrow as pa
    import pyarrow.compute as pc

    table = work.data
    columns = []
    for j in range(table.num_columns):
        values = table.column(j)
        if j in work.categorical:
            # One dictionary for the whole column, its entries ranked in byte order, and each
            # index replaced by its entry's rank.
            encoded = values.combine_chunks().dictionary_encode()
            ranks = pc.subtract(pc.rank(encoded.dictionary, sort_keys="ascending"), 1)
            values = pc.take(ranks, encoded.indices)
        columns.append(pc.fill_null(pc.cast(values, pa.float64()), np.nan))
    return pa.table(columns, names=table.column_names), None


# ---------------------------------------------------------------------------- numpy (W5)


def numpy_copy(work):
    return np.array(work.data, copy=True), None


VEXILO = "vexilo"
CATEGORY_COLUMNS = "pandas from_codes, category columns kept"

CANDIDATES = [
    Candidate(VEXILO, "vexilo", vexilo_encode, vexilo_decode,
              ("array", "frame", "float", "polars", "arrow")),
    Candidate("scikit-learn OrdinalEncoder", "sklearn", sklearn_encode, sklearn_decode),
    Candidate("pandas factorize loop", "pandas", factorize_encode, take_decode),
    Candidate("pandas astype(category)", "pandas", category_encode, category_decode),
    Candidate(CATEGORY_COLUMNS, "pandas", category_encode, category_columns_decode, ("frame",),
              category_only=True),
    Candidate("category_encoders OrdinalEncoder", "category_encoders", ce_encode, ce_decode),
    Candidate("polars Categorical", "polars", polars_encode, None),
    Candidate("pyarrow dictionary_encode", "pyarrow", arrow_encode, arrow_decode),
    Candidate("numpy.array copy", "numpy", numpy_copy, None, ("float",)),
    Candidate("polars Enum of sorted texts", "polars", polars_enum_encode, polars_gather_decode,
              ("polars",)),
    Candidate("pyarrow dictionary_encode, ranked", "pyarrow", arrow_sorted_encode, None,
              ("arrow",)),
]


def by_name(name: str) -> Candidate:
    for candidate in CANDIDATES:
        if candidate.name == name:
            return candidate
    raise KeyError(name)
