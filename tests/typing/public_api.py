"""Type-checked use of the public API (mypy --strict); run by scripts/test_wheel.sh, never
imported by the test suite."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.pipeline import Pipeline

import vexilo
from vexilo import Encoder, PanicException
from vexilo.sklearn import OrdinalEncoder

assert_type(vexilo.__version__, str)

table = np.array([["a", 1.0], ["b", 2.0]], dtype=object)
frame = pd.DataFrame({"colour": ["red", "green"], "size": [1.0, 2.0]})

encoder = Encoder()
Encoder("label")
codes, categorical = encoder.encode(table)
assert_type(codes, npt.NDArray[np.float64])
assert_type(categorical, list[int] | None)
frame_codes, frame_categorical = encoder.encode(frame)
assert_type(frame_codes, pd.DataFrame)
assert_type(frame_categorical, list[int])
assert_type(encoder.decode(codes), npt.NDArray[Any])
assert_type(encoder.decode(frame_codes), pd.DataFrame)
assert_type(encoder.decode(frame_codes, as_category=True), pd.DataFrame)
assert_type(encoder.decode(codes, as_category=False), npt.NDArray[Any])
assert_type(encoder.transform(table), npt.NDArray[np.float64])
assert_type(encoder.transform(frame, unknown="error"), pd.DataFrame)
encoder.transform(table, unknown=-1)
encoder.transform(table, unknown=float("nan"))
assert_type(encoder.categories, dict[int, list[str] | dict[int, str]])
state: bytes = encoder.__getstate__()
encoder.__setstate__(state)

try:
    encoder.decode(codes)
except PanicException as failure:
    assert_type(failure, PanicException)

adapter = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1)
assert_type(adapter.fit(table), OrdinalEncoder)
assert_type(adapter.fit_transform(table), npt.NDArray[Any])
assert_type(adapter.transform(table), npt.NDArray[Any])
assert_type(adapter.inverse_transform(codes), npt.NDArray[np.object_])
assert_type(adapter.categories_, list[npt.NDArray[Any]])
assert_type(adapter.categorical_columns_, list[int])
Pipeline([("encode", OrdinalEncoder()), ("passthrough", "passthrough")])
ColumnTransformer([("encode", OrdinalEncoder(), ["colour"])])
